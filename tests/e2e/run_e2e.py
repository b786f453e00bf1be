#!/usr/bin/env python3
"""Cross-process tests under Wine: registration of the server as Wine's own
tools see it, and 64-bit and 32-bit clients calling the server through COM's
local activation and the proxy/stub, each in its own process.

Prints one line per check, "ok <name>" or "FAIL <name>: <detail>"."""

import argparse
import json
import os
import pty
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import time
import unicodedata

# The helpers imported leave no bytecode cache in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import conducts  # noqa: E402
import harness  # noqa: E402
from harness import check, note, relay, skip  # noqa: E402
from winetools import (NO_32BIT, PACE, RUNS_32BIT, ServicesKeeper, WatchedProgram,  # noqa: E402
                       Wine, rerun_if_unreached, skip_32bit)
from bridge import CLASS_KEY, IID, PROGIDS  # noqa: E402



def guarded(wine, part, *args):
    """Runs one part of the suite, named after its function. A part that
    breaks off is one FAIL line naming it, with what the prefix was running
    then; the prefix is stopped and the parts after it still run."""
    harness.guarded(part.__name__.replace("_", "-"), part, wine, *args,
                    context=lambda: "; prefix processes: %s" % (
                        wine.running()),
                    recover=wine.stop)


def registration(wine, server):
    result = wine.run(server, "/RegServer")
    check(result.returncode == 0, "regserver-exit-code", str(result.returncode))
    check(result.stdout == "", "server-writes-nothing", repr(result.stdout[:200]))
    query = wine.reg("query", CLASS_KEY + "\\LocalServer32", "/ve")
    expected = wine.windows_path(os.path.abspath(wine.server_unix))
    check(query.returncode == 0 and expected.lower() in query.stdout.lower(),
          "regserver-localserver32-path", query.stdout.strip() + " / expected " + expected)
    everything = wine.reg("query", CLASS_KEY, "/s")
    keys = [line.strip() for line in everything.stdout.splitlines()
            if line.strip().upper().startswith("HKEY_")]
    values = [line.strip() for line in everything.stdout.splitlines() if "REG_" in line]
    check(len(keys) == 1 and keys[0].upper().endswith("\\LOCALSERVER32") and len(values) == 1,
          "regserver-writes-nothing-else", "; ".join(keys + values))
    check(not any(wine.key_exists(k) for k in PROGIDS), "regserver-no-progids")

    # With an InprocServer32 beside it, unregistration removes LocalServer32 only.
    wine.reg("add", CLASS_KEY + "\\InprocServer32", "/ve", "/d", "elsewhere.dll", "/f")
    for key in PROGIDS:
        wine.reg("add", key, "/f")
    wine.run(server, "-UnregServer")
    check(not wine.key_exists(CLASS_KEY + "\\LocalServer32")
          and wine.key_exists(CLASS_KEY + "\\InprocServer32")
          and all(wine.key_exists(k) for k in PROGIDS),
          "unregserver-keeps-inproc-entries")

    # Without it, the whole class key goes, nested keys included, and both ProgIDs.
    wine.reg("delete", CLASS_KEY + "\\InprocServer32", "/f")
    wine.reg("add", CLASS_KEY + "\\a\\b\\c", "/v", "x", "/d", "y", "/f")
    wine.run(server, "/RegServer")
    result = wine.run(server, "/UnregServer")
    check(result.returncode == 0 and not wine.key_exists(CLASS_KEY)
          and not any(wine.key_exists(k) for k in PROGIDS),
          "unregserver-removes-class-tree")

    # Tails that stop at Embedding, or whose tokens do not match, serve instead.
    for tail in ["-RegServer -Embedding", "/Embedding/RegServer"]:
        process = wine.start(server, *tail.split(" "))
        time.sleep(3)
        alive = process.poll() is None
        check(alive and not wine.key_exists(CLASS_KEY), "serves-not-registers " + tail,
              "exited %s" % process.poll() if not alive else "registered")
        # A killed server would leave its class registration behind in Wine's
        # COM state, so the whole prefix is stopped and warmed up again.
        process.kill()
        process.wait()
        wine.stop()
        wine.wait_for_no_process(10)
        wine.run("cmd", "/c", "exit")


def clients(wine, server, client64, client32, proxy64, proxy32, installer, scenario):
    regsvr = wine.run("regsvr32", "/s", proxy64)
    check(regsvr.returncode == 0, "proxy-x64-registered", regsvr.stderr[-300:])
    if RUNS_32BIT:
        regsvr = wine.run("C:\\windows\\syswow64\\regsvr32.exe", "/s", proxy32)
        check(regsvr.returncode == 0, "proxy-x86-registered", regsvr.stderr[-300:])
    else:
        skip_32bit("proxy-x86-registered")
    check(wine.run(server, "/RegServer").returncode == 0, "server-registered")
    installed = wine.run(installer, scenario)
    check(installed.returncode == 0, "simulator-installed", installed.stderr[-300:])

    for bits, client, part in [("64", client64, "identity"), ("32", client32, "identity"),
                               ("64", client64, "connection"), ("32", client32, "connection")]:
        run_client(wine, bits, client, part)


def run_client(wine, bits, client, part, kind="client", label=None):
    """Runs one part in a client process; its check lines are reported with
    the kind of client, its bitness and the part (or `label`) in their names
    ("client32-session-..."). Returns the client's output (None for a 32-bit
    client where none can run)."""
    name = "%s%s-%s" % (kind, bits, label or part)
    if bits == "32" and not RUNS_32BIT:
        skip_32bit("%s (the 32-bit %s's checks of this part)" % (name, kind))
        return None
    result = wine.run(client, part, timeout=300)
    for line in result.stdout.splitlines():
        relay(line, name)
    # A client that said nothing at all never reached its main(): what Wine
    # said then is on its standard error.
    check(result.returncode == 0, name + "-exit-code",
          "%s%s" % (result.returncode, "" if result.stdout else ", nothing said; its errors: %r"
                    % result.stderr[-300:]))
    check(wine.wait_for_no_process(5), name + "-server-quits",
          "server still running: %s" % wine.processes())
    return result.stdout


def reference_pixels(tool, scenario, frame=None):
    """The fingerprints of the pages as the driver generates them, by the
    native simulator: {(item, page): fingerprint}; with `frame` (inches,
    "left,top,right,bottom"), of the part of each page within it."""
    out = subprocess.run([tool, scenario] + (["--frame", frame] if frame else []),
                         capture_output=True, text=True, timeout=120)
    check(out.returncode == 0, "reference-pixels", out.stderr[-300:])
    pages = {}
    for line in out.stdout.splitlines():
        fields = line.split()
        if len(fields) == 4 and fields[0] == "pixels":
            pages[(fields[1], fields[2])] = fields[3]
    return pages


def install_journalled(wine, installer, scenario, journal):
    """Installs the scenario with a journal of the driver's calls, begun
    anew; the installer's result."""
    if os.path.exists(journal):
        os.remove(journal)
    return wine.run(installer, wine.windows_path(scenario), "--journal",
                    wine.windows_path(journal))


def session_outcome(output):
    """A client part's observable outcome: its check lines (name and verdict)
    and its pixel lines, in order."""
    checks = [" ".join(line.split(":")[0].split()[:2]) for line in output.splitlines()
              if line.startswith("ok ") or line.startswith("FAIL ")]
    pixels = [line for line in output.splitlines() if line.startswith("pixels ")]
    return checks, pixels


def session_scenario(wine, client64, template, build64):
    """The session scenario with the clients' own user as the owner of its
    job "mine.tif": its text, and the file it is written to."""
    whoami = wine.run(client64, "whoami")
    sid = whoami.stdout.strip()
    check(whoami.returncode == 0 and sid.startswith("S-1-"), "caller-sid", repr(whoami.stdout))
    with open(template) as f:
        scenario = f.read().replace("@CALLER@", sid)
    path = os.path.join(build64, "e2e-session.json")
    with open(path, "w") as f:
        f.write(scenario)
    return scenario, path


def sessions(wine, installer, clients_by_bits, template, build64, pixels_tool):
    """The catalogue and a whole scanning session from each client against the
    session scenario, whose jobs include one owned by the clients' own user;
    then the 32-bit client's once more under each of the driver's other
    conducts, each held to the default conduct's outcome."""
    scenario, path = session_scenario(wine, dict(clients_by_bits)["64"], template, build64)
    journal = os.path.join(build64, "e2e-session-journal.txt")
    installed = install_journalled(wine, installer, path, journal)
    check(installed.returncode == 0, "session-scenario-installed", installed.stderr[-300:])
    reference = reference_pixels(pixels_tool, path)

    default = {}
    for bits, client in clients_by_bits:
        outputs = [run_client(wine, bits, client, part) for part in ("catalogue", "session")]
        if None in outputs:
            continue
        default[bits] = [session_outcome(output) for output in outputs]
        received = 0
        for line in default[bits][1][1]:
            fields = line.split()
            if len(fields) != 5:
                continue
            received += 1
            item, page, mode, fingerprint = fields[1:]
            expected = reference.get((item, page))
            check(fingerprint == expected,
                  "client%s-session-pixels-as-generated %s p%s %s" % (bits, item, page, mode),
                  "%s, driver generated %s" % (fingerprint, expected))
        check(received == 3 * 7, "client%s-session-every-page-three-ways" % bits,
              "%d page transfers reported" % received)
    found = conducts.breaches(journal)
    check(not found, "session-no-breach", "; ".join(found[:3]))

    bits, client = [c for c in clients_by_bits if c[0] == "32"][0]
    for name, conduct in conducts.profiles():
        if not RUNS_32BIT:
            skip_32bit("conduct-%s-client32 (the session under this conduct)" % name)
            continue
        variant = conducts.scenario_under(scenario, conduct,
                                          os.path.join(build64, "e2e-session-%s.json" % name))
        journal = os.path.join(build64, "e2e-session-journal-%s.txt" % name)
        install_journalled(wine, installer, variant, journal)
        for part, (checks, pixels) in zip(("catalogue", "session"), default[bits]):
            result = wine.run(client, part, timeout=300)
            got_checks, got_pixels = session_outcome(result.stdout)
            lost = [c for c in checks if c not in got_checks]
            gained = [c for c in got_checks if c not in checks]
            check(result.returncode == 0 and not lost and not gained and got_pixels == pixels,
                  "conduct-%s-client%s-%s: %d checks and %d page transfers as under the default "
                  "conduct" % (name, bits, part, len(got_checks), len(got_pixels)),
                  "exit %s, not as under the default: %s; new: %s; pixels %s; the client said: %s"
                  % (result.returncode, lost[:4], gained[:4],
                     "the same" if got_pixels == pixels else "differ",
                     [line.strip() for line in result.stdout.splitlines()
                      if line.startswith("FAIL")][:4]))
            check(wine.wait_for_no_process(5), "conduct-%s-client%s-%s-server-quits"
                  % (name, bits, part), str(wine.processes()))
        found = conducts.breaches(journal)
        check(not found, "conduct-%s-no-breach" % name, "; ".join(found[:3]))


# --- the TWAIN data source, driven by a TWAIN application through Wine's manager ---

# The pages a full run of the TWAIN application brings over: every page of
# the five jobs by each of the three transfers, whole and cut to a frame,
# two under CAP_XFERCOUNT 2, and one through the source's own window.
TWAIN_FULL_PAGES = 2 * 3 * 6 + 2 + 1

# The frame the TWAIN application cuts pages to (twain_client.cpp's
# kFrame), in inches: it takes part of every page of the session scenario,
# past the right and bottom edges of the smaller ones, from a column within
# a byte of the black-and-white one; no edge falls near half a pixel.
TWAIN_FRAME = "0.03,0.02,0.35,0.25"


def twain_prefix(wine, sources):
    """The prefix as a TWAIN application finds the data source
    (Wine.install_data_sources)."""
    added = wine.install_data_sources(sources)
    check(all(r.returncode == 0 for r in added), "twain-source-installed",
          "; ".join(r.stderr[-200:] for r in added))


def twain_run(wine, bits, client, part, label=None):
    """One run of the TWAIN application: its pixel lines (None where it
    cannot run)."""
    output = run_client(wine, bits, client, part, "twain", label)
    return None if output is None else [line for line in output.splitlines()
                                        if line.startswith("pixels ")]


def twain_pixels(name, lines, reference, expected, cut=None):
    """Every page the application brought over is the page the simulator
    draws (`cut`'s part of it where the transfer's name begins with
    "crop-"), and as many came as should."""
    wrong = []
    for line in lines:
        fields = line.split()
        pages = cut if len(fields) == 5 and fields[3].startswith("crop-") else reference
        if len(fields) != 5 or pages is None or pages.get((fields[1], fields[2])) != fields[4]:
            wrong.append(line)
    check(not wrong and len(lines) == expected, "%s-pixels-as-generated: %d pages" % (name, expected),
          "%d pages; not as generated: %s" % (len(lines), "; ".join(wrong[:3])))


