"""Solver runs on a loaded model: the PipeStress and Aster run functions, called directly on the
test's thread, and the two model-solving functions that run them on a worker thread."""

import threading

import pytest

import pythoncom
from korvex_standin import system
from module_helpers import PreviousSolution, innermost_module_entry, write_quarl

# Worker threads are marked daemon through Thread.setDaemon, deprecated on newer runtimes.
pytestmark = pytest.mark.filterwarnings("ignore:setDaemon:DeprecationWarning")

PREFIX = "korvex_computer.korvex_core."
MAIN = threading.get_ident()


@pytest.fixture
def run_dir(tmp_path):
    directory = tmp_path / "run"
    directory.mkdir()
    return directory


@pytest.fixture
def sdk(core, ready):
    """The set-up module with every solver assembly loaded; the journal starts empty."""
    for dll in ("Korvex.Helper.dll", "Korvex.PipeStress.Core.dll", "Korvex.Aster.Core.dll"):
        core.load_dll(dll)
    from korvex_standin import journal
    journal.reset()
    return ready


@pytest.fixture
def fre_writes(core):
    """Replaces the module's writeFreFile by a recorder that writes nothing."""
    calls = []
    core.writeFreFile = lambda quarl, quarlFilename: calls.append((quarl, quarlFilename))
    return calls


def model_in(core, directory, name="Plant.quarl", module="Velmora"):
    path = write_quarl(directory / name, module)
    return core.loadQuarl(path), path


def com_calls(journal):
    return [m for m in journal.members() if m.startswith("pythoncom.")]


# ---- the PipeStress run ----------------------------------------------------------------------

@pytest.mark.parametrize("quarl_name, present, expected, writes", [
    ("Plant.quarl", ["Plant.fre", "conception.fre"], "Plant.fre", 0),
    ("Plant.quarl", ["conception.fre"], "conception.fre", 0),
    ("Plant.quarl", [], "conception.fre", 1),
    ("Plant.rev.quarl", ["Plant.fre", "Plant.rev.fre"], "Plant.rev.fre", 0),
    ("Plant", ["Plant.fre"], "Plant.fre", 0),
    ("Plant.quarl", ["plant.FRE.bak", "Plant.fre.old"], "conception.fre", 1),
    # the model lies elsewhere: only the run directory is looked at
    ("../Plant.quarl", ["../Plant.fre", "conception.fre"], "conception.fre", 0),
])
def test_pipestress_input_file(core, sdk, journal, fre_writes, run_dir, quarl_name, present,
                               expected, writes):
    quarl, path = model_in(core, run_dir, quarl_name)
    for name in present:
        (run_dir / name).write_text("*KORVEX FRE 1\n")
    journal.reset()

    assert core._PipeStressSolve(quarl, path, str(run_dir)) is None
    assert journal.calls("PipeStressSolver") == [
        (core._PipeStress_, quarl, str(run_dir / expected), "")]
    assert fre_writes == [(quarl, path)] * writes


@pytest.mark.parametrize("function, solver", [
    ("_PipeStressSolve", "PipeStressSolver"),
    ("_AsterSolve", "AsterSolver"),
])
@pytest.mark.parametrize("thf", [None, "Temps.thf"])
def test_thf_file_of_the_run_directory(core, sdk, journal, fre_writes, run_dir, function, solver,
                                       thf):
    quarl, path = model_in(core, run_dir)
    if thf:
        (run_dir / thf).write_text("TEMPERATURE 20\n")
    getattr(core, function)(quarl, path, str(run_dir))
    assert journal.calls(solver)[0][3] == (str(run_dir / thf) if thf else "")


