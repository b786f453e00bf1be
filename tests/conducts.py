"""The driver conducts the cross-process runners repeat their runs under
(tests/conducts.json), and what every run's journal is held to.

A conduct is the scenario member "conduct" of sim/README.md: the ways the
simulated driver uses the freedoms the protocol leaves it. A run under a
conduct uses the scenario it would use anyway with that member set."""

import json
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def profiles():
    """[(name, conduct)] in the file's order."""
    with open(os.path.join(HERE, "conducts.json")) as f:
        return list(json.load(f)["profiles"].items())


def scenario_under(source, conduct, path):
    """Writes `source` (a scenario file, or its text) with `conduct` to `path`;
    returns `path`."""
    if os.path.exists(source):
        with open(source) as f:
            source = f.read()
    scenario = json.loads(source)
    scenario["conduct"] = conduct
    with open(path, "w") as f:
        json.dump(scenario, f, indent=1)
    return path


def breaches(journal):
    """The journal file's breach lines: none is allowed in any run."""
    if not os.path.exists(journal):
        return []
    with open(journal, errors="replace") as f:
        return [line.strip() for line in f if line.startswith("breach ")]
