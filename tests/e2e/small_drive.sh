#!/usr/bin/env bash
# Runs the small-drive case of updater_transaction_tests on a drive that
# really fills up: a tmpfs of a few MiB, linked into the Wine prefix as a
# drive letter. The test program runs under Wine and cannot mount anything,
# so this script does it around the run and undoes it afterwards.
#
# Usage: small_drive.sh <wine-run> <updater_transaction_tests.exe>
set -u
runner=$1
exe=$2
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# The prefix scripts/wine-run uses.
prefix=${WINEPREFIX:-$root/build/wine}

mnt=$(mktemp -d "${TMPDIR:-/tmp}/zt-small-drive.XXXXXX")
if ! mount -t tmpfs -o size=8m tmpfs "$mnt" 2>/dev/null; then
  rmdir "$mnt"
  echo "skipped: cannot mount tmpfs (the small-drive case needs the right to mount)"
  exit 0
fi
link=
cleanup() {
  [ -n "$link" ] && rm -f "$link"
  # A program killed on time-out may still hold a file there.
  umount "$mnt" 2>/dev/null || umount -l "$mnt"
  rmdir "$mnt"
}
trap cleanup EXIT

# The first letter the prefix does not use.
for letter in t u v w x y; do
  if ln -sn "$mnt" "$prefix/dosdevices/$letter:" 2>/dev/null; then
    link="$prefix/dosdevices/$letter:"
    break
  fi
done
if [ -z "$link" ]; then
  echo "no free drive letter in $prefix/dosdevices"
  exit 1
fi
ZT_SMALL_DRIVE="${letter^^}:\\" "$runner" "$exe" --gtest_filter='*SmallDrive*'
