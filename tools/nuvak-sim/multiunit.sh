# nuvak-sim --units N: the multi-unit installation and its scenario. Sourced
# by nuvak-sim inside its private namespaces (which hold the bridge); uses its
# variables (bin, src, run, units, keep, check, pace) and helpers (say, pause).
# The network and the units come from netsim.sh; see docs/network.md.
net=$src/tools/nuvak-sim/netsim.sh
ndir=$run/net
cleanup() {
  "$net" down "$ndir" >/dev/null 2>&1
  rm -rf "$run"
}
trap cleanup EXIT

# unit K CMD...: a command inside unit K (its network, IPC and mounts).
unit() { local k=$1; shift; "$net" exec "$ndir" "$k" "$@"; }
# wall K: unit K's monitor wall, as its monitor control stand-in holds it.
wall() {
  local k=$1 out=$ndir/u$1/monctl.out at size
  at=$(cat "$ndir/u$k/wall.at" 2>/dev/null || echo 0)
  kill -USR2 "$(cat "$ndir/u$k/monctl.pid")" 2>/dev/null
  sleep 0.2
  size=$(stat -c %s "$out")
  echo "   unit $k:"
  tail -c +$((at + 1)) "$out" | grep -E '^[+|]' | sed 's/^/   /'
  echo "$size" >"$ndir/u$k/wall.at"
}

# ask K EXPECTED DESCRIPTION ARGS...: nuvak-request inside unit K; prints the
# request and its answer by name. EXPECTED is OK, an error name, "offline" or
# "no answer".
ask() {
  local k=$1 expected=$2 what=$3
  shift 3
  printf '%s-> unit %s: %s%s\n   %snuvak-request %s%s\n' "$B" "$k" "$what" "$N" "$D" "$*" "$N"
  local out name mons
  out=$(unit "$k" "${bin[request]}" --json "$@" 2>&1)
  name=$(grep -o '"error_name":"[A-Z0-9_]*"' <<<"$out" | head -1 | cut -d'"' -f4)
  mons=$(grep -o '"GroupMonitor":"[ 0-9]*"' <<<"$out" | head -1 | cut -d'"' -f4)
  if [ -z "$name" ]; then
    if grep -q '"offline":true' <<<"$out"; then name=offline; else name="no answer"; fi
  fi
  local mark="$G"
  if [ "$name" != "$expected" ]; then mark="$R"; failures=$((failures + 1)); fi
  printf '<- %s%s%s%s%s\n' "$mark" "$name" "$N" "${mons:+  monitors [$mons]}" \
    "$([ "$name" != "$expected" ] && echo "  (expected $expected)")"
}

say "Setting up $units units on the simulated network 198.18.0.0/24"
t0=$(date +%s.%N)
if ! "$net" up "$ndir" "$units" "$build" 2>"$run/up.err"; then
  echo "nuvak-sim: bring-up failed: $(tail -1 "$run/up.err")" >&2
  exit 1
fi
printf '   %s units up in %.1f s: each with its task manager, unit table, monitor control, database and service\n' \
  "$units" "$(awk "BEGIN{print $(date +%s.%N) - $t0}")"
echo "   unit K is 198.18.0.K on the bridge br0; its tours are K*10000000 + K*1000 + 1..3, presets + 101..109"
echo "   on the walls: 'tour N' / 'preset N' is the holding control block; '(no user)': a tour run for"
echo "   another unit's keyboard, which has no user here (device 767)"
unit 1 "${bin[units]}" --count "$((units < 8 ? units : 8))" | sed -n '/^Unit/,$p' | sed '/^$/d; s/^/   /'

# Four roles, on units 1-4 (fewer units take several roles).
a=1 b=2 c=$((units >= 3 ? 3 : 1)) d=$((units >= 4 ? 4 : units))
tour() { echo $(($1 * 10000000 + $1 * 1000 + $2)); }
preset() { echo $(($1 * 10000000 + $1 * 1000 + 100 + $2)); }
kb() { echo "--monitor $(($1 * 10000000 + 1)) --user $1 --device 0x01$(printf %02x "$1")"; }