def twain_checks(wine, server, installer, proxy64, proxy32, bridge_client, clients, sources,
                 template, build64, pixels_tool):
    """The data source in TWAIN applications of both bitnesses, through
    Wine's manager: a full run each (every state, every capability, the
    three transfers, cancelling, delete-after-scan, the source's window,
    the server killed at the end), then a run of every job's pages under
    each of the driver's conducts. Each run is one process."""
    steps = [wine.run("regsvr32", "/s", proxy64), wine.run(server, "/RegServer")]
    if RUNS_32BIT:
        steps.append(wine.run("C:\\windows\\syswow64\\regsvr32.exe", "/s", proxy32))
    check(all(r.returncode == 0 for r in steps), "twain-server-registered",
          "; ".join(r.stderr[-200:] for r in steps))
    twain_prefix(wine, sources)
    scenario, path = session_scenario(wine, bridge_client, template, build64)
    reference = reference_pixels(pixels_tool, path)
    cut = reference_pixels(pixels_tool, path, TWAIN_FRAME)
    for bits, client in clients:
        # Each run from the installed scenario (a full run deletes a job).
        journal = os.path.join(build64, "e2e-twain-journal-%s.txt" % bits)
        installed = install_journalled(wine, installer, path, journal)
        check(installed.returncode == 0, "twain%s-scenario-installed" % bits,
              installed.stderr[-300:])
        lines = twain_run(wine, bits, client, "full")
        if lines is not None:
            twain_pixels("twain%s-full" % bits, lines, reference, TWAIN_FULL_PAGES, cut)
        found = conducts.breaches(journal)
        check(not found, "twain%s-no-breach" % bits, "; ".join(found[:3]))
    for name, conduct in conducts.profiles():
        variant = conducts.scenario_under(scenario, conduct,
                                          os.path.join(build64, "e2e-twain-%s.json" % name))
        journal = os.path.join(build64, "e2e-twain-journal-%s.txt" % name)
        install_journalled(wine, installer, variant, journal)
        for bits, client in clients:
            lines = twain_run(wine, bits, client, "pixels", "pixels-" + name)
            if lines is not None:
                twain_pixels("conduct-%s-twain%s" % (name, bits), lines, reference, 3 * 6)
        found = conducts.breaches(journal)
        check(not found, "conduct-%s-twain-no-breach" % name, "; ".join(found[:3]))
    wine_manager_test(wine, installer, path, build64)


# Wine's own test of its manager (dlls/twain_32/tests/dsm.c), run plainly
# (the manager lists the sources, this one among them) and with
# WINETEST_INTERACTIVE=1 (it opens the default source, then the one picked
# in the manager's "Select Source" dialog, and negotiates its
# capabilities, DAT_IMAGELAYOUT's frame among them): the fewest checks each
# run makes when it reaches the source. None may fail.
WINE_DSM_RUNS = [("plain", {}, 10), ("interactive", {"WINETEST_INTERACTIVE": "1"}, 250)]


def wine_manager_test(wine, installer, scenario, build64):
    """Wine's own manager test against the data source, both runs, the
    interactive one through select_source (which answers the dialog as it
    appears, picking the source). Run as on Windows (WINETEST_PLATFORM):
    its todo_wine marks stand for what Wine's own sane.ds lacks
    (ICAP_PLANARCHUNKY, ICAP_BITORDER), which this source has. About 10 s."""
    build32 = os.path.join(os.path.dirname(build64), "win32")
    test = os.path.join(build32, "tests", "e2e", "wine_dsm_test.exe")
    answerer = os.path.join(build32, "tests", "e2e", "select_source.exe")
    missing = os.path.join(os.path.dirname(build64), "wine-source.missing")
    for name, settings, fewest in WINE_DSM_RUNS:
        row = "wine-dsm-test-" + name
        if not RUNS_32BIT:
            skip_32bit(row + " (Wine's manager test is a 32-bit program)")
            continue
        if os.path.exists(missing):
            with open(missing) as f:
                skip(row, f.read().strip())
            continue
        if not os.path.exists(test):
            check(False, row, "%s was not built: the win32 build found no dsm.c in build/wine-source "
                  "(scripts/setup fetches it; configure win32 again after)" % test)
            continue
        journal = os.path.join(build64, "e2e-wine-dsm-journal-%s.txt" % name)
        install_journalled(wine, installer, scenario, journal)
        saved = dict(wine.env)
        wine.env.update(settings, WINETEST_PLATFORM="windows")
        started = time.monotonic()
        try:
            result = wine.run(answerer, "stibridge", wine.windows_path(test), timeout=300)
        finally:
            wine.env = saved
        note("%s took %.1f s" % (row, time.monotonic() - started))
        summary = re.search(r"dsm: (\d+) tests executed \((\d+) marked as todo, (\d+) as flaky, "
                            r"(\d+) failures?\), (\d+) skipped", result.stdout)
        failed = [line.strip() for line in result.stdout.splitlines() if "Test failed" in line]
        executed = int(summary.group(1)) if summary else 0
        listed = "ProductName stibridge]" in result.stdout
        answered = "select-source: %d dialogs answered, 0 without the source" % (
            1 if name == "interactive" else 0)
        check(summary is not None and listed and executed >= fewest and not failed
              and summary.group(4) == "0" and result.returncode == 0
              and answered in result.stderr,
              "%s: %d checks, none failed" % (row, executed),
              "exit %s; %s; %s; failed: %s; %s" % (
                  result.returncode, summary.group(0) if summary else "no summary",
                  "stibridge listed" if listed else "stibridge not listed",
                  "; ".join(failed[:4]) or "none",
                  [line for line in result.stderr.splitlines() if "select-source" in line]))
        found = conducts.breaches(journal)
        check(not found, row + "-no-breach", "; ".join(found[:3]))
        check(wine.wait_for_no_process(5), row + "-server-quits", str(wine.processes()))


# The formats and transfers of the document checks, by stiscan's bitness:
# the 32-bit one (the data source's) every format from every transfer, the
# 64-bit one a few.
DOCUMENT_ROWS = {
    "32": [(transfer, fmt, []) for transfer in ("native", "memory", "file")
           for fmt in ("pdf", "tiff", "png", "jpeg", "bmp") if (transfer, fmt) != ("native", "bmp")]
    + [("native", "pdf", ["--jpeg-quality", "75"])],
    "64": [("memory", "bmp", []), ("file", "tiff", []), ("native", "pdf", []),
           ("memory", "tiff", [])],
}


def stiscan_checks(wine, server, installer, scenario, programs, work, pixels_tool):
    """stiscan, 32- and 64-bit, against the default simulated office: what it
    lists, what it pulls by each transfer, and its exit codes."""
    installed = wine.run(installer, wine.windows_path(scenario))
    check(installed.returncode == 0, "stiscan-scenario-installed", installed.stderr[-300:])
    for bits, program in programs:
        name = "stiscan%s-" % bits
        if bits == "32" and not RUNS_32BIT:
            skip_32bit(name + "commands (devices, jobs, pulls by every transfer and format, "
                       "exit codes, --version)")
            continue

        def run(*args):
            result = rerun_if_unreached(wine, name, args,
                                        lambda: wine.run(program, *args, timeout=120))
            return result.returncode, result.stdout.replace("\r", ""), result.stderr

        code, out, _, devices = run_json(run, "devices", "--json", otherwise=None)
        check(code == 0 and devices == [{"name": "Lab MFP", "family": 2},
                                        {"name": "Floor 2", "family": 0}],
              name + "devices", out[-300:])
        code, out, _, jobs = run_json(run, "jobs", "--device", "Lab MFP", "--json", otherwise=[])
        yours = [j["name"] for j in jobs if j.get("mayPreview")]
        check(code == 0 and len(jobs) == 7 and "scan0004.tif" not in yours and len(yours) == 5,
              name + "jobs", out[-300:])
        # The native transfer's BMP pages are the reference of every other
        # format and transfer.
        reference = os.path.join(work, "stiscan%s-native" % bits)
        shutil.rmtree(reference, ignore_errors=True)
        code, out, err, summary = run_json(run, "pull", "--device", "Lab MFP", "--format", "bmp",
                                           "--chunk", "65536", "--out",
                                           wine.windows_path(reference), "--json", otherwise={})
        files = sorted(os.listdir(reference)) if os.path.isdir(reference) else []
        check(code == 0 and summary.get("pages") == 8 and len(files) == 8
              and all(f.endswith(".bmp") for f in files),
              name + "pull-native", "exit %s %s %s %s" % (code, files, out[-200:], err[-200:]))
        identify = subprocess.run(["identify", "-format", "%f %w %h\n",
                                   *[os.path.join(reference, f) for f in files]],
                                  capture_output=True, text=True)
        check(identify.returncode == 0 and "scan0001-p1.bmp 248 350" in identify.stdout,
              name + "pull-native-decodes", identify.stdout[-300:] + identify.stderr[-300:])
        with ServicesKeeper(wine):
            stiscan_document_checks(wine, name, run, work, reference, DOCUMENT_ROWS[bits])
        for args, expected, what in [(["scan"], 2, "usage"),
                                     (["jobs", "--device", "Nowhere"], 3, "no-device"),
                                     (["pull", "--device", "Lab MFP", "--job", "scan0004.tif"], 4,
                                      "access-denied"),
                                     (["jobs"], 2, "several-devices")]:
            code, _, err = run(*args)
            lines = failure_lines(err)
            check(code == expected and len(lines) == 1 and lines[0].startswith("stiscan: "),
                  name + "exit-" + what, "exit %s: %s" % (code, err[-300:]))
        # --version: stiscan's and the registered server's, read from the
        # file LocalServer32 names (the build's own, so the same), then
        # without a registered server.
        code, out, _ = run("--version")
        with open(os.path.join(os.path.dirname(server), "..", "version.txt")) as f:
            version = f.read().strip()
        check(code == 0 and out == "stiscan %s\nserver %s (%s)\n"
              % (version, version, wine.windows_path(server)), name + "version", repr(out))
        wine.run(server, "/UnregServer")
        code, out, _ = run("--version")
        check(code == 5 and out.startswith("stiscan %s\nserver not registered" % version),
              name + "version-not-registered", "exit %s: %r" % (code, out))
        code, _, err = run("devices")
        check(code == 5 and "0x80040154" in err, name + "exit-not-registered",
              "exit %s: %s" % (code, err[-300:]))
        wine.run(server, "/RegServer")
        check(wine.wait_for_no_process(5), name + "server-quits", str(wine.processes()))
    guarded(wine, stiscan_unicode_checks,
            installer, dict(programs), work)
    guarded(wine, stiscan_commit_checks,
            installer, dict(programs), work)
    if not RUNS_32BIT:
        for part in ("killed-server", "a4-bw-compression", "watch", "big-job"):
            skip_32bit("stiscan32-%s (the 32-bit stiscan's checks)" % part)
        wine.run(installer, wine.windows_path(scenario))
        return
    guarded(wine, stiscan_killed_server_checks,
            installer, dict(programs)["32"], work, scenario)
    with ServicesKeeper(wine):
        guarded(wine, stiscan_compression_checks,
                installer, dict(programs)["32"], work)
        guarded(wine, stiscan_watch_checks,
                dict(programs)["32"], work)
    guarded(wine, stiscan_big_job_checks,
            installer, dict(programs)["32"], work, pixels_tool)
    check(wine.wait_for_no_process(5), "stiscan-watch-server-quits", str(wine.processes()))
    wine.run(installer, wine.windows_path(scenario))


def run_json(run, *args, otherwise):
    """run(*args) for a command whose output is JSON (stiscan --json): its
    exit code, output and errors, and the output read, or `otherwise` when
    it is no JSON."""
    code, out, err = run(*args)
    try:
        return code, out, err, json.loads(out)
    except ValueError:
        return code, out, err, otherwise


def failure_lines(err):
    """stiscan's lines on standard error but its notes that it asked a server
    that had just ended again and was answered."""
    return [line for line in err.replace("\r", "").splitlines()
            if line and "a new one answered after" not in line]


# The locales of the Unicode checks, and the bitness of stiscan each runs:
# under code page 932 the 144 kanji of a job's name make 288 bytes, which the
# server cannot hand the driver (it answers S_FALSE), under 1252 they make
# 144 question marks, which it can.
UNICODE_LOCALES = [("ja_JP.UTF-8", "932", "32"), ("de_DE.UTF-8", "850", "64")]


def char_columns(c):
    if unicodedata.category(c) in ("Mn", "Me", "Cf"):
        return 0
    return 2 if unicodedata.east_asian_width(c) in ("W", "F") else 1


def cells_by_column(line):
    """The characters of a line of text output with the terminal column each
    starts at."""
    out, column = [], 0
    for c in line:
        out.append((column, c))
        column += char_columns(c)
    return out


def column_of(line, text):
    """The terminal column at which the last `text` in `line` starts, or None."""
    at = line.rfind(text)
    return None if at < 0 else sum(char_columns(c) for c in line[:at])


def cell_text(line, first, end):
    return "".join(c for column, c in cells_by_column(line) if first <= column < end).rstrip()


def shows(cell, name):
    """Whether a table cell shows `name`: whole, or cut at a whole character
    with an ellipsis."""
    return cell == name or (cell.endswith("\u2026") and name.startswith(cell[:-1]))


