#!/usr/bin/env python3
"""The installer package under Wine: what the package holds and the version
every binary carries, then one case per fresh prefix (each a copy of one
prefix made new for the run, in which the user's settings were planted):

  install    install, registration as the programs write it, a 64-bit and a
             32-bit client against the installed server, the installed data
             sources loaded by TWAIN applications of their bitness, removal,
             a removal that fails and is rolled back, an install that fails
             and leaves no files;
  upgrade    the project's version, then a newer one over it (built by
             packaging/build-msi --version), then removal of the newer one;
  failed-upgrade
             the project's version, then a newer one over it whose install
             fails: the old one is left installed and serving where the
             installer rolls its removal back (Windows), and neither is left
             half-installed where it does not (Wine 8); the newer one then
             installs;
  repair     a deleted proxy, its registration and a deleted data source
             put back by a repair;
  downgrade  the project's version over the newer one: refused.

Each case is judged by both registry views, the program folders, the file
versions of the installed files, the Add/Remove Programs entry and a 32-bit
client served by the installed server; the user's settings under
HKEY_CURRENT_USER must come out of every case as they went in.

Prints one line per check, "ok <name>" or "FAIL <name>: <detail>", and
"note ..." lines where Wine's msiexec does not do what Windows does."""

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import time

# The helpers imported leave no bytecode cache in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import harness  # noqa: E402
from harness import check, note  # noqa: E402
from winetools import RUNS_32BIT, WINE, ServicesKeeper, Wine, skip_32bit  # noqa: E402
from bridge import CLASS_KEY, CLSID, INTERFACE_KEY  # noqa: E402


FOLDER64 = "C:\\Program Files\\stibridge"
FOLDER32 = "C:\\Program Files (x86)\\stibridge"
# Where TWAIN managers look for the data sources of each bitness: the
# package's own folder in each.
TWAIN_FOLDERS = {"32": "C:\\windows\\twain_32\\stibridge",
                 "64": "C:\\windows\\twain_64\\stibridge"}
# Each file of the package: its artefact's name in `artefacts`, and where
# it is installed.
PACKAGED = [("server", FOLDER64 + "\\stibridge.exe"), ("proxy64", FOLDER64 + "\\stibridgeps.dll"),
            ("proxy32", FOLDER32 + "\\stibridgeps.dll"),
            ("twain32", TWAIN_FOLDERS["32"] + "\\stibridge.ds"),
            ("twain64", TWAIN_FOLDERS["64"] + "\\stibridge.ds")]
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
DOWNGRADE_MESSAGE = "A newer version of stibridge is already installed."
# msiexec's exit code for a failed install, as Unix keeps it (its low byte).
INSTALL_FAILURE = 1603 & 0xFF

# The user's settings as the default scenario's "Lab MFP" keeps them (its
# UserDataKey): a job-name prefix, the delete-after-scan option and a PIN.
# Nothing the package does may touch them.
USER_KEY = "HKCU\\Software\\Tarvo\\Scan\\Lab"
USER_VALUES = [("ann_LAB", "REG_SZ", "ann_LAB"), ("ann_DeleteImageOnScan", "REG_DWORD", "1"),
               ("TrvUserPIN", "REG_SZ", "4711")]

# The Windows versions both manifests declare (7, 8, 8.1, 10 and 11).
SUPPORTED_OS = ["{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]

# Custom action type bits: the two kinds that run nothing, and where an
# action runs.
SET_PROPERTY = 51
SET_DIRECTORY = 35
IN_SCRIPT = 0x400
NO_IMPERSONATE = 0x800
# The actions that write the install script, by which the old product's
# removal must have run.
SCRIPTED = ["ProcessComponents", "UnpublishFeatures", "RemoveRegistryValues", "RemoveFiles",
            "InstallFiles", "WriteRegistryValues", "RegisterProduct", "PublishFeatures",
            "PublishProduct"]
# msidbComponentAttributes64bit: the component writes the 64-bit view.
COMPONENT_64BIT = 0x100
# msidbUpgradeAttributesOnlyDetect and ...VersionMaxInclusive.
ONLY_DETECT = 0x2
MAX_INCLUSIVE = 0x200


def msi_table(package, table):
    """Rows of one table of the package as dicts; [] when the table is absent."""
    out = subprocess.run(["msiinfo", "export", package, table], capture_output=True, text=True)
    lines = out.stdout.splitlines()
    if out.returncode != 0 or len(lines) < 3:
        return []
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:]]


def package_contents(package, registry):
    """What the package holds, read from its tables: its files and folders,
    its registry table (what the binaries' own registration writes, as
    packaging/registry-table read it: `registry`), and the rules a package
    that writes its registration as data keeps: no self-registration or COM
    tables, no custom action that runs a program (only property and folder
    settings), a key path in every component, and each registry row in a
    component of its view's bitness."""
    files = {(row["File"], row["Component_"], row["FileName"])
             for row in msi_table(package, "File")}
    components = {row["Component"]: row for row in msi_table(package, "Component")}
    folders = {name: row["Directory_"] for name, row in components.items()}
    expected = {("ServerExe", "Server", "stibridge.exe"),
                ("Proxy64Dll", "Proxy64", "stibridgeps.dll"),
                ("Proxy32Dll", "Proxy32", "stibridgeps.dll"),
                ("Twain32Ds", "Twain32", "stibridge.ds"), ("Twain64Ds", "Twain64", "stibridge.ds")}
    check(files == expected, "msi-holds-server-proxies-and-data-sources-only", sorted(files))
    check(folders.get("Server") == folders.get("Proxy64") != folders.get("Proxy32"),
          "msi-proxies-in-separate-folders", folders)
    # Each data source in a folder of its own in the Windows folder's
    # twain_32 or twain_64, in a component of that bitness.
    directories = {row["Directory"]: (row["Directory_Parent"], row["DefaultDir"])
                   for row in msi_table(package, "Directory")}

    def chain(directory):
        """[the standard folder's id, then each folder's name] down to it."""
        parent, name = directories.get(directory, ("TARGETDIR", ""))
        return [directory] if parent == "TARGETDIR" else chain(parent) + [name]

    placed = {name: (chain(folders.get(name, "")),
                     bool(int(components.get(name, {}).get("Attributes") or 0) & COMPONENT_64BIT))
              for name in ("Twain32", "Twain64")}
    check(placed == {"Twain32": (["WindowsFolder", "twain_32", "stibridge"], False),
                     "Twain64": (["WindowsFolder", "twain_64", "stibridge"], True)},
          "msi-data-sources-where-twain-managers-look", placed)

    other = {table: len(msi_table(package, table))
             for table in ["RemoveRegistry", "Class", "ProgId", "TypeLib", "SelfReg", "AppId",
                           "Extension"]}
    check(not any(other.values()), "msi-no-self-registration-or-com-tables", other)
    running = ["%s type 0x%x" % (row["Action"], int(row["Type"]))
               for row in msi_table(package, "CustomAction")
               if int(row["Type"]) & 0x3F not in (SET_PROPERTY, SET_DIRECTORY)]
    check(not running, "msi-runs-no-program", running)
    check(components and all(row["KeyPath"] for row in components.values()),
          "msi-every-component-has-a-key-path",
          [name for name, row in components.items() if not row["KeyPath"]])

    with open(os.path.join(registry, "registry.txt"), encoding="utf-8") as f:
        wanted = sorted(tuple(line.split("\t")[:3] + [line.split("\t")[4]])
                        for line in f.read().splitlines() if line)
    rows = msi_table(package, "Registry")
    files_of = {"Server": "[#ServerExe]", "Proxy64": "[#Proxy64Dll]", "Proxy32": "[#Proxy32Dll]"}
    bitness = {name: "64" if int(row["Attributes"] or 0) & COMPONENT_64BIT else "32"
               for name, row in components.items()}
    written = sorted((bitness.get(row["Component_"], "?"), row["Key"], row["Name"],
                      row["Value"]) for row in rows)
    check(written == wanted and all(row["Root"] == "0" for row in rows),
          "msi-registry-table-is-what-the-binaries-write",
          "package %s; binaries %s" % (written[:6], wanted[:6]))
    strays = [row["Key"] for row in rows if row["Value"].startswith("[#")
              and row["Value"] != files_of.get(row["Component_"])]
    check(not strays, "msi-registry-paths-name-their-components-file", strays)


