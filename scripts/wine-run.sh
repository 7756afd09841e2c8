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
log() { echo "wine-run.sh: $*" | tee -a "${KELVANE_WINE_LOG:-/dev/null}" >&2; }
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  # wineboot may end with an error status although it made the prefix: the prefix is what
  # is checked, and a failed first try is logged and made good once.
  made=0
  wineboot -i >/dev/null 2>&1 || made=$?
  wineserver -w || true
  if [ "$made" -ne 0 ]; then
    log "wineboot -i ended with status $made; bringing the prefix up to date once more"
    wineboot -u >/dev/null 2>&1 || true
    wineserver -w || true
  fi
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine-run.sh: cannot make the Wine prefix $WINEPREFIX (wineboot ended with status" \
      "$made); check that Wine is installed and the folder can be written" >&2
    exit 1
  fi
  # Without a window manager, Wine's own frames start a window in a fraction of a second
  # instead of two.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 ||
    log "Wine's window frames could not be set; windows open more slowly"
  wineserver -w || true
fi
flock -u 9
exec 9>&-

# Within CTest's own limit (120 s), so that what a program printed before it hung is shown.
run() { timeout --kill-after=5 "${KELVANE_WINE_TIMEOUT:-100}" wine "$@"; }

# A program that printed nothing at all never reached its own code: Wine could not start it
# (a Wine server going away as it connected, say). That start, and only that, is made once
# more, and the log says so; a program that printed anything, or ran out of time, keeps its
# status.
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
status=0
run "$@" >"$out" 2>"$err" || status=$?
if [ "$status" -ne 0 ] && [ "$status" -ne 124 ] && [ "$status" -ne 137 ] && [ ! -s "$out" ] &&
  [ ! -s "$err" ]; then
  log "$* ended with status $status and printed nothing; starting it once more"
  status=0
  run "$@" >"$out" 2>"$err" || status=$?
fi
cat "$out"
cat "$err" >&2
exit "$status"
