#!/usr/bin/env python3
"""The package's registry table, read from what the binaries write.

packaging/registry-table runs each binary's own registration in a scratch
Wine prefix (the x64 proxy's DllRegisterServer, the x86 proxy's through the
32-bit regsvr32, then `stibridge.exe /RegServer`) and saves the machine hive
(system.reg) before and after each step. This script reads those hives and
writes, for each component of the package, the keys and values that its
binary's step added to HKEY_CLASSES_ROOT, in the registry view it wrote them
to:

  <out>/<Component>.wxi   RegistryValue elements, included by stibridge.wxs
  <out>/keys.sql          one Registry row per key the step created, named
                          "*": created on install, removed with everything
                          under it on removal, as the binary's own
                          unregistration removes it
  <out>/registry.txt      the same as text, for the package test

The registered file's path is written as [#FileId], so the installed copy is
named; a value that names another path, or one of a type the table is not
written for, stops the build: the package would then not write what the
binary writes.

  registry_table.py <hives> <out> <component>=<step>:<view>:<file id>:<path>[:<from>] ...

<hives>/<step>.reg is the hive after the step, <hives>/before-<step>.reg
before it; view is 64 or 32, and path the Windows path of the file the step
registered. With <from>, the step registered its file in that view, and its
rows are taken into <view> for this component's file (where no 32-bit
program runs, the x86 proxy's rows are made from the x64 proxy's)."""

import os
import re
import sys
from xml.sax.saxutils import quoteattr

CLASSES = "Software\\Classes\\"
WOW64 = CLASSES + "Wow6432Node\\"


