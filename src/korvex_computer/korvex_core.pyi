# Types of the native module korvex_computer.korvex_core, for editors and type checkers.
#
# Parameter names and docstrings are those of the module's functions, letter for letter (a
# test compares them, and mypy.stubtest checks the rest against the built module). Every
# parameter is positional-or-keyword and required. Paths are text.
#
# The SDK's objects are typed by what the module uses of them; every other member of theirs
# reads as Any, since the SDK has many more than the module needs. The names of these types
# start with an underscore: they exist only here, not in the module.

import ctypes as ctypes
import json as json
import os as os
import shutil as shutil
import tempfile as tempfile
import threading as threading
import uuid as uuid
from collections.abc import Mapping
from enum import Enum as Enum
from types import ModuleType
from typing import Any, Protocol, TypeAlias


# The .NET bridge and the Windows COM bridge: modules without types of their own.
clr: ModuleType
pythoncom: ModuleType

class KorvexModule(Enum):
    All = -1
    Velmora = 0
    Norvane = 1

# A member of the SDK's own .NET enumeration Korvex.SDK.KorvexModule (Velmora or Norvane),
# which the internal functions with a `module` parameter pass on to the SDK.
_SDKModule: TypeAlias = Any
# A .NET System.Globalization.CultureInfo.
_SDKCultureInfo: TypeAlias = Any
# A study of a project (Korvex.Velmora.Project.StudyModel).
_SDKStudyModel: TypeAlias = Any

class _SDKModel(Protocol):
    """A quarL model: an instance of the SDK class Korvex.Velmora.Core.Model."""

    @property
    def CalculationCode(self) -> Any: ...
    @property
    def Layers(self) -> Any: ...
    def LoadFromFile(self, filename: str, /) -> Any: ...
    def SaveToFile(self, filename: str, /) -> Any: ...
    def WriteFreFile(self, filename: str, /, *settings: Any) -> Any: ...
    def __getattr__(self, name: str) -> Any: ...

class _SDKSolution(Protocol):
    """The outcome of a solver run: an instance of the SDK class Korvex.Velmora.Core.Solution."""

    def Dispose(self) -> Any: ...
    def __getattr__(self, name: str) -> Any: ...

class _SDKCustomCommand(Protocol):
    """A named custom command: an instance of the SDK class Korvex.Velmora.Core.CustomCommand."""

    NeedToReloadModelAfterCommand: bool
    NeedToSaveModelAfterCommand: bool
    def __getattr__(self, name: str) -> Any: ...

class _SDKApplication(Protocol):
    """The application object: an instance of the SDK class Korvex.SDK.KorvexApplication."""

    def GetSettingsController(self) -> Any: ...
    def __getattr__(self, name: str) -> Any: ...

class _SDKCommandController(Protocol):
    """The command controller: an instance of the SDK class Korvex.Velmora.Core.CommandController."""

    model: _SDKModel
    def AddCommand(self, command: _SDKCustomCommand, /) -> Any: ...
    def __getattr__(self, name: str) -> Any: ...

# Module globals: the state kept between calls. Each comment says what the global holds, and
# its value right after import.
_validSetup_: bool  # whether the module is bound to a usable installation; False
_settingsPath_: str  # the machine settings file read at set-up; C:\ProgramData\Korvex\Velmora\Settings\Velmora.settings
_dataSourcesPath_: str  # the data sources file read at set-up; C:\ProgramData\Korvex\Velmora\Settings\DataSources.settings
_CultureInfo_: _SDKCultureInfo | None  # the .NET culture "en-US" forced onto .NET threads; None
_exePath_: str | None  # the installation directory; None
_dllPath_: str | None  # the installation's Extensions folder, where the SDK assemblies are; None
_Aster_: str | None  # the Aster solver path from the settings, None when they give none; None
_PipeStress_: str | None  # the PipeStress solver path from the settings, None when they give none; None
_dlls_: list[str]  # the file names of the libraries loaded so far, in load order; []
_Solution_: _SDKSolution | None  # the current solution; None
_dataPath_: str | None  # the application's current data folder, from the data sources file; None
_projectPath_: str | None  # the application's current projects folder, from the data sources file; None
_Application_: _SDKApplication | None  # the one application object of the process; None
_commandController_: _SDKCommandController | None  # the command controller; None
_tempDirectory_: str | None  # the sandbox folder last made by solve; None
__test__: dict[str, Any]  # an empty dictionary; {}

