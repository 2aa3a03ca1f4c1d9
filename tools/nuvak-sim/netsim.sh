#!/usr/bin/env bash
# netsim.sh: the simulated network of a multi-unit installation, and the
# units on it. Runs inside a network namespace of its own (the caller's,
# made by scripts/netns-run.sh): that namespace holds the bridge br0; each
# unit K gets its own network, IPC and mount namespaces (a holder process
# made by unshare), a veth pair to the bridge and the address 198.18.0.K/24
# (broadcast 198.18.0.255). Nothing has a route beyond 198.18.0.0/24, and
# nothing is added to the host's network.
#
# usage: netsim.sh COMMAND DIR [ARGS]
#   up DIR N [BUILD]    make the bridge and units 1..N; with BUILD (the build
#                       folder) also write each unit's database and start its
#                       task manager, unit table, monitor control and service,
#                       and wait until every service answers its health checks
#   down DIR            stop everything started under DIR (by process id)
#   exec DIR K CMD...   run CMD inside unit K (its network, IPC and mounts)
#   start DIR K PROG    (re)start one program of unit K: tmgr, monctl, nuvak
#   stop DIR K PROG     stop it (SIGINT, then SIGKILL after 5 s)
#   loss DIR K J PCT    drop PCT percent of the datagrams unit K sends to unit J
#                       (nftables in unit J, on arrival; 0 removes the rule)
#   cut DIR K | mend DIR K   take unit K's link to the bridge down / up again
#   relay DIR K J SPEC  send K's requests to J through the UDP relay (see
#                       docs/network.md): SPEC as nuvak-netrelay's options
#   stranger DIR        a namespace at 198.18.0.200 that is no unit (no unit
#                       table, no task manager): for what any host can do
#   guard DIR K         unit K answers port 5110 only to unit-table addresses
#   idle DIR K J        mark unit J IDLE in unit K's unit table (active: alive)
# Layout of DIR: DIR/uK/{pid,db.txt,*.out,*.pid,monctl.log}, DIR/units.txt.
set -euo pipefail

NET=198.18.0
die() { echo "netsim: $*" >&2; exit 2; }
if [ $# -eq 0 ] || [ "$1" = --help ] || [ "$1" = -h ]; then
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
  exit 0
fi
[ $# -ge 2 ] || die "usage: netsim.sh COMMAND DIR [ARGS] (try --help)"
cmd=$1 dir=$2
shift 2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

holder() { cat "$dir/u$1/pid" 2>/dev/null || die "no unit $1 under $dir"; }
inside() { local k=$1; shift; nsenter -t "$(holder "$k")" -n -i -m -- "$@"; }

# The database of unit K: tours and group presets over its own monitors,
# logical ids that name the unit (tour K*1000+t, group preset K*1000+100+p).
db_text() {
  local k=$1 b=$(($1 * 1000))
  cat <<EOF
tour 1 logical $((b + 1))
  step preset 1 dwell 3
  step preset 2 dwell 3
tour 2 logical $((b + 2))
  step preset 3 dwell 4
  step preset 4 dwell 4
tour 3 logical $((b + 3))
  step preset 5 dwell 999
  step preset 6 dwell 999
preset 1 logical $((b + 101))
  element monitor 1 camera 1 preset 1
  element monitor 2 camera 2 preset 1
preset 2 logical $((b + 102))
  element monitor 1 camera 3 preset 2
  element monitor 2 camera 4 preset 1
preset 3 logical $((b + 103))
  element monitor 3 camera 5 preset 1
  element monitor 4 camera 6 preset 1
preset 4 logical $((b + 104))
  element monitor 3 camera 7 preset 1
  element monitor 4 camera 8 preset 3
preset 5 logical $((b + 105))
  element monitor 5 camera 9 preset 1
preset 6 logical $((b + 106))
  element monitor 5 camera 10 preset 1
preset 9 logical $((b + 109))
  element monitor 6 camera 11 preset 1
  element monitor 7 camera 12 preset 2
EOF
  for c in $(seq 1 12); do echo "camera $c logical $((100 + c)) title \"Unit $k camera $c\""; done
  for m in $(seq 1 7); do echo "monitor $m logical $((200 + m)) monloc \"Unit $k wall\""; done
}

bin() {
  local build=$1 name=$2
  case $name in
    nuvak) echo "$build/Process/nuvak/nuvak" ;;
    nuvak-dbupdate) echo "$build/tools/nuvak-sim/nuvak-dbupdate" ;;
    nuvak-netrelay) echo "$build/tools/nuvak-sim/nuvak-netrelay" ;;
    *) echo "$build/tools/$name/$name" ;;
  esac
}

wait_file() {  # FILE TEXT SECONDS
  local i
  for ((i = 0; i < $3 * 20; i++)); do grep -q -- "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
  return 1
}

