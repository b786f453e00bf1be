"""A Wine prefix that belongs to one test run: the programs run in it, its
registry, its paths, and the server processes that are its own.

Every cross-process runner (tests/e2e, tests/conformance, tests/soak, bench)
makes one of these for a prefix of its own, so that two runs on one machine,
or a benchmark beside a test, never count each other's servers.
"""

import fcntl
import os
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time

import harness
from harness import note

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def host():
    """How this machine runs 32-bit x86 code and where Wine's 64-bit loader
    is, as scripts/setup found it (build/host.env; asked of it when the file
    is missing)."""
    path = os.path.join(ROOT, "build", "host.env")
    if not os.path.exists(path):
        subprocess.run([os.path.join(ROOT, "scripts", "setup"), "--probe"],
                       capture_output=True, timeout=300)
    values = {"STIBRIDGE_IA32": "native", "STIBRIDGE_IA32_SAYS": "native",
              "STIBRIDGE_WINE64": "/usr/lib/wine/wine64"}
    with open(path) as f:
        for line in f:
            if "=" in line and not line.startswith("#"):
                key, value = line.rstrip("\n").split("=", 1)
                values[key] = " ".join(shlex.split(value))
    return values


HOST = host()
# Each program starts through the Wine loader of its own bitness, so that the
# process started is the program's own (its id, its exit code, and the
# signals sent to it, such as Ctrl+C): a loader handed a program of the other
# bitness has start.exe create it as another process. The 64-bit parts never
# need the 32-bit loader, which a kernel without 32-bit code cannot run.
WINE = HOST["STIBRIDGE_WINE64"]
WINE32 = WINE[:-2] if WINE.endswith("64") else WINE


def windows_builds(root):
    """The tree's two Windows builds: (build/win64, build/win32)."""
    return os.path.join(root, "build", "win64"), os.path.join(root, "build", "win32")


def pe_machine(path):
    """The machine field of a PE file's header, or None."""
    try:
        with open(path, "rb") as f:
            header = f.read(4096)
    except OSError:
        return None
    if header[:2] != b"MZ" or len(header) < 64:
        return None
    at = int.from_bytes(header[60:64], "little")
    if header[at:at + 4] != b"PE\0\0":
        return None
    return int.from_bytes(header[at + 4:at + 6], "little")


def is_32bit(program):
    """Whether a program (a Unix path, a Windows path or a program of the
    prefix's system folder) is a 32-bit one."""
    if "syswow64" in program.lower():
        return True
    path = program
    if len(program) > 2 and program[1] == ":" and program[0] in "zZ":
        path = program[2:].replace("\\", "/")
    return pe_machine(path) == 0x14C
# Whether 32-bit programs run here (natively or emulated); where they do
# not, every 32-bit row is reported as skipped with this reason.
RUNS_32BIT = HOST["STIBRIDGE_IA32"] != "none"
NO_32BIT = "this machine runs no 32-bit x86 code (%s)" % HOST["STIBRIDGE_IA32_SAYS"]
# 32-bit programs run under an emulator: rows that wait a fixed time for
# work that a 32-bit program does give it this many times as long.
PACE = 4 if HOST["STIBRIDGE_IA32"] == "emulated" else 1


def skip_32bit(name):
    """A row of a 32-bit program, on a machine that runs none."""
    harness.skip(name, NO_32BIT)


# A new prefix is a copy of one made by wineboot once per machine build: the
# system's own files take 1.2 GB of each prefix, and a run of scripts/test
# makes a dozen prefixes. Nothing here writes into these folders (programs,
# data sources and packages go elsewhere), so a copy shares their files as
# hard links, and costs some 30 MB instead of 1.3 GB.
TEMPLATE = os.path.join(ROOT, "build", "wine-template")
SHARED_FOLDERS = [os.path.join("drive_c", "windows", name)
                  for name in ("system32", "syswow64", "winsxs")]
