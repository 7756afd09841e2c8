#!/usr/bin/env bash
# Builds Kelvane in out/ (scripts/build.sh) and makes its Debian package with CPack:
# out/kelvane_<version>_amd64.deb. Install it with: apt install ./out/kelvane_<version>_amd64.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null
rm -f out/kelvane_*.deb
(cd out && cpack -G DEB >/dev/null)
ls out/kelvane_*_amd64.deb
