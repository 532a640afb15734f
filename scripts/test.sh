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
cmake --build --preset asan -j "$jobs" --target vetrona_tests vetrona_concurrency_tests
ctest --preset asan -j "$jobs"

echo "== thread sanitizer build (concurrency tests)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target vetrona_concurrency_tests
ctest --preset tsan -j "$jobs"

echo "== Windows cross-build"
./windows/build-sys.sh
