"""The installer package as built, read without installing it: its
tables (by msiinfo), the generator of its registry table from what the
server's registration writes, and the version each binary carries."""

import os
import shutil
import subprocess

from bridge import CLSID
from harness import check
from winetools import WINE
from msi_installed import FOLDER64, PACKAGED, digest


DOWNGRADE_MESSAGE = "A newer version of stibridge is already installed."

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
