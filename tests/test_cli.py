"""The command line, run the way a user runs it: ``python -m korvex_computer`` in a fresh
process, against a stand-in installation. What the module itself answers (descriptions,
assemblies loaded) is read in this process from the same installation."""

import json
import os
import re
import signal
import subprocess
import sys
import time

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


def zero_layers(folder, name="ZeroLayers"):
    """A model that PipeStress refuses, saying why in its log: it has no layer."""
    path = model(folder, name)
    with open(path, "w") as stream:
        json.dump({"Format": "quarL", "Module": "Velmora", "Layers": []}, stream)
    return path


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
    (["solve", "m.quarl", "--solver", "Aster", "--resume"],
     "--resume needs --output DIR, the folder of the earlier run"),
    (["solve", "m.quarl", "./m.quarl", "--solver", "Aster"],
     "m.quarl and ./m.quarl would be solved in place from the same input file"),
    (["worker", "--json", "--broker", "amqp://h", "--results", "redis://h"],
     "--json has no meaning for worker, which prints no result"),
    (["worker", "--broker", "amqp://h", "--results", "redis://h", "--logfile", "no/such/w.log"],
     "cannot write the log file no/such/w.log"),
    (["cancel", "../x", "--results", "redis://h"], "'../x' is not a batch id"),
    (["dead-letters", "--broker", " "], "no broker: give --broker URL or set KORVEX_BROKER"),
    (["dead-letters", "--broker", "amqp://h", "--put-back", "--drop"],
     "argument --drop: not allowed with argument --put-back"),
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
    (["--version"], 0, "korvex_computer "),
    (["solve", "m.quarl", "--solver", "Other"], 2, "invalid choice: 'Other'"),
    (["info"], 1, "korvex_computer: error: missing platform: the module clr cannot be imported "
                  "(ModuleNotFoundError: No module named 'clr')"),
    (["solve", "A.quarl", "B.quarl", "--solver", "Aster"], 1, "korvex_computer: error: missing "
     "platform: the module clr cannot be imported (ModuleNotFoundError: No module named 'clr')"),
    # Sending models to other machines needs no platform here.
    (["solve", "A.quarl", "--solver", "Aster", "--broker", "amqp://127.0.0.1:1/farm",
      "--results", "redis://127.0.0.1:1/0", "--timeout", "1"], 1,
     "korvex_computer: error: cluster unreachable: cannot reach the results store at "
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
    # The solver's own reason, from its log, which went with the sandbox.
    ({}, ["solve", "{zero}", "--solver", "PipeStress", "--sandbox"], "solver failure",
     "PipeStress gave no solution for {zero}: the model has no layer to analyse"),
    # In place and without a .fre file, the model's own input cannot be written.
    ({"pipestress_lib": False}, ["solve", "{model}", "--solver", "PipeStress"],
     "fre file not written", "Invalid setup! Korvex.PipeStress.lib not found!"),
    ({}, ["find", "NoSuchClass"], "unknown class", "the installation has no class NoSuchClass"),
    ({}, ["solve", "{model}", "--solver", "PipeStress", "--output", "{model}"],
     "output not written", "{model} is a file, not a folder"),
    ({}, ["--settings", "{not_json}", "info"], "invalid settings",
     "the settings file {not_json} is not JSON (a fault at line 2, column 1) (give "
     "--settings FILE or set KORVEX_SETTINGS_PATH)"),
    ({}, ["--settings", "{empty}", "info"], "invalid settings", "the settings file {empty} "
     "lacks \"Families\" (give --settings FILE or set KORVEX_SETTINGS_PATH)"),
    ({}, ["--data-sources", "{empty}", "info"], "invalid settings", "the data sources file "
     "{empty} lacks \"CurrentDatasDirectory\" (give --data-sources FILE or set "
     "KORVEX_DATASOURCES_PATH)"),
    ({}, ["solve", "{tmp}/Plant", "--solver", "PipeStress"], "invalid model", "{tmp}/Plant is "
     "a folder, not a model file (give the model files, or a pattern such as "
     "{tmp}/Plant/*.quarl)"),
    ({}, ["solve", "{tmp}/Nope*.quarl", "--solver", "PipeStress"], "invalid model",
     "no file matches {tmp}/Nope*.quarl"),
])
def test_a_failed_job_says_why_in_one_line(tmp_path, temp_dir, built, arguments, cause,
                                           message):
    installation = build_installation(tmp_path / "installation", **built)
    unreadable = tmp_path / "models" / "Unreadable.quarl"
    unreadable.parent.mkdir()
    unreadable.write_text("not a model\n")
    (tmp_path / "not_json.settings").write_text("{\nFamilies: []}\n")
    (tmp_path / "empty.settings").write_text("{}")
    values = {"tmp": str(tmp_path), "directory": installation.directory,
              "settings": installation.settings_path, "unreadable": str(unreadable),
              "model": model(tmp_path / "Plant"), "zero": zero_layers(tmp_path / "Zero"),
              "not_json": str(tmp_path / "not_json.settings"),
              "empty": str(tmp_path / "empty.settings")}
    result = run_cli([a.format(**values) for a in arguments] + ["--json"],
                     environment(installation, temp_dir))
    assert result.returncode == 1
    document = json.loads(result.stdout)
    assert {key: document.pop(key) for key in ("ok", "cause", "message")} == {
        "ok": False, "cause": cause, "message": message.format(**values)}
    if "solve" in arguments and "--output" not in arguments:  # as a batch's record
        assert (document["solver"], document["notes"]) == ("PipeStress", [])
        assert os.path.isabs(document["model"]) and "elapsed" in document
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
        assert (summary["input"], properties["ResultFile"], summary["files"]) == (
            "Plant.fre", None, [])
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
    # What the SDK's objects all have, and what holds nothing, is left out.
    shown = fields(text.stdout)
    assert not {"IsDisposed", "InputFile"} & set(shown) and shown.get("Culture") != ""


