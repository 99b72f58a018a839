"""Solve models with PipeStress and Aster, in a sandbox and in place."""

import os

import korvex_computer as cc
import korvex_computer.korvex_core as core

import _demo_env as demo


def report(title, solution):
    print(title)
    if solution is None:
        print("    no solution")
        return
    print("    solver:  ", solution.SolverName)
    print("    status:  ", solution.Status)
    print("    layers:  ", ", ".join(solution.Layers))
    print("    results: ", solution.ResultFile)


def sandbox_state():
    sandbox = core._tempDirectory_
    if sandbox and os.path.isdir(sandbox):
        return "%s (holds %s)" % (sandbox, ", ".join(sorted(os.listdir(sandbox))))
    return "none on disk"


demo.setup()
from Korvex.Velmora.Core import Layer

piping = cc.createPipingQuarl()
piping.Layers.Add(Layer("Steam lines"))
plant = os.path.join(demo.work_folder("solve", "Plant"), "Plant.quarl")
cc.saveQuarl(piping, plant)
with open(os.path.join(os.path.dirname(plant), "Plant.thf"), "w") as f:
    f.write("TEMPERATURE 180\n")
print("Piping model saved as", plant)
print()

report("PipeStress, in a sandbox:", cc.solve(plant, "PipeStress", True))
print("    sandbox: ", sandbox_state())
cc.disposeSolution()
print("After disposeSolution, sandbox:", sandbox_state())
print()

report("PipeStress, in place:", cc.solve(plant, "PipeStress", False))
print("    files beside the model:", ", ".join(sorted(os.listdir(os.path.dirname(plant)))))
print()

report("Aster, in a sandbox:", cc.solve(plant, "Aster", True))
print()

structure = cc.createStructureQuarl()
structure.Layers.Add(Layer("Supports"))
frame = os.path.join(demo.work_folder("solve", "Frame"), "Frame.quarl")
cc.saveQuarl(structure, frame)
report("Structure model (always solved with Aster), in a sandbox:", cc.solve(frame, "PipeStress", True))
print()

print("Asking for a solver that does not exist:")
print("    result:", cc.solve(plant, "OtherSolver", False))
print()

cc.disposeSolution()
print("Disposed the last solution; sandbox:", sandbox_state())
