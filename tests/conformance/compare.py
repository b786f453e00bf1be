#!/usr/bin/env python3
"""Compares conformance records: the in-process one against each record made
through the proxy, and the cross-process ones against each other.

A record line is "<row> TAB <label> TAB <field> TAB <value>"; a row's "note"
field names the fields that may differ across the process boundary
("hr,status", "buffer*" for a prefix) and why. Prints per row
  ok <row> <label>
  ok <row> <label> differs as expected (<runs>: <fields>): <reason>
  FAIL <row> <label>: <call>: <run> <field>: in-process <value>, through the proxy <value>
and lines for: every record complete, all 48 slots of the interface covered,
and the server (one process for the whole run, quit after the last release;
in-process: the quit decision made once, by the last release).

  compare.py <native record> <name>=<record> [<name>=<record>...] [--idl idl/stibridge.idl]

Each record may have a <record>.server JSON beside it (run.py and the native
driver write them). Exit code: the number of FAIL lines (capped at 100)."""

import json
import os
import re
import sys
from collections import OrderedDict

IGNORED = {"note"}  # the same table in every run; not an observation
SHOWN = 100  # characters of a value in a FAIL line


def read_record(path):
    """{row number: (label, OrderedDict field -> value)}, the row count of
    the end line (None when the record stops early), and malformed lines."""
    rows = OrderedDict()
    end = None
    malformed = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            if line.startswith("end\t"):
                end = int(line.split("\t")[1].split()[0])
                continue
            parts = line.split("\t", 3)
            if len(parts) != 4:
                malformed.append(line)
                continue
            number, label, field, value = parts
            row = rows.setdefault(number, (label, OrderedDict()))
            row[1][field] = value
    return rows, end, malformed


def parse_note(note):
    """("hr,status: why") -> (["hr", "status"], "why")."""
    if not note:
        return [], ""
    fields, _, why = note.partition(": ")
    return [f.strip() for f in fields.split(",") if f.strip()], why


def allowed(field, patterns):
    for pattern in patterns:
        if pattern.endswith("*") and field.startswith(pattern[:-1]):
            return True
        if field == pattern:
            return True
    return False


def differences(a, b):
    """[(field, value in a, value in b)] over the fields of either row."""
    out = []
    for field in list(a.keys()) + [k for k in b.keys() if k not in a]:
        if field in IGNORED:
            continue
        left, right = a.get(field, "<absent>"), b.get(field, "<absent>")
        if left != right:
            out.append((field, left, right))
    return out


def short(value):
    return value if len(value) <= SHOWN else value[:SHOWN] + "..."


def interface_methods(idl):
    """The 48 slots: IUnknown's three and the interface's own, in order."""
    with open(idl) as f:
        text = f.read()
    body = re.search(r"interface\s+IStiScannerComBridge\s*:\s*IUnknown\s*\{(.*?)\n\}", text, re.S)
    own = re.findall(r"HRESULT\s+(\w+)\s*\(", body.group(1)) if body else []
    return ["QueryInterface", "AddRef", "Release"] + own