def setup_korvex_computer(velmora_installation_directory: str, korvexModule: KorvexModule) -> bool:
    r"""setup_korvex_computer(velmora_installation_directory, korvexModule)

Setup the Korvex Computer by defining its installation's directory and the module to use.
Example : 

   import korvex_computer as cc
   valid = cc.setup_korvex_computer("C:\Program Files\Korvex\Velmora 20XX.Y", cc.KorvexModule.Velmora)

korvexModule can be:
- cc.KorvexModule.All
- cc.KorvexModule.Velmora
- cc.KorvexModule.Norvane"""

def load_dll(dllname: str) -> None:
    """load_dll(dllname)

Load a .NET DLL from assembly name."""

def load_dll_c(dllname: str) -> None:
    """load_dll_c(dllname)

Load a C++ DLL from name.
For internal use only."""

def FindSolverPaths(settings: Mapping[str, Any]) -> tuple[str | None, str | None]:
    """FindSolverPaths(settings)

Return the path of Aster solver and PipeStress solver in the current settings json object.
None if not defined."""

def FindDataProjectPaths(dataSources: Mapping[str, Any]) -> tuple[str, str]:
    """FindDataProjectPaths(dataSources)

Return the path of the datas and of the projets in the current settings json object."""

def loadQuarl(quarlFilename: str) -> _SDKModel | None:
    """loadQuarl(quarlFilename)

Load a quarL based on its filename.
Return the quarL class if exists. None otherwise."""

def saveQuarl(quarl: _SDKModel | None, quarlFilename: str) -> None:
    """saveQuarl(quarl, quarlFilename)

Save the quarl with its filename. It will also save a fre file with the same name."""

def getQuarl(directory: str) -> str:
    """getQuarl(directory)

Return the first quarl filename in the directory or empty string if doesn't exist."""

def createQuarl(module: _SDKModule) -> _SDKModel:
    """createQuarl(module)

For internal use."""

def createPipingQuarl() -> _SDKModel:
    """createPipingQuarl()

Return an empty piping model with layer 0."""

def createStructureQuarl() -> _SDKModel:
    """createStructureQuarl()

Return an empty structure model with layer 0."""

def solve(filename: str, solvername: str, sandbox: bool) -> _SDKSolution | None:
    """solve(filename, solvername, sandbox)

Solve a piping/structure quarL with use of a solver in a sandbox or not.
solvername can be 'Aster' or 'PipeStress'.
The path of the selected solver must exist in Velmora's settings.
Return a Solution object or None if invalid filename or solvername."""

def disposeSolution() -> None:
    """disposeSolution()

Close the solution file and free the memory."""

def solvePipingModel(
    quarl: _SDKModel, quarlFilename: str, solvername: str, directory: str
) -> _SDKSolution | None:
    """solvePipingModel(quarl, quarlFilename, solvername, directory)

Solve a piping quarL with use of a solver.
solvername can be 'Aster' or 'PipeStress'.
The path of the selected solver must exist in Velmora's settings.
Return a Solution object."""

def solveStructureModel(quarl: _SDKModel, quarlFilename: str, directory: str) -> _SDKSolution | None:
    """solveStructureModel(quarl, quarlFilename, directory)

Solve a structure quarL with use of a Aster solver.
The path of Aster solver must exist in Velmora's settings.
Return a Solution object."""

def _PipeStressSolve(quarl: _SDKModel, quarlFilename: str, directory: str) -> None:
    """_PipeStressSolve(quarl, quarlFilename, directory)

Private method.
Solve a quarl with PipeStress solver in directory.
Global _PipeStress_ path exists.
Fill the global variable _Solution_ """

def _AsterSolve(quarl: _SDKModel, quarlFilename: str, directory: str) -> None:
    """_AsterSolve(quarl, quarlFilename, directory)

Private method.
Solve a quarl with Aster solver in directory.
Global _Aster_ path exists.
Fill the global variable _Solution_ """

