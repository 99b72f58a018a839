"""Project folders, projects and their studies."""

import json
import os

import korvex_computer as cc

import _demo_env as demo


def studies(project):
    name = os.path.splitext(os.path.basename(project))[0]
    with open(os.path.join(project, name + ".project"), encoding="utf-8") as f:
        document = json.load(f)
    return ", ".join("%s (%s)" % (s["Name"], s["Module"]) for s in document["Studies"])


demo.setup()

folder = cc.addProjectFolder(demo.WORK_DIR, "Projects demo")
print("Project folder:", folder)
print("Adding it again gives:", repr(cc.addProjectFolder(demo.WORK_DIR, "Projects demo")))

project = cc.addPipingProject(folder, "Plant", "Piping", 1920, 1080)
print("Piping project:", project)
print("    studies:", studies(project))

study = cc.addStructureStudy(project, "Supports", 1920, 1080)
print("Added a structure study:", study.Name, "-", study.Module)
print("    studies:", studies(project))

cc.duplicateStudy(project, "Piping", "Piping rev B")
print("Duplicated 'Piping' as 'Piping rev B'")
print("    studies:", studies(project))

cc.removeStudy(project, "Supports")
print("Removed 'Supports'")
print("    studies:", studies(project))

print()
print("On disk:")
demo.show_tree(folder)

print()
cc.removeProject(project)
print("Removed the project; still there:", os.path.exists(project))
cc.removeProjectFolder(folder)
print("Removed the project folder; still there:", os.path.exists(folder))
