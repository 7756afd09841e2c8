#!/usr/bin/env bash
# Cross-builds Kelvane and its tests for Windows and runs the tests under Wine (CTest runs
# them through scripts/wine-run.sh), on a virtual X display for the window tests, with a
# Wine prefix of their own (out-win/wineprefix, made on first use).
set -euo pipefail
cd "$(dirname "$0")/.."
# A step that fails says which, rather than ending the run without a word.
trap 'echo "test-windows.sh: \"$BASH_COMMAND\" failed with status $?" >&2' ERR
if [ "${1:-}" != --on-display ]; then
  bash scripts/build-windows.sh --tests
  exec xvfb-run -a -s "-screen 0 1024x768x24" bash scripts/test-windows.sh --on-display
fi

export WINEPREFIX=${KELVANE_WINEPREFIX:-$PWD/out-win/wineprefix}
export KELVANE_WINE_LOG=$PWD/out-win/wine-starts.log
rm -f "$KELVANE_WINE_LOG"
scripts/wine-run.sh cmd /c exit
# One Wine server for the whole run: each test program then starts in a fraction of a second
# instead of two or three, and none starts while a server is going away. The server that
# made the prefix or ran cmd lingers a few seconds, and a second one cannot start beside it:
# wait for it to end first.
wineserver -w
if ! wineserver -p; then
  echo "test-windows.sh: a Wine server was still there; waiting for it once more" >&2
  wineserver -w
  wineserver -p
fi
status=0
(cd out-win && ctest --output-on-failure -j 2) || status=$?
wineserver -k 2>/dev/null || true
if [ -s "$KELVANE_WINE_LOG" ]; then
  echo "Wine could not start a program at the first try:"
  cat "$KELVANE_WINE_LOG"
fi
exit $status