def test_solve_several_models_in_worker_processes(cli, tmp_path, temp_dir):
    good = [model(tmp_path / "A", "A"), model(tmp_path / "B", "B"),
            model(tmp_path / "C", "C", module="Norvane")]  # a structure model
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
    assert [e["solver"] for e in entries if e["ok"]] == ["PipeStress", "PipeStress", "Aster"]
    sandboxes = [e["sandbox"] for e in entries if e["ok"]]
    assert len(set(sandboxes)) == 3
    assert all(os.path.dirname(s) == str(temp_dir) for s in sandboxes)
    assert len(set(e["process"] for e in entries)) <= 2
    assert os.getpid() not in set(e["process"] for e in entries)
    assert os.listdir(str(temp_dir)) == []

    no_thf = model(tmp_path / "D", "D", thf=False)
    text = cli("solve", *good, no_thf, "--solver", "Aster", "--jobs", "3", cwd=str(tmp_path))
    assert text.returncode == 0
    rows = text.stdout.splitlines()
    assert rows[0].split() == ["MODEL", "RESULT", "TIME", "DETAILS"]
    assert [row.split()[:2] for row in rows[1:5]] == [  # relative to the current folder
        [os.path.join(name, name + ".quarl"), "solved"] for name in "ABCD"]
    assert rows[4].endswith("Solved, by Aster, warnings: no .thf file: ambient temperature "
                            "assumed")
    assert rows[5].startswith("4 solved, 0 failed, 0 kept, in 3 processes")


@pytest.mark.parametrize("sandbox", [False, True])
def test_a_failed_model_keeps_its_input_log_and_reason(cli, tmp_path, sandbox):
    paths = [model(tmp_path / "Plant"), zero_layers(tmp_path / "Zero")]
    options = ["--solver", "PipeStress", "--jobs", "2"] + (["--sandbox"] if sandbox else [])
    result = cli("solve", *paths, *options, "--output", str(tmp_path / "out"), "--json")
    failed, kept = json.loads(result.stdout)["models"][1], tmp_path / "out" / "ZeroLayers"
    assert json.loads((kept / "result.json").read_text()) == failed
    assert failed["solver_error"] == "the model has no layer to analyse"
    assert (failed["input"], failed["files"]) == (str(kept / "ZeroLayers.fre"), [str(
        kept / name) for name in ("ZeroLayers.fre", "ZeroLayers.pipestress.log",
                                  "ZeroLayers.thf")[:3 if sandbox else 2]])  # in place the
    # folder's .thf is no file of the run (its record holds its digest)
    # Without --output, said too; paths relative to the current folder; the row cut to 100
    # columns, the whole message among the failures.
    rows = cli("solve", *paths, *options, cwd=str(tmp_path)).stdout.splitlines()
    shown = failed["message"].replace(paths[1], os.path.join("Zero", "ZeroLayers.quarl"))
    assert rows[2].startswith(os.path.join("Zero", "ZeroLayers.quarl") + "  failed")
    cut = rows[2].split("  ")[-1]
    assert len(rows[2]) == 100 and cut.endswith("...")
    assert ("solver failure: " + shown).startswith(cut[:-3]) and rows[3:6] == [
        "Failed, by cause:", "  solver failure (1 model):",
        "    %s: %s" % (os.path.join("Zero", "ZeroLayers.quarl"), shown)]
    assert rows[6].startswith("1 solved, 1 failed, 0 kept, in 2 processes")