# Starts one program of unit K in the background, its output in DIR/uK/P.out.
start_prog() {
  local k=$1 prog=$2 build u pid
  build=$(cat "$dir/build")
  u=$dir/u$k
  case $prog in
    tmgr) set -- "$(bin "$build" nuvak-tmgr)" --unit "$k" --host "$NET.$k" --interval 1 ;;
    monctl) set -- "$(bin "$build" nuvak-monctl)" --no-grid --columns 4 --log "$u/monctl.log" ;;
    nuvak) set -- "$(bin "$build" nuvak)" ;;
    *) die "unknown program $prog (tmgr, monctl, nuvak)" ;;
  esac
  # nsenter execs the program: $! is the program's own process id.
  nsenter -t "$(holder "$k")" -n -i -m -- "$@" >>"$u/$prog.out" 2>&1 </dev/null &
  pid=$!
  echo "$pid" >"$u/$prog.pid"
}

stop_prog() {
  local k=$1 prog=$2 pid i
  pid=$(cat "$dir/u$k/$prog.pid" 2>/dev/null) || return 0
  kill -INT "$pid" 2>/dev/null || { rm -f "$dir/u$k/$prog.pid"; return 0; }
  for ((i = 0; i < 100; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  kill -KILL "$pid" 2>/dev/null || true
  rm -f "$dir/u$k/$prog.pid"
}

# The holder of unit K: its own namespaces, its own /opt/cctv/database.
make_unit() {
  local k=$1 u=$dir/u$1
  mkdir -p "$u/db"
  unshare --net --ipc --mount --propagation private -- sh -c '
    mkdir -p /opt/cctv/database && mount --bind "$1" /opt/cctv/database && ip link set lo up &&
    echo ready > "$2" && exec sleep 2147483647' netsim-unit "$u/db" "$u/holder.state" </dev/null >/dev/null 2>&1 &
  echo $! >"$u/pid"
}

link_unit() {
  local k=$1
  ip link add "u$k" type veth peer name "e$k"
  ip link set "e$k" netns "$(holder "$k")"
  inside "$k" sh -c "ip link set e$k name eth0 && ip addr add $NET.$k/24 brd $NET.255 dev eth0 && ip link set eth0 up"
  ip link set "u$k" master br0 up
}

case $cmd in
  up)
    [ $# -ge 1 ] || die "up needs the number of units"
    n=$1 build=${2:-}
    [[ $n =~ ^[0-9]+$ ]] && [ "$n" -ge 1 ] && [ "$n" -le 64 ] || die "units: 1..64"
    mkdir -p "$dir"
    echo "$n" >"$dir/count"
    ip link set lo up
    ip link add br0 type bridge 2>/dev/null || true
    ip link set br0 up
    for k in $(seq 1 "$n"); do make_unit "$k"; done
    for k in $(seq 1 "$n"); do wait_file "$dir/u$k/holder.state" ready 20 || die "unit $k did not come up"; done
    for k in $(seq 1 "$n"); do link_unit "$k"; done
    : >"$dir/units.txt"
    for k in $(seq 1 "$n"); do echo "$k=$NET.$k,INIT,unit$k" >>"$dir/units.txt"; done
    [ -n "$build" ] || exit 0
    echo "$build" >"$dir/build"
    for k in $(seq 1 "$n"); do
      u=$dir/u$k
      db_text "$k" >"$u/db.txt"
      inside "$k" "$(bin "$build" nuvak-dbtool)" write "$u/db.txt" /opt/cctv/database >/dev/null ||
        die "unit $k: database write failed"
      inside "$k" "$(bin "$build" nuvak-units)" --quiet --clear --local "$k=$NET.$k,ACTIVE,unit$k" \
        --file "$dir/units.txt" || die "unit $k: unit table"
      start_prog "$k" tmgr
      start_prog "$k" monctl
    done
    for k in $(seq 1 "$n"); do
      wait_file "$dir/u$k/tmgr.out" ready 30 || die "unit $k: task manager did not start"
      wait_file "$dir/u$k/monctl.out" ready 30 || die "unit $k: monitor control did not start"
      start_prog "$k" nuvak
    done
    # A service registers before it reads its database and opens its ports;
    # its first health answer comes from its running loop, and says OK
    # (status 0x0E) only once its request port 5110 is bound.
    for k in $(seq 1 "$n"); do
      wait_file "$dir/u$k/tmgr.out" "answer NUVAK.*status 0x0E" 90 || die "unit $k: the service did not answer its task manager"
    done
    ;;
  down)
    for pf in "$dir"/u*/nuvak.pid "$dir"/u*/monctl.pid "$dir"/u*/tmgr.pid "$dir"/u*/relay*.pid; do
      [ -f "$pf" ] && kill -INT "$(cat "$pf")" 2>/dev/null
    done
    sleep 0.5
    # Whatever else runs in a unit's (or the stranger's) namespaces was
    # started there by us: found by namespace, ended by process id.
    for h in "$dir"/u*/pid "$dir"/stranger/pid; do
      [ -f "$h" ] || continue
      nsid=$(readlink "/proc/$(cat "$h")/ns/net" 2>/dev/null) || continue
      for p in /proc/[0-9]*; do
        [ "$(readlink "$p/ns/net" 2>/dev/null)" = "$nsid" ] && kill -KILL "${p#/proc/}" 2>/dev/null
      done
    done
    for pf in "$dir"/u*/*.pid; do
      [ -f "$pf" ] && kill -KILL "$(cat "$pf")" 2>/dev/null
    done
    ip link del br0 2>/dev/null || true
    exit 0
    ;;
  exec)
    [ $# -ge 2 ] || die "exec needs a unit and a command"
    k=$1; shift
    inside "$k" "$@"
    ;;
  start) start_prog "$1" "$2" ;;
  stop) stop_prog "$1" "$2" ;;
  loss)
    [ $# -eq 3 ] || die "loss needs K J PCT"
    k=$1 j=$2 pct=$3
    # Dropped on arrival at unit J (nftables in J's namespace, input hook):
    # like loss on the wire, the sender cannot tell (a drop on its output
    # would fail its sendto with EPERM).
    inside "$j" sh -c "nft list table inet netsim >/dev/null 2>&1 || {
        nft add table inet netsim && nft add chain inet netsim in '{ type filter hook input priority 0; }'; }"
    # One rule per source: remove the old one first.
    h=$(inside "$j" nft -a list chain inet netsim in | awk -v s="$NET.$k " '$0 ~ "ip saddr " s {print $NF}')
    for x in $h; do inside "$j" nft delete rule inet netsim in handle "$x"; done
    if [ "$pct" != 0 ]; then
      inside "$j" nft add rule inet netsim in ip saddr "$NET.$k" udp dport != 0 numgen random mod 1000 \< $((pct * 10)) drop
    fi
    ;;
  cut) ip link set "u$1" down ;;
  mend) ip link set "u$1" up ;;
  relay)
    [ $# -ge 2 ] || die "relay needs K J [options]"
    k=$1 j=$2; shift 2
    build=$(cat "$dir/build")
    # The relay listens at 198.18.0.(100+J) for unit J and talks to J from
    # 198.18.0.(100+K): unit K's unit table is pointed at the relay.
    ip addr add "$NET.$((100 + j))/24" dev br0 2>/dev/null || true
    ip addr add "$NET.$((100 + k))/24" dev br0 2>/dev/null || true
    log=$dir/u$k/relay$j-$(echo "$*" | tr -c 'a-z0-9' _).out
    "$(bin "$build" nuvak-netrelay)" --listen "$NET.$((100 + j))" --from "$NET.$((100 + k))" \
      --to "$NET.$j" "$@" >"$log" 2>&1 </dev/null &
    echo $! >"${log%.out}.pid"
    wait_file "$log" listening 10 || die "relay $k-$j did not start"
    inside "$k" "$(bin "$build" nuvak-units)" --quiet "$j=$NET.$((100 + j)),INIT,unit$j"
    ;;
  guard)
    # Unit K takes requests (port 5110) only from the addresses of its unit
    # table: what an operator does against hosts that are no unit.
    [ $# -eq 1 ] || die "guard needs K"
    k=$1
    addrs=$(inside "$k" "$(bin "$(cat "$dir/build")" nuvak-units)" | awk '$1 ~ /^[0-9]+$/ && $2 ~ /\./ {print $2}' | paste -sd, -)
    inside "$k" nft -f - <<EOF
table inet guard {
  chain in {
    type filter hook input priority -10;
    iifname "lo" accept
    udp dport 5110 ip saddr != { ${addrs:+$addrs,}$NET.$k } drop
  }
}
EOF
    ;;
  idle)
    build=$(cat "$dir/build")
    inside "$1" "$(bin "$build" nuvak-units)" --quiet "$2=$NET.$2,${3:-IDLE},unit$2"
    ;;
  stranger)
    s=$dir/stranger
    mkdir -p "$s"
    unshare --net --ipc --mount --propagation private -- sh -c 'ip link set lo up && echo ready > "$1" &&
      exec sleep 2147483647' netsim-stranger "$s/state" </dev/null >/dev/null 2>&1 &
    echo $! >"$s/pid"
    wait_file "$s/state" ready 20 || die "the stranger did not come up"
    ip link add us type veth peer name es
    ip link set es netns "$(cat "$s/pid")"
    nsenter -t "$(cat "$s/pid")" -n sh -c "ip link set es name eth0 && ip addr add $NET.200/24 brd $NET.255 dev eth0 && ip link set eth0 up"
    ip link set us master br0 up
    ;;
  *) die "unknown command $cmd" ;;
esac
