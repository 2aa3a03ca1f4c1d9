#!/usr/bin/env bash
# End-to-end tests of a multi-unit installation: four units on the simulated
# network (tools/nuvak-sim/netsim.sh), each with its own task manager, unit
# table, monitor control, database and service, run in the caller's private
# namespace (scripts/netns-run.sh). nuvak-peer is the requesting and the counting
# side; the services are the real binaries of BUILD.
# usage: multiunit_nstest.sh CASE BUILD NUVAK-PEER   (cases: see the end)
set -u
case_name=$1 build=$2 peer=$3
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
net=$src/tools/nuvak-sim/netsim.sh
dir=$(mktemp -d /tmp/nuvak-mu.XXXXXX)
failures=0
cleanup() {
  "$net" down "$dir" >/dev/null 2>&1
  if grep -l -e 'ERROR: AddressSanitizer' -e 'runtime error:' -e 'ERROR: LeakSanitizer' "$dir"/u*/*.out 2>/dev/null; then
    echo "FAIL: sanitizer report above"; failures=$((failures + 1))
  fi
  if [ -n "${KEEP_TMP:-}" ]; then echo "kept $dir"; else rm -rf "$dir"; fi
  [ $failures = 0 ] && echo "PASS $case_name" || echo "FAILED $case_name: $failures"
  exit $((failures != 0))
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ns() { "$net" "$1" "$dir" "${@:2}"; }
in_unit() { local k=$1; shift; ns exec "$k" "$@"; }
json() { grep -o "\"$2\":[0-9.]*" <<<"$1" | head -1 | cut -d: -f2; }
request() { local k=$1; shift; in_unit "$k" "$build/tools/nuvak-request/nuvak-request" --json "$@" 2>&1; }
status_of() { grep -o '"error_name":"[A-Z0-9_]*"' <<<"$1" | head -1 | cut -d'"' -f4; }
serve() {  # serve UNIT: the counting comm server on port 5111 of UNIT
  in_unit "$1" "$peer" serve --port 5111 >"$dir/serve$1.out" 2>&1 &
  for _ in $(seq 100); do grep -q listening "$dir/serve$1.out" && return; sleep 0.05; done
  fail "the counting server of unit $1 did not start"
}
# Requests acted on more than once by the counting server, by tag prefix.
twice() { grep "^got $2" "$dir/serve$1.out" | sort | uniq -d | wc -l; }
acted() { grep -c "^got $2" "$dir/serve$1.out"; }
expect() {  # expect WHAT ACTUAL OP WANTED
  if ! [ "$2" "$3" "$4" ] 2>/dev/null; then fail "$1: $2, wanted $3 $4"; else echo "ok   $1: $2"; fi
}

ns up 4 "$build" || { fail "four units did not come up"; exit 1; }

exactly_once_under_loss() {
  # 30% loss each way between units 1, 2 and unit 3. Each requester sends 150
  # exactly-once requests; the counting server prints every request it acts on.
  serve 3
  for k in 1 2; do ns loss "$k" 3 30; ns loss 3 "$k" 30; done
  in_unit 1 "$peer" send --unit 3 --port 5111 --count 150 --window 25 --tag A >"$dir/a.json" &
  local first=$!
  in_unit 2 "$peer" send --unit 3 --port 5111 --count 150 --window 25 --tag B >"$dir/b.json"
  wait $first
  for t in A B; do
    r=$(cat "$dir/${t,,}.json"); echo "     requester $t: $r"
    expect "$t: acted on twice" "$(twice 3 "$t-")" -eq 0
    expect "$t: answered or given up" $(($(json "$r" answered) + $(json "$r" unanswered))) -eq 150
    expect "$t: answered with another's answer" "$(json "$r" wrong)" -eq 0
    # A round trip gets through with 0.7 * 0.7; four tries: 1 - 0.51^4 = 93%.
    expect "$t: answered (of 150, ~140 predicted)" "$(json "$r" answered)" -ge 125
    expect "$t: answered (of 150, ~140 predicted)" "$(json "$r" answered)" -le 149
    expect "$t: acted on at least once when answered" "$(grep "^got $t-" "$dir/serve3.out" | sort -u | wc -l)" -ge "$(json "$r" answered)"
  done
  # The service itself: a held tour of unit 4 stepped by hand from unit 1
  # under the same loss; every step acted on shows as one camera select.
  ns loss 1 4 30; ns loss 4 1 30
  out=$(request 4 --monitor 40000005 --user 4 --device 0x0104 run 40004003)
  expect "run tour 40004003" "$(status_of "$out")" = OK
  out=$(request 4 --monitor 40000005 --user 4 --device 0x0104 pause 40004003)
  expect "hold tour 40004003" "$(status_of "$out")" = OK
  sleep 0.5
  before=$(grep -c '"kind":"camera_select"' "$dir/u4/monctl.log")
  r=$(in_unit 1 "$build/tools/nuvak-request/nuvak-request" --unit 4 --json --count 40 --rate 4 \
        --monitor 10000001 --user 1 --device 0x0101 next 40004003)
  echo "     next x40: $r"
  sleep 1
  selects=$(($(grep -c '"kind":"camera_select"' "$dir/u4/monctl.log") - before))
  ok=$(grep -o '"OK":[0-9]*' <<<"$r" | cut -d: -f2); ok=${ok:-0}
  lost=$(json "$r" lost)
  # A step is acted on at most once per request: never more camera selects
  # than requests answered OK or given up.
  expect "steps acted on (<= answered OK + unanswered $((ok + lost)))" "$selects" -le $((ok + lost))
  expect "steps acted on" "$selects" -ge 1
}

delivery_types_under_loss() {
  serve 3
  ns loss 1 3 30; ns loss 3 1 30
  # At least once: a repeat whose first copy arrived reaches the server again.
  r=$(in_unit 1 "$peer" send --unit 3 --port 5111 --count 150 --window 25 --type least --tag L)
  echo "     at least once: $r"
  expect "at least once: some requests acted on again" "$(twice 3 L-)" -ge 5
  expect "at least once: answered with another's answer" "$(json "$r" wrong)" -eq 0
  expect "at least once: answered (~140 predicted)" "$(json "$r" answered)" -ge 125
  # At most once: sent once, never repeated; about 70% arrive, 49% come back.
  r=$(in_unit 1 "$peer" send --unit 3 --port 5111 --count 150 --window 25 --type most --tag M)
  echo "     at most once: $r"
  expect "at most once: acted on twice" "$(twice 3 M-)" -eq 0
  expect "at most once: acted on (~105 predicted)" "$(acted 3 M-)" -ge 80
  expect "at most once: acted on (~105 predicted)" "$(acted 3 M-)" -le 128
  expect "at most once: answered (~74 predicted)" "$(json "$r" answered)" -le 100
  expect "at most once: answered with another's answer" "$(json "$r" wrong)" -eq 0
}

duplication_and_reordering() {
  # Unit 1's requests to unit 3 pass the relay: 30% sent twice, 30% held
  # back 20 ms, 5-15 ms delay, in both directions.
  serve 3
  ns relay 1 3 --delay 5 --jitter 10 --dup 30 --reorder 30 || { fail "relay"; return; }
  ns relay 1 3 --port 5111 --delay 5 --jitter 10 --dup 30 --reorder 30 || { fail "relay"; return; }
  r=$(in_unit 1 "$peer" send --unit 3 --port 5111 --count 200 --window 20 --tag D)
  echo "     exactly once through the relay: $r"
  expect "duplicated: acted on twice" "$(twice 3 D-)" -eq 0
  expect "duplicated: acted on" "$(acted 3 D-)" -eq 200
  expect "duplicated: answered" "$(json "$r" answered)" -eq 200
  expect "duplicated: answered with another's answer" "$(json "$r" wrong)" -eq 0
  r=$(in_unit 1 "$peer" send --unit 3 --port 5110 --service 30003001 --count 200 --window 20)
  echo "     the service through the relay: $r"
  expect "service: answered" "$(json "$r" answered)" -eq 200
  expect "service: answered with another's answer" "$(json "$r" wrong)" -eq 0
}

service_restart_while_requests_flow() {
  local senders=()
  for k in 1 2 4; do
    in_unit "$k" "$peer" send --unit 3 --port 5110 --service 30003001 --count 120 --rate 20 --window 4 \
      --max-retry 3 --retry-period 500 >"$dir/r$k.json" &
    senders+=($!)
  done
  sleep 1.5
  kill -KILL "$(cat "$dir/u3/nuvak.pid")"
  sleep 2
  ns start 3 nuvak
  wait "${senders[@]}"
  for k in 1 2 4; do
    r=$(cat "$dir/r$k.json"); echo "     unit $k: $r"
    expect "unit $k: every request answered or given up" $(($(json "$r" answered) + $(json "$r" unanswered))) -eq 120
    expect "unit $k: answered with another's answer" "$(json "$r" wrong)" -eq 0
    expect "unit $k: some given up while the service was down" "$(json "$r" unanswered)" -ge 1
  done
  out=$(request 2 --unit 3 --monitor 20000001 --user 2 --device 0x0102 run 30003002)
  expect "after the restart: run tour 30003002 from unit 2" "$(status_of "$out")" = OK
  sleep 1.5
  expect "after the restart: the tour switches unit 3's monitors" \
    "$(grep '"kind":"camera_select"' "$dir/u3/monctl.log" | grep -c '"monitor":[34],')" -ge 2
}

broadcast_and_strangers() {
  out=$(in_unit 2 "$peer" broadcast --port 5110 | sort)
  echo "$out" | sed 's/^/     /'
  expect "broadcast: answers" "$(wc -l <<<"$out")" -eq 4
  for k in 1 2 3 4; do
    expect "broadcast: unit $k answered once" "$(grep -c "^answer unit $k " <<<"$out")" -eq 1
  done
  expect "broadcast: unit 2's own tour is unit 2's" "$(grep -c '^answer unit 2 status 0$' <<<"$out")" -eq 1
  ns stop 4 nuvak
  out=$(in_unit 2 "$peer" broadcast --port 5110 | sort)
  expect "broadcast with unit 4's service down: answers" "$(wc -l <<<"$out")" -eq 3
  expect "broadcast with unit 4's service down: none from unit 4" "$(grep -c '^answer unit 4 ' <<<"$out")" -eq 0
  # A host outside the unit table: the protocol has no authentication, so
  # it runs unit 1's tour like any unit would.
  ns stranger
  stranger() { nsenter -t "$(cat "$dir/stranger/pid")" -n -i -m -- "$@"; }
  out=$(stranger "$build/tools/nuvak-request/nuvak-request" --json --to 198.18.0.1 --source 1 \
          --monitor 10000001 --user 1 --device 0x0101 run 10001001 2>&1)
  expect "stranger: runs unit 1's tour" "$(status_of "$out")" = OK
  # The operator's guard: unit 1 takes requests only from unit-table addresses.
  ns guard 1
  out=$(stranger "$build/tools/nuvak-request/nuvak-request" --json --to 198.18.0.1 --source 1 \
          --retry-period 200 --monitor 10000001 stop 10001001 2>&1)
  expect "guarded: the stranger gets no answer" "$(grep -c '"answered":false' <<<"$out")" -eq 1
  out=$(request 2 --unit 1 --monitor 20000001 --user 2 --device 0x0102 check 10001001)
  expect "guarded: a unit is still answered" "$(status_of "$out")" = OK
}

# Datagrams received by unit K (its network namespace's UDP counter).
udp_in() { in_unit "$1" awk '/^Udp:/ && ++n == 2 { print $2 }' /proc/net/snmp; }
forge() { local k=$1; shift; in_unit "$k" "$peer" forge --from "198.18.0.$k" "$@" >/dev/null || fail "forge $*"; }

forged_datagrams() {
  # 1. A forged answer between two services (unit 1's address and service
  # port as its source) is dropped: no loop. The same to the broadcast
  # address, and a request from a service's port. Each service gets about
  # one datagram a second otherwise (the task manager's health checks).
  local before1 before2
  before1=$(udp_in 1) before2=$(udp_in 2)
  forge 1 --from-port 5110 --to 198.18.0.2 --port 5110 --op response --type least --service 20002001
  forge 1 --from-port 5110 --to 198.18.0.255 --port 5110 --op acknowledge --service 20002001
  forge 1 --from-port 5110 --to 198.18.0.2 --port 5110 --op request --type least --service 20002001
  sleep 2
  expect "forged answers: datagrams at unit 1 in 2 s" $(($(udp_in 1) - before1)) -le 60
  expect "forged answers: datagrams at unit 2 in 2 s" $(($(udp_in 2) - before2)) -le 60
  out=$(request 1 --unit 2 --monitor 10000001 --user 1 --device 0x0101 check 20002001)
  expect "forged answers: unit 2 still answers" "$(status_of "$out")" = OK

  # 6. A forgery with a requester's address, port and ids but another
  # payload, while the requester (its answers lost) repeats: the stored
  # answer stays, the requester's repeats are answered from it, the forgery
  # is never acted on.
  serve 3
  ns loss 3 1 100
  in_unit 1 "$peer" send --unit 3 --port 5111 --count 1 --local-port 5300 --tag R >"$dir/r.json" &
  local requester=$!
  for _ in $(seq 100); do grep -q '^got R-0' "$dir/serve3.out" && break; sleep 0.05; done
  forge 1 --from-port 5300 --to 198.18.0.3 --port 5111 --op retransmit --session 1 --transaction 1 --tag F-0
  sleep 1
  forge 1 --from-port 5300 --to 198.18.0.3 --port 5111 --op request --session 1 --transaction 1 --tag F-1
  wait $requester
  expect "forged payload: the request acted on" "$(acted 3 R-0)" -eq 1
  expect "forged payload: the forgery acted on" "$(acted 3 F-)" -eq 0
  ns loss 3 1 0

  # 5. One requesting address floods a server whose store holds 300 answers:
  # it gets at most a third of them (it and one other hold answers, and a part
  # is kept free), the requester already there is never refused, nothing is
  # acted on twice, and one line names the flooding address.
  in_unit 4 "$peer" serve --port 5112 --store 300 >"$dir/fair.out" 2>&1 &
  for _ in $(seq 100); do grep -q listening "$dir/fair.out" && break; sleep 0.05; done
  in_unit 2 "$peer" send --unit 4 --port 5112 --count 60 --rate 10 --window 4 --tag W >"$dir/w.json" &
  local steady=$!
  sleep 1
  in_unit 1 "$peer" send --unit 4 --port 5112 --count 1500 --window 400 --tag X >"$dir/x.json"
  wait $steady
  r=$(cat "$dir/w.json"); echo "     steady requester: $r"
  expect "fair share: the steady requester answered" "$(json "$r" answered)" -eq 60
  # A refused first copy would be answered by a repeat, a second later.
  expect "fair share: steady p99 below 900 ms" "$(awk -v v="$(json "$r" p99_ms)" 'BEGIN{print int(v)}')" -lt 900
  r=$(cat "$dir/x.json"); echo "     flood: $r"
  expect "fair share: flood answers wrong" "$(json "$r" wrong)" -eq 0
  expect "fair share: flood acted on twice" "$(grep '^got X-' "$dir/fair.out" | sort | uniq -d | wc -l)" -eq 0
  expect "fair share: steady acted on twice" "$(grep '^got W-' "$dir/fair.out" | sort | uniq -d | wc -l)" -eq 0
  expect "fair share: refusal lines" "$(grep -c 'refusing exactly-once requests from' "$dir/fair.out")" -eq 1
  expect "fair share: the line names the flooding unit" \
    "$(grep -c 'refusing exactly-once requests from 198.18.0.1: it holds its share' "$dir/fair.out")" -eq 1
}

case $case_name in
  exactly_once_under_loss | delivery_types_under_loss | duplication_and_reordering | \
  service_restart_while_requests_flow | broadcast_and_strangers | forged_datagrams) "$case_name" ;;
  *) fail "unknown case $case_name" ;;
esac
