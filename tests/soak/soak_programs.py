"""The programs of a soak and what is read of them: clients whose output
is read line by line, holders that keep the server from quitting, the
server started by hand (its exit, its memory, a report when it hangs), the
soak's progress, and its scenario installed."""

import json
import os
import subprocess
import threading
import time

import harness

# How often the server looks at its clients' processes (kClientWatchMilliseconds),
# and how long a server with no object and no lock takes to end by itself
# (kIdleEndMilliseconds, its way out included).
WATCH_SECONDS = 2
IDLE_SECONDS = 30
SERVER_END_SECONDS = IDLE_SECONDS + WATCH_SECONDS
# Each holder of the soak lets go after this long, once the next one holds.
HAND_OVER_SECONDS = 60
THREAD_KB = 1100
# What the process heap spends on each holder Wine 8's stub allocates for an
# [in, out] BSTR* parameter and never frees (NdrAllocate of 8 bytes and its
# 24-byte list node: 57 bytes each measured by walking the heap over 21,000
# of them).
NDR_HOLDER_BYTES = 64


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
