"""Solver runs: PipeStressSolver, AsterSolver, their AnalysisModel and the Solution.

A solver runs its program (the path from the machine settings) with the
interpreter running this process, as a child process in the run directory:

    <program> --input FILE --results FILE --culture NAME [--thf FILE] [--ignore-warnings]

Its output goes to "<base>.<solver>.log" and its results to "<base>.<solver>.json"
in the run directory; ``Run()`` returns the program's exit code.
"""

import json
import os
import subprocess
import sys

from .. import bridge, com, system
from ..netbase import NetObject, create
from .model import Model, PipingCode


def _require(value, parameter):
    if value is None:
        raise system.ArgumentNullException("Value cannot be null. (Parameter '%s')" % parameter)
    return value


def _read_json(path):
    try:
        with open(path, "r", encoding="utf-8") as f:
            data = json.load(f)
    except (OSError, ValueError):
        return None
    return data if isinstance(data, dict) else None


class _SolverBase(NetObject):
    """What both solvers share: warnings flag, program run, results, disposal."""

    _label = None   # "PipeStress" or "Aster"

    def __init__(self, solverPath, model):
        self._program = solverPath
        self._model = _require(model, "model")
        self._ignore_warnings = False
        self._disposed = False
        self._exit_code = None

    @property
    def IgnoreWarnings(self):
        return self._ignore_warnings

    @IgnoreWarnings.setter
    def IgnoreWarnings(self, value):
        self._check_alive()
        if not isinstance(value, bool):
            raise TypeError("IgnoreWarnings takes a bool, not %s" % type(value).__name__)
        self._ignore_warnings = value

    @property
    def SolverPath(self):
        return self._program

    @property
    def ExitCode(self):
        return self._exit_code

    @property
    def ResultFile(self):
        return self._results_path()

    def Dispose(self):
        self._dispose()

    def _dispose(self):
        self._disposed = True

    def _check_alive(self):
        if self._disposed:
            raise system.disposed(type(self).__name__)

    def _suffix(self):
        return "." + self._label.lower()

    def _results_path(self):
        return self._base_path() + self._suffix() + ".json"

    def _read_results(self):
        if self._exit_code != 0:
            return None
        return _read_json(self._results_path())

    def _execute(self, input_path, thffile):
        """Run the solver program on ``input_path``; the exit code, never an exception."""
        self._check_alive()
        if com.depth() < 1:
            raise system.InvalidOperationException(
                "%s must run on a thread with an initialised COM apartment "
                "(call CoInitialize first)." % type(self).__name__)
        results = self._results_path()
        if os.path.isfile(results):
            os.remove(results)
        self._exit_code = -1
        if not isinstance(self._program, str) or not self._program:
            return self._exit_code
        culture = system.Thread.CurrentThread.CurrentCulture.Name
        command = [sys.executable, self._program, "--input", input_path or "",
                   "--results", results, "--culture", culture]
        if thffile:
            command += ["--thf", thffile]
        if self._ignore_warnings:
            command.append("--ignore-warnings")
        run_directory = os.path.dirname(results)
        if os.path.isdir(run_directory):
            with open(self._base_path() + self._suffix() + ".log", "w", encoding="utf-8") as log:
                self._exit_code = subprocess.call(command, stdout=log, stderr=subprocess.STDOUT,
                                                  stdin=subprocess.DEVNULL, cwd=run_directory)
        else:
            self._exit_code = subprocess.call(command, stdout=subprocess.DEVNULL,
                                              stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        return self._exit_code


class PipeStressSolver(_SolverBase, namespace="Korvex.PipeStress.Core"):
    """Solves a piping model from its .fre input file (and an optional .thf file)."""

    _label = "PipeStress"

    def __init__(self, solverPath: str, model: Model, frefile: str, thffile: str):
        _SolverBase.__init__(self, solverPath, model)
        self._frefile = _require(frefile, "frefile")
        self._thffile = thffile

    @property
    def InputFile(self):
        return self._frefile

    @property
    def ThermalFile(self):
        return self._thffile

    def _base_path(self):
        return os.path.splitext(os.path.abspath(self._frefile))[0]

    def Run(self):
        return self._execute(os.path.abspath(self._frefile), self._thffile)

    def GetAnalysisModel(self):
        self._check_alive()
        results = self._read_results()
        if results is None:
            return None
        return create(AnalysisModel, results)


class AsterSolver(_SolverBase, namespace="Korvex.Aster.Core"):
    """Solves a piping or structure model: BuildAnalysisModel writes the analysis
    input "<base>.aster.inp" beside the model file, then Run solves it."""

    _label = "Aster"

    def __init__(self, solverPath: str, model: Model, quarlFilename: str, thffile: str, keepDistantModels):
        bridge.require_assembly("Korvex.Helper")
        _SolverBase.__init__(self, solverPath, model)
        self._quarl_file = _require(quarlFilename, "quarlFilename")
        self._thffile = thffile
        self._keep = bool(keepDistantModels)

    @property
    def InputFile(self):
        return self._base_path() + ".aster.inp"

    @property
    def ThermalFile(self):
        return self._thffile

    def _base_path(self):
        return os.path.splitext(os.path.abspath(self._quarl_file))[0]

    def BuildAnalysisModel(self, keepDistantModels):
        """0 when the analysis input is written, -1 when the model cannot be built."""
        self._check_alive()
        names = [layer.Name for layer in self._model.Layers]
        if not names or not os.path.isdir(os.path.dirname(self.InputFile)):
            return -1
        kind = "PIPING" if isinstance(self._model.CalculationCode, PipingCode) else "STRUCTURE"
        document = {"Format": "Aster analysis model", "Model": kind, "Layers": names,
                    "QuarlFile": os.path.abspath(self._quarl_file),
                    "KeepDistantModels": bool(keepDistantModels)}
        with open(self.InputFile, "w", encoding="utf-8") as f:
            json.dump(document, f, indent=2)
        return 0

    def Run(self):
        return self._execute(self.InputFile, self._thffile)


class _ResultsView(object):
    """Read access to a solver's results document."""

    def _data(self):
        return self._results or {}

    @property
    def SolverName(self):
        return self._data().get("Solver")

    @property
    def Status(self):
        return self._data().get("Status", "NoResults")

    @property
    def InputFile(self):
        return self._data().get("Input")

    @property
    def ThermalFile(self):
        return self._data().get("ThermalFile")

    @property
    def ResultFile(self):
        return self._data().get("ResultFile")

    @property
    def ModelKind(self):
        return self._data().get("Model")

    @property
    def Layers(self):
        return tuple(self._data().get("Layers", ()))

    @property
    def Warnings(self):
        return tuple(self._data().get("Warnings", ()))

    @property
    def Culture(self):
        return self._data().get("Culture")


class AnalysisModel(_ResultsView, NetObject, namespace="Korvex.PipeStress.Core"):
    """The analysis model that a PipeStress run left."""

    def __init__(self, results):
        self._results = results


class Solution(NetObject, namespace="Korvex.Velmora.Core"):
    """The outcome of a solver run; Dispose releases it and its solver."""

    def __init__(self, parent, solver):
        _require(solver, "solver")
        if not isinstance(solver, _SolverBase):
            raise system.ArgumentException("%r is not a solver. (Parameter 'solver')" % (solver,))
        solver._check_alive()
        self._solver = solver
        self._results = solver._read_results()
        self._disposed = False

    def Dispose(self):
        if not self._disposed:
            self._solver._dispose()
            self._disposed = True

    @property
    def IsDisposed(self):
        return self._disposed

    def _view(self):
        if self._disposed:
            raise system.disposed("Solution")
        return self._results or {}

    @property
    def Solver(self):
        self._view()
        return self._solver

    @property
    def SolverName(self):
        self._view()
        return self._solver._label

    @property
    def Status(self):
        return self._view().get("Status", "NoResults")

    @property
    def InputFile(self):
        return self._view().get("Input")

    @property
    def ResultFile(self):
        return self._view().get("ResultFile")

    @property
    def Layers(self):
        return tuple(self._view().get("Layers", ()))

    @property
    def Warnings(self):
        return tuple(self._view().get("Warnings", ()))

    @property
    def Culture(self):
        return self._view().get("Culture")

    def __repr__(self):
        if self._disposed:
            return "<Solution (disposed)>"
        return "<Solution %s %s: %d layers>" % (self._solver._label, self.Status, len(self.Layers))
