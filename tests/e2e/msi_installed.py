"""The installer package as installed in a prefix: where its files go, the
state a case reads from both registry views and the program folders (and
the user's settings, planted before), msiexec run with a log, and the
checks of an installed and a removed package."""

import hashlib
import os
import time

from bridge import CLASS_KEY, INTERFACE_KEY
from harness import check


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

# The user's settings as the default scenario's "Lab MFP" keeps them (its
# UserDataKey): a job-name prefix, the delete-after-scan option and a PIN.
# Nothing the package does may touch them.
USER_KEY = "HKCU\\Software\\Tarvo\\Scan\\Lab"
USER_VALUES = [("ann_LAB", "REG_SZ", "ann_LAB"), ("ann_DeleteImageOnScan", "REG_DWORD", "1"),
               ("TrvUserPIN", "REG_SZ", "4711")]


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
