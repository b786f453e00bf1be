#!/usr/bin/env python3
"""Cross-process tests under Wine: registration of the server as Wine's own
tools see it, and 64-bit and 32-bit clients calling the server through COM's
local activation and the proxy/stub, each in its own process.

Prints one line per check, "ok <name>" or "FAIL <name>: <detail>"."""

import argparse
import os
import shutil
import subprocess
import sys
import time

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


class Wine:
    def __init__(self, prefix):
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                        WINEARCH="win64")
        self.prefix = prefix

    def run(self, *args, timeout=120):
        return subprocess.run(["wine", *args], env=self.env, capture_output=True, text=True,
                              errors="replace", timeout=timeout)

    def start(self, *args):
        return subprocess.Popen(["wine", *args], env=self.env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def fresh(self):
        self.stop()
        shutil.rmtree(self.prefix, ignore_errors=True)
        subprocess.run(["wineboot", "-i"], env=self.env, capture_output=True, timeout=300)
        # Starts the desktop once, so that later timed checks do not pay for it.
        self.run("cmd", "/c", "exit")

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, capture_output=True)

    def windows_path(self, path):
        return subprocess.run(["winepath", "-w", path], env=self.env, capture_output=True,
                              text=True).stdout.strip()

    def reg(self, *args):
        return self.run("reg", *args, "/reg:64")

    def key_exists(self, key):
        return self.reg("query", key).returncode == 0


def server_processes():
    out = subprocess.run(["pgrep", "-f", "stibridge.exe"], capture_output=True, text=True).stdout
    return [int(pid) for pid in out.split()]


def wait_for_server_exit(seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if not server_processes():
            return True
        time.sleep(0.1)
    return False


def registration(wine, server):
    result = wine.run(server, "/RegServer")
    check(result.returncode == 0, "regserver-exit-code", str(result.returncode))
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
        process.kill()
        process.wait()
        for pid in server_processes():
            os.kill(pid, 9)
        wait_for_server_exit(5)


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
        result = wine.run(client, part, timeout=120)
        for line in result.stdout.splitlines():
            if line.startswith("ok ") or line.startswith("FAIL "):
                print(line.replace(" ", " client%s-%s-" % (bits, part), 1), flush=True)
                if line.startswith("FAIL "):
                    global failures
                    failures += 1
        check(result.returncode == 0, "client%s-%s-exit-code" % (bits, part), str(result.returncode))
        check(wait_for_server_exit(5), "client%s-%s-server-quits" % (bits, part),
              "server still running: %s" % server_processes())


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
    finally:
        wine.stop()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
