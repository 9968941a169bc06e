# Source this file: sets up the project's private Wine prefix under build/ and
# keeps one warm wineserver running, so test programs start in a fraction of a
# second. Safe to source repeatedly.
_zt_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="$_zt_root/build/wine"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINELOADER=/usr/lib/wine/wine64
export WINESERVER=/usr/lib/wine/wineserver64
mkdir -p "$WINEPREFIX"
if [ ! -f "$WINEPREFIX/.zt-booted" ]; then
  # First start: create the prefix. Output goes nowhere so that Wine's service
  # processes do not inherit (and hold open) the caller's pipes.
  "$WINELOADER" wineboot -i </dev/null >/dev/null 2>&1 || true
  "$WINESERVER" -w </dev/null >/dev/null 2>&1 || true
  touch "$WINEPREFIX/.zt-booted"
fi
# One persistent server; starting a second one is a harmless no-op. Then a
# first program with every stream redirected, so that the services Wine starts
# on demand (winedevice, services, explorer) live with /dev/null as their
# streams rather than inheriting the pipes of whoever runs the tests next.
("$WINESERVER" -p </dev/null >/dev/null 2>&1 &)
"$WINELOADER" wineboot </dev/null >/dev/null 2>&1 || true
unset _zt_root