def expected_page_files(jobs):
    """The page files a pull of the Unicode scenario writes, by job: the
    rule of `stiscan pull --help`, written out for each name."""
    names = [job["itemName"] for job in jobs]
    kanji, latin = names[2], names[6]
    return {
        names[0]: ["Bestell\u00fcbersicht-Gr\u00fc\u00dfe-p1.bmp",
                   "Bestell\u00fcbersicht-Gr\u00fc\u00dfe-p2.bmp"],
        names[1]: ["\u898b\u7a4d\u66f8-\u5831\u544a\u2026-p1.bmp"],
        # 255 bytes of UTF-8 at most: 82 kanji (246 bytes) and "-p1.bmp".
        kanji: [kanji[:82] + "-p1.bmp"],
        names[3]: ["a_b_c_d_e_-p1.bmp"],
        # The same file name as the job before: the next copy.
        names[4]: ["a_b_c_d_e_ (2)-p1.bmp"],
        names[5]: ["_COM1.scan-p1.bmp"],
        # 255 UTF-16 units at most: 248 letters and "-p1.bmp".
        latin: [latin[:248] + "-p1.bmp"],
    }


def console_output(env, program, *args):
    """What a program writes to a console (Wine makes one on a terminal),
    its control sequences left out."""
    pid, fd = pty.fork()
    if pid == 0:
        command = Wine.command(program, *args)
        os.execve(command[0], command, env)
    # Read until the program has ended and its output is drained: a process
    # it started (a Wine service) may keep the terminal open after it.
    output, ended, deadline = b"", False, time.monotonic() + 120
    while time.monotonic() < deadline:
        readable, _, _ = select.select([fd], [], [], 0.2)
        data = b""
        if readable:
            try:
                data = os.read(fd, 4096)
            except OSError:
                data = b""
            output += data
        if not ended:
            ended = os.waitpid(pid, os.WNOHANG)[0] != 0
        elif not data:
            break
    if not ended:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    os.close(fd)
    text = output.decode("utf-8", errors="replace")
    return re.sub(r"\x1b\[[0-9;?]*[A-Za-z]|\x1b\][^\x07]*\x07", "", text)


def stiscan_unicode_checks(wine, installer, programs, work):
    """stiscan in the prefix under a Japanese and a German locale, against a
    scanner and jobs whose names hold what users of both give them."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios", "unicode.json")
    with open(path, encoding="utf-8") as f:
        device = json.load(f)["devices"][0]
    installed = wine.run(installer, wine.windows_path(path))
    check(installed.returncode == 0, "stiscan-unicode-scenario-installed", installed.stderr[-300:])

    for locale, oem_code_page, bits in UNICODE_LOCALES:
        name = "stiscan%s-%s-" % (bits, locale.split(".")[0])
        if bits == "32" and not RUNS_32BIT:
            skip_32bit(name + "checks (the 32-bit stiscan under this locale)")
            continue
        # Every process of the prefix in that locale, the server included.
        wine.stop()
        env = dict(wine.env, LANG=locale, LC_ALL=locale)
        with ServicesKeeper(wine, env):
            stiscan_in_locale(wine, name, env, programs[bits], oem_code_page, device, work)
    # The checks after these run in the default locale again.
    wine.stop()


def stiscan_in_locale(wine, name, env, program, oem_code_page, device, work):
    """The Unicode checks in one locale (see stiscan_unicode_checks)."""
    jobs = device["jobs"]
    names = [job["itemName"] for job in jobs]
    kanji = names[2]

    def run(*args):
        result = rerun_if_unreached(wine, name, args, lambda: subprocess.run(
            Wine.command(program, *args), env=env, capture_output=True, timeout=120))
        try:
            out = result.stdout.decode("utf-8").replace("\r", "")
        except UnicodeDecodeError as error:
            out = "not UTF-8: %s" % error
        return result.returncode, out, result.stderr.decode("utf-8", errors="replace")

    # The console's code page is the locale's OEM one (437 without a locale).
    chcp = console_output(env, "cmd", "/c", "chcp")
    check(oem_code_page in chcp, name + "prefix-locale", repr(chcp[-200:]))

    code, out, err, listed = run_json(run, "devices", "--json", otherwise=None)
    check(code == 0 and listed == [{"name": device["localName"], "family": 2}],
          name + "devices-json", out[-300:] + err[-300:])
    code, out, err = run("devices")
    check(code == 0 and out.startswith(device["localName"] + "  family 2"),
          name + "devices-text", out[-300:] + err[-300:])

    # The name as typed, whatever the ANSI code page holds.
    code, out, err, listed = run_json(run, "jobs", "--device", device["localName"], "--json",
                                      otherwise=[])
    check(code == 0 and [j["name"] for j in listed] == names
          and [j["document"] for j in listed] == [job["documentName"] for job in jobs]
          and all(j["yours"] for j in listed),
          name + "jobs-json-names-as-stored", out[-400:] + err[-300:])

    # Columns in line by display width; long names cut at a character.
    code, out, err = run("jobs", "--device", device["localName"])
    rows = out.splitlines()
    documents = [job["documentName"].replace("\0", "\ufffd") for job in jobs]
    starts = [column_of(row, text) for row, text in zip(rows, ["document"] + documents)]
    name_cells = [cell_text(row, 4, starts[0] - 1) for row in rows[1:]]
    check(code == 0 and len(rows) == len(jobs) + 1 and len(set(starts)) == 1
          and None not in starts and all(shows(cell, n) for cell, n in zip(name_cells, names)),
          name + "jobs-text-aligned", "document columns %s; names %s; %s" %
          (starts, name_cells, err[-300:]))

    folder = os.path.join(work, name + "pull")
    shutil.rmtree(folder, ignore_errors=True)
    code, out, err, summary = run_json(run, "pull", "--device", device["localName"], "--all",
                                       "--format", "bmp", "--out", wine.windows_path(folder),
                                       "--json", otherwise={})
    expected = expected_page_files(jobs)
    refused = [kanji] if oem_code_page == "932" else []
    wanted = sorted(f for job, files in expected.items() if job not in refused for f in files)
    files = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
    check(code == (6 if refused else 0) and files == wanted
          and sorted(os.path.basename(f.replace("\\", "/")) for f in summary.get("files", []))
          == wanted and summary.get("failedJobs") == refused
          and summary.get("jobs") == len(jobs) - len(refused),
          name + "pull-all-names-kept", "exit %s files %s summary %s %s" %
          (code, files, out[-300:], err[-400:]))
    failures = failure_lines(err)
    check(len(failures) == len(refused) and all(
        "\"%s\"" % kanji in line and "S_FALSE" in line and "ANSI code page" in line
        for line in failures),
          name + "pull-refused-job-reported", err[-600:])
    identify = subprocess.run(["identify", "-format", "%w %h\n",
                               *[os.path.join(folder, f) for f in files]],
                              capture_output=True, text=True)
    sizes = identify.stdout.split("\n")[:-1]
    wanted_sizes = ["%d %d" % (job["width"], job["height"]) for job in jobs
                    if job["itemName"] not in refused for _ in expected[job["itemName"]]]
    check(identify.returncode == 0 and sorted(sizes) == sorted(wanted_sizes),
          name + "pull-pages-decode", identify.stdout[-300:] + identify.stderr[-300:])

    if oem_code_page == "932":
        # A job by its name, which code page 932 cannot hold.
        single = os.path.join(work, name + "job-by-name")
        shutil.rmtree(single, ignore_errors=True)
        code, out, err = run("pull", "--device", device["localName"], "--format", "bmp",
                             "--job", names[0],
                             "--out", wine.windows_path(single))
        files = sorted(os.listdir(single)) if os.path.isdir(single) else []
        check(code == 0 and files == expected[names[0]], name + "pull-job-by-name",
              "exit %s files %s %s" % (code, files, err[-300:]))
        # A folder in which no file can be made (a directory of Linux's /proc,
        # as Wine shows it): every job is attempted, and each file's failure is
        # told in the system's words (Japanese ones here), not the scanner's.
        code, out, err = run("pull", "--device", device["localName"], "--format", "bmp",
                             "--out", "Z:\\proc\\self")
        lines = failure_lines(err)
        file_lines = [line for line in lines if "could not be made: 0x80070002 (" in line]
        check(code == 6 and len(lines) == len(jobs) and len(file_lines) == len(jobs) - 1
              and not any("scanner" in line for line in file_lines),
              name + "pull-file-failures-told-as-such", "exit %s %s" % (code, err[-900:]))
        # A console gets UTF-16, which it shows in any code page.
        shown = console_output(env, program, "devices")
        check(device["localName"].split()[0] in shown, name + "devices-on-a-console",
              repr(shown[-300:]))
    else:
        # A second pull into the same folder keeps every file of the first.
        before = {f: os.path.getsize(os.path.join(folder, f)) for f in os.listdir(folder)}
        code, out, err = run("pull", "--device", device["localName"], "--format", "bmp", "--out",
                             wine.windows_path(folder), "--json")
        after = {f: os.path.getsize(os.path.join(folder, f)) for f in os.listdir(folder)}
        kept = all(after.get(f) == size for f, size in before.items())
        check(code == 0 and kept and len(after) == 2 * len(before)
              and "a_b_c_d_e_ (3)-p1.bmp" in after and "_COM1.scan (2)-p1.bmp" in after,
              name + "pull-again-overwrites-nothing",
              "exit %s new %s %s" % (code, sorted(set(after) - set(before)), err[-300:]))


def stiscan_killed_server_checks(wine, installer, program, work, scenario):
    """A pull whose server is killed during the second page of a job: the
    job is reported, its first page removed, nothing half written is left,
    the pull asks COM for a new server and says so, and the next command is
    served. Wine's COM keeps handing out a killed server's class object for
    as long as a process of the prefix runs, so the pull itself, which keeps
    the prefix up, reaches no new server (on Windows it would go on with the
    next job); once it has ended, the prefix's next command is served."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios",
                        "killed-server.json")
    installed = wine.run(installer, wine.windows_path(path))
    check(installed.returncode == 0, "stiscan-killed-scenario-installed", installed.stderr[-300:])
    folder = os.path.join(work, "stiscan-killed")
    shutil.rmtree(folder, ignore_errors=True)
    pull = subprocess.Popen(wine.command(program, "pull", "--format", "bmp", "--out",
                             wine.windows_path(folder), "--json"),
                            env=wine.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, errors="replace")
    # The first page's file is written (under its temporary name: a job's
    # files take their names when all of them are there) as the second is read.
    deadline = time.monotonic() + 120
    while pull.poll() is None and time.monotonic() < deadline and not (
            os.path.isdir(folder) and any(f.endswith(".partial") for f in os.listdir(folder))):
        time.sleep(0.02)
    servers = wine.processes()
    for pid in servers:
        os.kill(pid, signal.SIGKILL)
    out, err = wine.finished(pull, 120)
    ended = time.monotonic()
    try:
        summary = json.loads(out)
    except ValueError:
        summary = {}
    files = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
    check(len(servers) == 1 and pull.returncode == 6 and "big.tif" in summary.get("failedJobs", []),
          "stiscan-killed-server-exit-6", "servers %s exit %s %s %s" %
          (servers, pull.returncode, out[-300:], err[-400:]))
    check(not any(f.startswith("big") or f.endswith(".partial") for f in files),
          "stiscan-killed-server-nothing-partial", str(files))
    lines = failure_lines(err)
    check(any("page 2 of \"big.tif\"" in line and "its 1 file already written was removed" in line
              for line in lines) and any("asked 5 times" in line for line in lines),
          "stiscan-killed-server-reported-and-retried", err[-600:])
    started = time.monotonic()
    served = wine.run(program, "jobs", "--json", timeout=120)
    try:
        listed = [j["name"] for j in json.loads(served.stdout)]
    except ValueError:
        listed = []
    check(started - ended < 2 and served.returncode == 0 and listed == ["big.tif", "small.tif"]
          and wine.wait_for_no_process(10), "stiscan-killed-server-next-command-served", "after %.1f s: exit %s %s %s" %
          (started - ended, served.returncode, served.stdout[-200:], served.stderr[-300:]))
    # The scenario is the office's again.
    wine.run(installer, wine.windows_path(scenario))


# --- documents: what a standard tool reads in the files stiscan writes ---

# The formats of a pull: the extension, whether a job makes one document (else
# a file per page), and whether the pixels are kept exactly.
FORMATS = {"pdf": (".pdf", True, True), "tiff": (".tif", True, True), "png": (".png", False, True),
           "jpeg": (".jpg", False, False), "bmp": (".bmp", False, True)}
# JPEG's pages against the BMP's (quality 90 by default): at least this PSNR.
LEAST_JPEG_PSNR = 27.0


def tool(*args):
    return subprocess.run(list(args), capture_output=True, text=True, errors="replace")


def kind_of(image_type):
    """ImageMagick's type of a page as the scanner's kind of page."""
    return {"Bilevel": "bw", "Grayscale": "grey", "GrayscaleAlpha": "grey"}.get(image_type,
                                                                                "colour")


def png_bits(path):
    """A PNG's bits per pixel from its header (ImageMagick reports 8 for 1)."""
    with open(path, "rb") as f:
        header = f.read(26)
    return header[24] * {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}.get(header[25], 1)


def pixels_of(spec):
    """The page's pixels as 8-bit RGB, as ImageMagick decodes them."""
    result = subprocess.run(["convert", spec, "-depth", "8", "rgb:-"], capture_output=True)
    return result.stdout if result.returncode == 0 else None


