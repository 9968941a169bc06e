#!/usr/bin/env bash
# Packages with binary deltas against packages of whole files, and against
# the zstd program's own patches.
#
#   bench/delta_bench.sh [CASE...]        cases: a b c d (default: all four)
#
# Generates each corpus (kept in build/delta-bench/corpus for the next run):
#   a  two builds of this project's updater.exe: the current win32 build and
#      one of commit $ZT_OLD_COMMIT (default 565e7d9), built once in a
#      worktree;
#   b  a 512 MiB pak-like archive of compressed records (random bytes), the
#      new one with 2 % of the records changed and 1 % inserted;
#   c  300 XML and text files, a third of them edited in a few places;
#   d  a 2 GiB file with 1 MiB changed in the middle.
# Each case is an old and a new game tree (with config\startup.xml 1.0 and
# 1.1). For each case it reports:
#   - ztpack build --delta (signed) and ztpack build (signed, whole files):
#     time and peak memory, and the size of what each package carries;
#   - zstd -19 --long=31 --patch-from, file by file, on the same changed
#     files (files only in the new version counted whole): size, time and
#     peak memory;
#   - the updater (the Windows build under Wine, /quiet) installing each
#     package over a fresh copy of the old tree: wall time (median of
#     $ZT_RUNS, default 3) and its peak resident memory; the result is
#     compared with the new tree.
# Environment: ZTPACK (default build/host/pack/ztpack), ZT_UPDATER (default
# build/win64/app/updater.exe: 32-bit Wine is not on every machine),
# ZT_LEVEL (ztpack's --level, default 19), ZT_BENCH_DIR; ZT_NO_ZSTD=1 leaves
# the zstd program out (it takes minutes and GiBs on the big cases).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ztpack=${ZTPACK:-$root/build/host/pack/ztpack}
updater=${ZT_UPDATER:-$root/build/win64/app/updater.exe}
level=${ZT_LEVEL:-19}
runs=${ZT_RUNS:-3}
work=${ZT_BENCH_DIR:-$root/build/delta-bench}
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(a b c d)

[ -x "$ztpack" ] || { echo "no ztpack at $ztpack (ninja -C build/host ztpack)"; exit 1; }
[ -f "$updater" ] || { echo "no updater at $updater (ninja -C build/win64 updater)"; exit 1; }
command -v zstd >/dev/null || { echo "no zstd program (scripts/setup.sh installs it)"; exit 1; }
mkdir -p "$work/corpus"
# shellcheck disable=SC1091
source "$root/scripts/xvfb-env.sh" >/dev/null 2>&1 || true
# shellcheck disable=SC1091
source "$root/scripts/wine-env.sh" >/dev/null 2>&1 || true

echo "== machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo), $(uname -m); zstd $(zstd -V | grep -o 'v[0-9.]*'); ztpack --level $level"

# ---- the corpus -------------------------------------------------------------------

old_updater() { # -> path of the older build of updater.exe
  local commit=${ZT_OLD_COMMIT:-565e7d9}
  local src="$work/old-src" out="$work/corpus/updater-$commit.exe"
  if [ ! -f "$out" ]; then
    echo "   building updater.exe of $commit (once)" >&2
    rm -rf "$src"
    git -C "$root" worktree prune
    git -C "$root" worktree add --detach "$src" "$commit" >/dev/null 2>&1
    ln -sfn "$root/build/deps" "$src/build/deps" 2>/dev/null || { mkdir -p "$src/build"; ln -sfn "$root/build/deps" "$src/build/deps"; }
    cmake -S "$src" -B "$src/build/win32" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$src/cmake/i686-w64-mingw32.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
    ninja -C "$src/build/win32" updater >/dev/null
    cp "$src/build/win32/app/updater.exe" "$out"
    git -C "$root" worktree remove --force "$src"
  fi
  printf '%s\n' "$out"
}

generate() { # case -> corpus/<case>/{old,new}
  local c=$1 dir="$work/corpus/$1"
  [ -f "$dir/.done" ] && return 0
  rm -rf "$dir"; mkdir -p "$dir/old/config" "$dir/new/config"
  echo '<config><version><major>1</major><minor>0</minor></version></config>' >"$dir/old/config/startup.xml"
  echo '<config><version><major>1</major><minor>1</minor></version></config>' >"$dir/new/config/startup.xml"
  case $c in
    a)
      local new=$root/build/win32/app/updater.exe
      [ -f "$new" ] || { echo "no $new (ninja -C build/win32 updater)"; exit 1; }
      mkdir -p "$dir/old/bin" "$dir/new/bin"
      cp "$(old_updater)" "$dir/old/bin/updater.exe"
      cp "$new" "$dir/new/bin/updater.exe";;
    b|c|d)
      python3 - "$c" "$dir" <<'PY'
