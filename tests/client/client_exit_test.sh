#!/usr/bin/env bash
# vetrona-client's exit statuses as its help and the README give them, and
# its clean stop on Ctrl-C: 2 for bad arguments and policy files, 1 when no
# driver can be reached, 0 when it stops as asked (a timeout, Ctrl-C), 3 when
# the driver goes away under it. The server checks that every connection
# ended and that the pool came back clean.
set -euo pipefail
sim=$1 client=$2
dir=$(mktemp -d)
serve_pid= client_pid=
cleanup() {
  [ -n "$client_pid" ] && kill "$client_pid" 2>/dev/null
  [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; for f in "$dir"/*.out "$dir"/*.err; do [ -f "$f" ] && { echo "--- $f"; cat "$f"; }; done; exit 1; }
expect() {  # expect STATUS NAME COMMAND...
  local want=$1 name=$2; shift 2
  set +e; "$@" >"$dir/$name.out" 2>"$dir/$name.err"; local got=$?; set -e
  [ "$got" = "$want" ] || fail "$name: exit status $got, expected $want"
}
summary() { python3 -c 'import json,sys
for line in open(sys.argv[1]):
    o = json.loads(line)
    if "summary" in o: print(o["summary"]["ending"])' "$1"; }

# 2: arguments and policy files that cannot be used.
printf 'rules:\n  - {class: file, verdict: maybe}\n' >"$dir/bad-policy.yaml"
expect 2 unknown-monitor "$client" --socket "$dir/none.sock" --on disk
expect 2 missing-policy "$client" --socket "$dir/none.sock" --policy "$dir/no-such-policy.yaml"
expect 2 bad-policy "$client" --socket "$dir/none.sock" --policy "$dir/bad-policy.yaml"
grep -q "bad-policy.yaml:2: verdict" "$dir/bad-policy.err" || fail "the policy error does not name the file, line and field"
expect 2 bad-default "$client" --socket "$dir/none.sock" --default sometimes
expect 0 help "$client" --help
# 1: nobody serves the socket.
expect 1 unreachable "$client" --socket "$dir/none.sock"

sock=$dir/vetrona.sock
"$sim" serve --socket "$sock" --json >"$dir/serve.out" 2>"$dir/serve.err" &
serve_pid=$!
for _ in $(seq 200); do grep -q '"type":"ready"' "$dir/serve.out" 2>/dev/null && break; sleep 0.05; done
grep -q '"type":"ready"' "$dir/serve.out" || fail "no ready line from the server"
connections() { grep -c '"type":"connection","pid"' "$dir/serve.out" || true; }
ended() { grep -c '"ended":true' "$dir/serve.out" || true; }

# 0: a timeout with no events.
expect 0 timeout "$client" --socket "$sock" --on file --timeout 300 --json
[ "$(summary "$dir/timeout.out")" = "timed out" ] || fail "timeout: wrong ending"

# 0: Ctrl-C while waiting for events: a summary, and the connection ends.
"$client" --socket "$sock" --on process --json >"$dir/interrupt.out" 2>"$dir/interrupt.err" &
client_pid=$!
for _ in $(seq 200); do [ "$(connections)" -ge 2 ] && break; sleep 0.05; done
sleep 0.3
kill -INT "$client_pid"
for _ in $(seq 100); do kill -0 "$client_pid" 2>/dev/null || break; sleep 0.05; done
kill -0 "$client_pid" 2>/dev/null && fail "Ctrl-C: the client did not stop"
set +e; wait "$client_pid"; status=$?; set -e
client_pid=
[ "$status" = 0 ] || fail "Ctrl-C: exit status $status, expected 0"
[ "$(summary "$dir/interrupt.out")" = "interrupted" ] || fail "Ctrl-C: wrong ending"
for _ in $(seq 100); do [ "$(ended)" -ge 2 ] && break; sleep 0.05; done
[ "$(ended)" = 2 ] || fail "the server did not see the interrupted client disconnect"

# 3: the driver goes away under a waiting client.
"$client" --socket "$sock" --json >"$dir/gone.out" 2>"$dir/gone.err" &
client_pid=$!
for _ in $(seq 200); do [ "$(connections)" -ge 3 ] && break; sleep 0.05; done
sleep 0.3
kill -INT "$serve_pid"
for _ in $(seq 200); do kill -0 "$client_pid" 2>/dev/null || break; sleep 0.05; done
kill -0 "$client_pid" 2>/dev/null && fail "driver gone: the client did not stop"
set +e; wait "$client_pid"; status=$?; wait "$serve_pid"; serve_status=$?; set -e
client_pid= serve_pid=
[ "$status" = 3 ] || fail "driver gone: exit status $status, expected 3"
[ "$(summary "$dir/gone.out")" = "the driver went away" ] || fail "driver gone: wrong ending"
[ "$serve_status" = 0 ] || fail "server exit status $serve_status (a leak, or the driver did not stop)"
echo "ok: exit statuses 2, 1, 0 (timeout, Ctrl-C) and 3"
