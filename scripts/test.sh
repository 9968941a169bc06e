#!/usr/bin/env bash
# Builds everything and runs every test:
#   host        native build of the portable core, its unit tests;
#   host-asan   the same with AddressSanitizer and UndefinedBehaviorSanitizer;
#   win32       the product (i686): everything is built; its tests run under
#               Wine when this machine can execute 32-bit code;
#   win64       the same sources for x86_64, whose tests run under 64-bit Wine
#               (some kernels here refuse 32-bit programs altogether);
#   lint        clang-tidy and cppcheck (scripts/lint.sh), any report fails.
# Ends with one line "N passed, N failed" over every test case.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

bash scripts/setup.sh || { echo "setup failed"; echo "0 passed, 1 failed"; exit 1; }

jobs=$(nproc)
logs="$root/build/test-logs"
rm -rf "$logs"; mkdir -p "$logs"
failed_steps=()

configure_and_build() { # name extra-cmake-args...
  local name=$1; shift
  local dir="$root/build/$name"
  echo "== build $name"
  if ! cmake -S "$root" -B "$dir" -G Ninja "$@" >"$logs/$name-configure.log" 2>&1; then
    cat "$logs/$name-configure.log"; failed_steps+=("configure $name"); return 1
  fi
  if ! cmake --build "$dir" -j "$jobs" >"$logs/$name-build.log" 2>&1; then
    grep -E 'error|Error' "$logs/$name-build.log" | head -40; failed_steps+=("build $name"); return 1
  fi
  if grep -q 'warning:' "$logs/$name-build.log"; then
    echo "warnings in $name:"; grep 'warning:' "$logs/$name-build.log" | sort -u | head -20
    failed_steps+=("warnings in $name")
  fi
  return 0
}

run_tests() { # name
  local name=$1
  echo "== test $name"
  (cd "$root/build/$name" && ctest -V --timeout 900 >"$logs/$name-ctest.log" 2>&1)
  grep -E '^\s*[0-9]+/[0-9]+ Test +#' "$logs/$name-ctest.log"
  if grep -q 'The following tests FAILED' "$logs/$name-ctest.log"; then
    # Show the failing cases and their messages: each failure line with
    # the lines that follow it, up to the next test's start.
    awk '/^[0-9]+: .*(Failure|FAILED|Assert)/ { n = 8 }
         n > 0 && /^[0-9]+: \[ (RUN|  +OK) / { n = 0 }
         n > 0 { print; n-- }' "$logs/$name-ctest.log" | head -120
  fi
}

configure_and_build host -DCMAKE_BUILD_TYPE=RelWithDebInfo && run_tests host
# Static analysis over the host build's compile commands (the setup installs
# both analysers; without them lint.sh says so and passes).
if [ -f "$root/build/host/compile_commands.json" ]; then
  echo "== lint"
  if ! bash scripts/lint.sh "$root/build/host" >"$logs/lint.log" 2>&1; then
    cat "$logs/lint.log"; failed_steps+=("lint")
  fi
fi
# Includes point from each layer down only (app/tools -> xml/image/startup ->
# file -> platform).
echo "== layers"
if ! python3 scripts/check-layers.py "$root" >"$logs/layers.log" 2>&1; then
  cat "$logs/layers.log"; failed_steps+=("layers")
fi
configure_and_build host-asan -DCMAKE_BUILD_TYPE=Debug -DZT_SANITIZE=ON -DZT_BENCH=OFF && run_tests host-asan
configure_and_build win32 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" -DCMAKE_BUILD_TYPE=Release
win32_built=$?
configure_and_build win64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/x86_64-w64-mingw32.cmake" -DCMAKE_BUILD_TYPE=Release
win64_built=$?

if [ $win64_built -eq 0 ] || [ $win32_built -eq 0 ]; then
  # A display for the tests that open real windows.
  if [ -z "${DISPLAY:-}" ]; then
    source "$root/scripts/xvfb-env.sh"
    trap 'kill $ZT_XVFB_PID 2>/dev/null' EXIT
    echo "== Xvfb on display ${DISPLAY:-(none: Xvfb did not start)}"
  fi
  source "$root/scripts/wine-env.sh"
  [ $win64_built -eq 0 ] && run_tests win64
  if [ $win32_built -eq 0 ]; then
    if /usr/lib/wine/wine --version >/dev/null 2>&1; then
      run_tests win32
    else
      echo "== win32 tests skipped: no 32-bit Wine here (the kernel cannot run 32-bit programs, or wine32:i386 could not be installed; see scripts/setup.sh); the win64 run covers the same code"
    fi
  fi
fi

logs_found=$(ls "$logs"/*-ctest.log 2>/dev/null)
read -r passed failed < <(python3 "$root/scripts/ctest-summary.py" $logs_found)
failed=$((failed + ${#failed_steps[@]}))
for s in "${failed_steps[@]}"; do echo "failed step: $s"; done
echo "${passed} passed, ${failed} failed"
[ "$failed" -eq 0 ]
