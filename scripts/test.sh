#!/usr/bin/env bash
# Sets up, builds and runs every test twice: a normal build, then a build under
# AddressSanitizer and UndefinedBehaviorSanitizer (any sanitizer report fails the run).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc)

bash "$root/scripts/setup.sh"

echo "== normal build"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j "$jobs"
(cd "$root/build" && ctest --output-on-failure --timeout 900)

echo "== sanitizer build (ASan + UBSan)"
cmake -S "$root" -B "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DZL_SANITIZE=ON -DZL_BUILD_BENCH=OFF >/dev/null
cmake --build "$root/build-asan" -j "$jobs"
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=0:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
(cd "$root/build-asan" && ctest --output-on-failure --timeout 900)

echo "== fuzz targets (clang, ASan + UBSan, bounded time each)"
bash "$root/scripts/fuzz.sh" "${ZL_FUZZ_SECONDS:-15}"