# The template's file that says which Wine made it (not copied).
STAMP = "stibridge-template"


def copy_prefix(source, target):
    """`target` (which must not exist) a copy of the prefix `source`, whose
    files in SHARED_FOLDERS are hard links to source's where the file system
    allows it. Everything else, the registry among it, is a copy of its
    own: programs write such files in place (the TWAIN data source over
    Wine's twain_32\\sane.ds, for one)."""
    for folder, dirs, files in os.walk(source):
        relative = os.path.relpath(folder, source)
        into = os.path.normpath(os.path.join(target, relative))
        os.makedirs(into, exist_ok=True)
        shared = any(relative == name or relative.startswith(name + os.sep)
                     for name in SHARED_FOLDERS)
        for name in dirs + files:
            if relative == "." and name == STAMP:
                continue
            origin, copy = os.path.join(folder, name), os.path.join(into, name)
            if os.path.islink(origin):
                os.symlink(os.readlink(origin), copy)
                if name in dirs:
                    dirs.remove(name)
            elif name in dirs:
                continue
            elif shared:
                try:
                    os.link(origin, copy)
                except OSError:
                    shutil.copy2(origin, copy)
            else:
                shutil.copy2(origin, copy)
        shutil.copystat(folder, into)


def template_prefix():
    """The path of the machine build's template prefix, made by wineboot
    when it is missing or was made by another Wine or for another way of
    running 32-bit code (its syswow64 depends on it). Runners in lanes side
    by side ask at once: the first makes it, the others wait."""
    version = subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout.strip()
    stamp = "%s %s %s\n" % (version, WINE, HOST["STIBRIDGE_IA32"])
    stamp_path = os.path.join(TEMPLATE, STAMP)
    os.makedirs(os.path.dirname(TEMPLATE), exist_ok=True)
    with open(TEMPLATE + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            with open(stamp_path) as f:
                if f.read() == stamp:
                    return TEMPLATE
        except OSError:
            pass
        making = TEMPLATE + ".new"
        for path in (TEMPLATE, making):
            if os.path.isdir(path):
                Wine(path).stop()
                shutil.rmtree(path, ignore_errors=True)
        wine = Wine(making)
        subprocess.run(wine.command("wineboot.exe", "-i"), env=wine.env, capture_output=True,
                       timeout=300)
        # wineboot returns while the prefix's set-up (wine.inf, the system's
        # COM registrations) still runs in the background; a copy taken
        # before it has finished has COM activation fail or take minutes.
        subprocess.run(["wineserver", "-w"], env=wine.env, capture_output=True, timeout=300)
        if not os.path.isfile(os.path.join(making, "system.reg")):
            raise RuntimeError("wineboot -i made no prefix in %s" % making)
        with open(os.path.join(making, STAMP), "w") as f:
            f.write(stamp)
        os.rename(making, TEMPLATE)
    return TEMPLATE


class OutputHeld(subprocess.TimeoutExpired):
    """A program that ended within its time, but whose output another process
    still held open when the time was up: under Wine a process the program
    started (a COM server, the prefix's services) inherits its standard
    handles. `process` is the ended program, its output not yet all read."""

    def __init__(self, process, timeout):
        super().__init__(process.args, timeout)
        self.process = process


class Wine:
    def __init__(self, prefix, timeout=120, check=False):
        """timeout: the default seconds a program may run; check: whether a
        program that exits non-zero raises by default."""
        self.prefix = prefix
        self.timeout = timeout
        self.check = check
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                        WINEARCH="win64")

    @staticmethod
    def command(*args):
        """The command line that runs a Windows program (and its arguments)."""
        return [WINE32 if args and is_32bit(args[0]) else WINE, *args]

    def run(self, *args, timeout=None, check=None):
        """The program run to its end, its output captured. One still running
        after `timeout` seconds is killed and TimeoutExpired raised; one that
        ended but whose output is still held open raises OutputHeld."""
        process = subprocess.Popen(self.command(*args), env=self.env, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, errors="replace")
        try:
            stdout, stderr = process.communicate(
                timeout=self.timeout if timeout is None else timeout)
        except subprocess.TimeoutExpired as timed_out:
            if process.poll() is not None:
                raise OutputHeld(process, timed_out.timeout) from None
            process.kill()
            process.wait()
            raise
        result = subprocess.CompletedProcess(process.args, process.returncode, stdout, stderr)
        if (self.check if check is None else check) and result.returncode != 0:
            raise RuntimeError("wine %s: exit %d\n%s%s" % (" ".join(args), result.returncode,
                                                          result.stdout[-2000:],
                                                          result.stderr[-2000:]))
        return result

    def start(self, *args):
        return subprocess.Popen(self.command(*args), env=self.env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def fresh(self):
        """The prefix made anew, a copy of the template prefix, its desktop
        started once."""
        self.stop()
        shutil.rmtree(self.prefix, ignore_errors=True)
        copy_prefix(template_prefix(), self.prefix)
        # Starts the desktop once, so that later timed steps do not pay for it.
        self.run("cmd", "/c", "exit", check=False)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, capture_output=True)

    def windows_path(self, path):
        """The path as the prefix's programs name it, as winepath -w gives it
        for a prefix's own drives (C: its drive_c, Z: the root). Worked out
        here: the 64-bit loader runs winepath through start.exe, which now
        and then answers "Application could not be started" instead (one
        such answer made a whole part's rows fail), and each run costs a
        Wine process."""
        path = os.path.abspath(path)
        drive_c = os.path.join(os.path.abspath(self.prefix), "drive_c")
        if path == drive_c or path.startswith(drive_c + os.sep):
            return "C:\\" + path[len(drive_c) + 1:].replace("/", "\\")
        return "Z:" + path.replace("/", "\\")

    def reg(self, *args):
        return self.run("reg", *args, "/reg:64", check=False)

    def key_exists(self, key):
        return self.reg("query", key).returncode == 0

    def install_data_sources(self, sources):
        """The TWAIN data source as TWAIN applications find it under Wine 8's
        manager, which loads sane.ds and gphoto2.ds only: as sane.ds in the
        Windows folder's twain_32 (for 32-bit applications) and twain_64
        (for 64-bit ones), [(bits, path)], with the native DLL chosen over
        Wine's own and windows made by the null display driver (there is no
        display). The display driver is chosen when the prefix starts: the
        prefix is stopped to start anew. The results of the registry
        writes."""
        for bits, source in sources:
            folder = os.path.join(self.prefix, "drive_c", "windows", "twain_%s" % bits)
            os.makedirs(folder, exist_ok=True)
            shutil.copyfile(source, os.path.join(folder, "sane.ds"))
        added = [self.reg("add", "HKCU\\Software\\Wine\\DllOverrides", "/v", "sane.ds", "/d",
                          "native", "/f"),
                 self.reg("add", "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics", "/d", "null",
                          "/f")]
        self.stop()
        self.wait_for_no_process(10)
        return added

    def owns(self, pid):
        """Whether the process runs in this prefix."""
        try:
            with open("/proc/%d/environ" % pid, "rb") as f:
                environment = f.read().split(b"\0")
        except OSError:
            return False
        return ("WINEPREFIX=" + self.prefix).encode() in environment

    def processes(self, program="stibridge.exe"):
        """Live processes of this prefix whose command line names the program
        (one that exited and waits to be reaped does not count)."""
        out = subprocess.run(["ps", "-eo", "pid=,stat=,args="], capture_output=True,
                             text=True).stdout
        pids = []
        for line in out.splitlines():
            fields = line.split(None, 2)
            if len(fields) == 3 and program in fields[2] and not fields[1].startswith("Z") \
                    and self.owns(int(fields[0])):
                pids.append(int(fields[0]))
        return pids

    def running(self):
        """The prefix's live Windows processes on one line, "pid etime
        command" each, or "none": what a note says was left running."""
        out = subprocess.run(["ps", "-eo", "pid=,stat=,etime=,args="], capture_output=True,
                             text=True).stdout
        return "; ".join(line.strip() for line in out.splitlines()
                         if len(line.split()) > 3 and not line.split()[1].startswith("Z")
                         and self.owns(int(line.split()[0]))) or "none"

    def finished(self, process, timeout):
        """process.communicate() within `timeout` seconds; a process that
        outlives it is killed. Its output may still be held open after it has
        gone, by a server COM started from it (under Wine the server inherits
        the client's standard handles); when that server does not quit
        either, the wait would never end: it is told as a note and the prefix
        is stopped."""
        try:
            return process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
        try:
            return process.communicate(timeout=15)
        except subprocess.TimeoutExpired:
            note("a program's output was still held open %d s after it was ended, by "
                 "prefix processes %s; the prefix was stopped" % (timeout + 15, self.running()))
            self.stop()
            return process.communicate()

    def wait_for_no_process(self, seconds, program="stibridge.exe"):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if not self.processes(program):
                return True
            time.sleep(0.1)
        return False


