"""Korvex.Velmora.Project: projects and their studies, kept on disk.

A project directory holds "<N>.project" (UTF-8 JSON) and one folder per study
under "Studies/", each with the study's model "<study>.quarl":

    {"Format": "Korvex project", "FormatVersion": 1, "Name": "Plant",
     "Description": "", "CurrentStudy": "S1",
     "Studies": [{"Name": "S1", "Module": "Velmora", "Position": [810.0, 340.0],
                  "Folder": "Studies/S1"}]}

Every change is written to the project file at once.
"""

import json
import os
import shutil

from .. import bridge, system
from ..netbase import NetObject, create
from ..system import Point
from .application import KorvexModule
from .helper import copy_name
from .model import write_quarl

PROJECT_FORMAT = "Korvex project"
_BAD_CHARACTERS = set('\\/:*?"<>|')


def _check_study_name(name):
    if name is None:
        raise system.ArgumentNullException("Value cannot be null. (Parameter 'name')")
    if (not isinstance(name, str) or not name.strip() or name in (".", "..")
            or _BAD_CHARACTERS.intersection(name)):
        raise system.ArgumentException("'%s' is not a valid study name." % (name,))
    return name


def _module_named(text):
    for member in KorvexModule._members:
        if str(member) == text:
            return member
    return None


class StudyModel(NetObject, namespace="Korvex.Velmora.Project"):
    """A study of a project, as the project file describes it."""

    def __init__(self, entry, project_directory):
        self._entry = dict(entry)
        self._project_directory = project_directory

    @property
    def Name(self):
        return self._entry["Name"]

    @property
    def Module(self):
        return _module_named(self._entry["Module"])

    @property
    def Position(self):
        x, y = self._entry["Position"]
        return create(Point, x, y)

    @property
    def Directory(self):
        return os.path.join(self._project_directory, *self._entry["Folder"].split("/"))

    @property
    def ModelFile(self):
        return os.path.join(self.Directory, self.Name + ".quarl")

    def __repr__(self):
        return "<StudyModel %r (%s)>" % (self.Name, self._entry["Module"])


