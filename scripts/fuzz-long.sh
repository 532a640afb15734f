#!/usr/bin/env bash
# The long fuzz run: every libFuzzer target (or the ones named) for a while
# each, from its hand-written seeds (fuzz/corpus/NAME), the corpus earlier long
# runs kept in the repository (fuzz/kept/NAME) and this machine's working
# corpus (build/fuzz/long/NAME/corpus). Afterwards the kept corpus is merged
# again (a small set of inputs that adds to the seeds' coverage all that the
# others add, at most 1 MiB per target) and the run is recorded in docs/fuzzing.md (its
# executions, edges and features, and each target's totals over all runs).
# Commit both. Whatever makes a target fail is kept in
# build/fuzz/long/NAME/crashes; the run then ends with status 1.
#
#   scripts/fuzz-long.sh [TARGET...]      TARGET: build_clip, client_decode, ...
#   VETRONA_FUZZ_SECONDS=3600             seconds per target (default 600)
#   VETRONA_FUZZ_JOBS=2                   fuzzing processes per target (default 1)
#   VETRONA_FUZZ_KEEP=0                   neither merge nor record (default 1)
#
# Where things are (tests point them elsewhere): VETRONA_FUZZ_BIN (the built
# targets, default build/fuzz; VETRONA_FUZZ_NO_BUILD=1 uses them as they are),
# VETRONA_FUZZ_WORK (default build/fuzz/long), VETRONA_FUZZ_KEPT (default
# fuzz/kept), VETRONA_FUZZ_RECORD (default docs/fuzzing.md).
#
# A crash becomes a regression test: reproduce it with
#   build/fuzz/fuzz_NAME build/fuzz/long/NAME/crashes/FILE
# mend it, add the input to fuzz/corpus/NAME (the test command runs every seed)
# and a test that pins the mended behaviour.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${VETRONA_FUZZ_SECONDS:-600}
jobs=${VETRONA_FUZZ_JOBS:-1}
keep=${VETRONA_FUZZ_KEEP:-1}
bin=$(realpath -m "${VETRONA_FUZZ_BIN:-build/fuzz}")
workroot=$(realpath -m "${VETRONA_FUZZ_WORK:-build/fuzz/long}")
keptroot=$(realpath -m "${VETRONA_FUZZ_KEPT:-fuzz/kept}")
record=$(realpath -m "${VETRONA_FUZZ_RECORD:-docs/fuzzing.md}")
cap_bytes=$((1024 * 1024))

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

if [ "${VETRONA_FUZZ_NO_BUILD:-0}" != 1 ]; then
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]}"
fi
commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)

# The last progress line's figures: "#N: cov: E ft: F ..." in fork mode,
# "#N <event> cov: E ft: F ..." otherwise. Prints "executions edges features".
figures() {
  awk '/^#[0-9]+/ {
         n = substr($1, 2); sub(/:$/, "", n)
         for (i = 2; i < NF; i++) { if ($i == "cov:") e = $(i + 1); if ($i == "ft:") f = $(i + 1) }
       }
       /stat::number_of_executed_units/ { done += $2 }
       END { if (done > 0) n = done; print (n == "" ? 0 : n), (e == "" ? 0 : e), (f == "" ? 0 : f) }' "$1"
}

# Replaces the kept corpus with a fresh merge of it and the working corpus:
# only inputs that add features to what the seeds give, then, past the cap,
# the largest dropped first.
keep_corpus() {
  local name=$1 work=$2 kept=$keptroot/$1 merged
  merged=$(mktemp -d)
  local seeds=()
  if [ -d "fuzz/corpus/$name" ]; then
    for f in "fuzz/corpus/$name"/*; do
      [ -f "$f" ] && cp "$f" "$merged/seed-$(basename "$f")" && seeds+=("$merged/seed-$(basename "$f")")
    done
  fi
  local inputs=()
  [ -d "$kept" ] && inputs+=("$kept")
  inputs+=("$work/corpus")
  "$bin/fuzz_$name" -set_cover_merge=1 "$merged" "${inputs[@]}" >"$work/last-merge.log" 2>&1 ||
    { echo "fuzz-long: fuzz_$name: the merge failed (see $work/last-merge.log)" >&2; rm -rf "$merged"; return 1; }
  rm -f "${seeds[@]}"
  local total; total=$(find "$merged" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')
  while [ "$total" -gt "$cap_bytes" ]; do
    local largest; largest=$(find "$merged" -type f -printf '%s %p\n' | sort -n | tail -1)
    rm -f "${largest#* }"
    total=$((total - ${largest%% *}))
  done
  rm -rf "$kept"
  mkdir -p "$(dirname "$kept")"
  mv "$merged" "$kept"
  chmod 755 "$kept"
}

failed=0
for name in "${names[@]}"; do
  work=$workroot/$name
  mkdir -p "$work/corpus" "$work/crashes"
  corpus=("$work/corpus")
  [ -d "$keptroot/$name" ] && corpus+=("$keptroot/$name")
  [ -d "fuzz/corpus/$name" ] && corpus+=("$root/fuzz/corpus/$name")
  dict=(); [ -f "fuzz/$name.dict" ] && dict=(-dict="$root/fuzz/$name.dict")
  fork=(); [ "$jobs" -gt 1 ] && fork=(-fork="$jobs")
  before=$(find "$work/crashes" -type f | wc -l)
  log=$work/last-run.log
  echo "== fuzz_$name: $seconds s, $jobs job(s)"
  status=0
  (cd "$work" && "$bin/fuzz_$name" "${corpus[@]}" -max_total_time="$seconds" -print_final_stats=1 \
     -artifact_prefix="$work/crashes/" "${dict[@]}" "${fork[@]}" >"$log" 2>&1) || status=$?
  read -r executions edges features < <(figures "$log")
  after=$(find "$work/crashes" -type f | wc -l)
  echo "fuzz_$name: $executions executions, $edges edges, $features features, $((after - before)) new crashes (exit $status)"
  if [ "$status" -ne 0 ] || [ "$after" -gt "$before" ] || [ "$executions" = 0 ]; then
    failed=1
    echo "fuzz_$name: failed; its log is $log" >&2
    grep -h -m3 -E "ERROR|SUMMARY|Test unit written" "$log" | sed "s|^|fuzz_$name: |" >&2 || true
    continue
  fi
  if [ "$keep" = 1 ]; then
    keep_corpus "$name" "$work" || { failed=1; continue; }
    kept_files=$(find "$keptroot/$name" -type f | wc -l)
    kept_bytes=$(find "$keptroot/$name" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')
    echo "fuzz_$name: kept corpus $kept_files inputs, $kept_bytes bytes"
    python3 scripts/fuzz_record.py "$record" --date "$(date -u +%Y-%m-%d)" --commit "$commit" --target "$name" \
      --seconds "$seconds" --jobs "$jobs" --executions "$executions" --edges "$edges" --features "$features" \
      --kept "$kept_files" --kept-bytes "$kept_bytes"
  fi
done
exit "$failed"