def read_status(record):
    try:
        with open(record + ".server") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def compare(native_path, cross_paths, idl=None, out=sys.stdout):
    failures = 0

    def report(passed, text):
        nonlocal failures
        if not passed:
            failures += 1
        print(("ok " if passed else "FAIL ") + text, file=out, flush=True)

    native, native_end, malformed = read_record(native_path)
    report(native_end == len(native) and not malformed and native_end,
           "record-native-complete (%d rows)" % len(native)
           + ("" if not malformed else ": malformed " + short(malformed[0])))
    cross = {}
    for name, path in cross_paths.items():
        if not os.path.exists(path):
            report(False, "record-%s-complete: no record" % name)
            cross[name] = OrderedDict()
            continue
        rows, end, bad = read_record(path)
        cross[name] = rows
        report(end == len(rows) == len(native) and not bad,
               "record-%s-complete (%d of %d rows%s)"
               % (name, len(rows), len(native), "" if end is not None else ", no end line"))

    if idl:
        slots = interface_methods(idl)
        called = {fields.get("method") for _, fields in native.values()}
        missing = [m for m in slots if m not in called]
        report(len(slots) == 48 and not missing,
               "methods-covered (%d of %d slots)%s"
               % (len(slots) - len(missing), len(slots),
                  "" if not missing else ": not called " + ", ".join(missing)))

    names = list(cross_paths)
    for number, (label, fields) in native.items():
        patterns, why = parse_note(fields.get("note", ""))
        unexpected, expected = [], []
        for name in names:
            other = cross[name].get(number)
            if other is None:
                unexpected.append((name, "row", "present", "missing"))
                continue
            if other[0] != label:
                unexpected.append((name, "label", label, other[0]))
                continue
            for field, left, right in differences(fields, other[1]):
                (expected if allowed(field, patterns) else unexpected).append(
                    (name, field, left, right))
        # The two clients see the same server through the same interface;
        # where the proxy itself answers (a noted field), the proxies of the
        # two bitnesses may answer differently.
        for i in range(len(names)):
            for j in range(i + 1, len(names)):
                a, b = cross[names[i]].get(number), cross[names[j]].get(number)
                if a is None or b is None:
                    continue
                for field, left, right in differences(a[1], b[1]):
                    (expected if allowed(field, patterns) else unexpected).append(
                        ("%s/%s" % (names[i], names[j]), field, left, right))
        text = "%s %s" % (number, label)
        if unexpected:
            details = "; ".join("%s %s: %s %s, %s %s" % (
                run, field,
                "in-process" if "/" not in run else run.split("/")[0], short(left),
                "through the proxy" if "/" not in run else run.split("/")[1], short(right))
                for run, field, left, right in unexpected[:6])
            report(False, "%s: %s: %s" % (text, fields.get("call", "?"), details))
        elif expected:
            runs = sorted({run for run, _, _, _ in expected})
            shown = sorted({field for _, field, _, _ in expected})
            report(True, "%s differs as expected (%s: %s): %s"
                   % (text, ", ".join(runs), ", ".join(shown), why))
        else:
            report(True, text)

    status = read_status(native_path)
    report(status is not None and status.get("objects") == 0 and status.get("quits") == 1,
           "in-process-quit: no object left and the quit decision made once, by the last "
           "release (%s)" % (json.dumps(status) if status else "no status"))
    for name, path in cross_paths.items():
        status = read_status(path) or {}
        pids = status.get("pids", [])
        detail = status.get("detail", "")
        report(len(pids) == 1 and not detail,
               "server-%s-survives: one server process for the whole run (%s)%s"
               % (name, pids, ": " + detail if detail else ""))
        report(status.get("quit") is True,
               "server-%s-quits: the server quit after the client's last release" % name)
    return failures


# What a driver conduct may change in a record: the size word an escape
# leaves behind, which the server does not read (size queries excepted: their
# answer is the size word).
SIZE_AFTER = re.compile(r"(size=\d+)->\d+")
SIZE_QUERY = re.compile(r"name=ItemTransfer in=32 out=0 size=0->")


def without_size_after(value):
    if value.startswith("escape ") and not SIZE_QUERY.search(value):
        return SIZE_AFTER.sub(r"\1->?", value)
    return value


def compare_conduct(default_path, conduct_path, name, out=sys.stdout):
    """One line: the record made under a driver conduct against the one made
    under the default conduct, row by row and field by field, the size word
    after escapes aside. Returns the number of FAIL lines (0 or 1)."""
    default, _, _ = read_record(default_path)
    rows, end, malformed = (read_record(conduct_path) if os.path.exists(conduct_path)
                            else (OrderedDict(), None, ["no record"]))
    unexpected, relaxed = [], 0
    for number, (label, fields) in default.items():
        other = rows.get(number)
        if other is None or other[0] != label:
            unexpected.append("%s %s: missing" % (number, label))
            continue
        for field, left, right in differences(fields, other[1]):
            if without_size_after(left) == without_size_after(right):
                relaxed += 1
            else:
                unexpected.append("%s %s: %s: default %s, under the conduct %s"
                                  % (number, label, field, short(left), short(right)))
    passed = not unexpected and not malformed and end == len(default) == len(rows)
    detail = ("%d rows as under the default conduct (%d journal lines differ only in the size "
              "word the driver leaves behind)" % (len(rows), relaxed))
    if not passed:
        detail = ("%d of %d rows differ%s: " % (len(unexpected), len(default),
                                                "" if end is not None else ", no end line")
                  + "; ".join(unexpected[:4]))
    print("%s conduct-%s: %s" % ("ok" if passed else "FAIL", name, detail), file=out, flush=True)
    return 0 if passed else 1


def main(argv):
    idl = None
    if "--idl" in argv:
        at = argv.index("--idl")
        idl = argv[at + 1]
        argv = argv[:at] + argv[at + 2:]
    if len(argv) < 3:
        print(__doc__)
        return 2
    cross = OrderedDict()
    for item in argv[2:]:
        name, _, path = item.partition("=")
        cross[name] = path
    return min(compare(argv[1], cross, idl), 100)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
