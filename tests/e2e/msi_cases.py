"""The installer package's cases, each in a prefix of its own: install
(with removal, a failed removal and a failed install), upgrade, a failed
upgrade, repair, a rebuild of the same version, and downgrade."""

import hashlib
import json
import os
import shutil
import ssl
import struct
import subprocess

from bridge import CLASS_KEY, INTERFACE_KEY
from harness import check, note
from winetools import RUNS_32BIT, Wine, copy_prefix, skip_32bit
from msi_package import IN_SCRIPT, NO_IMPERSONATE
from msi_installed import (FOLDER64, PACKAGED, TWAIN_FOLDERS, Installed, check_gone,
                           check_installed, msiexec, registration, stale_markers)


# msiexec's exit code for a failed install, as Unix keeps it (its low byte).
INSTALL_FAILURE = 1603 & 0xFF

# The Windows versions both manifests declare (7, 8, 8.1, 10 and 11).
SUPPORTED_OS = ["{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]


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


def by_hand(template, ctx):
    """What the binaries write registered by hand where the package puts
    them (both proxies through the regsvr32 of their bitness, then
    /RegServer) in a fresh copy of the template prefix."""
    wine = Wine(template.prefix + "-by-hand")
    wine.stop()
    shutil.rmtree(wine.prefix, ignore_errors=True)
    copy_prefix(template.prefix, wine.prefix)
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


def installed_sources_load(wine, applications, version, prefix="msi-install"):
    """A TWAIN application of each bitness loads the data source of its own
    bitness from where the package put it, as a manager that looks through
    that folder does, and the source says it is stibridge of the package's
    version. (Wine's own manager does not look there: it loads sane.ds and
    gphoto2.ds only.)"""
    for bits, application in applications:
        name = "%s-twain%s" % (prefix, bits)
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


# The signature checks of stiscan doctor, by their ids.
SIGNATURE_CHECKS = ("signature", "publisher")
# The files they look at: the installed five, then stiscan itself.
SIGNED_FILES = 6


def doctor_signatures(wine, stiscan):
    """stiscan doctor's signature checks, its exit code and the code its
    report gives: they may warn, never fail, so the exit code is that of
    the other checks."""
    result = wine.run(stiscan, "doctor", "--json", timeout=120)
    try:
        report = json.loads(result.stdout)
    except ValueError:
        report = {}
    checks = report.get("checks", [])
    others = [c for c in checks if c["id"] not in SIGNATURE_CHECKS and c["status"] == "failed"]
    signatures = [c for c in checks if c["id"] in SIGNATURE_CHECKS]
    exits_as_before = (result.returncode == report.get("exitCode")
                       and (result.returncode != 0) == bool(others))
    return signatures, exits_as_before, result.stdout[-1500:]


def doctor_stiscan(ctx, signed=False):
    """The stiscan of a data source's bitness (the 64-bit one where no
    32-bit program runs), of the build or signed beside the package."""
    bits = "32" if RUNS_32BIT else "64"
    return ctx["signed_stiscan"][bits] if signed else ctx["stiscan" + bits]


def doctor_reports_unsigned(wine, ctx):
    """On the unsigned package, stiscan doctor finds every installed file
    (and itself) unsigned, as Wine's WinVerifyTrust answers, and names no
    publisher."""
    signatures, exits_as_before, out = doctor_signatures(wine, doctor_stiscan(ctx))
    files = [c for c in signatures if c["id"] == "signature"]
    check(len(files) == SIGNED_FILES and exits_as_before
          and all(c["status"] == "warning" and "carries no signature" in c["found"]
                  for c in files)
          and signatures[-1]["id"] == "publisher" and signatures[-1]["status"] == "skipped",
          "msi-install-doctor-signatures-unsigned", out)
    if files:
        note("Wine's WinVerifyTrust on an unsigned file: %s" % files[0]["found"])


def trust_authority(wine, ca):
    """The authority's certificate among the machine's trusted roots, as
    Windows keeps them in the registry: in the machine's Root store
    (SystemCertificates under HKLM's Software\\Microsoft), a key named by
    the certificate's SHA-1 thumbprint whose Blob is the certificate as a
    serialized property (CERT_CERT_PROP_ID, 32)."""
    with open(ca, encoding="ascii") as f:
        der = ssl.PEM_cert_to_DER_cert(f.read())
    blob = struct.pack("<III", 32, 1, len(der)) + der
    key = "HKLM\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\" + \
        hashlib.sha1(der).hexdigest().upper()
    return wine.run("reg", "add", key, "/v", "Blob", "/t", "REG_BINARY", "/d", blob.hex(), "/f",
                    "/reg:64").returncode == 0


def doctor_reports_signed(wine, ctx, state):
    """On the signed package, with the signed stiscan: before the test's
    authority is trusted, what Wine's WinVerifyTrust says of a signature
    whose root this machine does not trust; once the authority is among the
    prefix's trusted roots, every file valid and signed by the test's
    publisher, from both bitnesses; and a file changed after signing (one
    byte of the installed 64-bit data source) reported so, the others
    still valid."""
    stiscan = doctor_stiscan(ctx, signed=True)
    publisher = '"%s"' % ctx["publisher"]
    # Windows refuses a chain that ends in a root it does not trust;
    # Wine 8's WinVerifyTrust does not look at the chain (measured: it
    # passes such a signature, as it does an expired certificate and one
    # not for code signing), which the note records.
    signatures, exits_as_before, out = doctor_signatures(wine, stiscan)
    files = [c for c in signatures if c["id"] == "signature"]
    untrusted = "does not lead to a root certificate this machine trusts"
    check(len(files) == SIGNED_FILES and exits_as_before
          and all("is signed by " + publisher in c["found"]
                  and (c["status"] == "ok" or c["status"] == "warning" and untrusted in c["found"])
                  for c in files)
          and signatures[-1]["status"] == "ok",
          "msi-signed-doctor-names-publisher-before-authority-trusted", out)
    if files:
        note("Wine's WinVerifyTrust on a signed file whose root is not trusted: %s: %s"
             % (files[0]["status"], files[0]["found"]))
    check(trust_authority(wine, ctx["authority"]["ca.pem"]), "msi-signed-authority-trusted")
    for bits, program in [("", stiscan), ("64", ctx["signed_stiscan"]["64"])]:
        signatures, exits_as_before, out = doctor_signatures(wine, program)
        files = [c for c in signatures if c["id"] == "signature"]
        check(len(files) == SIGNED_FILES and exits_as_before
              and all(c["status"] == "ok" and "is signed by " + publisher in c["found"]
                      for c in files)
              and signatures[-1]["status"] == "ok"
              and "every file looked at (%d) is signed by %s" % (SIGNED_FILES, publisher)
              in signatures[-1]["found"], "msi-signed-doctor%s-signatures-trusted" % bits, out)
    installed = os.path.join(state.twain["64"], "stibridge.ds")
    with open(installed, "rb") as f:
        original = bytearray(f.read())
    changed = bytearray(original)
    changed[len(changed) // 2] ^= 0x01
    with open(installed, "wb") as f:
        f.write(changed)
    signatures, exits_as_before, out = doctor_signatures(wine, stiscan)
    with open(installed, "wb") as f:
        f.write(original)
    verdicts = {c["title"]: c for c in signatures if c["id"] == "signature"}
    source = verdicts.get("signature of stibridge.ds (64-bit)", {})
    check(source.get("status") == "warning" and "was changed after " + publisher
          in source.get("found", "") and exits_as_before
          and all(c["status"] == "ok" for title, c in verdicts.items() if c is not source),
          "msi-signed-doctor-changed-file", out)
    if source:
        note("Wine's WinVerifyTrust on a signed file changed after signing: %s" % source["found"])


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
    """A package of the same version with other contents installed over the
    first upgrades it: the signed package (other files, so another product
    code) over the unsigned one. One product, one Add/Remove Programs
    entry, the signed files and the keys; the signed server serves both
    clients through the signed proxies, the signed data sources load in
    TWAIN applications of both bitnesses, stiscan doctor reports whose
    they are; and its removal leaves nothing."""
    state = Installed(wine, ctx["reader"])
    code, _ = msiexec(wine, ctx["logs"], "rebuild-first", "/i", wine.windows_path(ctx["package"]))
    check(code == 0, "msi-rebuild-first-installs", str(code))
    code, seconds = msiexec(wine, ctx["logs"], "rebuild", "/i", wine.windows_path(ctx["rebuild"]))
    print("same-version upgrade took %.1f s" % seconds, flush=True)
    check(code == 0, "msi-rebuild-exit-code", "%s (see rebuild.log)" % code)
    check_installed(state, ctx["signed_artefacts"], "msi-rebuild", ctx["version"])
    keys = state.proxy_keys()
    for bits, client in [("64", ctx["reader"]), ("32", ctx["client32"])]:
        installed_server_serves(wine, bits, client, "msi-signed")
    installed_sources_load(wine, ctx["twain_clients"], ctx["version"], "msi-signed")
    doctor_reports_signed(wine, ctx, state)
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
    doctor_reports_unsigned(wine, ctx)
    removal(wine, ctx["package"], ctx["logs"], state, keys)

    copy = failing_copy(ctx["package"], ctx["builds"]["win64"])
    if copy:
        failed_removal(wine, copy, ctx["logs"], ctx["artefacts"], keys, ctx["version"],
                       ctx["reader"])
        failed_install(wine, copy, ctx["logs"], ctx["reader"], keys)
