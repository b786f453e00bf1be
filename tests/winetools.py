"""A Wine prefix that belongs to one test run: the programs run in it, its
registry, its paths, and the server processes that are its own.

Every cross-process runner (tests/e2e, tests/conformance, tests/soak, bench)
makes one of these for a prefix of its own, so that two runs on one machine,
or a benchmark beside a test, never count each other's servers.
"""

import os
import shutil
import subprocess
import time


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

    def run(self, *args, timeout=None, check=None):
        result = subprocess.run(["wine", *args], env=self.env, capture_output=True, text=True,
                                errors="replace",
                                timeout=self.timeout if timeout is None else timeout)
        if (self.check if check is None else check) and result.returncode != 0:
            raise RuntimeError("wine %s: exit %d\n%s%s" % (" ".join(args), result.returncode,
                                                          result.stdout[-2000:],
                                                          result.stderr[-2000:]))
        return result

    def start(self, *args):
        return subprocess.Popen(["wine", *args], env=self.env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def fresh(self):
        self.stop()
        shutil.rmtree(self.prefix, ignore_errors=True)
        subprocess.run(["wineboot", "-i"], env=self.env, capture_output=True, timeout=300)
        # wineboot returns while the prefix's set-up still runs in the
        # background; COM used before it has finished fails or is slow.
        subprocess.run(["wineserver", "-w"], env=self.env, capture_output=True, timeout=300)
        # Starts the desktop once, so that later timed steps do not pay for it.
        self.run("cmd", "/c", "exit", check=False)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, capture_output=True)

    def windows_path(self, path):
        return subprocess.run(["winepath", "-w", path], env=self.env, capture_output=True,
                              text=True).stdout.strip()

    def reg(self, *args):
        return self.run("reg", *args, "/reg:64", check=False)

    def key_exists(self, key):
        return self.reg("query", key).returncode == 0

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

    def wait_for_no_process(self, seconds, program="stibridge.exe"):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if not self.processes(program):
                return True
            time.sleep(0.1)
        return False
