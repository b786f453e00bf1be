#!/usr/bin/env python3
"""Checks of compare.py on small made-up records: what it lets pass, what it
reports, and that a FAIL names the row, the call and the field with both
values. Prints "ok <case>" / "FAIL <case>: <detail>"; the exit code is the
number of failed cases."""

import io
import json
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compare  # noqa: E402

NATIVE = [
    ("001", "a/plain", {"method": "Reserved1", "call": "Reserved1()", "hr": "0x00000000"}),
    ("002", "a/read", {"method": "ReadImageData", "call": "ReadImageData(...)",
                       "note": "request,buffer*: the request is [in]",
                       "hr": "0x00000000", "request": "page=2", "buffer": "bytes=4",
                       "buffer.guard": "intact", "journal.1": "escape code=4103"}),
]


def write(folder, name, rows, end=True, server=None):
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        f.write("# made up\n")
        for number, label, fields in rows:
            for field, value in fields.items():
                f.write("%s\t%s\t%s\t%s\n" % (number, label, field, value))
        if end:
            f.write("end\t%d rows\n" % len(rows))
    with open(path + ".server", "w") as f:
        json.dump(server if server is not None else {"pids": [7], "quit": True}, f)
    return path


def changed(row, **fields):
    number, label, old = NATIVE[row]
    rows = [list(r) for r in NATIVE]
    rows[row] = (number, label, dict(old, **fields))
    return rows


def run(cross32, cross64, end=True, server=None):
    with tempfile.TemporaryDirectory() as folder:
        native = write(folder, "native.txt", NATIVE, server={"objects": 0, "quits": 1})
        a = write(folder, "win32.txt", cross32, end, server)
        b = write(folder, "win64.txt", cross64, True, server)
        out = io.StringIO()
        failures = compare.compare(native, {"win32": a, "win64": b}, None, out)
        return failures, out.getvalue()


# (case, win32 rows, win64 rows, win32's record ends, server status of both,
#  expected failures, texts the output must hold)
CASES = [
    ("identical records pass", NATIVE, NATIVE, True, None, 0,
     ["ok 001 a/plain\n", "ok 002 a/read\n"]),
    ("a declared field may differ", changed(1, request="page=0"), changed(1, request="page=0"),
     True, None, 0, ["ok 002 a/read differs as expected (win32, win64: request): the request"]),
    ("a prefix pattern covers its fields", changed(1, **{"buffer.guard": "x"}),
     changed(1, **{"buffer.guard": "x"}), True, None, 0, ["differs as expected"]),
    ("an undeclared field fails with both values", changed(1, hr="0x80004005"), NATIVE, True,
     None, 1, ["FAIL 002 a/read: ReadImageData(...): win32 hr: in-process 0x00000000, "
               "through the proxy 0x80004005"]),
    ("a journal line counts as a field", NATIVE, changed(1, **{"journal.1": "escape code=4"}),
     True, None, 1, ["win64 journal.1"]),
    ("a field only one side has fails", changed(0, extra="1"), NATIVE, True, None, 1,
     ["win32 extra: in-process <absent>, through the proxy 1"]),
    ("the two clients must agree outside the notes", changed(0, hr="0x1"), changed(0, hr="0x2"),
     True, None, 1, ["win32/win64 hr: win32 0x1, win64 0x2"]),
    ("a missing row and a missing end fail", NATIVE[:1], NATIVE, False, None, 2,
     ["FAIL record-win32-complete", "win32 row: in-process present, through the proxy missing"]),
    ("a second server process fails", NATIVE, NATIVE, True, {"pids": [7, 8], "quit": True}, 2,
     ["FAIL server-win32-survives"]),
    ("a server that stays fails", NATIVE, NATIVE, True, {"pids": [7], "quit": False}, 2,
     ["FAIL server-win64-quits"]),
]

# A record made under a driver conduct against the default one, whose read
# row holds a hand-back and a size query: (case, the fields the conduct's
# record changes in that row, or None for the row missing, expected
# failures, texts the output must hold).
ESCAPE = "escape device=1 code=4110 name=FreeDriverBlock in=40 out=0 size=2->%s"
QUERY = "escape device=1 code=4103 name=ItemTransfer in=32 out=0 size=0->%s"
CONDUCT_CASES = [
    ("the size word an escape leaves may differ", {"journal.1": ESCAPE % "2779096485"}, 0,
     ["ok conduct-x: 2 rows", "(1 journal"]),
    ("a size query's answer may not", {"journal.2": QUERY % "7"}, 1,
     ["FAIL conduct-x: 1 of 2 rows differ: 002 a/read: journal.2"]),
    ("nor any other field", {"buffer": "bytes=5"}, 1, ["default bytes=4"]),
    ("nor a missing row", None, 1, ["002 a/read: missing"]),
]


def run_conduct(fields):
    with tempfile.TemporaryDirectory() as folder:
        read = {"journal.1": ESCAPE % "2", "journal.2": QUERY % "384"}
        default = write(folder, "default.txt", changed(1, **read))
        rows = changed(1, **dict(read, **fields)) if fields is not None else NATIVE[:1]
        conduct = write(folder, "conduct.txt", rows)
        out = io.StringIO()
        return compare.compare_conduct(default, conduct, "x", out), out.getvalue()


def verdict(kind, name, result, expected, texts):
    """Prints the case's line; 1 when it failed."""
    failures, output = result
    missing = [t for t in texts if t not in output]
    if failures == expected and not missing:
        print("ok %s: %s" % (kind, name))
        return 0
    print("FAIL %s: %s: %d failures (expected %d), missing %s\n%s"
          % (kind, name, failures, expected, missing, output))
    return 1


def main():
    failed = 0
    for name, a, b, end, server, expected, texts in CASES:
        failed += verdict("compare", name, run(a, b, end, server), expected, texts)
    for name, rows, expected, texts in CONDUCT_CASES:
        failed += verdict("compare-conduct", name, run_conduct(rows), expected, texts)
    return failed


if __name__ == "__main__":
    sys.exit(main())