@pytest.mark.parametrize("run_result, analysis, solved", [
    (0, "analysis", True),
    (0, None, False),
    (1, None, False),
    (-1, None, False),
])
def test_pipestress_outcomes(core, sdk, journal, fre_writes, run_dir, run_result, analysis,
                             solved):
    quarl, path = model_in(core, run_dir)
    previous = PreviousSolution()
    core._Solution_ = previous
    journal.answer("PipeStressSolver.Run", run_result)
    journal.answer("PipeStressSolver.GetAnalysisModel", analysis)

    assert core._PipeStressSolve(quarl, path, str(run_dir)) is None

    assert previous.disposed == 0
    assert journal.calls("PipeStressSolver.IgnoreWarnings=") == [(True,)]
    assert len(journal.calls("PipeStressSolver.GetAnalysisModel")) == (run_result == 0)
    assert len(journal.calls("PipeStressSolver.Dispose")) == (run_result != 0)
    if solved:
        solver = journal.calls("Solution")[0][1]
        assert journal.calls("Solution") == [(None, solver)]
        assert type(core._Solution_).__name__ == "Solution"
        assert core._Solution_.Solver is solver
    else:
        assert journal.calls("Solution") == []
        assert core._Solution_ is None
    assert com_calls(journal) == ["pythoncom.CoInitialize", "pythoncom.CoUninitialize"]
    assert pythoncom._apartment_depth() == 0


# ---- the Aster run --------------------------------------------------------------------------

@pytest.mark.parametrize("built, run_result, ran, solved", [
    (-1, 0, False, False),
    (0, 0, True, True),
    (3, 0, True, True),
    (0, 2, True, False),
])
def test_aster_outcomes(core, sdk, journal, fre_writes, run_dir, built, run_result, ran, solved):
    quarl, path = model_in(core, run_dir, module="Norvane")
    previous = PreviousSolution()
    core._Solution_ = previous
    journal.answer("AsterSolver.BuildAnalysisModel", built)
    journal.answer("AsterSolver.Run", run_result)

    assert core._AsterSolve(quarl, path, str(run_dir)) is None

    assert previous.disposed == 0
    assert journal.calls("AsterSolver") == [(core._Aster_, quarl, path, "", False)]
    assert journal.calls("AsterSolver.IgnoreWarnings=") == [(True,)]
    assert journal.calls("AsterSolver.BuildAnalysisModel") == [(False,)]
    assert len(journal.calls("AsterSolver.Run")) == ran
    assert len(journal.calls("AsterSolver.Dispose")) == (not solved)
    assert (type(core._Solution_).__name__ == "Solution") is solved
    assert fre_writes == [] and not list(run_dir.glob("*.fre"))
    assert pythoncom._apartment_depth() == 0


def test_aster_takes_the_module_culture_before_the_solver(core, sdk, journal, run_dir):
    from System.Globalization import CultureInfo
    from System.Threading import Thread
    Thread.CurrentThread.CurrentCulture = CultureInfo("fr-FR")
    Thread.CurrentThread.CurrentUICulture = CultureInfo("fr-FR")
    core._CultureInfo_ = CultureInfo("de-DE")
    quarl, path = model_in(core, run_dir, module="Norvane")
    journal.reset()

    core._AsterSolve(quarl, path, str(run_dir))

    assert Thread.CurrentThread.CurrentCulture.Name == "de-DE"
    assert Thread.CurrentThread.CurrentUICulture.Name == "de-DE"
    members = journal.members()
    assert members[:5] == ["pythoncom.CoInitialize", "clr.AddReference",
                           "Thread.CurrentCulture=", "Thread.CurrentUICulture=", "AsterSolver"]
    assert journal.calls("clr.AddReference") == [("mscorlib",)]


def boom(*args):
    return system.InvalidOperationException("boom")


