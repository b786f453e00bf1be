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
import sys
import time

# The helpers imported leave no bytecode cache in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import harness  # noqa: E402
from harness import note  # noqa: E402
from winetools import NO_32BIT, RUNS_32BIT, Wine, skip_32bit, windows_builds  # noqa: E402
from soak_accounting import attribution, clean_exit, resources  # noqa: E402
from soak_journal import (census_text, check_journal, journal_checker_self_test,  # noqa: E402
                          last_census, no_sti_object, wait_for_no_sti_object)
from soak_programs import (HAND_OVER_SECONDS, NDR_HOLDER_BYTES, SERVER_END_SECONDS,  # noqa: E402
                           THREAD_KB, WATCH_SECONDS, Holders, Process, Progress, check,
                           hang_report, install, rollup, server_exit, soak_scenario,
                           start_server)


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


def soak_sample(server, journal, started, clients):
    """The server's private memory and threads, what it holds (the census),
    and how far the soak has come."""
    facts = rollup(server.pid)
    return {"minute": round((time.monotonic() - started) / 60), "private": facts["private"],
            "threads": facts["Threads"], "census": last_census(journal),
            "killed": sum(c.killed for c in clients),
            "sessions": sum(c.count("session ") for c in clients),
            "in_out_strings": sum(in_out_strings(c) for c in clients)}


def in_out_strings(client):
    """The [in, out] BSTR* parameters of the calls the client had made at its
    last session's end (its last "in-out-strings N" line)."""
    for line in reversed(client.lines):
        if line.startswith("in-out-strings "):
            return int(line.split()[1])
    return 0


def kept_kb(sample):
    """The server's private memory less what the simulator holds: its own
    heap where the census gives it (the driver's blocks, those still out
    among them, their strings and the driver's bookkeeping), else the
    driver's blocks still out (blocks whose hand-back an injected fault
    refused, which the bridge may not touch again, and the user records,
    which are never handed back): what the bridge and Wine keep."""
    census = sample["census"]
    held = census["heap"] if "heap" in census else census.get("bytes", 0)
    return sample["private"] - (held + 1023) // 1024


def check_soak_memory(samples, end, sessions, args):
    """From the first minute on (the driver loaded, every kind of session
    met, the clients' first connections made), what the server keeps less
    what the simulator holds stays within 10 % of its private memory at the
    start of the soak, plus 1100 kB for each thread Wine's RPC started
    meanwhile (each has a 1 MB kernel stack that Wine fills, 976 kB
    measured, and its own stack) and NDR_HOLDER_BYTES for each [in, out]
    BSTR* parameter served meanwhile (Wine 8's stub never frees the holder it
    unmarshals such a parameter into); so does it once the killed clients'
    objects have gone. A leak of a few kB per session, per killed client or
    per fault outgrows that within the bounded soak."""
    start = samples[0]["private"]
    base = samples[1] if len(samples) > 1 else end
    later = samples[1:] + [end]
    threads = max(0, max(s["threads"] for s in later) - base["threads"])
    bound = start // 10 + THREAD_KB * threads
    growth = [kept_kb(s) - kept_kb(base)
              - (s["in_out_strings"] - base["in_out_strings"]) * NDR_HOLDER_BYTES // 1024
              for s in later]
    note("soak memory: %d kB at the start, %d kB after the first minute, %d kB at most; less "
         "what the simulator holds, each minute: %s kB, %d kB at the end (%s); %d sessions"
         % (start, base["private"], max(s["private"] for s in samples + [end]),
            " ".join(str(kept_kb(s)) for s in samples), kept_kb(end), census_text(end["census"]),
            sessions))
    check(max(growth) <= bound, "soak-memory-flat",
          "less what the simulator holds and Wine's NDR holders (%d of them since the first "
          "minute), at most %+d kB on the first minute's %d kB, %d kB at the end; bound %d kB "
          "(10 %% of the start%s)"
          % (end["in_out_strings"] - base["in_out_strings"], max(growth), kept_kb(base),
             kept_kb(end), bound, ", and %d more thread(s)" % threads if threads else ""))


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

    build64, build32 = windows_builds(args.root)
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
