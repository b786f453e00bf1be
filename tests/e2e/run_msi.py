#!/usr/bin/env python3
"""The installer package under Wine, in a prefix of its own: what the package
holds, then install, registration as the programs write it, a 64-bit and a
32-bit client against the installed server, removal, a removal that fails and
is rolled back, and an install that fails and leaves no files.

Prints one line per check, "ok <name>" or "FAIL <name>: <detail>"."""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import time

# The shared Wine helpers come from the cross-process runner; importing it
# must not leave a bytecode cache in the source tree.
sys.dont_write_bytecode = True
import run_e2e  # noqa: E402
from run_e2e import CLASS_KEY, Wine, check  # noqa: E402

IID = "{8E41D7A2-35C9-4F0B-B6D4-93A7E15C2F08}"
INTERFACE_KEY = "HKCR\\Interface\\" + IID
FOLDER64 = "C:\\Program Files\\stibridge"
FOLDER32 = "C:\\Program Files (x86)\\stibridge"

# Custom action type bits.
IN_SCRIPT = 0x400
ROLLBACK = 0x100
NO_IMPERSONATE = 0x800


def msi_table(package, table):
    """Rows of one table of the package as dicts; [] when the table is absent."""
    out = subprocess.run(["msiinfo", "export", package, table], capture_output=True, text=True)
    lines = out.stdout.splitlines()
    if out.returncode != 0 or len(lines) < 3:
        return []
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:]]


def package_contents(package):
    """What the package holds, read from its tables: its files and folders,
    that nothing of its own goes into the registry, and that every
    registration runs from the install script."""
    files = {(row["File"], row["Component_"], row["FileName"])
             for row in msi_table(package, "File")}
    folders = {row["Component"]: row["Directory_"] for row in msi_table(package, "Component")}
    expected = {("ServerExe", "Server", "stibridge.exe"),
                ("Proxy64Dll", "Proxy64", "stibridgeps.dll"),
                ("Proxy32Dll", "Proxy32", "stibridgeps.dll")}
    check(files == expected, "msi-holds-server-and-both-proxies-only", sorted(files))
    check(folders.get("Server") == folders.get("Proxy64") != folders.get("Proxy32"),
          "msi-proxies-in-separate-folders", folders)

    own = {table: len(msi_table(package, table))
           for table in ["Registry", "RemoveRegistry", "Class", "ProgId", "TypeLib", "SelfReg",
                         "AppId", "Extension"]}
    check(not any(own.values()), "msi-writes-no-registry-of-its-own", own)

    sequence = {row["Action"]: int(row["Sequence"])
                for row in msi_table(package, "InstallExecuteSequence")}
    wrong = []
    for row in msi_table(package, "CustomAction"):
        action, kind = row["Action"], int(row["Type"])
        if action.startswith("Set"):
            continue
        wanted = IN_SCRIPT | NO_IMPERSONATE | (ROLLBACK if action.startswith("Rollback") else 0)
        where = sequence.get(action, -1)
        if kind & wanted != wanted or (kind & ROLLBACK and not action.startswith("Rollback")) \
                or not sequence["InstallInitialize"] < where < sequence["InstallFinalize"]:
            wrong.append("%s type 0x%x at %d" % (action, kind, where))
    check(not wrong and len(sequence) > 0, "msi-registrations-run-in-script", wrong)


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Installed:
    """The prefix as the package leaves it."""

    def __init__(self, wine):
        self.wine = wine
        drive = os.path.join(wine.prefix, "drive_c")
        self.folder64 = os.path.join(drive, "Program Files", "stibridge")
        self.folder32 = os.path.join(drive, "Program Files (x86)", "stibridge")

    def files(self):
        """{unix path: sha256} of everything in both program folders."""
        found = {}
        for folder in [self.folder64, self.folder32]:
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