def hive(keys):
    """A Wine registry file of the given {key: {name: data}} (strings only)."""
    def quoted(text):
        return text.replace("\\", "\\\\").replace('"', '\\"')
    lines = ["WINE REGISTRY Version 2", ""]
    for key, values in keys.items():
        lines.append("[%s] 1700000000" % key.replace("\\", "\\\\"))
        lines += ['%s="%s"' % ("@" if not name else '"%s"' % quoted(name), quoted(data))
                  for name, data in values.items()]
        lines.append("")
    return "\n".join(lines)


# The server's class key in the machine hive, and what /RegServer writes
# there when installed.
SERVER_KEY = "Software\\Classes\\CLSID\\" + CLSID
INSTALLED_VALUE = '"%s\\stibridge.exe"' % FOLDER64
BEFORE = {"Software\\Classes\\CLSID\\{00000000-0000-0000-0000-00000000000A}": {"": "x"},
          "Software\\Tarvo": {"kept": "1"}}
# What a registration step did besides writing the server's LocalServer32
# as the installed server does (a row may write that value otherwise; None
# deletes a key), and what the generator makes of it: the phrase it stops
# with, or (None) the value the LocalServer32 row gets.
LOCAL_SERVER = SERVER_KEY + "\\LocalServer32"
GENERATOR_ROWS = [
    ("quoted-path", {}, {}, None, '"[#ServerExe]"'),
    ("plain-path", {LOCAL_SERVER: {"": INSTALLED_VALUE.strip('"')}}, {}, None, "[#ServerExe]"),
    ("progid", {"Software\\Classes\\zemka.twain.CStiScannerComBridge\\CLSID": {"": "{x}"}}, {},
     None, '"[#ServerExe]"'),
    ("other-path", {LOCAL_SERVER: {"": '"C:\\Program Files\\x\\x.exe"'}}, {},
     "a path that is not its file's", None),
    ("outside-classes", {"Software\\Tarvo\\Scan": {"": "x"}}, {},
     "wrote outside HKEY_CLASSES_ROOT", None),
    ("changed-outside-classes", {"Software\\Tarvo": {"kept": "2"}}, {},
     "wrote outside HKEY_CLASSES_ROOT", None),
    ("current-user", {}, {"Software\\Tarvo\\Scan\\Lab": {"ann_LAB": "x"}},
     "wrote to HKEY_CURRENT_USER", None),
    ("deletion", {"Software\\Classes\\CLSID\\{00000000-0000-0000-0000-00000000000A}": None}, {},
     "deleted", None),
    ("other-top-key", {"Software\\Classes\\AppID\\{00000000-0000-0000-0000-00000000000B}":
                       {"": "x"}}, {}, "not its class's, its interface's or a ProgID", None),
    ("file-type", {"Software\\Classes\\.tif": {"": "x"}}, {},
     "not its class's, its interface's or a ProgID", None),
    ("into-existing-class", {"Software\\Classes\\CLSID": {"x": "y"}}, {},
     "not its class's, its interface's or a ProgID", None),
]


def generator_rows(root, scratch):
    """The registry table's generator on hives made here, one row per kind
    of step: it takes the server's path, quoted or not, and a ProgID, and
    stops (exit not 0, naming what) at anything a registration of the
    package must not do. Costs well under a second."""
    for name, machine, user, refusal, value in GENERATOR_ROWS:
        hives = os.path.join(scratch, name)
        shutil.rmtree(hives, ignore_errors=True)
        os.makedirs(hives)
        after = dict(BEFORE, **{LOCAL_SERVER: {"": INSTALLED_VALUE}})
        for key, values in machine.items():
            if values is None:
                del after[key]
            else:
                after[key] = values
        for file, keys in [("before-server.reg", BEFORE), ("server.reg", after),
                           ("before-server.user.reg", {}), ("server.user.reg", user)]:
            with open(os.path.join(hives, file), "w", encoding="utf-8") as f:
                f.write(hive(keys))
        made = subprocess.run(["python3", os.path.join(root, "packaging", "registry_table.py"),
                               hives, os.path.join(hives, "out"),
                               os.path.join(root, "packaging", "stibridge.wxs"),
                               "Server=server:64"], capture_output=True, text=True)
        said = made.stdout + made.stderr
        if refusal:
            check(made.returncode != 0 and refusal in said,
                  "msi-registry-table-refuses-" + name, said[-300:])
            continue
        try:
            with open(os.path.join(hives, "out", "registry.txt"), encoding="utf-8") as f:
                rows = f.read()
        except OSError:
            rows = ""
        check(made.returncode == 0 and "\tstring\t%s\n" % value in rows,
              "msi-registry-table-takes-" + name, said[-300:] + rows)