def rerun_if_unreached(wine, name, args, run):
    """run() once, and once more when it ended with no output at all or did
    not end (run's own time-out). stiscan says something on every path, so
    such a run never reached stiscan's own code: seen, rarely, on a command
    that starts a cold or restarting prefix, which then waits with its
    server started and neither the prefix's services nor rpcss left. It is
    told as a note (NAMEasked-again), the prefix is stopped, and the second
    run is judged as it comes (one that does not end fails the part)."""
    started = time.monotonic()
    try:
        result = run()
        if result.stdout or result.stderr:
            return result
        how = "ended %d with no output" % result.returncode
    except OutputHeld as held:
        # It ran to its end: judged as it ended, not run twice (a second pull
        # would write copies beside the first's files). Who held its output,
        # and for how long, is the finding.
        note("%soutput-held: `stiscan %s` ended %d, but its output was still held open "
             "%.0f s after its start, by prefix processes %s; the prefix was stopped" % (
                 name, " ".join(args), held.process.returncode, time.monotonic() - started,
                 wine.running()))
        wine.stop()
        stdout, stderr = held.process.communicate(timeout=30)
        return subprocess.CompletedProcess(held.process.args, held.process.returncode, stdout,
                                           stderr)
    except subprocess.TimeoutExpired:
        how = "did not end"
    note("%sasked-again: `stiscan %s` %s after %.0f s; the prefix was stopped and it was "
         "asked again (prefix processes: %s)" % (
             name, " ".join(args), how, time.monotonic() - started, wine.running()))
    wine.stop()
    return run()


