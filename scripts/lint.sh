#!/usr/bin/env bash
# Static analysis of the project's own code: clang-tidy (.clang-tidy) over the
# host build's compile commands, and cppcheck over every source file (it needs
# no compiler, so it also reads the Windows-only files). Exit status non-zero
# when either reports something, and when either could not do its work (a
# crash, a file it could not compile): an analyser that stopped early prints
# no findings, and that must not read as a clean tree.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
build=${1:-$root/build/host}
status=0

# The analysers, and the compilers a fresh build folder is configured with.
bash "$root/scripts/setup.sh" >/dev/null || { echo "setup failed"; exit 1; }

if [ ! -f "$build/compile_commands.json" ]; then
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
fi

# The product's code, the tools, the fuzz targets and the benchmarks. The
# tests are read by cppcheck only: clang-tidy's analyser takes minutes over
# GoogleTest's macros and finds nothing there that the tests themselves
# would not.
own_sources() {
  git ls-files 'app/*.cpp' 'xml/*.cpp' 'file/*.cpp' 'image/*.cpp' 'platform/*.cpp' 'tools/*.cpp' 'pack/*.cpp' 'fuzz/*.cpp' 'bench/*.cpp'
}
test_sources() {
  git ls-files 'tests/*.cpp'
}

# One clang-tidy run over a few files, keeping apart what it found, what it
# said besides and how it ended (in the folder RUNS).
tidy_batch() { # RUNS BUILD FILE...
  local runs=$1 build=$2
  shift 2
  local run
  run=$(mktemp "$runs/run.XXXXXX")
  clang-tidy -p "$build" --quiet "$@" >"$run.out" 2>"$run.err"
  echo "$? $*" >"$run.status"
}

if command -v clang-tidy >/dev/null; then
  # Only files the host build compiles have compile commands.
  files=$(own_sources | while read -r f; do grep -q "\"$root/$f\"" "$build/compile_commands.json" && echo "$f"; done)
  if [ -z "$files" ]; then
    echo "clang-tidy: no source file has a compile command in $build"; status=1
  fi
  runs=$(mktemp -d)
  trap 'rm -rf "$runs"' EXIT
  export -f tidy_batch
  if ! printf '%s\n' $files | xargs -r -P "$(nproc)" -n 4 bash -c 'tidy_batch "$@"' _ "$runs" "$build"; then
    echo "clang-tidy: a run was cut off"; status=1
  fi
  # Findings in system headers are not ours; only our files' are reported.
  out=$(cat "$runs"/*.out 2>/dev/null | grep -E "^$root/[^ ]+:[0-9]+:[0-9]+: (warning|error):" | sort -u)
  if [ -n "$out" ]; then
    echo "clang-tidy:"; echo "$out"; status=1
  fi
  # Whatever it warns about, clang-tidy ends with status 0; any other status
  # means a file was not analysed (it did not compile, the compile commands
  # could not be read, the analyser crashed), wherever the cause lies.
  for s in "$runs"/*.status; do
    [ -e "$s" ] || continue
    read -r rc batch <"$s"
    [ "$rc" = 0 ] && continue
    echo "clang-tidy ended with status $rc on: $batch"
    grep -vE '^[0-9]+ (warnings?|errors?)( and [0-9]+ errors?)? generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^Use -system-headers' \
      "${s%.status}.err" | head -n 20 | sed 's/^/  /'
    status=1
  done
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
  rc=$?
  if [ -n "$out" ]; then
    echo "cppcheck:"; echo "$out"; status=1
  fi
  # Its findings do not change its status: only a run that broke off does.
  if [ $rc -ne 0 ]; then
    echo "cppcheck ended with status $rc"; status=1
  fi
else
  echo "cppcheck not installed: skipped"
fi

[ $status -eq 0 ] && echo "lint: clean"
exit $status
