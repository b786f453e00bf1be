"""The server's parts: registration as Wine's own tools see it, clients of
both bitnesses through COM's local activation and the proxy/stub, whole
sessions under each driver conduct, the server's lifetime, and a server
started by hand."""

import os
import re
import subprocess
import time

import conducts
from harness import check, note, relay
from winetools import NO_32BIT, RUNS_32BIT, skip_32bit
from bridge import CLASS_KEY, PROGIDS, install_journalled
from pages import reference_pixels


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
    if RUNS_32BIT:
        regsvr = wine.run("C:\\windows\\syswow64\\regsvr32.exe", "/s", proxy32)
        check(regsvr.returncode == 0, "proxy-x86-registered", regsvr.stderr[-300:])
    else:
        skip_32bit("proxy-x86-registered")
    check(wine.run(server, "/RegServer").returncode == 0, "server-registered")
    installed = wine.run(installer, scenario)
    check(installed.returncode == 0, "simulator-installed", installed.stderr[-300:])

    for bits, client, part in [("64", client64, "identity"), ("32", client32, "identity"),
                               ("64", client64, "connection"), ("32", client32, "connection")]:
        run_client(wine, bits, client, part)


def run_client(wine, bits, client, part, kind="client", label=None):
    """Runs one part in a client process; its check lines are reported with
    the kind of client, its bitness and the part (or `label`) in their names
    ("client32-session-..."). Returns the client's output (None for a 32-bit
    client where none can run)."""
    name = "%s%s-%s" % (kind, bits, label or part)
    if bits == "32" and not RUNS_32BIT:
        skip_32bit("%s (the 32-bit %s's checks of this part)" % (name, kind))
        return None
    result = wine.run(client, part, timeout=300)
    for line in result.stdout.splitlines():
        relay(line, name)
    # A client that said nothing at all never reached its main(): what Wine
    # said then is on its standard error.
    check(result.returncode == 0, name + "-exit-code",
          "%s%s" % (result.returncode, "" if result.stdout else ", nothing said; its errors: %r"
                    % result.stderr[-300:]))
    check(wine.wait_for_no_process(5), name + "-server-quits",
          "server still running: %s" % wine.processes())
    return result.stdout


def session_outcome(output):
    """A client part's observable outcome: its check lines (name and verdict)
    and its pixel lines, in order."""
    checks = [" ".join(line.split(":")[0].split()[:2]) for line in output.splitlines()
              if line.startswith("ok ") or line.startswith("FAIL ")]
    pixels = [line for line in output.splitlines() if line.startswith("pixels ")]
    return checks, pixels


def session_scenario(wine, client64, template, build64):
    """The session scenario with the clients' own user as the owner of its
    job "mine.tif": its text, and the file it is written to."""
    whoami = wine.run(client64, "whoami")
    sid = whoami.stdout.strip()
    check(whoami.returncode == 0 and sid.startswith("S-1-"), "caller-sid", repr(whoami.stdout))
    with open(template) as f:
        scenario = f.read().replace("@CALLER@", sid)
    path = os.path.join(build64, "e2e-session.json")
    with open(path, "w") as f:
        f.write(scenario)
    return scenario, path


def sessions(wine, installer, clients_by_bits, template, build64, pixels_tool):
    """The catalogue and a whole scanning session from each client against the
    session scenario, whose jobs include one owned by the clients' own user;
    then the 32-bit client's once more under each of the driver's other
    conducts, each held to the default conduct's outcome."""
    scenario, path = session_scenario(wine, dict(clients_by_bits)["64"], template, build64)
    journal = os.path.join(build64, "e2e-session-journal.txt")
    installed = install_journalled(wine, installer, path, journal)
    check(installed.returncode == 0, "session-scenario-installed", installed.stderr[-300:])
    reference = reference_pixels(pixels_tool, path)

    default = {}
    for bits, client in clients_by_bits:
        outputs = [run_client(wine, bits, client, part) for part in ("catalogue", "session")]
        if None in outputs:
            continue
        default[bits] = [session_outcome(output) for output in outputs]
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
        if not RUNS_32BIT:
            skip_32bit("conduct-%s-client32 (the session under this conduct)" % name)
            continue
        variant = conducts.scenario_under(scenario, conduct,
                                          os.path.join(build64, "e2e-session-%s.json" % name))
        journal = os.path.join(build64, "e2e-session-journal-%s.txt" % name)
        install_journalled(wine, installer, variant, journal)
        for part, (checks, pixels) in zip(("catalogue", "session"), default[bits]):
            result = wine.run(client, part, timeout=300)
            got_checks, got_pixels = session_outcome(result.stdout)
            lost = [c for c in checks if c not in got_checks]
            gained = [c for c in got_checks if c not in checks]
            check(result.returncode == 0 and not lost and not gained and got_pixels == pixels,
                  "conduct-%s-client%s-%s: %d checks and %d page transfers as under the default "
                  "conduct" % (name, bits, part, len(got_checks), len(got_pixels)),
                  "exit %s, not as under the default: %s; new: %s; pixels %s; the client said: %s"
                  % (result.returncode, lost[:4], gained[:4],
                     "the same" if got_pixels == pixels else "differ",
                     [line.strip() for line in result.stdout.splitlines()
                      if line.startswith("FAIL")][:4]))
            check(wine.wait_for_no_process(5), "conduct-%s-client%s-%s-server-quits"
                  % (name, bits, part), str(wine.processes()))
        found = conducts.breaches(journal)
        check(not found, "conduct-%s-no-breach" % name, "; ".join(found[:3]))


