#!/bin/sh
# Writes a database with nuvak-dbtool and has independent readers check it:
# XBase / XBase::Index (libdbd-xbase-perl) read the .dbf and walk and seek the
# .mdx; dbfread (python3-dbfread) reads the .dbf and checks our own reader's
# dump against the description.
#   small    the small example, at most 2 entries per index page (deep trees,
#            runs of one key across leaves)
#   full     the full-size installation
#   rewrite  the full-size installation rewritten in place with the small one
#            (files shrink under the same inodes)
# usage: peer_check.sh NUVAK-DBTOOL small|full|rewrite
set -eu
tool=$1
mode=$2
here=$(cd "$(dirname "$0")" && pwd)
if ! perl -MXBase -MXBase::Index -e 1 2>/dev/null; then
    echo "SKIP: libdbd-xbase-perl is not installed (scripts/bootstrap.sh)"; exit 77
fi
if ! /usr/bin/python3 -c 'import dbfread' 2>/dev/null; then
    echo "SKIP: python3-dbfread is not installed (scripts/bootstrap.sh)"; exit 77
fi
work=$(mktemp -d /tmp/dbase-peer.XXXXXX)
trap 'rm -rf "$work"' EXIT
case $mode in
small)
    "$tool" example > "$work/desc"
    "$tool" write --page-keys 2 "$work/desc" "$work/db" ;;
full)
    "$tool" example --full > "$work/desc"
    "$tool" write "$work/desc" "$work/db" ;;
rewrite)
    "$tool" example --full > "$work/full"
    "$tool" write "$work/full" "$work/db"
    "$tool" example > "$work/desc"
    "$tool" rewrite --records reversed "$work/desc" "$work/db" ;;
*)
    echo "peer_check.sh: unknown mode $mode" >&2; exit 2 ;;
esac
perl "$here/xbase_check.pl" "$work/desc" "$work/db"
"$tool" dump --json "$work/db" > "$work/dump.json"
/usr/bin/python3 "$here/dbfread_check.py" "$work/desc" "$work/db" --dump "$work/dump.json"
