#!/usr/bin/env bash
# Builds Kelvane in out/ and leaves the executable at out/kelvane; with --sanitize builds
# in out-asan/ (AddressSanitizer and UndefinedBehaviorSanitizer), with --release (optimised,
# no tests, for benchmarks) in out-release/. Nothing generated goes into the source tree:
# engine/ holds the build engine's sources.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=out
flags=()
case "${1:-}" in
  --sanitize) dir=out-asan; flags=(-DKELVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug) ;;
  --release) dir=out-release; flags=(-DCMAKE_BUILD_TYPE=Release -DKELVANE_TESTS=OFF) ;;
esac
cmake -S . -B "$dir" "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
