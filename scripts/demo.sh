#!/usr/bin/env bash
# demo.sh [demo arguments]: installs what is missing, builds the normal build
# and runs the framework demo (a client with a periodic timer, fed queued
# signal values by a second process, stopped by SIGINT after --seconds).
# As root the demo runs in private namespaces (scripts/netns-run.sh), so the
# IPC address table it attaches (key 0x1009) is its own, not the host's.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ]; then
  scripts/bootstrap.sh
  scripts/build.sh normal
  exec scripts/netns-run.sh build/tools/nuvak-fwdemo/nuvak-fwdemo "$@"
fi
scripts/build.sh normal
exec build/tools/nuvak-fwdemo/nuvak-fwdemo "$@"
