#!/usr/bin/env python3
"""The fault soak and the resource accounting of the server under Wine.

Soak: a server started by hand (so that its exit code can be read), several
32-bit soak clients at once (64-bit ones where no 32-bit code runs) running
whole sessions against a simulator that
injects lock time-outs, escape failures, empty blocks and wrong counts at
random, clients killed at random moments (also in the middle of a transfer)
and new ones started. Afterwards: the server never crashed, no client saw an
answer its method may not give, every stored job that no client deleted on
purpose is still stored, no device lock outlived its call, and what happens
to the killed clients' objects: the server lets them go once their clients
have ended, its memory stays within its bound, and it ends by itself after
the last client. A second, short run without kills shows the server ending
with exit code 0 after its last client.

Resources: open/close sessions on one server, its handles counted by type
from the system's handle list and its private memory read from
/proc/PID/smaps_rollup every so many sessions; then the same with every
object released without Close.

Attribution (only when asked for): what an object released without Close,
a killed client and an injected fault each cost the server, in kB.

Prints "ok <name>" or "FAIL <name>: <detail>" per check and "note ..." lines
with the figures; exit code 1 when a check failed."""

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import harness  # noqa: E402
from harness import note  # noqa: E402
from winetools import NO_32BIT, RUNS_32BIT, Wine, skip_32bit  # noqa: E402


def check(passed, name, detail=""):
    """A row whose "ok" line shows the detail too: the soak's figures."""
    harness.check(passed, name, detail, shown=True)