class ServicesKeeper:
    """A `cmd` that starts the prefix's own processes (services, COM's
    rpcss) and keeps them running until end(): started by it, they hold
    none of a later command's pipes or terminal open, and they do not start
    anew for each command, which costs seconds each time. As a context
    manager, it keeps them for the commands of one check."""

    def __init__(self, wine, env=None, settle=True):
        """env: the environment of the commands (wine.env by default);
        settle: whether to wait for the prefix to end first."""
        env = wine.env if env is None else env
        if settle:
            # A prefix whose last program has just ended is still shutting
            # its services down: a keeper that joined it would be left
            # without them, and the next command would start them, handing
            # them its output, which they would then hold open for as long
            # as the keeper runs. So the keeper waits for the prefix to end
            # first (up to 20 s; one with a program still running after that
            # is joined as it is).
            try:
                subprocess.run(["wineserver", "-w"], env=env, capture_output=True, timeout=20)
            except subprocess.TimeoutExpired:
                pass
        self.process = subprocess.Popen(Wine.command("cmd"), env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while not wine.processes("services.exe") and time.monotonic() < deadline:
            time.sleep(0.1)

    def end(self):
        try:
            self.process.stdin.close()
            self.process.wait(timeout=30)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.end()


class WatchedProgram:
    """A program of the prefix running, its output read as it comes (each
    stream by a thread of its own, so that waiting for a line of one never
    blocks on the other) and, with `sample`, its memory: the kernel's peak of
    its resident size (VmHWM) and the most private memory (RssAnon) seen."""

    def __init__(self, wine, program, *args, sample=False):
        self.wine = wine
        self.started = time.monotonic()
        self.process = subprocess.Popen(wine.command(program, *args), env=wine.env,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True, errors="replace")
        self.lines = {"out": [], "err": []}
        self.peak = {"VmHWM": 0, "RssAnon": 0}
        self.threads = [threading.Thread(target=self._read, args=(stream, self.lines[which]),
                                         daemon=True)
                        for which, stream in (("out", self.process.stdout),
                                              ("err", self.process.stderr))]
        if sample:
            self.threads.append(threading.Thread(target=self._sample, daemon=True))
        for thread in self.threads:
            thread.start()

    @staticmethod
    def _read(stream, into):
        for line in iter(stream.readline, ""):
            into.append(line)

    def _sample(self):
        path = "/proc/%d/status" % self.process.pid
        while self.process.poll() is None:
            try:
                with open(path) as f:
                    for line in f:
                        key = line.split(":")[0]
                        if key in self.peak:
                            self.peak[key] = max(self.peak[key], int(line.split()[1]) * 1024)
            except (OSError, ValueError, IndexError):
                break
            time.sleep(0.02)

    def text(self, which="out"):
        return "".join(self.lines[which]).replace("\r", "")

    def wait_for(self, text, which="out", timeout=120):
        """Whether `text` comes in the output before the program ends or
        `timeout` seconds pass."""
        deadline = time.monotonic() + timeout
        while text not in self.text(which) and self.process.poll() is None \
                and time.monotonic() < deadline:
            time.sleep(0.05)
        return text in self.text(which)

    def interrupt(self):
        """Ctrl+C (SIGINT, which Wine hands the program as CTRL_C_EVENT)."""
        self.process.send_signal(signal.SIGINT)

    def finish(self, timeout=180):
        """Its exit code, output and errors, once it has ended (killed after
        `timeout` seconds); a server COM started from it may hold its output
        open, as in Wine.finished()."""
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.seconds = time.monotonic() - self.started
        for thread in self.threads:
            thread.join(timeout=15)
        if any(thread.is_alive() for thread in self.threads):
            note("a program's output was still held open 15 s after it ended, by prefix "
                 "processes %s; the prefix was stopped" % self.wine.running())
            self.wine.stop()
        return self.process.returncode, self.text("out"), self.text("err")


if __name__ == "__main__":
    # For the shell scripts (scripts/wine-env.sh): `winetools.py is-32bit
    # PROGRAM` ends 0 when the program is a 32-bit one, as the Wine loader
    # of that bitness must start it.
    # `winetools.py fresh-prefix PREFIX` makes the prefix anew as Wine.fresh
    # does; `winetools.py copy-prefix FROM TO` copies one as it does.
    if len(sys.argv) == 3 and sys.argv[1] == "is-32bit":
        sys.exit(0 if is_32bit(sys.argv[2]) else 1)
    if len(sys.argv) == 3 and sys.argv[1] == "fresh-prefix":
        Wine(os.path.abspath(sys.argv[2])).fresh()
        sys.exit(0)
    if len(sys.argv) == 4 and sys.argv[1] == "copy-prefix":
        copy_prefix(sys.argv[2], sys.argv[3])
        sys.exit(0)
    sys.exit("usage: winetools.py is-32bit PROGRAM | fresh-prefix PREFIX | copy-prefix FROM TO")
