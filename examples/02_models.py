"""Create a piping and a structure model, add a layer, save them, load them back."""

import os

import korvex_computer as cc

import _demo_env as demo

demo.setup()
from Korvex.Velmora.Core import Layer  # the SDK's own class, reachable once set up

piping = cc.createPipingQuarl()
structure = cc.createStructureQuarl()
print("New piping model, layers:   ", demo.layer_names(piping))
print("New structure model, layers:", demo.layer_names(structure))

piping.Layers.Add(Layer("Steam lines"))
print("Added a layer to the piping model:", demo.layer_names(piping))

plant = os.path.join(demo.work_folder("models", "Plant"), "Plant.quarl")
frame = os.path.join(demo.work_folder("models", "Frame"), "Frame.quarl")
cc.saveQuarl(piping, plant)
cc.saveQuarl(structure, frame)
print()
print("Saved both models; the files on disk:")
demo.show_tree(os.path.join(demo.WORK_DIR, "models"))

fre = os.path.join(os.path.dirname(plant), "conception.fre")
print()
print("The PipeStress input written beside the piping model (%s):" % os.path.basename(fre))
with open(fre, encoding="utf-8") as f:
    for line in f:
        print("    " + line.rstrip("\n"))

print()
found = cc.getQuarl(os.path.dirname(plant))
loaded = cc.loadQuarl(found)
print("First model found in the Plant folder:", os.path.basename(found))
print("Loaded it back, layers:", demo.layer_names(loaded))
print("Loaded the structure model back, layers:", demo.layer_names(cc.loadQuarl(frame)))
print("Loading a file that does not exist gives:", cc.loadQuarl(os.path.join(demo.WORK_DIR, "none.quarl")))
