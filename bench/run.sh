#!/usr/bin/env bash
# Installs what is missing, makes an optimised build and runs the benchmark.
# Extra arguments go to bench.py (for example: --sizes 10000 --runs 3).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh
bash scripts/build.sh --release >/dev/null
exec python3 bench/bench.py --kelvane out-release/kelvane "$@"
