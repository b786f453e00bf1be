"""The commit step of stiscan pull and watch --pull: a job's files are on
the disk before anything is deleted, through copies, names a file system
refuses, a disk that fills up, deletions left pending, and watches of one
folder stopped and started again."""

import json
import os
import re
import shutil
import signal
import subprocess
import time

from harness import check, note, skip
from winetools import (NO_32BIT, PACE, RUNS_32BIT, ServicesKeeper, WatchedProgram,
                       rerun_if_unreached)
from bridge import install_journalled
from pages import tiff_frames, tool
from stiscan_parts import failure_lines, run_json
from stiscan_watch import pulled_list


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
