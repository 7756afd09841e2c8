#!/usr/bin/env bash
# Builds Kelvane into build/ (build/kelvane); with --sanitize into build-asan/, with
# --release (no tests, optimised, for benchmarks) into build-release/.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build
flags=()
case "${1:-}" in
  --sanitize) dir=build-asan; flags=(-DKELVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug) ;;
  --release) dir=build-release; flags=(-DCMAKE_BUILD_TYPE=Release -DKELVANE_TESTS=OFF) ;;
esac
cmake -S . -B "$dir" "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
