"""Shared by the scenario scripts of the bridge tests (tests/dotnet/scenarios/).

A scenario is a script as a user writes it: it drives the module and notes in `seen` what it
sees (results, files, printed lines, exception types and messages, the module's traceback
entry). `report()` writes those notes as JSON to the file named by KORVEX_REPORT, with the
run's own folders and fresh UUIDs replaced by fixed marks, so that runs on either bridge can
be compared. The test that starts the script sets these environment variables:

  KORVEX_INSTALL_DIR       the installation directory
  KORVEX_SETTINGS_PATH     the machine settings file (Velmora.settings)
  KORVEX_DATASOURCES_PATH  the data sources file (DataSources.settings)
  KORVEX_ROOT              the folder holding the installation and the machine settings
  KORVEX_WORK_DIR          a folder where the script may write (also its working directory)
  KORVEX_TEMP_DIR          the temporary directory of the run (TMPDIR)
  KORVEX_REPORT            where the notes go
"""

import contextlib
import io
import json
import os
import re
import sys

import korvex_computer as cc
import korvex_computer.korvex_core as core

INSTALL_DIR = os.environ["KORVEX_INSTALL_DIR"]
ROOT = os.environ["KORVEX_ROOT"]
WORK = os.environ["KORVEX_WORK_DIR"]
TEMP = os.environ["KORVEX_TEMP_DIR"]
APP_SETTINGS = os.path.join(INSTALL_DIR, "Settings", "Application.settings")
SOURCE_FILE = "src/korvex_computer/korvex_core"
UUID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")

seen = {}


def setup():
    """Bind the module to the installation, with the settings files of the run."""
    core._settingsPath_ = os.environ["KORVEX_SETTINGS_PATH"]
    core._dataSourcesPath_ = os.environ["KORVEX_DATASOURCES_PATH"]
    with contextlib.redirect_stdout(io.StringIO()):
        return cc.setup_korvex_computer(INSTALL_DIR, cc.KorvexModule.Velmora)


def module_entry(error):
    """(function name, line) of the innermost traceback entry the module added, or None."""
    found = None
    tb = error.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == SOURCE_FILE:
            found = [code.co_name, tb.tb_lineno]
        tb = tb.tb_next
    return found


def failure(error, message=True):
    """What a script sees of an exception: its type, namespace, message and the module's entry.
    .NET exceptions are read through Message (their text also carries a stack trace); the
    message is left out for errors that the bridge itself words (message=False)."""
    noted = {"type": type(error).__name__, "namespace": type(error).__module__,
             "entry": module_entry(error)}
    if message:
        noted["message"] = error.Message if hasattr(error, "Message") else str(error)
    return noted


def attempt(function, *args, message=True):
    """{"returned": value} or {"raised": failure} of a call."""
    try:
        return {"returned": plain(function(*args))}
    except Exception as error:  # noqa: BLE001 - the scenario notes every kind
        return {"raised": failure(error, message)}


def printed(function, *args):
    """(what the call returned, the lines it printed)."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        result = function(*args)
    return result, out.getvalue().splitlines()


def plain(value):
    """A value as JSON can hold it: .NET strings and numbers arrive as Python ones already;
    sequences become lists; other objects are named by their class."""
    if value is None or isinstance(value, (str, bool, int, float)):
        return value
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    return "<%s>" % type(value).__name__


def listing(directory):
    """The files under a directory, as sorted relative paths."""
    found = []
    for current, folders, files in os.walk(directory):
        for name in files:
            found.append(os.path.relpath(os.path.join(current, name), directory))
    return sorted(found)


def text(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def set_app_setting(section, key, value):
    """Change one setting of the installation's application settings (None removes it)."""
    with open(APP_SETTINGS, encoding="utf-8") as f:
        settings = json.load(f)
    if value is None:
        settings[section].pop(key, None)
    else:
        settings[section][key] = value
    with open(APP_SETTINGS, "w", encoding="utf-8") as f:
        json.dump(settings, f, indent=2)


def bridge():
    return "pythonnet" if "pythonnet" in sys.modules else "stand-in"


def _marked(value):
    if isinstance(value, str):
        for folder, mark in sorted(((TEMP, "<tmp>"), (WORK, "<work>"), (ROOT, "<root>")),
                                   key=lambda pair: -len(pair[0])):
            value = value.replace(folder, mark)
        return UUID.sub("<uuid>", value)
    if isinstance(value, list):
        return [_marked(v) for v in value]
    if isinstance(value, dict):
        return dict((k, _marked(v)) for k, v in value.items())
    return value


def report():
    with open(os.environ["KORVEX_REPORT"], "w", encoding="utf-8") as f:
        json.dump({"bridge": bridge(), "seen": _marked(seen)}, f, indent=2)