say "Keyboards at one unit drive tours and presets at another (through the unit table)"
# shellcheck disable=SC2046
ask $b OK "run tour $(tour $a 1) of unit $a from a keyboard of unit $b" --unit $a $(kb $b) run "$(tour $a 1)"
# shellcheck disable=SC2046
ask $a OK "show group preset $(preset $b 9) of unit $b once" --unit $b $(kb $a) preset "$(preset $b 9)"
# shellcheck disable=SC2046
ask $c OK "run tour $(tour $d 2) of unit $d" --unit $d $(kb $c) run "$(tour $d 2)"
ask $d OK "which monitors does tour $(tour $c 1) of unit $c use?" --unit $c check "$(tour $c 1)"
pause 1
wall $a; wall $b; wall $d

say "A request for another unit's tour is refused by name"
# shellcheck disable=SC2046
ask $a NUVAKERR_VARNOT4UNIT "run tour $(tour $c 1) (unit $c's) at unit $b" --unit $b $(kb $a) run "$(tour $c 1)"

say "Unit $c marked IDLE in unit $a's table: the client answers offline after 250 ms, sending nothing"
"$net" idle "$ndir" $a $c IDLE
ask $a offline "check tour $(tour $c 1) at unit $c" --unit $c check "$(tour $c 1)"
"$net" idle "$ndir" $a $c INIT
ask $a OK "and again with unit $c back to INIT" --unit $c check "$(tour $c 1)"

say "Unit $d's service is killed; the others go on; it is started again"
kill -KILL "$(cat "$ndir/u$d/nuvak.pid")"
ask $a "no answer" "check at unit $d (its service is down; 3 repeats 300 ms apart)" --unit $d --retry-period 300 check "$(tour $d 1)"
m=$([ $b != $d ] && echo $b || echo $a)
ask $a OK "unit $m answers meanwhile" --unit $m check "$(tour $m 1)"
"$net" start "$ndir" $d nuvak
for _ in $(seq 100); do [ "$(grep -c -E '(^|Z )register NUVAK' "$ndir/u$d/tmgr.out")" -ge 2 ] && break; sleep 0.1; done
echo "   unit $d: $(grep -E '(^|Z )register NUVAK' "$ndir/u$d/tmgr.out" | tail -1)"
# shellcheck disable=SC2046
ask $c OK "run tour $(tour $d 2) of unit $d again" --unit $d $(kb $c) run "$(tour $d 2)"
pause 1
wall $d

say "Unit $b's link is cut, then restored"
"$net" cut "$ndir" $b
ask $a "no answer" "check at unit $b while its link is down" --unit $b --retry-period 300 check "$(tour $b 1)"
"$net" mend "$ndir" $b
pause 1
ask $a OK "check at unit $b with its link back" --unit $b check "$(tour $b 1)"

if [ $keep = 1 ]; then
  say "The installation keeps running"
  cat <<EOF
   A shell in the network's own namespace follows: it is in no unit (no task
   manager, no unit table), so run requests inside a unit with "unit K ...";
   a plain nuvak-request here reaches nothing by --unit. Try:
     unit 2 nuvak-request --unit 1 --monitor 20000001 --user 2 run 10001002
     wall 1           (the monitor wall of unit 1; every unit has its own)
     unit $units nuvak-units --count $units
   The network (netsim.sh --help for all; DIR is $ndir):
     netsim.sh loss \$ndir 1 2 30   30% loss from unit 1 to unit 2 (0 ends it)
     netsim.sh cut \$ndir 2         unit 2's link down; netsim.sh mend \$ndir 2: up
     netsim.sh stranger \$ndir      a host at 198.18.0.200 in no unit table
     netsim.sh guard \$ndir 1       unit 1 takes port 5110 only from its units
   Leave the shell (exit or Ctrl-D) to shut the installation down.
EOF
  PATH="$build/tools/nuvak-request:$build/tools/nuvak-sim:$build/tools/nuvak-units:$build/tools/nuvak-dbtool:$src/tools/nuvak-sim:$PATH"
  export PATH net ndir
  export -f unit wall
  PS1='nuvak-sim$ ' bash --norc -i
fi

say "SIGINT to every unit's service: orderly shutdown"
stopped=0
for k in $(seq 1 "$units"); do
  "$net" stop "$ndir" "$k" nuvak
  grep -q 'unregister NUVAK' "$ndir/u$k/tmgr.out" && stopped=$((stopped + 1))
done
echo "   $stopped of $units services unregistered from their task managers"
[ "$stopped" = "$units" ] || failures=$((failures + 1))
echo
if [ $failures = 0 ]; then echo "${G}scenario complete: every answer as expected${N}"
else echo "${R}scenario complete: $failures unexpected outcome(s)${N}"; fi
[ $check = 1 ] && [ $failures != 0 ] && exit 1
exit 0
