"""The command line, run the way a user runs it: ``python -m korvex_computer`` in a fresh
process, against a stand-in installation. What the module itself answers (descriptions,
assemblies loaded) is read in this process from the same installation."""

import json
import os
import re
import signal
import subprocess
import sys

import pytest

from korvex_standin.installation import build_installation
from module_helpers import STANDIN, write_quarl

PLAIN_STATUS = ("import sys; sys.modules['rich'] = None\n"  # as if rich were not installed
                "from korvex_computer.cli import main; sys.exit(main())")


@pytest.fixture
def temp_dir(tmp_path):
    """The temporary directory of the command line's processes, where sandboxes go."""
    directory = tmp_path / "temp"
    directory.mkdir()
    return directory


def environment(installation, temp_dir):
    paths = [p for p in sys.path if p and p != str(STANDIN)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(STANDIN)] + paths),
               TMPDIR=str(temp_dir), TEMP=str(temp_dir), TMP=str(temp_dir))
    for name in ("KORVEX_INSTALLATION", "KORVEX_SETTINGS_PATH", "KORVEX_DATASOURCES_PATH"):
        env.pop(name, None)
    if installation is not None:
        env.update(KORVEX_INSTALLATION=installation.directory,
                   KORVEX_SETTINGS_PATH=installation.settings_path,
                   KORVEX_DATASOURCES_PATH=installation.data_sources_path)
    return env


def run_cli(arguments, env, command=None, **options):
    command = command or [sys.executable, "-m", "korvex_computer"]
    result = subprocess.run(command + list(arguments), env=env, capture_output=True, text=True,
                            timeout=300, **options)
    assert "Traceback" not in result.stderr
    return result


@pytest.fixture
def cli(installation, temp_dir):
    """Runs the command line with the stand-in installation in its environment."""
    def run(*arguments, env=None, **options):
        return run_cli(arguments, env or environment(installation, temp_dir), **options)
    return run


def model(folder, name="Plant", module="Velmora", thf=True):
    """A model file alone in its folder (PipeStress wants a .thf file beside it)."""
    folder.mkdir(parents=True)
    if thf:
        (folder / (name + ".thf")).write_text("TEMPERATURE 180\n")
    return write_quarl(folder / (name + ".quarl"), module)


def fields(text):
    """The "Label: value" lines of a text result, as a dictionary."""
    return dict((label.strip(), value.strip()) for label, value in
                (line.split(":", 1) for line in text.splitlines() if ":" in line))


def console_script():
    script = os.path.join(os.path.dirname(sys.executable), "korvex_computer")
    if not os.path.exists(script):
        pytest.skip("the korvex_computer command is installed with the package only")
    return [script]


@pytest.mark.parametrize("given, arguments, command", [
    ("environment", ["info", "--json"], None),
    ("options before the command", ["--installation", "{directory}", "--settings", "{settings}",
                                    "--data-sources", "{data_sources}", "--json", "info"], None),
    ("options after the command", ["info", "--installation", "{directory}", "--module",
                                   "structure", "--settings", "{settings}", "--data-sources",
                                   "{data_sources}", "--json"], None),
    ("environment", ["info", "--json"], console_script),
])
def test_info_shows_what_the_binding_found(core, ready, temp_dir, given, arguments, command):
    values = {"directory": ready.directory, "settings": ready.settings_path,
              "data_sources": ready.data_sources_path}
    env = environment(ready if given == "environment" else None, temp_dir)
    result = run_cli([a.format(**values) for a in arguments], env,
                     command=command() if command else None)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == {
        "ok": True, "installation": ready.directory,
        "module": "structure" if "structure" in arguments else "piping",
        "assemblies_folder": ready.extensions, "settings": ready.settings_path,
        "data_sources": ready.data_sources_path,
        "solvers": {"PipeStress": ready.pipestress_solver, "Aster": ready.aster_solver},
        "data_folder": ready.data_dir, "projects_folder": ready.projects_dir,
        "assemblies_loaded": core._dlls_}
    assert result.stderr == ""


def test_info_as_text(cli, installation):
    result = cli("info")
    assert result.returncode == 0
    shown = fields(result.stdout)
    assert (shown["Installation"], shown["PipeStress solver"], shown["Data folder"]) == (
        installation.directory, installation.pipestress_solver, installation.data_dir)


