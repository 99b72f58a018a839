// Every text the module names, each once: STR("text") finds its entry while compiling.
#pragma once

namespace korvex {

inline constexpr const char* kConstantTexts[] = {
    // texts: messages, paths, file names, setting names
    " loaded", "", "' does not exist.", "' not found.", ".fre", ".project", ".quarl", ".thf", "0",
    "C:\\ProgramData\\Korvex\\Velmora\\Settings\\DataSources.settings",
    "C:\\ProgramData\\Korvex\\Velmora\\Settings\\Velmora.settings", "DLL '",
    "GENERATE DLCS INLINE", "GENERATE INDI INLINE", "GENERATE RESTRAINTS INLINE",
    "Impossible to delete temp directory :", "Invalid filename", "Invalid quarl", "Invalid quarl.",
    "Invalid setup! Korvex.PipeStress.lib not found!",
    "Invalid solver name. use 'Aster' or 'PipeStress'.", "MAX FIELD LENGTH", "ROTATION UNITS",
    "SOLVER PATH", "The directory '", "The quarl is not a piping model.",
    "The quarl is not a structure model.", "USE IMPERIAL NOTATION", "WINDOWS SOLVER PATH", "en-US",
    "Invalid setup! Please call 'from korvex_computer import setup_korvex_computer' and set up "
    "with Velmora installation directory.", "lost sys.version_info",
    "utf-8", "no parsed settings: the with statement suppressed the error of json.load",
    // identifiers: names of modules, attributes, globals, keys and functions
    "ASTER", "Add", "AddCommand", "AddEmptyStudy", "AddReference", "All", "Aster", "AsterSolver",
    "BuildAnalysisModel", "CDLL", "CalculationCode", "CoInitialize", "CoUninitialize",
    "CommandController", "CreateNewProject", "CultureInfo", "CurrentCulture",
    "CurrentDatasDirectory", "CurrentProjectsDirectory", "CurrentThread", "CurrentUICulture",
    "CustomCommand", "Degrees", "DeleteCurrentStudy", "Dispose", "DuplicateCurrentStudy", "Enum",
    "ExportObjectToJson", "Extensions", "Families", "FindDataProjectPaths",
    "FindNamespaceAndAssemblyFromClassName", "FindSolverPaths", "GetAnalysisModel",
    "GetCurrentStudyName", "GetSettingValue", "GetSettingsController", "GetStudy", "IgnoreWarnings",
    "Initialize", "Item1", "Item2", "Korvex.Aster.Core", "Korvex.Aster.Core.dll",
    "Korvex.Helper.dll", "Korvex.PipeStress.Core", "Korvex.PipeStress.Core.dll",
    "Korvex.PipeStress.lib", "Korvex.SDK", "Korvex.SDK.dll", "Korvex.Velmora.Core",
    "Korvex.Velmora.Core.dll", "Korvex.Velmora.Project", "Korvex.Velmora.Project.dll",
    "KorvexApplication", "KorvexClassInspector", "KorvexModule", "Layer", "Layers", "LoadFromFile",
    "Milliradians", "Model", "Name", "NeedToReloadModelAfterCommand", "NeedToSaveModelAfterCommand",
    "Norvane", "PATH", "PIPESTRESS", "PSLibrary", "PipeStress", "PipeStressSolver", "PipingCode",
    "Point", "ProjectViewModel", "RenameCurrentStudy", "Run", "SaveToFile", "SetApplication",
    "SetCurrentStudy", "Settings", "Solution", "StructureCode", "SubFamilies",
    "System.Globalization", "System.Threading", "System.Windows", "Thread", "VELMORA", "Value",
    "Velmora", "WriteFreFile", "_Application_", "_AsterSolve", "_Aster_", "_CultureInfo_",
    "_PipeStressSolve", "_PipeStress_", "_Solution_", "__doc__", "__enter__", "encoding",
    "__exit__", "__file__", "__loader__", "__module__", "__package__", "__path__", "__prepare__",
    "__qualname__", "__test__", "_commandController_", "_dataPath_", "_dataSourcesPath_",
    "_dllPath_", "_dlls_", "_exePath_", "_projectPath_", "_settingsPath_", "_tempDirectory_",
    "_validSetup_", "abspath", "addProject", "addStudy", "append", "args", "basename", "chdir",
    "clr", "conception.fre", "copy", "copytree", "createQuarl", "ctypes", "dirname",
    "dirs_exist_ok", "disposeSolution", "endswith", "enum", "exists", "find_first_file",
    "gettempdir", "isdir", "isfile", "join", "json", "korvex_computer.korvex_core", "listdir",
    "load", "loadQuarl", "load_dll", "loader", "lower", "makedirs", "model", "mscorlib", "name",
    "open", "origin", "os", "parent", "path", "print", "pythoncom", "r", "remove", "rmtree",
    "setDaemon", "shutil", "solvePipingModel", "solveStructureModel", "splitext", "start",
    "submodule_search_locations", "target", "tempfile", "threading", "uuid", "uuid4",
    "writeFreFile",
};

}  // namespace korvex
