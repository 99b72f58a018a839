"""Helpers for the module's tests: traceback entries, subprocess runs, shared texts."""

import json
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
STANDIN = ROOT / "standin"

SETUP_MESSAGE = (
    "Invalid setup! Please call 'from korvex_computer import setup_korvex_computer' and set up "
    "with Velmora installation directory."
)
SOURCE_FILE = "src/korvex_computer/korvex_core"


def innermost_module_entry(exc):
    """(function name, line) of the innermost traceback entry that the module added."""
    found = None
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == SOURCE_FILE:
            found = (code.co_name, tb.tb_lineno)
        tb = tb.tb_next
    return found


def module_entries(exc):
    """Every (function name, line) the module added to a traceback, outermost first."""
    entries = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == SOURCE_FILE:
            entries.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return entries


def run_python(code, *, with_standin=True, cwd=None, env=None):
    """Runs code in a fresh interpreter like this one; returns the completed process."""
    paths = [p for p in sys.path if p and p != str(STANDIN)]
    if with_standin:
        paths.insert(0, str(STANDIN))
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))
    environment.update(env or {})
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          cwd=cwd, env=environment, timeout=120)


def write_quarl(path, module="Velmora"):
    """Writes a one-layer model file of the stand-in's format; returns its path as text."""
    path.write_text(json.dumps({"Format": "quarL", "FormatVersion": 1, "Module": module,
                                "Layers": [{"Name": "0"}]}))
    return str(path)


class PreviousSolution(object):
    """Stands for a solution left in `_Solution_` by an earlier run."""

    def __init__(self):
        self.disposed = 0

    def Dispose(self):
        self.disposed += 1


def recording_load_dll(core):
    """Wraps the module's load_dll so a test can see which assemblies a function asked for."""
    asked = []
    original = core.load_dll

    def load_dll(name):
        asked.append(name)
        return original(name)

    core.load_dll = load_dll
    return asked
