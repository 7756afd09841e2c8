#!/usr/bin/env bash
# Cross-builds the Windows executable with mingw-w64 into out-win/: out-win/kelvane.exe
# (static: nothing but system DLLs needed) and out-win/kelvane-1.1-windows.zip holding it
# and a short text on how to use it. With --tests also builds the tests, which run under
# Wine (scripts/test-windows.sh runs them).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh --windows
tests=OFF
[ "${1:-}" = --tests ] && tests=ON
cmake -S . -B out-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DKELVANE_TESTS=$tests >/dev/null
cmake --build out-win -j 2
rm -f out-win/kelvane-1.1-windows.zip
zip -j -q out-win/kelvane-1.1-windows.zip out-win/kelvane.exe data/kelvane-windows.txt
echo "Built out-win/kelvane.exe and out-win/kelvane-1.1-windows.zip"
