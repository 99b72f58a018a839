"""Solving a model file in one call, in place or in a sandbox, and disposing of the solution."""

import os
import shutil
import tempfile
import types
import uuid

import pytest

from module_helpers import (SETUP_MESSAGE, PreviousSolution, innermost_module_entry,
                            module_entries, write_quarl)

pytestmark = pytest.mark.filterwarnings("ignore:setDaemon:DeprecationWarning")

PREFIX = "korvex_computer.korvex_core."


@pytest.fixture
def temp_root(tmp_path, monkeypatch):
    """The temporary directory the sandboxes go to, kept out of the system's."""
    root = tmp_path / "temp"
    root.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(root))
    return root


@pytest.fixture
def model_dir(tmp_path):
    directory = tmp_path / "m"
    directory.mkdir()
    return directory


@pytest.fixture
def solved_without_running(journal):
    """Solver runs succeed at once, without starting the solver programs."""
    journal.answer("PipeStressSolver.Run", 0)
    journal.answer("PipeStressSolver.GetAnalysisModel", "analysis")
    journal.answer("AsterSolver.Run", 0)


def sandboxes(temp_root):
    return sorted(os.listdir(str(temp_root)))


# ---- in place and in a sandbox ----------------------------------------------------------------

def test_solve_in_place_copies_nothing(core, ready, journal, temp_root, model_dir,
                                       solved_without_running):
    plant = write_quarl(model_dir / "Plant.quarl")
    (model_dir / "Plant.fre").write_text("*KORVEX FRE 1\n")
    before = sorted(os.listdir(str(model_dir)))

    solution = core.solve(plant, "PipeStress", False)

    assert solution is core._Solution_ and type(solution).__name__ == "Solution"
    assert journal.calls("Model.LoadFromFile") == [(plant,)]
    assert journal.calls("PipeStressSolver")[0][2] == str(model_dir / "Plant.fre")
    assert sorted(os.listdir(str(model_dir))) == before
    assert sandboxes(temp_root) == []
    assert core._tempDirectory_ is None


@pytest.mark.parametrize("present, copied", [
    (["Plant.fre", "conception.fre", "Plant.thf"], ["Plant.fre", "Plant.quarl", "Plant.thf"]),
    (["conception.fre"], ["Plant.quarl", "conception.fre"]),
    ([], ["Plant.quarl"]),
    (["Other.fre", "notes.txt", "Loads.THF"], ["Loads.THF", "Plant.quarl"]),
])
def test_what_reaches_the_sandbox(core, ready, journal, capsys, temp_root, model_dir, present,
                                  copied):
    plant = write_quarl(model_dir / "Plant.quarl")
    for name in present:
        (model_dir / name).write_text("content of %s\n" % name)

    # An unknown solver name stops after loading: the sandbox holds only the copies.
    assert core.solve(plant, "OtherSolver", True) is None

    [name] = sandboxes(temp_root)
    assert uuid.UUID(name).version == 4 and str(uuid.UUID(name)) == name
    sandbox = temp_root / name
    assert core._tempDirectory_ == str(sandbox)
    assert sorted(os.listdir(str(sandbox))) == copied
    for copy in copied:
        assert (sandbox / copy).read_bytes() == (model_dir / copy).read_bytes()
    assert journal.calls("Model.LoadFromFile") == [(str(sandbox / "Plant.quarl"),)]
    assert capsys.readouterr().out.endswith("Invalid solver name. use 'Aster' or 'PipeStress'.\n")


def test_pipestress_in_a_sandbox_writes_its_input_there(core, ready, journal, temp_root,
                                                        model_dir):
    plant = write_quarl(model_dir / "Plant.quarl")

    solution = core.solve(plant, "PipeStress", True)

    sandbox = core._tempDirectory_
    assert solution.Status == "Solved"
    assert solution.InputFile == os.path.join(sandbox, "conception.fre")
    assert os.path.isfile(solution.InputFile)
    assert sorted(os.listdir(str(model_dir))) == ["Plant.quarl"]

    assert core.disposeSolution() is None
    assert solution.IsDisposed and core._Solution_ is None
    assert sandboxes(temp_root) == []
    assert core._tempDirectory_ == sandbox