def server_started_by_hand(wine, server, client):
    """A server started with -Embedding before the client: COM hands the client
    the running server's class object, and the server's own exit code can be
    read when it quits after the client's last release."""
    # By its Windows path, wine runs the server itself (not through start.exe),
    # so the process's exit code is the server's.
    server_path = wine.windows_path(os.path.abspath(server))
    for bits, program in client:
        if bits == "32" and not RUNS_32BIT:
            skip_32bit("client32-running-server-used (and its server's exit)")
            continue
        process = subprocess.Popen(wine.command(server_path, "-Embedding"), env=wine.env,
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


# How long a server may outlive its last client, and how long one creation
# (the class object fetched, an object made, asked and released) may take.
LAST_CLIENT_TO_NO_SERVER = 2


LONGEST_CREATION_MS = 5000


# A server with no object and no lock ends by itself after this long (the
# server's kIdleEndMilliseconds).
IDLE_END = 30


# How often the server looks at its clients' processes
# (kClientWatchMilliseconds): a killed client's object goes within this long.
CLIENT_WATCH = 2


def churn(wine, name, runs):
    """Clients that create an object, ask it one question and release it,
    round after round, with random pauses of up to the given milliseconds
    (each client with a seed of its own), as data sources opening and
    closing the scanner. Every round must be served, the first attempt
    included (a data source that does not try again would show its user
    "scanner not available"), no creation may take over LONGEST_CREATION_MS,
    and no server may be left LAST_CLIENT_TO_NO_SERVER s after the last
    client ended. Each client's output goes to a file: under Wine a server
    COM started from a client inherits its standard handles, so a pipe
    would stay open until that server ended."""
    outputs = [os.path.join(wine.prefix, "churn-%s-%d.txt" % (name, n)) for n in range(len(runs))]
    clients = []
    for n, (program, rounds, pause) in enumerate(runs):
        with open(outputs[n], "w") as out:
            clients.append(subprocess.Popen(
                wine.command(program, "churn", str(rounds), str(pause), str(101 + n)),
                env=wine.env, stdout=out, stderr=subprocess.DEVNULL))
    started = time.monotonic()
    while any(c.poll() is None for c in clients) and time.monotonic() - started < 900:
        time.sleep(0.05)
    last_ended = time.monotonic()
    for client in clients:
        if client.poll() is None:
            client.kill()
            client.wait()
    no_server = wine.wait_for_no_process(LAST_CLIENT_TO_NO_SERVER)
    left = time.monotonic() - last_ended
    first_failed, longest = 0, 0
    for n, client in enumerate(clients):
        with open(outputs[n], errors="replace") as f:
            output = f.read()
        check(client.returncode == 0, "lifetime-%s-%d-every-round-served" % (name, n),
              "exit %s: %s" % (client.returncode, output.strip()[-300:]))
        for line in output.splitlines():
            match = re.match(r"note churn: \d+ rounds, (\d+) first attempts failed, longest (\d+) ms",
                             line)
            if match:
                print("  %s (client %d)" % (line, n), flush=True)
                first_failed += int(match.group(1))
                longest = max(longest, int(match.group(2)))
    note("lifetime-%s: %d clients in %.0f s; %d first attempts failed; the longest creation "
         "%d ms; %s" % (name, len(runs), last_ended - started, first_failed, longest,
                        "no server %.1f s after the last client" % left if no_server
                        else "servers left: %s" % wine.processes()))
    check(first_failed == 0, "lifetime-%s-first-attempts-served" % name,
          "%d first attempts failed" % first_failed)
    check(longest <= LONGEST_CREATION_MS, "lifetime-%s-no-creation-over-5-s" % name,
          "the longest took %d ms" % longest)
    check(no_server, "lifetime-%s-no-server-left" % name,
          "%s %d s after the last client" % (wine.processes(), LAST_CLIENT_TO_NO_SERVER))
    if not no_server:
        wine.stop()


def started_holder(wine, client):
    """A client that creates an object and holds it until its standard input
    gives a line: the process and the line it printed ("holding" once it
    holds the object)."""
    holder = subprocess.Popen(wine.command(client, "hold"), env=wine.env, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = ""
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and line.strip() != "holding":
        line = holder.stdout.readline()
        if line == "":
            break
    return holder, line


def lifetime(wine, client32, client64, server):
    """Two clients at once share one server, each with its own object;
    clients that create and release objects round after round, alone and
    several at once, are all served at the first attempt, by this server or
    a new one, and leave no server behind; a server that no client uses ends
    by itself. These rows are about the server; where no 32-bit program
    runs, the 64-bit client takes the 32-bit one's place."""
    if not RUNS_32BIT:
        note("the lifetime rows run with the 64-bit client only: %s" % NO_32BIT)
        client32 = client64
    holder, line = started_holder(wine, client32)
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
    ended = time.monotonic()
    check(code == 0, "lifetime-first-client-ends", str(code))
    check(wine.wait_for_no_process(LAST_CLIENT_TO_NO_SERVER), "lifetime-server-quits-after-both",
          "%s %.1f s after the last client" % (wine.processes(), time.monotonic() - ended))

    # A data source that closes and reopens the scanner at once, so that each
    # creation reaches the server just as its last object went; then two and
    # four data sources at once, pausing up to 400 ms between rounds.
    churn(wine, "reopen", [(client32, 100, 0)])
    churn(wine, "two-clients", [(client32, 500, 400), (client32, 500, 400)])
    churn(wine, "four-clients",
          [(client32, 500, 400), (client64, 500, 400), (client32, 500, 400), (client64, 500, 400)])

    # A client killed while it holds an object: the server sees its process
    # end within the watch's period and lets the object go (Wine never runs a
    # dead client's references down; Windows does after some minutes), and
    # meanwhile serves others; once the other client has gone, no server is
    # left.
    holder, line = started_holder(wine, client32)
    holder.kill()
    holder.wait()
    killed = time.monotonic()
    other = wine.run(client64, "identity")
    ended = time.monotonic()
    check(line.strip() == "holding" and other.returncode == 0,
          "lifetime-killed-holder-server-serves-on", line.strip() + " / " + other.stdout[-300:])
    gone = wine.wait_for_no_process(CLIENT_WATCH + LAST_CLIENT_TO_NO_SERVER)
    note("lifetime-killed-holder: %s %.1f s after its client was killed holding an object "
         "(%.1f s after the other client)" % (
             "no server" if gone else "servers %s" % wine.processes(),
             time.monotonic() - killed, time.monotonic() - ended))
    check(gone, "lifetime-killed-holder-no-server-left",
          "%s %d s after the other client" % (wine.processes(),
                                               CLIENT_WATCH + LAST_CLIENT_TO_NO_SERVER))
    if not gone:
        wine.stop()
        wine.wait_for_no_process(10)
        wine.run("cmd", "/c", "exit")

    # A server that COM or anybody else started and that no client ever
    # reaches ends by itself after the idle time.
    server_path = wine.windows_path(os.path.abspath(server))
    started = time.monotonic()
    process = subprocess.Popen(wine.command(server_path, "-Embedding"), env=wine.env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        code = process.wait(timeout=IDLE_END + 60)
    except subprocess.TimeoutExpired:
        process.kill()
        code = "still running"
    took = time.monotonic() - started
    note("lifetime-idle: a server without a client ended %.1f s after its start" % took)
    # The server counts from its process's creation and keeps a second for
    # the end of its process; what it cannot count is Wine's start of the
    # process before that and the end after it.
    check(code == 0 and IDLE_END - 3 <= took <= IDLE_END + LAST_CLIENT_TO_NO_SERVER,
          "lifetime-idle-server-ends-by-itself",
          "exit %s after %.1f s (the idle time is %d s)" % (code, took, IDLE_END))
    check(wine.wait_for_no_process(5), "lifetime-idle-no-server-left", str(wine.processes()))