def raster_pages(path):
    """Every frame of a raster file: size, kind, bits per pixel, resolution
    (dpi) and compression as ImageMagick reads them."""
    result = tool("identify", "-units", "PixelsPerInch", "-format",
                  "%w %h %[type] %z %x %y %C\n", path)
    pages = []
    for n, line in enumerate(result.stdout.splitlines()):
        width, height, image_type, depth, x, y, compression = line.split()
        kind = kind_of(image_type)
        bits = int(depth) * (3 if kind == "colour" else 1)
        if path.endswith(".png"):
            bits = png_bits(path)
        pages.append({"width": int(width), "height": int(height), "kind": kind, "bits": bits,
                      "dpi": (round(float(x)), round(float(y))), "compression": compression,
                      "spec": "%s[%d]" % (path, n)})
    return pages if result.returncode == 0 else []


def tiff_frames(path):
    """Every frame of a TIFF as its directories state it: size, kind, bits per
    pixel and resolution (dpi). Read here rather than by ImageMagick, whose
    Debian policy (1 GiB of disk cache) refuses a file over a gigabyte whole;
    one frame ("file.tif[n]") it still decodes, which is how the pixels are
    compared."""
    with open(path, "rb") as f:
        order = {b"II": "<", b"MM": ">"}.get(f.read(2))
        if order is None or struct.unpack(order + "H", f.read(2))[0] != 42:
            return []
        offset, = struct.unpack(order + "I", f.read(4))
        # The numeric field types: byte, short, long, rational (two longs).
        formats = {1: "B", 3: "H", 4: "I", 5: "II"}
        frames = []
        while offset and len(frames) < 100000:
            f.seek(offset)
            count, = struct.unpack(order + "H", f.read(2))
            tags = {}
            for _ in range(count):
                tag, kind, n, value = struct.unpack(order + "HHI4s", f.read(12))
                if kind not in formats:
                    continue
                layout = order + formats[kind] * n
                size = struct.calcsize(layout)
                data = value
                if size > 4:
                    here = f.tell()
                    f.seek(struct.unpack(order + "I", value)[0])
                    data = f.read(size)
                    f.seek(here)
                values = struct.unpack(layout, data[:size])
                tags[tag] = list(zip(values[::2], values[1::2])) if kind == 5 else list(values)
            offset, = struct.unpack(order + "I", f.read(4))
            samples = tags.get(277, [1])[0]
            bits = sum(tags.get(258, [1])[:samples])
            unit = {2: 1.0, 3: 2.54}.get(tags.get(296, [2])[0], 0.0)

            def dpi(tag):
                number, denominator = tags.get(tag, [(0, 1)])[0]
                return round(number / denominator * unit) if denominator else 0
            frames.append({"width": tags.get(256, [0])[0], "height": tags.get(257, [0])[0],
                           "kind": "colour" if samples >= 3 else ("bw" if bits == 1 else "grey"),
                           "bits": bits, "dpi": (dpi(282), dpi(283)),
                           "spec": "%s[%d]" % (path, len(frames))})
        return frames


def pdf_pages(path, scratch, only=None):
    """Every page of a PDF: its image (size, kind, bits, resolution, whether
    it is DCT), the page's size in points, and the image taken out as it is
    stored (pdfimages), so that its pixels can be compared; with `only`, the
    images of those pages (numbered from 0) alone are taken out."""
    info = tool("pdfinfo", "-f", "1", "-l", "9999", path)
    sizes = [tuple(float(v) for v in re.findall(r"size:\s+([\d.]+) x ([\d.]+)", line)[0])
             for line in info.stdout.splitlines() if re.match(r"Page\s+\d+ size:", line)]
    listing = tool("pdfimages", "-list", path).stdout.splitlines()[2:]
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    if only is None:
        tool("pdfimages", "-png", path, os.path.join(scratch, "image"))
        images = [os.path.join(scratch, name) for name in sorted(os.listdir(scratch))]
    else:
        images = [""] * len(listing)
        for n in only:
            root = os.path.join(scratch, "page%d" % n)
            tool("pdfimages", "-png", "-f", str(n + 1), "-l", str(n + 1), path, root)
            taken = [name for name in os.listdir(scratch) if name.startswith("page%d-" % n)]
            images[n] = os.path.join(scratch, taken[0]) if len(taken) == 1 else ""
    pages = []
    for n, line in enumerate(listing):
        cells = line.split()
        width, height, colour, bpc, encoding = int(cells[3]), int(cells[4]), cells[5], \
            int(cells[7]), cells[8]
        kind = "colour" if colour == "rgb" else "bw" if bpc == 1 else "grey"
        pages.append({"width": width, "height": height, "kind": kind,
                      "bits": bpc * (3 if kind == "colour" else 1),
                      "dpi": (round(float(cells[12])), round(float(cells[13]))),
                      "dct": encoding == "jpeg", "points": sizes[n] if n < len(sizes) else None,
                      "spec": images[n] if n < len(images) else ""})
    return pages if info.returncode == 0 and len(pages) == len(sizes) else []


def pulled_pages(folder, fmt, scratch, per_job=None):
    """The pages of every job in a pull's folder, by job, as the standard
    tools read them; None for a folder that holds files of another kind.
    `per_job` False reads a file per page whatever the format (the driver's
    own files of a file transfer)."""
    extension, document, _ = FORMATS[fmt]
    per_job = document if per_job is None else per_job
    jobs = {}
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if not name.endswith(extension):
            return None
        stem = name[:-len(extension)]
        if per_job:
            jobs[stem] = pdf_pages(path, os.path.join(scratch, stem)) if fmt == "pdf" \
                else raster_pages(path)
        else:
            job, _, page = stem.rpartition("-p")
            jobs.setdefault(job, []).append((int(page), raster_pages(path)))
    if not per_job:
        jobs = {job: [p for _, frames in sorted(pages) for p in frames]
                for job, pages in jobs.items()}
    return jobs


def psnr(reference, spec):
    result = tool("compare", "-metric", "PSNR", reference, spec, "null:")
    try:
        return float(result.stderr.split()[0])
    except (ValueError, IndexError):
        return 0.0


def document_problems(reference, pulled, fmt, lossy=False):
    """How the pages of a pull differ from the BMP pages of the same jobs
    (`reference`, as pulled_pages gives them): page count, size, kind,
    depth, resolution, pixels (equal, or close for JPEG), and a PDF's page
    size."""
    problems = []
    if pulled is None:
        return ["files of another kind in the folder"]
    if sorted(pulled) != sorted(reference):
        return ["jobs %s, expected %s" % (sorted(pulled), sorted(reference))]
    for job, pages in sorted(pulled.items()):
        if len(pages) != len(reference[job]):
            problems.append("%s: %d pages, expected %d" % (job, len(pages), len(reference[job])))
            continue
        for n, (page, expected) in enumerate(zip(pages, reference[job]), 1):
            where = "%s page %d" % (job, n)
            # JPEG has no 1 bit: black and white goes in as grey.
            kind = "grey" if fmt == "jpeg" and expected["kind"] == "bw" else expected["kind"]
            bits = {"bw": 1, "grey": 8, "colour": 24}[kind]
            got = (page["width"], page["height"], page["kind"], page["bits"], page["dpi"])
            want = (expected["width"], expected["height"], kind, bits, expected["dpi"])
            if got != want:
                problems.append("%s: %s, expected %s" % (where, got, want))
                continue
            if page.get("points") and any(abs(p - size / dpi * 72) > 0.05 for p, size, dpi in
                                          zip(page["points"], want[:2], want[4])):
                problems.append("%s: page of %s points" % (where, page["points"]))
            if lossy or fmt == "jpeg" or page.get("dct"):
                quality = psnr(expected["spec"], page["spec"])
                if quality < LEAST_JPEG_PSNR:
                    problems.append("%s: PSNR %.1f dB" % (where, quality))
            elif pixels_of(page["spec"]) != pixels_of(expected["spec"]):
                problems.append("%s: other pixels than the BMP's" % where)
    return problems


def stiscan_document_checks(wine, name, run, work, reference, rows):
    """Every format from every transfer: each job's pages, as the standard
    tools read them, equal the BMP pages of the native transfer (`reference`
    folder); a PDF also renders (pdftoppm) at its page's size."""
    scratch = os.path.join(work, name + "scratch")
    expected = pulled_pages(reference, "bmp", os.path.join(scratch, "reference"))
    for transfer, fmt, extra in rows:
        row = "%sdocuments-%s-%s%s" % (name, transfer, fmt, "".join(extra).replace("--", "-"))
        folder = os.path.join(work, row)
        shutil.rmtree(folder, ignore_errors=True)
        code, out, err, summary = run_json(run, "pull", "--device", "Lab MFP", "--transfer",
                                           transfer, "--format", fmt, "--out",
                                           wine.windows_path(folder), "--json", *extra,
                                           otherwise={})
        if code != 0 or summary.get("pages") != 8:
            check(False, row, "exit %s %s %s" % (code, out[-200:], err[-300:]))
            continue
        # A file transfer's BMP and TIFF are the driver's own files, written
        # as it delivered them: a file per page.
        driver_files = transfer == "file" and fmt in ("bmp", "tiff")
        pulled = pulled_pages(folder, fmt, os.path.join(scratch, row),
                              per_job=False if driver_files else None)
        problems = document_problems(expected, pulled, fmt)
        if fmt == "pdf" and not problems:
            first = os.path.join(folder, sorted(os.listdir(folder))[0])
            page = pulled[os.path.basename(first)[:-4]][0]
            rendered = tool("pdftoppm", "-r", str(page["dpi"][0]), "-f", "1", "-l", "1", "-png",
                            first, os.path.join(scratch, row + "-rendered"))
            size = [(p["width"], p["height"]) for p in
                    raster_pages(os.path.join(scratch, row + "-rendered-1.png"))]
            if rendered.returncode != 0 or size != [(page["width"], page["height"])]:
                problems.append("pdftoppm renders %s" % size)
        if fmt == "pdf" and "--jpeg-quality" in extra:
            # DCT for grey and colour; black and white stays 1-bit Flate.
            dct = {(p["kind"], p["dct"]) for pages in pulled.values() for p in pages}
            if dct != {("bw", False), ("grey", True), ("colour", True)}:
                problems.append("DCT by kind: %s" % sorted(dct))
        check(not problems, row, "; ".join(problems[:6]))