@pytest.mark.parametrize("arguments, complaint", [
    (["info"], "no installation: give --installation DIR or set KORVEX_INSTALLATION"),
    ([], "the following arguments are required: COMMAND"),
    (["bogus"], "invalid choice: 'bogus'"),
    (["--module", "other", "info"], "invalid choice: 'other'"),
    (["solve", "m.quarl"], "the following arguments are required: --solver"),
    (["solve", "m.quarl", "--solver", "Other"], "invalid choice: 'Other'"),
    (["solve", "m.quarl", "--solver", "Aster", "--jobs", "0"],
     "'0' is not a positive whole number"),
    (["fre"], "the following arguments are required: MODEL.quarl"),
])
def test_usage_errors(temp_dir, arguments, complaint):
    result = run_cli(arguments, environment(None, temp_dir))
    assert result.returncode == 2
    assert result.stderr.startswith("usage: korvex_computer")
    assert complaint in result.stderr.splitlines()[-1]
    assert result.stdout == ""


@pytest.mark.parametrize("arguments, status, shown", [
    (["--help"], 0, "usage: korvex_computer"),
    (["worker", "--help"], 0, "usage: korvex_computer worker"),
    (["solve", "m.quarl", "--solver", "Other"], 2, "invalid choice: 'Other'"),
    (["info"], 1, "korvex_computer: error: missing platform: the module clr cannot be imported "
                  "(ModuleNotFoundError: No module named 'clr')"),
    (["solve", "A.quarl", "B.quarl", "--solver", "Aster"], 1, "korvex_computer: error: missing "
     "platform: the module clr cannot be imported (ModuleNotFoundError: No module named 'clr')"),
    # Sending models to other machines needs no platform here.
    (["solve", "A.quarl", "--solver", "Aster", "--broker", "redis://127.0.0.1:1/0"], 1,
     "korvex_computer: error: cluster unreachable: cannot reach the broker at "
     "redis://127.0.0.1:1/0"),
])
@pytest.mark.parametrize("command", [None, console_script])
def test_the_command_line_without_the_platform(installation, tmp_path, temp_dir, arguments,
                                               status, shown, command):
    """Where the .NET bridge cannot be imported, only what needs it fails; a script's import
    of the package still fails as it did."""
    blocked = tmp_path / "blocked"
    blocked.mkdir()
    (blocked / "clr.py").write_text("raise ModuleNotFoundError(\"No module named 'clr'\", "
                                    "name='clr')\n")
    env = dict(environment(installation, temp_dir), PYTHONPATH=str(blocked))
    result = run_cli(arguments, env, command=command() if command else None)
    assert result.returncode == status
    assert shown in (result.stdout if status == 0 else result.stderr.splitlines()[-1])
    script = subprocess.run([sys.executable, "-c", "import korvex_computer"], env=env,
                            capture_output=True, text=True)
    assert script.stderr.splitlines()[-1] == "ModuleNotFoundError: No module named 'clr'"


BROKEN_SOLVER = "import sys\nsys.exit(4)\n"


@pytest.mark.parametrize("built, arguments, cause, message", [
    ({}, ["--installation", "{tmp}/nowhere", "info"], "missing installation",
     "The directory '{tmp}/nowhere' does not exist."),
    ({}, ["--settings", "{tmp}/none.settings", "info"], "missing settings",
     "the settings file {tmp}/none.settings does not exist (give --settings FILE or set "
     "KORVEX_SETTINGS_PATH)"),
    ({"extensions": False}, ["info"], "invalid installation",
     "{directory} has no Extensions folder"),
    ({}, ["fre", "{tmp}/none.quarl"], "invalid model", "{tmp}/none.quarl does not exist"),
    ({}, ["fre", "{unreadable}"], "invalid model",
     "{unreadable} is not a model the application can read"),
    ({"pipestress_lib": False}, ["fre", "{model}"], "fre file not written",
     "Invalid setup! Korvex.PipeStress.lib not found!"),
    ({}, ["solve", "{unreadable}", "--solver", "PipeStress", "--sandbox"], "invalid model",
     "{unreadable} is not a model the application can read"),
    ({"pipestress_solver": BROKEN_SOLVER}, ["solve", "{model}", "--solver", "PipeStress"],
     "solver failure", "PipeStress gave no solution for {model}"),
    ({"pipestress_setting": ""}, ["solve", "{model}", "--solver", "PipeStress", "--sandbox"],
     "solver failure", "no PipeStress solver path in {settings}"),
    # In place and without a .fre file, the model's own input cannot be written.
    ({"pipestress_lib": False}, ["solve", "{model}", "--solver", "PipeStress"],
     "fre file not written", "Invalid setup! Korvex.PipeStress.lib not found!"),
    ({}, ["find", "NoSuchClass"], "unknown class", "the installation has no class NoSuchClass"),
])
def test_a_failed_job_says_why_in_one_line(tmp_path, temp_dir, built, arguments, cause,
                                           message):
    installation = build_installation(tmp_path / "installation", **built)
    unreadable = tmp_path / "models" / "Unreadable.quarl"
    unreadable.parent.mkdir()
    unreadable.write_text("not a model\n")
    values = {"tmp": str(tmp_path), "directory": installation.directory,
              "settings": installation.settings_path, "unreadable": str(unreadable),
              "model": model(tmp_path / "Plant")}
    result = run_cli([a.format(**values) for a in arguments] + ["--json"],
                     environment(installation, temp_dir))
    assert result.returncode == 1
    assert json.loads(result.stdout) == {"ok": False, "cause": cause,
                                         "message": message.format(**values)}
    assert result.stderr == "korvex_computer: error: %s: %s\n" % (cause,
                                                                  message.format(**values))
    assert os.listdir(str(temp_dir)) == []  # no sandbox left behind


