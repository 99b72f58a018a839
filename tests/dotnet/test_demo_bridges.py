"""The README's demo on the real .NET bridge: every example script runs, and prints what it
prints on the stand-in bridge."""

import pathlib
import re
import subprocess
import sys
import tempfile

import pytest

pytestmark = pytest.mark.dotnet

DEMO = pathlib.Path(__file__).resolve().parent.parent.parent / "examples" / "run_demo.py"
DEMO_FOLDER = re.compile(re.escape(tempfile.gettempdir()) + r"/korvex-demo-\w+")
ELAPSED = re.compile(r"\b\d+\.\d+ s\b")  # the command line's elapsed times
SLOWEST = re.compile(r"slowest: .*$", re.M)  # which models were slowest varies from run to run
UUID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")


def demo_output(bridge):
    process = subprocess.run([sys.executable, str(DEMO), "--bridge", bridge], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, universal_newlines=True, timeout=600)
    assert process.returncode == 0, process.stdout + process.stderr
    lines = UUID.sub("<uuid>", DEMO_FOLDER.sub("<demo>", process.stdout))
    lines = SLOWEST.sub("slowest: <models>", ELAPSED.sub("<elapsed>", lines)).splitlines()
    return [line for line in lines if not line.startswith("Bridge:")], process.stderr


def test_demo_prints_the_same_on_both_bridges(real_bridge):
    real, real_errors = demo_output("dotnet")
    examples = len(list(DEMO.parent.glob("[0-9][0-9]_*.py")))
    assert real[-1] == "%d script(s) ran, 0 failed" % examples
    assert real_errors == ""
    standin, _ = demo_output("python")
    assert real == standin
