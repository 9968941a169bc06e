# Source this file: starts a private Xvfb, exports DISPLAY for it and sets
# ZT_XVFB_PID, whose process the caller ends when it is done (the caller
# owns its EXIT trap). Xvfb picks a free display itself (-displayfd), so a
# display in use or a stale lock file left by a killed server cannot stop
# the run. Returns non-zero when the server has not come up within ten
# seconds.
_zt_dispfile=$(mktemp)
Xvfb -displayfd 9 -screen 0 1280x1024x24 -nolisten tcp 9>"$_zt_dispfile" >/dev/null 2>&1 &
ZT_XVFB_PID=$!
for _ in $(seq 100); do
  if [ -s "$_zt_dispfile" ]; then break; fi
  sleep 0.1
done
_zt_display=$(tr -d '[:space:]' <"$_zt_dispfile")
rm -f "$_zt_dispfile"
unset _zt_dispfile
if [ -n "$_zt_display" ]; then
  export DISPLAY=":$_zt_display"
  unset _zt_display
else
  unset _zt_display
  return 1
fi