@pytest.mark.parametrize("own_fre", [False, True])
def test_fre_writes_the_solver_input_file_and_prints_its_path(cli, tmp_path, own_fre):
    path = model(tmp_path / "Plant")
    expected = tmp_path / "Plant" / ("Plant.fre" if own_fre else "conception.fre")
    if own_fre:
        expected.write_text("old\n")
    result = cli("fre", path)
    assert (result.returncode, result.stdout) == (0, str(expected) + "\n")
    assert expected.read_text() != "old\n"


@pytest.mark.parametrize("sandbox, solver, module", [
    (True, "PipeStress", "Velmora"),
    (False, "PipeStress", "Velmora"),
    (False, "Aster", "Norvane"),
])
def test_solve_one_model(cli, tmp_path, temp_dir, sandbox, solver, module):
    path = model(tmp_path / "Plant", module=module)
    result = cli("solve", path, "--solver", solver, "--json", *(["--sandbox"] if sandbox else []))
    assert (result.returncode, result.stderr) == (0, "")  # no status line off a terminal
    summary = json.loads(result.stdout)
    properties = summary["solution"]["properties"]
    assert (summary["ok"], summary["model"], summary["solver"]) == (True, path, solver)
    assert (properties["Status"], properties["SolverName"]) == ("Solved", solver)
    if sandbox:  # the run's files went with the sandbox: no path names them
        assert os.path.dirname(summary["sandbox"]) == str(temp_dir)
        assert (summary["input"], properties["ResultFile"], summary["files"]) == (None, None, [])
    else:
        assert summary["sandbox"] is None
        assert os.path.dirname(properties["ResultFile"]) == os.path.dirname(path)
        assert summary["input"] == path[:-len(".quarl")] + (
            ".fre" if solver == "PipeStress" else ".aster.inp")
        assert properties["ResultFile"] in summary["files"]
    assert os.listdir(str(temp_dir)) == []  # the sandbox went with the solution

    text = cli("solve", path, "--solver", solver, *(["--sandbox"] if sandbox else []))
    assert re.match(r"Solved %s with %s in \d+\.\d\d s \((in a sandbox, now removed|in place)\)$"
                    % (re.escape(path), solver), text.stdout.splitlines()[0])
    assert fields(text.stdout)["Status"] == "Solved"


def test_solve_several_models_in_worker_processes(cli, tmp_path, temp_dir):
    good = [model(tmp_path / name, name) for name in ("A", "B", "C")]
    unreadable = str(tmp_path / "Unreadable.quarl")
    with open(unreadable, "w") as f:
        f.write("not a model\n")
    missing = str(tmp_path / "Missing.quarl")
    models = [good[0], unreadable, good[1], missing, good[2]]

    result = cli("solve", *models, "--solver", "PipeStress", "--sandbox", "--jobs", "2",
                 "--json")
    assert result.returncode == 1
    assert result.stderr == "korvex_computer: error: 2 of 5 models failed (invalid model)\n"
    report = json.loads(result.stdout)
    entries = report["models"]
    assert (report["ok"], report["solved"], report["failed"]) == (False, 3, 2)
    assert [e["model"] for e in entries] == models
    assert [e["ok"] for e in entries] == [True, False, True, False, True]
    assert [e["cause"] for e in entries if not e["ok"]] == ["invalid model"] * 2
    sandboxes = [e["sandbox"] for e in entries if e["ok"]]
    assert len(set(sandboxes)) == 3
    assert all(os.path.dirname(s) == str(temp_dir) for s in sandboxes)
    assert len(set(e["process"] for e in entries)) <= 2
    assert os.getpid() not in set(e["process"] for e in entries)
    assert os.listdir(str(temp_dir)) == []

    text = cli("solve", *good, "--solver", "Aster", "--jobs", "3")
    assert text.returncode == 0
    rows = text.stdout.splitlines()
    assert rows[0].split() == ["MODEL", "RESULT", "TIME", "DETAILS"]
    assert [row.split()[:2] for row in rows[1:4]] == [[path, "solved"] for path in good]
    assert rows[4].startswith("3 solved, 0 failed, in 3 processes")


