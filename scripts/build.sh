#!/usr/bin/env bash
# Builds Kelvane in out/ and leaves the executable at build/kelvane; with --sanitize builds
# in out-asan/ (AddressSanitizer and UndefinedBehaviorSanitizer), with --release (optimised,
# no tests, for benchmarks) in out-release/.
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
if [ "$dir" = out ]; then
  cp out/kelvane build/kelvane
fi
