#!/usr/bin/env python3
"""Cross-process tests under Wine: registration of the server as Wine's own
tools see it, and 64-bit and 32-bit clients calling the server through COM's
local activation and the proxy/stub, each in its own process.

Prints one line per check, "ok <name>" or "FAIL <name>: <detail>"."""

import argparse
import json
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import conducts  # noqa: E402
from winetools import Wine  # noqa: E402

CLSID = "{2C6F1A4E-7D93-4B58-A1E0-5F38C2D97B16}"
CLASS_KEY = "HKCR\\CLSID\\" + CLSID
PROGIDS = ["HKCR\\zemka.twain.CStiScannerComBridge", "HKCR\\zemka.twain.CStiScannerComBridge.1"]

failures = 0


def check(passed, name, detail=""):
    global failures
    if passed:
        print("ok " + name, flush=True)
    else:
        failures += 1
        print("FAIL %s: %s" % (name, detail), flush=True)


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
    regsvr = wine.run("C:\\windows\\syswow64\\regsvr32.exe", "/s", proxy32)
    check(regsvr.returncode == 0, "proxy-x86-registered", regsvr.stderr[-300:])
    check(wine.run(server, "/RegServer").returncode == 0, "server-registered")
    installed = wine.run(installer, scenario)
    check(installed.returncode == 0, "simulator-installed", installed.stderr[-300:])

    for bits, client, part in [("64", client64, "identity"), ("32", client32, "identity"),
                               ("64", client64, "connection"), ("32", client32, "connection")]:
        run_client(wine, bits, client, part)


def run_client(wine, bits, client, part):
    """Runs one part in a client process; its check lines are reported with the
    client's bitness and the part in their names. Returns the client's output."""
    global failures
    result = wine.run(client, part, timeout=300)
    for line in result.stdout.splitlines():
        if line.startswith("ok ") or line.startswith("FAIL "):
            print(line.replace(" ", " client%s-%s-" % (bits, part), 1), flush=True)
            if line.startswith("FAIL "):
                failures += 1
    check(result.returncode == 0, "client%s-%s-exit-code" % (bits, part), str(result.returncode))
    check(wine.wait_for_no_process(5), "client%s-%s-server-quits" % (bits, part),
          "server still running: %s" % wine.processes())
    return result.stdout


def reference_pixels(tool, scenario):
    """The fingerprints of the pages as the driver generates them, by the
    native simulator: {(item, page): fingerprint}."""
    out = subprocess.run([tool, scenario], capture_output=True, text=True, timeout=120)
    check(out.returncode == 0, "reference-pixels", out.stderr[-300:])
    pages = {}
    for line in out.stdout.splitlines():
        fields = line.split()
        if len(fields) == 4 and fields[0] == "pixels":
            pages[(fields[1], fields[2])] = fields[3]
    return pages


def session_outcome(output):
    """A client part's observable outcome: its check lines (name and verdict)
    and its pixel lines, in order."""
    checks = [" ".join(line.split(":")[0].split()[:2]) for line in output.splitlines()
              if line.startswith("ok ") or line.startswith("FAIL ")]
    pixels = [line for line in output.splitlines() if line.startswith("pixels ")]
    return checks, pixels


def sessions(wine, installer, clients_by_bits, template, build64, pixels_tool):
    """The catalogue and a whole scanning session from each client against the
    session scenario, whose jobs include one owned by the clients' own user;
    then the 32-bit client's once more under each of the driver's other
    conducts, each held to the default conduct's outcome."""
    whoami = wine.run(clients_by_bits[0][1], "whoami")
    sid = whoami.stdout.strip()
    check(whoami.returncode == 0 and sid.startswith("S-1-"), "caller-sid", repr(whoami.stdout))
    with open(template) as f:
        scenario = f.read().replace("@CALLER@", sid)
    path = os.path.join(build64, "e2e-session.json")
    with open(path, "w") as f:
        f.write(scenario)
    journal = os.path.join(build64, "e2e-session-journal.txt")
    if os.path.exists(journal):
        os.remove(journal)
    installed = wine.run(installer, wine.windows_path(path), "--journal",
                         wine.windows_path(journal))
    check(installed.returncode == 0, "session-scenario-installed", installed.stderr[-300:])
    reference = reference_pixels(pixels_tool, path)

    default = {}
    for bits, client in clients_by_bits:
        default[bits] = [session_outcome(run_client(wine, bits, client, part))
                         for part in ("catalogue", "session")]
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
        variant = conducts.scenario_under(scenario, conduct,
                                          os.path.join(build64, "e2e-session-%s.json" % name))
        journal = os.path.join(build64, "e2e-session-journal-%s.txt" % name)
        if os.path.exists(journal):
            os.remove(journal)
        wine.run(installer, wine.windows_path(variant), "--journal", wine.windows_path(journal))
        for part, (checks, pixels) in zip(("catalogue", "session"), default[bits]):
            result = wine.run(client, part, timeout=300)
            got_checks, got_pixels = session_outcome(result.stdout)
            lost = [c for c in checks if c not in got_checks]
            gained = [c for c in got_checks if c not in checks]
            check(result.returncode == 0 and not lost and not gained and got_pixels == pixels,
                  "conduct-%s-client%s-%s: %d checks and %d page transfers as under the default "
                  "conduct" % (name, bits, part, len(got_checks), len(got_pixels)),
                  "exit %s, not as under the default: %s; new: %s; pixels %s"
                  % (result.returncode, lost[:4], gained[:4],
                     "the same" if got_pixels == pixels else "differ"))
            check(wine.wait_for_no_process(5), "conduct-%s-client%s-%s-server-quits"
                  % (name, bits, part), str(wine.processes()))
        found = conducts.breaches(journal)
        check(not found, "conduct-%s-no-breach" % name, "; ".join(found[:3]))