class Process:
    """A Windows program of the prefix whose output lines are read as they come."""

    def __init__(self, wine, args, log_path):
        # What Wine itself says (a process it could not start) goes beside the
        # log, as the client writes nothing to its standard error.
        with open(os.path.splitext(log_path)[0] + ".err", "w") as errors:
            self.process = subprocess.Popen(wine.command(*args), env=wine.env,
                                            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                            stderr=errors, text=True, errors="replace",
                                            bufsize=1)
        self.pid = self.process.pid
        self.lines = []
        self.in_transfer = False
        self.killed = False
        self.killed_in_transfer = False
        self.log = open(log_path, "w")
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            line = line.rstrip("\r\n")
            self.lines.append(line)
            self.log.write(line + "\n")
            if line == "xfer-begin":
                self.in_transfer = True
            elif line == "xfer-end":
                self.in_transfer = False
        self.log.close()

    def wait_for_line(self, prefix, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            for line in list(self.lines):
                if line.startswith(prefix):
                    return line
            if self.process.poll() is not None and not self.reader.is_alive():
                return None
            time.sleep(0.05)
        return None

    def send(self, line):
        try:
            self.process.stdin.write(line + "\n")
            self.process.stdin.flush()
        except (BrokenPipeError, OSError):
            pass

    def alive(self):
        return self.process.poll() is None

    def kill(self):
        self.killed_in_transfer = self.in_transfer
        self.killed = True
        self.process.kill()
        self.process.wait()

    def finish(self, seconds):
        try:
            code = self.process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            self.process.kill()
            code = "hung"
        self.reader.join(timeout=10)
        return code

    def count(self, prefix):
        return sum(1 for line in self.lines if line.startswith(prefix))


def last_census(journal):
    """The last census line of the journal file: the STI objects alive in the
    server and the driver's blocks it holds ({} before the first)."""
    try:
        with open(journal, "rb") as f:
            f.seek(0, 2)
            f.seek(max(0, f.tell() - 65536))
            tail = f.read().decode(errors="replace")
    except OSError:
        return {}
    for line in reversed(tail.splitlines()):
        if line.startswith("census "):
            return {k: int(v) for k, v in (part.split("=", 1) for part in line.split()[1:])}
    return {}


def census_text(census):
    if not census:
        return "no census"
    return ("STI root objects %(roots)d, device objects %(devices)d; the driver's blocks out: "
            "settings %(settings)d, capabilities %(capabilities)d, lists %(lists)d, user records "
            "%(users)d, %(bytes)d bytes" % census)


def no_sti_object(census):
    """The server holds no STI object: every bridge object that opened one
    has let it go (the census counts them as the simulator sees them)."""
    return bool(census) and census["roots"] == 0 and census["devices"] == 0


def wait_for_no_sti_object(journal, seconds):
    deadline = time.monotonic() + seconds
    while True:
        census = last_census(journal)
        if no_sti_object(census) or time.monotonic() >= deadline:
            return census
        time.sleep(0.5)


class Holders:
    """Objects held by turns, so that the server does not quit between two
    clients and lose its stored jobs. Each holder lets go once the next one
    holds: a client connected for the whole soak would be one of the
    processes that may have made every object (under Wine the server cannot
    tell which connected process made an object), and the server keeps an
    object until all of those have ended."""

    def __init__(self, wine, paths, work):
        self.wine, self.paths, self.work = wine, paths, work
        self.count = 0
        self.failures = []
        self.current = self._start()

    def _start(self):
        holder = Process(self.wine, [self.paths["client"], "hold"],
                         os.path.join(self.work, "holder-%03d.log" % self.count))
        self.count += 1
        if holder.wait_for_line("holding", 60) is None:
            self.failures.append("holder %d did not hold" % (self.count - 1))
        return holder

    def hand_over(self):
        previous, self.current = self.current, self._start()
        self._release_and_end(previous)

    def _release_and_end(self, holder):
        holder.send("release")
        code = holder.finish(60)
        if code != 0:
            self.failures.append("a holder ended with %s" % code)

    def release(self):
        self._release_and_end(self.current)

    def kill(self):
        self.current.kill()


def command_line(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().replace(b"\0", b" ").decode(errors="replace").strip()
    except OSError:
        return ""


def start_server(wine, server, errors=None):
    """Starts the server as COM would, but as a child of this script, so that
    its process can be watched and its exit code read; what Wine says of it
    goes to `errors` (a file path) when given."""
    # The 64-bit loader runs it in the process it starts, so that process's
    # id and exit code are the server's.
    with open(errors or os.devnull, "w") as err:
        process = subprocess.Popen(wine.command(server, "-Embedding"), env=wine.env,
                                   stdout=subprocess.DEVNULL, stderr=err)
    # Until its class object is published a client would start a second one.
    time.sleep(3)
    return process


def server_exit(process, seconds):
    try:
        return process.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        return None


def hang_report(wine, work, name):
    """What every thread of the prefix waits on, when clients stopped making
    progress: saved in <name>-backtrace.txt, summed up in one line."""
    path = os.path.join(work, name + "-backtrace.txt")
    try:
        result = subprocess.run(wine.command("winedbg.exe", "--command", "bt all"), env=wine.env,
                                capture_output=True, text=True, errors="replace", timeout=180)
        text = result.stdout + result.stderr
    except subprocess.TimeoutExpired:
        text = "winedbg did not answer"
    with open(path, "w") as f:
        f.write(text)
    # The server's main thread is the first one listed for it.
    server = text.split("stibridge.exe):", 1)[1].split("Backtracing", 1)[0] if \
        "stibridge.exe):" in text else ""
    if "RpcServerUnregisterIf" in server and "RemRelease" in server:
        return ("the server's thread waits in Wine's RpcServerUnregisterIf for calls to end, "
                "inside a client's RemRelease, while the call that would end is waiting for "
                "that thread (see %s)" % path)
    return "see %s" % path


class Progress:
    """Notices when none of the watched programs has printed anything for a
    while: a server whose thread is stuck serves nobody."""

    def __init__(self, seconds):
        self.seconds = seconds
        self.lines = -1
        self.since = time.monotonic()

    def stalled(self, processes):
        lines = sum(len(p.lines) for p in processes)
        now = time.monotonic()
        if lines != self.lines or not any(p.alive() for p in processes):
            self.lines, self.since = lines, now
        return now - self.since > self.seconds


def install(wine, paths, scenario, journal):
    args = [paths["installer"], wine.windows_path(scenario)]
    if journal:
        args += ["--journal", wine.windows_path(journal)]
    result = wine.run(*args)
    return result.returncode == 0, result.stderr[-300:]


def soak_scenario(template, scratch, seed, chaos):
    with open(template) as f:
        scenario = json.load(f)
    device = next(d for d in scenario["devices"] if d.get("localName") == "Soak MFP")
    for n in range(scratch):
        name = "scratch-%03d.tif" % n
        device["jobs"].append({"itemName": name, "documentName": name, "itemId": name,
                               "pages": 1 + n % 2, "width": 24, "height": 16})
    if chaos:
        scenario["chaos"]["seed"] = seed
    else:
        del scenario["chaos"]
        # The journal the simulator keeps in the server's memory would be
        # the one thing that grows.
        scenario["journalLimit"] = 0
    return scenario


def check_journal(path):
    """The device lock as the driver saw it: taken and given up within one
    call, never by two objects at once, never waited for; no breach of the
    protocol; and the deletions that the driver carried out."""
    holders = {}  # device -> (object, depth)
    problems = []
    deletions = 0
    locks = escapes = injected = 0
    slowest = 0
    with open(path, errors="replace") as f:
        for number, line in enumerate(f, 1):
            fields = dict(part.split("=", 1) for part in line.split()[1:] if "=" in part)
            kind = line.split(" ", 1)[0]
            device, obj = fields.get("device"), fields.get("object")
            result = int(fields.get("result", "0"), 16)
            chaos = fields.get("chaos")
            injected += 1 if chaos else 0
            held = holders.get(device)
            if kind == "lock":
                locks += 1
                elapsed = int(fields.get("elapsed", "0"))
                if chaos is None:
                    slowest = max(slowest, elapsed)
                if result == 0:
                    if held and held[0] != obj:
                        problems.append("line %d: object %s locks while %s holds the device"
                                        % (number, obj, held[0]))
                    holders[device] = (obj, (held[1] if held and held[0] == obj else 0) + 1)
                elif chaos is None:
                    problems.append("line %d: a lock failed without an injected fault: %s"
                                    % (number, line.strip()))
            elif kind == "unlock":
                if not held or held[0] != obj:
                    problems.append("line %d: object %s unlocks what it does not hold"
                                    % (number, obj))
                elif held[1] <= 1:
                    holders[device] = None
                else:
                    holders[device] = (obj, held[1] - 1)
            elif kind == "escape":
                escapes += 1
                if not held or held[0] != obj:
                    problems.append("line %d: escape without the lock: %s" % (number, line.strip()))
                # An "empty" fault answers without doing anything; a wrong
                # count does not keep the driver from deleting.
                if fields.get("name") == "DeleteItem" and result == 0 and chaos != "empty":
                    deletions += 1
            elif kind == "breach":
                problems.append("line %d: a breach of the protocol: %s" % (number, line.strip()))
    still = {d: h for d, h in holders.items() if h}
    if still:
        problems.append("locks held at the end: %s" % still)
    # A lock that had to wait for another holder would take up to the
    # scenario's wait (200 ms) and fail after it; a free lock is taken at once
    # (a second is room for a machine that is busy elsewhere).
    if slowest >= 1000:
        problems.append("a lock without an injected fault took %d ms" % slowest)
    return {"problems": problems, "deletions": deletions, "locks": locks, "escapes": escapes,
            "injected": injected, "slowest": slowest}


def journal_checker_self_test(work):
    """The journal check against journals with a known fault each: a check
    that cannot fail proves nothing."""
    lock = "lock device=1 object=%s timeout=4000 elapsed=%d result=0x%08X%s\n"
    escape = "escape device=1 object=%s code=4104 name=DeleteItem in=56 out=0 size=0->0 " \
             "result=0x%08X%s\n"
    unlock = "unlock device=1 object=%s result=0x00000000\n"
    cases = [
        ("clean", [lock % (1, 0, 0, ""), escape % (1, 0, ""), unlock % 1,
                   lock % (2, 0, 0, ""), escape % (2, 0, " chaos=empty"), unlock % 2], 0, 1),
        ("overlap", [lock % (1, 0, 0, ""), lock % (2, 0, 0, ""), unlock % 1, unlock % 2], 1, 0),
        ("no-lock", [escape % (1, 0, "")], 1, 1),
        ("held", [lock % (1, 0, 0, "")], 1, 0),
        ("foreign-unlock", [lock % (1, 0, 0, ""), unlock % 2, unlock % 1], 1, 0),
        ("waited", [lock % (1, 1500, 0, ""), unlock % 1], 1, 0),
        ("failed", [lock % (1, 50, 0x80070021, "")], 1, 0),
        ("injected", [lock % (1, 50, 0x80070021, " chaos=timeout")], 0, 0),
        ("breach", [lock % (1, 0, 0, ""), escape % (1, 0x80070057, ""),
                    "breach device=1 object=1 code=4104 name=DeleteItem what=returned-block\n",
                    unlock % 1], 1, 0),
    ]
    wrong = []
    for name, lines, problems, deletions in cases:
        path = os.path.join(work, "journal-self-test.txt")
        with open(path, "w") as f:
            f.writelines(lines)
        facts = check_journal(path)
        if bool(facts["problems"]) != bool(problems) or facts["deletions"] != deletions:
            wrong.append("%s: %s" % (name, facts))
    check(not wrong, "soak-journal-check-finds-planted-faults", "; ".join(wrong))


def soak(wine, paths, args, work):
    scenario_path = os.path.join(work, "soak.json")
    journal = os.path.join(work, "journal.txt")
    stop_file = os.path.join(work, "stop")
    for path in (journal, stop_file):
        if os.path.exists(path):
            os.remove(path)
    scenario = soak_scenario(paths["scenario"], args.scratch, args.seed, True)
    scenario["census"] = True
    with open(scenario_path, "w") as f:
        json.dump(scenario, f, indent=1)
    installed, detail = install(wine, paths, scenario_path, journal)
    check(installed, "soak-scenario-installed", detail)
    jobs = [j["documentName"] for d in scenario["devices"] for j in d.get("jobs", [])]
    kept = [j for j in jobs if j.startswith("keep-")]

    rng = random.Random(args.seed)
    server = start_server(wine, paths["server"], os.path.join(work, "server.err"))
    holders = Holders(wine, paths, work)
    check(not holders.failures, "soak-holder-connected", "; ".join(holders.failures))

    stop_windows = wine.windows_path(stop_file)
    factory = ["factory"] if args.create == "factory" else []
    clients, running = [], []
    crashed = None
    hung = None
    progress = Progress(args.hang_seconds)
    started = time.monotonic()
    deadline = started + args.duration
    # The server's private memory, sampled each minute, with what it holds
    # then (the census of STI objects and driver blocks), the clients killed
    # and the sessions done so far.
    samples = [soak_sample(server, journal, started, [])]
    memory = [samples[0]["private"]]
    shutil.copy("/proc/%d/smaps" % server.pid, os.path.join(work, "smaps-soak-start.txt"))
    next_sample = started + 60
    next_hand_over = started + HAND_OVER_SECONDS
    next_kill = started + rng.uniform(0.5, 1.5) * args.kill_every
    transfer_kill = rng.random() < 0.5
    while time.monotonic() < deadline:
        if server.poll() is not None:
            crashed = server.returncode
            break
        running = [c for c in running if c.alive()]
        while len(running) < args.clients:
            n = len(clients)
            sessions = rng.randint(3, 30)
            client = Process(wine, [paths["client"], "soak", str(args.seed * 1000 + n),
                                    stop_windows, str(sessions)] + factory,
                             os.path.join(work, "client-%03d.log" % n))
            clients.append(client)
            running.append(client)
        now = time.monotonic()
        if now >= next_kill:
            # Half of the kills wait for a client that is in the middle of a
            # transfer (up to a few seconds), the others strike at once.
            victims = [c for c in running if c.in_transfer] if transfer_kill else running
            if victims or now >= next_kill + 5:
                victim = rng.choice(victims or running)
                if transfer_kill:
                    time.sleep(rng.uniform(0, 0.03))
                victim.kill()
                next_kill = now + rng.uniform(0.5, 1.5) * args.kill_every
                transfer_kill = rng.random() < 0.5
        if progress.stalled(running):
            hung = hang_report(wine, work, "soak-hang")
            break
        if now >= next_hand_over:
            holders.hand_over()
            next_hand_over = now + HAND_OVER_SECONDS
        if now >= next_sample and server.poll() is None:
            samples.append(soak_sample(server, journal, started, clients))
            memory.append(samples[-1]["private"])
            next_sample = now + 60
        time.sleep(0.02)

    if hung:
        check(False, "soak-server-keeps-serving",
              "no client made progress for %d s: %s" % (args.hang_seconds, hung))
        for client in clients:
            if client.alive():
                client.kill()
        holders.kill()
        wine.stop()
        server_exit(server, 30)
        report_clients(clients)
        return

    # The end: no new clients; the running ones finish their session.
    open(stop_file, "w").close()
    codes = {}
    for client in running:
        codes[client] = client.finish(300)
    if "hung" in codes.values():
        check(False, "soak-server-keeps-serving",
              "clients did not finish: %s" % hang_report(wine, work, "soak-end-hang"))
    for client in clients:
        client.reader.join(timeout=10)
    if crashed is None and server.poll() is not None:
        crashed = server.returncode
    check(crashed is None, "soak-server-never-crashed",
          "" if crashed is None else "server exited with %s during the soak" % crashed)
    if crashed is None:
        samples.append(soak_sample(server, journal, started, clients))
        memory.append(samples[-1]["private"])
        note("server private memory during the soak: %d kB at the start, %d kB at the end, "
             "%d kB at most (samples each minute: %s)"
             % (memory[0], memory[-1], max(memory), " ".join(str(m) for m in memory)))
        for sample in samples:
            note("soak at %2d min: private %6d kB, %d threads; %s; %d clients killed, "
                 "%d sessions" % (sample["minute"], sample["private"], sample["threads"],
                                  census_text(sample["census"]), sample["killed"],
                                  sample["sessions"]))

    killed = [c for c in clients if c.killed]
    finished = [c for c in clients if not c.killed]
    sessions = sum(c.count("session ") for c in clients)
    violations = [line for c in clients for line in c.lines if line.startswith("violation ")]
    deletes = {line.split(" ", 1)[1] for c in clients for line in c.lines
               if line.startswith("delete-request ")}
    bad_exits = ["client %d: %s" % (clients.index(c), codes.get(c, c.process.returncode))
                 for c in finished if codes.get(c, c.process.returncode) != 0]
    summaries = sum(1 for c in finished if any(l.startswith("summary ") for l in c.lines))
    calls = sum(int(l.split()[4]) for c in finished for l in c.lines if l.startswith("summary "))
    note("soak: %d s, %d clients started, %d killed (%d in the middle of a transfer), "
         "%d sessions completed, %d calls by the clients that finished, %d deletions requested"
         % (args.duration, len(clients), len(killed), sum(c.killed_in_transfer for c in killed),
            sessions, calls, len(deletes)))
    check(sessions > 0 and len(killed) > 0, "soak-sessions-and-kills",
          "%d sessions, %d kills" % (sessions, len(killed)))
    check(not violations, "soak-only-allowed-answers",
          "%d violations: %s" % (len(violations), "; ".join(violations[:10])))
    check(not bad_exits and summaries == len(finished), "soak-surviving-clients-finish",
          "%s, %d of %d summaries" % (bad_exits, summaries, len(finished)))
    write_results(clients, os.path.join(work, "results.txt"))

    # What the driver saw.
    journal_facts = check_journal(journal)
    note("journal: %(locks)d locks, %(escapes)d escapes, %(injected)d random faults, "
         "%(deletions)d jobs deleted, slowest lock without a fault %(slowest)d ms" % journal_facts)
    check(not journal_facts["problems"], "soak-locks-never-outlive-a-call",
          "; ".join(journal_facts["problems"][:10]))
    check(journal_facts["injected"] > 0, "soak-faults-injected", str(journal_facts["injected"]))

    # Nothing lost: what is stored is the scenario's jobs less those deleted
    # on purpose.
    lister = Process(wine, [paths["client"], "jobs"], os.path.join(work, "jobs.log"))
    code = lister.finish(300)
    stored = [line.split(" ", 1)[1] for line in lister.lines if line.startswith("job ")]
    missing = [j for j in jobs if j not in stored]
    lost = [j for j in missing if j not in deletes]
    check(code == 0 and len(stored) > 0, "soak-stored-jobs-listed",
          "exit %s, %d jobs" % (code, len(stored)))
    check(not lost and all(k in stored for k in kept), "soak-nothing-lost",
          "lost: %s" % lost[:20])
    check(set(stored) <= set(jobs), "soak-no-unknown-jobs", str(set(stored) - set(jobs)))
    check(len(missing) == journal_facts["deletions"], "soak-deletions-match-the-journal",
          "%d jobs gone, %d deletions carried out" % (len(missing), journal_facts["deletions"]))
    note("jobs: %d stored of %d, %d deleted on purpose, %d deletions requested"
         % (len(stored), len(jobs), len(missing), len(deletes)))

    # Whatever the killed clients left, a new client is served whole, with
    # the device lock free.
    before = time.monotonic()
    probe = Process(wine, [paths["client"], "soak", str(args.seed * 1000 + 999), stop_windows + "-",
                           "3"], os.path.join(work, "probe.log"))
    code = probe.finish(300)
    took = time.monotonic() - before
    check(code == 0 and probe.count("session ") == 3, "soak-next-client-served",
          "exit %s, %d sessions in %.1f s" % (code, probe.count("session "), took))

    # A last hand-over, now that every client has ended: the killed clients'
    # objects go once every process that may have made them has ended (the
    # holders included), and the server then holds no STI object.
    holders.hand_over()
    census = wait_for_no_sti_object(journal, 2 * WATCH_SECONDS + 10)
    check(no_sti_object(census), "soak-killed-clients-objects-released", census_text(census))
    if crashed is None:
        shutil.copy("/proc/%d/smaps" % server.pid, os.path.join(work, "smaps-soak-end.txt"))
        end = soak_sample(server, journal, started, clients)
        end["census"] = census
        check_soak_memory(samples, end, sessions, args)

    # The last holder lets go: the server ends by itself, the killed clients
    # notwithstanding.
    holders.release()
    check(not holders.failures, "soak-holders-hand-over",
          "%d holders: %s" % (holders.count, "; ".join(holders.failures)))
    released = time.monotonic()
    code = server_exit(server, SERVER_END_SECONDS + 30)
    took = time.monotonic() - released
    check(code == 0 and took <= SERVER_END_SECONDS, "soak-server-ends-after-the-last-client",
          "exit %s after %.1f s (the idle time and the watch's period: %d s)"
          % ("none" if code is None else code, took, SERVER_END_SECONDS))
    if code is None:
        wine.stop()
        server_exit(server, 30)


# How often the server looks at its clients' processes (kClientWatchMilliseconds),
# and how long a server with no object and no lock takes to end by itself
# (kIdleEndMilliseconds, its way out included).
WATCH_SECONDS = 2
IDLE_SECONDS = 30
SERVER_END_SECONDS = IDLE_SECONDS + WATCH_SECONDS
# Each holder of the soak lets go after this long, once the next one holds.
HAND_OVER_SECONDS = 60


def soak_sample(server, journal, started, clients):
    """The server's private memory and threads, what it holds (the census),
    and how far the soak has come."""
    facts = rollup(server.pid)
    return {"minute": round((time.monotonic() - started) / 60), "private": facts["private"],
            "threads": facts["Threads"], "census": last_census(journal),
            "killed": sum(c.killed for c in clients),
            "sessions": sum(c.count("session ") for c in clients)}


def kept_kb(sample):
    """The server's private memory less the driver's blocks still out
    (blocks whose hand-back an injected fault refused, which the bridge may
    not touch again, and the user records, which are never handed back):
    what the bridge, the rest of the driver and Wine keep."""
    return sample["private"] - (sample["census"].get("bytes", 0) + 1023) // 1024


def check_soak_memory(samples, end, sessions, args):
    """From the first minute on (the driver loaded, every kind of session
    met, the clients' first connections made), what the server keeps less
    the driver's blocks stays within 10 % of its private memory at the start
    of the soak, plus 1100 kB for each thread Wine's RPC started meanwhile;
    so does it once the killed clients' objects have gone. A leak of a few
    kB per session, per killed client or per fault outgrows that within the
    bounded soak."""
    start = samples[0]["private"]
    base = samples[1] if len(samples) > 1 else end
    later = samples[1:] + [end]
    threads = max(0, max(s["threads"] for s in later) - base["threads"])
    bound = start // 10 + THREAD_KB * threads
    growth = [kept_kb(s) - kept_kb(base) for s in later]
    note("soak memory: %d kB at the start, %d kB after the first minute, %d kB at most; less the "
         "driver's blocks still out, each minute: %s kB, %d kB at the end (%s); %d sessions"
         % (start, base["private"], max(s["private"] for s in samples + [end]),
            " ".join(str(kept_kb(s)) for s in samples), kept_kb(end), census_text(end["census"]),
            sessions))
    check(max(growth) <= bound, "soak-memory-flat",
          "less the driver's blocks still out, at most %+d kB on the first minute's %d kB, %d kB "
          "at the end; bound %d kB (10 %% of the start%s)"
          % (max(growth), kept_kb(base), kept_kb(end), bound,
             ", and %d more thread(s)" % threads if threads else ""))


def report_clients(clients):
    violations = [line for c in clients for line in c.lines if line.startswith("violation ")]
    note("%d clients, %d sessions, %d violations before the stop: %s"
         % (len(clients), sum(c.count("session ") for c in clients), len(violations),
            "; ".join(violations[:10])))


def write_results(clients, path):
    """Every result every client got, per method, summed."""
    totals = {}
    for c in clients:
        for line in c.lines:
            if line.startswith("results "):
                _, method, hr, count = line.split()
                totals[(method, hr)] = totals.get((method, hr), 0) + int(count)
    with open(path, "w") as f:
        for (method, hr), count in sorted(totals.items()):
            f.write("%-26s %s %d\n" % (method, hr, count))


def clean_exit(wine, paths, args, work):
    """Several clients at once, with random faults but no kills: the server
    ends with exit code 0 once the last of them has gone."""
    scenario_path = os.path.join(work, "clean.json")
    with open(scenario_path, "w") as f:
        json.dump(soak_scenario(paths["scenario"], args.scratch, args.seed + 1, True), f, indent=1)
    installed, detail = install(wine, paths, scenario_path, None)
    check(installed, "clean-scenario-installed", detail)
    server = start_server(wine, paths["server"])
    stop_windows = wine.windows_path(os.path.join(work, "stop-clean"))
    clients = [Process(wine, [paths["client"], "soak", str(args.seed * 1000 + 500 + n),
                              stop_windows, str(args.clean_sessions)],
                       os.path.join(work, "clean-%d.log" % n)) for n in range(args.clients)]
    progress = Progress(args.hang_seconds)
    while any(c.alive() for c in clients) and not progress.stalled(clients):
        time.sleep(0.1)
    if any(c.alive() for c in clients):
        check(False, "clean-server-keeps-serving",
              "no client made progress for %d s: %s"
              % (args.hang_seconds, hang_report(wine, work, "clean-hang")))
        for c in clients:
            c.kill()
        wine.stop()
        return
    codes = [c.finish(60) for c in clients]
    violations = [l for c in clients for l in c.lines if l.startswith("violation ")]
    check(all(code == 0 for code in codes) and not violations, "clean-clients-finish",
          "exits %s; %s" % (codes, "; ".join(violations[:5])))
    code = server_exit(server, 15)
    check(code == 0, "clean-server-exit-code-0-after-the-last-client",
          "still running" if code is None else str(code))
    if code is None:
        wine.stop()


THREAD_KB = 1100


def rollup(pid):
    """The server's memory as the kernel counts it (kB), its threads and
    file descriptors."""
    facts = {}
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 2 and parts[0].endswith(":") and parts[1].isdigit():
                facts[parts[0][:-1]] = int(parts[1])
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("Threads", "VmRSS", "RssAnon"):
                facts[key] = int(value.split()[0])
    facts["private"] = facts.get("Private_Clean", 0) + facts.get("Private_Dirty", 0)
    facts["fds"] = len(os.listdir("/proc/%d/fd" % pid))
    return facts


def resources(wine, paths, args, work, close=True):
    """The resource sessions on a server of their own; with `close` false
    every object is released without Close."""
    part = "resources" if close else "resources-without-close"
    wine.stop()
    scenario_path = os.path.join(work, part + ".json")
    journal = os.path.join(work, "journal-%s.txt" % part)
    if os.path.exists(journal):
        os.remove(journal)
    scenario = soak_scenario(paths["scenario"], 4, 0, False)
    scenario["census"] = True
    with open(scenario_path, "w") as f:
        json.dump(scenario, f, indent=1)
    installed, detail = install(wine, paths, scenario_path, journal)
    check(installed, part + "-scenario-installed", detail)
    server = start_server(wine, paths["server"])
    command = command_line(server.pid)
    check("stibridge.exe" in command and "start.exe" not in command,
          part + "-server-process-found", command)

    client = Process(wine, [paths["client"], "resources", str(args.resource_sessions),
                            str(args.resource_every), "wait", args.resource_depth]
                     + ([] if close else ["noclose"])
                     + (["factory"] if args.resource_create == "factory" else []),
                     os.path.join(work, part + ".log"))
    points = []
    progress = Progress(args.hang_seconds)
    seen = 0
    while client.alive():
        if progress.stalled([client]):
            check(False, part + "-server-keeps-serving",
                  "no progress for %d s after %d checkpoints: %s"
                  % (args.hang_seconds, seen, hang_report(wine, work, part + "-hang")))
            client.kill()
            wine.stop()
            return
        lines = [l for l in client.lines if l.startswith("checkpoint ")]
        if len(lines) > seen:
            fields = lines[seen].split()
            point = {"sessions": int(fields[1])}
            for i in range(2, len(fields) - 1, 2):
                point[fields[i]] = int(fields[i + 1])
            point.update(rollup(server.pid))
            point["census"] = last_census(journal)
            # The mappings themselves, to tell a heap that grows from stacks.
            shutil.copy("/proc/%d/smaps" % server.pid,
                        os.path.join(work, "smaps-%s-%05d.txt" % (part, point["sessions"])))
            points.append(point)
            seen += 1
            client.send("go")
        time.sleep(0.02)
    code = client.finish(600)
    violations = [l for l in client.lines if l.startswith("violation ")]
    check(code == 0 and not violations, part + "-every-session-succeeds",
          "exit %s; %s" % (code, "; ".join(violations[:5])))
    with open(os.path.join(work, part + ".txt"), "w") as f:
        f.write("sessions handles named_events other_events keys other reported private_kB "
                "rss_kB anon_kB threads fds\n")
        for p in points:
            p["other_events"] = p["events"] - p["named"]
            f.write("%(sessions)d %(handles)d %(named)d %(other_events)d %(keys)d %(other)d "
                    "%(reported)d %(private)d %(VmRSS)d %(RssAnon)d %(Threads)d %(fds)d\n" % p)
            note(part + " after %(sessions)4d sessions: handles %(handles)d (named events "
                 "%(named)d, other events %(other_events)d, keys %(keys)d, other %(other)d; "
                 "GetProcessHandleCount %(reported)d, of the client itself %(own)d), private "
                 "%(private)d kB, rss %(VmRSS)d kB, threads %(Threads)d, fds %(fds)d" % p
                 + "; " + census_text(p["census"]))
    expected = len(set(list(range(0, args.resource_sessions + 1, args.resource_every))
                       + [args.resource_sessions]
                       + ([10] if args.resource_sessions >= 10 else [])))
    check(len(points) == expected, part + "-checkpoints", "%d of %d" % (len(points), expected))
    if len(points) >= 2:
        first, last = points[0], points[-1]
        check(first["handles"] > 0, part + "-handles-counted", str(first["handles"]))
        steps = list(zip(points, points[1:]))
        # The three named events of RegisterEvents, told from the other
        # event handles by their names: Wine's RPC threads hold events of
        # their own, which come and go with the threads.
        check(all(b["named"] - a["named"] == 3 * (b["sessions"] - a["sessions"])
                  for a, b in steps), part + "-three-named-event-handles-per-session",
              "named events %s" % [p["named"] for p in points])
        rest = [p["handles"] - p["named"] for p in points]
        check(max(rest) - min(rest) <= 4 and rest[-1] - rest[0] <= 2,
              part + "-nothing-else-grows",
              "all other handles %s (keys %s, other events %s)"
              % (rest, [p["keys"] for p in points],
                 [p["events"] - p["named"] for p in points]))
        # Wine's RPC starts a thread (and its four descriptors) when it needs
        # one more and keeps a few: a handful is its business, a count that
        # grows with the sessions is not.
        check(last["Threads"] - first["Threads"] <= 2 and last["fds"] - first["fds"] <= 8,
              part + "-threads-and-fds-flat",
              "fds %d -> %d, threads %d -> %d" % (first["fds"], last["fds"], first["Threads"],
                                                  last["Threads"]))
        # Memory after the first checkpoint's sessions: the heaps have grown
        # to their working size; what a leak of a few hundred bytes a session
        # would add over the run is well above the tolerance.
        # A thread that Wine's RPC starts when it needs one more costs about
        # a megabyte once (its stack and thread block), whatever the server
        # does; it is allowed for, and said.
        later = [p for p in points[1:-1] if p["sessions"] >= args.resource_every]
        base = later[0] if later else first
        growth = last["private"] - base["private"]
        sessions = last["sessions"] - base["sessions"]
        threads = max(0, last["Threads"] - base["Threads"])
        allowed = args.memory_tolerance_kb + THREAD_KB * threads
        check(growth <= allowed, part + "-private-memory-flat",
              "%+d kB over %d sessions, %.0f bytes a session; tolerance %d kB%s"
              % (growth, sessions, growth * 1024.0 / max(1, sessions), allowed,
                 " with %d more thread(s)" % threads if threads else ""))
    code = server_exit(server, 15)
    # At each checkpoint the client holds only its anchor object, which opens
    # nothing: every session's object has let its STI objects go, Close or no
    # Close.
    stray = [p["sessions"] for p in points if not no_sti_object(p["census"])]
    check(points and not stray, part + "-no-sti-object-left",
          "checkpoints with STI objects beyond the held object's: %s" % stray)
    check(code == 0, part + "-server-exit-code-0", "still running" if code is None else str(code))
    if code is None:
        wine.stop()


def attribution(wine, paths, args, work):
    """What each kind of event costs the server, in kB of private memory and
    in what it keeps (the census): an object released without Close, a
    killed client (its object open, or closed first: what Wine and the bare
    object keep of a dead client) and an injected fault. Each phase runs
    between two samples taken while no client runs; a holder keeps the
    server, and hands over to a new one before each sample, so that the
    objects the killed clients made have no live process left that may have
    made them."""
    rows = []

    def sample(journal):
        time.sleep(2 * WATCH_SECONDS + 1)
        return rollup(server.pid)["private"], last_census(journal)

    def row(name, events, before, after):
        (m0, c0), (m1, c1) = before, after
        delta = {k: c1.get(k, 0) - c0.get(k, 0) for k in ("roots", "devices", "settings",
                                                         "capabilities", "lists", "bytes")}
        rows.append((name, events, (m1 - m0) / max(1, events), delta))
        note("attribution %s: %d events, %+d kB in all, %.1f kB each; of it the driver's blocks "
             "%+.1f kB each; STI objects kept %+d root, %+d device; blocks kept: settings %+d, "
             "capabilities %+d, lists %+d"
             % (name, events, m1 - m0, (m1 - m0) / max(1, events),
                delta["bytes"] / 1024.0 / max(1, events), delta["roots"], delta["devices"],
                delta["settings"], delta["capabilities"], delta["lists"]))

    def fresh(name, chaos):
        journal = os.path.join(work, "journal-%s.txt" % name)
        if os.path.exists(journal):
            os.remove(journal)
        scenario = soak_scenario(paths["scenario"], args.scratch, args.seed, chaos)
        scenario["census"] = True
        scenario_path = os.path.join(work, name + ".json")
        with open(scenario_path, "w") as f:
            json.dump(scenario, f, indent=1)
        wine.stop()
        installed, detail = install(wine, paths, scenario_path, journal)
        check(installed, "attribution-%s-scenario-installed" % name, detail)
        return journal

    def run(name, args_, seconds=600):
        client = Process(wine, [paths["client"]] + args_, os.path.join(work, name + ".log"))
        return client.finish(seconds)

    # Early releases and killed clients, without faults.
    journal = fresh("attribution", False)
    server = start_server(wine, paths["server"], os.path.join(work, "attribution-server.err"))
    holders = Holders(wine, paths, work)
    run("attribution-warm", ["resources", "20", "20", "full"])
    before = sample(journal)
    run("attribution-early", ["resources", str(args.attribution_events * 5),
                              str(args.attribution_events * 5), "full", "noclose"])
    after = sample(journal)
    # The resource client runs one session before those it counts.
    row("release-without-close", args.attribution_events * 5 + 1, before, after)
    for name, extra in (("killed-open", []), ("killed-closed", ["closed"])):
        before = after
        for n in range(args.attribution_events):
            client = Process(wine, [paths["client"], "open-and-wait"] + extra,
                             os.path.join(work, "attribution-%s-%02d.log" % (name, n)))
            client.wait_for_line("ready", 120)
            client.kill()
            # One at a time: the next killed client's object is made only
            # once this one has had the time to go, so that the heap does not
            # grow to hold several at once.
            holders.hand_over()
            wait_for_no_sti_object(journal, 2 * WATCH_SECONDS + 1)
        after = sample(journal)
        row(name, args.attribution_events, before, after)
    holders.release()
    code = server_exit(server, SERVER_END_SECONDS + 30)
    note("attribution: the server %s after its last holder let go"
         % ("ended" if code is not None else "still ran %d s" % (SERVER_END_SECONDS + 30)))
    if code is None:
        wine.stop()
        server_exit(server, 30)

    # Injected faults: the same sessions with and without random faults.
    growth = {}
    for chaos in (False, True):
        name = "attribution-%s" % ("faults" if chaos else "clean")
        journal = fresh(name, chaos)
        server = start_server(wine, paths["server"], os.path.join(work, name + "-server.err"))
        holders = Holders(wine, paths, work)
        stop = wine.windows_path(os.path.join(work, "stop-" + name))
        run(name + "-warm", ["soak", str(args.seed * 1000 + 700), stop, "10"])
        holders.hand_over()
        before = sample(journal)
        faults_before = count_faults(journal)
        for n in range(2):
            run("%s-%d" % (name, n), ["soak", str(args.seed * 1000 + 710 + n), stop,
                                      str(args.attribution_events * 5)])
        holders.hand_over()
        after = sample(journal)
        growth[chaos] = (before, after, count_faults(journal) - faults_before)
        holders.release()
        if server_exit(server, SERVER_END_SECONDS + 30) is None:
            wine.stop()
            server_exit(server, 30)
    (b0, a0, _), (b1, a1, faults) = growth[False], growth[True]
    clean = (a0[0] - b0[0], a0[1].get("bytes", 0) - b0[1].get("bytes", 0))
    faulty = (a1[0] - b1[0], a1[1].get("bytes", 0) - b1[1].get("bytes", 0))
    note("attribution injected-fault: %d faults; %+d kB with them, %+d kB without, %.1f kB a "
         "fault; of it the driver's blocks %.1f kB a fault; blocks kept with faults: settings "
         "%+d, capabilities %+d, lists %+d"
         % (faults, faulty[0], clean[0], (faulty[0] - clean[0]) / max(1, faults),
            (faulty[1] - clean[1]) / 1024.0 / max(1, faults),
            a1[1].get("settings", 0) - b1[1].get("settings", 0),
            a1[1].get("capabilities", 0) - b1[1].get("capabilities", 0),
            a1[1].get("lists", 0) - b1[1].get("lists", 0)))
    with open(os.path.join(work, "attribution.txt"), "w") as f:
        for name, events, kb, delta in rows:
            f.write("%-22s %5d %8.1f kB each, driver blocks %8.1f kB each\n"
                    % (name, events, kb, delta["bytes"] / 1024.0 / max(1, events)))
        f.write("%-22s %5d %8.1f kB each, driver blocks %8.1f kB each\n"
                % ("injected-fault", faults, (faulty[0] - clean[0]) / max(1, faults),
                   (faulty[1] - clean[1]) / 1024.0 / max(1, faults)))


def count_faults(journal):
    with open(journal, errors="replace") as f:
        return sum(1 for line in f if " chaos=" in line)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default=os.getcwd())
    parser.add_argument("--duration", type=int, default=120, help="seconds of soak")
    parser.add_argument("--long", action="store_true",
                        help="the long run: 30 minutes of soak, "
                             "1000 resource sessions")
    parser.add_argument("--clients", type=int, default=4, help="clients at once")
    parser.add_argument("--kill-every", type=float, default=8.0, help="mean seconds between kills")
    parser.add_argument("--scratch", type=int, default=0,
                        help="jobs the soak may delete (default: 150 and one for every two "
                             "seconds of soak)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--clean-sessions", type=int, default=4)
    parser.add_argument("--resource-sessions", type=int, default=200)
    parser.add_argument("--resource-every", type=int, default=100)
    parser.add_argument("--memory-tolerance-kb", type=int, default=256)
    parser.add_argument("--resource-depth", default="full",
                        help="full, or create, open, events: sessions cut short after that step")
    parser.add_argument("--parts", default="soak,clean,resources",
                        help="any of soak, clean, resources, attribution (the last only when "
                             "named)")
    parser.add_argument("--attribution-events", type=int, default=10,
                        help="killed clients per kind in the attribution (and five times as many "
                             "objects released without Close, and sessions with and without "
                             "faults)")
    parser.add_argument("--server", help="the server to run (default: the build's)")
    parser.add_argument("--hang-seconds", type=int, default=90,
                        help="seconds without any client's progress that count as a hung server")
    parser.add_argument("--create", choices=["cocreate", "factory"], default="cocreate",
                        help="how the soak clients make their objects")
    parser.add_argument("--resource-create", choices=["cocreate", "factory"], default="factory",
                        help="how the resource sessions make their objects")
    args = parser.parse_args()
    if args.long:
        args.duration, args.resource_sessions = 1800, 1000
    if args.scratch == 0:
        args.scratch = 150 + args.duration // 2

    build64 = os.path.join(args.root, "build", "win64")
    build32 = os.path.join(args.root, "build", "win32")
    paths = {
        "server": os.path.abspath(args.server) if args.server else
        os.path.join(build64, "src", "stibridge.exe"),
        "installer": os.path.join(build64, "sim", "stibridge_sim_install.exe"),
        "client": os.path.join(build32 if RUNS_32BIT else build64, "tests", "soak",
                               "soak_client.exe"),
        "scenario": os.path.join(args.root, "tests", "soak", "scenarios", "soak.json"),
    }
    work = os.path.join(build64, "soak")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    journal_checker_self_test(work)
    registrations = [("proxy-x64", ["regsvr32", "/s", os.path.join(
        build64, "proxy", "stibridgeps.dll")])]
    if RUNS_32BIT:
        registrations.append(("proxy-x86", ["C:\\windows\\syswow64\\regsvr32.exe", "/s",
                                            os.path.join(build32, "proxy", "stibridgeps.dll")]))
    else:
        # Its clients are 32-bit, the data source's bitness; here the server
        # is soaked by 64-bit ones, and only the x86 proxy is not used.
        note("the soak's clients are 64-bit: %s" % NO_32BIT)
        skip_32bit("soak-registered-proxy-x86 (registered by the 32-bit regsvr32)")
    registrations += [("server", [paths["server"], "/RegServer"]),
                      ("user-settings", [paths["client"], "setup"])]
    wine = Wine(os.path.join(build64, "wine-soak"), timeout=300)
    wine.fresh()
    try:
        for what, command in registrations:
            result = wine.run(*command)
            check(result.returncode == 0, "soak-registered-" + what, result.stderr[-300:])
        parts = args.parts.split(",")
        if "soak" in parts:
            soak(wine, paths, args, work)
        if "clean" in parts:
            wine.stop()
            clean_exit(wine, paths, args, work)
        if "resources" in parts:
            resources(wine, paths, args, work)
            resources(wine, paths, args, work, close=False)
        if "attribution" in parts:
            attribution(wine, paths, args, work)
    finally:
        wine.stop()
    return harness.exit_status()


if __name__ == "__main__":
    sys.exit(main())
