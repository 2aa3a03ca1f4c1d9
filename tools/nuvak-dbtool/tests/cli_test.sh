#!/bin/sh
# nuvak-dbtool from the command line: usage, refusals with a reason and a
# status, and a write -> dump -> write round trip that keeps the tables.
# usage: cli_test.sh NUVAK-DBTOOL
set -u
tool=$1
work=$(mktemp -d /tmp/dbtool-cli.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail=0
expect() {  # expect STATUS DESCRIPTION command...
    want=$1; what=$2; shift 2
    "$@" > "$work/out" 2> "$work/err"
    got=$?
    if [ "$got" -ne "$want" ]; then
        echo "FAIL: $what: status $got, expected $want"; cat "$work/err"; fail=1
    fi
}
expect 0 "--help" "$tool" --help
grep -q "usage: nuvak-dbtool" "$work/out" || { echo "FAIL: no usage text"; fail=1; }
expect 2 "unknown command" "$tool" frobnicate
expect 2 "write without DIR" "$tool" write only-one
expect 2 "bad --records" "$tool" write --records sideways a b
expect 2 "bad --page-keys" "$tool" write --page-keys 1 a b
printf 'tour 1 logical 5\n  step preset 1\n' > "$work/bad.desc"
expect 1 "description error" "$tool" write "$work/bad.desc" "$work/db"
grep -q "line 2: missing dwell" "$work/err" || { echo "FAIL: reason not named"; cat "$work/err"; fail=1; }
expect 1 "dump of a missing directory" "$tool" dump "$work/none"
grep -q "DBRET_NOTFOUND" "$work/err" || { echo "FAIL: missing table not named"; fail=1; }

# Round trip: the text dump is a description that writes the same tables.
"$tool" example > "$work/a.desc"
expect 0 "write" "$tool" write --page-keys 2 "$work/a.desc" "$work/db"
expect 0 "dump" "$tool" dump "$work/db"
cp "$work/out" "$work/dump1"
expect 0 "write back" "$tool" write "$work/dump1" "$work/db2"
expect 0 "dump again" "$tool" dump "$work/db2"
sed 1d "$work/dump1" > "$work/d1"; sed 1d "$work/out" > "$work/d2"
cmp -s "$work/d1" "$work/d2" || { echo "FAIL: dump -> write -> dump differs"; diff "$work/d1" "$work/d2" | head; fail=1; }

# A table rewritten in place, one table only.
sed 's/dwell 10$/dwell 11/' "$work/a.desc" > "$work/b.desc"
ino=$(stat -c %i "$work/db/nuvak.mdx")
expect 0 "rewrite one table" "$tool" rewrite --table nuvak "$work/b.desc" "$work/db"
[ "$(stat -c %i "$work/db/nuvak.mdx")" = "$ino" ] || { echo "FAIL: rewrite replaced the file"; fail=1; }
expect 0 "dump after rewrite" "$tool" dump --json "$work/db"
grep -q '"dwell": 11' "$work/out" || { echo "FAIL: rewrite not seen"; fail=1; }

# A writer half-way: the new tour table's index over its old data (a step
# fewer). The dump prints nothing of it: it fails with a reason.
cp "$work/db/nuvak.dbf" "$work/nuvak.dbf.old"
sed '0,/^  step/{/^  step/d}' "$work/a.desc" > "$work/c.desc"
expect 0 "write a step fewer" "$tool" write --table nuvak "$work/c.desc" "$work/db"
cp "$work/nuvak.dbf.old" "$work/db/nuvak.dbf"
expect 1 "dump of a half-written table" "$tool" dump "$work/db"
[ -s "$work/out" ] && { echo "FAIL: a half-written table was dumped"; fail=1; }
grep -q "tours table kept changing" "$work/err" || { echo "FAIL: no reason given"; cat "$work/err"; fail=1; }
expect 0 "write the tours back" "$tool" write --table nuvak "$work/a.desc" "$work/db"

# Indexes shaped by other writers: other data after a 16-bit tag count
# (bytes 30-31), and a tag-name tree that misses a tag present in the file
# (CAM hung on the wrong side of LCAM). The walk gives the same records.
expect 0 "walk GRPTOUR" "$tool" walk "$work/db/nuvak.dbf" GRPTOUR
cp "$work/out" "$work/walk1"
printf '\002\033' | dd of="$work/db/nuvak.mdx" bs=1 seek=30 conv=notrunc 2>/dev/null
expect 0 "walk with bytes 30-31 set" "$tool" walk "$work/db/nuvak.dbf" GRPTOUR
cmp -s "$work/walk1" "$work/out" || { echo "FAIL: walk differs with bytes 30-31 set"; fail=1; }
expect 0 "walk CAM" "$tool" walk "$work/db/cam.dbf" CAM
cp "$work/out" "$work/walk2"
printf '\000\001' | dd of="$work/db/cam.mdx" bs=1 seek=592 conv=notrunc 2>/dev/null
expect 0 "walk CAM off the name tree" "$tool" walk "$work/db/cam.dbf" CAM
cmp -s "$work/walk2" "$work/out" || { echo "FAIL: walk differs off the name tree"; fail=1; }
[ $fail -eq 0 ] && echo "cli_test: ok"
exit $fail
