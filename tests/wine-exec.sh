#!/usr/bin/env bash
# Runs a cross-compiled test program under Wine. scripts/test.sh provides
# the prefix, the display and a persistent wineserver.
: "${WINEPREFIX:?run the tests through scripts/test.sh, which prepares Wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
exec "${WINE:-/usr/lib/wine/wine64}" "$@"
