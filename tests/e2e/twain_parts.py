"""The TWAIN data source's parts: TWAIN applications of both bitnesses
driving it through Wine's manager, and Wine's own test of that manager."""

import json
import os
import re
import time

import conducts
from harness import check, note, skip
from winetools import RUNS_32BIT, ServicesKeeper, skip_32bit
from bridge import install_journalled
from pages import reference_pixels
from server_parts import run_client, session_scenario


# The pages a full run of the TWAIN application brings over: every page of
# the five jobs by each of the four transfers, whole and cut to a frame,
# two under CAP_XFERCOUNT 2, the two of a job in one multi-page TIFF, and
# one through the source's own window.
TWAIN_FULL_PAGES = 2 * 4 * 6 + 2 + 2 + 1

# The pages of a run under a driver's conduct: every job by every transfer.
TWAIN_CONDUCT_PAGES = 4 * 6

# The Lab MFP's settings as the scanner keeps them, but grey at US letter
# (values its own codes cannot set): the records every model keeps
# (sim/scenario.cpp), the pixel type and the paper size changed.
GREY_LETTER_SETTINGS = [{"id": 4103, "value": 2}, {"id": 38933, "value": 1},
                        {"id": 6147, "value": 2}, {"id": 38917, "value": 3},
                        {"id": 38918, "value": 0}, {"id": 38920, "value": 0},
                        {"id": 38938, "value": 3}, {"id": 38936, "value": 0},
                        {"id": 38949, "value": 0}, {"id": 38953, "value": 0}]

# One A3 colour page at 600 dpi, some 200 MB, for a file transfer held to
# the application's memory.
BIG_PAGE_JOB = {"itemName": "a3-600.tif", "documentName": "A3 at 600 dpi", "itemId": "BIG-1",
                "pages": 1, "width": 7016, "height": 9921, "dataType": 3, "resolution": 4,
                "fileFormat": 1}


# The jobs of the source's window following the scanner (twain_window.cpp's
# WindowFollows): one whose thumbnail is written, one whose file is missing,
# one whose file is no picture, one deleted at the panel and one scanned,
# both while the window is open.
WINDOW_JOBS = [
    {"itemName": "first.tif", "documentName": "First", "itemId": "W-1", "pages": 2,
     "width": 120, "height": 90, "dataType": 3, "resolution": 2, "fileFormat": 1,
     "time": "2024-05-02T08:00:00"},
    {"itemName": "missing.tif", "documentName": "No picture", "itemId": "W-2", "pages": 1,
     "width": 64, "height": 90, "dataType": 2, "depth": 8, "deliveredDepth": 8,
     "thumbnail": "missing"},
    {"itemName": "corrupt.tif", "documentName": "Broken picture", "itemId": "W-3", "pages": 1,
     "width": 64, "height": 40, "thumbnail": "corrupt"},
    {"itemName": "gone.tif", "documentName": "Deleted at the panel", "itemId": "W-4",
     "pages": 1, "width": 50, "height": 70, "deletedAfterMs": 2500},
    {"itemName": "late.tif", "documentName": "Scanned meanwhile", "itemId": "W-5", "pages": 1,
     "width": 80, "height": 60, "dataType": 3, "arrivesAfterMs": 3000},
]


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
                twain_pixels("conduct-%s-twain%s" % (name, bits), lines, reference,
                             TWAIN_CONDUCT_PAGES)
        found = conducts.breaches(journal)
        check(not found, "conduct-%s-twain-no-breach" % name, "; ".join(found[:3]))
    variant_runs(wine, installer, scenario, clients, build64)
    wine_manager_test(wine, installer, path, build64)


def scenario_variant(scenario, build64, name, change):
    """The session scenario with the Lab MFP changed by `change` (a function
    of its device), written beside the others: its path."""
    data = json.loads(scenario)
    for device in data["devices"]:
        if device.get("localName") == "Lab MFP":
            change(device)
    path = os.path.join(build64, "e2e-twain-%s.json" % name)
    with open(path, "w") as f:
        json.dump(data, f, indent=1)
    return path


