#!/usr/bin/env bash
# demo.sh [nuvak-sim arguments]: installs what is missing, builds the normal
# build and runs the simulated installation (tools/nuvak-sim): the task
# manager, unit table and monitor control stand-ins, a sample database and the
# tour service in private namespaces, driven through a scripted scenario while
# the monitor wall changes. --keep leaves it running with a shell inside.
# Root only to install packages; the namespaces are made for any user through
# a user namespace (scripts/netns-run.sh). Nothing touches the host's shared
# memory or ports.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
# Only what the installation runs: the service and its stand-ins.
demo_targets=(nuvak nuvak-tmgr nuvak-monctl nuvak-dbtool nuvak-request nuvak-units nuvak-dbupdate nuvak-netrelay)
scripts/build.sh "${demo_targets[@]/#/--target=}" normal
exec tools/nuvak-sim/nuvak-sim --build build "$@"
