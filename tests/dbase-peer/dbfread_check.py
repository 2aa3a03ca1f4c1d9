#!/usr/bin/python3
"""Checks a database written by nuvak-dbtool with Debian's python3-dbfread,
which we did not write: every record of the four .dbf files, every field the
description gives, against the description.

With --dump FILE it also checks the output of `nuvak-dbtool dump --json`
(our reader, through the service's tables) against the same description.

usage: dbfread_check.py DESCRIPTION DIR [--dump FILE]
"""
import json
import shlex
import sys
from collections import Counter, OrderedDict

import dbfread

KEY = {"camera": ("CAM", "LCAM"), "monitor": ("MON", "LMON")}


def read_description(path):
    """Tours and presets in description order, cameras and monitors."""
    d = {"tours": OrderedDict(), "presets": OrderedDict(), "camera": {}, "monitor": {}}
    current = None
    with open(path, encoding="ascii") as f:
        for line in f:
            tok = shlex.split(line, comments=True)
            if not tok:
                continue
            kw = tok[0].lower()
            if kw in ("tour", "preset"):
                current = {"logical": int(tok[3]), "items": []}
                d[kw + "s"][int(tok[1])] = current
            elif kw == "step":
                a = dict(zip(tok[1::2], tok[2::2]))
                current["items"].append((int(a["preset"]), int(a["dwell"])))
            elif kw == "element":
                a = dict(zip(tok[1::2], tok[2::2]))
                current["items"].append((int(a["monitor"]), int(a["camera"]), int(a.get("preset", 0))))
            elif kw in KEY:
                fields = {k.upper(): v for k, v in zip(tok[4::2], tok[5::2])}
                d[kw][int(tok[1])] = (int(tok[3]), fields)
            else:
                raise SystemExit("%s: unknown line %r" % (path, line))
    return d


def value_text(v):
    if v is None:
        return ""
    if isinstance(v, bool):
        return "Y" if v else "N"
    return str(v).rstrip()


def main():
    args = sys.argv[1:]
    dump = None
    if "--dump" in args:
        i = args.index("--dump")
        dump = args[i + 1]
        del args[i:i + 2]
    if len(args) != 2:
        raise SystemExit(__doc__)
    desc, directory = args
    d = read_description(desc)
    failures = []

    def expect(cond, what):
        if not cond:
            failures.append(what)

    def table(name):
        return list(dbfread.DBF("%s/%s.dbf" % (directory, name), load=True, char_decode_errors="strict"))

    # Tours and presets: one record per step / element.
    want = Counter((tid, t["logical"]) + s for tid, t in d["tours"].items() for s in t["items"])
    have = Counter((r["GRPTOUR"], r["LGRPTOUR"], r["GRPPRESET"], r["GRPDWELL"]) for r in table("nuvak"))
    expect(want == have, "nuvak: records differ: missing %s, extra %s" % (want - have, have - want))
    want = Counter((pid, p["logical"]) + e for pid, p in d["presets"].items() for e in p["items"])
    have = Counter((r["GRPPRESET"], r["LGRPPRESET"], r["MON"], r["CAM"], r["CAMPRESET"])
                   for r in table("grppre"))
    expect(want == have, "grppre: records differ: missing %s, extra %s" % (want - have, have - want))

    # Cameras and monitors: each once, with every field the description gives.
    for kind, name in (("camera", "cam"), ("monitor", "mon")):
        key, log = KEY[kind]
        rows = table(name)
        expect(len(rows) == len(d[kind]), "%s: %d records, expected %d" % (name, len(rows), len(d[kind])))
        seen = set()
        for r in rows:
            n = r[key]
            expect(n not in seen, "%s: %s %d twice" % (name, key, n))
            seen.add(n)
            if n not in d[kind]:
                failures.append("%s: unexpected %s %d" % (name, key, n))
                continue
            logical, fields = d[kind][n]
            expect(r[log] == logical, "%s %d: %s %r, expected %d" % (name, n, log, r[log], logical))
            for f, v in fields.items():
                expect(value_text(r[f]) == v.rstrip(),
                       "%s %d: %s %r, expected %r" % (name, n, f, r[f], v))

    # Our reader through the service's tables (ids 1..256, cameras 1..2047,
    # monitors 1..1024).
    if dump:
        with open(dump) as f:
            got = json.load(f)
        tours = [{"id": i, "logical": t["logical"],
                  "steps": [{"preset": p, "dwell": w} for p, w in t["items"]]}
                 for i, t in sorted(d["tours"].items()) if 1 <= i <= 256]
        presets = [{"id": i, "logical": p["logical"],
                    "elements": [{"monitor": m, "camera": c, "preset": q} for m, c, q in p["items"]]}
                   for i, p in sorted(d["presets"].items()) if 1 <= i <= 256]
        cams = [{"camera": i, "logical": v[0]} for i, v in sorted(d["camera"].items()) if 1 <= i <= 2047]
        mons = [{"monitor": i, "logical": v[0]} for i, v in sorted(d["monitor"].items()) if 1 <= i <= 1024]
        for k, v in (("tours", tours), ("presets", presets), ("cameras", cams), ("monitors", mons)):
            if got.get(k) != v:
                bad = next((i for i, (a, b) in enumerate(zip(got.get(k, []), v)) if a != b), None)
                failures.append("dump %s differs (%d vs %d entries; first difference at %s)"
                                % (k, len(got.get(k, [])), len(v), bad))
    for f in failures[:20]:
        print("FAIL:", f)
    print("dbfread_check: %d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