@pytest.mark.parametrize("function, answers, failing, line", [
    ("_PipeStressSolve", {}, "PipeStressSolver", 434),
    ("_PipeStressSolve", {}, "PipeStressSolver.IgnoreWarnings=", 435),
    ("_PipeStressSolve", {}, "PipeStressSolver.Run", 436),
    ("_PipeStressSolve", {"PipeStressSolver.Run": 0}, "PipeStressSolver.GetAnalysisModel", 437),
    ("_PipeStressSolve", {"PipeStressSolver.Run": 0, "PipeStressSolver.GetAnalysisModel": 1},
     "Solution", 438),
    ("_PipeStressSolve", {"PipeStressSolver.Run": 3}, "PipeStressSolver.Dispose", 440),
    ("_AsterSolve", {}, "clr.AddReference", 459),
    ("_AsterSolve", {}, "AsterSolver", 468),
    ("_AsterSolve", {}, "AsterSolver.IgnoreWarnings=", 469),
    ("_AsterSolve", {}, "AsterSolver.BuildAnalysisModel", 470),
    ("_AsterSolve", {"AsterSolver.BuildAnalysisModel": -1}, "AsterSolver.Dispose", 471),
    ("_AsterSolve", {"AsterSolver.BuildAnalysisModel": 0}, "AsterSolver.Run", 473),
    ("_AsterSolve", {"AsterSolver.BuildAnalysisModel": 0, "AsterSolver.Run": 0}, "Solution", 474),
    ("_AsterSolve", {"AsterSolver.BuildAnalysisModel": 0, "AsterSolver.Run": 9},
     "AsterSolver.Dispose", 476),
])
def test_a_raising_step_propagates_with_com_released(core, sdk, journal, fre_writes, run_dir,
                                                     function, answers, failing, line):
    quarl, path = model_in(core, run_dir)
    (run_dir / "Plant.fre").write_text("*KORVEX FRE 1\n")
    for member, value in answers.items():
        journal.answer(member, value)
    journal.fail(failing, boom)

    with pytest.raises(system.InvalidOperationException) as info:
        getattr(core, function)(quarl, path, str(run_dir))

    assert innermost_module_entry(info.value) == (PREFIX + function, line)
    assert core._Solution_ is None
    assert com_calls(journal)[-1] == "pythoncom.CoUninitialize"
    assert pythoncom._apartment_depth() == 0
    solver = "PipeStressSolver" if function == "_PipeStressSolve" else "AsterSolver"
    assert len(journal.calls(solver + ".Dispose")) == (failing == solver + ".Dispose")


@pytest.mark.parametrize("function, lines, success", [
    ("_PipeStressSolve", (422, 442),
     {"PipeStressSolver.Run": 0, "PipeStressSolver.GetAnalysisModel": 1}),
    ("_AsterSolve", (454, 478),
     {"AsterSolver.BuildAnalysisModel": 0, "AsterSolver.Run": 0}),
])
def test_com_failures(core, sdk, journal, fre_writes, run_dir, function, lines, success):
    init_line, release_line = lines
    run = getattr(core, function)
    quarl, path = model_in(core, run_dir)
    missing = str(run_dir / "missing")

    # No apartment: nothing to release, and the previous solution is already dropped.
    core._Solution_ = PreviousSolution()
    journal.fail("pythoncom.CoInitialize", boom, times=1)
    with pytest.raises(system.InvalidOperationException) as info:
        run(quarl, path, str(run_dir))
    assert innermost_module_entry(info.value) == (PREFIX + function, init_line)
    assert com_calls(journal) == ["pythoncom.CoInitialize"]
    assert core._Solution_ is None

    def failing_release(directory):
        """The exception of a run whose release of the apartment fails (the apartment that
        the failed release left is released here)."""
        try:
            with pytest.raises(system.InvalidOperationException) as info:
                run(quarl, path, directory)
        finally:
            pythoncom.CoUninitialize()
        return info.value

    # A failing release replaces the exception that was on its way out ...
    journal.reset()
    journal.fail("pythoncom.CoUninitialize", boom, times=1)
    raised = failing_release(missing)
    assert innermost_module_entry(raised) == (PREFIX + function, release_line)
    assert isinstance(raised.__context__, FileNotFoundError)

    # ... unless it is the very same exception, which never becomes its own context ...
    journal.reset()
    same = system.InvalidOperationException("same")
    journal.fail("PipeStressSolver" if function == "_PipeStressSolve" else "AsterSolver", same)
    journal.fail("pythoncom.CoUninitialize", same, times=1)
    assert failing_release(str(run_dir)) is same and same.__context__ is None

    # ... and comes after the solution of a successful run was stored.
    journal.reset()
    for member, value in success.items():
        journal.answer(member, value)
    journal.fail("pythoncom.CoUninitialize", boom, times=1)
    assert innermost_module_entry(failing_release(str(run_dir))) == (PREFIX + function,
                                                                     release_line)
    assert type(core._Solution_).__name__ == "Solution"
    assert pythoncom._apartment_depth() == 0


