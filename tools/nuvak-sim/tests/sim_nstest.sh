#!/usr/bin/env bash
# sim_nstest.sh SIM BUILD [ARGS...]: runs `nuvak-sim --build BUILD --check
# --quick --keep ARGS` with no terminal (the shell --keep opens reads end of
# input and leaves at once), then checks what a new user is told: --help
# says nuvak-sim runs in private namespaces; with --units, the --keep banner names the
# network's verbs and says that requests run inside a unit ("unit K").
set -u
sim=$1 build=$2
shift 2
out=$(mktemp)
trap 'rm -f "$out"' EXIT
fail=0
"$sim" --help | grep -q 'private IPC, network and mount namespaces' ||
  { echo "FAIL: --help does not say it runs in private namespaces"; fail=1; }
"$sim" --build "$build" --check --quick --keep "$@" </dev/null >"$out" 2>&1
rc=$?
cat "$out"
[ "$rc" = 0 ] || { echo "FAIL: nuvak-sim exit $rc"; fail=1; }
grep -q 'scenario complete: every answer as expected' "$out" || { echo "FAIL: scenario not complete"; fail=1; }
if [ "$*" != "${*#*--units}" ]; then
  for verb in loss cut mend stranger guard; do
    grep -q "netsim.sh $verb" "$out" || { echo "FAIL: the --keep banner does not name netsim.sh $verb"; fail=1; }
  done
  grep -q 'unit K' "$out" || { echo "FAIL: the --keep banner does not say to use unit K"; fail=1; }
fi
exit $fail