def test_two_sandbox_solves_in_a_row(core, ready, journal, temp_root, model_dir,
                                     solved_without_running):
    plant = write_quarl(model_dir / "Plant.quarl")
    first = core.solve(plant, "PipeStress", True)
    first_sandbox = core._tempDirectory_
    journal.reset()
    journal.answer("PipeStressSolver.Run", 0)
    journal.answer("PipeStressSolver.GetAnalysisModel", "analysis")

    second = core.solve(plant, "PipeStress", True)

    assert first.IsDisposed and not second.IsDisposed
    assert journal.members().index("Solution.Dispose") < journal.members().index("Model")
    assert core._tempDirectory_ != first_sandbox
    assert sandboxes(temp_root) == [os.path.basename(core._tempDirectory_)]


@pytest.mark.parametrize("solvername", ["PipeStress", "Aster", "anything"])
def test_a_structure_model_is_always_solved_with_aster(core, ready, journal, temp_root,
                                                       model_dir, solved_without_running,
                                                       solvername):
    frame = write_quarl(model_dir / "Frame.quarl", "Norvane")
    solution = core.solve(frame, solvername, False)
    assert solution is core._Solution_ and solution is not None
    assert len(journal.calls("AsterSolver")) == 1
    assert journal.calls("PipeStressSolver") == []


def test_a_model_of_no_known_kind_gives_none(core, ready, journal, capsys, model_dir):
    plant = write_quarl(model_dir / "Plant.quarl")
    core.loadQuarl = lambda filename: types.SimpleNamespace(CalculationCode=object())
    assert core.solve(plant, "PipeStress", False) is None
    assert capsys.readouterr().out == ""
    assert journal.calls("PipeStressSolver") == journal.calls("AsterSolver") == []


# ---- files that are missing or cannot be loaded ------------------------------------------------

def test_a_missing_file_keeps_the_previous_solution(core, ready, journal, capsys, temp_root,
                                                    model_dir):
    previous = core._Solution_ = PreviousSolution()
    assert core.solve(str(model_dir / "Missing.quarl"), "PipeStress", True) is None
    assert capsys.readouterr().out == "Invalid filename\n"
    assert core._Solution_ is previous and previous.disposed == 0
    assert sandboxes(temp_root) == [] and journal.members() == []


def test_a_model_that_cannot_be_loaded(core, ready, journal, capsys, temp_root, model_dir):
    broken = model_dir / "Broken.quarl"
    broken.write_text("not a model")
    previous = core._Solution_ = PreviousSolution()

    assert core.solve(str(broken), "PipeStress", True) is None

    assert capsys.readouterr().out.endswith("Invalid quarl\n")
    assert previous.disposed == 1 and core._Solution_ is None
    [name] = sandboxes(temp_root)
    assert core._tempDirectory_ == str(temp_root / name)
    assert os.listdir(str(temp_root / name)) == ["Broken.quarl"]


def test_solve_before_setup_disposes_nothing(core, model_dir):
    previous = core._Solution_ = PreviousSolution()
    with pytest.raises(OSError) as info:
        core.solve(write_quarl(model_dir / "Plant.quarl"), "PipeStress", True)
    assert info.value.args == (SETUP_MESSAGE,)
    assert innermost_module_entry(info.value) == (PREFIX + "solve", 275)
    assert previous.disposed == 0


def failing(*args, **kwargs):
    raise PermissionError(13, "Permission denied")


class UnreadableModel(object):
    @property
    def CalculationCode(self):
        failing()


@pytest.mark.parametrize("replace, line", [
    ("find_first_file", 287),
    ("makedirs", 290),
    ("loadQuarl", 300),
    ("CalculationCode", 304),
    ("solvePipingModel", 305),
])
def test_failures_carry_the_line_of_their_step(core, ready, temp_root, model_dir, replace, line):
    plant = write_quarl(model_dir / "Plant.quarl")
    if replace == "makedirs":
        core.os = types.ModuleType("os")
        vars(core.os).update(vars(os), makedirs=failing)
    elif replace == "CalculationCode":
        core.loadQuarl = lambda filename: UnreadableModel()
    else:
        setattr(core, replace, failing)
    with pytest.raises(PermissionError) as info:
        core.solve(plant, "PipeStress", True)
    assert module_entries(info.value)[0] == (PREFIX + "solve", line)
    # A sandbox that was made and filled stays recorded until the next dispose.
    made = sandboxes(temp_root)
    assert [os.path.join(str(temp_root), name) for name in made] == (
        [core._tempDirectory_] if line > 290 else [])


