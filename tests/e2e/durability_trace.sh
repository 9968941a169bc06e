#!/usr/bin/env bash
# Shows that an update is on the disk before it is called committed: runs
# one quiet update under strace (the updater's own calls, and the
# wineserver's, which makes the renames) and checks that every installed
# file and install.log was flushed (fsync returned) before the rename that
# creates .ztupdate\committed began, and that the journal folder itself was
# flushed after it.
#
# Usage: durability_trace.sh <wine-run> <updater_transaction_tests.exe>
set -u
runner=$1
exe=$2
if ! command -v strace >/dev/null; then
  echo "skipped: strace is not installed"
  exit 0
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/zt-durable.XXXXXX")
servers=()
cleanup() {
  for p in "${servers[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  [ -n "${ZT_KEEP_TRACE:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

# A warm server first (the runner starts one if none runs), then attach.
"$runner" "$exe" --gtest_filter='*EveryInstalledFileIsDurable*' >/dev/null 2>&1
for pid in $(pgrep wineserver); do
  strace -ttt -T -y -e trace=rename,renameat,renameat2 -o "$work/server.$pid" -p "$pid" 2>/dev/null &
  servers+=($!)
done
if [ "${#servers[@]}" -eq 0 ]; then
  echo "no wineserver to trace"
  exit 1
fi
sleep 1
ZT_TRACE_LIST="Z:${work//\//\\}\\list.txt" strace -f -ttt -T -y -e trace=fsync,fdatasync,syncfs \
  -o "$work/client" "$runner" "$exe" --gtest_filter='*EveryInstalledFileIsDurable*' || exit 1
sleep 0.5
for p in "${servers[@]}"; do kill "$p" 2>/dev/null; done
wait 2>/dev/null
servers=()
python3 - "$work" <<'PY'
import glob, os, re, sys
work = sys.argv[1]
# Wine names a file through its drive's link (dosdevices/c:) or the real
# folder (drive_c), as it happens: compare real paths.
real = os.path.realpath
files, journal = [], None
for line in open(f"{work}/list.txt", encoding="utf-8"):
    kind, _, path = line.rstrip("\n").partition(" ")
    if kind == "file": files.append(real(path))
    elif kind == "journal": journal = real(path)
# A traced process's own lines have no process id in front.
line_re = re.compile(r'^(?:\d+\s+)?(\d+\.\d+)\s+(\w+)\((.*)\)\s+=\s+(-?\d+).*<(\d+\.\d+)>\s*$')
# A call another thread interrupts is traced as two lines, "NAME(ARGS
# <unfinished ...>" and later "<... NAME resumed>) = RESULT <SECONDS>", by
# the same thread: they are put back together.
unfinished_re = re.compile(r'^(\d+)\s+(\d+\.\d+)\s+(\w+)\((.*?)\s*<unfinished \.\.\.>\s*$')
resumed_re = re.compile(r'^(\d+)\s+\d+\.\d+\s+<\.\.\. (\w+) resumed>.*\)\s+=\s+(-?\d+).*<(\d+\.\d+)>\s*$')
def calls(paths):
    for name in paths:
        pending = {}
        for line in open(name, encoding="utf-8", errors="replace"):
            m = unfinished_re.match(line)
            if m:
                pending[m.group(1)] = (m.group(2), m.group(3), m.group(4))
                continue
            m = resumed_re.match(line)
            if m and m.group(1) in pending:
                start, call, args = pending.pop(m.group(1))
                if call == m.group(2) and m.group(3) == "0":
                    yield float(start), float(start) + float(m.group(4)), call, args
                continue
            m = line_re.match(line)
            if m and m.group(4) == "0":
                yield float(m.group(1)), float(m.group(1)) + float(m.group(5)), m.group(2), m.group(3)
mark = journal + "/committed"
renames = [(start, args) for start, end, call, args in calls(glob.glob(f"{work}/server.*"))
           if any(real(p) == mark for p in re.findall(r'"([^"]*)"', args))]
if not renames:
    print("no rename creating", mark, "was traced"); sys.exit(1)
commit = min(start for start, _ in renames)
flushed = {}
dir_after = False
for start, end, call, args in calls([f"{work}/client"]):
    m = re.match(r'\d+<(.*)>$', args)
    if not m: continue
    path = real(m.group(1))
    if call == "syncfs":
        for f in files: flushed.setdefault(f, end)
    elif end < commit:
        flushed.setdefault(path, end)
    if path == journal and start > commit: dir_after = True
late = [f for f in files if f not in flushed]
for f in late: print("not flushed before the commit mark:", f)
if not dir_after: print("the journal folder was not flushed after the commit mark's rename")
print(f"{len(files) - len(late)} of {len(files)} files flushed before the commit mark")
sys.exit(1 if late or not dir_after else 0)
PY
