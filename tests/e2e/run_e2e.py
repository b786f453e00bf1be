#!/usr/bin/env python3
"""Cross-process tests under Wine: registration of the server as Wine's own
tools see it, 64-bit and 32-bit clients calling the server through COM's
local activation and the proxy/stub, each in its own process, stiscan, and
the TWAIN data source in TWAIN applications.

main() below is the suite's table of contents: it names every part, in the
order they run, by group. The parts live in modules by concern:
server_parts.py, twain_parts.py, stiscan_parts.py, stiscan_locale.py,
stiscan_watch.py and stiscan_commit.py; pages.py reads pulled pages as
standard tools do, console_cells.py what a console shows.

Prints one line per check, "ok <name>" or "FAIL <name>: <detail>"."""

import argparse
import os
import sys

# The helpers imported leave no bytecode cache in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import harness  # noqa: E402
from winetools import RUNS_32BIT, ServicesKeeper, Wine, skip_32bit, windows_builds  # noqa: E402
from server_parts import (clients, lifetime, registration, server_started_by_hand,  # noqa: E402
                          sessions)
from stiscan_commit import stiscan_commit_checks  # noqa: E402
from stiscan_locale import stiscan_unicode_checks  # noqa: E402
from stiscan_parts import (prepared_for_stiscan, stiscan_big_job_checks,  # noqa: E402
                           stiscan_checks, stiscan_compression_checks, stiscan_doctor_checks,
                           stiscan_killed_server_checks, stiscan_office_restored)
from stiscan_watch import stiscan_watch_checks  # noqa: E402
from twain_parts import twain_checks  # noqa: E402


def guarded(wine, part, *args, timed=True):
    """Runs one part of the suite, named after its function. A part that
    breaks off is one FAIL line naming it, with what the prefix was running
    then; the prefix is stopped and the parts after it still run."""
    harness.guarded(part.__name__.replace("_", "-"), part, wine, *args,
                    context=lambda: "; prefix processes: " + wine.running(),
                    recover=wine.stop, timed=timed)


# The suite's parts in three groups, each in a prefix of its own, so that
# scripts/test can run them side by side: the server's (registration,
# clients, sessions, lifetime), stiscan's, and the TWAIN data source's
# (whose prefix draws windows with Wine's null display driver). Most of
# their time is spent waiting on Wine and on emulated 32-bit programs, not
# computing.
GROUPS = ("server", "stiscan", "twain")
PREFIXES = {"stiscan": "wine-e2e-stiscan", "twain": "wine-e2e-twain"}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default=os.getcwd())
    parser.add_argument("--group", choices=("all",) + GROUPS, default="all",
                        help="the parts to run (all: every group, one after the other, in one "
                             "prefix)")
    parser.add_argument("--part", help="only this part of the group (as its 'part NAME took' "
                        "line names it), for a quicker run while working on it; a part that needs "
                        "another's set-up then finds it missing, except twain-checks, which makes "
                        "its own")
    args = parser.parse_args()
    harness.run_only(args.part)
    build64, build32 = windows_builds(args.root)
    wine = Wine(os.path.join(build64, PREFIXES.get(args.group, "wine-e2e")))
    wine.server_unix = os.path.join(build64, "src", "stibridge.exe")

    installer = os.path.join(build64, "sim", "stibridge_sim_install.exe")
    default_scenario = os.path.join(args.root, "sim", "scenarios", "default.json")
    stiscans = [("32", os.path.join(build32, "tools", "stiscan", "stiscan.exe")),
                ("64", os.path.join(build64, "tools", "stiscan", "stiscan.exe"))]
    client64 = os.path.join(build64, "tests", "e2e", "bridge_client.exe")
    client32 = os.path.join(build32, "tests", "e2e", "bridge_client.exe")
    proxy64 = os.path.join(build64, "proxy", "stibridgeps.dll")
    proxy32 = os.path.join(build32, "proxy", "stibridgeps.dll")
    pixels_tool = os.path.join(args.root, "build", "native", "sim", "tests",
                               "stibridge_sim_pixels")

    wine.fresh()
    try:
        if args.group in ("all", "server"):
            guarded(wine, registration, wine.server_unix)
            guarded(wine, clients, wine.server_unix, client64, client32, proxy64, proxy32,
                    installer, default_scenario)
            guarded(wine, sessions,
                    installer, [("32", client32), ("64", client64)],
                    os.path.join(args.root, "tests", "e2e", "scenarios", "session.json"), build64,
                    pixels_tool)
        if args.group in ("all", "twain"):
            guarded(wine, twain_checks,
                    wine.server_unix, installer, proxy64, proxy32, client64,
                    [("32", os.path.join(build32, "tests", "e2e", "twain_client.exe")),
                     ("64", os.path.join(build64, "tests", "e2e", "twain_client.exe"))],
                    [("32", os.path.join(build32, "twain", "stibridge.ds")),
                     ("64", os.path.join(build64, "twain", "stibridge.ds"))],
                    os.path.join(args.root, "tests", "e2e", "scenarios", "session.json"), build64,
                    pixels_tool)
        if args.group == "stiscan":
            prepared_for_stiscan(wine, wine.server_unix, proxy64, proxy32, installer,
                                 default_scenario)
        if args.group in ("all", "stiscan"):
            guarded(wine, stiscan_checks,
                    wine.server_unix, installer, default_scenario, stiscans, build64)
            guarded(wine, stiscan_unicode_checks,
                    installer, dict(stiscans), build64)
            guarded(wine, stiscan_commit_checks,
                    installer, dict(stiscans), build64)
            if RUNS_32BIT:
                stiscan32 = dict(stiscans)["32"]
                guarded(wine, stiscan_killed_server_checks,
                        installer, stiscan32, build64, default_scenario)
                with ServicesKeeper(wine):
                    guarded(wine, stiscan_compression_checks,
                            installer, stiscan32, build64)
                    guarded(wine, stiscan_watch_checks,
                            stiscan32, build64)
                guarded(wine, stiscan_big_job_checks,
                        installer, stiscan32, build64, pixels_tool)
            else:
                for part in ("killed-server", "a4-bw-compression", "watch", "big-job"):
                    skip_32bit("stiscan32-%s (the 32-bit stiscan's checks)" % part)
            guarded(wine, stiscan_office_restored,
                    installer, default_scenario, timed=False)
            guarded(wine, stiscan_doctor_checks,
                    wine.server_unix, installer, default_scenario, stiscans, proxy32, build64)
        if args.group in ("all", "server"):
            guarded(wine, lifetime, client32, client64, wine.server_unix)
            guarded(wine, server_started_by_hand,
                    wine.server_unix, [("64", client64), ("32", client32)])
    finally:
        wine.stop()
    return harness.exit_status()


if __name__ == "__main__":
    sys.exit(main())
