"""What every runner under tests/ prints, and how its failures are counted.

scripts/test reads a runner's output line by line: "ok NAME" is a check that
passed, "FAIL NAME: detail" one that failed, "skip NAME: reason" a row that
cannot run on this machine, "note ..." a finding worth reading that is no
verdict, and "part NAME took N s" the time of one part of a suite. A runner
ends with exit_status(): 1 when any check failed, else 0.
"""

import argparse
import os
import sys
import time
import traceback

_failures = 0
# The one part to run (a runner's --part), or None for all of them.
_only_part = None


def tree_root():
    """A runner's one option, --root: the tree whose builds it runs (the
    current folder by default), as an absolute path."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default=os.getcwd())
    return os.path.abspath(parser.parse_args().root)


def check(passed, name, detail="", shown=False):
    """One row: "ok NAME" (with the detail in brackets when `shown`) or
    "FAIL NAME: detail", counted."""
    global _failures
    if passed:
        print("ok " + name + (" (%s)" % detail if shown and detail else ""), flush=True)
    else:
        _failures += 1
        print("FAIL %s: %s" % (name, detail), flush=True)


def relay(line, prefix):
    """A row that a program under test printed itself ("ok NAME" or "FAIL
    NAME: detail"), with `prefix` put before its name and counted; other
    lines are dropped."""
    global _failures
    if line.startswith("ok ") or line.startswith("FAIL "):
        print(line.replace(" ", " %s-" % prefix, 1), flush=True)
        if line.startswith("FAIL "):
            _failures += 1


def skip(name, reason):
    """A row that cannot run on this machine, as scripts/test counts it."""
    print("skip %s: %s" % (name, reason), flush=True)


def note(text):
    print("note " + text, flush=True)


def failures():
    """The checks that have failed so far."""
    return _failures


def exit_status():
    """The runner's exit status: 1 when any check failed."""
    return 1 if _failures else 0


def run_only(part):
    """Runs only the part of that name (see guarded), or all when None."""
    global _only_part
    _only_part = part


def guarded(name, part, *args, context=None, recover=None, timed=True):
    """Runs part(*args), one part of a suite, and says how long it took
    (unless not `timed`: a step between parts). A part that breaks off (a
    command that outlived its time-out, a traceback) is one FAIL line,
    NAME-ran-to-its-end, with where it broke and what context() adds;
    recover() then runs, and the parts after it still run. A part other
    than the one asked for (run_only) does not run."""
    if _only_part and name != _only_part:
        return
    started = time.monotonic()
    try:
        part(*args)
        if timed:
            print("part %s took %.1f s" % (name, time.monotonic() - started), flush=True)
    except Exception:
        # On one line, so that the summary of scripts/test shows all of it.
        where = " <- ".join("%s:%d %s" % (os.path.basename(f.filename), f.lineno, f.line)
                            for f in reversed(traceback.extract_tb(sys.exc_info()[2])[1:])
                            if "python3" not in f.filename)
        check(False, name + "-ran-to-its-end", "%s at %s%s" % (
            traceback.format_exception_only(*sys.exc_info()[:2])[-1].strip(), where,
            context() if context else ""))
        if recover:
            recover()
