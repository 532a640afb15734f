#!/usr/bin/env bash
# vetrona-client --sigma with the curated deny list, through vetrona-sim serve:
# the shadow-copy deletion and System Restore switched off are denied by their
# rules, each with an alert naming the rule's author; the ordinary setting is
# allowed without one. Skipped without the shared rules beside the repository.
# Usage: sigma_client_test.sh VETRONA_SIM VETRONA_CLIENT SOURCE_DIR SHARED_SIGMA_DIR
set -euo pipefail
sim=$1 client=$2 src=$3 shared=$4
if [[ ! -d "$shared/rules" ]]; then
  echo "skipped: no shared detection rules at $shared/rules"
  exit 77
fi
dir=$(mktemp -d)
serve_pid=
cleanup() { [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null; rm -rf "$dir"; }
trap cleanup EXIT
sock=$dir/vetrona.sock
"$sim" serve --socket "$sock" --scenario "$src/tests/tools/serve/sigma-workload.yaml" --json >"$dir/serve.out" 2>"$dir/serve.err" &
serve_pid=$!
for _ in $(seq 200); do grep -q '"type":"ready"' "$dir/serve.out" 2>/dev/null && break; sleep 0.05; done
pid=$(python3 -c 'import json,sys
for line in open(sys.argv[1]):
    o = json.loads(line)
    if o.get("type") == "ready": print(o["processes"]["script"]); break' "$dir/serve.out")
[ -n "$pid" ] || { echo "no ready line from the server"; cat "$dir/serve.out" "$dir/serve.err"; exit 1; }
set +e
"$client" --socket "$sock" --watch "$pid" --on process --on registry --sigma "$shared/rules" \
  --policy "$src/policies/sigma-deny.yaml" --json --output "$dir/client.out" 2>"$dir/client.err"
client_status=$?
wait "$serve_pid"
serve_status=$?
serve_pid=
set -e
fail() { echo "FAIL: $*"; echo "--- server"; cat "$dir/serve.out" "$dir/serve.err"; echo "--- client"; cat "$dir/client.out" "$dir/client.err"; exit 1; }
[ "$client_status" = 3 ] || fail "client exit status $client_status, expected 3 (the driver went away)"
[ "$serve_status" = 0 ] || fail "server exit status $serve_status (a step or expectation failed)"
python3 - "$dir/client.out" <<'PY' || fail "alerts are not as expected"
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
alerts = [o for o in lines if o.get("type") == "sigma-alert"]
denies = {o["rule_id"]: o for o in alerts if o["verdict"] == "deny"}
assert "c947b146-0abc-4c87-9c64-b17e9d7274a2" in denies, "no denial by the shadow-copy rule"
assert "5de03871-5d46-4539-a82d-3aa992a69a83" in denies, "no denial by the System Restore rule"
for o in alerts:
    assert o["author"] and o["title"] and o["level"], o
assert not [o for o in alerts if "Editor" in json.dumps(o["event"])], "the ordinary setting raised an alert"
print(f"ok: {len(alerts)} alerts, {len(denies)} rules denied")
PY