def generator_key(root, registry, artefacts):
    """The table is made again when anything it depends on changes: its
    key names the three binaries, the generator's scripts, every file's id
    and place, and Wine's version, as they are now."""
    with open(os.path.join(registry, "inputs"), encoding="utf-8") as f:
        key = f.read()
    places = subprocess.run(["python3", os.path.join(root, "packaging", "layout.py"), "place",
                             os.path.join(root, "packaging", "stibridge.wxs")],
                            capture_output=True, text=True).stdout
    wine = subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout.strip()
    wanted = [digest(path) for path in [artefacts["server"], artefacts["proxy64"],
                                        artefacts["proxy32"]]]
    wanted += [digest(os.path.join(root, "packaging", script))
               for script in ["registry-table", "registry_table.py", "layout.py"]]
    wanted += [line for line in places.splitlines() if line] + ["wine " + wine]
    missing = [item for item in wanted if item not in key]
    check(places and wine and not missing, "msi-registry-table-key-covers-its-inputs",
          "missing %s from %r" % (missing, key[-500:]))


def package_version(package, version, name, tree_package=None):
    """The package's version, publisher and name as Add/Remove Programs shows
    them, the major upgrade's two detections around its own version, the
    downgrade refusal with its message, and where the old product's removal
    runs: after InstallValidate, before this package's install script."""
    properties = {row["Property"]: row["Value"] for row in msi_table(package, "Property")}
    check(properties.get("ProductVersion") == version
          and properties.get("ProductName") == "stibridge"
          and properties.get("Manufacturer") == "stibridge",
          name + "-product-version-and-publisher", str(properties))
    # One product per upgrade code: an older product, or a rebuild of this
    # version, is removed; a newer one is only detected (and refused).
    rows = msi_table(package, "Upgrade")
    upgrade = {row["ActionProperty"]: row for row in rows}
    older = upgrade.get("WIX_UPGRADE_DETECTED", {})
    newer = upgrade.get("WIX_DOWNGRADE_DETECTED", {})
    older_kind, newer_kind = int(older.get("Attributes", 2)), int(newer.get("Attributes", 0))
    check(len(rows) == 2 and older.get("VersionMax") == version and not older.get("VersionMin")
          and not older_kind & ONLY_DETECT and older_kind & MAX_INCLUSIVE
          and newer.get("VersionMin") == version and newer_kind & ONLY_DETECT
          and not newer_kind & 0x100,
          name + "-upgrade-removes-older-and-same-detects-newer", str(upgrade))
    conditions = {row["Condition"]: row["Description"] for row in msi_table(package,
                                                                            "LaunchCondition")}
    check(conditions.get("NOT WIX_DOWNGRADE_DETECTED") == DOWNGRADE_MESSAGE,
          name + "-downgrade-refused-with-message", str(conditions))
    # The old product is removed inside this one's transaction, before any
    # action that writes its install script: a failure rolls the removal
    # back (on Windows), and no key of the old version outlives the upgrade.
    sequence = {row["Action"]: int(row["Sequence"])
                for row in msi_table(package, "InstallExecuteSequence")}
    scripted = [sequence[action] for action in SCRIPTED if action in sequence]
    check(sequence.get("InstallInitialize", 0) < sequence.get("RemoveExistingProducts", 0)
          < min(scripted, default=0), name + "-old-product-removed-inside-install-transaction",
          str(sequence))
    # Each binary carries its version and language in the File table, and a
    # versioned file has no hash: Windows Installer then replaces an installed
    # file by its version.
    files = {row["File"]: (row["Version"], row["Language"]) for row in msi_table(package, "File")}
    hashed = [row["File_"] for row in msi_table(package, "MsiFileHash") if row["File_"] in files]
    check(len(files) == len(PACKAGED)
          and all(found == (version + ".0", "1033") for found in files.values())
          and not hashed, name + "-file-versions-and-no-hashes",
          "files %s, hashed %s" % (files, hashed))
    if tree_package:
        tree = {row["Property"]: row["Value"] for row in msi_table(tree_package, "Property")}
        check(tree.get("UpgradeCode") == properties.get("UpgradeCode")
              and tree.get("ProductCode") != properties.get("ProductCode"),
              name + "-same-upgrade-code-new-product-code",
              "%s %s" % (tree.get("ProductCode"), properties.get("ProductCode")))


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Installed:
    """The prefix as the package leaves it."""

    def __init__(self, wine, reader):
        self.wine = wine
        self.reader = reader  # the 64-bit bridge_client, which reads version resources
        drive = os.path.join(wine.prefix, "drive_c")
        self.folder64 = os.path.join(drive, "Program Files", "stibridge")
        self.folder32 = os.path.join(drive, "Program Files (x86)", "stibridge")
        self.twain = {bits: self.unix(folder) for bits, folder in TWAIN_FOLDERS.items()}
        self.folders = [self.folder64, self.folder32] + sorted(self.twain.values())

    def unix(self, windows):
        """The prefix's file of a path on its drive C:."""
        return os.path.join(self.wine.prefix, "drive_c", *windows[3:].split("\\"))

    def files(self):
        """{unix path: sha256} of everything in both program folders and in
        the data sources' folders."""
        found = {}
        for folder in self.folders:
            if os.path.isdir(folder):
                for name in os.listdir(folder):
                    found[os.path.join(folder, name)] = digest(os.path.join(folder, name))
        return found

    def reg(self, view, *args):
        return self.wine.run("reg", *args, "/reg:" + view)

    def exists(self, view, key):
        return self.reg(view, "query", key).returncode == 0

    def default_value(self, view, key):
        out = self.reg(view, "query", key, "/ve")
        for line in out.stdout.splitlines():
            if "REG_SZ" in line:
                return line.split("REG_SZ", 1)[1].strip()
        return None

    def tree(self, view, key):
        """(subkeys, value lines) under a key, as reg query /s lists them."""
        out = self.reg(view, "query", key, "/s")
        lines = [line.strip() for line in out.stdout.splitlines() if line.strip()]
        keys = [line for line in lines if line.upper().startswith("HKEY_")]
        values = [line for line in lines if "REG_" in line]
        return keys, values

    def versions(self, paths):
        """What the platform's version reader finds in each Windows path:
        [{field: value}] in the order given."""
        out = self.wine.run(self.reader, "versions", *paths).stdout
        found = [{} for _ in paths]
        for line in out.splitlines():
            fields = line.rstrip("\r").split("\t", 2)
            if len(fields) == 3 and fields[0].isdigit() and int(fields[0]) < len(paths):
                found[int(fields[0])][fields[1]] = fields[2]
        return found

    def products(self):
        """{view: [{value: data}]} of the Add/Remove Programs entries named
        stibridge."""
        entries = {}
        for view in ["64", "32"]:
            entries[view], entry = [], None
            for line in self.reg(view, "query", UNINSTALL_KEY, "/s").stdout.splitlines():
                line = line.strip()
                if line.upper().startswith("HKEY_"):
                    entry = {}
                    entries[view].append(entry)
                elif entry is not None and "    " in line:
                    parts = line.split(None, 2)
                    if len(parts) >= 2:
                        entry[parts[0]] = parts[2] if len(parts) == 3 else ""
            entries[view] = [e for e in entries[view] if e.get("DisplayName") == "stibridge"]
        return entries

    def user_settings(self):
        """The value lines of the user's key, as each view lists them."""
        return {view: sorted(line.strip() for line in
                             self.reg(view, "query", USER_KEY).stdout.splitlines()
                             if "REG_" in line)
                for view in ["64", "32"]}

    def proxy_keys(self):
        """Every key a proxy writes, per view: its interface key and its
        proxy/stub class key (the class read from the interface key)."""
        keys = []
        for view in ["64", "32"]:
            keys.append((view, INTERFACE_KEY))
            clsid = self.default_value(view, INTERFACE_KEY + "\\ProxyStubClsid32")
            if clsid:
                keys.append((view, "HKCR\\CLSID\\" + clsid))
        return keys