def unescape(text):
    """A quoted string of Wine's registry files, without its quotes."""
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n == "x":
                digits = re.match(r"[0-9a-fA-F]{1,4}", text[i + 2:]).group(0)
                out.append(chr(int(digits, 16)))
                i += 2 + len(digits)
                continue
            out.append({"n": "\n", "r": "\r", "t": "\t", "0": "\0"}.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


def read_hive(path):
    """{key: {value name ("" for the default): (type, data)}}: every key of
    a Wine registry file, timestamps and class names left out."""
    keys, current = {}, None
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        lines = f.read().split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        # Binary data goes on over lines that end in a backslash.
        while line.endswith("\\") and "=hex" in line and i + 1 < len(lines):
            i += 1
            line = line[:-1] + lines[i].lstrip()
        i += 1
        if line.startswith("["):
            name = line[1:line.rindex("]")]
            current = keys.setdefault(name.replace("\\\\", "\\"), {})
        elif current is not None and (line.startswith("@=") or line.startswith('"')):
            if line.startswith("@="):
                name, rest = "", line[2:]
            else:
                end = re.match(r'"((?:[^"\\]|\\.)*)"=', line)
                name, rest = unescape(end.group(1)), line[end.end():]
            if rest.startswith('"'):
                current[name] = ("string", unescape(rest[1:-1]))
            elif rest.startswith("str(2):\""):
                current[name] = ("expandable", unescape(rest[8:-1]))
            elif rest.startswith("dword:"):
                current[name] = ("integer", str(int(rest[6:], 16)))
            else:
                current[name] = ("unsupported", rest)
    return keys


def view_of(key):
    """(view, key under HKEY_CLASSES_ROOT) of a key of the machine hive, or
    None for a key elsewhere."""
    if key.startswith(WOW64):
        return "32", key[len(WOW64):]
    if key.startswith(CLASSES):
        return "64", key[len(CLASSES):]
    return None


def every_key(hive):
    """The keys of a hive with all their parents (a file lists a key that
    holds only subkeys not at all)."""
    keys = set()
    for key in hive:
        parts = key.split("\\")
        keys.update("\\".join(parts[:n]) for n in range(1, len(parts) + 1))
    return keys


def added(before, after):
    """What a step wrote under HKEY_CLASSES_ROOT: [(view, key, name, type,
    data)] and the topmost keys it created, [(view, key)]."""
    new = every_key(after) - every_key(before)
    created = sorted(view_of(key) for key in new
                     if view_of(key) is not None and key.rsplit("\\", 1)[0] not in new)
    values = []
    for key in sorted(after):
        where = view_of(key)
        if where is None:
            continue
        old = before.get(key)
        for name, (kind, data) in sorted(after[key].items()):
            if old is None or old.get(name) != (kind, data):
                values.append(where + (name, kind, data))
    return values, created


def formatted(text, kind):
    """A literal value as the Registry table holds it, which Windows
    Installer reads as formatted text ("#" starts a number, so a string that
    starts with one doubles it)."""
    text = re.sub(r"[\[\]]", lambda m: "[\\%s]" % m.group(0), text)
    return "#" + text if kind == "string" and text.startswith("#") else text


def main(argv):
    hives, out = argv[1], argv[2]
    os.makedirs(out, exist_ok=True)
    rows, sql, text = 0, [], []
    for spec in argv[3:]:
        component, step_spec = spec.split("=", 1)
        step, view, file_id, path = step_spec.split(":", 3)
        source_view = ""
        if re.search(r":(32|64)$", path):
            path, source_view = path.rsplit(":", 1)
        before = read_hive(os.path.join(hives, "before-%s.reg" % step))
        after = read_hive(os.path.join(hives, "%s.reg" % step))
        values, created = added(before, after)
        if source_view:
            values = [(view if v == source_view else v, *rest) for v, *rest in values]
            created = [(view if v == source_view else v, k) for v, k in created]
        wrong = [(v, k) for v, k, *_ in values if v != view]
        if wrong or not values:
            sys.exit("registry_table: %s wrote %s" % (
                step, "nothing under HKEY_CLASSES_ROOT" if not values else
                "into the %s-bit view, not the %s-bit one: %s" % (wrong[0][0], view, wrong[0][1])))
        elements = []
        for _, key, name, kind, data in values:
            if kind == "unsupported":
                sys.exit("registry_table: %s wrote %s\\%s of a type the table is not written "
                         "for: %s" % (step, key, name, data))
            if data.lower() == path.lower():
                value = "[#%s]" % file_id
            elif re.search(r"^[a-zA-Z]:\\", data):
                sys.exit("registry_table: %s wrote a path that is not its file's: %s\\%s = %s"
                         % (step, key, name, data))
            else:
                value = formatted(data, kind)
            elements.append("  <RegistryValue Root=\"HKCR\" Key=%s%s Type=\"%s\" Value=%s/>" % (
                quoteattr(key), " Name=%s" % quoteattr(name) if name else "", kind,
                quoteattr(value)))
            # As the Registry table holds it: its own prefixes for numbers
            # and expandable strings.
            text.append("%s\t%s\t%s\t%s\t%s" % (view, key, name, kind, {
                "integer": "#", "expandable": "#%"}.get(kind, "") + value))
        with open(os.path.join(out, component + ".wxi"), "w", encoding="utf-8") as f:
            f.write("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                    "<!-- Generated by packaging/registry-table from what %s writes. -->\n"
                    "<Include>\n%s\n</Include>\n" % (step, "\n".join(elements)))
        for n, (_, key) in enumerate(created):
            sql.append("INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Component_`) "
                       "VALUES ('key%s%d', 0, '%s', '*', '%s')" % (component, n,
                                                                  key.replace("'", "''"),
                                                                  component))
            text.append("%s\t%s\t*\tkey\t" % (view, key))
        rows += len(values)
    with open(os.path.join(out, "keys.sql"), "w", encoding="utf-8") as f:
        f.write("\n".join(sql) + "\n")
    with open(os.path.join(out, "registry.txt"), "w", encoding="utf-8") as f:
        f.write("\n".join(text) + "\n")
    print("%d values and %d keys in %s" % (rows, len(sql), out))


if __name__ == "__main__":
    main(sys.argv)
