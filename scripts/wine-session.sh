# Sourced by scripts/test.sh: prepares what the Windows build's tests need
# and tears it down on exit.
#   - an X display (Xvfb) so that the report box really appears;
#   - a private Wine prefix under build/, made once;
#   - one persistent wineserver for the whole run, so each program starts fast.
WINE_BIN_DIR=/usr/lib/wine
export WINE="$WINE_BIN_DIR/wine64"
export WINESERVER="$WINE_BIN_DIR/wineserver"
export WINEPREFIX="$PWD/build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

Xvfb -displayfd 6 -nolisten tcp -screen 0 1024x768x24 6>"$PWD/build/.xvfb-display" >/dev/null 2>&1 &
XVFB_PID=$!
for _ in $(seq 1 100); do
  [ -s "$PWD/build/.xvfb-display" ] && break
  sleep 0.1
done
export DISPLAY=":$(cat "$PWD/build/.xvfb-display")"

wine_session_end() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  kill "$XVFB_PID" >/dev/null 2>&1 || true
}
trap wine_session_end EXIT

# A server left from an earlier run would keep that run's display.
"$WINESERVER" -k >/dev/null 2>&1 || true
if [ ! -d "$WINEPREFIX/drive_c/windows" ]; then
  "$WINE" wineboot -i >/dev/null 2>&1
  "$WINESERVER" -w  # the server wineboot started lingers; let it finish
fi
"$WINESERVER" -p
"$WINE" cmd /c exit >/dev/null 2>&1 || true  # warm the prefix once