def test_every_model_fails_when_the_workers_cannot_bind(cli, tmp_path, temp_dir):
    models = [model(tmp_path / name, name) for name in ("A", "B")]
    result = cli("--installation", str(tmp_path / "nowhere"), "solve", *models, "--solver",
                 "Aster", "--jobs", "2", "--json")
    assert result.returncode == 1
    entries = json.loads(result.stdout)["models"]
    assert [(e["model"], e["cause"]) for e in entries] == [(m, "missing installation")
                                                          for m in models]


def installation_killing_workers(folder):
    """A stand-in installation whose PipeStress kills the process that started it (the worker)
    when it solves a model in a folder named Crash."""
    solver = os.path.join(str(STANDIN), "korvex_standin", "programs", "pipestress_solver.py")
    killer = ("import os, runpy, signal, sys\n"
              "if os.sep + 'Crash' + os.sep in ' '.join(sys.argv):\n"
              "    os.kill(os.getppid(), signal.SIGKILL)  # the worker that runs this solver\n"
              "    sys.exit(4)\n"
              "runpy.run_path(%r, run_name='__main__')\n" % solver)
    return build_installation(folder, pipestress_solver=killer)


@pytest.mark.skipif(not hasattr(signal, "SIGKILL"), reason="needs SIGKILL, which Windows lacks")
def test_a_worker_that_dies_fails_only_the_model_it_was_solving(tmp_path, temp_dir):
    installation = installation_killing_workers(tmp_path / "installation")
    models = [model(tmp_path / name, name) for name in ("A", "Crash", "B", "C")]
    result = run_cli(["solve", *models, "--solver", "PipeStress", "--jobs", "2", "--json"],
                     environment(installation, temp_dir))
    assert result.returncode == 1
    entries = json.loads(result.stdout)["models"]
    assert [(e["ok"], e.get("cause")) for e in entries] == [
        (True, None), (False, "worker failure"), (True, None), (True, None)]


def on_a_terminal(command, env):
    """Runs a command whose standard error is a terminal; its exit status, its output and
    what it drew on the terminal."""
    env = dict(env, TERM="xterm", COLUMNS="120")
    terminal, stderr = os.openpty()
    process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=stderr,
                               stdin=subprocess.DEVNULL)
    os.close(stderr)
    shown = b""
    while True:
        try:
            chunk = os.read(terminal, 4096)
        except OSError:  # the other end is closed
            break
        if not chunk:
            break
        shown += chunk
    os.close(terminal)
    stdout = process.stdout.read().decode()
    process.stdout.close()
    return process.wait(), stdout, shown.decode("utf-8", "replace")


@pytest.mark.skipif(not hasattr(os, "openpty"),
                    reason="needs a pseudo-terminal, which Windows lacks")
@pytest.mark.parametrize("drawn_by", ["rich", "plain"])
@pytest.mark.parametrize("several", [False, True])
def test_live_status_line_on_a_terminal(installation, tmp_path, temp_dir, drawn_by, several):
    if drawn_by == "rich":
        pytest.importorskip("rich")
        command = [sys.executable, "-m", "korvex_computer"]
    else:
        command = [sys.executable, "-c", PLAIN_STATUS]
    models = [model(tmp_path / name, name) for name in (("A", "B") if several else ("A",))]
    env = environment(installation, temp_dir)
    code, stdout, status = on_a_terminal(command + ["solve", *models, "--solver", "PipeStress",
                                                    "--jobs", "2"], env)
    assert code == 0, (stdout, status)
    if several:
        assert re.search(r"PipeStress: \d done, \d failed, \d running of 2 models, \d+\.\d s",
                         status)
        assert stdout.startswith("MODEL")
    else:
        assert re.search(r"PipeStress: solving A\.quarl, \d+\.\d s", status)
        assert stdout.startswith("Solved %s" % models[0])
    assert "Traceback" not in status


def test_find_and_describe_give_the_module_s_answers(core, ready, cli):
    namespace, assembly = core.findNameSpaceAndAssembly("Model")
    from Korvex.Velmora.Core import Model
    described = json.loads(core.inspectClass(Model, True))

    found = cli("find", "Model", "--json")
    assert json.loads(found.stdout) == {"ok": True, "class": "Model", "namespace": namespace,
                                        "assembly": assembly}
    assert fields(cli("find", "Model").stdout) == {"Class": "Model", "Namespace": namespace,
                                                   "Assembly": assembly}
    assert json.loads(cli("describe", "Model").stdout) == described
    assert json.loads(cli("describe", "Model", "--json").stdout)["description"] == described
