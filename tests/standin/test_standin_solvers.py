"""Solver runs with the stand-in programs, the analysis model and the solution."""

import json
import os
import threading

import pytest

import korvex_standin
from System import ArgumentException, InvalidOperationException, ObjectDisposedException
from System.Globalization import CultureInfo
from System.Threading import Thread


@pytest.fixture
def piping(sdk, tmp_path):
    """A piping model saved in a run directory, with its .fre file written."""
    from Korvex.SDK import KorvexModule
    from Korvex.Velmora.Core import Layer, Model, PSLibrary
    model = Model(KorvexModule.Velmora)
    for name in ("0", "Steam"):
        model.Layers.Add(Layer(name))
    run = tmp_path / "run"
    run.mkdir()
    model.SaveToFile(str(run / "plant.quarl"))
    PSLibrary.Initialize(sdk.pslib_path)
    model.WriteFreFile(str(run / "plant.fre"), None, 80, 1, False, False, True, True, True,
                       False, None, None)
    return model, run


def pipestress(sdk, model, run, thf="", program=None):
    from Korvex.PipeStress.Core import PipeStressSolver
    solver = PipeStressSolver(program or sdk.pipestress_solver, model, str(run / "plant.fre"), thf)
    solver.IgnoreWarnings = True
    return solver


def test_pipestress_run_leaves_results(sdk, piping, com_apartment):
    from Korvex.Velmora.Core import Solution
    model, run = piping
    (run / "plant.thf").write_text("TEMPERATURE 120\n")
    Thread.CurrentThread.CurrentCulture = CultureInfo("en-US")
    solver = pipestress(sdk, model, run, thf=str(run / "plant.thf"))
    assert solver.Run() == 0
    analysis = solver.GetAnalysisModel()
    assert analysis.Layers == ("0", "Steam") and analysis.Status == "Solved"
    solution = Solution(None, solver)
    assert solution.SolverName == "PipeStress"
    assert solution.InputFile == str(run / "plant.fre")
    assert solution.ResultFile == str(run / "plant.pipestress.json")
    assert solution.Layers == ("0", "Steam")
    assert solution.Culture == "en-US"
    assert solution.Warnings == ()
    assert json.loads((run / "plant.pipestress.json").read_text())["ThermalFile"] == str(run / "plant.thf")
    assert "solved 2 layer(s)" in (run / "plant.pipestress.log").read_text()


def test_warnings_stop_the_run_unless_ignored(sdk, piping, com_apartment):
    model, run = piping
    solver = pipestress(sdk, model, run)
    solver.IgnoreWarnings = False
    assert solver.Run() == 1
    assert solver.GetAnalysisModel() is None
    solver.IgnoreWarnings = True
    assert solver.Run() == 0
    assert solver.GetAnalysisModel().Warnings == ("no .thf file: ambient temperature assumed",)


@pytest.mark.parametrize("case", ["missing program", "no program", "failing program",
                                  "missing input", "missing thf", "structure input"])
def test_failed_runs_give_non_zero_without_raising(sdk, piping, com_apartment, tmp_path, case):
    model, run = piping
    program, thf = None, ""
    if case == "missing program":
        program = str(tmp_path / "absent.py")
    elif case == "failing program":
        program = str(tmp_path / "fail.py")
        (tmp_path / "fail.py").write_text("import sys\nsys.exit(7)\n")
    elif case == "missing input":
        os.remove(str(run / "plant.fre"))
    elif case == "missing thf":
        thf = str(run / "absent.thf")
    elif case == "structure input":
        text = (run / "plant.fre").read_text().replace("*MODEL PIPING", "*MODEL STRUCTURE")
        (run / "plant.fre").write_text(text)
    solver = pipestress(sdk, model, run, thf=thf, program=program)
    if case == "no program":
        from Korvex.PipeStress.Core import PipeStressSolver
        solver = PipeStressSolver(None, model, str(run / "plant.fre"), "")
    code = solver.Run()
    assert code != 0
    if case == "failing program":
        assert code == 7
    assert solver.GetAnalysisModel() is None
    assert not (run / "plant.pipestress.json").exists()


