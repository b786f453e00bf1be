"""stiscan's parts: its commands and exit codes against the default
office, the documents of every format and transfer, a server killed during
a pull, compression, a big job's memory, and doctor."""

import json
import os
import re
import shutil
import signal
import subprocess
import time

from harness import check, note
from winetools import (PACE, RUNS_32BIT, ServicesKeeper, WatchedProgram, rerun_if_unreached,
                       skip_32bit)
from bridge import CLASS_KEY, IID
from pages import (document_problems, pdf_pages, pixel_hash, pixels_of, pulled_pages,
                   raster_pages, reference_pixels, tiff_frames, tool)


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


def stiscan_checks(wine, server, installer, scenario, programs, work):
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


def stiscan_office_restored(wine, installer, scenario):
    """After stiscan's parts: no server left by the 32-bit stiscan's, and the
    default office installed again for the parts after."""
    if RUNS_32BIT:
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
        # The files' signatures (unsigned here, the data sources where no
        # package put them) are the package test's concern.
        statuses = [c["status"] for c in report.get("checks", [])
                    if c["id"] not in ("signature", "publisher")] if report else \
            [line.split()[0] for line in out.splitlines() if not line.startswith((" ", "A "))
             and not line[9:].startswith(("signature of ", "publisher: "))]
        # Only the 32-bit doctor, a data source's bitness, says a data source
        # would work; the 64-bit one says that only the 32-bit one can tell.
        if bits == "32":
            verdict = report.get("works") is True if report else re.search(
                r"\nA data source would work( \(\d+ warnings?\))?\.\n$", out) is not None
        else:
            verdict = "works" in report and report["works"] is None if report else \
                "only the 32-bit stiscan doctor can tell" in out \
                and "A data source would work" not in out
        check(code == 0 and len(statuses) == 6 + 2 * len(accepted) and not shown
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

    # A class key left in the 32-bit view (an old 32-bit registration) is a
    # warning from either doctor, naming what it registers and how to remove
    # it. (Wine 8 gives the 32-bit client that registration whatever it asks
    # for, so there the 32-bit doctor's activation fails too.)
    leftover = "C:\\old32\\stibridge.exe"
    wine.run("reg", "add", CLASS_KEY + "\\LocalServer32", "/ve", "/d", leftover, "/f", "/reg:32")
    for bits in ("64", "32"):
        code, out, report, shown = doctor(bits, "--json")
        view = [c for c in report.get("checks", []) if c["id"] == "registration-x86-view"]
        activation = [c for c in report.get("checks", []) if c["id"] == "activation"]
        check(len(view) == 1 and view[0]["status"] == "warning" and leftover in view[0]["found"]
              and "/reg:32" in view[0].get("remedy", "") and not shown,
              "stiscan%s-doctor-class-key-in-32-bit-view" % bits, "exit %s: %s" % (code, out[-900:]))
        if activation:
            note("stiscan%s-doctor-class-key-in-32-bit-view: activation %s: %s"
                 % (bits, activation[0]["status"], activation[0]["found"][:200]))
    wine.run("reg", "delete", CLASS_KEY, "/f", "/reg:32")
    healthy("stiscan32-doctor-without-the-32-bit-key", "32", "--json")
    windows_probe(wine, dict(programs))


def windows_probe(wine, programs):
    """stiscan doctor --windows-probe, as someone with Windows runs it once,
    from the 32-bit stiscan with the 64-bit one as the other client: its
    JSON goes into the log whole, and its answers are held to what Wine 8
    gives (measured), so that the probe cannot rot: the 64-bit server for
    both clients; in CreateInstance the watch holds the client (Wine's scan
    of the server's pipes), in the first direct call Wine names no caller
    (no client PID from the RPC runtime, CoGetCallerTID not implemented);
    the owner check without a call context to impersonate refuses the other
    SID and admits the user's own; the way out answers a creation in its
    middle from the same server (Wine's suspension does nothing); a killed
    client's object is cut off by the watch within its period."""
    result = wine.run(programs["32"], "doctor", "--windows-probe", "--other-stiscan",
                      wine.windows_path(programs["64"]), "--seconds", "20", timeout=400)
    try:
        report = json.loads(result.stdout)
    except ValueError:
        report = {}
    print("  windows-probe: %s" % json.dumps(report or result.stdout[-2000:]), flush=True)
    clients = report.get("clients", [])
    check(result.returncode == 0 and report.get("platform") == "wine" and len(clients) == 2
          and all(c.get("ran") for c in clients), "stiscan32-windows-probe-runs",
          "exit %s: %s" % (result.returncode, result.stdout[-600:] + result.stderr[-300:]))
    check([c.get("bits") for c in clients] == [32, 64]
          and all(c.get("server", {}).get("bits") == 64 for c in clients),
          "windows-probe-the-64-bit-server-answers-both",
          str([(c.get("bits"), c.get("server")) for c in clients]))
    learned = [(c.get("creation", {}).get("watches"),
                c.get("firstDirectCall", {}).get("rpcClientProcess", {}).get("status"),
                c.get("firstDirectCall", {}).get("callerThread", {}).get("result", {}).get("code"))
               for c in clients]
    check(all(w is not None and w.startswith("this client") and status == 1725
              and thread == "0x80004001" for w, status, thread in learned),
          "windows-probe-what-the-server-learned-under-wine", str(learned))
    owner = [c.get("ownerCheck", {}) for c in clients]
    check(all(o.get("anotherSid") == "refused" and o.get("ownSid") == "admitted"
              and o.get("impersonation", {}).get("code") == "0x80010117" for o in owner),
          "windows-probe-owner-check", str(owner))
    way_out = report.get("wayOut", {})
    check(way_out.get("began") is True
          and way_out.get("creationMeanwhile", {}).get("answeredBy") == "the same server",
          "windows-probe-way-out", str(way_out))
    killed = report.get("killedClient", {})
    check(killed.get("gone") is True and killed.get("cutOffByTheWatch") is True
          and killed.get("seconds", 99) <= 6, "windows-probe-killed-client", str(killed))


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