def test_every_model_fails_when_the_workers_cannot_bind(cli, tmp_path, temp_dir):
    models = [model(tmp_path / name, name) for name in ("A", "B")]
    result = cli("--installation", str(tmp_path / "nowhere"), "solve", *models, "--solver",
                 "Aster", "--jobs", "2", "--json")
    assert result.returncode == 1
    entries = json.loads(result.stdout)["models"]
    assert [(e["model"], e["cause"]) for e in entries] == [(m, "missing installation")
                                                          for m in models]


FOLDER_MODELS = {"Plant": ["PIPE-A", "PIPE-B"], "Frame": ["RACK"], "Pump": ["SUCTION"],
                 "Tank": ["NOZZLE"]}


def models_of_one_folder(folder, env):
    """The four models of FOLDER_MODELS saved in one folder, with the folder's .thf file and
    the conception.fre that saving Plant last wrote there; their paths."""
    folder.mkdir()
    (folder / "site.thf").write_text("TEMPERATURE 180\n")
    paths = []
    for name, layers in FOLDER_MODELS.items():
        (folder / (name + ".quarl")).write_text(json.dumps(
            {"Format": "quarL", "Module": "Velmora", "Layers": [{"Name": n} for n in layers]}))
        paths.append(str(folder / (name + ".quarl")))
    assert run_cli(["fre", paths[0]], env).returncode == 0
    return paths


def assert_each_solved_from_its_own_model(report, paths, output, solved_by=None):
    """Each model solved from its own input, its files and record kept in output/<name>."""
    entries = report["models"]
    assert [(e["model"], e["ok"]) for e in entries] == [(path, True) for path in paths]
    for entry in entries:
        name = os.path.basename(entry["model"])[:-len(".quarl")]
        kept = output / name
        results = json.loads((kept / (name + ".pipestress.json")).read_text())
        assert (results["Title"], results["Layers"]) == (name, FOLDER_MODELS[name])
        assert entry["input"] == str(kept / (name + ".fre"))
        assert entry["solution"]["properties"]["ResultFile"] == str(
            kept / (name + ".pipestress.json"))
        assert set(entry["files"]) <= set(str(kept / f) for f in os.listdir(str(kept)))
        record = json.loads((kept / "result.json").read_text())
        assert {key: record[key] for key in ("input", "files", "process")} == {
            key: entry[key] for key in ("input", "files", "process")}
        assert solved_by is None or entry["process"] in solved_by
    index = json.loads((output / "batch.json").read_text())
    assert [(m["model"], m["record"]) for m in index["models"]] == [
        (path, str(output / os.path.basename(path)[:-len(".quarl")] / "result.json"))
        for path in paths]


@pytest.mark.parametrize("sandbox", [False, True])
def test_models_of_one_folder_each_solved_from_its_own_input(installation, tmp_path, temp_dir,
                                                             sandbox):
    env = environment(installation, temp_dir)
    paths = models_of_one_folder(tmp_path / "share", env)
    before = sorted(os.listdir(str(tmp_path / "share")))
    pattern = str(tmp_path / "share" / "*.quarl")  # as Windows' shells pass it on
    result = run_cli(["solve", pattern, "--solver", "PipeStress", "--jobs", "2", "--json",
                      "--output", str(tmp_path / "out")] + (["--sandbox"] if sandbox else []),
                     env)
    assert result.returncode == 0, result.stderr
    assert_each_solved_from_its_own_model(json.loads(result.stdout), sorted(paths),
                                          tmp_path / "out")
    if sandbox:  # the models' folder as it was
        assert sorted(os.listdir(str(tmp_path / "share"))) == before


