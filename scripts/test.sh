#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the normal build, the Release
# build (so that it compiles too), the Debian package (scripts/package-test.sh), the same
# tests under AddressSanitizer and UndefinedBehaviorSanitizer, then a short fuzzing run of
# the readers.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh

export QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY

echo "== build"
bash scripts/build.sh
(cd out && ctest --output-on-failure -j "$(nproc)")

echo "== the Release build (optimised, warnings are errors there too)"
bash scripts/build.sh --release

echo "== the differential test: dry run against build in random worlds (KELVANE_DIFF_SECONDS, default 60)"
KELVANE_DIFF_SECONDS="${KELVANE_DIFF_SECONDS:-60}" KELVANE_DIFF_SEED="${KELVANE_DIFF_SEED:-$RANDOM}" \
  out/kelvane_tests --gtest_filter='Differential.*'

echo "== the Debian package: lintian, the unpacked program, the manual page, the systemd units"
bash scripts/package-test.sh

echo "== build with address and undefined-behaviour sanitizers"
bash scripts/build.sh --sanitize
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd out-asan && ctest --output-on-failure -j "$(nproc)")

echo "== Windows build and its tests under Wine"
bash scripts/test-windows.sh

echo "== fuzzing the readers (KELVANE_FUZZ_SECONDS each, default 60)"
bash scripts/fuzz.sh
