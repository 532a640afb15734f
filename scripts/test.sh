#!/usr/bin/env bash
# Builds everything and runs the tests: the host build, the Windows cross-build
# with its image check (first: the host tests also run that image on the
# simulated kernel and compare it with the linked driver), the AddressSanitizer +
# UndefinedBehaviorSanitizer build, the ThreadSanitizer build of the concurrency
# tests, and a short run of each fuzz target. Each stage builds only what its
# tests run. Every compile goes through ccache (CMake's launcher, the
# cross-build's own); the cache is keyed on paths relative to the checkout, so
# another clone or worktree on the same machine reuses it.
set -euo pipefail
cd "$(dirname "$0")/.."
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
./scripts/deps.sh
jobs=$(nproc)
# Each ctest run's closing lines, printed again at the end.
summary=$(mktemp); trap 'rm -f "$summary"' EXIT
run_ctest() {
  local log; log=$(mktemp)
  ctest --preset "$1" -j "$jobs" 2>&1 | tee "$log"
  { echo "ctest --preset $1:"; grep -E "tests passed|Total Test time" "$log" | sed 's/^/  /'; } >>"$summary"
  rm -f "$log"
}

echo "== host build"
cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs"

# The image first: the host tests run it on the simulated kernel.
echo "== Windows cross-build"
./windows/build-sys.sh

run_ctest host

echo "== address + undefined sanitizer build"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs" --target vetrona_tests vetrona_concurrency_tests vetrona_socket_tests vetrona-sim vetrona-client
run_ctest asan

echo "== thread sanitizer build (concurrency tests)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target vetrona_concurrency_tests
run_ctest tsan

echo "== fuzz targets (clang, libFuzzer): a short run of each, and the long run's script"
cmake --preset fuzz >/dev/null
fuzz_targets=$(for f in fuzz/*.cpp; do basename "$f" .cpp | sed 's/^/fuzz_/'; done)
cmake --build --preset fuzz -j "$jobs" --target $fuzz_targets
run_ctest fuzz

echo "== summary"
cat "$summary"