@pytest.mark.parametrize("sandbox", [False, True])
def test_a_model_of_a_batch_costs_nothing_per_file_of_its_folder(ready, core, tmp_path,
                                                                 monkeypatch, sandbox):
    """The batch finds the folder's .thf once and passes it on (here: none, though the
    folder has one), the module's own look-ups in place included; the run's files are those
    named after it by the run, not any file of the folder; the record is synced by the
    batch at its end, not one by one."""
    from korvex_computer.batch import task

    (tmp_path / "site.thf").write_text("TEMPERATURE 180\n")
    (tmp_path / "Plant.notes.txt").write_text("not the run's")
    synced = []
    monkeypatch.setattr(os, "fsync", synced.append)
    look_up = core.find_first_file
    entry = task.solve({"model": write_quarl(tmp_path / "Plant.quarl"), "solver": "PipeStress",
                        "sandbox": sandbox, "output": str(tmp_path / "out"), "thf": None,
                        "synced_at_end": True}, None)
    assert entry["ok"] and (entry["inputs"]["thf"], synced) == (None, [])
    assert entry["solution"]["properties"]["Warnings"] == [
        "no .thf file: ambient temperature assumed"]
    assert core.find_first_file is look_up
    assert sorted(os.path.basename(path) for path in entry["files"]) == [
        "Plant.fre", "Plant.pipestress.json", "Plant.pipestress.log"]


def many_models(folder, count):
    folder.mkdir()
    (folder / "site.thf").write_text("TEMPERATURE 180\n")
    return [write_quarl(folder / ("M%02d.quarl" % number)) for number in range(count)]


def wait_for(condition, seconds=120):
    for _ in range(int(seconds / 0.05)):
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError("waited %g s in vain" % seconds)


@pytest.mark.skipif(not hasattr(signal, "SIGKILL"), reason="needs SIGKILL, which Windows lacks")
def test_resume_solves_only_what_a_killed_client_left(installation, tmp_path, temp_dir):
    env = dict(environment(installation, temp_dir), KORVEX_STANDIN_SOLVE_SECONDS="0.3")
    paths = many_models(tmp_path / "share", 6)
    output = tmp_path / "out"
    command = [sys.executable, "-m", "korvex_computer", "solve", *paths, "--solver",
               "PipeStress", "--sandbox", "--output", str(output), "--json"]

    def records():
        return {path.parent.name: path.stat().st_mtime_ns for path in output.glob("*/result.json")}

    client = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, universal_newlines=True)
    wait_for(lambda: len(records()) >= 2)
    os.kill(client.pid, signal.SIGKILL)
    client.wait()
    # The worker ends its model, sees that its client is gone and ends quietly (the last
    # holder of the client's standard error).
    assert client.stderr.read() == ""
    kept = records()
    assert 2 <= len(kept) < 6

    result = run_cli(command[3:] + ["--resume"], env)
    assert result.returncode == 0, result.stderr
    entries = json.loads(result.stdout)["models"]
    assert [e["ok"] for e in entries] == [True] * 6
    assert sorted(os.path.basename(e["model"])[:-6] for e in entries if e.get("resumed")) == \
        sorted(kept)
    now = records()
    assert all(now[name] == kept[name] for name in kept) and len(now) == 6


def change_between_runs(change, folder, output):
    """Changes one input of Plant (or its record), keeping the file's size and time."""
    edited = {"thf": folder / "site.thf", "fre": folder / "Plant.fre",
              "model": folder / "Plant.quarl",
              "record of an earlier version": output / "Plant" / "result.json"}.get(change)
    if edited is not None:
        times, text = edited.stat(), edited.read_text()
        edited.write_text({"thf": lambda: "TEMPERATURE 250\n",
                           "fre": lambda: text.replace("\n", "\nC edited\n", 1),
                           "model": lambda: text.replace('"0"', '"1"'),
                           "record of an earlier version": lambda: json.dumps(
                               {k: v for k, v in json.loads(text).items() if k != "inputs"})
                           }[change]())
        os.utime(str(edited), ns=(times.st_atime_ns, times.st_mtime_ns))


