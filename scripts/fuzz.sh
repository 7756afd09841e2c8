#!/usr/bin/env bash
# Builds the fuzz targets of the readers with clang into out-fuzz/ and runs each for a
# bounded time (KELVANE_FUZZ_SECONDS, default 60) on a copy of its seed corpus, so nothing new
# is written into the repository. Exits 1 when any target finds a crash, a hang (an input
# taking over 10 s), memory beyond 512 MB, a leak, undefined behaviour or a broken property;
# the input that did it and the full log stay in the temporary folder named.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${KELVANE_FUZZ_SECONDS:-60}
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "KELVANE_FUZZ_SECONDS must be a whole number of seconds, not '$seconds'" >&2
  exit 2
fi

CC=clang CXX=clang++ cmake -S . -B out-fuzz -DKELVANE_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build out-fuzz -j "$(nproc)" >/dev/null

# Longest input per target: a settings file is a few lines, an old table may be many.
declare -A max_len=([field_reader]=1024 [settings]=2048 [old_table]=8192)

export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=""

work=$(mktemp -d /tmp/kelvane-fuzz-XXXXXX)
found=0
for target in field_reader settings old_table; do
  dir="$work/$target"
  mkdir -p "$dir/corpus"
  cp -r "tests/fuzz/corpus/$target/." "$dir/corpus"
  status=0
  # The outer timeout only guards against libFuzzer itself never returning.
  timeout --kill-after=10 $((seconds + 120)) "out-fuzz/tests/fuzz/${target}_fuzzer" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=512 -max_len="${max_len[$target]}" \
    -print_final_stats=1 -artifact_prefix="$dir/finding-" "$dir/corpus" >"$dir/log" 2>&1 ||
    status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)
  if [ "$status" -eq 0 ]; then
    echo "fuzz $target: ${runs:-0} runs, no finding"
    continue
  fi
  found=1
  what=$(grep -m1 -E 'ERROR: |fuzz property broken|runtime error' "$dir/log" || true)
  [ "$status" -eq 124 ] && what="the fuzzer did not stop within its time"
  echo "fuzz $target: FINDING after ${runs:-?} runs (exit status $status): ${what:-see the log}"
  input=$(sed -n 's/.*Test unit written to //p' "$dir/log" | tail -1)
  [ -n "$input" ] && echo "  input: $input"
  echo "  log:   $dir/log"
done

if [ "$found" -ne 0 ]; then
  echo "Fuzzing found faults; inputs and logs are kept in $work"
  exit 1
fi
rm -rf "$work"
