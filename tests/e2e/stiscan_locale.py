"""stiscan under a Japanese and a German locale: names of devices, jobs and
files that hold what users of both give them, on the console and on disk."""

import json
import os
import shutil
import subprocess

from harness import check
from winetools import RUNS_32BIT, ServicesKeeper, Wine, rerun_if_unreached, skip_32bit
from console_cells import cell_text, column_of, console_output, shows
from stiscan_parts import failure_lines, run_json


# The locales of the Unicode checks, and the bitness of stiscan each runs:
# under code page 932 the 144 kanji of a job's name make 288 bytes, which the
# server cannot hand the driver (it answers S_FALSE), under 1252 they make
# 144 question marks, which it can.
UNICODE_LOCALES = [("ja_JP.UTF-8", "932", "32"), ("de_DE.UTF-8", "850", "64")]


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
