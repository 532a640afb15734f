#!/usr/bin/env bash
# vetrona-client --backup checks the folder on the served machine before it
# gives it to the driver, which never makes one: a missing folder is made
# (with its parents) and said so, an existing one is used as it is, a file
# or a folder that cannot be made ends the client with status 1 and a reason.
set -euo pipefail
sim=$1 client=$2 data=$3
dir=$(mktemp -d)
serve_pid=
cleanup() { [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null; rm -rf "$dir"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; for f in "$dir"/*.out "$dir"/*.err; do [ -f "$f" ] && { echo "--- $f"; cat "$f"; }; done; exit 1; }
sock=$dir/vetrona.sock
"$sim" serve --socket "$sock" --scenario "$data/backup-machine.yaml" --json >"$dir/serve.out" 2>"$dir/serve.err" &
serve_pid=$!
for _ in $(seq 200); do grep -q '"type":"ready"' "$dir/serve.out" 2>/dev/null && break; sleep 0.05; done
grep -q '"type":"ready"' "$dir/serve.out" || fail "no ready line from the server"
run() {  # run STATUS NAME FOLDER
  set +e; "$client" --socket "$sock" --backup "$3" --count 0 >"$dir/$2.out" 2>"$dir/$2.err"; local got=$?; set -e
  [ "$got" = "$1" ] || fail "$2: exit status $got, expected $1"
}
run 0 made 'C:\Vault\Copies'
grep -q 'made the backup folder C:\\Vault\\Copies' "$dir/made.err" || fail "made: the client does not say it made the folder"
run 0 existed 'C:\Vault\Copies'
grep -q 'backup folder' "$dir/existed.err" && fail "existed: a folder that is there is reported"
run 1 file 'C:\Backup'
grep -q 'C:\\Backup is a file, not a folder' "$dir/file.err" || fail "file: no reason given"
run 1 no-volume 'Q:\Vault'
grep -q 'Q:\\Vault does not exist and could not be made' "$dir/no-volume.err" || fail "no volume: no reason given"
run 0 nt-path '\??\C:\Vault\Nt'
grep -q 'made the backup folder' "$dir/nt-path.err" || fail "an NT path: the folder was not made"
# The machine's workload never starts (no client waited for a message): stop
# the server; it exits 0 when the pool is clean and the driver stopped.
kill -INT "$serve_pid"
set +e; wait "$serve_pid"; serve_status=$?; set -e
serve_pid=
[ "$serve_status" = 0 ] || fail "server exit status $serve_status"
echo "ok: a missing backup folder is made, a file or an unreachable folder refused"
