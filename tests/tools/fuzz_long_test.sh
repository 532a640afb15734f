#!/usr/bin/env bash
# scripts/fuzz-long.sh with two jobs per target on two targets, twice, for a
# few seconds each, into scratch folders: every target runs (not only the
# first), each run's executions and edges are recorded, the second run adds to
# the first's totals, and the kept corpus stays under its cap.
#   fuzz_long_test.sh BUILD_DIR_WITH_THE_FUZZ_TARGETS
set -euo pipefail
bin=$(realpath "$1")
here=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d); trap 'rm -rf "$scratch"' EXIT
fail() { echo "fuzz_long_test: $*" >&2; exit 1; }

run() {
  VETRONA_FUZZ_NO_BUILD=1 VETRONA_FUZZ_BIN="$bin" VETRONA_FUZZ_SECONDS=3 VETRONA_FUZZ_JOBS=2 \
  VETRONA_FUZZ_WORK="$scratch/work" VETRONA_FUZZ_KEPT="$scratch/kept" VETRONA_FUZZ_RECORD="$scratch/fuzzing.md" \
    "$here/scripts/fuzz-long.sh" client_decode socket_client >"$scratch/out" 2>&1 ||
    { status=$?; cat "$scratch/out" >&2; fail "fuzz-long.sh exited $status"; }
  cat "$scratch/out"
}

# Executions of a target accumulated in the record's totals.
total() {
  awk -F'|' -v t="$1" '/totals begin/ {on = 1} /totals end/ {on = 0}
                       on && $2 ~ " " t " " {gsub(/[ ,]/, "", $5); print $5}' "$scratch/fuzzing.md"
}

run
for name in client_decode socket_client; do
  grep -qE "^fuzz_$name: [1-9][0-9]* executions, [1-9][0-9]* edges" "$scratch/out" || fail "fuzz_$name did not run or report"
  [ -d "$scratch/kept/$name" ] || fail "no kept corpus for $name"
  [ "$(find "$scratch/kept/$name" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')" -le 1048576 ] ||
    fail "the kept corpus of $name is over its cap"
done
first=$(total client_decode)
[ -n "$first" ] && [ "$first" -gt 0 ] || fail "no total for client_decode in the record"

run
second=$(total client_decode)
[ "$second" -gt "$first" ] || fail "the second run did not add to the totals ($first, then $second)"
[ "$(grep -c '| client_decode |' "$scratch/fuzzing.md")" -ge 3 ] || fail "not a row per run and a total"
echo "fuzz_long_test: both targets ran twice with two jobs; client_decode totals $first, then $second executions"