def stiscan_compression_checks(wine, installer, program, work):
    """The A4 black-and-white page of the simulator's pattern: its PDF at
    most a twentieth of its BMP; its TIFF as the TIFF encoder compresses it
    (CCITT G4 asked for; Wine's encoder writes it uncompressed)."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios",
                        "documents.json")
    installed = wine.run(installer, wine.windows_path(path))
    check(installed.returncode == 0, "stiscan-documents-scenario-installed", installed.stderr[-300:])
    sizes = {}
    for fmt in ["bmp", "pdf", "tiff"]:
        folder = os.path.join(work, "stiscan-a4-bw-" + fmt)
        shutil.rmtree(folder, ignore_errors=True)
        result = wine.run(program, "pull", "--job", "a4-bw.tif", "--format", fmt, "--out",
                          wine.windows_path(folder), timeout=300)
        files = os.listdir(folder) if os.path.isdir(folder) else []
        sizes[fmt] = os.path.getsize(os.path.join(folder, files[0])) if result.returncode == 0 \
            and len(files) == 1 else None
        if fmt == "tiff" and sizes[fmt]:
            frames = raster_pages(os.path.join(folder, files[0]))
            compression = frames[0]["compression"] if frames else "unreadable"
    check(None not in sizes.values() and sizes["pdf"] * 20 <= sizes["bmp"],
          "stiscan-a4-bw-pdf-a-twentieth-of-the-bmp", str(sizes))
    note("A4 black and white at 300 dpi: BMP %s bytes, PDF %s, TIFF %s (the TIFF's "
         "compression: %s%s)" % (sizes["bmp"], sizes["pdf"], sizes["tiff"], compression,
                                 "; Wine's encoder takes the option and ignores it"
                                 if compression == "None" else ""))
    check(compression in ("Group4", "Fax", "LZW", "Zip", "None"),
          "stiscan-a4-bw-tiff-decodes", compression)


def watch(wine, program, folder, *args, stop_when=None):
    """stiscan watch --pull into `folder`; with `stop_when`, Ctrl+C (SIGINT,
    which Wine hands the program as CTRL_C_EVENT) as soon as a line of its
    output holds that text. Its exit code, output and errors."""
    process = subprocess.Popen(wine.command(program, "watch", "--pull", "--device", "Desk MFP",
                                "--out", wine.windows_path(folder), *args),
                               env=wine.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, errors="replace")
    out = ""
    if stop_when is not None:
        deadline = time.monotonic() + 120
        while stop_when not in out and process.poll() is None and time.monotonic() < deadline:
            ready, _, _ = select.select([process.stdout], [], [], 1)
            if ready:
                out += process.stdout.readline()
        process.send_signal(signal.SIGINT)
    rest, err = wine.finished(process, 180)
    return process.returncode, (out + rest).replace("\r", ""), err.replace("\r", "")


def folder_state(folder):
    return {name: os.stat(os.path.join(folder, name)).st_mtime_ns
            for name in sorted(os.listdir(folder))} if os.path.isdir(folder) else {}


def pulled_list(folder):
    try:
        with open(os.path.join(folder, "stiscan-pulled.txt"), encoding="utf-8") as f:
            return sorted(line.split("\t", 1)[1] for line in f.read().splitlines()
                          if line and not line.startswith("#"))
    except (OSError, IndexError):
        return None


def stiscan_watch_checks(wine, program, work):
    """watch --pull as a scan-to-folder, on the documents scenario (installed
    by the compression checks): stopped by Ctrl+C in the middle of the large
    job, which leaves no file of it; started again, it pulls that job whole
    and the two that are scanned while it runs, once each; started once more,
    it pulls nothing."""
    folder = os.path.join(work, "stiscan-watch")
    shutil.rmtree(folder, ignore_errors=True)
    # Stopped as the large job's first page is written, in the read of its
    # second (each of its pages takes a good part of a second): the page
    # written goes again.
    code, out, err = watch(wine, program, folder, "--format", "bmp",
                           stop_when="a4-colour.tif page 1\n")
    files = sorted(folder_state(folder))
    check(code == 0 and files == ["a4-bw-p1.bmp", "stiscan-pulled.txt"]
          and pulled_list(folder) == ["a4-bw.tif"] and "Pulled 1 job (1 page)" in out
          and re.search(r"\(the pull was stopped\); its \d+ files? already written w\w+ removed",
                        err) is not None,
          "stiscan-watch-ctrl-c-mid-job-leaves-no-file", "exit %s %s: %s %s" %
          (code, files, out[-400:], err[-400:]))

    # Started again, with the user's delete-after-scan option on and beside
    # a plain watch of the same scanner, which takes its share of the
    # "JobEnded" signals. What the watch deletes outlives the server (the
    # scenario keeps its deletions): the server may be gone by the time the
    # jobs are listed, as the watch's output is held until the server that
    # inherited it quits, when the watch was the one that started it.
    wine.reg("add", "HKCU\\Software\\StibridgeE2E\\Desk", "/v", "ann_DeleteImageOnScan",
             "/t", "REG_DWORD", "/d", "1", "/f")
    # The watch's window is for the 32-bit stiscan's work (the colour job,
    # written and flushed, then the two late ones): PACE times as long where
    # that is emulated; the plain watch outlives it.
    beside = subprocess.Popen(wine.command(program, "watch", "--device", "Desk MFP", "--seconds",
                                           str(22 * PACE)),
                              env=wine.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, errors="replace")
    started = time.monotonic()
    code, out, err = watch(wine, program, folder, "--format", "bmp", "--seconds", str(16 * PACE),
                           "--delete", "--profile", "ann")
    left = wine.run(program, "jobs", "--device", "Desk MFP", "--json", timeout=120)
    try:
        left = [job["name"] for job in json.loads(left.stdout)]
    except ValueError:
        left = left.stdout[-300:] + left.stderr[-300:]
    signals, _ = wine.finished(beside, 60)
    wine.reg("delete", "HKCU\\Software\\StibridgeE2E\\Desk", "/f")
    files = sorted(folder_state(folder))
    expected = ["a4-bw-p1.bmp"] + ["a4-colour-p%d.bmp" % n for n in range(1, 5)] + \
        ["late-1-p1.bmp", "late-2-p1.bmp", "late-2-p2.bmp", "stiscan-pulled.txt"]
    identify = tool("identify", "-format", "%f %w %h\n",
                    *[os.path.join(folder, f) for f in files if f.endswith(".bmp")])
    check(code == 0 and files == expected and identify.returncode == 0
          and pulled_list(folder) == ["a4-bw.tif", "a4-colour.tif", "late-1.tif", "late-2.tif"]
          and "Pulled 3 jobs (7 pages)" in out,
          "stiscan-watch-pulls-what-arrives-once", "exit %s after %.0f s %s: %s %s" %
          (code, time.monotonic() - started, files, out[-600:], err[-400:]))
    # What came over whole is deleted from the scanner, as a data source
    # does when the user's option is on; the job pulled before stays.
    check(left == ["a4-bw.tif"] and signals.count("ItemDeleted") >= 1,
          "stiscan-watch-deletes-what-it-pulled", "left %s; %s" % (left, signals[-400:]))

    before = folder_state(folder)
    code, out, err = watch(wine, program, folder, "--format", "bmp", "--seconds", str(9 * PACE))
    check(code == 0 and folder_state(folder) == before and "Pulled 0 jobs" in out,
          "stiscan-watch-restart-pulls-nothing-twice", "exit %s %s: %s %s" %
          (code, sorted(folder_state(folder)), out[-400:], err[-400:]))


# --- the commit step: a job's files on the disk before anything is deleted ---

def pending_deletions(folder):
    """The jobs the folder's list holds as pulled, deletion pending."""
    try:
        with open(os.path.join(folder, "stiscan-pulled.txt"), encoding="utf-8-sig") as f:
            return sorted(line.split("\t")[2] for line in f.read().splitlines()
                          if line.startswith("#deletion pending\t"))
    except (OSError, IndexError):
        return None


def deletions_done(journal):
    """The DeleteItem escapes the driver answered S_OK, by the journal."""
    try:
        with open(journal, errors="replace") as f:
            return sum(1 for line in f if " name=DeleteItem " in line
                       and line.rstrip().endswith("result=0x00000000"))
    except OSError:
        return 0


def listed_jobs(wine, program, device):
    result = wine.run(program, "jobs", "--device", device, "--json", timeout=120)
    try:
        return [job["name"] for job in json.loads(result.stdout)]
    except ValueError:
        return result.stdout[-300:] + result.stderr[-300:]


def stiscan_commit_checks(wine, installer, programs, work):
    """The commit step of stiscan pull and watch --pull on the commit
    scenario, whose deletions outlive the server (as on a scanner): one copy
    number per job, device names on documents, a job not ready, a disk that
    fills up during a pull that deletes, a watch that cannot watch, two
    watches of one folder, and a watch stopped by Ctrl+C and then by a lost
    server, started again. With the 32-bit stiscan; where no 32-bit program
    runs, with the 64-bit one."""
    bits = "32" if RUNS_32BIT else "64"
    if not RUNS_32BIT:
        note("the commit rows run with the 64-bit stiscan: %s" % NO_32BIT)
    program = programs[bits]
    name = "stiscan%s-" % bits
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios", "commit.json")
    journal = os.path.join(work, "e2e-commit-journal.txt")
    installed = install_journalled(wine, installer, path, journal)
    check(installed.returncode == 0, "stiscan-commit-scenario-installed", installed.stderr[-300:])

    def run(*args):
        result = rerun_if_unreached(wine, name, args,
                                    lambda: wine.run(program, *args, timeout=120))
        return result.returncode, result.stdout.replace("\r", ""), result.stderr.replace("\r", "")

    with ServicesKeeper(wine):
        stiscan_commit_names(wine, name, run, work)
        stiscan_commit_names_refused(wine, name, run, work)
        stiscan_commit_flush_traced(wine, name, run, program, work, journal)
        stiscan_commit_pending(wine, name, run, work, journal)
        stiscan_commit_disk_full(wine, name, run, program, work, installer, path, journal)
        stiscan_commit_watchers(wine, name, run, program, work)
    stiscan_commit_watch_stopped(wine, name, program, work, journal)
    stiscan_commit_leftovers(wine, name, program, work)


def stiscan_commit_names(wine, name, run, work):
    folder = os.path.join(work, name + "commit-names")
    shutil.rmtree(folder, ignore_errors=True)
    # A job still being scanned (no page count yet) is reported and counted.
    code, out, err, summary = run_json(run, "pull", "--device", "Names MFP", "--format", "bmp",
                                       "--out", wine.windows_path(folder), "--json", otherwise={})
    first = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
    check(code == 6 and first == ["CON-p1.bmp", "report-p1.bmp", "report-p2.bmp", "report-p3.bmp"]
          and summary.get("jobs") == 2 and summary.get("notReady") == 1
          and summary.get("notReadyJobs") == ["scanning.tif"]
          and any("\"scanning.tif\": not pulled" in line and "no page count" in line
                  for line in failure_lines(err)),
          name + "pull-waiting-job-reported-exit-6", "exit %s %s %s %s" % (
              code, first, out[-300:], err[-300:]))
    # A later job of the same name, of more pages: one copy number for all of them.
    code, out, err = run("pull", "--device", "Later MFP", "--format", "bmp", "--out",
                         wine.windows_path(folder))
    added = sorted(set(os.listdir(folder)) - set(first)) if os.path.isdir(folder) else []
    check(code == 0 and added == ["report (2)-p%d.bmp" % n for n in range(1, 6)],
          name + "pull-one-copy-number-for-a-job", "exit %s %s %s" % (code, added, err[-300:]))
    # A job named like a device, as a document: the name gets its "_".
    code, out, err = run("pull", "--device", "Names MFP", "--job", "CON.tif", "--format", "pdf",
                         "--out", wine.windows_path(folder))
    document = os.path.join(folder, "_CON.pdf")
    info = tool("pdfinfo", document) if os.path.exists(document) else None
    check(code == 0 and info is not None and info.returncode == 0
          and re.search(r"Pages:\s+1\n", info.stdout) is not None,
          name + "pull-device-named-job-as-document", "exit %s %s %s" % (
              code, sorted(os.listdir(folder)), err[-300:]))


# The disk-full rows: a format, the files its two small jobs leave, the
# size of the file system, and whether the pull deletes (TIFF, whose encoder
# goes on past a failed write, and BMP do; PDF and PNG do not, which spares
# installing the scenario anew before them). PDF and PNG pages compress
# (the large job's document takes 72 KB, its PNG 14 KB): their file systems
# leave a few pages of 4 KB free once the small jobs are in, fewer than the
# large job's.
DISK_FULL_ROWS = [
    ("pdf", ["small-1.pdf", "small-2.pdf"], "32k", False),
    ("png", ["small-1-p1.png", "small-2-p1.png", "small-2-p2.png"], "20k", False),
    ("tiff", ["small-1.tif", "small-2.tif"], "2m", True),
    ("bmp", ["small-1-p1.bmp", "small-2-p1.bmp", "small-2-p2.bmp"], "2m", True),
]


def small_disk(name, mount, size):
    """A tmpfs of `size` at `mount`; False (the row skipped) where none can be mounted."""
    subprocess.run(["umount", mount], capture_output=True)
    os.makedirs(mount, exist_ok=True)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", mount],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        skip(name, "no small file system could be mounted here (%s)"
             % mounted.stderr.strip()[-200:])
    return mounted.returncode == 0


def pages_in(folder, files):
    """How many pages the files hold, as the standard tools read them."""
    pages = 0
    for f in files:
        path = os.path.join(folder, f)
        if f.endswith(".tif"):
            pages += len(tiff_frames(path))
        elif f.endswith(".pdf"):
            found = re.search(r"Pages:\s+(\d+)\n", tool("pdfinfo", path).stdout)
            pages += int(found.group(1)) if found else 0
        else:
            pages += tool("identify", path).returncode == 0
    return pages


