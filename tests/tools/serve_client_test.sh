#!/usr/bin/env bash
# vetrona-client as a separate program is the driver's client through
# vetrona-sim serve: it connects over the socket, watches the editor (its pid
# taken from the server's ready line), answers by its policy file, and exits
# with status 3 when the server ends after the workload ("the driver went
# away"). The server checks the scenario's expectations and exits 0.
set -euo pipefail
sim=$1 client=$2 data=$3
dir=$(mktemp -d)
serve_pid=
cleanup() { [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null; rm -rf "$dir"; }
trap cleanup EXIT
sock=$dir/vetrona.sock

"$sim" serve --socket "$sock" --scenario "$data/workload.yaml" --json >"$dir/serve.out" 2>"$dir/serve.err" &
serve_pid=$!
for _ in $(seq 200); do grep -q '"type":"ready"' "$dir/serve.out" 2>/dev/null && break; sleep 0.05; done
pid=$(python3 -c 'import json,sys
for line in open(sys.argv[1]):
    o = json.loads(line)
    if o.get("type") == "ready": print(o["processes"]["editor"]); break' "$dir/serve.out")
[ -n "$pid" ] || { echo "no ready line from the server"; cat "$dir/serve.out" "$dir/serve.err"; exit 1; }

set +e
"$client" --socket "$sock" --watch "$pid" --on file --on process --on registry --policy "$data/policy.yaml" --json \
  --output "$dir/client.out" --report "$dir/client.html" 2>"$dir/client.err"
client_status=$?
wait "$serve_pid"
serve_status=$?
serve_pid=
set -e

fail() { echo "FAIL: $*"; echo "--- server"; cat "$dir/serve.out" "$dir/serve.err"; echo "--- client"; cat "$dir/client.out" "$dir/client.err"; exit 1; }
[ "$client_status" = 3 ] || fail "client exit status $client_status, expected 3 (the driver went away)"
[ "$serve_status" = 0 ] || fail "server exit status $serve_status"
python3 - "$dir/serve.out" "$dir/client.out" "$dir/client.html" <<'PY' || fail "transcripts do not agree"
import json, sys
serve = [json.loads(l) for l in open(sys.argv[1])]
client = [json.loads(l) for l in open(sys.argv[2])]
steps = [o for o in serve if o.get("type") == "step"]
assert len(steps) == 5 and all(o["ok"] for o in steps), steps
result = [o for o in serve if o.get("type") == "result"]
assert result and result[0]["passed"], result
summary = [o["summary"] for o in client if "summary" in o]
assert summary and summary[0]["ending"] == "the driver went away", summary
events = [o for o in client if "summary" not in o]
served = [o for o in serve if o.get("type") == "event"]
# Every event the client answered is one the server saw answered, with the same verdict.
assert [e["verdict"] for e in events] == [e["verdict"] for e in served], (events, served)
assert summary[0]["events"] == len(events)
assert any(e["class"] == "registry" and e["verdict"] == 1 and e.get("value") == "Editor" for e in events), events
# The same event carries the same field names in both programs' JSON lines:
# the server's transcript adds only its own fields around them. The acting
# process's image is there when the program knows it: the server knows every
# process, the client those whose start it saw (none here: the editor was
# running before it connected).
transcript_only = {"type", "step", "processName", "bytes_hex"}
classes = set()
for mine, theirs in zip(events, served):
    assert set(theirs) - transcript_only - {"processImage"} == set(mine) - {"processImage"}, (sorted(mine), sorted(theirs))
    for same in ("path", "destinationPath", "verdictName", "name", "key"):
        assert mine.get(same) == theirs.get(same), (same, mine, theirs)
    classes.add(mine["class"])
assert classes == {"file", "registry"}, classes
# In the user's terms: the drive letter the server's volume has (asked for on
# a connection of its own, which the server neither shows nor counts as a
# client), the device path beside it, the registry's short root beside the
# native path, and the time each event was received.
import re
deleted = [e for e in events if e["operation"] == "FileOpDelete"][0]
assert deleted["path"] == "C:\\Users\\alice\\Documents\\letter.txt", deleted
assert deleted["name"].startswith("\\Device\\HarddiskVolume"), deleted
run_key = [e for e in events if e.get("value") == "Editor"][0]
assert run_key["path"] == "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", run_key
assert run_key["key"].startswith("\\REGISTRY\\MACHINE\\"), run_key
assert all(re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", e["time"]) for e in events), events
assert [e["seq"] for e in events] == list(range(1, len(events) + 1)), events
assert sum(1 for o in serve if o.get("type") == "connection" and "pid" in o) == 1, "the volume query was counted as a client"
# The client wrote its behaviour report when the driver went away: the same
# events, verdicts and user paths as its JSON lines.
page = open(sys.argv[3], encoding="utf-8").read()
start = page.index('id="report-data">') + len('id="report-data">')
run = json.loads(page[start:page.index("</script>", start)])["runs"][0]
assert run["eventsTotal"] == len(events) and run["outcome"]["ending"] == "the driver went away", run
assert [e["seq"] for e in run["denied"]] == [e["seq"] for e in events if e["verdict"] == 1], run["denied"]
assert [e["path"] for e in run["events"]] == [e["path"] for e in events], run["events"]
PY
echo "ok: $(grep -c '' "$dir/client.out") client lines, server passed"
