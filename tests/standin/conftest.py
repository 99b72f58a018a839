"""Fixtures of the stand-in platform's own tests."""

import os
import sys

import pytest

STANDIN = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                       "standin")
if STANDIN not in sys.path:
    sys.path.insert(0, STANDIN)

import clr  # noqa: E402
import korvex_standin  # noqa: E402
from korvex_standin import journal as standin_journal  # noqa: E402


@pytest.fixture(autouse=True)
def fresh_platform():
    korvex_standin.reset()
    yield
    korvex_standin.reset()


@pytest.fixture
def journal():
    return standin_journal


@pytest.fixture
def inst(tmp_path):
    """A complete stand-in installation, nothing loaded yet."""
    return korvex_standin.build_installation(str(tmp_path / "root"))


@pytest.fixture
def sdk(inst):
    """All six assemblies of ``inst`` loaded; the journal is clean."""
    for file_name in korvex_standin.ASSEMBLY_FILES:
        clr.AddReference(inst.assembly_path(file_name))
    standin_journal.reset()
    return inst


@pytest.fixture
def com_apartment():
    """The calling thread inside a COM apartment, as a solver run needs."""
    import pythoncom
    pythoncom.CoInitialize()
    yield
    pythoncom.CoUninitialize()