def msiexec(wine, logs, name, *args):
    """Runs msiexec with a verbose log in the build folder; returns its exit
    code (Unix keeps the low byte of a Windows one) and how long it took."""
    log = wine.windows_path(os.path.join(logs, name + ".log"))
    started = time.monotonic()
    result = wine.run("msiexec", *args, "/qn", "/l*v", log, timeout=300)
    return result.returncode, time.monotonic() - started


def check_installed(state, artefacts, name, version, programs_entry=True):
    """The package's files in their folders, byte for byte the build's (an
    x86 proxy in the 64-bit folder would have the same name, and so would
    the data sources) and of the package's version, the server and both
    proxies registered as they register themselves, and one Add/Remove
    Programs entry of that version."""
    wine = state.wine
    expected = {state.unix(path): digest(artefacts[artefact]) for artefact, path in PACKAGED}
    found = state.files()
    check(found == expected, name + "-files-in-their-folders",
          "found %s" % sorted(os.path.relpath(p, wine.prefix) for p in found))
    read = state.versions([path for _, path in PACKAGED])
    check(all(r.get("fixed-file") == version + ".0" and r.get("ProductVersion") == version
              for r in read), name + "-file-versions-" + version, str(read))

    # In quotes: COM starts the server from this value as a command line,
    # which would try "C:\Program.exe" first for the unquoted path.
    value = state.default_value("64", CLASS_KEY + "\\LocalServer32")
    check(value is not None and value.lower() == ('"%s\\stibridge.exe"' % FOLDER64).lower(),
          name + "-localserver32-installed-server-quoted", repr(value))

    for view, folder in [("64", FOLDER64), ("32", FOLDER32)]:
        clsid = state.default_value(view, INTERFACE_KEY + "\\ProxyStubClsid32")
        inproc = state.default_value(view, "HKCR\\CLSID\\%s\\InprocServer32" % clsid) \
            if clsid else None
        check(inproc is not None
              and inproc.strip('"').lower() == (folder + "\\stibridgeps.dll").lower(),
              "%s-proxy-registered-in-%s-bit-view" % (name, view), "%s -> %r" % (clsid, inproc))

    if not programs_entry:
        return
    products = state.products()
    entry = products["64"][0] if len(products["64"]) == 1 else {}
    check(len(products["64"]) == 1 and not products["32"]
          and entry.get("DisplayVersion") == version and entry.get("Publisher") == "stibridge"
          and entry.get("InstallLocation", "").rstrip("\\").lower() == FOLDER64.lower(),
          name + "-one-programs-entry", str(products))


def check_gone(state, keys, name):
    check(not state.files() and not any(os.path.exists(folder) for folder in state.folders),
          name + "-no-files-left",
          sorted(state.files()) or [folder for folder in state.folders if os.path.exists(folder)])
    left = [view + ":" + key for view, key in [("64", CLASS_KEY), ("32", CLASS_KEY)] + keys
            if state.exists(view, key)]
    check(not left, name + "-no-registrations-left", left)
    products = state.products()
    check(not products["64"] and not products["32"], name + "-no-programs-entry", str(products))


def install(wine, package, logs, artefacts, version, reader):
    state = Installed(wine, reader)
    code, seconds = msiexec(wine, logs, "install", "/i", wine.windows_path(package))
    print("install took %.1f s" % seconds, flush=True)
    check(code == 0, "msi-install-exit-code", "%s (see %s/install.log)" % (code, logs))
    check_installed(state, artefacts, "msi-install", version)

    # Exactly what /RegServer writes: the class key holds LocalServer32 and
    # its one value, nothing of the package's own, and nothing in the 32-bit
    # view.
    keys, values = state.tree("64", CLASS_KEY)
    check(len(keys) == 1 and keys[0].upper().endswith("\\LOCALSERVER32") and len(values) == 1,
          "msi-class-key-only-as-regserver-writes", "; ".join(keys + values))
    check(not state.exists("32", CLASS_KEY), "msi-class-key-not-in-32-bit-view")
    return state


def registration(state):
    """{view: [lines]}: every key and value of the server's class, the
    interface and its proxy/stub class in each view, as reg query /s lists
    them."""
    found = {}
    for view in ["64", "32"]:
        lines = []
        keys = [(view, CLASS_KEY)] + [k for k in state.proxy_keys() if k[0] == view]
        for _, key in keys:
            lines += [line.strip() for line in state.reg(view, "query", key, "/s").stdout
                      .splitlines() if line.strip()]
        found[view] = sorted(lines)
    return found


def by_hand(template, ctx):
    """What the binaries write registered by hand where the package puts
    them (both proxies through the regsvr32 of their bitness, then
    /RegServer) in a fresh copy of the template prefix."""
    wine = Wine(template.prefix + "-by-hand")
    wine.stop()
    shutil.rmtree(wine.prefix, ignore_errors=True)
    subprocess.run(["cp", "-a", template.prefix, wine.prefix], check=True)
    state = Installed(wine, ctx["reader"])
    placed = {}
    for name, folder, base in [("server", state.folder64, "stibridge.exe"),
                               ("proxy64", state.folder64, "stibridgeps.dll"),
                               ("proxy32", state.folder32, "stibridgeps.dll")]:
        os.makedirs(folder, exist_ok=True)
        shutil.copyfile(ctx["artefacts"][name], os.path.join(folder, base))
        placed[name] = wine.windows_path(os.path.join(folder, base))
    try:
        wine.run("regsvr32", "/s", placed["proxy64"])
        if RUNS_32BIT:
            wine.run("C:\\windows\\syswow64\\regsvr32.exe", "/s", placed["proxy32"])
        wine.run(placed["server"], "/RegServer")
        return registration(state)
    finally:
        wine.stop()
        shutil.rmtree(wine.prefix, ignore_errors=True)


