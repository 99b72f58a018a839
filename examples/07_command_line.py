"""The command line: one run of ``python -m korvex_computer`` that solves the models of one
folder side by side in two worker processes, each model in its own sandbox, and keeps each
model's files and record in an output folder.

The installation is given with --installation; the settings files come from the demo's
environment variables KORVEX_SETTINGS_PATH and KORVEX_DATASOURCES_PATH, which the command line
reads too.
"""

import json
import os
import subprocess
import sys

import korvex_computer as cc

import _demo_env as demo

demo.setup()
# Models saved in one folder, as a project's are: saving writes the folder's conception.fre,
# which only the model saved last matches; the command line solves each model from an input
# file written from that model.
folder = demo.work_folder("command_line")
models = []
for name, model in (("Plant", cc.createPipingQuarl()), ("Pump", cc.createPipingQuarl()),
                    ("Frame", cc.createStructureQuarl())):
    cc.saveQuarl(model, os.path.join(folder, name + ".quarl"))
    models.append(os.path.join("command_line", name + ".quarl"))
with open(os.path.join(folder, "site.thf"), "w") as f:
    f.write("TEMPERATURE 180\n")  # PipeStress wants the temperatures
with open(os.path.join(folder, "Broken.quarl"), "w") as f:
    f.write("not a model\n")
models.append(os.path.join("command_line", "Broken.quarl"))

output = os.path.join("command_line", "results")
arguments = ["solve", *models, "--solver", "PipeStress", "--sandbox", "--jobs", "2",
             "--output", output]
print("$ python -m korvex_computer --installation <installation> " + " ".join(arguments))
sys.stdout.flush()
status = subprocess.call([sys.executable, "-m", "korvex_computer",
                          "--installation", demo.INSTALL_DIR, *arguments],
                         stderr=subprocess.STDOUT)
print("(exit status %d: one model could not be read, the others were solved)" % status)
print("Kept in %s:" % output)
demo.show_tree(output)
with open(os.path.join(output, "Pump", "result.json")) as f:
    record = json.load(f)
print("Pump's record: solved by %s from %s" % (record["solver"], os.path.basename(record["input"])))
