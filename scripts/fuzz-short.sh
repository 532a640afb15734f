#!/usr/bin/env bash
# One short run of a fuzz target, as the test command makes it (a test of the
# fuzz build, `ctest --preset fuzz`): from the target's seeds
# (fuzz/corpus/NAME) and the corpus long runs kept (fuzz/kept/NAME), both read
# only, for VETRONA_FUZZ_SECONDS (default 6). What the run finds goes to a
# scratch folder; a crash is kept in build/fuzz/short-crashes/NAME.
#
#   scripts/fuzz-short.sh build/fuzz/fuzz_NAME
set -euo pipefail
binary=$(realpath "$1")
cd "$(dirname "$0")/.."
name=$(basename "$binary"); name=${name#fuzz_}
seconds=${VETRONA_FUZZ_SECONDS:-6}
scratch=$(mktemp -d); trap 'rm -rf "$scratch"' EXIT
crashes=$(dirname "$binary")/short-crashes/$name
mkdir -p "$crashes"
corpus=("$scratch")
for dir in "fuzz/corpus/$name" "fuzz/kept/$name"; do
  [ -d "$dir" ] && corpus+=("$PWD/$dir")
done
dict=(); [ -f "fuzz/$name.dict" ] && dict=(-dict="$PWD/fuzz/$name.dict")
status=0
(cd "$scratch" && "$binary" "${corpus[@]}" "${dict[@]}" -max_total_time="$seconds" -print_final_stats=1 \
   -artifact_prefix="$crashes/" >"$scratch/log" 2>&1) || status=$?
grep -E "^Done|stat::number_of_executed_units" "$scratch/log" | sed "s|^|fuzz_$name: |" || true
if [ "$status" -ne 0 ]; then
  grep -h -m5 -E "ERROR|SUMMARY|Test unit written|^==" "$scratch/log" | sed "s|^|fuzz_$name: |" >&2 || true
  tail -30 "$scratch/log" >&2
  exit 1
fi
