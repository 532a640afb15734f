#!/usr/bin/env bash
# Replays every shared regression case of the detection rules (logged events
# turned into Vetrona's activities, through the client's field mapping) and
# requires each replayable case to pass and the count of replayed cases not to
# fall. Usage: sigma_replay_test.sh VETRONA_CLIENT SHARED_SIGMA_DIR
set -uo pipefail
client=$1
shared=$2
min_replayed=92  # raise it when more cases replay; never lower it
if [[ ! -d "$shared/rules" || ! -d "$shared/regression_data" ]]; then
  echo "skipped: no shared detection rules at $shared (rules/ and regression_data/)"
  exit 77
fi
rules=(--rules "$shared/rules")
[[ -d "$shared/rules-emerging-threats" ]] && rules+=(--rules "$shared/rules-emerging-threats")
out=$("$client" sigma-replay "${rules[@]}" "$shared/regression_data")
status=$?
echo "$out" | grep -v '  pass  '
summary=$(echo "$out" | tail -1)
passed=$(echo "$summary" | sed -n 's/^\([0-9]*\) passed.*/\1/p')
if [[ $status -ne 0 ]]; then
  echo "FAIL: a replayable case failed (exit $status)"
  exit 1
fi
if [[ -z "$passed" || $passed -lt $min_replayed ]]; then
  echo "FAIL: $passed cases replayed and passed, fewer than $min_replayed"
  exit 1
fi
echo "ok: $passed cases replayed and passed"
