#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a bounded time
# over its committed seed corpus. New inputs go to a scratch directory, so the checkout is
# never changed; a crash leaves its input in the scratch directory and fails the run.
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-20}
shift || true
build="$root/build-fuzz"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZL_FUZZ=ON \
  -DZL_BUILD_TESTS=OFF -DZL_BUILD_BENCH=OFF >/dev/null
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=($(ls "$root/fuzz/corpus"))
fi
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/zl_fuzz_}"

scratch=$(mktemp -d /tmp/zl-fuzz-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:suppressions=$root/fuzz/ubsan.supp
failed=0
for target in "${targets[@]}"; do
  mkdir -p "$scratch/$target"
  if "$build/fuzz/zl_fuzz_$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
      -artifact_prefix="$scratch/$target-" -print_final_stats=1 \
      "$scratch/$target" "$root/fuzz/corpus/$target" >"$scratch/$target.log" 2>&1; then
    echo "fuzz $target: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$scratch/$target.log" | grep -o '[0-9]*$') runs, no finding"
  else
    echo "fuzz $target: FINDING"
    tail -n 40 "$scratch/$target.log"
    for crash in "$scratch/$target"-*; do [ -e "$crash" ] && { echo "input:"; xxd "$crash" | head -20; }; done
    failed=1
  fi
done
exit $failed
