#!/usr/bin/env bash
# Fails when a Windows program imports a DLL outside the system's known DLLs.
#   scripts/check-imports.sh OBJDUMP PROGRAM.exe
# The updater runs elevated from a folder the user downloaded, and Windows
# looks for any other DLL in the program's own folder first: such a DLL must
# be loaded at run time from the system folder instead (ztSystemFunction).
set -euo pipefail
objdump=$1
exe=$2
# The known DLLs every supported Windows maps from its own folder whatever
# lies beside the program.
allowed="kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll ole32.dll oleaut32.dll msvcrt.dll
         comdlg32.dll shlwapi.dll imm32.dll rpcrt4.dll ws2_32.dll"
imports=$("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
if [ -z "$imports" ]; then
  echo "no import table found in $exe"; exit 1
fi
bad=0
for dll in $imports; do
  if [[ " $(echo $allowed) " == *" $dll "* ]]; then
    echo "ok       $dll"
  else
    echo "REFUSED  $dll (not a known DLL: load it from the system folder at run time)"; bad=1
  fi
done
exit $bad