def find_first_file(directory: str, ext: str) -> str:
    """find_first_file(directory, ext)

Return the first file with extension = ext in directory or empty string if not exists."""

def copyDirectoryToTemp(directory: str) -> str:
    """copyDirectoryToTemp(directory)

Return a unic temporary directory with all the content of directory.
Return an empty string if a problem occurs."""

def inspectClass(instance: Any, indent: bool) -> str:
    """inspectClass(instance, indent)

Return a json structure with all properties and public method of an instance or a class.
indent = True for indented json"""

def findNameSpaceAndAssembly(className: str) -> tuple[str, str] | tuple[None, None]:
    """findNameSpaceAndAssembly(className)

Return the c# namespace and assembly of a className.
Return None if doesn't exists in Velmora installation."""

def writeFreFile(quarl: _SDKModel, quarlFilename: str) -> None:
    """writeFreFile(quarl, quarlFilename)

Write the fre file corresponding to the quarl in the directory with respect of the settings."""

def createCommand(commandName: str, quarl: _SDKModel) -> _SDKCustomCommand:
    """createCommand(commandName, quarl)

Create a custom command based on its name."""

def executeCommand(command: _SDKCustomCommand) -> None:
    """executeCommand(command)

Execute the custom command on current quarL. You need to save the quarL manually!"""

def addProjectFolder(directory: str, folderName: str) -> str:
    """addProjectFolder(directory, folderName)

Add a project folder in directory. Return the folder path or an empty string if already exist or problem."""

def removeProjectFolder(folderDirectory: str) -> None:
    """removeProjectFolder(folderDirectory)

Try to remove a folder by its path."""

def addProject(
    directory: str,
    projectName: str,
    studyName: str,
    screenWidth: float,
    screenheight: float,
    module: _SDKModule,
) -> str:
    """addProject(directory, projectName, studyName, screenWidth, screenheight, module)

For internal use."""

def addPipingProject(
    directory: str, projectName: str, studyName: str, screenWidth: float, screenheight: float
) -> str:
    """addPipingProject(directory, projectName, studyName, screenWidth, screenheight)

Add a project (projectName) with a piping study (studyName). Return the project directory if succed, empty string otherwise."""

def addStructureProject(
    directory: str, projectName: str, studyName: str, screenWidth: float, screenheight: float
) -> str:
    """addStructureProject(directory, projectName, studyName, screenWidth, screenheight)

Add a project (projectName) with a structure study (studyName). Return the project directory if succed, empty string otherwise."""

def removeProject(projectDirectory: str) -> None:
    """removeProject(projectDirectory)

Try to remove a project by its path."""

def addStudy(
    projectDirectory: str, studyName: str, screenWidth: float, screenheight: float, module: _SDKModule
) -> _SDKStudyModel | None:
    """addStudy(projectDirectory, studyName, screenWidth, screenheight, module)

For internal use."""

def addPipingStudy(
    projectDirectory: str, studyName: str, screenWidth: float, screenheight: float
) -> _SDKStudyModel | None:
    """addPipingStudy(projectDirectory, studyName, screenWidth, screenheight)

Add a piping study (studyName) in project (projectDirectory). Return a StudyModel if no problem or None otherwise."""

def addStructureStudy(
    projectDirectory: str, studyName: str, screenWidth: float, screenheight: float
) -> _SDKStudyModel | None:
    """addStructureStudy(projectDirectory, studyName, screenWidth, screenheight)

Add a structure study (studyName) in project (projectDirectory). Return a StudyModel if no problem or None otherwise."""

def removeStudy(projectDirectory: str, studyName: str) -> None:
    """removeStudy(projectDirectory, studyName)

Try to delete the study (studyName) in project (projectDirectory). There must be at least one study in the project."""

def duplicateStudy(projectDirectory: str, studyName: str, copyStudyName: str) -> None:
    """duplicateStudy(projectDirectory, studyName, copyStudyName)

Duplicate a study (studyName) in project (projectDirectory). The duplicated study will have copyStudyName as name if possible."""
