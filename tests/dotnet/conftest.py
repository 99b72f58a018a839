"""Fixtures of the bridge tests: scenario scripts run on the real .NET bridge and on the stand-in.

Each scenario (scenarios/*.py) runs in a fresh interpreter, since .NET assemblies cannot be
unloaded and a second copy of an assembly from another folder silently stands for the first.
A run gets its own installation, work folder and temporary directory. On the real bridge
("dotnet") the installation holds the stand-in SDK compiled into .NET assemblies, and the
script's search path has the COM stand-in but not standin/, so `clr` is pythonnet's; on the
stand-in ("python") it is the usual standin/ platform.

pythonnet runs on CPython only: under PyPy these tests are deselected, and say so. Where the
real bridge cannot start, the tests fail with the reason when the environment variable CI is
set (as on the CI machine), and are skipped with the reason elsewhere.
"""

import json
import os
import pathlib
import platform
import re
import subprocess
import sys

import pytest

from korvex_standin import dotnet
from korvex_standin.installation import build_installation

HERE = pathlib.Path(__file__).resolve().parent
STANDIN = HERE.parent.parent / "standin"
SCENARIOS = HERE / "scenarios"
BRIDGE_PATHS = {"python": str(STANDIN), "dotnet": dotnet.BRIDGE_PATH}
ON_PYPY = platform.python_implementation() == "PyPy"


def pytest_configure(config):
    config.addinivalue_line("markers", "dotnet: runs scripts on the real .NET bridge (pythonnet on Mono)")


def pytest_collection_modifyitems(config, items):
    if not ON_PYPY:
        return
    deselected = [item for item in items if item.get_closest_marker("dotnet")]
    if deselected:
        config.hook.pytest_deselected(items=deselected)
        items[:] = [item for item in items if not item.get_closest_marker("dotnet")]
        config._korvex_dotnet_deselected = len(deselected)


def pytest_terminal_summary(terminalreporter, config):
    count = getattr(config, "_korvex_dotnet_deselected", 0)
    if count:
        terminalreporter.write_line("%d tests of the real .NET bridge deselected: pythonnet runs on "
                                    "CPython only" % count)


def bridge_environment(bridge, extra=None):
    """The environment of a script on `bridge`: the bridge's folder first on the search path,
    then this interpreter's own path without standin/ (the package may come from there)."""
    paths = [BRIDGE_PATHS[bridge]] + list(extra or [])
    paths += [p for p in sys.path if p and os.path.abspath(p) != str(STANDIN)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths), PYTHONUNBUFFERED="1")
    if bridge == "dotnet":
        env.update(dotnet.RUNTIME_ENVIRONMENT)
    return env


def last_error(output):
    """The error that ended a process: from the last exception line of its output to the end
    (else its last lines), on one line."""
    lines = output.strip().splitlines()
    starts = [i for i, line in enumerate(lines) if re.match(r"^[\w.]+(Error|Exception)\b", line)]
    return " ".join(" ".join(lines[starts[-1] if starts else -3:]).split())


@pytest.fixture(scope="session")
def real_bridge():
    """Fails (in CI) or skips (elsewhere) with the reason when the real bridge cannot start."""
    try:
        dotnet.compiled_assemblies()
        check = subprocess.run(
            [sys.executable, "-c", "import clr, System, pythonnet; print(System.Environment.Version)"],
            env=bridge_environment("dotnet"), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            universal_newlines=True, timeout=120)
        problem = None if check.returncode == 0 else last_error(check.stdout)
    except (dotnet.CompilerMissing, RuntimeError) as error:
        problem = str(error)
    if problem:
        reason = ("the real .NET bridge is not available (pythonnet from PyPI and Debian's mono-devel, "
                  "which ./scripts/test installs): %s" % problem)
        if os.environ.get("CI"):
            pytest.fail(reason, pytrace=False)
        pytest.skip(reason)


class ScenarioRun(object):
    """A finished scenario: what the script noted, its output, and its folders."""

    def __init__(self, report, process, folders):
        self.bridge = report["bridge"]
        self.seen = report["seen"]
        self.process = process
        self.folders = folders


def run_script(script, bridge, run_dir, env_extra=None, args=()):
    """Runs a script on `bridge` with a fresh installation under `run_dir`."""
    installation = build_installation(str(run_dir / "installation"), bridge=bridge)
    folders = {"root": installation.root, "work": str(run_dir / "work"), "tmp": str(run_dir / "tmp")}
    for name in ("work", "tmp"):
        os.makedirs(folders[name])
    env = bridge_environment(bridge, [str(HERE)])
    env.update({
        "KORVEX_INSTALL_DIR": installation.directory,
        "KORVEX_SETTINGS_PATH": installation.settings_path,
        "KORVEX_DATASOURCES_PATH": installation.data_sources_path,
        "KORVEX_ROOT": installation.root,
        "KORVEX_WORK_DIR": folders["work"],
        "KORVEX_TEMP_DIR": folders["tmp"],
        "KORVEX_REPORT": str(run_dir / "report.json"),
        "TMPDIR": folders["tmp"], "TEMP": folders["tmp"], "TMP": folders["tmp"],
    })
    env.update(env_extra or {})
    process = subprocess.run([sys.executable, str(script)] + list(args), env=env, cwd=folders["work"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                             timeout=300)
    return process, folders


@pytest.fixture(scope="session")
def scenario(tmp_path_factory, request):
    """scenario(name, bridge="dotnet"): the run of scenarios/<name>.py on that bridge, made
    once per session."""
    runs = {}

    def run(name, bridge="dotnet"):
        if bridge == "dotnet":
            request.getfixturevalue("real_bridge")
        if (name, bridge) not in runs:
            run_dir = tmp_path_factory.mktemp("%s-%s" % (name, bridge))
            process, folders = run_script(SCENARIOS / (name + ".py"), bridge, run_dir)
            if process.returncode != 0 or not (run_dir / "report.json").exists():
                pytest.fail("scenario %s on the %s bridge ended with exit code %d:\n%s%s"
                            % (name, bridge, process.returncode, process.stdout, process.stderr),
                            pytrace=False)
            report = json.loads((run_dir / "report.json").read_text(encoding="utf-8"))
            runs[name, bridge] = ScenarioRun(report, process, folders)
        return runs[name, bridge]
    return run