class ProjectViewModel(NetObject, namespace="Korvex.Velmora.Project"):

    def __init__(self, owner):
        self._owner = owner
        self._file = None
        self._document = None

    # --- project file -----------------------------------------------------------

    @property
    def ProjectFile(self):
        return self._file

    @property
    def ProjectDirectory(self):
        return os.path.dirname(self._file) if self._file else None

    @property
    def Name(self):
        return self._document["Name"] if self._document else None

    @property
    def Description(self):
        return self._document["Description"] if self._document else None

    @property
    def Studies(self):
        return [self._study(entry) for entry in self._open()["Studies"]]

    def _open(self):
        if self._document is None:
            raise system.InvalidOperationException("No project is open.")
        return self._document

    def _save(self):
        with open(self._file, "w", encoding="utf-8") as f:
            json.dump(self._document, f, indent=2)
            f.write("\n")

    def _study(self, entry):
        return create(StudyModel, entry, self.ProjectDirectory)

    def _entry(self, name):
        for entry in self._open()["Studies"]:
            if entry["Name"] == name:
                return entry
        return None

    def CreateNewProject(self, projectDirectory: str, point: Point, description: str, studyName: str,
                         module: KorvexModule):
        if projectDirectory is None:
            raise system.ArgumentNullException("Value cannot be null. (Parameter 'projectDirectory')")
        if not os.path.isdir(projectDirectory):
            raise system.DirectoryNotFoundException(
                "Could not find a part of the path '%s'." % projectDirectory)
        _check_study_name(studyName)
        name = os.path.splitext(os.path.basename(projectDirectory))[0]
        if not name:
            raise system.ArgumentException("'%s' cannot name a project." % projectDirectory)
        path = os.path.join(projectDirectory, name + ".project")
        if os.path.exists(path):
            raise system.IOException("The project '%s' already exists." % path)
        self._file = path
        self._document = {"Format": PROJECT_FORMAT, "FormatVersion": 1, "Name": name,
                          "Description": "" if description is None else str(description),
                          "CurrentStudy": None, "Studies": []}
        self._add_study(point, module, studyName)

    def LoadFromFile(self, path: str):
        if path is None:
            raise system.ArgumentNullException("Value cannot be null. (Parameter 'path')")
        if not os.path.isfile(path):
            raise system.FileNotFoundException("Could not find file '%s'." % path)
        try:
            with open(path, "r", encoding="utf-8") as f:
                document = json.load(f)
        except (ValueError, UnicodeDecodeError) as error:
            raise system.InvalidDataException("'%s' is not a project file: %s" % (path, error))
        if (not isinstance(document, dict) or document.get("Format") != PROJECT_FORMAT
                or not isinstance(document.get("Studies"), list)):
            raise system.InvalidDataException("'%s' is not a project file." % path)
        self._file = os.path.abspath(path)
        self._document = document

    # --- studies ------------------------------------------------------------------

    def GetStudy(self, name: str):
        entry = self._entry(name)
        return None if entry is None else self._study(entry)

    def GetCurrentStudyName(self):
        return self._open()["CurrentStudy"]

    def SetCurrentStudy(self, name: str):
        if self._entry(name) is None:
            raise system.ArgumentException("The project has no study named '%s'." % (name,))
        self._document["CurrentStudy"] = name
        self._save()

    def AddEmptyStudy(self, point: Point, module: KorvexModule, name: str):
        self._open()
        _check_study_name(name)
        if self._entry(name) is not None:
            raise system.ArgumentException("A study named '%s' already exists." % name)
        self._add_study(point, module, name)

    def _add_study(self, point, module, name):
        folder = "Studies/" + name
        directory = os.path.join(self.ProjectDirectory, "Studies", name)
        os.makedirs(directory, exist_ok=True)
        write_quarl(os.path.join(directory, name + ".quarl"), module, ["0"])
        self._document["Studies"].append({"Name": name, "Module": str(module),
                                          "Position": [point.X, point.Y], "Folder": folder})
        self._document["CurrentStudy"] = name
        self._save()

    def _current(self):
        entry = self._entry(self._open()["CurrentStudy"])
        if entry is None:
            raise system.InvalidOperationException("The project has no current study.")
        return entry

    def DeleteCurrentStudy(self):
        entry = self._current()
        studies = self._document["Studies"]
        if len(studies) == 1:
            raise system.InvalidOperationException("A project must keep at least one study.")
        shutil.rmtree(self._study(entry).Directory, ignore_errors=True)
        studies.remove(entry)
        self._document["CurrentStudy"] = studies[0]["Name"]
        self._save()

    def DuplicateCurrentStudy(self):
        bridge.require_assembly("Korvex.Helper")
        entry = self._current()
        name = copy_name(entry["Name"], [e["Name"] for e in self._document["Studies"]])
        source = self._study(entry)
        target = os.path.join(self.ProjectDirectory, "Studies", name)
        if os.path.isdir(source.Directory):
            shutil.copytree(source.Directory, target)
            os.rename(os.path.join(target, entry["Name"] + ".quarl"), os.path.join(target, name + ".quarl"))
        else:
            os.makedirs(target)
        copy = dict(entry, Name=name, Folder="Studies/" + name)
        self._document["Studies"].append(copy)
        self._document["CurrentStudy"] = name
        self._save()

    def RenameCurrentStudy(self, name: str):
        """True when the current study bears ``name`` afterwards; a name taken by
        another study leaves everything unchanged and gives False."""
        _check_study_name(name)
        entry = self._current()
        if entry["Name"] == name:
            return True
        if self._entry(name) is not None:
            return False
        old = self._study(entry)
        target = os.path.join(self.ProjectDirectory, "Studies", name)
        if os.path.isdir(old.Directory):
            os.rename(old.Directory, target)
            model = os.path.join(target, entry["Name"] + ".quarl")
            if os.path.isfile(model):
                os.rename(model, os.path.join(target, name + ".quarl"))
        entry["Name"] = name
        entry["Folder"] = "Studies/" + name
        self._document["CurrentStudy"] = name
        self._save()
        return True