@pytest.mark.parametrize("change, sandbox, why", [
    (None, False, None),
    (None, True, None),
    ("thf", True, "site.thf changed"),
    ("fre", False, "Plant.fre changed"),  # written by the first run, in place
    ("model", True, "Plant.quarl changed"),
    ("solver", True, "solver Aster, was PipeStress"),
    ("record of an earlier version", True, "its record does not name the files it was "
                                           "solved from"),
])
def test_resume_keeps_a_result_only_when_every_input_is_the_same(cli, tmp_path, change,
                                                                  sandbox, why):
    folder, output = tmp_path / "share", tmp_path / "out"
    folder.mkdir()
    (folder / "site.thf").write_text("TEMPERATURE 180\n")
    paths = [write_quarl(folder / "Plant.quarl"), write_quarl(folder / "Pump.quarl")]
    options = ["--output", str(output), "--jobs", "2"] + (["--sandbox"] if sandbox else [])
    assert cli("solve", *paths, "--solver", "PipeStress", *options).returncode == 0
    change_between_runs(change, folder, output)
    solver = "Aster" if change == "solver" else "PipeStress"
    rows = cli("solve", *paths, "--solver", solver, *options, "--resume",
               cwd=str(folder)).stdout.splitlines()
    shown = [row.split()[1] for row in rows[1:3]]
    assert shown == ["kept" if why is None else "solved",
                     "solved" if change in ("solver", "thf") else "kept"]
    assert rows[1].startswith("Plant.quarl ")  # relative to the current folder
    assert rows[1].split("  ")[-1].startswith("solved again: " + why) if why else \
        rows[1].endswith(", kept in Plant")  # relative to --output
    assert rows[3].startswith("%d solved, 0 failed, %d kept" % (2 - shown.count("kept"),
                                                                shown.count("kept")))


@pytest.mark.parametrize("sandbox", [False, True])
def test_output_never_deletes_a_file_that_no_batch_wrote(cli, tmp_path, sandbox):
    paths = [model(tmp_path / "Plant"), model(tmp_path / "Pump", "Pump")]
    output = tmp_path / "out"
    mine = [output / "Plant" / "notes.txt", output / "Pump" / "Pump.pipestress.json"]
    for path in mine:
        path.parent.mkdir(parents=True)
        path.write_text("mine\n")
    (output / "batch.json").mkdir()  # nor the index, which a batch writes
    for run in range(2):  # the second run replaces the first one's files
        result = cli("solve", *paths, "--solver", "PipeStress", "--output", str(output),
                     "--json", *(["--sandbox"] if sandbox else []))
        assert "the index %s was not written" % (output / "batch.json") in result.stderr
        plant, pump = json.loads(result.stdout)["models"]
        assert [path.read_text() for path in mine] == ["mine\n"] * 2
        assert plant["ok"] and str(mine[0]) not in plant["files"]
        assert (pump["cause"], sorted(os.listdir(str(output / "Pump")))) == (
            "output not written", ["Pump.pipestress.json", "result.json"])
        assert "%s was not written by a batch" % mine[1] in pump["message"]


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() == 0,
                    reason="needs a user whom file permissions bind")
def test_an_unwritable_folder_is_named_with_its_remedy(cli, tmp_path):
    path, output = model(tmp_path / "Locked"), tmp_path / "out"
    output.mkdir()
    for folder in (tmp_path / "Locked", output):
        folder.chmod(0o555)
    try:
        in_place = cli("solve", path, "--solver", "PipeStress").stderr
        kept = cli("solve", path, "--solver", "PipeStress", "--sandbox", "--output", str(output))
    finally:
        for folder in (tmp_path / "Locked", output):
            folder.chmod(0o755)
    assert re.match(r"korvex_computer: error: model folder not writable: the run of %s cannot "
                    r"write in .*give --sandbox to solve a copy in a folder of its own\n$"
                    % re.escape(path), in_place), in_place
    assert re.match(r"korvex_computer: error: output not written: the output folder %s cannot "
                    r"be written .*give another --output\n$" % re.escape(str(output)),
                    kept.stderr), kept.stderr


def interrupted_on_a_terminal(command, env, ready, **options):
    """Runs a command on a pseudo-terminal that is its controlling terminal, as in a shell,
    and types Ctrl-C there once `ready(text drawn so far)`; its exit status, its output and
    what it (and its children) drew on the terminal."""
    import fcntl
    import select
    import termios

    def take_the_terminal():
        os.setsid()
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)
        # As a shell starts a foreground job: a test run started in the background of a
        # non-interactive shell ignores SIGINT, which the command would inherit and keep.
        signal.signal(signal.SIGINT, signal.SIG_DFL)

    terminal, child_end = os.openpty()
    process = subprocess.Popen(command, env=dict(env, TERM="xterm", COLUMNS="120"),
                               stdin=child_end, stderr=child_end, stdout=subprocess.PIPE,
                               preexec_fn=take_the_terminal, **options)
    os.close(child_end)
    shown, typed = b"", False
    while True:
        if select.select([terminal], [], [], 60)[0] == []:
            break
        try:
            chunk = os.read(terminal, 4096)
        except OSError:  # every process of the terminal ended
            break
        if not chunk:
            break
        shown += chunk
        if not typed and ready(shown.decode("utf-8", "replace")):
            os.write(terminal, b"\x03")
            typed = True
    os.close(terminal)
    stdout = process.stdout.read().decode()
    process.stdout.close()
    assert typed, "the command ended before it was interrupted"
    return process.wait(timeout=60), stdout, shown.decode("utf-8", "replace")


