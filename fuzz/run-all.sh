#!/usr/bin/env bash
# fuzz/run-all.sh SECONDS [PARALLEL]
#
# Runs every fuzz target for SECONDS each through fuzz/run.sh, PARALLEL at a
# time (default 1; 2 uses both cores of a small machine), and prints one
# summary line per target. Exit status 1 when any target found something.
set -uo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 SECONDS [PARALLEL]" >&2
  exit 2
fi
seconds=$1
parallel=${2:-1}
root=$(cd "$(dirname "$0")/.." && pwd)

targets="xml description discovery version manifest stringlist archive image_holder ra3 zo2 bmp psd ztf zure
jpeg png webp zure_roundtrip zo2_roundtrip"

# Build once before starting anything in parallel.
"$root/fuzz/run.sh" version 1 >/dev/null || exit 1

results=$(mktemp)
printf '%s\n' $targets | xargs -P "$parallel" -I{} sh -c '"$1/fuzz/run.sh" "$2" "$3" || true' _ "$root" {} "$seconds" \
  | tee "$results"
if grep -q 'exit [1-9]' "$results"; then
  rm -f "$results"
  exit 1
fi
rm -f "$results"
