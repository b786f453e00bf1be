"""What the simulated driver's journal tells of a soak: the server's
census (its STI objects and the driver's blocks it holds), the device lock
and the protocol as the driver saw them (with the check's own test), the
deletions carried out, and the faults injected."""

import os
import time

from soak_programs import check


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
            "%(users)d, %(bytes)d bytes" % census
            + ("; the simulator's heap %d kB" % (census["heap"] // 1024) if "heap" in census else ""))


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


def count_faults(journal):
    with open(journal, errors="replace") as f:
        return sum(1 for line in f if " chaos=" in line)