def installed_server_serves(wine, bits, client, name="msi"):
    """A client of each bitness creates an object of the installed server
    through the installed proxies, reads its identity, and lets it go; the
    server then quits. The client's own check lines are passed on."""
    if bits == "32" and not RUNS_32BIT:
        skip_32bit("%s-client32 (the 32-bit client through the installed x86 proxy)" % name)
        return
    result = wine.run(client, "identity", timeout=120)
    for line in result.stdout.splitlines():
        if line.startswith("ok ") or line.startswith("FAIL "):
            check(line.startswith("ok "), "%s-client%s-%s" % (name, bits, line.split(" ", 1)[1]))
    check(result.returncode == 0, "%s-client%s-identity-exit-code" % (name, bits),
          str(result.returncode))
    check(wine.wait_for_no_process(5), "%s-client%s-server-quits" % (name, bits),
          str(wine.processes()))


def installed_sources_load(wine, applications, version):
    """A TWAIN application of each bitness loads the data source of its own
    bitness from where the package put it, as a manager that looks through
    that folder does, and the source says it is stibridge of the package's
    version. (Wine's own manager does not look there: it loads sane.ds and
    gphoto2.ds only.)"""
    for bits, application in applications:
        name = "msi-install-twain%s" % bits
        if bits == "32" and not RUNS_32BIT:
            skip_32bit(name + " (the 32-bit TWAIN application)")
            continue
        result = wine.run(application, "identify", TWAIN_FOLDERS[bits] + "\\stibridge.ds",
                          version, timeout=120)
        for line in result.stdout.splitlines():
            if line.startswith("ok ") or line.startswith("FAIL "):
                check(line.startswith("ok "), "%s-%s" % (name, line.split(" ", 1)[1]))
        check(result.returncode == 0 and "twain-installed-source-identity" in result.stdout,
              name + "-exit-code", "%s %r" % (result.returncode, result.stderr[-300:]))


def doctor_reads_registration(wine, ctx):
    """stiscan doctor finds the installed server through its quoted
    LocalServer32, and warns (but does not fail) when the same path is
    written without quotes, as /RegServer of earlier versions wrote it.
    Leaves the value unquoted: the removal that follows takes the key."""
    stiscan = ctx["stiscan32"] if RUNS_32BIT else ctx["stiscan64"]
    server = FOLDER64 + "\\stibridge.exe"
    for form, value, status in [("quoted", '"%s"' % server, "ok"),
                                ("unquoted", server, "warning")]:
        state = Installed(wine, ctx["reader"])
        state.reg("64", "add", CLASS_KEY + "\\LocalServer32", "/ve", "/d", value, "/f")
        result = wine.run(stiscan, "doctor", "--json", timeout=120)
        try:
            first = json.loads(result.stdout)["checks"][0]
        except (ValueError, KeyError, IndexError):
            first = {}
        check(first.get("id") == "registration" and first.get("status") == status
              and "names %s, a 64-bit program" % server in first.get("found", "")
              and (status == "ok" or "quotes" in first.get("remedy", "")),
              "msi-install-doctor-reads-%s-localserver32" % form,
              "exit %s: %s" % (result.returncode, result.stdout[-600:]))
        check(wine.wait_for_no_process(5), "msi-install-doctor-%s-server-quits" % form,
              str(wine.processes()))


def removal(wine, package, logs, state, keys):
    code, seconds = msiexec(wine, logs, "remove", "/x", wine.windows_path(package))
    print("removal took %.1f s" % seconds, flush=True)
    check(code == 0, "msi-remove-exit-code", "%s (see %s/remove.log)" % (code, logs))
    check_gone(state, keys, "msi-remove")


def failing_copy(package, build, name="stibridge-failing.msi"):
    """A copy of the package with two deferred actions that fail when asked
    to: FAILINSTALL=1 after the registry is written on install (just before
    InstallFinalize), FAILREMOVAL=1 after it is removed on removal (before
    the files go). Type 34, a command line run in a folder: cmd exits 1."""
    copy = os.path.join(build, name)
    shutil.copyfile(package, copy)
    kind = 0x22 | IN_SCRIPT | NO_IMPERSONATE
    queries = []
    for action, sequence, condition in [("FailInstall", 6500, "$Server=3 AND FAILINSTALL"),
                                        ("FailRemoval", 3400, "$Server=2 AND FAILREMOVAL")]:
        queries += ["INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES "
                    "('%s', %d, 'TARGETDIR', '\"[System64Folder]cmd.exe\" /c exit 1')"
                    % (action, kind),
                    "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) "
                    "VALUES ('%s', '%s', %d)" % (action, condition, sequence)]
    for query in queries:
        made = subprocess.run(["msibuild", copy, "-q", query], capture_output=True, text=True)
        if made.returncode != 0:
            check(False, "msi-failing-copy-built", made.stderr[-300:])
            return None
    return copy


def failed_removal(wine, copy, logs, artefacts, keys, version, reader):
    """A removal that fails after the registry was removed is rolled back:
    the server and both proxies are registered again, the files stay, and a
    later removal still works."""
    state = Installed(wine, reader)
    path = wine.windows_path(copy)
    code, _ = msiexec(wine, logs, "failing-copy-install", "/i", path)
    check(code == 0, "msi-failing-copy-installs", str(code))
    code, _ = msiexec(wine, logs, "remove-fails", "/x", path, "FAILREMOVAL=1")
    check(code != 0, "msi-failing-removal-reports-failure", str(code))
    # Wine's rollback of a removal puts back the files and the registry,
    # but not the product's own entry in Add/Remove Programs; what it left
    # is reported.
    check_installed(state, artefacts, "msi-failed-removal-rolled-back", version,
                    programs_entry=False)
    products = state.products()
    if len(products["64"]) != 1:
        note("after the rolled-back removal Wine leaves %d Add/Remove Programs entries"
             % len(products["64"]))
    code, _ = msiexec(wine, logs, "remove-after-failure", "/x", path)
    check(code == 0, "msi-remove-after-failed-removal", str(code))
    check_gone(state, keys, "msi-remove-after-failed-removal")


def failed_install(wine, copy, logs, reader, keys):
    """An install that fails after the registry was written leaves no files
    behind, no key in either view and no product that would need
    removing."""
    state = Installed(wine, reader)
    code, _ = msiexec(wine, logs, "install-fails", "/i", wine.windows_path(copy), "FAILINSTALL=1")
    check(code != 0, "msi-failing-install-reports-failure", str(code))
    check(not state.files(), "msi-failed-install-no-files-left", sorted(state.files()))
    left = [view + ":" + key for view, key in [("64", CLASS_KEY), ("32", CLASS_KEY)] + keys
            if state.exists(view, key)]
    check(not left, "msi-failed-install-no-key-left", left)
    code, _ = msiexec(wine, logs, "install-after-failure", "/i", wine.windows_path(copy))
    check(code == 0 and state.files(), "msi-install-after-failed-install", str(code))


