#!/usr/bin/env python3
"""Holds the method reference (idl/reference.md) against the interface
definition (idl/stibridge.idl): the same 48 methods, in slot order, and each
heading's signature naming the IDL's parameters. Prints "ok ..." or
"FAIL ..." lines."""

import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import harness  # noqa: E402
from harness import check  # noqa: E402

root = sys.argv[1] if len(sys.argv) > 1 else os.getcwd()
idl = open(os.path.join(root, "idl", "stibridge.idl")).read()
reference = open(os.path.join(root, "idl", "reference.md")).read()

body = idl[idl.index("interface IStiScannerComBridge"):]
body = body[body.index("{") + 1:body.index("\n}")]
body = re.sub(r"//[^\n]*", "", body)
methods = ["QueryInterface", "AddRef", "Release"]
parameters = {}
for match in re.finditer(r"HRESULT\s+(\w+)\s*\(([^;]*)\)\s*;", body, re.S):
    methods.append(match.group(1))
    names = re.findall(r"(\w+)\s*(?:,|$)", re.sub(r"\[[^\]]*\]", "", match.group(2)).strip())
    parameters[match.group(1)] = [n for n in names if n != "void"]

headings = re.findall(r"^### (\d+)\. (\w+)$", reference, re.M)
check(len(methods) == 48, "idl-has-48-methods", str(len(methods)))
check([int(slot) for slot, _ in headings] == list(range(len(headings))),
      "reference-slots-in-order", str([slot for slot, _ in headings]))
check([name for _, name in headings] == methods, "reference-lists-the-idl-methods",
      "reference %s, idl %s" % ([n for _, n in headings], methods))
for name, names in parameters.items():
    section = reference.split("### ")[[n for _, n in headings].index(name) + 1] \
        if name in [n for _, n in headings] else ""
    signature = re.search(r"`%s\(([^`]*)\)`" % name, section)
    mentioned = re.findall(r"(\w+)\s*(?:,|$)", re.sub(r"\[[^\]]*\]", "",
                                                       signature.group(1)).strip()) \
        if signature else []
    check(signature is not None and mentioned == names, "reference-signature-" + name,
          "reference %s, idl %s" % (mentioned, names))
sys.exit(harness.exit_status())
