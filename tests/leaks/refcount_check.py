"""Reference-leak check of the native module: every function on its success and error paths.

Needs a debug build of the interpreter (sys.gettotalrefcount) and the module built for it;
scripts/memcheck builds both and runs this file. Each scenario runs a few times to warm the
caches up, then in rounds of several calls; the check fails when the interpreter's total of
references grows in every round, that is when a call keeps references it should have released.
"""

import contextlib
import gc
import os
import shutil
import sys
import tempfile
import threading
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "standin"))
if os.environ.get("KORVEX_PACKAGE_DIR"):
    sys.path.insert(0, os.environ["KORVEX_PACKAGE_DIR"])

import korvex_computer.korvex_core as k  # noqa: E402
from korvex_standin import com, journal, system  # noqa: E402
from korvex_standin.installation import build_installation  # noqa: E402

warnings.simplefilter("ignore", DeprecationWarning)  # Thread.setDaemon of the solver runs
journal.record = lambda member, args: None  # the stand-in's journal would keep every call

WARM_UP = 3
ROUNDS = 4
CALLS_PER_ROUND = 6


def expect(error, function, *args, **kwargs):
    """Calls function and requires it to raise error (an error path)."""
    try:
        function(*args, **kwargs)
    except error:
        return
    raise AssertionError("%s did not raise %s" % (function.__name__, error.__name__))