def stiscan_checks(wine, server, installer, scenario, programs, work):
    """stiscan, 32- and 64-bit, against the default simulated office: what it
    lists, what it pulls by each transfer, and its exit codes."""
    installed = wine.run(installer, wine.windows_path(scenario))
    check(installed.returncode == 0, "stiscan-scenario-installed", installed.stderr[-300:])
    for bits, program in programs:
        name = "stiscan%s-" % bits

        def run(*args):
            result = wine.run(program, *args, timeout=300)
            return result.returncode, result.stdout.replace("\r", ""), result.stderr

        code, out, _ = run("devices", "--json")
        try:
            devices = json.loads(out)
        except ValueError:
            devices = None
        check(code == 0 and devices == [{"name": "Lab MFP", "family": 2},
                                        {"name": "Floor 2", "family": 0}],
              name + "devices", out[-300:])
        code, out, _ = run("jobs", "--device", "Lab MFP", "--json")
        try:
            jobs = json.loads(out)
        except ValueError:
            jobs = []
        yours = [j["name"] for j in jobs if j.get("mayPreview")]
        check(code == 0 and len(jobs) == 7 and "scan0004.tif" not in yours and len(yours) == 5,
              name + "jobs", out[-300:])
        for transfer, extra, extension in [("native", [], ".bmp"), ("memory", [], ".bmp"),
                                           ("file", ["--format", "tiff"], ".tif")]:
            folder = os.path.join(work, "stiscan%s-%s" % (bits, transfer))
            shutil.rmtree(folder, ignore_errors=True)
            code, out, err = run("pull", "--device", "Lab MFP", "--transfer", transfer,
                                 "--chunk", "65536", "--out", wine.windows_path(folder), "--json",
                                 *extra)
            files = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
            try:
                summary = json.loads(out)
            except ValueError:
                summary = {}
            check(code == 0 and summary.get("pages") == 8 and len(files) == 8
                  and all(f.endswith(extension) for f in files),
                  name + "pull-" + transfer, "exit %s %s %s %s" % (code, files, out[-200:],
                                                                   err[-200:]))
            # Every page a standard decoder opens with the job's size.
            identify = subprocess.run(["identify", "-format", "%f %w %h\n",
                                       *[os.path.join(folder, f) for f in files]],
                                      capture_output=True, text=True)
            check(identify.returncode == 0 and "scan0001-p1%s 248 350" % extension
                  in identify.stdout, name + "pull-" + transfer + "-decodes",
                  identify.stdout[-300:] + identify.stderr[-300:])
        for args, expected, what in [(["scan"], 2, "usage"),
                                     (["jobs", "--device", "Nowhere"], 3, "no-device"),
                                     (["pull", "--device", "Lab MFP", "--job", "scan0004.tif"], 4,
                                      "access-denied"),
                                     (["jobs"], 2, "several-devices")]:
            code, _, err = run(*args)
            check(code == expected and err.startswith("stiscan: ") and err.count("\n") == 1,
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


def server_started_by_hand(wine, server, client):
    """A server started with -Embedding before the client: COM hands the client
    the running server's class object, and the server's own exit code can be
    read when it quits after the client's last release."""
    # By its Windows path, wine runs the server itself (not through start.exe),
    # so the process's exit code is the server's.
    server_path = wine.windows_path(os.path.abspath(server))
    for bits, program in client:
        process = subprocess.Popen(["wine", server_path, "-Embedding"], env=wine.env,
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


def lifetime(wine, client32, client64):
    """Two clients at once share one server, each with its own object; and
    clients that create an object the moment their last one is gone (the
    server on its way out) are all served, by this server or a new one."""
    holder = subprocess.Popen(["wine", client32, "hold"], env=wine.env, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = ""
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and line.strip() != "holding":
        line = holder.stdout.readline()
        if line == "":
            break
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
    check(code == 0, "lifetime-first-client-ends", str(code))
    check(wine.wait_for_no_process(5), "lifetime-server-quits-after-both", str(wine.processes()))

    # Creation right after the last release (a data source closing and
    # reopening at once), by one 64-bit client: the lingering server answers
    # the first attempts (one late client thread on a busy machine is
    # forgiven; without the linger one in fifteen failed). Then two 32-bit clients at once, pausing up to a
    # third of a second between rounds, so that creations also fall in the
    # moment an idle server ends: a creation whose class object COM fetched
    # just before the server withdrew it fails under Wine whatever the server
    # does (the client tries again); without the linger one in three did.
    for name, runs, most_failed in (("one-client", [(client64, 60, 0)], 1),
                                    ("two-clients", [(client32, 45, 37), (client32, 45, 43)],
                                     90 // 5)):
        churners = [subprocess.Popen(["wine", program, "churn", str(rounds), str(pause)],
                                     env=wine.env, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
                    for program, rounds, pause in runs]
        first_failed = 0
        for n, churner in enumerate(churners):
            try:
                output, _ = churner.communicate(timeout=600)
            except subprocess.TimeoutExpired:
                churner.kill()
                output, _ = churner.communicate()
            check(churner.returncode == 0, "lifetime-%s-%d-every-round-served" % (name, n),
                  output.strip()[-300:])
            for line in output.splitlines():
                if line.startswith("note churn:"):
                    print("  " + line, flush=True)
                    first_failed += int(line.split(",")[1].split()[0])
        check(first_failed <= most_failed, "lifetime-%s-first-attempts-served" % name,
              "%d first attempts failed, at most %d allowed" % (first_failed, most_failed))
        check(wine.wait_for_no_process(10), "lifetime-%s-no-server-left" % name,
              str(wine.processes()))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default=os.getcwd())
    args = parser.parse_args()
    build64 = os.path.join(args.root, "build", "win64")
    build32 = os.path.join(args.root, "build", "win32")
    wine = Wine(os.path.join(build64, "wine-e2e"))
    wine.server_unix = os.path.join(build64, "src", "stibridge.exe")

    wine.fresh()
    try:
        registration(wine, wine.server_unix)
        clients(wine, wine.server_unix,
                os.path.join(build64, "tests", "e2e", "bridge_client.exe"),
                os.path.join(build32, "tests", "e2e", "bridge_client.exe"),
                os.path.join(build64, "proxy", "stibridgeps.dll"),
                os.path.join(build32, "proxy", "stibridgeps.dll"),
                os.path.join(build64, "sim", "stibridge_sim_install.exe"),
                os.path.join(args.root, "sim", "scenarios", "default.json"))
        sessions(wine, os.path.join(build64, "sim", "stibridge_sim_install.exe"),
                 [("32", os.path.join(build32, "tests", "e2e", "bridge_client.exe")),
                  ("64", os.path.join(build64, "tests", "e2e", "bridge_client.exe"))],
                 os.path.join(args.root, "tests", "e2e", "scenarios", "session.json"), build64,
                 os.path.join(args.root, "build", "native", "sim", "tests",
                              "stibridge_sim_pixels"))
        stiscan_checks(wine, wine.server_unix,
                       os.path.join(build64, "sim", "stibridge_sim_install.exe"),
                       os.path.join(args.root, "sim", "scenarios", "default.json"),
                       [("32", os.path.join(build32, "tools", "stiscan", "stiscan.exe")),
                        ("64", os.path.join(build64, "tools", "stiscan", "stiscan.exe"))],
                       build64)
        lifetime(wine, os.path.join(build32, "tests", "e2e", "bridge_client.exe"),
                 os.path.join(build64, "tests", "e2e", "bridge_client.exe"))
        server_started_by_hand(wine, wine.server_unix,
                               [("64", os.path.join(build64, "tests", "e2e", "bridge_client.exe")),
                                ("32", os.path.join(build32, "tests", "e2e", "bridge_client.exe"))])
    finally:
        wine.stop()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
