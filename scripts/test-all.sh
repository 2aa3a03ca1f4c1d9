#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine (installing packages needs root), builds
# the normal and the AddressSanitizer+UndefinedBehaviorSanitizer builds and
# runs the whole suite in both. Exits non-zero if anything fails. Any user may
# run it once the packages are there: the namespaced tests then run in a user
# namespace, or are skipped where the kernel refuses one.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
scripts/build.sh normal asan
if [ "$(id -u)" != 0 ] && ! unshare --user --map-root-user --ipc --net --mount true 2>/dev/null; then
  echo "test-all: no user namespaces for uid $(id -u): the namespaced tests will be skipped (run as root to run them)"
fi
jobs=$(nproc)
status=0
echo "== normal build"
ctest --test-dir build --output-on-failure -j "$jobs" || status=1
echo "== sanitizer build"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" || status=1
exit $status
