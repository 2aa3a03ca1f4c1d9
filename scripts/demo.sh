#!/usr/bin/env bash
# demo.sh [demo arguments]: installs what is missing, builds the normal build
# and runs the framework demo (a client with a periodic timer, fed queued
# signal values by a second process, stopped by SIGINT after --seconds).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ]; then
  scripts/bootstrap.sh
fi
scripts/build.sh normal
exec build/tools/nuvak-fwdemo/nuvak-fwdemo "$@"
