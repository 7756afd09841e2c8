#!/usr/bin/env bash
# Runs a Windows program under Wine for the tests: a private prefix (KELVANE_WINEPREFIX, made
# on first use), no debug output, no debugger on a crash (it fails fast with status 5), and a
# time limit, because a window program without a display waits for ever.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${KELVANE_WINEPREFIX:-$here/out-win/wineprefix}
export WINEDEBUG=-all WINEDLLOVERRIDES="winedbg.exe=d;mscoree,mshtml="
# Two tests starting at once make the prefix once.
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1
  # Without a window manager, Wine's own frames start a window in a fraction of a second
  # instead of two.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
  wineserver -w
fi
flock -u 9
exec 9>&-
exec timeout --kill-after=5 "${KELVANE_WINE_TIMEOUT:-120}" wine "$@"
