#!/usr/bin/env bash
# End-to-end test of nuvak-request and nuvak-units against nuvak-peer serve,
# inside private namespaces (run through scripts/netns-run.sh).
# usage: tools_nstest.sh NUVAK-REQUEST NUVAK-PEER NUVAK-UNITS
set -u
req=$1 peer=$2 units=$3
tmp=$(mktemp -d)
failures=0
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill -INT "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  if [ -n "${KEEP_TMP:-}" ]; then echo "kept $tmp"; else rm -rf "$tmp"; fi
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_rc() {  # expect_rc RC DESCRIPTION -- command...
  local want=$1 what=$2; shift 3
  "$@" >"$tmp/out" 2>"$tmp/err"; local rc=$?
  [ "$rc" = "$want" ] || fail "$what: exit $rc, wanted $want ($(head -c 300 "$tmp/err"))"
  ! grep -q -e 'Sanitizer' -e 'runtime error' "$tmp/err" || fail "$what: sanitizer report: $(head -c 600 "$tmp/err")"
}
expect_out() { grep -q -- "$1" "$tmp/out" || fail "$2: no '$1' in: $(head -c 400 "$tmp/out")"; }

start_server() {
  [ -n "$server_pid" ] && kill -INT "$server_pid" && wait "$server_pid" 2>/dev/null
  ! grep -q -e 'Sanitizer' -e 'runtime error' "$tmp/server.log" 2>/dev/null || fail "server: sanitizer report"
  "$peer" serve --port 5110 "$@" >"$tmp/server.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 50); do grep -q listening "$tmp/server.log" 2>/dev/null && return; sleep 0.1; done
  fail "server did not start: $(cat "$tmp/server.log")"
}

# Help, defaults and bad arguments.
expect_rc 0 "help" -- "$req" --help; expect_out "ACTION GROUP" "help"
expect_out "the 4.3 s the server keeps its answer" "help: the exactly-once schedule rule"
expect_rc 0 "no arguments" -- "$req"; expect_out "usage" "no arguments"
expect_rc 0 "peer help" -- "$peer" --help; expect_out "nuvak-peer send" "peer help"
expect_out "the 4.3 s the server keeps its answer" "peer help: the exactly-once schedule rule"
for bad in "$req fly 1" "$req run" "$req run abc" "$req --unit 70 run 1" "$req --to 1.2.3.4 --unit 2 run 1" \
           "$req --port 0 run 1" "$req --bogus run 1" "$peer fly" "$peer send --count 0" "$peer --port" \
           "$peer send --type twice" "$peer serve extra" "$req --retry-period 5000 run 1" \
           "$peer send --unit 1 --retry-period 1100"; do
  # shellcheck disable=SC2086
  expect_rc 1 "bad arguments '$bad'" -- $bad
  [ "$(wc -l <"$tmp/err")" = 1 ] || fail "bad arguments '$bad' should give one line: $(cat "$tmp/err")"
done
expect_rc 0 "units help" -- "$units" --help
expect_rc 1 "units bad entry" -- "$units" 99=1.2.3.4
expect_rc 0 "units without table" -- "$units"; expect_out "no unit table" "units without table"

# Dry run: the datagram byte for byte, nothing sent.
expect_rc 0 "dry run" -- "$req" --dry-run --source 3 stop 30000007
head -1 "$tmp/out" | grep -qx "OpCode: Client Request" || fail "dry run first line"
len=$(grep -a '^Data Length: ' "$tmp/out" | cut -d' ' -f3)
payload=$(($(wc -c <"$tmp/out") - $(grep -abo 'RV640 OK' "$tmp/out" | cut -d: -f1) - 9))
[ "$len" = "$payload" ] || fail "dry run: Data Length $len but payload $payload bytes"
grep -aq 'Action="0"' "$tmp/out" || fail "dry run: stop is action 0"
grep -aq 'GroupType="1"' "$tmp/out" || fail "dry run: stop is group type 1"

# No server: the retries run out and the answer is 'no answer'.
expect_rc 3 "no server" -- "$req" --max-retry 1 --retry-period 200 run 10000001
expect_out "no answer from 127.0.0.1 port 5110 after 2 transmissions" "no server"

# nuvak-peer with no arguments serves on port 5111 until SIGTERM.
"$peer" >"$tmp/peer.log" 2>&1 &
pid=$!
for _ in $(seq 50); do grep -q 'listening port 5111' "$tmp/peer.log" && break; sleep 0.1; done
expect_rc 0 "default peer" -- "$req" --port 5111 check 10000002
kill -TERM $pid; wait $pid || fail "default peer: exit $? on SIGTERM"
grep -q '^delivered 1 ' "$tmp/peer.log" || fail "default peer: $(cat "$tmp/peer.log")"

