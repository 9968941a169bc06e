#!/usr/bin/env bash
# fuzz/run.sh TARGET SECONDS [extra libFuzzer options...]
#
# Sets up what is missing (scripts/setup.sh), builds the fuzz build if needed
# (build/fuzz: clang, -DZT_FUZZ=ON, address and undefined-behaviour
# sanitizers), writes TARGET's seed corpus with code, and runs the target for
# SECONDS. The growing corpus is kept in fuzz/corpus/TARGET (not committed);
# crashes, leaks and timeouts land in fuzz/artifacts/TARGET/. A found input
# goes to tests/data/crashers/TARGET/ once the bug is fixed, where the replay
# test runs it in every build.
#
# Prints one summary line: target, executions, edges, crash files.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 TARGET SECONDS [libFuzzer options...]" >&2
  exit 2
fi
target=$1
seconds=$2
shift 2

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
jobs=${ZT_FUZZ_BUILD_JOBS:-2}

# clang and the libraries come from the setup; its progress lines are kept
# out of the one-line summary.
bash "$root/scripts/setup.sh" >/dev/null || { echo "setup failed" >&2; exit 1; }

if [ ! -f "$build/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DZT_FUZZ=ON -DZT_TESTS=OFF -DZT_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
# Several run.sh at once (run-all.sh) must not build the same tree at once.
exec 9>"$build/.build-lock"
flock 9
cmake --build "$build" --target "fuzz_$target" zt_fuzz_seeds -j"$jobs" >"$build/last-build-$target.log" 2>&1 || {
  cat "$build/last-build-$target.log" >&2
  exit 1
}
flock -u 9

corpus=$root/fuzz/corpus/$target
seeds=$root/fuzz/corpus/$target-seeds
artifacts=$root/fuzz/artifacts/$target
mkdir -p "$corpus" "$artifacts"
rm -rf "$seeds"
"$build/fuzz/zt_fuzz_seeds" "$seeds" "$target" >/dev/null

dict=()
if [ -f "$root/fuzz/dict/$target.dict" ]; then dict=(-dict="$root/fuzz/dict/$target.dict"); fi

log=$artifacts/last-run.log
before=$(find "$artifacts" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
set +e
# A hang of 10 s on an input of at most 64 KiB is a bug; 2 GiB is far more
# than any input needs with the fuzzing limits in place.
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
"$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" "${dict[@]}" "$@" "$corpus" "$seeds" >"$log" 2>&1
status=$?
set -e
after=$(find "$artifacts" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)

execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
edges=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*')
echo "$target: ${execs:-?} executions, ${edges:-?} edges, $((after - before)) new crash file(s), exit $status (log: ${log#$root/})"
if [ $status -ne 0 ]; then
  grep -m1 -E 'ERROR: |SUMMARY: |zt fuzz target failed|runtime error' "$log" >&2 || true
fi
exit $status
