"""Solving with both solvers, in place and in a sandbox, on the worker thread; disposal."""

import contextlib
import io
import os

import korvex_computer as cc
import korvex_computer.korvex_core as core
import pythoncom

import scenario_kit as kit
from scenario_kit import seen


def solution_seen(solution):
    if solution is None:
        return None
    return {"class": type(solution).__name__, "solver": solution.SolverName, "status": solution.Status,
            "layers": list(solution.Layers), "warnings": list(solution.Warnings),
            "culture": solution.Culture, "results": solution.ResultFile,
            "is the current solution": core._Solution_ == solution}


def sandbox_seen():
    sandbox = core._tempDirectory_
    return [sandbox, kit.listing(sandbox) if sandbox and os.path.isdir(sandbox) else None]


kit.setup()
from Korvex.Velmora.Core import Layer  # noqa: E402 - importable once set up

piping = cc.createPipingQuarl()
piping.Layers.Add(Layer("Steam lines"))
plant = os.path.join(kit.WORK, "Plant", "Plant.quarl")
os.makedirs(os.path.dirname(plant))
cc.saveQuarl(piping, plant)
with open(os.path.join(kit.WORK, "Plant", "Plant.thf"), "w") as f:
    f.write("TEMPERATURE 180\n")
structure = cc.createStructureQuarl()
frame = os.path.join(kit.WORK, "Frame", "Frame.quarl")
os.makedirs(os.path.dirname(frame))
cc.saveQuarl(structure, frame)

solution, lines = kit.printed(cc.solve, plant, "PipeStress", True)
seen["PipeStress in a sandbox"] = [solution_seen(solution), lines, sandbox_seen()]
seen["COM apartments: (main thread, count)"] = sorted(set(
    (name == "MainThread", depth) for name, depth in pythoncom._apartment_depths().values()))
cc.disposeSolution()
seen["after disposal"] = [sandbox_seen(), solution.IsDisposed, kit.attempt(lambda: solution.Status)]

seen["PipeStress in place"] = [solution_seen(cc.solve(plant, "PipeStress", False)),
                               kit.listing(os.path.dirname(plant))]
seen["Aster in a sandbox"] = [solution_seen(cc.solve(plant, "Aster", True)), sandbox_seen()]
seen["structure model, any solver name"] = solution_seen(cc.solve(frame, "PipeStress", True))
seen["unknown solver"] = kit.printed(cc.solve, plant, "OtherSolver", False)
seen["missing file"] = kit.printed(cc.solve, os.path.join(kit.WORK, "none.quarl"), "Aster", False)
cc.disposeSolution()
seen["sandbox after the last disposal"] = sandbox_seen()

# The model functions, called directly with models in memory.
model_dir = os.path.dirname(plant)
seen["solvePipingModel"] = solution_seen(cc.solvePipingModel(piping, plant, "Aster", model_dir))
seen["Aster's analysis input"] = kit.text(os.path.join(model_dir, "Plant.aster.inp"))
seen["solveStructureModel"] = solution_seen(cc.solveStructureModel(cc.loadQuarl(frame), frame,
                                                                   os.path.dirname(frame)))
seen["models of the wrong kind"] = [
    kit.attempt(cc.solvePipingModel, structure, frame, "Aster", model_dir),
    kit.attempt(cc.solveStructureModel, piping, plant, model_dir),
    kit.attempt(cc.solvePipingModel, None, plant, "Nothing", model_dir)]
errors = io.StringIO()
with contextlib.redirect_stderr(errors):
    failed = cc.solvePipingModel(piping, plant, "PipeStress", os.path.join(kit.WORK, "nowhere"))
seen["run that fails on the worker"] = [failed, errors.getvalue().strip().splitlines()[-1:]]
core._PipeStress_ = None
seen["PipeStress not configured"] = cc.solvePipingModel(piping, plant, "PipeStress", model_dir)
cc.disposeSolution()

from System.Threading import Thread  # noqa: E402
seen["caller's culture afterwards"] = Thread.CurrentThread.CurrentCulture.Name

kit.report()
