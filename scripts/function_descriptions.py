"""The functions of korvex_computer.korvex_core, each described once.

scripts/make_function_table.py writes from these rows the function table
(src/korvex_computer/binding/function_table.h), the declarations of the bodies
(binding/functions.h), the functions of the type stubs (korvex_core.pyi) and the names the
package's stub takes from the module (__init__.pyi); a test fails when they are not up to date.
Adding a function is a row here, in the order of first lines, and its body, a BodyFunction in
its family folder; then run the script.

Each row:
  name        the function's name in the module;
  signature   its parameters and return type as the type stubs give them; every parameter is
              positional-or-keyword and required, at most six;
  first_line  the line its tracebacks give for the function's own frame;
  guard       the lines of its set-up guard, the truth test and the raise, or None when it has
              none; the lines of all functions ascend, since a traceback line is told apart by
              the function whose lines hold it;
  folder      the family folder of its body, under src/korvex_computer;
  doc         its docstring after the first line, which is the signature without types;
  body        the C++ function of its body, when it is not named as the function.
"""

from collections import namedtuple

Function = namedtuple("Function", "name signature first_line guard folder doc body",
                      defaults=(None,))

FUNCTIONS = [
    # "Example : " ends with a space, written \x20 so that no editor drops it.
    Function("setup_korvex_computer", "(velmora_installation_directory: str,"
                                      " korvexModule: KorvexModule) -> bool",
             first_line=36, guard=None, folder="installation",
             doc="""Setup the Korvex Computer by defining its installation's directory and the module to use.
Example :\x20

   import korvex_computer as cc
   valid = cc.setup_korvex_computer("C:\\Program Files\\Korvex\\Velmora 20XX.Y", cc.KorvexModule.Velmora)

korvexModule can be:
- cc.KorvexModule.All
- cc.KorvexModule.Velmora
- cc.KorvexModule.Norvane"""),
    Function("load_dll", "(dllname: str) -> None",
             first_line=97, guard=(103, 104), folder="installation",
             doc="Load a .NET DLL from assembly name."),
    Function("load_dll_c", "(dllname: str) -> None",
             first_line=122, guard=(129, 130), folder="installation",
             doc="""Load a C++ DLL from name.
For internal use only."""),
    Function("FindSolverPaths", "(settings: Mapping[str, Any]) -> tuple[str | None, str | None]",
             first_line=148, guard=None, folder="installation",
             doc="""Return the path of Aster solver and PipeStress solver in the current settings json object.
None if not defined."""),
    Function("FindDataProjectPaths", "(dataSources: Mapping[str, Any]) -> tuple[str, str]",
             first_line=175, guard=None, folder="installation",
             doc="""Return the path of the datas and of the projets in the current settings json object."""),
    Function("loadQuarl", "(quarlFilename: str) -> _SDKModel | None",
             first_line=183, guard=(189, 190), folder="models",
             doc="""Load a quarL based on its filename.
Return the quarL class if exists. None otherwise."""),
    Function("saveQuarl", "(quarl: _SDKModel | None, quarlFilename: str) -> None",
             first_line=207, guard=(213, 214), folder="models",
             doc="""Save the quarl with its filename. It will also save a fre file with the same name."""),
    Function("getQuarl", "(directory: str) -> str",
             first_line=219, guard=(225, 226), folder="models",
             doc="""Return the first quarl filename in the directory or empty string if doesn't exist."""),
    Function("createQuarl", "(module: _SDKModule) -> _SDKModel",
             first_line=229, guard=None, folder="models",
             doc="For internal use."),
    Function("createPipingQuarl", "() -> _SDKModel",
             first_line=241, guard=(247, 248), folder="models",
             doc="Return an empty piping model with layer 0."),
    Function("createStructureQuarl", "() -> _SDKModel",
             first_line=253, guard=(259, 260), folder="models",
             doc="Return an empty structure model with layer 0."),
    Function("solve", "(filename: str, solvername: str, sandbox: bool) -> _SDKSolution | None",
             first_line=265, guard=(274, 275), folder="solving",
             doc="""Solve a piping/structure quarL with use of a solver in a sandbox or not.
solvername can be 'Aster' or 'PipeStress'.
The path of the selected solver must exist in Velmora's settings.
Return a Solution object or None if invalid filename or solvername."""),
    Function("disposeSolution", "() -> None",
             first_line=316, guard=None, folder="solving",
             doc="Close the solution file and free the memory."),
    Function("solvePipingModel", "(quarl: _SDKModel, quarlFilename: str, solvername: str,"
                                 " directory: str) -> _SDKSolution | None",
             first_line=332, guard=(341, 342), folder="solving",
             doc="""Solve a piping quarL with use of a solver.
solvername can be 'Aster' or 'PipeStress'.
The path of the selected solver must exist in Velmora's settings.
Return a Solution object."""),
    Function("solveStructureModel", "(quarl: _SDKModel, quarlFilename: str, directory: str)"
                                    " -> _SDKSolution | None",
             first_line=380, guard=(388, 389), folder="solving",
             doc="""Solve a structure quarL with use of a Aster solver.
The path of Aster solver must exist in Velmora's settings.
Return a Solution object."""),
    Function("_PipeStressSolve", "(quarl: _SDKModel, quarlFilename: str, directory: str) -> None",
             first_line=412, guard=None, folder="solving", body="PipeStressSolve",
             doc="""Private method.
Solve a quarl with PipeStress solver in directory.
Global _PipeStress_ path exists.
Fill the global variable _Solution_ """),
    Function("_AsterSolve", "(quarl: _SDKModel, quarlFilename: str, directory: str) -> None",
             first_line=444, guard=None, folder="solving", body="AsterSolve",
             doc="""Private method.
Solve a quarl with Aster solver in directory.
Global _Aster_ path exists.
Fill the global variable _Solution_ """),
    Function("find_first_file", "(directory: str, ext: str) -> str",
             first_line=480, guard=None, folder="models",
             doc="""Return the first file with extension = ext in directory or empty string if not exists."""),
    Function("copyDirectoryToTemp", "(directory: str) -> str",
             first_line=486, guard=None, folder="models",
             doc="""Return a unic temporary directory with all the content of directory.
Return an empty string if a problem occurs."""),
    Function("inspectClass", "(instance: Any, indent: bool) -> str",
             first_line=499, guard=(505, 506), folder="commands",
             doc="""Return a json structure with all properties and public method of an instance or a class.
indent = True for indented json"""),
    Function("findNameSpaceAndAssembly", "(className: str) -> tuple[str, str] | tuple[None, None]",
             first_line=515, guard=(521, 522), folder="commands",
             doc="""Return the c# namespace and assembly of a className.
Return None if doesn't exists in Velmora installation."""),
    Function("writeFreFile", "(quarl: _SDKModel, quarlFilename: str) -> None",
             first_line=533, guard=(539, 540), folder="models",
             doc="""Write the fre file corresponding to the quarl in the directory with respect of the settings."""),
    Function("createCommand", "(commandName: str, quarl: _SDKModel) -> _SDKCustomCommand",
             first_line=576, guard=(582, 583), folder="commands",
             doc="Create a custom command based on its name."),
    Function("executeCommand", "(command: _SDKCustomCommand) -> None",
             first_line=593, guard=(599, 600), folder="commands",
             doc="""Execute the custom command on current quarL. You need to save the quarL manually!"""),
    Function("addProjectFolder", "(directory: str, folderName: str) -> str",
             first_line=603, guard=(609, 610), folder="projects",
             doc="""Add a project folder in directory. Return the folder path or an empty string if already exist or problem."""),
    Function("removeProjectFolder", "(folderDirectory: str) -> None",
             first_line=618, guard=(624, 625), folder="projects",
             doc="Try to remove a folder by its path."),
    Function("addProject", "(directory: str, projectName: str, studyName: str, screenWidth: float,"
                           " screenheight: float, module: _SDKModule) -> str",
             first_line=634, guard=None, folder="projects",
             doc="For internal use."),
    Function("addPipingProject", "(directory: str, projectName: str, studyName: str,"
                                 " screenWidth: float, screenheight: float) -> str",
             first_line=654, guard=(660, 661), folder="projects",
             doc="""Add a project (projectName) with a piping study (studyName). Return the project directory if succed, empty string otherwise."""),
    Function("addStructureProject", "(directory: str, projectName: str, studyName: str,"
                                    " screenWidth: float, screenheight: float) -> str",
             first_line=666, guard=(672, 673), folder="projects",
             doc="""Add a project (projectName) with a structure study (studyName). Return the project directory if succed, empty string otherwise."""),
    Function("removeProject", "(projectDirectory: str) -> None",
             first_line=678, guard=(684, 685), folder="projects",
             doc="Try to remove a project by its path."),
    Function("addStudy", "(projectDirectory: str, studyName: str, screenWidth: float,"
                         " screenheight: float, module: _SDKModule) -> _SDKStudyModel | None",
             first_line=694, guard=None, folder="projects",
             doc="For internal use."),
    Function("addPipingStudy", "(projectDirectory: str, studyName: str, screenWidth: float,"
                               " screenheight: float) -> _SDKStudyModel | None",
             first_line=716, guard=(722, 723), folder="projects",
             doc="""Add a piping study (studyName) in project (projectDirectory). Return a StudyModel if no problem or None otherwise."""),
    Function("addStructureStudy", "(projectDirectory: str, studyName: str, screenWidth: float,"
                                  " screenheight: float) -> _SDKStudyModel | None",
             first_line=728, guard=(734, 735), folder="projects",
             doc="""Add a structure study (studyName) in project (projectDirectory). Return a StudyModel if no problem or None otherwise."""),
    Function("removeStudy", "(projectDirectory: str, studyName: str) -> None",
             first_line=740, guard=(746, 747), folder="projects",
             doc="""Try to delete the study (studyName) in project (projectDirectory). There must be at least one study in the project."""),
    Function("duplicateStudy", "(projectDirectory: str, studyName: str, copyStudyName: str)"
                               " -> None",
             first_line=761, guard=(767, 768), folder="projects",
             doc="""Duplicate a study (studyName) in project (projectDirectory). The duplicated study will have copyStudyName as name if possible."""),
]