@pytest.mark.skipif(not hasattr(os, "openpty"),
                    reason="needs a pseudo-terminal, which Windows lacks")
def test_ctrl_c_stops_a_local_batch_with_its_table(installation, tmp_path, temp_dir):
    env = dict(environment(installation, temp_dir), KORVEX_STANDIN_SOLVE_SECONDS="0.2")
    paths = many_models(tmp_path / "share", 50)
    command = [sys.executable, "-m", "korvex_computer", "solve", *paths, "--solver",
               "PipeStress", "--sandbox", "--jobs", "2"]
    for attempt in range(10):
        output = tmp_path / ("out%d" % attempt)
        code, stdout, shown = interrupted_on_a_terminal(
            command + ["--output", str(output)], env,
            lambda text: re.search(r"PipeStress: ([3-9]|\d\d) done", text), cwd=str(tmp_path))
        rows = stdout.splitlines()
        assert code == 130, (attempt, stdout, shown)
        assert rows[0].split() == ["MODEL", "RESULT", "TIME", "DETAILS"]
        results = [row.split()[1] for row in rows[1:51]]
        assert [row.split()[0] for row in rows[1:51]] == [
            os.path.relpath(path, str(tmp_path)) for path in paths]
        assert set(results) <= {"solved", "interrupted", "never"} and "never" in results
        assert re.match(r"\d+ solved, 0 failed, 0 kept, (\d+ interrupted, )?\d+ never started, "
                        r"in 2 processes", rows[51]), rows[51]
        # No time for a model that never ran, and its reason said once.
        assert all(re.match(r"\S+ +never started +the batch was interrupted before the model "
                            r"was started$", row) for row in rows[1:51] if "never" in row)
        for fault in ("Traceback", "FATAL", "Error", "Segmentation"):
            assert fault not in shown, (attempt, shown)
        assert re.search(r"korvex_computer: error: interrupted: \d+ of 50 models ended, \d+ "
                         r"did not; to solve what is left: korvex_computer solve %s .*--output "
                         r"%s --resume\s*$" % (re.escape(paths[0]), re.escape(str(output))),
                         shown), shown
        # The stopped models leave no sandbox and no output folder without a record.
        assert os.listdir(str(temp_dir)) == []
        assert all((folder / "result.json").exists() for folder in output.iterdir()
                   if folder.is_dir())


def installation_killing_workers(folder):
    """A stand-in installation whose PipeStress kills the process that started it (the worker)
    when it solves a model named Crash or in a folder named Crash (also from a sandbox); with
    $ORPHANS, a file, it then runs on, its process number there, as a solver left alone."""
    solver = os.path.join(str(STANDIN), "korvex_standin", "programs", "pipestress_solver.py")
    killer = ("import os, runpy, signal, sys, time\n"
              "if os.sep + 'Crash' in ' '.join(sys.argv):\n"
              "    orphans = os.environ.get('ORPHANS')\n"
              "    if orphans:\n"
              "        with open(orphans, 'a') as stream:\n"
              "            stream.write('%%d\\n' %% os.getpid())\n"
              "    os.kill(os.getppid(), signal.SIGKILL)  # the worker that runs this solver\n"
              "    time.sleep(600 if orphans else 0)\n"
              "    sys.exit(4)\n"
              "runpy.run_path(%r, run_name='__main__')\n" % solver)
    return build_installation(folder, pipestress_solver=killer)


def running(pid):
    stat = "/proc/%d/stat" % pid
    return os.path.exists(stat) and open(stat).read().rsplit(")", 1)[1].split()[0] != "Z"


