#!/usr/bin/env bash
# Runs a command inside private IPC, network and mount namespaces: System V
# shared memory and semaphores are its own, loopback is up and private, and
# /opt/cctv/database is a fresh temporary folder (exported as NUVAK_DBDIR_HOST
# for callers that want to look at it from outside). Nothing leaks to the host.
# As root it uses the namespaces directly; as any other user it first makes a
# user namespace in which that user is root (unshare --map-root-user). Where
# the kernel refuses that, it says why and exits 77 (the suite's "skipped").
set -euo pipefail
if [ "${NUVAK_IN_NETNS:-}" != 1 ]; then
  ns=(--ipc --net --mount --fork)
  if [ "$(id -u)" != 0 ]; then
    if ! why=$(unshare --user --map-root-user --ipc --net --mount true 2>&1); then
      echo "netns-run.sh: skipped: no user namespace for uid $(id -u) (${why:-refused});" \
           "run as root, or allow unprivileged user namespaces (kernel.unprivileged_userns_clone," \
           "user.max_user_namespaces)" >&2
      exit 77
    fi
    ns=(--user --map-root-user "${ns[@]}")
  fi
  tmp=$(mktemp -d /tmp/nuvak-ns.XXXXXX)
  trap 'rm -rf "$tmp"' EXIT
  NUVAK_IN_NETNS=1 NUVAK_NS_TMP="$tmp" unshare "${ns[@]}" "$0" "$@"
  exit $?
fi
ip link set lo up
mount --make-rprivate /
mkdir -p "$NUVAK_NS_TMP/db" "$NUVAK_NS_TMP/opt"
if [ ! -d /opt/cctv/database ]; then
  # Give the namespace an /opt of its own so the host's stays untouched (and
  # so a user namespace, which may not write the host's /opt, has one too).
  mount -t tmpfs tmpfs /opt 2>/dev/null || mount --bind "$NUVAK_NS_TMP/opt" /opt
  mkdir -p /opt/cctv/database
fi
mount --bind "$NUVAK_NS_TMP/db" /opt/cctv/database
export NUVAK_DBDIR_HOST="$NUVAK_NS_TMP/db"
exec "$@"