def stiscan_commit_disk_full(wine, name, run, program, work, installer, scenario, journal):
    """A pull into a small file system that the third job fills, in each
    format: that job fails with the system's "disk full" (also a TIFF, whose
    encoder goes on past a failed write), leaves no file and is not deleted;
    the two before it are whole and named, and with --delete in the list and
    deleted (the scanner's list, asked again, says so). Then a pull whose
    list of pulled jobs cannot be written on a full disk ends with 6."""
    mount = os.path.join(work, name + "commit-small-disk")
    key = "HKCU\\Software\\StibridgeE2E\\Full"
    try:
        wine.reg("add", key, "/v", "ann_DeleteImageOnScan", "/t", "REG_DWORD", "/d", "1", "/f")
        deleted = False
        for fmt, small, size, deleting in DISK_FULL_ROWS:
            row = name + "pull-disk-full-" + ("" if fmt == "bmp" else fmt + "-")
            if not small_disk(name + "pull-disk-full (a job that fills the disk, in each format, "
                              "and those before it)", mount, size):
                return
            # A pull that deletes, from the scenario's jobs (earlier deletions undone).
            if deleting and deleted:
                install_journalled(wine, installer, scenario, journal)
            deleted = deleted or deleting
            before = deletions_done(journal)
            code, out, err, summary = run_json(run, "pull", "--device", "Full MFP", "--format",
                                               fmt, "--profile", "ann", "--out",
                                               wine.windows_path(mount), "--json",
                                               *(["--delete"] if deleting else []), otherwise={})
            files = sorted(os.listdir(mount))
            full = [line for line in failure_lines(err) if "\"large.tif\"" in line]
            check(code == 6 and summary.get("failedJobs") == ["large.tif"] and len(full) == 1
                  and "0x80070070" in full[0]
                  and not any(f.startswith("large") or f.endswith(".partial") for f in files),
                  row + "fails-the-job-that-fills-it",
                  "exit %s files %s: %s %s" % (code, files, out[-300:], err[-400:]))
            sizes = {f: os.path.getsize(os.path.join(mount, f)) for f in files}
            whole = fmt != "bmp" or (sizes.get("small-1-p1.bmp") == 260454
                                     and sizes.get("small-2-p1.bmp") == 87878
                                     and sizes.get("small-2-p2.bmp") == 87878)
            left = listed_jobs(wine, program, "Full MFP") if fmt == "bmp" else ["large.tif"]
            listed = ["small-1.tif", "small-2.tif"] if deleting else None
            check(files == small + (["stiscan-pulled.txt"] if deleting else []) and whole
                  and pages_in(mount, small) == 3 and pulled_list(mount) == listed
                  and summary.get("deleted") == (2 if deleting else 0)
                  and deletions_done(journal) - before == (2 if deleting else 0)
                  and (not deleting or pending_deletions(mount) == []) and left == ["large.tif"],
                  row + "jobs-before-whole" + ("-and-deleted" if deleting else ""),
                  "files %s, %d pages, list %s, pending %s, left on the scanner %s; %s" % (
                      sizes, pages_in(mount, small), pulled_list(mount),
                      pending_deletions(mount), left, err[-300:]))
            subprocess.run(["umount", mount], capture_output=True)

        # The list of pulled jobs cannot be written (a full disk): not when
        # the entry of a job the scanner lists no longer goes, nor after the
        # deletion of the job pending from before. Both are said, and the
        # exit code is 6, though the deletion is done.
        row = name + "pull-delete-list-not-written-exits-6"
        if not small_disk(row, mount, "8k"):
            return
        with open(os.path.join(mount, "stiscan-pulled.txt"), "w") as f:
            f.write("no time, 1 pages, 5 bytes\tgone.tif\n2024-10-02 09:20:00\tlarge.tif\n"
                    "#deletion pending\t2024-10-02 09:20:00\tlarge.tif\n")
        free = os.statvfs(mount)
        with open(os.path.join(mount, "filler"), "wb") as f:
            f.write(b"\0" * (free.f_bavail * free.f_frsize))
        code, out, err, summary = run_json(run, "pull", "--device", "Full MFP", "--delete",
                                           "--profile", "ann", "--out", wine.windows_path(mount),
                                           "--json", otherwise={})
        unwritten = [line for line in failure_lines(err)
                     if "stiscan-pulled.txt\" could not be written" in line]
        check(code == 6 and len(unwritten) == 2 and summary.get("deleted") == 1
              and summary.get("failed") == 0 and pending_deletions(mount) == ["large.tif"],
              row, "exit %s, pending %s: %s %s" % (code, pending_deletions(mount), out[-300:],
                                                 err[-400:]))
    finally:
        wine.reg("delete", key, "/f")
        subprocess.run(["umount", mount], capture_output=True)


def stiscan_commit_names_refused(wine, name, run, work):
    """What a job's files cannot be named by, and a folder whose lock file
    cannot be made: a name that cannot be looked up (a link to itself) fails
    the job rather than give it another copy number, and its files go; a lock
    file that cannot be opened (a folder in its place) is told as access
    denied, with the exit code of one, not as a lock another stiscan holds."""
    folder = os.path.join(work, name + "commit-loop")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    os.symlink("report-p2.bmp", os.path.join(folder, "report-p2.bmp"))
    code, out, err = run("pull", "--device", "Names MFP", "--job", "report.tif", "--format", "bmp",
                         "--out", wine.windows_path(folder))
    lines = failure_lines(err)
    check(code == 6 and sorted(os.listdir(folder)) == ["report-p2.bmp"] and len(lines) == 1
          and "report-p2.bmp\" could not be looked up" in lines[0]
          and "its 3 files already written were removed" in lines[0],
          name + "pull-name-not-looked-up-fails-the-job",
          "exit %s %s: %s %s" % (code, sorted(os.listdir(folder)), out[-200:], err[-300:]))

    folder = os.path.join(work, name + "commit-lock-denied")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(os.path.join(folder, "stiscan-pulled.lock"))
    code, out, err = run("pull", "--device", "Names MFP", "--delete", "--out",
                         wine.windows_path(folder))
    lines = failure_lines(err)
    check(code == 4 and len(lines) == 1 and "stiscan-pulled.lock\" could not be made" in lines[0]
          and "0x80070005" in lines[0] and sorted(os.listdir(folder)) == ["stiscan-pulled.lock"],
          name + "pull-delete-lock-denied-told-as-such",
          "exit %s %s: %s" % (code, sorted(os.listdir(folder)), err[-300:]))


def stiscan_commit_pending(wine, name, run, work, journal):
    """Deletions pending from an earlier pull. A job stored without a time
    (whose deletion the driver refuses) is pulled again rather than deleted
    unpulled, as the job the scanner lists under its pages and size may be
    another; so are jobs of one name and time, which the scanner lists twice
    (they are not ready, and not deleted); a watch does so once, not at
    every sweep. A delete-after-scan option the server cannot read (no user
    key) keeps a pending deletion pending."""
    folder = os.path.join(work, name + "commit-untimed")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    with open(os.path.join(folder, "stiscan-pulled.txt"), "w") as f:
        f.write("2024-10-06 09:00:00\tdup.tif\n#deletion pending\t2024-10-06 09:00:00\tdup.tif\n")
    key = "HKCU\\Software\\StibridgeE2E\\Untimed"
    wine.reg("add", key, "/v", "ann_DeleteImageOnScan", "/t", "REG_DWORD", "/d", "1", "/f")
    deleted = deletions_done(journal)
    try:
        runs = []
        for _ in range(2):
            code, out, err = run("pull", "--device", "Untimed MFP", "--format", "bmp", "--delete",
                                 "--profile", "ann", "--out", wine.windows_path(folder))
            given_up = [line.split("\"")[1] for line in failure_lines(err)
                        if "its deletion pending is given up" in line]
            runs.append((code, sorted(os.listdir(folder)), pending_deletions(folder), given_up))
        # A watch gives it up once too, however many sweeps see it again.
        code, out, err = run("watch", "--pull", "--device", "Untimed MFP", "--format", "bmp",
                             "--delete", "--profile", "ann", "--seconds", str(5 * PACE), "--out",
                             wine.windows_path(folder))
        given_up = [line.split("\"")[1] for line in failure_lines(err)
                    if "its deletion pending is given up" in line]
        runs.append((code, sorted(os.listdir(folder)), pending_deletions(folder), given_up))
    finally:
        wine.reg("delete", key, "/f")
    check(runs[0] == (6, ["Scan-p1.bmp", "stiscan-pulled.txt"], ["Scan.tif"], ["dup.tif"])
          and runs[1] == (6, ["Scan (2)-p1.bmp", "Scan-p1.bmp", "stiscan-pulled.txt"],
                          ["Scan.tif"], ["Scan.tif"])
          and runs[2] == (6, ["Scan (2)-p1.bmp", "Scan (3)-p1.bmp", "Scan-p1.bmp",
                              "stiscan-pulled.txt"], ["Scan.tif"], ["Scan.tif"])
          and deletions_done(journal) == deleted,
          name + "pull-delete-pending-of-an-inexact-job-pulls-it-again",
          "runs (exit, files, pending, given up) %s; %d deletions done" % (
              runs, deletions_done(journal) - deleted))

    folder = os.path.join(work, name + "commit-keyless")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    with open(os.path.join(folder, "stiscan-pulled.txt"), "w") as f:
        f.write("2024-10-07 09:00:00\tkept.tif\n#deletion pending\t2024-10-07 09:00:00\tkept.tif\n")
    code, out, err, summary = run_json(run, "pull", "--device", "Keyless MFP", "--delete",
                                       "--profile", "ann", "--out", wine.windows_path(folder),
                                       "--json", otherwise={})
    check(code == 6 and pending_deletions(folder) == ["kept.tif"]
          and summary.get("deletionPending") == ["kept.tif"] and summary.get("jobs") == 0
          and any("\"kept.tif\": not deleted" in line and "option could not be read" in line
                  for line in failure_lines(err)) and deletions_done(journal) == deleted,
          name + "pull-delete-option-not-read-keeps-it-pending",
          "exit %s, pending %s: %s %s" % (code, pending_deletions(folder), out[-300:], err[-300:]))


def stiscan_commit_flush_traced(wine, name, run, program, work, journal):
    """Before the scanner is asked to delete a job, the names its files and
    the list took are on the disk: the folder is flushed, which Wine makes
    an fsync of the directory, in stiscan's process, before the driver's
    journal says DeleteItem (seen by strace)."""
    row = name + "pull-delete-flushes-the-folder-before-deleting"
    folder = os.path.join(work, name + "commit-traced")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    trace = os.path.join(work, name + "commit-traced.strace")
    key = "HKCU\\Software\\StibridgeE2E\\Later"
    wine.reg("add", key, "/v", "ann_DeleteImageOnScan", "/t", "REG_DWORD", "/d", "1", "/f")
    # The server started by this pull, so that its journal's writes are traced too.
    wine.wait_for_no_process(10)
    try:
        traced = subprocess.run(
            ["strace", "-f", "-ttt", "-y", "-s", "200", "-e", "trace=fsync,write", "-e",
             "signal=none", "-o", trace, "-P", os.path.realpath(folder), "-P",
             os.path.realpath(journal)]
            + wine.command(program, "pull", "--device", "Later MFP", "--delete", "--profile",
                           "ann", "--out", wine.windows_path(folder), "--json"),
            env=wine.env, capture_output=True, text=True, errors="replace", timeout=180)
    except FileNotFoundError:
        skip(row, "strace is not installed")
        return
    finally:
        wine.reg("delete", key, "/f")
    try:
        with open(trace, errors="replace") as f:
            lines = f.read().splitlines()
    except OSError:
        lines = []
    if not lines and "ptrace" in traced.stderr:
        skip(row, "no process may be traced here (%s)" % traced.stderr.strip()[-200:])
        return
    real = os.path.realpath(folder)
    flushes = [(float(line.split()[1]), line.split()[0]) for line in lines
               if re.search(r"fsync\(\d+<%s>\) = 0" % re.escape(real), line)]
    deletions = [(float(line.split()[1]), line.split()[0]) for line in lines
                 if "name=DeleteItem " in line and "result=0x00000000" in line]
    check(traced.returncode == 0 and len(deletions) == 1
          and any(at < deletions[0][0] and pid != deletions[0][1] for at, pid in flushes),
          row, "exit %s, folder flushed at %s, deleted at %s: %s" % (
              traced.returncode, flushes, deletions, traced.stderr[-300:]))


def stiscan_commit_leftovers(wine, name, program, work):
    """Temporary files that an earlier stiscan of the same process number
    left (Wine numbers the processes from the same start again after a
    restart) do not fail a pull, which takes the next name; the holder of the
    folder's lock removes those of processes no longer running, and no other
    file."""
    folder = os.path.join(work, name + "commit-leftovers")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    # The first process of a prefix started afresh is number 32, the next
    # ones count on by 4.
    leftovers = ["~stiscan-%d-%d.partial" % (pid, n) for pid in range(32, 288, 4)
                 for n in (1, 2)] + ["~stiscan-4000000000-7.partial"]
    for leftover in leftovers + ["~stiscan-notes.partial"]:
        open(os.path.join(folder, leftover), "w").close()
    wine.stop()
    first = wine.run(program, "pull", "--device", "Names MFP", "--job", "report.tif", "--format",
                     "bmp", "--out", wine.windows_path(folder), timeout=120)
    after_first = set(os.listdir(folder))
    second = wine.run(program, "pull", "--device", "Names MFP", "--job", "CON.tif", "--format",
                      "bmp", "--delete", "--out", wine.windows_path(folder), timeout=120)
    after_second = set(os.listdir(folder))
    check(first.returncode == 0 and set(leftovers) < after_first
          and {"report-p1.bmp", "report-p2.bmp", "report-p3.bmp"} < after_first,
          name + "pull-passes-over-a-leftover-of-its-process-number",
          "exit %s, %d files: %s" % (first.returncode, len(after_first), first.stderr[-300:]))
    check(second.returncode == 0 and "CON-p1.bmp" in after_second
          and "~stiscan-notes.partial" in after_second
          and not {"~stiscan-32-1.partial", "~stiscan-32-2.partial",
                   "~stiscan-4000000000-7.partial"} & after_second,
          name + "pull-delete-removes-leftovers-of-ended-processes",
          "exit %s, left %s: %s" % (second.returncode,
                                    sorted(f for f in after_second if f.startswith("~")),
                                    second.stderr[-300:]))


