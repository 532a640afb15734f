#!/usr/bin/env bash
# vetrona-client through vetrona-sim serve reads a started program's image
# from the served machine (in 64 KiB parts over the socket): a rule on the
# image's SHA-256 denies its start, so every byte of the file made the trip.
# A program with an image of another hash starts.
# Usage: served_image_test.sh VETRONA_SIM VETRONA_CLIENT
set -euo pipefail
sim=$1 client=$2
dir=$(mktemp -d)
serve_pid=
cleanup() { [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null; rm -rf "$dir"; }
trap cleanup EXIT
sock=$dir/vetrona.sock
mkdir "$dir/rules"
# Three parts and a bit: 150,000 bytes; the other image differs in its last byte.
python3 - "$dir" <<'PY'
import hashlib, sys
d = sys.argv[1]
data = bytes((i * 7 + i // 251) % 256 for i in range(150000))
other = data[:-1] + bytes([(data[-1] + 1) % 256])
open(f"{d}/rules/hash.yml", "w").write(f"""title: A program known by its image's hash
id: 5b1d7a3e-0000-4000-8000-0000000000a1
status: test
author: Vetrona tests
logsource: {{category: process_creation, product: windows}}
detection:
  selection: {{Hashes|contains: 'SHA256={hashlib.sha256(data).hexdigest()}'}}
  condition: selection
level: high
""")
open(f"{d}/policy.yaml", "w").write("default: allow\nsigma:\n  deny:\n    ids: [5b1d7a3e-0000-4000-8000-0000000000a1]\n")
open(f"{d}/machine.yaml", "w").write(f"""scenario: A program known by its image's bytes
machine:
  volumes:
    - drive: C
      files:
        - {{path: 'Users\\\\alice\\\\Downloads\\\\update.exe', hex: '{data.hex()}'}}
        - {{path: 'Users\\\\alice\\\\Downloads\\\\viewer.exe', hex: '{other.hex()}'}}
  processes:
    - {{name: launcher, image: 'C:\\\\Windows\\\\explorer.exe'}}
workload:
  - process: launcher
    start: {{name: viewer, image: 'C:\\\\Users\\\\alice\\\\Downloads\\\\viewer.exe'}}
  - process: launcher
    start: {{name: tool, image: 'C:\\\\Users\\\\alice\\\\Downloads\\\\update.exe'}}
    status: STATUS_ACCESS_DENIED
expect:
  processes:
    - {{name: tool, started: false}}
""")
PY
"$sim" serve --socket "$sock" --scenario "$dir/machine.yaml" --json >"$dir/serve.out" 2>"$dir/serve.err" &
serve_pid=$!
for _ in $(seq 200); do grep -q '"type":"ready"' "$dir/serve.out" 2>/dev/null && break; sleep 0.05; done
pid=$(python3 -c 'import json,sys
for line in open(sys.argv[1]):
    o = json.loads(line)
    if o.get("type") == "ready": print(o["processes"]["launcher"]); break' "$dir/serve.out")
[ -n "$pid" ] || { echo "no ready line from the server"; cat "$dir/serve.out" "$dir/serve.err"; exit 1; }
set +e
"$client" --socket "$sock" --watch "$pid" --on process --sigma "$dir/rules" --policy "$dir/policy.yaml" --json \
  --output "$dir/client.out" 2>"$dir/client.err"
client_status=$?
wait "$serve_pid"
serve_status=$?
serve_pid=
set -e
fail() { echo "FAIL: $*"; echo "--- server"; cat "$dir/serve.out" "$dir/serve.err"; echo "--- client"; cat "$dir/client.out" "$dir/client.err"; exit 1; }
[ "$client_status" = 3 ] || fail "client exit status $client_status, expected 3 (the driver went away)"
[ "$serve_status" = 0 ] || fail "server exit status $serve_status (the start was not denied)"
python3 - "$dir/client.out" "$dir/serve.out" <<'PY' || fail "alerts or connections are not as expected"
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
alerts = [o for o in lines if o.get("type") == "sigma-alert"]
assert len(alerts) == 1, alerts
assert alerts[0]["verdict"] == "deny" and alerts[0]["event"]["fields"]["Image"].endswith("update.exe"), alerts[0]
assert "OriginalFileName" not in alerts[0]["event"]["fields"], "no version resource in these bytes"
serve = [json.loads(l) for l in open(sys.argv[2])]
clients = [o for o in serve if o.get("type") == "connection" and "pid" in o]
assert len(clients) == 1, f"the file reads are not clients of the port: {clients}"
print("ok: the image's hash denied its start; the other image started")
PY
