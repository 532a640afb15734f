#!/usr/bin/env bash
# The long fuzz run: every libFuzzer target (or the ones named) for a while
# each, from its committed seeds in fuzz/corpus/NAME and from the inputs earlier
# long runs kept (build/fuzz/long/NAME/corpus). Whatever makes a target fail is
# kept in build/fuzz/long/NAME/crashes; the run then ends with status 1.
#
#   scripts/fuzz-long.sh [TARGET...]      TARGET: build_clip, client_decode, ...
#   VETRONA_FUZZ_SECONDS=3600             seconds per target (default 600)
#   VETRONA_FUZZ_JOBS=2                   fuzzing processes per target (default 1)
#
# A crash becomes a regression test: reproduce it with
#   build/fuzz/fuzz_NAME build/fuzz/long/NAME/crashes/FILE
# mend it, add the input to fuzz/corpus/NAME (scripts/test.sh runs every seed)
# and a test that pins the mended behaviour.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${VETRONA_FUZZ_SECONDS:-600}
jobs=${VETRONA_FUZZ_JOBS:-1}

if [ "$#" -gt 0 ]; then
  names=("$@")
else
  names=()
  for f in fuzz/*.cpp; do names+=("$(basename "$f" .cpp)"); done
fi
targets=()
for name in "${names[@]}"; do
  [ -f "fuzz/$name.cpp" ] || { echo "fuzz-long: no fuzz target fuzz/$name.cpp" >&2; exit 2; }
  targets+=("fuzz_$name")
done

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]}"

failed=0
for name in "${names[@]}"; do
  work=build/fuzz/long/$name
  mkdir -p "$work/corpus" "$work/crashes"
  corpus=("$PWD/$work/corpus")
  [ -d "fuzz/corpus/$name" ] && corpus+=("$PWD/fuzz/corpus/$name")
  before=$(find "$work/crashes" -type f | wc -l)
  log=$work/last-run.log
  echo "== fuzz_$name: $seconds s"
  status=0
  fork=()
  [ "$jobs" -gt 1 ] && fork=(-fork="$jobs")
  (cd build/fuzz && "./fuzz_$name" "${corpus[@]}" -max_total_time="$seconds" -print_final_stats=1 \
     -artifact_prefix="$PWD/long/$name/crashes/" "${fork[@]}" >"$PWD/long/$name/last-run.log" 2>&1) || status=$?
  # The final statistics; in fork mode the last progress line's count.
  executions=$(grep -h "stat::number_of_executed_units" "$log" | awk '{s += $2} END {print s + 0}')
  if [ "$executions" = 0 ]; then
    executions=$(grep -hoE "^#[0-9]+" "$log" | tail -1 | tr -d '#')
  fi
  after=$(find "$work/crashes" -type f | wc -l)
  echo "fuzz_$name: $executions executions, corpus $(find "$work/corpus" -type f | wc -l) inputs, $((after - before)) new crashes (exit $status)"
  if [ "$status" -ne 0 ] || [ "$after" -gt "$before" ]; then
    failed=1
    grep -h -m3 -E "ERROR|SUMMARY|Test unit written" "$log" | sed "s|^|fuzz_$name: |" || true
  fi
done
exit "$failed"