def variant_runs(wine, installer, scenario, clients, build64):
    """The runs of the TWAIN application against variants of the session
    scenario: every capability swept with the scanner's settings at grey and
    US letter; the other manager and a failed MSG_OPENDS; a 200 MB page
    held to the application's memory (once, in the source's usual bitness,
    else the other); the source's window following the scanner, and over an
    empty store; a server stopped under an open source, which the window
    tells the user of."""
    grey = scenario_variant(scenario, build64, "grey-letter",
                            lambda device: device.update(settings=GREY_LETTER_SETTINGS))
    big = scenario_variant(scenario, build64, "big-page",
                           lambda device: device.update(jobs=[BIG_PAGE_JOB]))
    window = scenario_variant(scenario, build64, "window",
                              lambda device: device.update(jobs=WINDOW_JOBS))
    empty = scenario_variant(scenario, build64, "window-empty",
                             lambda device: device.update(jobs=[]))
    stopped = scenario_variant(scenario, build64, "stopped", lambda device: None)
    for path, part in ((grey, "sweep"), (grey, "managers"), (big, "bigpage"),
                       (window, "window"), (empty, "window-empty"), (stopped, "stopped")):
        for bits, client in clients:
            if part == "bigpage" and bits == "64" and RUNS_32BIT:
                continue
            journal = os.path.join(build64, "e2e-twain-journal-%s-%s.txt" % (part, bits))
            installed = install_journalled(wine, installer, path, journal)
            check(installed.returncode == 0, "twain%s-%s-scenario-installed" % (bits, part),
                  installed.stderr[-300:])
            started = time.monotonic()
            output = run_client(wine, bits, client, part, "twain")
            if output is not None:
                for line in output.splitlines():
                    if line.startswith("note "):
                        note(line[5:])
            note("twain%s-%s took %.1f s" % (bits, part, time.monotonic() - started))
            found = conducts.breaches(journal)
            check(not found, "twain%s-%s-no-breach" % (bits, part), "; ".join(found[:3]))
    window_at_dpi(wine, installer, grey, clients, build64, 144)
    window_in_locale(wine, installer, grey, clients, build64, "ja_JP.UTF-8", "ja")


def table_text(language, name):
    """A text of the data source's string table of `language`
    (twain/source/strings_<language>.rc), as the resource compiler reads it."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "twain", "source",
                        "strings_%s.rc" % language)
    with open(path, encoding="utf-8") as f:
        for line in f:
            found = re.match(r'\s*%s\s+"(.*)"\s*$' % name, line)
            if found:
                return found.group(1).replace('""', '"')
    return None


def window_in_locale(wine, installer, scenario, clients, build64, locale, language):
    """The source's window under a locale of the prefix's user (every process
    of the prefix in it), the application asking for no language: its title
    is that language's, once, in the first bitness that runs."""
    bits, client = next(((b, c) for b, c in clients if b == "32" and RUNS_32BIT), clients[-1])
    journal = os.path.join(build64, "e2e-twain-journal-%s.txt" % language)
    install_journalled(wine, installer, scenario, journal)
    wine.stop()
    saved = dict(wine.env)
    wine.env.update(LANG=locale, LC_ALL=locale)
    try:
        with ServicesKeeper(wine):
            output = run_client(wine, bits, client, "window-title", "twain",
                                "window-title-" + language)
    finally:
        wine.env = saved
        wine.stop()
    if output is None:
        return
    shown = [bytes.fromhex(line.split()[1]).decode("utf-16-be") for line in output.splitlines()
             if line.startswith("title ") and len(line.split()) == 2]
    expected = (table_text(language, "IDS_JOBS_TITLE") or "?").replace(
        "%1", "Lab MFP").replace("%2", "anna")
    check(shown == [expected], "twain%s-window-title-in-%s" % (bits, locale.split(".")[0]),
          "%r where %r was expected" % (shown, expected))


def window_at_dpi(wine, installer, scenario, clients, build64, dpi):
    """The source's window's column titles at `dpi` (the screen's resolution
    set for the prefix's user, then set back), once, in the first bitness
    that runs: the run's rows name the resolution it had."""
    keys = [("HKCU\\Control Panel\\Desktop", "LogPixels"),
            ("HKCC\\Software\\Fonts", "LogPixels")]
    bits, client = next(((b, c) for b, c in clients if b == "64" or RUNS_32BIT), clients[0])
    journal = os.path.join(build64, "e2e-twain-journal-dpi.txt")
    install_journalled(wine, installer, scenario, journal)
    for key, value in keys:
        wine.run("reg", "add", key, "/v", value, "/t", "REG_DWORD", "/d", str(dpi), "/f")
    try:
        output = run_client(wine, bits, client, "window-columns", "twain", "window-%d-dpi" % dpi)
    finally:
        for key, value in keys:
            wine.run("reg", "delete", key, "/v", value, "/f")
    if output is not None:
        check("ok twain-window-column-titles-fit-at-%d-dpi" % dpi in output,
              "twain%s-window-at-%d-dpi" % (bits, dpi), "the run's rows: %r" % output[-300:])


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