def stiscan_commit_watchers(wine, name, run, program, work):
    """A watch that cannot register for the scanner's signals ends with an
    exit code that says so; a second watch of a folder ends with 3, naming
    the process that watches it, and the first one's list survives."""
    folder = os.path.join(work, name + "commit-deaf")
    shutil.rmtree(folder, ignore_errors=True)
    code, out, err = run("watch", "--pull", "--device", "Deaf MFP", "--seconds", "30", "--out",
                         wine.windows_path(folder))
    check(code not in (0, None) and "could not be registered" in err and "cannot watch" in err,
          name + "watch-that-cannot-watch-exits-non-zero", "exit %s: %s %s" % (
              code, out[-200:], err[-300:]))

    folder = os.path.join(work, name + "commit-two-watches")
    shutil.rmtree(folder, ignore_errors=True)
    first = WatchedProgram(wine, program, "watch", "--pull", "--device", "Names MFP",
                           "--seconds", str(90 * PACE), "--out", wine.windows_path(folder))
    ready = first.wait_for("job: CON.tif -> ", timeout=90 * PACE)
    try:
        with open(os.path.join(folder, "stiscan-pulled.lock"), errors="replace") as f:
            holder = f.read().strip()
    except OSError:
        holder = ""
    # A job's line is printed once its files are named; the list is written
    # after that.
    deadline = time.monotonic() + 30 * PACE
    while pulled_list(folder) != ["CON.tif", "report.tif"] and time.monotonic() < deadline:
        time.sleep(0.2)
    before = pulled_list(folder)
    code, out, err = run("watch", "--pull", "--device", "Names MFP", "--seconds", "20", "--out",
                         wine.windows_path(folder))
    after = pulled_list(folder)
    first.interrupt()
    first_code, first_out, first_err = first.finish()
    check(ready and holder.startswith("process ") and "stiscan watch --pull" in holder
          and code == 3 and holder in err and before == ["CON.tif", "report.tif"]
          and after == before and pulled_list(folder) == before and first_code == 0,
          name + "watch-second-of-a-folder-exits-3-naming-the-first",
          "first ready %s, holder %r, exit %s: %s; list %s then %s; first's exit %s: %s" % (
              ready, holder, code, err[-300:], before, after, first_code, first_err[-300:]))


def stiscan_commit_watch_stopped(wine, name, program, work, journal):
    """watch --pull --delete stopped by Ctrl+C in the middle of a job, then
    started again and its server killed in the middle of the job after one
    that came over whole, then started once more with its list as an editor
    saves it (a byte-order mark): every job is pulled once, whole, and
    deleted exactly once; the job cut short leaves no file and comes whole
    the next time."""
    folder = os.path.join(work, name + "commit-watch")
    shutil.rmtree(folder, ignore_errors=True)
    key = "HKCU\\Software\\StibridgeE2E\\Watch"
    wine.reg("add", key, "/v", "ann_DeleteImageOnScan", "/t", "REG_DWORD", "/d", "1", "/f")
    deleted_before = deletions_done(journal)
    args = ("watch", "--pull", "--device", "Watch MFP", "--format", "bmp", "--delete",
            "--profile", "ann", "--seconds", str(150 * PACE), "--out", wine.windows_path(folder))
    try:
        # 1. Ctrl+C while the second job's second page is read.
        one = WatchedProgram(wine, program, *args)
        stopped = one.wait_for("cut.tif page 1\n", timeout=120 * PACE)
        one.interrupt()
        code, out, err = one.finish()
        files = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
        check(stopped and code == 0 and files == ["first-p1.bmp", "stiscan-pulled.txt"]
              and pulled_list(folder) == ["first.tif"] and pending_deletions(folder) == []
              and "(the pull was stopped)" in err,
              name + "watch-ctrl-c-mid-job-deletes-what-came-whole",
              "stopped %s, exit %s, files %s, list %s: %s %s" % (
                  stopped, code, files, pulled_list(folder), out[-300:], err[-400:]))

        # 2. Its server killed while the third job is read, the second whole.
        two = WatchedProgram(wine, program, *args)
        reached = two.wait_for("lost.tif page 1\n", timeout=120 * PACE)
        servers = wine.processes()
        for pid in servers:
            os.kill(pid, signal.SIGKILL)
        lost = two.wait_for("the scanner server ended", which="err", timeout=60 * PACE)
        two.interrupt()
        code, out, err = two.finish()
        files = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
        check(reached and servers and lost and code == 6
              and files == ["cut-p%d.bmp" % n for n in range(1, 5)]
              + ["first-p1.bmp", "stiscan-pulled.txt"]
              and pulled_list(folder) == ["cut.tif", "first.tif"]
              and pending_deletions(folder) == ["cut.tif"]
              and any("\"cut.tif\": not deleted from the scanner" in line
                      for line in failure_lines(err)),
              name + "watch-lost-server-keeps-the-deletion-pending",
              "reached %s, servers %s, lost %s, exit %s, files %s, pending %s: %s %s" % (
                  reached, servers, lost, code, files, pending_deletions(folder), out[-300:],
                  err[-500:]))
        # COM under Wine hands out a killed server's class object for as long
        # as a process of the prefix runs: the next watch starts afresh.
        wine.stop()

        # 3. Started again, its list saved by an editor.
        listing = os.path.join(folder, "stiscan-pulled.txt")
        with open(listing, encoding="utf-8") as f:
            text = f.read()
        with open(listing, "w", encoding="utf-8-sig") as f:
            f.write(text)
        three = WatchedProgram(wine, program, *args)
        pulled = three.wait_for("lost-p3.bmp", timeout=120 * PACE)
        # The deletions follow the walk in the same sweep; the next sweep
        # begins with its refresh, two seconds on.
        three.wait_for("never said", timeout=4 * PACE)
        three.interrupt()
        code, out, err = three.finish()
        files = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
        check(pulled and code == 0 and files == ["cut-p%d.bmp" % n for n in range(1, 5)]
              + ["first-p1.bmp"] + ["lost-p%d.bmp" % n for n in range(1, 4)]
              + ["stiscan-pulled.txt"]
              and pulled_list(folder) == ["cut.tif", "first.tif", "lost.tif"]
              and pending_deletions(folder) == [] and "Pulled 1 job (3 pages)" in out,
              name + "watch-restart-pulls-the-cut-job-whole-and-nothing-twice",
              "exit %s, files %s, list %s, pending %s: %s %s" % (
                  code, files, pulled_list(folder), pending_deletions(folder), out[-300:],
                  err[-400:]))
        left = listed_jobs(wine, program, "Watch MFP")
        deleted = deletions_done(journal) - deleted_before
        check(left == [] and deleted == 3, name + "watch-every-job-deleted-exactly-once",
              "left on the scanner %s; %d deletions done" % (left, deleted))
    finally:
        wine.reg("delete", key, "/f")