def check_installed(state, artefacts, name):
    """The three files in their folders, byte for byte the build's (an x86
    proxy in the 64-bit folder would have the same name), the server and both
    proxies registered as they register themselves."""
    wine = state.wine
    expected = {os.path.join(state.folder64, "stibridge.exe"): digest(artefacts["server"]),
                os.path.join(state.folder64, "stibridgeps.dll"): digest(artefacts["proxy64"]),
                os.path.join(state.folder32, "stibridgeps.dll"): digest(artefacts["proxy32"])}
    found = state.files()
    check(found == expected, name + "-files-in-their-folders",
          "found %s" % sorted(os.path.relpath(p, wine.prefix) for p in found))

    value = state.default_value("64", CLASS_KEY + "\\LocalServer32")
    check(value is not None and value.lower() == (FOLDER64 + "\\stibridge.exe").lower(),
          name + "-localserver32-installed-server", repr(value))

    for view, folder in [("64", FOLDER64), ("32", FOLDER32)]:
        clsid = state.default_value(view, INTERFACE_KEY + "\\ProxyStubClsid32")
        inproc = state.default_value(view, "HKCR\\CLSID\\%s\\InprocServer32" % clsid) \
            if clsid else None
        check(inproc is not None
              and inproc.strip('"').lower() == (folder + "\\stibridgeps.dll").lower(),
              "%s-proxy-registered-in-%s-bit-view" % (name, view), "%s -> %r" % (clsid, inproc))


def check_gone(state, keys, name):
    check(not state.files() and not os.path.exists(state.folder64)
          and not os.path.exists(state.folder32), name + "-no-files-left", sorted(state.files()))
    left = [view + ":" + key for view, key in [("64", CLASS_KEY), ("32", CLASS_KEY)] + keys
            if state.exists(view, key)]
    check(not left, name + "-no-registrations-left", left)


def install(wine, package, logs, artefacts):
    state = Installed(wine)
    code, seconds = msiexec(wine, logs, "install", "/i", wine.windows_path(package))
    print("install took %.1f s" % seconds, flush=True)
    check(code == 0, "msi-install-exit-code", "%s (see %s/install.log)" % (code, logs))
    check_installed(state, artefacts, "msi-install")

    # Exactly what /RegServer writes: the class key holds LocalServer32 and
    # its one value, nothing of the package's own, and nothing in the 32-bit
    # view.
    keys, values = state.tree("64", CLASS_KEY)
    check(len(keys) == 1 and keys[0].upper().endswith("\\LOCALSERVER32") and len(values) == 1,
          "msi-class-key-only-as-regserver-writes", "; ".join(keys + values))
    check(not state.exists("32", CLASS_KEY), "msi-class-key-not-in-32-bit-view")
    return state


def installed_server_serves(wine, bits, client):
    """A client of each bitness creates an object of the installed server
    through the installed proxies, reads its identity, and lets it go; the
    server then quits. The client's own check lines are passed on."""
    result = wine.run(client, "identity", timeout=120)
    for line in result.stdout.splitlines():
        if line.startswith("ok ") or line.startswith("FAIL "):
            check(line.startswith("ok "), "msi-client%s-%s" % (bits, line.split(" ", 1)[1]))
    check(result.returncode == 0, "msi-client%s-identity-exit-code" % bits, str(result.returncode))
    check(wine.wait_for_no_process(5), "msi-client%s-server-quits" % bits,
          str(wine.processes()))


def removal(wine, package, logs, state, keys):
    code, seconds = msiexec(wine, logs, "remove", "/x", wine.windows_path(package))
    print("removal took %.1f s" % seconds, flush=True)
    check(code == 0, "msi-remove-exit-code", "%s (see %s/remove.log)" % (code, logs))
    check_gone(state, keys, "msi-remove")


def failing_copy(package, build):
    """A copy of the package with two deferred actions that fail when asked
    to: FAILINSTALL=1 after every registration on install, FAILREMOVAL=1
    after every unregistration on removal (before the files go). Type 34, a
    command line run in a folder: cmd exits 1."""
    copy = os.path.join(build, "stibridge-failing.msi")
    shutil.copyfile(package, copy)
    kind = 0x22 | IN_SCRIPT | NO_IMPERSONATE
    queries = []
    for action, sequence, condition in [("FailInstall", 4200, "$Server=3 AND FAILINSTALL"),
                                        ("FailRemoval", 2300, "$Server=2 AND FAILREMOVAL")]:
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