@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="needs SIGKILL and /proc")
@pytest.mark.parametrize("sandbox", [False, True])
def test_a_worker_that_dies_fails_only_the_model_it_was_solving(tmp_path, temp_dir, sandbox):
    installation = installation_killing_workers(tmp_path / "installation")
    models = [model(tmp_path / name, name) for name in ("A", "Crash", "B", "C")]
    orphans = tmp_path / "orphans"
    env = dict(environment(installation, temp_dir), ORPHANS=str(orphans))
    result = run_cli(["solve", *models, "--solver", "PipeStress", "--jobs", "2", "--json"]
                     + (["--sandbox"] if sandbox else []), env)
    [orphan] = map(int, orphans.read_text().split())
    try:  # its solver ended with it, and its sandbox went
        wait_for(lambda: not running(orphan), seconds=30)
    finally:
        if running(orphan):
            os.kill(orphan, signal.SIGKILL)
    assert os.listdir(str(temp_dir)) == []
    assert result.returncode == 1
    entries = json.loads(result.stdout)["models"]
    assert [(e["ok"], e.get("cause")) for e in entries] == [
        (True, None), (False, "worker failure"), (True, None), (True, None)]


PROGRESS_SCRIPT = """\
import json, os, sys
from korvex_computer.batch import solve_many
breaks, output, paths = sys.argv[1] == "breaks", sys.argv[2], sys.argv[3:]
seen = []

def progress(report):
    seen.append(report._asdict())
    if breaks and report.done:
        raise RuntimeError("the callback broke")

try:
    ended = [entry["ok"] for entry in solve_many(paths, "PipeStress", sandbox=True, jobs=2,
                                                 output=output, progress=progress)]
except RuntimeError as error:
    ended = str(error)

def parent(pid):
    try:
        with open("/proc/%s/stat" % pid) as stat:
            return stat.read().rsplit(")", 1)[1].split()[1]
    except OSError:  # ended meanwhile
        return None

children = [name for name in os.listdir("/proc") if name.isdigit()
            and parent(name) == str(os.getpid())]
print(json.dumps({"ended": ended, "first": seen[0], "last": seen[-1], "children": children}))
"""


@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="lists the workers in /proc")
@pytest.mark.parametrize("breaks", [False, True])
def test_a_script_follows_a_local_batch_through_its_progress(installation, tmp_path, temp_dir,
                                                             breaks):
    """The callback sees the batch start and its final counts; one that raises stops the
    batch, its workers and their sandboxes gone, each model kept ended with its record."""
    paths = [model(tmp_path / name, name) for name in ("A", "B", "C")] + [
        zero_layers(tmp_path / "Zero")] + many_models(tmp_path / "share", 6)
    env = dict(environment(installation, temp_dir), KORVEX_STANDIN_SOLVE_SECONDS="0.2")
    ran = run_cli(["-c", PROGRESS_SCRIPT, "breaks" if breaks else "goes on",
                   str(tmp_path / "out"), *paths], env, command=[sys.executable])
    assert ran.returncode == 0, ran.stderr
    seen = json.loads(ran.stdout)
    assert seen["first"] == {"solver": "PipeStress", "done": 0, "failed": 0, "running": 2,
                             "waiting": 8, "total": 10, "elapsed": seen["first"]["elapsed"],
                             "workers": 2, "through_queue": False}
    assert seen["children"] == [] and os.listdir(str(temp_dir)) == []
    if breaks:
        assert seen["ended"] == "the callback broke" and seen["last"]["done"] >= 1
        # No folder of a model without its record, even one stopped as its folder was made.
        assert all((folder / "result.json").exists() for folder in (tmp_path / "out").iterdir())
        assert not (tmp_path / "out" / "batch.json").exists()
    else:
        assert seen["ended"] == [True] * 3 + [False] + [True] * 6
        assert [seen["last"][key] for key in ("done", "failed", "running", "waiting")] == [
            9, 1, 0, 0]


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
                                                    "--jobs", "2", "-v"], env)
    assert code == 0, (stdout, status)
    if several:
        assert re.search(r"PipeStress: \d done, \d failed, \d running of 2 models, \d+\.\d s",
                         status)
        assert stdout.startswith("MODEL")
        # -v's line per model is written above the status line, not into it.
        plain = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", status)
        logged = [match.start() for match in re.finditer(r"korvex_computer: solved ", plain)]
        assert len(logged) == 2, status
        assert all(re.split(r"[\r\n]", plain[:start])[-1].strip() == "" for start in logged), \
            status
    else:
        assert re.search(r"PipeStress: solving A\.quarl, \d+\.\d s", status)
        assert stdout.startswith("Solved %s" % models[0])
    assert "Traceback" not in status


