#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine (as root), builds the normal and the
# AddressSanitizer+UndefinedBehaviorSanitizer builds and runs the whole suite
# in both. Exits non-zero if anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
scripts/build.sh normal asan
jobs=$(nproc)
status=0
echo "== normal build"
ctest --test-dir build --output-on-failure -j "$jobs" || status=1
echo "== sanitizer build"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" || status=1
exit $status
