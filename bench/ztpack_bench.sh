#!/usr/bin/env bash
# ztpack build against reading both game versions once.
#
#   bench/ztpack_bench.sh [ZTPACK] [SIZE_MIB] [FILES] [CHANGED_PERCENT]
#
# Generates two versions of a game tree (SIZE_MIB in FILES files, sizes
# spread from a few bytes to several MiB; the new version differs in
# CHANGED_PERCENT of the files: some rewritten in place at the same size,
# some grown, some replaced, plus a few added and removed files), then times
#   - cat of every file of both trees to /dev/null (the cost of reading both
#     once), and
#   - ztpack build --old --new on them,
# in the same conditions: with the page cache dropped before each run when
# this machine allows it, else both warm. Prints both times and the ratio.
# The trees live in build/pack-bench and are deleted at the end.
# Defaults: build/host/pack/ztpack, 2048 MiB, 20000 files, 5 %.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ztpack=${1:-$root/build/host/pack/ztpack}
size_mib=${2:-2048}
files=${3:-20000}
percent=${4:-5}
work=${ZT_BENCH_DIR:-$root/build/pack-bench}

[ -x "$ztpack" ] || { echo "no ztpack at $ztpack (ninja -C build/host ztpack)"; exit 1; }
rm -rf "$work"
mkdir -p "$work"
[ "${ZT_BENCH_KEEP:-0}" = 1 ] || trap 'rm -rf "$work"' EXIT

echo "== generating $size_mib MiB in $files files, $percent % changed, in $work"
python3 - "$work" "$size_mib" "$files" "$percent" <<'PY'
import os, random, shutil, sys
work, size_mib, count, percent = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
rng = random.Random(20240601)
total = size_mib << 20
# Game files: many small ones, a few large ones.
weights = [rng.lognormvariate(0, 1.6) for _ in range(count)]
scale = total / sum(weights)
sizes = [max(0, int(w * scale)) for w in weights]
sizes[0] += total - sum(sizes)
old = os.path.join(work, "old")
paths = []
for i, size in enumerate(sizes):
    folder = os.path.join("data%02d" % (i % 40), "sub%03d" % (i % 400))
    paths.append(os.path.join(folder, "file%05d.bin" % i))
    full = os.path.join(old, paths[-1])
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "wb") as f:
        left = size
        while left:
            n = min(left, 1 << 22)
            f.write(os.urandom(n))
            left -= n
new = os.path.join(work, "new")
shutil.copytree(old, new)
changed = rng.sample(range(count), int(count * percent / 100))
for k, i in enumerate(changed):
    full = os.path.join(new, paths[i])
    kind = k % 4
    if kind in (0, 1) and sizes[i] > 0:
        # Rewritten in place: same size, one block changed somewhere.
        with open(full, "r+b") as f:
            at = rng.randrange(sizes[i])
            f.seek(at)
            f.write(os.urandom(min(4096, sizes[i] - at)))
    elif kind == 2:
        with open(full, "ab") as f:
            f.write(os.urandom(1000))
    else:
        with open(full, "wb") as f:
            f.write(os.urandom(sizes[i]))
for i in range(20):
    os.remove(os.path.join(new, paths[count - 1 - i]))
for i in range(50):
    full = os.path.join(new, "added", "new%03d.bin" % i)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "wb") as f:
        f.write(os.urandom(rng.randrange(100000)))
with open(os.path.join(work, "pack.xml"), "w") as f:
    f.write('<?xml version="1.0" encoding="UTF-8"?>\n<pack><brand>B</brand><app>A</app><mutex>M</mutex>'
            '<confmutex>C</confmutex><requires>1.0</requires><version>1.1</version><language><code>1033</code>'
            '<prefix>en</prefix><title>t</title><intro>i</intro><success>s</success><version_error>v</version_error>'
            '<install_error>n</install_error><copy_error>c</copy_error><copying>w</copying><running>r</running>'
            '<error_title>e</error_title></language></pack>\n')
with open(os.path.join(work, "updater.exe"), "wb") as f:
    f.write(b"MZ")
PY

drop() {
  sync
  if echo 3 >/proc/sys/vm/drop_caches 2>/dev/null; then return 0; fi
  return 1
}
if drop; then cache="cold (page cache dropped before each run)"; else
  cache="warm (the page cache cannot be dropped here: both runs read from memory)"
  find "$work/old" "$work/new" -type f -print0 | xargs -0 cat >/dev/null
fi
now() { date +%s.%N; }

drop || true
t0=$(now)
find "$work/old" "$work/new" -type f -print0 | xargs -0 cat >/dev/null
t1=$(now)
drop || true
t2=$(now)
"$ztpack" build --old "$work/old" --new "$work/new" --config "$work/pack.xml" --out "$work/pkg" \
  --updater "$work/updater.exe" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
t3=$(now)
grep -E 'new, .* changed' "$work/build.log" | sed 's/^/   /'
python3 - "$t0" "$t1" "$t2" "$t3" "$cache" <<'PY'
import sys
t0, t1, t2, t3 = map(float, sys.argv[1:5])
cat, build = t1 - t0, t3 - t2
print("   cache: %s" % sys.argv[5])
print("   cat of both trees: %.2f s" % cat)
print("   ztpack build:      %.2f s" % build)
print("   ratio:             %.2f (target: at most 1.5)" % (build / cat))
PY