def test_a_table_of_many_models_reads_at_100_columns(tmp_path, monkeypatch):
    from korvex_computer.cli.status_line import time_left
    from korvex_computer.cli import render

    monkeypatch.chdir(str(tmp_path))

    def entry(name, elapsed, **more):
        return dict({"model": str(tmp_path / "lines" / name), "solver": "PipeStress",
                     "ok": True, "elapsed": elapsed,
                     "solution": {"class": "Solution", "properties": {"Status": "Solved"}}},
                    **more)

    long_name = "Line-%s-final.quarl" % ("x" * 80)
    bad = str(tmp_path / "lines" / "Bad.quarl")
    rows = render.batch([
        entry("Line01.quarl", 3.5, output=str(tmp_path / "out" / "Line01"), machine="node7",
              attempt=2),  # from the farm
        entry(long_name, 0.5),
        entry("Bad.quarl", 2.0, ok=False, cause="solver failure",
              message="PipeStress gave no solution for %s: no layer" % bad),
    ], 2, 4.0, str(tmp_path / "out")).splitlines()
    names = [row.split()[0] for row in rows[1:4]]  # relative, a long one cut in the middle
    assert (names[0], names[2]) == (os.path.join("lines", "Line01.quarl"),
                                    os.path.join("lines", "Bad.quarl"))
    assert len(names[1]) == 40 and names[1].startswith(os.path.join("lines", "Line-xx")) and \
        "x...x" in names[1] and names[1].endswith("x-final.quarl")
    assert "  Solved, by PipeStress on node7 (attempt" in rows[1] and len(rows[1]) == 100
    assert render.batch([entry("Line01.quarl", 3.5, output=str(tmp_path / "out" / "Line01"))],
                        1, 4.0, str(tmp_path / "out")).splitlines()[1].endswith(
        "Solved, by PipeStress, kept in " + os.path.join("out", "Line01"))
    assert rows[4:7] == ["Failed, by cause:", "  solver failure (1 model):",
                         "    %s: PipeStress gave no solution for %s: no layer" % (
                             names[2], names[2])]
    assert rows[7] == ("2 solved, 1 failed, 0 kept, in 2 processes, 4.0 s; 6.0 s of solves; "
                       "slowest: Line01.quarl 3.50 s")  # as many as 100 columns hold
    assert max(len(row) for row in rows[:4] + rows[7:]) <= 100
    assert [time_left(10.0, ended, 6) for ended in (0, 2, 6)] == ["", ", about 20 s left", ""]


def test_the_readme_s_script_runs_after_the_quick_start_s_exports(tmp_path, temp_dir):
    """As a new user does: quickstart.py's printed exports, then the README's Python example
    in the models' folder; the command line's output stays free of the setDaemon warning
    that the script sees."""
    readme = (STANDIN.parent / "README.md").read_text(encoding="utf-8")
    script = readme[readme.index("```python\n") + len("```python\n"):]
    script = script[:script.index("```")]
    made = run_cli([str(tmp_path / "try")], dict(environment(None, temp_dir)),
                   command=[sys.executable, str(STANDIN / "quickstart.py")])
    exported = dict(re.match(r"export (\w+)='(.*)'$", line).groups()
                    for line in made.stdout.splitlines())
    env = dict(environment(None, temp_dir), **exported)
    models = str(tmp_path / "try" / "models")
    ran = run_cli(["-c", script], env, command=[sys.executable], cwd=models)
    assert ran.returncode == 0, ran.stderr
    shown = [line for line in ran.stdout.splitlines() if not line.endswith(" loaded")]
    assert shown == ["layers: ['PIPE-A', 'PIPE-B']", "status: Solved"]
    assert all("setDaemon" in line or line.startswith("  ")
               for line in ran.stderr.splitlines()), ran.stderr
    env["PYTHONWARNINGS"] = "always::DeprecationWarning"
    for models_given in (["Plant.quarl"], ["Plant.quarl", "Pump.quarl", "--jobs", "2"]):
        solved = run_cli(["solve", *models_given, "--solver", "PipeStress", "--sandbox"], env,
                         cwd=models)
        assert (solved.returncode, solved.stderr) == (0, "")


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