# ---- solving a loaded model on a worker thread ---------------------------------------------------

class SpyThread(threading.Thread):
    """threading.Thread that remembers how it was made."""

    made = []

    def __init__(self, *args, **kwargs):
        SpyThread.made.append((self, args, kwargs))
        super().__init__(*args, **kwargs)


@pytest.fixture
def spy_threads(core):
    import types
    SpyThread.made = []
    core.threading = types.SimpleNamespace(Thread=SpyThread)
    return SpyThread.made


def solve_loaded(core, kind, quarl, path, directory):
    if kind == "structure":
        return core.solveStructureModel(quarl, path, directory)
    return core.solvePipingModel(quarl, path, kind, directory)


@pytest.mark.parametrize("kind, module, run_function, assemblies", [
    ("Aster", "Velmora", "_AsterSolve",
     ["Korvex.SDK.dll", "Korvex.Helper.dll", "Korvex.Aster.Core.dll"]),
    ("PipeStress", "Velmora", "_PipeStressSolve",
     ["Korvex.SDK.dll", "Korvex.PipeStress.Core.dll"]),
    ("structure", "Norvane", "_AsterSolve",
     ["Korvex.SDK.dll", "Korvex.Helper.dll", "Korvex.Aster.Core.dll"]),
])
def test_solving_runs_once_on_a_daemon_worker(core, ready, journal, loads, spy_threads, run_dir,
                                             kind, module, run_function, assemblies):
    quarl, path = model_in(core, run_dir, module=module)
    core._Solution_ = previous = PreviousSolution()
    del loads[:]
    journal.reset()

    solution = solve_loaded(core, kind, quarl, path, str(run_dir))

    # A real run of the stand-in solver program, on one joined daemon thread.
    assert solution is core._Solution_
    assert solution.Status == "Solved" and solution.Layers == ("0",)
    assert previous.disposed == 0
    # (the PipeStress run's writeFreFile loads what it needs after these)
    assert loads[:len(assemblies) + 1] == ["Korvex.Velmora.Core.dll"] + assemblies
    [(thread, args, kwargs)] = spy_threads
    assert args == () and kwargs == {"target": getattr(core, run_function),
                                     "args": (quarl, path, str(run_dir))}
    assert thread.daemon and not thread.is_alive()
    worker = thread.ident
    assert worker != MAIN
    assert journal.threads("Solution") == [worker]
    assert set(journal.threads("pythoncom.CoInitialize")) == {worker}
    assert pythoncom._apartment_depth(worker) == 0
    if run_function == "_AsterSolve":
        from korvex_standin.system import thread_cultures
        assert thread_cultures()[worker][1:] == ("en-US", "en-US")
        assert solution.Culture == "en-US"


@pytest.mark.parametrize("kind, module, solver", [
    ("Aster", "Velmora", "AsterSolver"),
    ("PipeStress", "Velmora", "PipeStressSolver"),
    ("structure", "Norvane", "AsterSolver"),
])
def test_a_failed_run_disposes_its_solver_on_the_worker(core, ready, journal, run_dir, kind,
                                                        module, solver):
    quarl, path = model_in(core, run_dir, module=module)
    journal.answer(solver + ".Run", 1)
    assert solve_loaded(core, kind, quarl, path, str(run_dir)) is None
    assert core._Solution_ is None
    [worker] = journal.threads(solver + ".Dispose")
    assert worker == journal.threads(solver)[0] != MAIN
    assert journal.calls("Solution") == []


