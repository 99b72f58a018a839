"""Fixtures shared by the module's tests.

The module loads once per process and keeps its globals, so every test runs against a module
whose namespace is put back as it was (globals, replaced attributes, the `_dlls_` list) and
in the working directory it started in. The stand-in platform (standin/) provides `clr`,
`pythoncom` and the SDK; its journal is cleared around each test.

A development build can be tested without installing it: point KORVEX_PACKAGE_DIR at the
folder that holds the built `korvex_computer` package (a plain CMake build lays it out in
<build>/package).
"""

import os
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
STANDIN = ROOT / "standin"

sys.path.insert(0, str(STANDIN))
if os.environ.get("KORVEX_PACKAGE_DIR"):
    sys.path.insert(0, os.environ["KORVEX_PACKAGE_DIR"])

import korvex_computer.korvex_core as korvex_core  # noqa: E402
from korvex_standin import journal as standin_journal  # noqa: E402
from korvex_standin import unload_assemblies  # noqa: E402
from korvex_standin.installation import build_installation  # noqa: E402
from module_helpers import recording_load_dll  # noqa: E402

@pytest.fixture(autouse=True)
def pristine_module():
    namespace = vars(korvex_core)
    saved = dict(namespace)
    saved_dlls = list(korvex_core._dlls_)
    saved_cwd = os.getcwd()
    standin_journal.reset()
    # Assemblies stay loaded in a process, the first copy of each standing for any later one;
    # each test starts with none loaded, as `_dlls_` says.
    unload_assemblies()
    yield
    for key in list(namespace):
        if key not in saved:
            del namespace[key]
    namespace.update(saved)
    korvex_core._dlls_[:] = saved_dlls
    os.chdir(saved_cwd)
    standin_journal.reset()


@pytest.fixture
def core():
    """The native module, as scripts import it."""
    return korvex_core


@pytest.fixture
def journal():
    """The stand-in's journal of bridge, COM and SDK calls, with its fault knobs."""
    return standin_journal


@pytest.fixture
def installation(tmp_path):
    """A complete stand-in installation, with the module's settings paths pointed at it."""
    inst = build_installation(tmp_path / "installation")
    korvex_core._settingsPath_ = inst.settings_path
    korvex_core._dataSourcesPath_ = inst.data_sources_path
    return inst


@pytest.fixture
def ready(installation, capsys):
    """The module set up against the stand-in installation; the journal and output are clean."""
    assert korvex_core.setup_korvex_computer(
        installation.directory, korvex_core.KorvexModule.Velmora) is True
    capsys.readouterr()
    standin_journal.reset()
    return installation


@pytest.fixture
def work(tmp_path):
    """An empty folder to work in."""
    directory = tmp_path / "work"
    directory.mkdir()
    return directory


@pytest.fixture
def loads(core):
    """Records the names given to the module's load_dll while still loading them."""
    return recording_load_dll(core)


def pytest_configure(config):
    config.addinivalue_line("markers", "chaos: the farm under random faults for minutes (run "
                            "once, in the test command's CPython stage)")
