#!/usr/bin/env bash
# A long run of the differential test (tests/differential_test.cpp): random worlds, each
# dry-run and then built in a scratch folder, the plan held against what the build did.
# Usage: scripts/differential.sh [SECONDS [FIRST_SEED]]  (default an hour, from seed 1).
# As root, so that a folder of another account can be made. A differing world is printed
# with its seed and the steps that made it; KELVANE_DIFF_SEED=N KELVANE_DIFF_WORLDS=1 runs
# it alone.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
KELVANE_DIFF_SECONDS="${1:-3600}" KELVANE_DIFF_SEED="${2:-1}" \
  out/kelvane_tests --gtest_filter='Differential.*'