def stiscan_big_job_checks(wine, installer, program, work, pixels_tool):
    """A job far larger than the 32-bit stiscan's memory bound, of A4 colour
    pages at 300 dpi, pulled as PDF and as TIFF: the process's peak
    resident size (the kernel's, which bounds its private bytes) stays under
    200 MB while the document is written page by page; the documents hold
    every page, as the driver made it."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios", "big.json")
    with open(path) as f:
        job = json.load(f)["devices"][0]["jobs"][0]
    installed = wine.run(installer, wine.windows_path(path))
    check(installed.returncode == 0, "stiscan-big-scenario-installed", installed.stderr[-300:])
    reference = reference_pixels(pixels_tool, path)
    pages, page_bytes = job["pages"], job["width"] * job["height"] * 3
    limit = 200 * 1024 * 1024
    rgb = {}
    for fmt, extension in (("pdf", ".pdf"), ("tiff", ".tif")):
        row = "stiscan32-big-job-%s" % fmt
        folder = os.path.join(work, row)
        shutil.rmtree(folder, ignore_errors=True)
        pull = WatchedProgram(wine, program, "pull", "--format", fmt, "--out",
                              wine.windows_path(folder), "--json", sample=True)
        code, out, err = pull.finish(timeout=600 * PACE)
        document = os.path.join(folder, job["itemName"][:-4] + extension)
        files = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
        size = os.path.getsize(document) if os.path.exists(document) else 0
        note("%s: %d A4 colour pages (%.0f MB of pages) in %.0f s, the file %.0f MB; peak "
             "resident size %.0f MB, most private memory seen %.0f MB" % (
                 row, pages, pages * page_bytes / 2**20, pull.seconds, size / 2**20,
                 pull.peak["VmHWM"] / 2**20, pull.peak["RssAnon"] / 2**20))
        check(code == 0 and files == [os.path.basename(document)]
              and 0 < pull.peak["VmHWM"] < limit and pull.peak["VmHWM"] * 2 < pages * page_bytes,
              row + "-written-in-under-200-mb", "exit %s, files %s, peak %s: %s" % (
                  code, files, pull.peak, err[-300:]))
        # The first and the last page, as a standard tool reads them.
        problems = []
        frames = tiff_frames(document) if fmt == "tiff" else pdf_pages(
            document, os.path.join(work, row + "-images"), only=(0, pages - 1))
        if len(frames) != pages or any((f["width"], f["height"], f["kind"], f["dpi"])
                                       != (job["width"], job["height"], "colour", (300, 300))
                                       for f in frames):
            problems.append("pages %s" % [(f["width"], f["height"], f["kind"], f["dpi"])
                                          for f in frames][:3])
        for n in (0, pages - 1) if len(frames) == pages else ():
            pixels = pixels_of(frames[n]["spec"])
            # The same page of the other document was held to the driver's
            # already: the same pixels are the same page.
            if pixels is None or (pixels != rgb.get(n) and pixel_hash(pixels) != reference.get(
                    (job["itemName"], str(n + 1)))):
                problems.append("page %d: other pixels than the driver made" % (n + 1))
            elif n not in rgb:
                rgb[n] = pixels
        check(not problems and len(frames) == pages, row + "-holds-every-page-as-made",
              "; ".join(problems) or "%d pages" % len(frames))
        # A gigabyte a format: not left for the rest of the run's disk.
        shutil.rmtree(folder, ignore_errors=True)
        shutil.rmtree(os.path.join(work, row + "-images"), ignore_errors=True)


def pixel_hash(data):
    """FNV-1a over the bytes, as tests/e2e/pixel_hash.h computes it."""
    value = 14695981039346656037
    for byte in data:
        value = ((value ^ byte) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % value


def stiscan_doctor_checks(wine, server, installer, scenario, programs, proxy32, work):
    """stiscan doctor on the prefix set up as a data source needs it: the
    accepted scanners' filing folders and the user's keys with a PIN, as the
    scanner's driver and its own tools would make them (exit 0); then on the
    prefix broken one way at a time and mended again: the first failing check
    names what is broken, with its remedy, and the exit code is not 0. No
    planted PIN is ever shown."""
    if not RUNS_32BIT:
        # A prefix a data source can use holds the x86 proxy, which only the
        # 32-bit regsvr32 registers.
        for case in ("32-doctor-good-prefix", "32-doctor-good-prefix-json",
                     "64-doctor-good-prefix-json", "32-doctor-broken-prefixes"):
            skip_32bit("stiscan%s (needs the x86 proxy registered by the 32-bit regsvr32)" % case)
        return
    with ServicesKeeper(wine):
        stiscan_doctor_cases(wine, server, installer, scenario, programs, proxy32, work)
    check(wine.wait_for_no_process(5), "stiscan-doctor-server-quits", str(wine.processes()))


def stiscan_doctor_cases(wine, server, installer, scenario, programs, proxy32, work):
    with open(scenario) as f:
        office = json.load(f)
    accepted = [d["deviceData"] for d in office["devices"] if "TWAIN" in d["description"]]
    pins = {}
    for n, data in enumerate(accepted):
        folder = data["FilingPath"].replace("C:\\", "").replace("\\", "/")
        os.makedirs(os.path.join(wine.prefix, "drive_c", folder), exist_ok=True)
        pins[data["UserDataKey"]] = "%04d" % (4711 + n)
    lab_key = accepted[0]["UserDataKey"]

    def plant_pin(key):
        wine.reg("add", "HKCU\\" + key, "/v", "TrvUserPIN", "/d", pins[key], "/f")

    for key in pins:
        plant_pin(key)

    def doctor(bits, *args):
        result = wine.run(dict(programs)[bits], "doctor", *args, timeout=120)
        out = result.stdout.replace("\r", "")
        shown = [pin for pin in pins.values() if pin in out + result.stderr]
        try:
            report = json.loads(out) if "--json" in args else {}
        except ValueError:
            report = {}
        return result.returncode, out, report, shown

    def healthy(name, bits, *args):
        code, out, report, shown = doctor(bits, *args)
        statuses = [c["status"] for c in report.get("checks", [])] if report else \
            [line.split()[0] for line in out.splitlines() if not line.startswith((" ", "A "))]
        # Only the 32-bit doctor, a data source's bitness, says a data source
        # would work; the 64-bit one says that only the 32-bit one can tell.
        if bits == "32":
            verdict = report.get("works") is True if report else \
                out.endswith("A data source would work.\n")
        else:
            verdict = "works" in report and report["works"] is None if report else \
                "only the 32-bit stiscan doctor can tell" in out \
                and "A data source would work" not in out
        check(code == 0 and len(statuses) == 5 + 2 * len(accepted) and not shown
              and set(statuses) <= {"ok", "warning"} and verdict,
              name, "exit %s, PINs shown %s: %s" % (code, shown, out[-900:]))

    healthy("stiscan32-doctor-good-prefix", "32")
    healthy("stiscan32-doctor-good-prefix-json", "32", "--json")
    healthy("stiscan64-doctor-good-prefix-json", "64", "--json")

    gone = os.path.join(work, "doctor-gone.exe")
    shutil.copyfile(server, gone)
    no_device = os.path.join(work, "doctor-no-device.json")
    with open(no_device, "w") as f:
        json.dump(dict(office, devices=[d for d in office["devices"]
                                        if "TWAIN" not in d["description"]]), f)
    syswow64_regsvr32 = "C:\\windows\\syswow64\\regsvr32.exe"
    # Each way of breaking the prefix: how, how it is mended, the check that
    # must fail first, a phrase of its remedy and the exit code.
    cases = [
        ("server-not-registered", lambda: wine.run(server, "/UnregServer"),
         lambda: wine.run(server, "/RegServer"), "registration", "/RegServer", 5),
        ("x86-proxy-missing", lambda: wine.run(syswow64_regsvr32, "/u", "/s", proxy32),
         lambda: wine.run(syswow64_regsvr32, "/s", proxy32), "proxy-x86",
         "SysWOW64\\regsvr32.exe", 5),
        # The server registered from a copy that is then deleted.
        ("server-file-gone", lambda: (wine.run(gone, "/RegServer"), os.remove(gone)),
         lambda: wine.run(server, "/RegServer"), "registration", "msiexec /i stibridge.msi", 5),
        ("no-accepted-device", lambda: wine.run(installer, wine.windows_path(no_device)),
         lambda: wine.run(installer, wine.windows_path(scenario)), "scanners", "TWAIN driver", 3),
        ("no-user-key", lambda: wine.reg("delete", "HKCU\\" + lab_key, "/f"),
         lambda: plant_pin(lab_key), "user-settings", "scanner's own tools", 1),
    ]
    for name, breaks, mends, failing, remedy, expected in cases:
        breaks()
        code, out, report, shown = doctor("32", "--json")
        failed = [c for c in report.get("checks", []) if c["status"] == "failed"]
        first = failed[0] if failed else {}
        check(code == expected and report.get("exitCode") == code and not report.get("works", True)
              and first.get("id") == failing and remedy in first.get("remedy", "") and not shown,
              "stiscan32-doctor-" + name, "exit %s, PINs shown %s: %s" % (code, shown, out[-900:]))
        mends()
    healthy("stiscan32-doctor-mended", "32", "--json")

    # The 64-bit doctor looks at the x86 proxy as a 32-bit program finds it
    # (System32 is SysWOW64 to it): registered as a 32-bit DLL that does not
    # export what COM calls in a proxy, it fails and says so.
    query = wine.run("reg", "query", "HKCR\\Interface\\" + IID + "\\ProxyStubClsid32", "/ve",
                     "/reg:32")
    found = re.search(r"\{[0-9A-Fa-f-]+\}", query.stdout)
    inproc = "HKCR\\CLSID\\%s\\InprocServer32" % (found.group(0) if found else "{none}")
    wine.run("reg", "add", inproc, "/ve", "/d", "C:\\windows\\system32\\version.dll", "/f",
             "/reg:32")
    code, out, report, shown = doctor("64", "--json")
    failed = [c for c in report.get("checks", []) if c["status"] == "failed"]
    first = failed[0] if failed else {}
    check(found is not None and code == 5 and report.get("exitCode") == 5
          and report.get("works") is False and first.get("id") == "proxy-x86"
          and "DllGetClassObject" in first.get("found", "")
          and "syswow64" in first.get("found", "").lower()
          and "SysWOW64\\regsvr32.exe" in first.get("remedy", ""),
          "stiscan64-doctor-x86-proxy-without-its-exports", "exit %s: %s" % (code, out[-900:]))
    wine.run(syswow64_regsvr32, "/s", proxy32)
    healthy("stiscan64-doctor-mended", "64", "--json")


def server_started_by_hand(wine, server, client):
    """A server started with -Embedding before the client: COM hands the client
    the running server's class object, and the server's own exit code can be
    read when it quits after the client's last release."""
    # By its Windows path, wine runs the server itself (not through start.exe),
    # so the process's exit code is the server's.
    server_path = wine.windows_path(os.path.abspath(server))
    for bits, program in client:
        if bits == "32" and not RUNS_32BIT:
            skip_32bit("client32-running-server-used (and its server's exit)")
            continue
        process = subprocess.Popen(wine.command(server_path, "-Embedding"), env=wine.env,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        time.sleep(3)
        result = wine.run(program, "identity", timeout=120)
        check(result.returncode == 0, "client%s-running-server-used" % bits, result.stdout[-300:])
        try:
            code = process.wait(timeout=10)
            output = process.stdout.read()
        except subprocess.TimeoutExpired:
            process.kill()
            code, output = "still running", b""
        check(code == 0, "client%s-server-exit-code-0" % bits, str(code))
        check(output == b"", "client%s-server-writes-nothing" % bits, repr(output[:200]))
        check(wine.wait_for_no_process(5), "client%s-one-server-only" % bits,
              str(wine.processes()))


# How long a server may outlive its last client, and how long one creation
# (the class object fetched, an object made, asked and released) may take.
LAST_CLIENT_TO_NO_SERVER = 2
LONGEST_CREATION_MS = 5000
# A server with no object and no lock ends by itself after this long (the
# server's kIdleEndMilliseconds).
IDLE_END = 30
# How often the server looks at its clients' processes
# (kClientWatchMilliseconds): a killed client's object goes within this long.
CLIENT_WATCH = 2


def churn(wine, name, runs):
    """Clients that create an object, ask it one question and release it,
    round after round, with random pauses of up to the given milliseconds
    (each client with a seed of its own), as data sources opening and
    closing the scanner. Every round must be served, the first attempt
    included (a data source that does not try again would show its user
    "scanner not available"), no creation may take over LONGEST_CREATION_MS,
    and no server may be left LAST_CLIENT_TO_NO_SERVER s after the last
    client ended. Each client's output goes to a file: under Wine a server
    COM started from a client inherits its standard handles, so a pipe
    would stay open until that server ended."""
    outputs = [os.path.join(wine.prefix, "churn-%s-%d.txt" % (name, n)) for n in range(len(runs))]
    clients = []
    for n, (program, rounds, pause) in enumerate(runs):
        with open(outputs[n], "w") as out:
            clients.append(subprocess.Popen(
                wine.command(program, "churn", str(rounds), str(pause), str(101 + n)),
                env=wine.env, stdout=out, stderr=subprocess.DEVNULL))
    started = time.monotonic()
    while any(c.poll() is None for c in clients) and time.monotonic() - started < 900:
        time.sleep(0.05)
    last_ended = time.monotonic()
    for client in clients:
        if client.poll() is None:
            client.kill()
            client.wait()
    no_server = wine.wait_for_no_process(LAST_CLIENT_TO_NO_SERVER)
    left = time.monotonic() - last_ended
    first_failed, longest = 0, 0
    for n, client in enumerate(clients):
        with open(outputs[n], errors="replace") as f:
            output = f.read()
        check(client.returncode == 0, "lifetime-%s-%d-every-round-served" % (name, n),
              "exit %s: %s" % (client.returncode, output.strip()[-300:]))
        for line in output.splitlines():
            match = re.match(r"note churn: \d+ rounds, (\d+) first attempts failed, longest (\d+) ms",
                             line)
            if match:
                print("  %s (client %d)" % (line, n), flush=True)
                first_failed += int(match.group(1))
                longest = max(longest, int(match.group(2)))
    note("lifetime-%s: %d clients in %.0f s; %d first attempts failed; the longest creation "
         "%d ms; %s" % (name, len(runs), last_ended - started, first_failed, longest,
                        "no server %.1f s after the last client" % left if no_server
                        else "servers left: %s" % wine.processes()))
    check(first_failed == 0, "lifetime-%s-first-attempts-served" % name,
          "%d first attempts failed" % first_failed)
    check(longest <= LONGEST_CREATION_MS, "lifetime-%s-no-creation-over-5-s" % name,
          "the longest took %d ms" % longest)
    check(no_server, "lifetime-%s-no-server-left" % name,
          "%s %d s after the last client" % (wine.processes(), LAST_CLIENT_TO_NO_SERVER))
    if not no_server:
        wine.stop()


def started_holder(wine, client):
    """A client that creates an object and holds it until its standard input
    gives a line: the process and the line it printed ("holding" once it
    holds the object)."""
    holder = subprocess.Popen(wine.command(client, "hold"), env=wine.env, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = ""
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and line.strip() != "holding":
        line = holder.stdout.readline()
        if line == "":
            break
    return holder, line


def lifetime(wine, client32, client64, server):
    """Two clients at once share one server, each with its own object;
    clients that create and release objects round after round, alone and
    several at once, are all served at the first attempt, by this server or
    a new one, and leave no server behind; a server that no client uses ends
    by itself. These rows are about the server; where no 32-bit program
    runs, the 64-bit client takes the 32-bit one's place."""
    if not RUNS_32BIT:
        note("the lifetime rows run with the 64-bit client only: %s" % NO_32BIT)
        client32 = client64
    holder, line = started_holder(wine, client32)
    check(line.strip() == "holding", "lifetime-first-client-holds", line)
    other = wine.run(client64, "identity")
    check(other.returncode == 0, "lifetime-second-client-served-meanwhile", other.stdout[-300:])
    servers = wine.processes()
    check(len(servers) == 1, "lifetime-two-clients-one-server", str(servers))
    try:
        holder.stdin.write("\n")
        holder.stdin.flush()
        code = holder.wait(timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        holder.kill()
        code = "killed"
    ended = time.monotonic()
    check(code == 0, "lifetime-first-client-ends", str(code))
    check(wine.wait_for_no_process(LAST_CLIENT_TO_NO_SERVER), "lifetime-server-quits-after-both",
          "%s %.1f s after the last client" % (wine.processes(), time.monotonic() - ended))

    # A data source that closes and reopens the scanner at once, so that each
    # creation reaches the server just as its last object went; then two and
    # four data sources at once, pausing up to 400 ms between rounds.
    churn(wine, "reopen", [(client32, 100, 0)])
    churn(wine, "two-clients", [(client32, 500, 400), (client32, 500, 400)])
    churn(wine, "four-clients",
          [(client32, 500, 400), (client64, 500, 400), (client32, 500, 400), (client64, 500, 400)])

    # A client killed while it holds an object: the server sees its process
    # end within the watch's period and lets the object go (Wine never runs a
    # dead client's references down; Windows does after some minutes), and
    # meanwhile serves others; once the other client has gone, no server is
    # left.
    holder, line = started_holder(wine, client32)
    holder.kill()
    holder.wait()
    killed = time.monotonic()
    other = wine.run(client64, "identity")
    ended = time.monotonic()
    check(line.strip() == "holding" and other.returncode == 0,
          "lifetime-killed-holder-server-serves-on", line.strip() + " / " + other.stdout[-300:])
    gone = wine.wait_for_no_process(CLIENT_WATCH + LAST_CLIENT_TO_NO_SERVER)
    note("lifetime-killed-holder: %s %.1f s after its client was killed holding an object "
         "(%.1f s after the other client)" % (
             "no server" if gone else "servers %s" % wine.processes(),
             time.monotonic() - killed, time.monotonic() - ended))
    check(gone, "lifetime-killed-holder-no-server-left",
          "%s %d s after the other client" % (wine.processes(),
                                               CLIENT_WATCH + LAST_CLIENT_TO_NO_SERVER))
    if not gone:
        wine.stop()
        wine.wait_for_no_process(10)
        wine.run("cmd", "/c", "exit")

    # A server that COM or anybody else started and that no client ever
    # reaches ends by itself after the idle time.
    server_path = wine.windows_path(os.path.abspath(server))
    started = time.monotonic()
    process = subprocess.Popen(wine.command(server_path, "-Embedding"), env=wine.env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        code = process.wait(timeout=IDLE_END + 60)
    except subprocess.TimeoutExpired:
        process.kill()
        code = "still running"
    took = time.monotonic() - started
    note("lifetime-idle: a server without a client ended %.1f s after its start" % took)
    # The server counts from its process's creation and keeps a second for
    # the end of its process; what it cannot count is Wine's start of the
    # process before that and the end after it.
    check(code == 0 and IDLE_END - 3 <= took <= IDLE_END + LAST_CLIENT_TO_NO_SERVER,
          "lifetime-idle-server-ends-by-itself",
          "exit %s after %.1f s (the idle time is %d s)" % (code, took, IDLE_END))
    check(wine.wait_for_no_process(5), "lifetime-idle-no-server-left", str(wine.processes()))


def prepared_for_stiscan(wine, server, proxy64, proxy32, installer, scenario):
    """The prefix as the package leaves it, for the stiscan parts run in a
    prefix of their own: both proxies and the server registered, the default
    scenario installed. One row; the registration's own rows are the server
    group's."""
    steps = [("proxy-x64", wine.run("regsvr32", "/s", proxy64))]
    if RUNS_32BIT:
        steps.append(("proxy-x86", wine.run("C:\\windows\\syswow64\\regsvr32.exe", "/s",
                                            proxy32)))
    steps.append(("server", wine.run(server, "/RegServer")))
    steps.append(("scenario", wine.run(installer, scenario)))
    failed = ["%s (exit %s) %s" % (what, result.returncode, result.stderr[-200:])
              for what, result in steps if result.returncode != 0]
    check(not failed, "stiscan-prefix-prepared", "; ".join(failed))


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
    build64 = os.path.join(args.root, "build", "win64")
    build32 = os.path.join(args.root, "build", "win32")
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
                    wine.server_unix, installer, default_scenario, stiscans, build64, pixels_tool)
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