def next_version(version):
    """The version of the package that the upgrade cases install over the
    project's: one build number up (or the next minor at the last build)."""
    major, minor, build = (int(field) for field in version.split("."))
    return "%d.%d.%d" % ((major, minor, build + 1) if build < 65535 else (major, minor + 1, 0))


def built_versions(state, builds, version, newer):
    """Every shipped binary of both builds, and the packaged ones of the newer
    build, carry their build's version in their version resources, read
    back by the platform's reader; both programs carry their manifests."""
    files = [(os.path.join(builds["win64"], "src", "stibridge.exe"), version, "app"),
             (os.path.join(builds["win64"], "proxy", "stibridgeps.dll"), version, "dll"),
             (os.path.join(builds["win32"], "proxy", "stibridgeps.dll"), version, "dll"),
             (os.path.join(builds["win64"], "tools", "stiscan", "stiscan.exe"), version, "app"),
             (os.path.join(builds["win32"], "tools", "stiscan", "stiscan.exe"), version, "app"),
             (os.path.join(builds["win64"], "twain", "stibridge.ds"), version, "dll"),
             (os.path.join(builds["win32"], "twain", "stibridge.ds"), version, "dll")]
    files += [(newer[name], next_version(version), "app" if name == "server" else "dll")
              for name, _ in PACKAGED]
    read = state.versions([state.wine.windows_path(path) for path, _, _ in files])
    for (path, wanted, kind), fields in zip(files, read):
        name = "msi-version-resource-" + os.path.relpath(path, os.path.dirname(builds["win64"]))
        base = os.path.basename(path)
        check(fields.get("fixed-file") == fields.get("fixed-product") == wanted + ".0"
              and fields.get("FileVersion") == fields.get("ProductVersion") == wanted
              and fields.get("OriginalFilename") == base
              and fields.get("InternalName") == os.path.splitext(base)[0]
              and fields.get("ProductName") == "stibridge" and fields.get("FileDescription")
              and fields.get("type") == kind, name.replace(os.sep, "/"), str(fields))
        if kind == "app":
            manifest = fields.get("manifest", "")
            stiscan = base == "stiscan.exe"
            check(all(guid in manifest for guid in SUPPORTED_OS)
                  and 'level="asInvoker"' in manifest
                  and ("<longPathAware" in manifest and ">true</longPathAware>" in manifest)
                  == stiscan, name.replace(os.sep, "/") + "-manifest", manifest[:300])


def plant_user_settings(wine):
    for value, kind, data in USER_VALUES:
        wine.run("reg", "add", USER_KEY, "/v", value, "/t", kind, "/d", data, "/f", "/reg:64")


def stale_markers(state, keys):
    """Marks every key the installed version's registration owns with a
    subkey that no registration writes: gone after an upgrade only if the
    old version's own unregistration removed those keys before the new one
    registered them again."""
    marked = [("64", CLASS_KEY)] + keys
    for view, key in marked:
        state.reg(view, "add", key + "\\StaleMarker", "/f")
    return [(view, key + "\\StaleMarker") for view, key in marked]


def upgrade(wine, ctx):
    state = Installed(wine, ctx["reader"])
    code, _ = msiexec(wine, ctx["logs"], "upgrade-older", "/i", wine.windows_path(ctx["package"]))
    check(code == 0, "msi-upgrade-older-installs", str(code))
    keys = state.proxy_keys()
    markers = stale_markers(state, keys)
    code, seconds = msiexec(wine, ctx["logs"], "upgrade", "/i", wine.windows_path(ctx["newer"]))
    print("upgrade took %.1f s" % seconds, flush=True)
    check(code == 0, "msi-upgrade-exit-code", "%s (see upgrade.log)" % code)
    check_installed(state, ctx["newer_artefacts"], "msi-upgrade", ctx["next"])
    left = [view + ":" + key for view, key in markers if state.exists(view, key)]
    check(not left, "msi-upgrade-old-version-unregistered-first", left)
    installed_server_serves(wine, "32", ctx["client32"], "msi-upgrade")

    # stiscan of the project's version names the installed server's and
    # says that they differ.
    if RUNS_32BIT:
        result = wine.run(ctx["stiscan32"], "--version")
        out = result.stdout.replace("\r", "")
        check(result.returncode == 0
              and out == "stiscan %s\nserver %s (%s\\stibridge.exe)\n"
              "the installed server (%s) is not the version of stiscan (%s)\n"
              % (ctx["version"], ctx["next"], FOLDER64, ctx["next"], ctx["version"]),
              "msi-upgrade-stiscan-version-differs", "exit %s: %r" % (result.returncode, out))
    else:
        skip_32bit("msi-upgrade-stiscan-version-differs (the 32-bit stiscan)")

    code, _ = msiexec(wine, ctx["logs"], "upgrade-remove", "/x", wine.windows_path(ctx["newer"]))
    check(code == 0, "msi-upgrade-remove-exit-code", str(code))
    check_gone(state, keys, "msi-upgrade-remove")


def repair(wine, ctx):
    """A repair puts back a deleted x86 proxy and its registration in the
    32-bit view. Wine 8's msiexec has no /f: it passes a package's path to
    MsiReinstallProduct as if it were a product code (1605, unknown
    product) and leaves a product code alone ("not implemented"). What
    Windows does for /famus is asked of it as /i with REINSTALL=ALL and
    REINSTALLMODE=amus (every file, and the registry, again) when /famus
    repaired nothing."""
    state = Installed(wine, ctx["reader"])
    package = wine.windows_path(ctx["package"])
    code, _ = msiexec(wine, ctx["logs"], "repair-install", "/i", package)
    check(code == 0, "msi-repair-installs", str(code))
    keys = [(view, key) for view, key in state.proxy_keys() if view == "32"]
    # The file and the key a 32-bit caller finds the proxy by, and the data
    # source a 32-bit TWAIN application finds.
    os.remove(os.path.join(state.folder32, "stibridgeps.dll"))
    os.remove(os.path.join(state.twain["32"], "stibridge.ds"))
    state.reg("32", "delete", INTERFACE_KEY + "\\ProxyStubClsid32", "/f")
    check(not state.exists("32", INTERFACE_KEY + "\\ProxyStubClsid32") and len(keys) == 2,
          "msi-repair-proxy-and-its-key-deleted", str(keys))

    code, seconds = msiexec(wine, ctx["logs"], "repair-famus", "/famus", package)
    if code != 0 or not os.path.exists(os.path.join(state.folder32, "stibridgeps.dll")):
        note("msiexec /famus: exit %d after %.1f s, nothing repaired; repairing with "
             "/i REINSTALL=ALL REINSTALLMODE=amus" % (code, seconds))
        code, seconds = msiexec(wine, ctx["logs"], "repair", "/i", package, "REINSTALL=ALL",
                                "REINSTALLMODE=amus")
    print("repair took %.1f s" % seconds, flush=True)
    check(code == 0, "msi-repair-exit-code", "%s (see repair.log)" % code)
    check_installed(state, ctx["artefacts"], "msi-repair", ctx["version"])
    installed_server_serves(wine, "32", ctx["client32"], "msi-repair")