class Session:
    """The module bound to a stand-in installation, with a work folder and saved models."""

    def __init__(self, root):
        self.root = root
        self.inst = build_installation(os.path.join(root, "installation"))
        k._settingsPath_ = self.inst.settings_path
        k._dataSourcesPath_ = self.inst.data_sources_path
        assert k.setup_korvex_computer(self.inst.directory, k.KorvexModule.Velmora) is True
        with open(self.inst.assembly_path("broken.dll"), "w") as f:
            f.write("not a library")
        self.work = os.path.join(root, "work")
        os.makedirs(self.work)
        self.piping = k.createPipingQuarl()
        self.structure = k.createStructureQuarl()
        self.plant = self.model_file("Plant", self.piping)
        self.frame = self.model_file("Frame", self.structure)
        self.project = k.addPipingProject(self.work, "Project", "Piping", 1920, 1080)
        self.settings = {"Families": [
            {"Name": "ASTER", "SubFamilies": [{"Name": "PATH", "Settings": [
                {"Name": "WINDOWS SOLVER PATH", "Value": "aster"}]}]},
            {"Name": "PIPESTRESS", "SubFamilies": [{"Name": "PATH", "Settings": [
                {"Name": "SOLVER PATH", "Value": "pipestress"}]}]}]}

    def model_file(self, name, model):
        directory = os.path.join(self.root, "models", name)
        os.makedirs(directory)
        path = os.path.join(directory, name + ".quarl")
        k.saveQuarl(model, path)
        with open(os.path.join(directory, name + ".thf"), "w") as f:
            f.write("TEMPERATURE 20\n")
        return path

    def unguarded(self, function, *args):
        """Calls a guarded function while the module is not set up (its OSError path)."""
        k._validSetup_ = False
        try:
            expect(OSError, function, *args)
        finally:
            k._validSetup_ = True

    def scenarios(self):
        s = self
        missing = os.path.join(s.root, "missing")
        d = os.path.dirname
        return {
            "setup_korvex_computer, missing directory": lambda: expect(
                FileNotFoundError, k.setup_korvex_computer, missing, k.KorvexModule.Velmora),
            "setup_korvex_computer, argument errors": lambda: (
                expect(TypeError, k.setup_korvex_computer),
                expect(TypeError, k.setup_korvex_computer, 1, 2, 3),
                expect(TypeError, k.setup_korvex_computer, 1, velmora_installation_directory=2),
                expect(TypeError, k.setup_korvex_computer, 1, other=2),
                expect(TypeError, k.setup_korvex_computer, 1, **{"\udc80": 2})),
            "setup_korvex_computer": lambda: k.setup_korvex_computer(
                s.inst.directory, k.KorvexModule.Velmora),
            "load_dll, loaded": lambda: k.load_dll("Korvex.SDK.dll"),
            "load_dll, keyword": lambda: k.load_dll(dllname="Korvex.SDK.dll"),
            "load_dll, missing": lambda: expect(FileNotFoundError, k.load_dll, "Missing.dll"),
            "load_dll, not set up": lambda: s.unguarded(k.load_dll, "Korvex.SDK.dll"),
            "load_dll_c, missing": lambda: expect(FileNotFoundError, k.load_dll_c, "Missing.dll"),
            "load_dll_c, loaded": lambda: k.load_dll_c("Korvex.SDK.dll"),
            "load_dll_c, not a library": lambda: expect(OSError, k.load_dll_c, "broken.dll"),
            "FindSolverPaths": lambda: k.FindSolverPaths(s.settings),
            "FindSolverPaths, bad shape": lambda: expect(KeyError, k.FindSolverPaths, {}),
            "FindDataProjectPaths": lambda: k.FindDataProjectPaths(
                {"CurrentDatasDirectory": "D", "CurrentProjectsDirectory": "P"}),
            "FindDataProjectPaths, bad shape": lambda: expect(
                KeyError, k.FindDataProjectPaths, {}),
            "loadQuarl": lambda: k.loadQuarl(s.plant),
            "loadQuarl, missing file": lambda: k.loadQuarl(missing),
            "saveQuarl": lambda: k.saveQuarl(s.piping, s.plant),
            "saveQuarl, no model": lambda: k.saveQuarl(None, s.plant),
            "getQuarl": lambda: k.getQuarl(d(s.plant)),
            "getQuarl, empty directory": lambda: k.getQuarl(s.work),
            "createQuarl, bad module": lambda: expect(Exception, k.createQuarl, "none"),
            "createPipingQuarl": k.createPipingQuarl,
            "createStructureQuarl": k.createStructureQuarl,
            "createPipingQuarl, not set up": lambda: s.unguarded(k.createPipingQuarl),
            "solve, PipeStress in a sandbox": lambda: k.solve(s.plant, "PipeStress", True),
            "solve, Aster in place": lambda: k.solve(s.plant, "Aster", False),
            "solve, structure model": lambda: k.solve(s.frame, "Aster", True),
            "solve, missing file": lambda: k.solve(missing, "PipeStress", True),
            "solve, unknown solver": lambda: k.solve(s.plant, "OtherSolver", False),
            "disposeSolution": k.disposeSolution,
            "solvePipingModel": lambda: k.solvePipingModel(
                s.piping, s.plant, "PipeStress", d(s.plant)),
            "solvePipingModel, no model": lambda: expect(
                OSError, k.solvePipingModel, None, s.plant, "PipeStress", d(s.plant)),
            "solvePipingModel, wrong kind": lambda: expect(
                OSError, k.solvePipingModel, s.structure, s.plant, "Aster", d(s.plant)),
            "solveStructureModel": lambda: k.solveStructureModel(
                s.structure, s.frame, d(s.frame)),
            "solveStructureModel, wrong kind": lambda: expect(
                OSError, k.solveStructureModel, s.piping, s.frame, d(s.frame)),
            "_PipeStressSolve": lambda: k._PipeStressSolve(s.piping, s.plant, d(s.plant)),
            "_PipeStressSolve, missing directory": lambda: expect(
                Exception, k._PipeStressSolve, s.piping, s.plant, missing),
            "_AsterSolve": lambda: k._AsterSolve(s.structure, s.frame, d(s.frame)),
            "_AsterSolve, missing directory": lambda: expect(
                Exception, k._AsterSolve, s.structure, s.frame, missing),
            "find_first_file": lambda: k.find_first_file(d(s.plant), ".thf"),
            "find_first_file, no match": lambda: k.find_first_file(s.work, ".none"),
            "find_first_file, missing directory": lambda: expect(
                FileNotFoundError, k.find_first_file, missing, ".thf"),
            "copyDirectoryToTemp": lambda: shutil.rmtree(k.copyDirectoryToTemp(d(s.plant))),
            "copyDirectoryToTemp, missing directory": lambda: k.copyDirectoryToTemp(missing),
            "inspectClass": lambda: k.inspectClass(s.piping, True),
            "inspectClass, of a class": lambda: k.inspectClass(type(s.piping), False),
            "inspectClass, None": lambda: expect(Exception, k.inspectClass, None, True),
            "findNameSpaceAndAssembly": lambda: k.findNameSpaceAndAssembly("Solution"),
            "findNameSpaceAndAssembly, unknown": lambda: k.findNameSpaceAndAssembly("NoSuch"),
            "writeFreFile": lambda: k.writeFreFile(s.piping, s.plant),
            "writeFreFile, missing directory": lambda: expect(
                Exception, k.writeFreFile, s.piping, os.path.join(missing, "M.quarl")),
            "createCommand and executeCommand": lambda: k.executeCommand(
                k.createCommand("AddLayer", k.createPipingQuarl())),
            "createCommand, unknown": lambda: expect(
                Exception, k.createCommand, "NoSuchCommand", s.piping),
            "executeCommand, not a command": lambda: expect(Exception, k.executeCommand, None),
            "addProjectFolder and removeProjectFolder": lambda: k.removeProjectFolder(
                k.addProjectFolder(s.work, "Folder")),
            "addProjectFolder, existing": lambda: k.addProjectFolder(s.root, "work"),
            "removeProjectFolder, missing": lambda: k.removeProjectFolder(missing),
            "removeProjectFolder, bare name": lambda: k.removeProjectFolder("work"),
            "removeProjectFolder, None": lambda: expect(TypeError, k.removeProjectFolder, None),
            "addProject and removeProject": lambda: k.removeProject(k.addProject(
                s.work, "P", "S", 1920, 1080, sdk_member("Velmora"))),
            "addPipingProject and removeProject": lambda: k.removeProject(
                k.addPipingProject(s.work, "P", "S", 1920, 1080)),
            "addStructureProject and removeProject": lambda: k.removeProject(
                k.addStructureProject(s.work, "P", "S", 1920, 1080)),
            "addPipingProject, existing": lambda: k.addPipingProject(
                s.work, "Project", "S", 1920, 1080),
            "addPipingProject, bad size": lambda: (
                expect(TypeError, k.addPipingProject, s.work, "Q", "S", "wide", 1080),
                shutil.rmtree(os.path.join(s.work, "Q"))),
            "addStudy and removeStudy": lambda: (
                k.addStudy(s.project, "A", 1920, 1080, sdk_member("Norvane")),
                k.removeStudy(s.project, "A")),
            "addPipingStudy and duplicateStudy": lambda: (
                k.addPipingStudy(s.project, "B", 1920, 1080),
                k.duplicateStudy(s.project, "B", "C"),
                k.removeStudy(s.project, "B"), k.removeStudy(s.project, "C")),
            "addStructureStudy and removeStudy": lambda: (
                k.addStructureStudy(s.project, "D", 1920, 1080),
                k.removeStudy(s.project, "D")),
            "addPipingStudy, missing project": lambda: k.addPipingStudy(missing, "E", 1920, 1080),
            "addPipingStudy, bad size": lambda: expect(
                TypeError, k.addPipingStudy, s.project, "E", "wide", 1080),
            "removeStudy, missing project": lambda: k.removeStudy(missing, "E"),
            "duplicateStudy, missing project": lambda: k.duplicateStudy(missing, "E", "F"),
        }


