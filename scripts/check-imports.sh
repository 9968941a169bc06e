#!/usr/bin/env bash
# Fails when updater.exe imports at load time a DLL outside a short list.
#   scripts/check-imports.sh OBJDUMP PROGRAM.exe
# The updater runs elevated from a folder the user downloaded. Windows looks
# for a DLL that is not a known one in the program's own folder first, and
# DLLs loaded at start-up pull in the DLLs they import before any of our code
# can restrict the search. So only DLLs that import nothing beyond the core
# are loaded at start-up; user32, gdi32, shell32 and ole32 are delay-loaded
# (cmake/delayload.cmake), other DLLs come from the system folder at run time
# (platform/ztSystemLibrary.h).
set -euo pipefail
objdump=$1
exe=$2
allowed="kernel32.dll msvcrt.dll advapi32.dll"
imports=$("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
if [ -z "$imports" ]; then
  echo "no import table found in $exe"; exit 1
fi
bad=0
for dll in $imports; do
  if [[ " $(echo $allowed) " == *" $dll "* ]]; then
    echo "ok       $dll"
  else
    echo "REFUSED  $dll (delay-load it or take it from the system folder at run time)"; bad=1
  fi
done
exit $bad