def failed_upgrade(wine, ctx):
    """A newer package whose install fails after it wrote its files and
    keys, installed over the project's version: the failure is reported,
    nothing of the newer version is left, and the old version is installed
    as it was (files, keys, its Add/Remove Programs entry) and serves; the
    newer package then upgrades it.

    The old version comes back only where the installer rolls its removal
    back with the failed install, as Windows does with the removal sequenced
    after InstallInitialize. Wine 8's msiexec removes it at once in an
    msiexec process of its own ("msiexec /qn /i {product} REMOVE=ALL",
    dlls/msi/action.c), which no rollback of this install reaches: there
    the prefix is left with neither version, which is checked, and a note
    says that the old version's rows were not run."""
    state = Installed(wine, ctx["reader"])
    code, _ = msiexec(wine, ctx["logs"], "failed-upgrade-older", "/i",
                      wine.windows_path(ctx["package"]))
    check(code == 0, "msi-failed-upgrade-older-installs", str(code))
    keys = state.proxy_keys()
    copy = failing_copy(ctx["newer"], ctx["builds"]["win64"],
                        "stibridge-%s-failing.msi" % ctx["next"])
    if not copy:
        return
    code, seconds = msiexec(wine, ctx["logs"], "failed-upgrade", "/i", wine.windows_path(copy),
                            "FAILINSTALL=1")
    print("failed upgrade took %.1f s" % seconds, flush=True)
    check(code != 0, "msi-failed-upgrade-reports-failure", str(code))
    products = state.products()
    versions = [entry.get("DisplayVersion") for entry in products["64"] + products["32"]]
    check(ctx["next"] not in versions, "msi-failed-upgrade-leaves-no-newer-product", str(versions))
    if versions:
        check_installed(state, ctx["artefacts"], "msi-failed-upgrade-old-kept", ctx["version"])
        installed_server_serves(wine, "32", ctx["client32"], "msi-failed-upgrade-old")
    else:
        note("msiexec removed the old version outside the failed install's rollback "
             "(in a process of its own): neither version is installed, and the old one's "
             "rows were not run")
        check_gone(state, keys, "msi-failed-upgrade")
    code, _ = msiexec(wine, ctx["logs"], "failed-upgrade-again", "/i", wine.windows_path(copy))
    check(code == 0, "msi-failed-upgrade-then-upgrades", str(code))
    check_installed(state, ctx["newer_artefacts"], "msi-failed-upgrade-then-upgraded",
                    ctx["next"])
    installed_server_serves(wine, "32", ctx["client32"], "msi-failed-upgrade-newer")


def rebuild(wine, ctx):
    """A rebuild of the same version (a new product code) installed over the
    first upgrades it: one product, one Add/Remove Programs entry, the
    files and keys of the rebuild, and its removal leaves nothing."""
    state = Installed(wine, ctx["reader"])
    code, _ = msiexec(wine, ctx["logs"], "rebuild-first", "/i", wine.windows_path(ctx["package"]))
    check(code == 0, "msi-rebuild-first-installs", str(code))
    code, seconds = msiexec(wine, ctx["logs"], "rebuild", "/i", wine.windows_path(ctx["rebuild"]))
    print("same-version upgrade took %.1f s" % seconds, flush=True)
    check(code == 0, "msi-rebuild-exit-code", "%s (see rebuild.log)" % code)
    check_installed(state, ctx["artefacts"], "msi-rebuild", ctx["version"])
    keys = state.proxy_keys()
    code, _ = msiexec(wine, ctx["logs"], "rebuild-remove", "/x", wine.windows_path(ctx["rebuild"]))
    check(code == 0, "msi-rebuild-remove-exit-code", str(code))
    check_gone(state, keys, "msi-rebuild-remove")


def downgrade(wine, ctx):
    """The project's version over a newer one is refused by the launch
    condition and changes nothing. (Wine's msiexec neither logs the
    condition's message nor, without a display, shows it; the message is
    the package's, checked in its table.)"""
    state = Installed(wine, ctx["reader"])
    code, _ = msiexec(wine, ctx["logs"], "downgrade-newer", "/i", wine.windows_path(ctx["newer"]))
    check(code == 0, "msi-downgrade-newer-installs", str(code))

    def snapshot():
        return (state.files(), [state.tree(view, key) for view, key in
                                [("64", CLASS_KEY), ("32", CLASS_KEY)] + state.proxy_keys()],
                state.products())

    before = snapshot()
    code, seconds = msiexec(wine, ctx["logs"], "downgrade", "/i", wine.windows_path(ctx["package"]))
    print("refused downgrade took %.1f s" % seconds, flush=True)
    check(code == INSTALL_FAILURE, "msi-downgrade-refused", "exit %s" % code)
    with open(os.path.join(ctx["logs"], "downgrade.log"), encoding="latin-1") as f:
        log = f.read()
    check("LaunchConditions. Return value 0" in log and "InstallInitialize" not in log,
          "msi-downgrade-stops-at-launch-condition", log[-400:])
    check(snapshot() == before, "msi-downgrade-changes-nothing")
    check_installed(state, ctx["newer_artefacts"], "msi-downgrade-newer-kept", ctx["next"])
    installed_server_serves(wine, "32", ctx["client32"], "msi-downgrade")


def install_case(wine, ctx):
    state = install(wine, ctx["package"], ctx["logs"], ctx["artefacts"], ctx["version"],
                    ctx["reader"])
    built_versions(state, ctx["builds"], ctx["version"], ctx["newer_artefacts"])
    keys = state.proxy_keys()
    installed = registration(state)
    for view in ["64", "32"]:
        if view == "32" and not RUNS_32BIT:
            skip_32bit("msi-install-registry-as-by-hand-32 (the x86 proxy is registered by hand "
                       "through the 32-bit regsvr32)")
            continue
        check(installed[view] == ctx["by_hand"][view] and installed[view],
              "msi-install-registry-as-by-hand-" + view,
              "installed %s; by hand %s" % (
                  [line for line in installed[view] if line not in ctx["by_hand"][view]],
                  [line for line in ctx["by_hand"][view] if line not in installed[view]]))
    # A program at C:\Program.exe is what an unquoted LocalServer32 would
    # start instead of the server (measured: the clients then fail at
    # once); with the quoted one, the installed server serves them. The
    # program planted is stiscan, which ends at once on its arguments.
    planted = os.path.join(wine.prefix, "drive_c", "Program.exe")
    shutil.copyfile(ctx["stiscan64"], planted)
    for bits, client in [("64", ctx["reader"]), ("32", ctx["client32"])]:
        installed_server_serves(wine, bits, client)
    os.remove(planted)
    installed_sources_load(wine, ctx["twain_clients"], ctx["version"])
    doctor_reads_registration(wine, ctx)
    removal(wine, ctx["package"], ctx["logs"], state, keys)

    copy = failing_copy(ctx["package"], ctx["builds"]["win64"])
    if copy:
        failed_removal(wine, copy, ctx["logs"], ctx["artefacts"], keys, ctx["version"],
                       ctx["reader"])
        failed_install(wine, copy, ctx["logs"], ctx["reader"], keys)


