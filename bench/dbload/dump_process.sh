#!/bin/sh
# dump_process.sh [NUVAK-DBTOOL] [RUNS]: `nuvak-dbtool dump` of the full-size
# installation as a whole process against python3 with dbfread reading the
# same four .dbf files as a whole process (interpreter start-up included on
# both sides). Prints the median wall time of RUNS runs of each and the ratio.
# Defaults: build/tools/nuvak-dbtool/nuvak-dbtool, 21 runs.
set -eu
case "${1:-}" in
    -h|--help) sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
tool=${1:-$(dirname "$0")/../../build/tools/nuvak-dbtool/nuvak-dbtool}
runs=${2:-21}
[ -x "$tool" ] || { echo "dump_process.sh: no nuvak-dbtool at $tool" >&2; exit 2; }
case "$runs" in ''|*[!0-9]*) echo "dump_process.sh: RUNS must be a number" >&2; exit 2 ;; esac
/usr/bin/python3 -c 'import dbfread' 2>/dev/null || { echo "dump_process.sh: python3-dbfread missing" >&2; exit 1; }
dir=$(mktemp -d /tmp/dump_process.XXXXXX)
trap 'rm -rf "$dir"' EXIT
"$tool" example --full | "$tool" write - "$dir/db"
cat > "$dir/peer.py" <<PY
import sys, dbfread
for t in ("nuvak", "grppre", "cam", "mon"):
    list(dbfread.DBF("%s/%s.dbf" % (sys.argv[1], t), load=True))
PY
# median_ms COMMAND...: median wall time of $runs runs, in ms.
median_ms() {
    i=0
    while [ $i -lt "$runs" ]; do
        s=$(date +%s%N); "$@" > /dev/null; e=$(date +%s%N)
        echo $(( (e - s) / 1000 ))
        i=$((i + 1))
    done | sort -n | awk '{ a[NR] = $1 } END { printf "%.1f", a[int((NR + 1) / 2)] / 1000 }'
}
"$tool" dump "$dir/db" > /dev/null   # warm the page cache
ours=$(median_ms "$tool" dump "$dir/db")
peer=$(median_ms /usr/bin/python3 "$dir/peer.py" "$dir/db")
awk -v o="$ours" -v p="$peer" -v n="$runs" 'BEGIN {
    printf "nuvak-dbtool dump  %8.1f ms (median of %d)\npython3 dbfread    %8.1f ms\nratio              %8.1fx  target >= 5x: %s\n",
           o, n, p, p / o, (p / o >= 5) ? "met" : "MISSED" }'
