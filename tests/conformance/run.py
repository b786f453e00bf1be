#!/usr/bin/env python3
"""Runs the conformance table three times against the same simulated office
and compares the records:

  native  in-process, build/native/tests/conformance/stibridge_conformance
  win32   the 32-bit client through the proxy to the 64-bit server, under Wine
  win64   the 64-bit client the same way

The Wine runs share a prefix of their own (build/win64/wine-conformance) with
the server and both proxies registered; each run gets a fresh server process
(the one before must have quit), the scenario installed anew with its own
journal file, and clean user keys (the client deletes them). While a client
runs, the server processes of this prefix are watched: one process must serve
the whole run and quit after the client's last release.

Prints compare.py's "ok"/"FAIL" lines; the exit code is the number of FAILs
(capped at 100)."""

import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import compare  # noqa: E402
sys.path.insert(0, os.path.dirname(HERE))
import conducts  # noqa: E402
import harness  # noqa: E402
from harness import check  # noqa: E402
from winetools import RUNS_32BIT, Wine, skip_32bit, windows_builds  # noqa: E402


def run_native(native, scenario, out):
    record = os.path.join(out, "native.txt")
    for stale in (record, record + ".server"):
        if os.path.exists(stale):
            os.remove(stale)
    started = time.monotonic()
    result = subprocess.run([native, scenario, os.path.join(out, "journal-native.txt"), record],
                            capture_output=True, text=True, timeout=300)
    print("native run: exit %d in %.1f s" % (result.returncode, time.monotonic() - started),
          flush=True)
    if result.stderr:
        print(result.stderr[-2000:], flush=True)
    return record


def run_sanitized(native, scenario, out, reference, name="native-asan"):
    """The in-process run once more under AddressSanitizer and
    UndefinedBehaviorSanitizer: bad input must not corrupt the server's
    memory, and nothing may leak: the table drops one object without Close,
    which must hand back what it holds as Close would. Returns (passed,
    detail, record); the record must equal `reference` unless that is
    None."""
    record = os.path.join(out, name + ".txt")
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:abort_on_error=0",
               UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
    result = subprocess.run([native, scenario, os.path.join(out, "journal-%s.txt" % name),
                             record], capture_output=True, text=True, timeout=600, env=env)
    reports = [line for line in result.stderr.splitlines()
               if "ERROR: AddressSanitizer" in line or "ERROR: LeakSanitizer" in line
               or "runtime error:" in line]
    if result.returncode != 0 or reports:
        return False, "exit %d %s" % (result.returncode, " | ".join(reports[:3])), record

    def body(path):
        with open(path, encoding="utf-8", errors="replace") as f:
            return [line for line in f if not line.startswith("#")]

    if reference is not None and body(record) != body(reference):
        return False, "its record differs from the plain in-process one", record
    return True, "", record


def run_client(wine, bits, client, installer, scenario, out, name=None):
    """One cross-process run; writes the record and <record>.server."""
    name = name or "win" + bits
    record = os.path.join(out, "%s.txt" % name)
    journal = os.path.join(out, "journal-%s.txt" % name)
    for stale in (record, record + ".server", journal):
        if os.path.exists(stale):
            os.remove(stale)
    status = {"run": "win" + bits, "pids": [], "quit": False}
    if not wine.wait_for_no_process(10):
        status["detail"] = "a server of this prefix was still running before the run"
    installed = wine.run(installer, wine.windows_path(scenario), "--journal",
                         wine.windows_path(journal))
    if installed.returncode != 0:
        status["detail"] = "scenario not installed: " + installed.stderr[-300:]

    # The client's output goes to a file: the server that COM starts for it
    # inherits the client's standard handles, so a pipe would stay open
    # until the server quits.
    log_path = os.path.join(out, "%s-client.log" % name)
    started = time.monotonic()
    with open(log_path, "wb") as log:
        process = subprocess.Popen(wine.command(client, wine.windows_path(journal),
                                    wine.windows_path(record)),
                                   env=wine.env, stdout=log, stderr=log)
        seen = []
        deadline = started + 300
        while process.poll() is None and time.monotonic() < deadline:
            for pid in wine.processes():
                if pid not in seen:
                    seen.append(pid)
            time.sleep(0.05)
        if process.poll() is None:
            process.kill()
            process.wait()
            status["detail"] = "the client did not finish within 300 s"
    elapsed = time.monotonic() - started
    status["pids"] = seen
    status["client_exit"] = process.returncode
    status["quit"] = wine.wait_for_no_process(10)
    print("%s run: client exit %s in %.1f s, server processes %s, server quit: %s"
          % (name, process.returncode, elapsed, seen, status["quit"]), flush=True)
    with open(log_path, errors="replace") as log:
        noise = ("no driver could be loaded", "fixme:", "err:", "Application tried to create")
        tail = [line.strip() for line in log.read().splitlines()
                if line.strip() and not any(n in line for n in noise)][-5:]
    if tail:
        print("  client output: " + " | ".join(tail), flush=True)
    with open(record + ".server", "w") as f:
        json.dump(status, f)
    return record