def warm(wine):
    """Keeps the prefix's wineserver up between the many short reg and msiexec
    runs, which otherwise each pay for starting it and its system processes
    again. Those processes are started here with no output of ours: they
    live as long as the server and would hold a captured pipe open for ever.
    The program that starts them stays until they run: one that ends at
    once (`cmd /c exit`) sometimes left them to the next command, whose
    output they then held (a case that never ended)."""
    quiet = dict(env=wine.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], **quiet)
    subprocess.run(["wineserver", "-p"], **quiet)
    ServicesKeeper(wine, settle=False).end()


def run_case(name, body, template, settings, ctx):
    """One case in a prefix of its own, a copy of the template (a prefix
    never used before, save for the user's settings); the copy is removed
    again when every check of the case passed."""
    started = time.monotonic()
    failures = harness.failures()
    wine = Wine(template.prefix + "-" + name)
    wine.stop()
    shutil.rmtree(wine.prefix, ignore_errors=True)
    subprocess.run(["cp", "-a", template.prefix, wine.prefix], check=True)
    warm(wine)
    try:
        body(wine, ctx)
        check(Installed(wine, ctx["reader"]).user_settings() == settings,
              "msi-%s-user-settings-untouched" % name)
    finally:
        wine.stop()
    if harness.failures() == failures:
        shutil.rmtree(wine.prefix, ignore_errors=True)
    print("case %s took %.1f s" % (name, time.monotonic() - started), flush=True)


def artefacts(build64, build32):
    """The files of a build of the two Windows presets that the package
    holds, by their names in PACKAGED."""
    return {"server": os.path.join(build64, "src", "stibridge.exe"),
            "proxy64": os.path.join(build64, "proxy", "stibridgeps.dll"),
            "proxy32": os.path.join(build32, "proxy", "stibridgeps.dll"),
            "twain32": os.path.join(build32, "twain", "stibridge.ds"),
            "twain64": os.path.join(build64, "twain", "stibridge.ds")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default=os.getcwd())
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    build64 = os.path.join(root, "build", "win64")
    build32 = os.path.join(root, "build", "win32")
    with open(os.path.join(build64, "version.txt")) as f:
        version = f.read().strip()
    upgrade_to = next_version(version)
    ctx = {
        "version": version,
        "next": upgrade_to,
        "package": os.path.join(build64, "stibridge.msi"),
        "newer": os.path.join(build64, "stibridge-%s.msi" % upgrade_to),
        "logs": os.path.join(build64, "msi-logs"),
        "builds": {"win64": build64, "win32": build32},
        "artefacts": artefacts(build64, build32),
        "newer_artefacts": artefacts(os.path.join(build64, "version-" + upgrade_to),
                                     os.path.join(build32, "version-" + upgrade_to)),
        "reader": os.path.join(build64, "tests", "e2e", "bridge_client.exe"),
        "client32": os.path.join(build32, "tests", "e2e", "bridge_client.exe"),
        "stiscan32": os.path.join(build32, "tools", "stiscan", "stiscan.exe"),
        "stiscan64": os.path.join(build64, "tools", "stiscan", "stiscan.exe"),
        "rebuild": os.path.join(build64, "stibridge-rebuild.msi"),
        "twain_clients": [("32", os.path.join(build32, "tests", "e2e", "twain_client.exe")),
                          ("64", os.path.join(build64, "tests", "e2e", "twain_client.exe"))],
    }
    shutil.rmtree(ctx["logs"], ignore_errors=True)
    os.makedirs(ctx["logs"])
    started = time.monotonic()

    # The newer package: the same tree built as the next version.
    built = subprocess.run([os.path.join(root, "packaging", "build-msi"), "--version", upgrade_to],
                           capture_output=True, text=True)
    print("package %s built in %.1f s" % (upgrade_to, time.monotonic() - started), flush=True)
    check(built.returncode == 0 and os.path.isfile(ctx["newer"]), "msi-newer-package-built",
          built.stderr[-500:])
    # A rebuild of the project's own version: the same files, a new product.
    rebuilt = subprocess.run([os.path.join(root, "packaging", "build-msi"), ctx["rebuild"]],
                             capture_output=True, text=True)
    check(rebuilt.returncode == 0 and os.path.isfile(ctx["rebuild"]), "msi-rebuild-package-built",
          rebuilt.stderr[-500:])
    if built.returncode != 0 or rebuilt.returncode != 0:
        return 1

    package_contents(ctx["package"], os.path.join(build64, "msi-registry"))
    generator_rows(root, os.path.join(build64, "msi-generator"))
    generator_key(root, os.path.join(build64, "msi-registry"), ctx["artefacts"])
    package_version(ctx["package"], version, "msi")
    package_version(ctx["newer"], upgrade_to, "msi-newer", ctx["package"])
    package_version(ctx["rebuild"], version, "msi-rebuild", ctx["package"])

    prepared = time.monotonic()
    template = Wine(os.path.join(build64, "wine-msi"))
    template.fresh()
    plant_user_settings(template)
    settings = Installed(template, ctx["reader"]).user_settings()
    check(all(len(lines) == len(USER_VALUES) for lines in settings.values()),
          "msi-user-settings-planted", str(settings))
    # Ends the prefix's programs and server, which writes the registry out:
    # every copy starts from the same files.
    template.stop()
    subprocess.run(["wineserver", "-w"], env=template.env, capture_output=True)
    print("fresh prefix took %.1f s" % (time.monotonic() - prepared), flush=True)
    try:
        ctx["by_hand"] = by_hand(template, ctx)
        for name, body in [("install", install_case), ("upgrade", upgrade),
                           ("failed-upgrade", failed_upgrade), ("repair", repair),
                           ("rebuild", rebuild), ("downgrade", downgrade)]:
            run_case(name, body, template, settings, ctx)
    finally:
        template.stop()
    print("package check took %.1f s" % (time.monotonic() - started), flush=True)
    return harness.exit_status()


if __name__ == "__main__":
    sys.exit(main())