@pytest.mark.parametrize("failing_copy, line", [(1, 293), (2, 295), (3, 297)])
def test_a_sandbox_that_cannot_be_filled_is_removed_by_the_next_dispose(
        core, ready, capsys, temp_root, model_dir, failing_copy, line):
    plant = write_quarl(model_dir / "Plant.quarl")
    (model_dir / "Plant.fre").write_text("input")
    (model_dir / "Plant.thf").write_text("temperatures")
    copies = []

    def copy(source, target):
        copies.append(target)
        if len(copies) == failing_copy:
            raise PermissionError(13, "Permission denied")
        return shutil.copy(source, target)

    core.shutil = types.SimpleNamespace(copy=copy, rmtree=shutil.rmtree)
    with pytest.raises(PermissionError) as info:
        core.solve(plant, "PipeStress", True)
    assert innermost_module_entry(info.value) == (PREFIX + "solve", line)

    [name] = sandboxes(temp_root)
    assert core._tempDirectory_ == str(temp_root / name)
    core.disposeSolution()
    assert sandboxes(temp_root) == []
    assert capsys.readouterr().out == ""


# ---- disposeSolution --------------------------------------------------------------------------

def test_dispose_with_nothing_to_dispose(core, journal, capsys):
    core._Solution_ = None
    core._tempDirectory_ = None
    assert core.disposeSolution() is None
    assert capsys.readouterr().out == "" and journal.members() == []


def test_dispose_releases_the_solution_before_deleting_its_sandbox(core, ready, journal,
                                                                  temp_root, model_dir,
                                                                  solved_without_running):
    solution = core.solve(write_quarl(model_dir / "Plant.quarl"), "PipeStress", True)
    sandbox = core._tempDirectory_
    seen = []

    def rmtree(path):
        seen.append((path, solution.IsDisposed))
        shutil.rmtree(path)

    core.shutil = types.SimpleNamespace(rmtree=rmtree)
    core.disposeSolution()
    assert seen == [(sandbox, True)]
    assert journal.calls("Solution.Dispose") == [()]

    # The recorded path stays; a later dispose finds no directory there.
    core.disposeSolution()
    assert seen == [(sandbox, True)] and core._tempDirectory_ == sandbox


def test_a_sandbox_that_cannot_be_deleted_is_reported(core, ready, capsys, temp_root, model_dir,
                                                      solved_without_running):
    solution = core.solve(write_quarl(model_dir / "Plant.quarl"), "PipeStress", True)
    sandbox = core._tempDirectory_
    capsys.readouterr()
    core.shutil = types.SimpleNamespace(rmtree=failing)

    assert core.disposeSolution() is None

    assert capsys.readouterr().out == (
        "Impossible to delete temp directory : [Errno 13] Permission denied\n")
    assert solution.IsDisposed and core._Solution_ is None
    assert os.path.isdir(sandbox)


def test_a_failing_dispose_leaves_solution_and_sandbox(core, temp_root):
    class Undisposable(object):
        def Dispose(self):
            raise RuntimeError("still in use")

    sandbox = temp_root / "sandbox"
    sandbox.mkdir()
    core._Solution_ = held = Undisposable()
    core._tempDirectory_ = str(sandbox)

    with pytest.raises(RuntimeError) as info:
        core.disposeSolution()

    assert innermost_module_entry(info.value) == (PREFIX + "disposeSolution", 322)
    assert core._Solution_ is held and sandbox.is_dir()


def test_an_interrupt_while_deleting_is_not_swallowed(core, capsys, temp_root):
    def interrupted(path):
        raise KeyboardInterrupt

    core._tempDirectory_ = str(temp_root)
    core.shutil = types.SimpleNamespace(rmtree=interrupted)
    with pytest.raises(KeyboardInterrupt) as info:
        core.disposeSolution()
    assert innermost_module_entry(info.value) == (PREFIX + "disposeSolution", 327)
    assert capsys.readouterr().out == ""
