#!/usr/bin/env bash
# Builds everything and runs the tests: the host build, the AddressSanitizer +
# UndefinedBehaviorSanitizer build, the ThreadSanitizer build of the concurrency
# tests, and the Windows cross-build with its image check.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
jobs=$(nproc)

echo "== host build"
cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs"
ctest --preset host -j "$jobs"

echo "== address + undefined sanitizer build"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs" --target vetrona_tests vetrona_concurrency_tests vetrona-sim
ctest --preset asan -j "$jobs"

echo "== thread sanitizer build (concurrency tests)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target vetrona_concurrency_tests
ctest --preset tsan -j "$jobs"

echo "== fuzz targets (clang, libFuzzer): a short run of each"
cmake --preset fuzz >/dev/null
fuzz_targets=$(for f in fuzz/*.cpp; do basename "$f" .cpp | sed 's/^/fuzz_/'; done)
cmake --build --preset fuzz -j "$jobs" --target $fuzz_targets
for target in build/fuzz/fuzz_*; do
  [ -f "$target" ] && [ -x "$target" ] || continue
  (cd build/fuzz && "./$(basename "$target")" -max_total_time="${VETRONA_FUZZ_SECONDS:-15}" -print_final_stats=1 2>&1 \
     | grep -E "^Done|stat::number_of_executed_units" | sed "s|^|$(basename "$target"): |")
done

echo "== Windows cross-build"
./windows/build-sys.sh
