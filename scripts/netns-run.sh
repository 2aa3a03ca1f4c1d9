#!/usr/bin/env bash
# Runs a command inside private IPC, network and mount namespaces: System V
# shared memory and semaphores are its own, loopback is up and private, and
# /opt/cctv/database is a fresh temporary folder (exported as NUVAK_DBDIR_HOST
# for callers that want to look at it from outside). Nothing leaks to the host.
set -euo pipefail
if [ "${NUVAK_IN_NETNS:-}" != 1 ]; then
  tmp=$(mktemp -d /tmp/nuvak-ns.XXXXXX)
  trap 'rm -rf "$tmp"' EXIT
  NUVAK_IN_NETNS=1 NUVAK_NS_TMP="$tmp" unshare --ipc --net --mount --fork "$0" "$@"
  exit $?
fi
ip link set lo up
mount --make-rprivate /
mkdir -p "$NUVAK_NS_TMP/db" "$NUVAK_NS_TMP/opt"
if [ ! -d /opt/cctv/database ]; then
  # Give the namespace an /opt of its own so the host's stays untouched.
  mount -t tmpfs tmpfs /opt 2>/dev/null || mount --bind "$NUVAK_NS_TMP/opt" /opt
  mkdir -p /opt/cctv/database
fi
mount --bind "$NUVAK_NS_TMP/db" /opt/cctv/database
export NUVAK_DBDIR_HOST="$NUVAK_NS_TMP/db"
exec "$@"