class Discard:
    """A text stream that keeps nothing."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def sdk_member(name):
    from Korvex.SDK import KorvexModule
    return getattr(KorvexModule, name)


def forget_standin_records():
    """Drops what the stand-in keeps of earlier calls: its .NET view of the threads that have
    ended, the apartment count of every thread that ended balanced, and the history of the
    command controller."""
    alive = {thread.ident for thread in threading.enumerate()}
    system._all_threads[:] = [t for t in system._all_threads if t._ident in alive]
    for ident, (_, depth) in list(com._depths.items()):
        if depth == 0:
            del com._depths[ident]
    if k._commandController_ is not None:
        del k._commandController_._history[:]


def growth(scenario):
    """The growth of the total of references over each round of calls."""
    for _ in range(WARM_UP):
        scenario()
        forget_standin_records()
    rounds = [0] * ROUNDS  # made beforehand: filling it in holds no new references
    for i in range(ROUNDS):
        gc.collect()
        before = sys.gettotalrefcount()
        for _ in range(CALLS_PER_ROUND):
            scenario()
            forget_standin_records()
        gc.collect()
        rounds[i] = sys.gettotalrefcount() - before
    return rounds


def main():
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("refcount_check needs a debug build of the interpreter (python3.11-dbg)")
    root = tempfile.mkdtemp(prefix="korvex-refcount-")
    cwd = os.getcwd()
    report = sys.stdout
    try:
        # What the module prints goes nowhere: kept text would count as references.
        with contextlib.redirect_stdout(Discard()):
            session = Session(root)
            scenarios = session.scenarios()
            leaking = []
            for title, scenario in scenarios.items():
                rounds = growth(scenario)
                os.chdir(cwd)  # the removals move the working directory
                if all(r > 0 for r in rounds):
                    leaking.append(title)
                    print("LEAK  %-45s %s" % (title, rounds), file=report)
            k.disposeSolution()
    finally:
        os.chdir(cwd)
        shutil.rmtree(root, ignore_errors=True)
    print("%d scenarios, %d calls each: %d leaking" % (
        len(scenarios), WARM_UP + ROUNDS * CALLS_PER_ROUND, len(leaking)))
    sys.exit(1 if leaking else 0)


if __name__ == "__main__":
    main()
