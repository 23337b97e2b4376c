"""Run the programs in examples/ as a user would, each in its own interpreter.

The examples check their own answers against plain scans (and exit non-zero or
raise when one differs); these tests run them with the interpreter running the
tests, against the same Corvane build, and look at what they print.
"""

import os
import pathlib
import subprocess
import sys

import Corvane

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"


def run_example(name, *args, timeout=300):
    env = dict(os.environ)
    # Make the module under test importable the same way it is here, whether
    # it is installed or comes from a build tree on PYTHONPATH.
    here = os.path.dirname(os.path.abspath(Corvane.__file__))
    env["PYTHONPATH"] = here + os.pathsep + env.get("PYTHONPATH", "")
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / name), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
        cwd=str(ROOT),
    )
    assert done.returncode == 0, f"{name} failed:\n{done.stdout}\n{done.stderr}"
    return done.stdout


def test_inventory():
    out = run_example("inventory.py")
    lines = out.splitlines()
    assert any(line.startswith("priced 10 to 20: ") for line in lines)
    assert "tools low on stock after restocking: 0 []" in lines
    assert any(line.startswith("value of expensive tools in stock: ") for line in lines)


def test_events():
    out = run_example("events.py")
    assert "events 08:00-12:00: " in out
    for service in ("api", "auth", "billing", "search"):
        assert f"  {service:<8} warnings and errors: " in out
    assert "errors acknowledged: " in out and "last hour: " in out


def test_demo_small():
    """The demo's table on a small data set: every kind of query, all agreeing
    with the list comprehension (the demo exits 1 otherwise)."""
    out = run_example("demo.py", "--objects", "3000", "--repeat", "1")
    assert "3,000 orders created" in out
    table = [line for line in out.splitlines() if line.endswith(tuple("0123456789"))]
    labels = [line.split("  ")[0] for line in table]
    for kind in ("equality", "keywords", "view", "range", "compound", "dotted", "after"):
        assert any(label.startswith(kind) for label in labels), (kind, out)
    assert "MISMATCH" not in out
    assert "all answers match the list comprehension" in out

