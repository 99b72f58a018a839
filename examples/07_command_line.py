"""The command line: one run of ``python -m korvex_computer`` that solves three models side by
side in two worker processes, each model in its own sandbox.

The installation is given with --installation; the settings files come from the demo's
environment variables KORVEX_SETTINGS_PATH and KORVEX_DATASOURCES_PATH, which the command line
reads too.
"""

import os
import subprocess
import sys

import korvex_computer as cc

import _demo_env as demo

demo.setup()
# Each model in a folder of its own: a model's solver input file is conception.fre beside it.
models = []
for name, model in (("Plant", cc.createPipingQuarl()), ("Frame", cc.createStructureQuarl())):
    cc.saveQuarl(model, os.path.join(demo.work_folder("command_line", name), name + ".quarl"))
    models.append(os.path.join("command_line", name, name + ".quarl"))
with open(os.path.join(demo.work_folder("command_line", "Plant"), "Plant.thf"), "w") as f:
    f.write("TEMPERATURE 180\n")  # PipeStress wants the temperatures
with open(os.path.join(demo.work_folder("command_line"), "Broken.quarl"), "w") as f:
    f.write("not a model\n")
models.append(os.path.join("command_line", "Broken.quarl"))

arguments = ["solve", *models, "--solver", "PipeStress", "--sandbox", "--jobs", "2"]
print("$ python -m korvex_computer --installation <installation> " + " ".join(arguments))
sys.stdout.flush()
status = subprocess.call([sys.executable, "-m", "korvex_computer",
                          "--installation", demo.INSTALL_DIR, *arguments],
                         stderr=subprocess.STDOUT)
print("(exit status %d: one model could not be read, the others were solved)" % status)
