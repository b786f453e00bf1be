"""The server's accounting under Wine: its exit after a soak without kills,
its handles and memory over many sessions, and what each kind of loss
costs it."""

import json
import os
import shutil
import time

from harness import note
from soak_journal import (census_text, count_faults, last_census, no_sti_object,
                          wait_for_no_sti_object)
from soak_programs import (NDR_HOLDER_BYTES, SERVER_END_SECONDS, THREAD_KB, WATCH_SECONDS,
                           Holders, Process, Progress, check, command_line, hang_report,
                           install, rollup, server_exit, soak_scenario, start_server)


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
        # does; it is allowed for, and said. So are the holders that Wine's
        # stub keeps of the [in, out] BSTR* parameters (two a session).
        later = [p for p in points[1:-1] if p["sessions"] >= args.resource_every]
        base = later[0] if later else first
        growth = last["private"] - base["private"]
        sessions = last["sessions"] - base["sessions"]
        threads = max(0, last["Threads"] - base["Threads"])
        holders = last.get("in-out-strings", 0) - base.get("in-out-strings", 0)
        allowed = (args.memory_tolerance_kb + THREAD_KB * threads
                   + holders * NDR_HOLDER_BYTES // 1024)
        check(growth <= allowed, part + "-private-memory-flat",
              "%+d kB over %d sessions, %.0f bytes a session; tolerance %d kB%s, with %d NDR "
              "holders" % (growth, sessions, growth * 1024.0 / max(1, sessions), allowed,
                           " with %d more thread(s)" % threads if threads else "", holders))
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
                                                         "capabilities", "lists", "bytes", "heap")}
        rows.append((name, events, (m1 - m0) / max(1, events), delta))
        note("attribution %s: %d events, %+d kB in all, %.1f kB each; of it the driver's blocks "
             "%+.1f kB each, the simulator's heap %+.1f kB each; STI objects kept %+d root, "
             "%+d device; blocks kept: settings %+d, capabilities %+d, lists %+d"
             % (name, events, m1 - m0, (m1 - m0) / max(1, events),
                delta["bytes"] / 1024.0 / max(1, events), delta["heap"] / 1024.0 / max(1, events),
                delta["roots"], delta["devices"],
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
    clean = (a0[0] - b0[0], a0[1].get("bytes", 0) - b0[1].get("bytes", 0),
             a0[1].get("heap", 0) - b0[1].get("heap", 0))
    faulty = (a1[0] - b1[0], a1[1].get("bytes", 0) - b1[1].get("bytes", 0),
              a1[1].get("heap", 0) - b1[1].get("heap", 0))
    note("attribution injected-fault: %d faults; %+d kB with them, %+d kB without, %.1f kB a "
         "fault; of it the driver's blocks %.1f kB a fault, the simulator's heap %.1f kB a fault; "
         "blocks kept with faults: settings %+d, capabilities %+d, lists %+d"
         % (faults, faulty[0], clean[0], (faulty[0] - clean[0]) / max(1, faults),
            (faulty[1] - clean[1]) / 1024.0 / max(1, faults),
            (faulty[2] - clean[2]) / 1024.0 / max(1, faults),
            a1[1].get("settings", 0) - b1[1].get("settings", 0),
            a1[1].get("capabilities", 0) - b1[1].get("capabilities", 0),
            a1[1].get("lists", 0) - b1[1].get("lists", 0)))
    with open(os.path.join(work, "attribution.txt"), "w") as f:
        for name, events, kb, delta in rows:
            f.write("%-22s %5d %8.1f kB each, driver blocks %8.1f kB each, simulator heap %8.1f "
                    "kB each\n" % (name, events, kb, delta["bytes"] / 1024.0 / max(1, events),
                                   delta["heap"] / 1024.0 / max(1, events)))
        f.write("%-22s %5d %8.1f kB each, driver blocks %8.1f kB each, simulator heap %8.1f kB "
                "each\n" % ("injected-fault", faults, (faulty[0] - clean[0]) / max(1, faults),
                            (faulty[1] - clean[1]) / 1024.0 / max(1, faults),
                            (faulty[2] - clean[2]) / 1024.0 / max(1, faults)))
