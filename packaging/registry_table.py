#!/usr/bin/env python3
"""The package's registry table, read from what the binaries write.

packaging/registry-table runs each binary's own registration in a scratch
Wine prefix, each file where the package installs it (the x64 proxy's
DllRegisterServer, the x86 proxy's through the 32-bit regsvr32, then
`stibridge.exe /RegServer`), and saves the machine and the user hive
(system.reg, user.reg) before and after each step. This script reads those
hives and writes, for each component of the package, the keys and values
that its binary's step added to HKEY_CLASSES_ROOT, in the registry view it
wrote them to:

  <out>/<Component>.wxi   RegistryValue elements, included by stibridge.wxs
  <out>/keys.sql          one Registry row per key the step created, named
                          "*": created on install, removed with everything
                          under it on removal, as the binary's own
                          unregistration removes it
  <out>/registry.txt      the same as text, for the package test

The registered file's path is written as [#FileId] (in quotes where the
binary quoted it), so the installed copy is named. The build stops, rather
than leave out what the binary did, when a step
  - wrote a value that names another path, or one of a type the table is
    not written for;
  - wrote outside HKEY_CLASSES_ROOT, or anything to HKEY_CURRENT_USER;
  - deleted a key or a value;
  - created or wrote a key other than CLSID\{...}, Interface\{...} or one
    of the server's ProgIDs.
What Wine writes outside HKEY_CLASSES_ROOT for any program, as the idle
step shows it (<hives>/idle.reg and idle.user.reg, with before-idle.reg and
before-idle.user.reg, when present), is Wine's and not the binary's.

  registry_table.py <hives> <out> <wxs> <Component>=<step>:<view>[:<registered>] ...

<hives>/<step>.reg and <step>.user.reg are the hives after the step,
before-<step>.reg and before-<step>.user.reg before it; view is 64 or 32.
Each component's file id and install path come from the package source
<wxs> (packaging/layout.py). With <registered>, the step registered that
other component's file in its own view, and its rows are taken into <view>
for this component's file (where no 32-bit program runs, the x86 proxy's
rows are made from the x64 proxy's)."""

import os
import re
import sys
from xml.sax.saxutils import quoteattr

import layout

CLASSES = "Software\\Classes\\"
# The server's ProgIDs, as its class entry names them.
PROGIDS = ["zemka.twain.CStiScannerComBridge", "zemka.twain.CStiScannerComBridge.1"]
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


def changes(before, after):
    """What a step did to a hive: the values it wrote under
    HKEY_CLASSES_ROOT, [(view, key, name, type, data)]; the topmost keys it
    created there, [(view, key)]; what it wrote elsewhere (keys it created,
    and values as key\\name); and what it deleted (likewise)."""
    def value(key, name):
        return "%s\\%s" % (key, name or "(default)")

    old_keys, new_keys = every_key(before), every_key(after)
    new = new_keys - old_keys
    created = sorted(view_of(key) for key in new
                     if view_of(key) is not None and key.rsplit("\\", 1)[0] not in new)
    values, outside = [], {key for key in new if view_of(key) is None}
    for key in sorted(after):
        where = view_of(key)
        old = before.get(key)
        for name, (kind, data) in sorted(after[key].items()):
            if old is None or old.get(name) != (kind, data):
                if where is None:
                    outside.add(value(key, name))
                else:
                    values.append(where + (name, kind, data))
    deleted = (old_keys - new_keys) | {value(key, name) for key in before for name in before[key]
                                       if key in after and name not in after[key]}
    return values, created, outside, deleted


def ours(key):
    """Whether a key under HKEY_CLASSES_ROOT is one a registration of the
    package may create or write in: a class or an interface key, or one of
    the server's ProgIDs (which only its unregistration names)."""
    return bool(re.match(r"(CLSID|Interface)\\\{[0-9A-Fa-f-]{36}\}(\\|$)", key)
                or re.match(r"(%s)(\\|$)" % "|".join(re.escape(p) for p in PROGIDS), key,
                            re.IGNORECASE))


def formatted(text, kind):
    """A literal value as the Registry table holds it, which Windows
    Installer reads as formatted text ("#" starts a number, so a string that
    starts with one doubles it)."""
    text = re.sub(r"[\[\]]", lambda m: "[\\%s]" % m.group(0), text)
    return "#" + text if kind == "string" and text.startswith("#") else text


def hive_pair(hives, step, suffix):
    return (read_hive(os.path.join(hives, "before-%s%s" % (step, suffix))),
            read_hive(os.path.join(hives, step + suffix)))


def wine_bookkeeping(hives):
    """What Wine itself writes outside HKEY_CLASSES_ROOT for any program
    (each start of a prefix's wineserver stamps its display adapter's key),
    as registry-table's idle step (a program that does nothing) shows it:
    {hive: set of keys and values}. Nothing when there is no idle step."""
    found = {"machine": set(), "user": set()}
    if os.path.exists(os.path.join(hives, "idle.reg")):
        for hive, suffix in [("machine", ".reg"), ("user", ".user.reg")]:
            values, created, outside, deleted = changes(*hive_pair(hives, "idle", suffix))
            found[hive] = outside | deleted
    return found


def refused(step, what, where):
    sys.exit("registry_table: %s %s: %s (the package writes only what a registration "
             "of its own files may write)" % (step, what, where))


def main(argv):
    hives, out, wxs = argv[1], argv[2], argv[3]
    os.makedirs(out, exist_ok=True)
    placed = {component: (file_id, bits, path)
              for component, file_id, bits, path, _ in layout.files(wxs)}
    idle = wine_bookkeeping(hives)
    rows, sql, text = 0, [], []
    for spec in argv[4:]:
        component, step_spec = spec.split("=", 1)
        step, view, *registered = step_spec.split(":")
        # The file the step registered: this component's, or (where the
        # rows are made from another bitness's) the one named.
        registered = registered[0] if registered else component
        for name in (component, registered):
            if name not in placed:
                sys.exit("registry_table: %s has no file in %s" % (name, wxs))
        file_id, path = placed[component][0], placed[registered][2]
        source_view = placed[registered][1] if registered != component else ""
        values, created, outside, deleted = changes(*hive_pair(hives, step, ".reg"))
        user_values, user_created, user_outside, user_deleted = changes(
            *hive_pair(hives, step, ".user.reg"))
        user = sorted({CLASSES + key for _, key, *_ in user_values + user_created}
                      | user_outside - idle["user"] | user_deleted - idle["user"])
        if user:
            refused(step, "wrote to HKEY_CURRENT_USER", "HKCU\\" + user[0])
        if outside - idle["machine"]:
            refused(step, "wrote outside HKEY_CLASSES_ROOT",
                    "HKLM\\" + sorted(outside - idle["machine"])[0])
        if deleted - idle["machine"]:
            refused(step, "deleted", "HKLM\\" + sorted(deleted - idle["machine"])[0])
        strays = [key for _, key in created if not ours(key)] + \
            [key for _, key, *_ in values if not ours(key)]
        if strays:
            refused(step, "wrote a key that is not its class's, its interface's or a ProgID "
                    "of the server", "HKCR\\" + strays[0])
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
            # The file's path as it was written: plain, or in quotes (a
            # server's LocalServer32 with a space in its path).
            if data.lower() == path.lower():
                value = "[#%s]" % file_id
            elif data.lower() == '"%s"' % path.lower():
                value = '"[#%s]"' % file_id
            elif re.search(r'(^|")[a-zA-Z]:\\', data):
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
