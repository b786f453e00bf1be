"""stiscan watch: a folder's pulls as jobs come and go, stopped by its time
or by Ctrl+C."""

import json
import os
import re
import select
import shutil
import signal
import subprocess
import time

from harness import check
from winetools import PACE
from pages import tool


def watch(wine, program, folder, *args, stop_when=None, stop_after=None):
    """stiscan watch --pull into `folder`; with `stop_when`, Ctrl+C (SIGINT,
    which Wine hands the program as CTRL_C_EVENT) as soon as a line of its
    output holds that text; with `stop_after` (a function of nothing), as
    soon as it holds true (asked each second), or when the watch's own time
    is up. Its exit code, output and errors."""
    process = subprocess.Popen(wine.command(program, "watch", "--pull", "--device", "Desk MFP",
                                "--out", wine.windows_path(folder), *args),
                               env=wine.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, errors="replace")
    out = ""
    if stop_when is not None or stop_after is not None:
        deadline = time.monotonic() + 120 * PACE
        while process.poll() is None and time.monotonic() < deadline:
            if stop_when is not None and stop_when in out:
                break
            if stop_after is not None and stop_after():
                break
            ready, _, _ = select.select([process.stdout], [], [], 1)
            if ready:
                out += process.stdout.readline()
        if process.poll() is None:
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
    # The watch runs until the folder's list holds the four jobs and a
    # sweep more has passed (a job pulled twice would show by then), or
    # until its own time is up: the colour job, written and flushed, and the
    # two late ones take the 32-bit stiscan anything from 10 s to more than
    # its old fixed 16 s on a loaded machine. The plain watch beside it
    # stops with it.
    beside = subprocess.Popen(wine.command(program, "watch", "--device", "Desk MFP", "--seconds",
                                           str(60 * PACE)),
                              env=wine.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, errors="replace")
    started = time.monotonic()
    all_pulled = ["a4-bw.tif", "a4-colour.tif", "late-1.tif", "late-2.tif"]
    complete = []  # when the list first held all four

    def pulled_and_settled():
        if pulled_list(folder) != all_pulled:
            return False
        if not complete:
            complete.append(time.monotonic())
        return time.monotonic() - complete[0] >= 4 * PACE

    code, out, err = watch(wine, program, folder, "--format", "bmp", "--seconds", str(50 * PACE),
                           "--delete", "--profile", "ann", stop_after=pulled_and_settled)
    beside.send_signal(signal.SIGINT)
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
          and pulled_list(folder) == all_pulled and "Pulled 3 jobs (7 pages)" in out,
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