def test_solver_run_needs_a_com_apartment(sdk, piping):
    model, run = piping
    with pytest.raises(InvalidOperationException, match="COM"):
        pipestress(sdk, model, run).Run()


def test_run_on_a_worker_thread_reports_its_culture(sdk, piping):
    import pythoncom
    model, run = piping
    codes = []

    def worker():
        pythoncom.CoInitialize()
        try:
            codes.append(pipestress(sdk, model, run).Run())
        finally:
            pythoncom.CoUninitialize()
    thread = threading.Thread(target=worker)
    thread.start()
    thread.join()
    assert codes == [0]
    assert json.loads((run / "plant.pipestress.json").read_text())["Culture"] == ""


def test_disposed_solution_and_solver(sdk, piping, com_apartment):
    from Korvex.Velmora.Core import Solution
    model, run = piping
    solver = pipestress(sdk, model, run)
    solver.Run()
    solution = Solution(None, solver)
    solution.Dispose()
    solution.Dispose()
    assert solution.IsDisposed
    with pytest.raises(ObjectDisposedException, match="Solution"):
        solution.Layers
    with pytest.raises(ObjectDisposedException, match="PipeStressSolver"):
        solver.Run()


def test_solution_of_a_run_without_results(sdk, piping):
    from Korvex.Velmora.Core import Solution
    model, run = piping
    solution = Solution(None, pipestress(sdk, model, run))
    assert solution.Status == "NoResults" and solution.Layers == ()
    with pytest.raises(ArgumentException):
        Solution(None, "solver")


def aster(sdk, model, quarl, program=None):
    from Korvex.Aster.Core import AsterSolver
    solver = AsterSolver(program or sdk.aster_solver, model, quarl, "", False)
    solver.IgnoreWarnings = True
    return solver


@pytest.mark.parametrize("member", ["Velmora", "Norvane"])
def test_aster_builds_and_solves_both_kinds(sdk, tmp_path, com_apartment, member):
    from Korvex.SDK import KorvexModule
    from Korvex.Velmora.Core import Layer, Model, Solution
    model = Model(getattr(KorvexModule, member))
    model.Layers.Add(Layer("Frame"))
    quarl = str(tmp_path / "m.quarl")
    solver = aster(sdk, model, quarl)
    assert solver.BuildAnalysisModel(False) == 0
    assert solver.Run() == 0
    solution = Solution(None, solver)
    assert (solution.SolverName, solution.Layers) == ("Aster", ("Frame",))
    assert json.loads((tmp_path / "m.aster.json").read_text())["Model"] == (
        "PIPING" if member == "Velmora" else "STRUCTURE")


def test_aster_cannot_build_a_model_without_layers(sdk, tmp_path, com_apartment):
    from Korvex.Velmora.Core import Model
    solver = aster(sdk, Model(), str(tmp_path / "m.quarl"))
    assert solver.BuildAnalysisModel(False) == -1
    assert solver.Run() != 0
    assert not (tmp_path / "m.aster.json").exists()


def test_aster_needs_the_helper_assembly(inst):
    import clr
    clr.AddReference(inst.assembly_path("Korvex.Aster.Core.dll"))
    from Korvex.Aster.Core import AsterSolver
    from System.IO import FileNotFoundException
    with pytest.raises(FileNotFoundException, match="Korvex.Helper"):
        AsterSolver(inst.aster_solver, None, "m.quarl", "", False)


def test_solver_calls_are_journaled_with_knobs(sdk, piping, journal, com_apartment):
    model, run = piping
    journal.answer("PipeStressSolver.Run", 5)
    solver = pipestress(sdk, model, run)
    assert solver.Run() == 5
    assert journal.members()[-3:] == ["PipeStressSolver", "PipeStressSolver.IgnoreWarnings=",
                                      "PipeStressSolver.Run"]
    assert not (run / "plant.pipestress.log").exists()
    assert korvex_standin.com_depths()[threading.get_ident()][1] == 1