@pytest.mark.parametrize("kind, module", [
    ("Aster", "Velmora"), ("PipeStress", "Velmora"), ("structure", "Norvane")])
def test_an_exception_in_the_worker_goes_to_the_thread_hook(core, ready, journal, fre_writes,
                                                            monkeypatch, run_dir, kind, module):
    reported = []
    monkeypatch.setattr(threading, "excepthook", reported.append)
    quarl, path = model_in(core, run_dir, module=module)
    missing = str(run_dir / "missing")

    assert solve_loaded(core, kind, quarl, path, missing) is None

    [report] = reported
    assert report.exc_type is FileNotFoundError and report.exc_value.filename == missing
    assert report.thread.daemon and report.thread.ident != MAIN
    assert core._Solution_ is None
    assert journal.threads("pythoncom.CoUninitialize") == [report.thread.ident]
    assert pythoncom._apartment_depth(report.thread.ident) == 0


@pytest.mark.parametrize("solvername", ["aster", "pipestress", "ASTER", "OtherSolver", "", None])
def test_solver_names_are_case_sensitive(core, ready, journal, capsys, run_dir, solvername):
    quarl, path = model_in(core, run_dir)
    core._Solution_ = PreviousSolution()
    capsys.readouterr()
    journal.reset()
    assert core.solvePipingModel(quarl, path, solvername, str(run_dir)) is None
    assert capsys.readouterr().out == "Invalid solver name. use 'Aster' or 'PipeStress'.\n"
    assert core._Solution_ is None
    assert com_calls(journal) == []


@pytest.mark.parametrize("kind, setting", [
    ("Aster", "_Aster_"), ("PipeStress", "_PipeStress_"), ("structure", "_Aster_")])
def test_an_unconfigured_solver_is_not_run(core, ready, journal, loads, spy_threads, capsys,
                                           run_dir, kind, setting):
    quarl, path = model_in(core, run_dir, module="Norvane" if kind == "structure" else "Velmora")
    setattr(core, setting, None)
    core._Solution_ = PreviousSolution()
    del loads[:]
    capsys.readouterr()
    journal.reset()
    assert solve_loaded(core, kind, quarl, path, str(run_dir)) is None
    assert core._Solution_ is None
    assert capsys.readouterr().out == ""
    assert loads == ["Korvex.Velmora.Core.dll"]
    assert spy_threads == [] and com_calls(journal) == []


@pytest.mark.parametrize("function, module, exception, message, line", [
    ("solvePipingModel", None, OSError, "Invalid quarl.", 345),
    ("solvePipingModel", "Norvane", OSError, "The quarl is not a piping model.", 350),
    ("solvePipingModel", "object", AttributeError, None, 349),
    ("solveStructureModel", None, OSError, "Invalid quarl.", 392),
    ("solveStructureModel", "Velmora", OSError, "The quarl is not a structure model.", 397),
    ("solveStructureModel", "object", AttributeError, None, 396),
])
def test_model_checks_come_first(core, ready, journal, capsys, run_dir, function, module,
                                 exception, message, line):
    if module is None:
        quarl, path = None, str(run_dir / "Plant.quarl")
    elif module == "object":
        quarl, path = object(), str(run_dir / "Plant.quarl")
    else:
        quarl, path = model_in(core, run_dir, module=module)
    previous = core._Solution_ = PreviousSolution()
    capsys.readouterr()
    journal.reset()
    args = (quarl, path, str(run_dir)) if function == "solveStructureModel" else (
        quarl, path, "no such solver", str(run_dir))

    with pytest.raises(exception) as info:
        getattr(core, function)(*args)

    if message is not None:
        assert type(info.value) is OSError and info.value.args == (message,)
    assert innermost_module_entry(info.value) == (PREFIX + function, line)
    assert core._Solution_ is previous and previous.disposed == 0
    assert capsys.readouterr().out == ""
    assert com_calls(journal) == []
