#!/usr/bin/env bash
# Cross-builds Kelvane and its tests for Windows and runs the tests under Wine (CTest runs
# them through scripts/wine-run.sh), on a virtual X display for the window tests, with a
# Wine prefix of their own (out-win/wineprefix, made on first use).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build-windows.sh --tests
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  cd out-win
  status=0
  ctest --output-on-failure -j 2 || status=$?
  # Wine keeps its server a few seconds after the last program; the display goes now.
  WINEPREFIX=$PWD/wineprefix wineserver -k 2>/dev/null || true
  exit $status'
