#!/usr/bin/env bash
# vetrona-client restore against the served machine: the copies the journal
# names are checked by their SHA-256 and put back over the originals through
# the socket's file requests, a second restore finds them restored, a copy
# whose bytes changed is refused, --to writes elsewhere; and a server older
# than the file requests gets a clear error, not a hang.
set -euo pipefail
sim=$1 client=$2 data=$3
dir=$(mktemp -d)
serve_pid= old_pid=
cleanup() { [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null; [ -n "$old_pid" ] && kill "$old_pid" 2>/dev/null; rm -rf "$dir"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; for f in "$dir"/*.out "$dir"/*.err; do [ -f "$f" ] && { echo "--- $f"; cat "$f"; }; done; exit 1; }
sock=$dir/vetrona.sock
"$sim" serve --socket "$sock" --scenario "$data/restore-machine.yaml" --json >"$dir/serve.out" 2>"$dir/serve.err" &
serve_pid=$!
for _ in $(seq 200); do grep -q '"type":"ready"' "$dir/serve.out" 2>/dev/null && break; sleep 0.05; done
grep -q '"type":"ready"' "$dir/serve.out" || fail "no ready line from the server"

# The journal of the session that made the copies: the first copy of plan.txt
# is from before its change, the second holds the encrypted bytes.
python3 - "$dir" <<'PY'
import hashlib, json, sys
d = sys.argv[1]
sha = lambda t: hashlib.sha256(t.encode()).hexdigest()
lines = [
  {"type": "journal", "version": 1, "folder": "C:\\Backup"},
  {"type": "event", "class": "file", "seq": 1, "pid": 40, "operation": "FileOpWriteAccess", "path": "C:\\Docs\\plan.txt", "verdict": 3},
  {"type": "event", "class": "file", "seq": 2, "pid": 40, "operation": "FileOpWrite", "path": "C:\\Docs\\plan.txt", "verdict": 0},
  {"type": "event", "class": "file", "seq": 3, "pid": 40, "operation": "FileOpWriteAccess", "path": "C:\\Docs\\plan.txt", "verdict": 3},
  {"type": "event", "class": "file", "seq": 4, "pid": 40, "operation": "FileOpWriteAccess", "path": "C:\\Docs\\notes.txt", "verdict": 3},
  {"type": "event", "class": "file", "seq": 5, "pid": 40, "operation": "FileOpWrite", "path": "C:\\Docs\\notes.txt", "verdict": 0},
  {"type": "backup", "seq": 1, "original": "C:\\Docs\\plan.txt", "backup": "C:\\Backup\\plan.txt", "backupBytes": 18, "sha256": sha("the plan as it was")},
  {"type": "backup", "seq": 3, "original": "C:\\Docs\\plan.txt", "backup": "C:\\Backup\\plan.txt_1", "backupBytes": 10, "sha256": sha("ENCRYPTED!")},
  {"type": "backup", "seq": 4, "original": "C:\\Docs\\notes.txt", "backup": "C:\\Backup\\notes.txt", "backupBytes": 20, "sha256": sha("notes of the meeting")},
  {"type": "after", "original": "C:\\Docs\\plan.txt", "exists": True, "bytes": 10, "sha256": sha("ENCRYPTED!")},
  {"type": "after", "original": "C:\\Docs\\notes.txt", "exists": True, "bytes": 13, "sha256": sha("ENCRYPTED TOO")},
]
open(d + "/journal.jsonl", "w").write("".join(json.dumps(l) + "\n" for l in lines))
bad = [dict(l) for l in lines]
bad[8]["sha256"] = sha("something else")
open(d + "/tampered.jsonl", "w").write("".join(json.dumps(l) + "\n" for l in bad))
PY
restore() {  # restore STATUS NAME ARGS...
  local want=$1 name=$2; shift 2
  set +e; "$client" restore --socket "$sock" "$@" >"$dir/$name.out" 2>"$dir/$name.err"; local got=$?; set -e
  [ "$got" = "$want" ] || fail "$name: exit status $got, expected $want"
}
restore 0 dry --journal "$dir/journal.jsonl" --dry-run
grep -q '^would restore C:\\Docs\\plan.txt from C:\\Backup\\plan.txt ' "$dir/dry.out" || fail "dry run: the first copy is not the one chosen"
restore 1 tampered --journal "$dir/tampered.jsonl" --only '*notes*' --json
python3 - "$dir/tampered.out" <<'PY' || fail "a copy with other bytes than recorded was not refused"
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1])]
assert rows[0]["action"] == "refused" and "no longer holds the bytes" in rows[0]["reason"], rows
PY
restore 0 into --journal "$dir/journal.jsonl" --to 'C:\Restored' --only '*plan*'
grep -q '^restored C:\\Docs\\plan.txt from C:\\Backup\\plan.txt into C:\\Restored\\C\\Docs\\plan.txt' "$dir/into.out" || fail "--to"
restore 0 first --journal "$dir/journal.jsonl"
[ "$(grep -c '^restored ' "$dir/first.out")" = 2 ] || fail "not both originals restored"
# Read back through the server: the originals hold the copies' bytes now.
restore 0 second --journal "$dir/journal.jsonl"
[ "$(grep -c '^already restored ' "$dir/second.out")" = 2 ] || fail "the restored files do not hold the copies' bytes"
kill -INT "$serve_pid"
set +e; wait "$serve_pid"; serve_status=$?; set -e
serve_pid=
[ "$serve_status" = 0 ] || fail "server exit status $serve_status"

# A server that predates the file requests answers with an error frame and
# ends the connection.
old=$dir/old.sock
python3 - "$old" <<'PY' &
import socket, struct, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.bind(sys.argv[1]); s.listen(4)
for _ in range(4):
    c, _ = s.accept()
    head = c.recv(12)
    if len(head) == 12:
        magic, kind, length = struct.unpack("<III", head)
        while length > 0:
            got = c.recv(length); length -= len(got)
            if not got: break
        c.sendall(struct.pack("<III", magic, 0xFF, 8) + struct.pack("<iI", -2147024883, 0))
    c.close()
PY
old_pid=$!
for _ in $(seq 100); do [ -S "$old" ] && break; sleep 0.05; done
set +e; timeout 20 "$client" restore --socket "$old" --journal "$dir/journal.jsonl" >"$dir/old.out" 2>"$dir/old.err"; got=$?; set -e
[ "$got" = 1 ] || fail "older server: exit status $got, expected 1"
grep -q '0x80070032' "$dir/old.out" || fail "older server: the error does not say the request is not supported"
echo "ok: restore over the socket checks copies, writes the originals, refuses changed copies; an older server is told apart"
