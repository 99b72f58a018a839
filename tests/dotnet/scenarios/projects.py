"""Project folders, projects and their studies on disk."""

import json
import os

import korvex_computer as cc

import scenario_kit as kit
from scenario_kit import seen


def studies(project):
    name = os.path.basename(project)
    document = json.loads(kit.text(os.path.join(project, name + ".project")))
    return [[s["Name"], s["Module"]] for s in document["Studies"]], document["CurrentStudy"]


def study_seen(study):
    if study is None:
        return None
    return [study.Name, str(study.Module), [study.Position.X, study.Position.Y], study.ModelFile]


kit.setup()
folder = cc.addProjectFolder(kit.WORK, "Projects")
seen["folder"] = [folder, cc.addProjectFolder(kit.WORK, "Projects")]

project = cc.addPipingProject(folder, "Plant", "Piping", 1920, 1080)
seen["new project"] = [project, kit.listing(project), kit.text(os.path.join(project, "Plant.project"))]
seen["same project again"] = cc.addPipingProject(folder, "Plant", "Other", 1920, 1080)
seen["structure project"] = studies(cc.addStructureProject(folder, "Frame", "Frame", 200, 300))

seen["structure study"] = study_seen(cc.addStructureStudy(project, "Supports", 1280, 1024))
seen["same study again"] = study_seen(cc.addPipingStudy(project, "Supports", 1920, 1080))
seen["study of a project that is not there"] = study_seen(
    cc.addPipingStudy(os.path.join(folder, "Nothing"), "S1", 1920, 1080))

cc.duplicateStudy(project, "Piping", "Piping rev B")
seen["duplicated"] = [studies(project), kit.listing(project)]
cc.duplicateStudy(project, "Piping", "Supports")
seen["copy under a taken name"] = studies(project)
cc.removeStudy(project, "Supports")
cc.removeStudy(project, "No such study")
seen["removed"] = [studies(project), kit.listing(project)]
for name in ("Piping rev B", "Piping - Copy"):
    cc.removeStudy(project, name)
seen["last study"] = [kit.attempt(cc.removeStudy, project, "Piping"), studies(project)]
seen["project file at the end"] = kit.text(os.path.join(project, "Plant.project"))

cc.removeProject(project)
seen["project removed"] = [os.path.exists(project), os.getcwd()]
cc.removeProjectFolder(folder)
seen["folder removed"] = [os.path.exists(folder), os.getcwd()]

kit.report()
