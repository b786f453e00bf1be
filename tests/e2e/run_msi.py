#!/usr/bin/env python3
"""The installer package under Wine: what the package holds and the version
every binary carries, its signed build and its signatures, a second build
of its binaries compared with the first (msi_signing.py), then one case per
fresh prefix (each a copy of one prefix made new for the run, in which the
user's settings were planted):

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
  rebuild    the signed package of the same version over the unsigned one:
             an upgrade; its clients, data sources and stiscan doctor's
             signature checks, then its removal;
  downgrade  the project's version over the newer one: refused.

Each case is judged by both registry views, the program folders, the file
versions of the installed files, the Add/Remove Programs entry and a 32-bit
client served by the installed server; the user's settings under
HKEY_CURRENT_USER must come out of every case as they went in.

Prints one line per check, "ok <name>" or "FAIL <name>: <detail>", and
"note ..." lines where Wine's msiexec does not do what Windows does."""

import os
import shutil
import subprocess
import sys
import time

# The helpers imported leave no bytecode cache in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import harness  # noqa: E402
from harness import check  # noqa: E402
from winetools import ServicesKeeper, Wine, copy_prefix, windows_builds  # noqa: E402
from msi_cases import (by_hand, downgrade, failed_upgrade, install_case,  # noqa: E402
                       next_version, rebuild, repair, upgrade)
from msi_installed import USER_VALUES, Installed, plant_user_settings  # noqa: E402
from msi_package import (generator_key, generator_rows, package_contents,  # noqa: E402
                         package_version)
from msi_signing import reproducible, signing  # noqa: E402


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
    copy_prefix(template.prefix, wine.prefix)
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
    root = harness.tree_root()
    build64, build32 = windows_builds(root)
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
    ctx["unsigned_said"] = built.stderr
    # The package of the project's own version signed by a test publisher:
    # other files, so another product of the same version (the rebuild
    # case installs it over the unsigned one).
    signed = signing(root, ctx)
    if built.returncode != 0 or not signed:
        return 1
    ctx["rebuild"] = ctx["signed"]

    package_contents(ctx["package"], os.path.join(build64, "msi-registry"))
    generator_rows(root, os.path.join(build64, "msi-generator"))
    generator_key(root, os.path.join(build64, "msi-registry"), ctx["artefacts"])
    package_version(ctx["package"], version, "msi")
    package_version(ctx["newer"], upgrade_to, "msi-newer", ctx["package"])
    package_version(ctx["rebuild"], version, "msi-rebuild", ctx["package"])
    reproducible(root, ctx)

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
