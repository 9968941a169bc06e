#!/usr/bin/env bash
# Static analysis of the project's own code: clang-tidy (.clang-tidy) over the
# host build's compile commands, and cppcheck over every source file (it needs
# no compiler, so it also reads the Windows-only files). Exit status non-zero
# when either reports something.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
build=${1:-$root/build/host}
status=0

if [ ! -f "$build/compile_commands.json" ]; then
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
fi

# The product's code, the tools, the fuzz targets and the benchmarks. The
# tests are read by cppcheck only: clang-tidy's analyser takes minutes over
# GoogleTest's macros and finds nothing there that the tests themselves
# would not.
own_sources() {
  git ls-files 'app/*.cpp' 'xml/*.cpp' 'file/*.cpp' 'image/*.cpp' 'platform/*.cpp' 'tools/*.cpp' 'fuzz/*.cpp' 'bench/*.cpp'
}
test_sources() {
  git ls-files 'tests/*.cpp'
}

if command -v clang-tidy >/dev/null; then
  # Only files the host build compiles have compile commands.
  files=$(own_sources | while read -r f; do grep -q "\"$root/$f\"" "$build/compile_commands.json" && echo "$f"; done)
  out=$(printf '%s\n' $files | xargs -r -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet 2>/dev/null |
        grep -E "^$root/[^ ]+:[0-9]+:[0-9]+: (warning|error):" | sort -u)
  if [ -n "$out" ]; then
    echo "clang-tidy:"; echo "$out"; status=1
  fi
else
  echo "clang-tidy not installed: skipped"
fi

if command -v cppcheck >/dev/null; then
  # ZT_FUZZ_ENTRY is the target's entry function, given per target by the
  # fuzz build; any one of them stands for all here.
  out=$(cppcheck --quiet --enable=warning,portability --inline-suppr --std=c++17 --language=c++ \
        --library=googletest -I "$root" -D_WIN32 -DZT_LINT -DZT_FUZZ_ENTRY=ztFuzzXml \
        --suppress=missingIncludeSystem \
        --template='{file}:{line}: {severity}: {message} [{id}]' $(own_sources) $(test_sources) 2>&1)
  if [ -n "$out" ]; then
    echo "cppcheck:"; echo "$out"; status=1
  fi
else
  echo "cppcheck not installed: skipped"
fi

[ $status -eq 0 ] && echo "lint: clean"
exit $status
