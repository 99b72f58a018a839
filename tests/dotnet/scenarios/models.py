"""Models created, changed, saved with their .fre, loaded back; .fre files under other settings."""

import os
import pathlib

import korvex_computer as cc
import korvex_computer.korvex_core as core

import scenario_kit as kit
from scenario_kit import seen

kit.setup()
from Korvex.Velmora.Core import Layer  # noqa: E402 - importable once set up

piping = cc.createPipingQuarl()
structure = cc.createStructureQuarl()
seen["new models"] = [[[l.Name for l in m.Layers], type(m.CalculationCode).__name__, str(m.Module)]
                      for m in (piping, structure)]
piping.Layers.Add(Layer("Steam lines"))
seen["same layer twice"] = kit.attempt(piping.Layers.Add, Layer("Steam lines"))
seen["model of the script's enum"] = kit.attempt(cc.createQuarl, cc.KorvexModule.Norvane, message=False)

folder = os.path.join(kit.WORK, "Plant")
os.makedirs(folder)
plant = os.path.join(folder, "Plant.quarl")
seen["save"] = kit.attempt(cc.saveQuarl, piping, plant)
seen["files after save"] = {name: kit.text(os.path.join(folder, name)) for name in kit.listing(folder)}
with open(os.path.join(folder, "Plant.fre"), "w") as f:
    f.write("an older input file\n")
cc.saveQuarl(piping, plant)
seen["own .fre rewritten"] = kit.text(os.path.join(folder, "Plant.fre"))
seen["save nothing"] = [cc.saveQuarl(None, os.path.join(folder, "None.quarl")), kit.listing(folder)]
seen["save where no folder is"] = kit.attempt(cc.saveQuarl, piping, os.path.join(kit.WORK, "missing", "x.quarl"))
# The SDK takes text for a path: a path object is refused by the bridge itself.
seen["path objects"] = [kit.attempt(cc.saveQuarl, piping, pathlib.Path(plant), message=False),
                        cc.loadQuarl(pathlib.Path(plant))]

# The .fre file follows the application's settings, read at each write.
kit.set_app_setting("PIPESTRESS", "ROTATION UNITS", "Milliradians")
kit.set_app_setting("PIPESTRESS", "MAX FIELD LENGTH", 12)
kit.set_app_setting("PIPESTRESS", "GENERATE INDI INLINE", 1)
kit.set_app_setting("VELMORA", "USE IMPERIAL NOTATION", "1")
cc.writeFreFile(piping, plant)
seen["fre under other settings"] = kit.text(os.path.join(folder, "Plant.fre"))
kit.set_app_setting("PIPESTRESS", "GENERATE DLCS INLINE", None)
seen["fre with a setting missing"] = [kit.attempt(cc.writeFreFile, piping, plant),
                                      os.path.exists(os.path.join(folder, "Plant.fre"))]

loaded = cc.loadQuarl(plant)
seen["loaded"] = [[l.Name for l in loaded.Layers], type(loaded.CalculationCode).__name__,
                  loaded.FileName, loaded == cc.loadQuarl(plant)]
seen["first model of the folder"] = os.path.basename(cc.getQuarl(folder))
with open(os.path.join(folder, "Broken.quarl"), "w") as f:
    f.write("{ not a model")
seen["loads that give None"] = [cc.loadQuarl(os.path.join(folder, name))
                                for name in ("Missing.quarl", "Broken.quarl", os.curdir)]

kit.report()