# A served request with an error status, by name.
start_server --status 0x0A05 --state 1
expect_rc 2 "error status" -- "$req" --priority 4 run 10000001
expect_out "ErrorStatus: NUVAKERR_INVALID (0x0A05)" "error status"
expect_out "State: RUNNING (1)" "error status"
expect_out "Priority=4" "error status"
expect_rc 2 "json" -- "$req" --json --type 3 check 10000002
python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert d["error_name"]=="NUVAKERR_INVALID", d; assert d["variables"][0]["type"]=="CameraGroupMonitor", d; assert d["variables"][0]["attributes"]["GroupType"]==3, d' "$tmp/out" \
  || fail "json: $(cat "$tmp/out")"

# Success, raw XML from a file, raw action and type.
start_server --status 0 --state 0
expect_rc 0 "ok" -- "$req" --action 7 --type 9 pause 10000001
expect_out "Action=7" "raw action"; expect_out "GroupType=9" "raw type"; expect_out "ErrorStatus: OK (0x0000)" "ok"
printf '<?xml version="1.0"?><Camera ActionType="X" RequestID="5"><CameraGroup GroupID="10000009" Action="2"/></Camera>' >"$tmp/raw.xml"
expect_rc 0 "raw xml" -- "$req" --xml "$tmp/raw.xml"; expect_out "GroupID=10000009" "raw xml"
expect_rc 1 "missing xml" -- "$req" --xml "$tmp/none.xml"
expect_rc 1 "local port taken" -- "$req" --local-port 5110 run 10000001
grep -q "bind(0.0.0.0:5110): Address already in use" "$tmp/err" || fail "local port taken: $(cat "$tmp/err")"

# Units from the unit table: an online unit is served, an IDLE one is given up.
expect_rc 0 "units" -- "$units" --local 1=127.0.0.1,ACTIVE,here 3=127.0.0.1,INIT,three 5=127.0.0.1,IDLE,five
expect_out " 3	      127.0.0.1	              INIT	three" "units print"
expect_rc 0 "by unit" -- "$req" --unit 3 run 30000001; expect_out "answer from unit 1" "by unit"
expect_rc 3 "idle unit" -- "$req" --unit 5 run 50000001; expect_out "unit 5 is offline" "idle unit"
# The client's verdict, however short the retry period.
expect_rc 3 "idle unit, short period" -- "$req" --unit 5 --retry-period 100 run 50000001
expect_out "unit 5 is offline" "idle unit, short period"
expect_rc 0 "units remove" -- "$units" --quiet --remove

# Runs one after the other from one local port, within the server's hold of
# an answer, are each acted on (each run has ids of its own), also when the
# payload is the same file.
before=$(grep -c '^got ' "$tmp/server.log")
for run in 1 2; do expect_rc 0 "same port, run $run" -- "$req" --local-port 5300 check 10000001; done
for run in 1 2; do expect_rc 0 "same port, xml run $run" -- "$req" --local-port 5300 --xml "$tmp/raw.xml"; done
after=$(grep -c '^got ' "$tmp/server.log")
[ $((after - before)) = 4 ] || fail "same port: the server acted on $((after - before)) of 4 runs"

# Load: every request answered, each delivered once.
before=$(grep -c '^got ' "$tmp/server.log")
expect_rc 0 "load" -- "$req" --count 300 --rate 1000 run 10000001
expect_out "answered 300, lost 0, refused 0" "load"; expect_out "latency ms: p50" "load"
after=$(grep -c '^got ' "$tmp/server.log")
[ $((after - before)) = 300 ] || fail "load: the server saw $((after - before)) requests, wanted 300"

# Standard input is read once and sent as every request of a load run.
before=$(grep -c '^got ' "$tmp/server.log")
printf '<?xml version="1.0"?><Camera ActionType="X" RequestID="6"><CameraGroup GroupID="10000009" Action="2"/></Camera>' |
  "$req" --xml - --count 3 --rate 100 >"$tmp/out" 2>"$tmp/err" || fail "xml from stdin: exit $? ($(cat "$tmp/err"))"
expect_out "answered 3, lost 0, refused 0" "xml from stdin"
after=$(grep -c '^got ' "$tmp/server.log")
[ $((after - before)) = 3 ] || fail "xml from stdin: the server saw $((after - before)) requests, wanted 3"

kill -INT "$server_pid" && wait "$server_pid"; server_pid=
! grep -q -e 'Sanitizer' -e 'runtime error' "$tmp/server.log" || fail "server: sanitizer report"
if [ "$failures" = 0 ]; then echo "all tool checks passed"; exit 0; fi
echo "$failures failures"; exit 1