def failed_removal(wine, copy, logs, artefacts, keys):
    """A removal that fails after the unregistrations have run is rolled
    back: the server and both proxies are registered again, the files stay,
    and a later removal still works."""
    state = Installed(wine)
    path = wine.windows_path(copy)
    code, _ = msiexec(wine, logs, "failing-copy-install", "/i", path)
    check(code == 0, "msi-failing-copy-installs", str(code))
    code, _ = msiexec(wine, logs, "remove-fails", "/x", path, "FAILREMOVAL=1")
    check(code != 0, "msi-failing-removal-reports-failure", str(code))
    check_installed(state, artefacts, "msi-failed-removal-rolled-back")
    code, _ = msiexec(wine, logs, "remove-after-failure", "/x", path)
    check(code == 0, "msi-remove-after-failed-removal", str(code))
    check_gone(state, keys, "msi-remove-after-failed-removal")


def failed_install(wine, copy, logs):
    """An install that fails after the registrations leaves no files behind
    and no product that would need removing. (Wine deletes the files of a
    failed install before it runs the package's rollback actions, so the
    unregistration that Windows does there cannot run under Wine and the
    registrations it would undo are not checked here.)"""
    state = Installed(wine)
    code, _ = msiexec(wine, logs, "install-fails", "/i", wine.windows_path(copy), "FAILINSTALL=1")
    check(code != 0, "msi-failing-install-reports-failure", str(code))
    check(not state.files(), "msi-failed-install-no-files-left", sorted(state.files()))
    code, _ = msiexec(wine, logs, "install-after-failure", "/i", wine.windows_path(copy))
    check(code == 0 and state.files(), "msi-install-after-failed-install", str(code))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default=os.getcwd())
    args = parser.parse_args()
    build64 = os.path.join(args.root, "build", "win64")
    build32 = os.path.join(args.root, "build", "win32")
    package = os.path.join(build64, "stibridge.msi")
    logs = os.path.join(build64, "msi-logs")
    artefacts = {"server": os.path.join(build64, "src", "stibridge.exe"),
                 "proxy64": os.path.join(build64, "proxy", "stibridgeps.dll"),
                 "proxy32": os.path.join(build32, "proxy", "stibridgeps.dll")}

    package_contents(package)

    wine = Wine(os.path.join(build64, "wine-msi"))
    shutil.rmtree(logs, ignore_errors=True)
    os.makedirs(logs)
    started = time.monotonic()
    wine.fresh()
    # Keeps the prefix's wineserver up between the many short reg and msiexec
    # runs, which otherwise each pay for starting it and its system processes
    # again. Those processes are started here with no output of ours: they
    # live as long as the server and would hold a captured pipe open for ever.
    quiet = dict(env=wine.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], **quiet)
    subprocess.run(["wineserver", "-p"], **quiet)
    subprocess.run(["wine", "cmd", "/c", "exit"], **quiet)
    print("fresh prefix took %.1f s" % (time.monotonic() - started), flush=True)
    try:
        state = install(wine, package, logs, artefacts)
        keys = state.proxy_keys()
        for bits, client in [("64", os.path.join(build64, "tests", "e2e", "bridge_client.exe")),
                             ("32", os.path.join(build32, "tests", "e2e", "bridge_client.exe"))]:
            installed_server_serves(wine, bits, client)
        removal(wine, package, logs, state, keys)

        copy = failing_copy(package, build64)
        if copy:
            failed_removal(wine, copy, logs, artefacts, keys)
            failed_install(wine, copy, logs)
    finally:
        wine.stop()
    print("package check took %.1f s" % (time.monotonic() - started), flush=True)
    return 1 if run_e2e.failures else 0


if __name__ == "__main__":
    sys.exit(main())