def main():
    root = harness.tree_root()
    build64, build32 = windows_builds(root)
    out = os.path.join(root, "build", "conformance")
    os.makedirs(out, exist_ok=True)
    scenario = os.path.join(HERE, "scenario.json")

    records = {"native": run_native(
        os.path.join(root, "build", "native", "tests", "conformance", "stibridge_conformance"),
        scenario, out)}
    sanitized = os.path.join(root, "build", "native-asan", "tests", "conformance",
                             "stibridge_conformance")
    sanitizer_result = None
    if os.path.exists(sanitized):
        sanitizer_result = run_sanitized(sanitized, scenario, out, records["native"])
    # The same table under each of the driver's other conducts, in-process
    # under the sanitizers (the 32-bit client's runs follow below).
    profiles = conducts.profiles()
    scenarios = {name: conducts.scenario_under(scenario, conduct,
                                               os.path.join(out, "scenario-%s.json" % name))
                 for name, conduct in profiles}
    conduct_runs = []
    if os.path.exists(sanitized):
        for name, _ in profiles:
            started = time.monotonic()
            passed, detail, record = run_sanitized(sanitized, scenarios[name], out, None,
                                                   "native-asan-" + name)
            print("native-asan-%s run: %s in %.1f s" % (name, "clean" if passed else detail,
                                                        time.monotonic() - started), flush=True)
            conduct_runs.append((name + "-native-asan", records["native"], record,
                                 None if passed else detail))

    wine = Wine(os.path.join(build64, "wine-conformance"))
    started = time.monotonic()
    wine.fresh()
    print("prefix ready in %.1f s" % (time.monotonic() - started), flush=True)
    try:
        registered = [
            wine.run("regsvr32", "/s", os.path.join(build64, "proxy", "stibridgeps.dll")),
            wine.run(os.path.join(build64, "src", "stibridge.exe"), "/RegServer"),
        ]
        if RUNS_32BIT:
            registered.append(wine.run("C:\\windows\\syswow64\\regsvr32.exe", "/s",
                                       os.path.join(build32, "proxy", "stibridgeps.dll")))
        for result in registered:
            if result.returncode != 0:
                print("registration failed: " + result.stderr[-300:], flush=True)
        installer = os.path.join(build64, "sim", "stibridge_sim_install.exe")
        for bits, build in (("32", build32), ("64", build64)):
            if bits == "32" and not RUNS_32BIT:
                skip_32bit("record-win32-complete (the table from the 32-bit client)")
                continue
            client = os.path.join(build, "tests", "conformance", "conformance_client.exe")
            records["win" + bits] = run_client(wine, bits, client, installer, scenario, out)
        client32 = os.path.join(build32, "tests", "conformance", "conformance_client.exe")
        for name, _ in profiles:
            if not RUNS_32BIT:
                skip_32bit("conduct-%s-win32 (the 32-bit client's table under this conduct)"
                           % name)
                continue
            record = run_client(wine, "32", client32, installer, scenarios[name], out,
                                "win32-" + name)
            status = compare.read_status(record) or {}
            trouble = None
            if len(status.get("pids", [])) != 1 or not status.get("quit") or status.get("detail"):
                trouble = "the server did not serve the whole run and quit: %s" % status
            conduct_runs.append((name + "-win32", records["win32"], record, trouble))
    finally:
        wine.stop()

    failures = compare.compare(records["native"], {bits: records[bits] for bits in
                                                   ("win32", "win64") if bits in records},
                               os.path.join(root, "idl", "stibridge.idl"))
    # Each conduct's record against the default conduct's of the same kind of
    # run: the same rows and fields, the size word the driver leaves aside.
    for name, reference, record, trouble in conduct_runs:
        if trouble is not None:
            check(False, "conduct-" + name, trouble)
        else:
            failures += compare.compare_conduct(reference, record, name)
    # No run, under any conduct, may breach the protocol.
    journals = sorted(f for f in os.listdir(out) if f.startswith("journal-"))
    found = [(j, line) for j in journals for line in conducts.breaches(os.path.join(out, j))]
    check(not found, "no-breach: %d journals of this run hold no breach of the protocol"
          % len(journals), "%s: %s" % found[0] if found else "")
    if sanitizer_result is not None:
        passed, detail, _ = sanitizer_result
        check(passed, "in-process-sanitizers: the table runs clean under AddressSanitizer and "
              "UndefinedBehaviorSanitizer, with the same record", detail)
    return min(failures + harness.failures(), 100)


if __name__ == "__main__":
    sys.exit(main())