import os, random, sys
case, d = sys.argv[1], sys.argv[2]
rng = random.Random(2026)
def put(tree, rel, chunks):
    path = os.path.join(d, tree, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        for c in chunks:
            f.write(c)
if case == "b":
    # Records of 8 to 64 KiB of compressed (random) bytes.
    sizes, total = [], 0
    while total < 512 << 20:
        n = rng.randrange(8 << 10, 64 << 10)
        sizes.append(min(n, (512 << 20) - total))
        total += sizes[-1]
    seeds = [rng.getrandbits(64) for _ in sizes]
    def record(seed, n):
        return random.Random(seed).randbytes(n)
    put("old", "paks/world.pak", (record(s, n) for s, n in zip(seeds, sizes)))
    def new_records():
        for i, (s, n) in enumerate(zip(seeds, sizes)):
            fate = random.Random(s ^ 0x5DEECE66D).random()
            if fate < 0.01:
                yield record(s ^ 1, rng.randrange(8 << 10, 64 << 10))
            yield record(s ^ 2, n) if fate >= 0.98 else record(s, n)
    put("new", "paks/world.pak", new_records())
elif case == "c":
    for i in range(300):
        lines = ['<?xml version="1.0" encoding="UTF-8"?>', "<table name=\"t%d\">" % i]
        for j in range(rng.randrange(20, 1500)):
            lines.append('  <row id="%d" name="item_%d_%d" value="%d" weight="%.3f"/>' %
                         (j, i, j, rng.randrange(100000), rng.random()))
        lines.append("</table>")
        rel = "data/tables/t%03d.xml" % i if i % 3 else "text/strings%03d.txt" % i
        put("old", rel, ["\n".join(lines).encode()])
        if i % 3 == 0:
            for _ in range(rng.randrange(1, 6)):
                k = rng.randrange(2, len(lines) - 1)
                lines[k] = lines[k].replace('value="', 'value="9')
            if i % 2:
                lines.insert(len(lines) // 2, '  <row id="new" name="added" value="1" weight="0"/>')
        put("new", rel, ["\n".join(lines).encode()])
else:
    block = 64 << 20
    seeds = [rng.getrandbits(64) for _ in range(32)]  # 2 GiB
    def chunks(changed):
        for i, s in enumerate(seeds):
            b = random.Random(s).randbytes(block)
            if changed and i == 16:
                b = random.Random(7).randbytes(1 << 20) + b[1 << 20:]
            yield b
    put("old", "video/movies.big", chunks(False))
    put("new", "video/movies.big", chunks(True))
PY
      ;;
  esac
  touch "$dir/.done"
}

# ---- helpers ------------------------------------------------------------------------

timed() { # out-var command... : runs it, "seconds peak_KiB" into out-var
  local __var=$1; shift
  local t="$work/time.txt"
  /usr/bin/time -f '%e %M' -o "$t" "$@"
  printf -v "$__var" '%s' "$(tail -n 1 "$t")"
}
bytes_of() { find "$@" -type f -printf '%s\n' 2>/dev/null | awk '{s += $1} END {print s + 0}'; }
windows_path() { printf 'Z:%s' "$(printf '%s' "$1" | tr '/' '\\')"; }

pack_xml() {
  cat >"$work/pack.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<pack><brand>ZtDeltaBench</brand><app>Game</app><mutex>ztDeltaBenchGame</mutex><confmutex>ztDeltaBenchConf</confmutex>
<requires>1.0</requires><version>1.1</version><language><code>1033</code><prefix>en</prefix><title>t</title>
<intro>i</intro><success>s</success><version_error>v</version_error><install_error>n</install_error>
<copy_error>c</copy_error><copying>w</copying><running>r</running><error_title>e</error_title></language></pack>
XML
}

# Installs package $1 over a fresh copy of $2 (the old tree); prints
# "seconds peak_KiB" and checks the result against $3.
install_once() {
  local pkg=$1 old=$2 new=$3 inst="$work/inst"
  rm -rf "$inst"
  cp -a "$old" "$inst"
  cp "$work/key.pub" "$inst/update.key"
  local pd="$WINEPREFIX/drive_c/ProgramData/ZtDeltaBench"
  mkdir -p "$pd"
  printf '<install><path>%s</path></install>' "$(windows_path "$inst")" >"$pd/Game.xml"
  local result rc=0
  (cd "$pkg" && /usr/bin/time -f '%e %M' -o "$work/time.txt" wine updater.exe /quiet >/dev/null 2>&1) || rc=$?
  result=$(tail -n 1 "$work/time.txt")
  if [ "$rc" -ne 0 ]; then
    echo "updater ended with $rc:" >&2
    cat "$inst/update.log" >&2 || true
    exit 1
  fi
  if ! diff -rq -x install.log -x update.log -x update.key "$new" "$inst" >/dev/null; then
    echo "the installation is not the new version after $pkg" >&2
    diff -rq -x install.log -x update.log -x update.key "$new" "$inst" | head >&2
    exit 1
  fi
  printf '%s\n' "$result"
}

median_install() { # pkg old new -> "median_seconds max_peak_KiB"
  local all=() peak=0 r
  for _ in $(seq "$runs"); do
    r=$(install_once "$@")
    all+=("${r% *}")
    [ "${r#* }" -gt "$peak" ] && peak=${r#* }
  done
  printf '%s %s\n' "$(printf '%s\n' "${all[@]}" | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}')" "$peak"
}

# ---- the runs -----------------------------------------------------------------------

pack_xml
rm -f "$work/key" "$work/key.pub"
"$ztpack" keygen "$work/key" >/dev/null
printf 'MZ' >"$work/stub.exe"

for c in "${cases[@]}"; do
  echo "== case $c"
  generate "$c"
  old="$work/corpus/$c/old" new="$work/corpus/$c/new"
  rm -rf "$work/pkg-delta" "$work/pkg-whole" "$work/zstd"
  timed tdelta "$ztpack" build --old "$old" --new "$new" --config "$work/pack.xml" --out "$work/pkg-delta" \
    --key "$work/key" --updater "$updater" --delta --level "$level" >"$work/build-delta.log" 2>&1 ||
    { cat "$work/build-delta.log"; exit 1; }
  timed twhole "$ztpack" build --old "$old" --new "$new" --config "$work/pack.xml" --out "$work/pkg-whole" \
    --key "$work/key" --updater "$updater" >"$work/build-whole.log" 2>&1 ||
    { cat "$work/build-whole.log"; exit 1; }
  whole=$(bytes_of "$work/pkg-whole/data")
  delta=$(bytes_of "$work/pkg-delta/data" "$work/pkg-delta/delta")

  # zstd, file by file: a patch for each changed file, files only in the
  # new version whole (as both packages carry them).
  mkdir -p "$work/zstd"
  zsize=0 ztime=0 zpeak=0
  [ "${ZT_NO_ZSTD:-0}" = 1 ] || while IFS= read -r -d '' f; do
    rel=${f#"$new"/}
    if [ -f "$old/$rel" ]; then
      cmp -s "$old/$rel" "$f" && continue
      timed r zstd -q -f -19 --long=31 --patch-from="$old/$rel" "$f" -o "$work/zstd/patch" 2>/dev/null
      zsize=$((zsize + $(stat -c %s "$work/zstd/patch")))
      ztime=$(awk -v a="$ztime" -v b="${r% *}" 'BEGIN {print a + b}')
      [ "${r#* }" -gt "$zpeak" ] && zpeak=${r#* }
    else
      zsize=$((zsize + $(stat -c %s "$f")))
    fi
  done < <(find "$new" -type f -print0)

  read -r iwhole pwhole < <(median_install "$work/pkg-whole" "$old" "$new")
  read -r idelta pdelta < <(median_install "$work/pkg-delta" "$old" "$new")
  awk -v c="$c" -v whole="$whole" -v delta="$delta" -v z="$zsize" -v tdelta="$tdelta" -v twhole="$twhole" \
      -v zt="$ztime" -v zp="$zpeak" -v iw="$iwhole" -v pw="$pwhole" -v id="$idelta" -v pd="$pdelta" 'BEGIN {
    split(tdelta, d, " "); split(twhole, w, " ")
    printf "   package data:  whole files %.1f MiB, with deltas %.1f KiB: %.4f of whole\n", whole / 1048576, delta / 1024, delta / whole
    if (z > 0) printf "   zstd -19 --long=31 --patch-from, file by file: %.1f KiB; deltas / zstd = %.3f\n", z / 1024, delta / z
    printf "   ztpack build --delta: %.1f s, peak %.0f MiB; without --delta %.1f s, peak %.0f MiB; zstd program %.1f s, peak %.0f MiB\n", d[1], d[2] / 1024, w[1], w[2] / 1024, zt, zp / 1024
    printf "   updater, median of runs: whole signed package %.2f s (peak %.0f MiB), delta package %.2f s (peak %.0f MiB): %.2fx\n", iw, pw / 1024, id, pd / 1024, id / iw
  }'
done
rm -rf "$work/inst" "$work/pkg-delta" "$work/pkg-whole" "$work/zstd"
