// The module functions in the order of their first lines: name, parameters, docstring, first
// line, the lines of the set-up guard (0 when unguarded) and the body. Known while compiling,
// so that each function's entry binds, guards and calls its body directly; adding a function
// is one row here, its body's declaration in functions.h and its stub in korvex_core.pyi.
#pragma once

#include "binding/functions.h"

namespace korvex {

inline constexpr FunctionRow kFunctions[] = {
    {"setup_korvex_computer", {"velmora_installation_directory", "korvexModule"},
     "setup_korvex_computer(velmora_installation_directory, korvexModule)\n"
     "\n"
     "Setup the Korvex Computer by defining its installation's directory and the module to use.\n"
     "Example : \n"
     "\n"
     "   import korvex_computer as cc\n"
     "   valid = cc.setup_korvex_computer(\"C:\\Program Files\\Korvex\\Velmora 20XX.Y\", "
     "cc.KorvexModule.Velmora)\n"
     "\n"
     "korvexModule can be:\n"
     "- cc.KorvexModule.All\n"
     "- cc.KorvexModule.Velmora\n"
     "- cc.KorvexModule.Norvane",
     36, 0, 0, setup_korvex_computer},
    {"load_dll", {"dllname"},
     "load_dll(dllname)\n\nLoad a .NET DLL from assembly name.",
     97, 103, 104, load_dll},
    {"load_dll_c", {"dllname"},
     "load_dll_c(dllname)\n\nLoad a C++ DLL from name.\nFor internal use only.",
     122, 129, 130, load_dll_c},
    {"FindSolverPaths", {"settings"},
     "FindSolverPaths(settings)\n\nReturn the path of Aster solver and PipeStress solver in the "
     "current settings json object.\nNone if not defined.",
     148, 0, 0, FindSolverPaths},
    {"FindDataProjectPaths", {"dataSources"},
     "FindDataProjectPaths(dataSources)\n\nReturn the path of the datas and of the projets in the "
     "current settings json object.",
     175, 0, 0, FindDataProjectPaths},
    {"loadQuarl", {"quarlFilename"},
     "loadQuarl(quarlFilename)\n\nLoad a quarL based on its filename.\nReturn the quarL class if "
     "exists. None otherwise.",
     183, 189, 190, loadQuarl},
    {"saveQuarl", {"quarl", "quarlFilename"},
     "saveQuarl(quarl, quarlFilename)\n\nSave the quarl with its filename. It will also save a fre "
     "file with the same name.",
     207, 213, 214, saveQuarl},
    {"getQuarl", {"directory"},
     "getQuarl(directory)\n\nReturn the first quarl filename in the directory or empty string if "
     "doesn't exist.",
     219, 225, 226, getQuarl},
    {"createQuarl", {"module"},
     "createQuarl(module)\n\nFor internal use.",
     229, 0, 0, createQuarl},
    {"createPipingQuarl", {},
     "createPipingQuarl()\n\nReturn an empty piping model with layer 0.",
     241, 247, 248, createPipingQuarl},
    {"createStructureQuarl", {},
     "createStructureQuarl()\n\nReturn an empty structure model with layer 0.",
     253, 259, 260, createStructureQuarl},
    {"solve", {"filename", "solvername", "sandbox"},
     "solve(filename, solvername, sandbox)\n\nSolve a piping/structure quarL with use of a solver "
     "in a sandbox or not.\nsolvername can be 'Aster' or 'PipeStress'.\nThe path of the selected "
     "solver must exist in Velmora's settings.\nReturn a Solution object or None if invalid "
     "filename or solvername.",
     265, 274, 275, solve},
    {"disposeSolution", {},
     "disposeSolution()\n\nClose the solution file and free the memory.",
     316, 0, 0, disposeSolution},
    {"solvePipingModel", {"quarl", "quarlFilename", "solvername", "directory"},
     "solvePipingModel(quarl, quarlFilename, solvername, directory)\n\nSolve a piping quarL with "
     "use of a solver.\nsolvername can be 'Aster' or 'PipeStress'.\nThe path of the selected "
     "solver must exist in Velmora's settings.\nReturn a Solution object.",
     332, 341, 342, solvePipingModel},
    {"solveStructureModel", {"quarl", "quarlFilename", "directory"},
     "solveStructureModel(quarl, quarlFilename, directory)\n\nSolve a structure quarL with use of "
     "a Aster solver.\nThe path of Aster solver must exist in Velmora's settings.\nReturn a "
     "Solution object.",
     380, 388, 389, solveStructureModel},
    {"_PipeStressSolve", {"quarl", "quarlFilename", "directory"},
     "_PipeStressSolve(quarl, quarlFilename, directory)\n\nPrivate method.\nSolve a quarl with "
     "PipeStress solver in directory.\nGlobal _PipeStress_ path exists.\nFill the global variable "
     "_Solution_ ",
     412, 0, 0, PipeStressSolve},
    {"_AsterSolve", {"quarl", "quarlFilename", "directory"},
     "_AsterSolve(quarl, quarlFilename, directory)\n\nPrivate method.\nSolve a quarl with Aster "
     "solver in directory.\nGlobal _Aster_ path exists.\nFill the global variable _Solution_ ",
     444, 0, 0, AsterSolve},
    {"find_first_file", {"directory", "ext"},
     "find_first_file(directory, ext)\n\nReturn the first file with extension = ext in directory "
     "or empty string if not exists.",
     480, 0, 0, find_first_file},
    {"copyDirectoryToTemp", {"directory"},
     "copyDirectoryToTemp(directory)\n\nReturn a unic temporary directory with all the content of "
     "directory.\nReturn an empty string if a problem occurs.",
     486, 0, 0, copyDirectoryToTemp},
    {"inspectClass", {"instance", "indent"},
     "inspectClass(instance, indent)\n\nReturn a json structure with all properties and public "
     "method of an instance or a class.\nindent = True for indented json",
     499, 505, 506, inspectClass},
    {"findNameSpaceAndAssembly", {"className"},
     "findNameSpaceAndAssembly(className)\n\nReturn the c# namespace and assembly of a "
     "className.\nReturn None if doesn't exists in Velmora installation.",
     515, 521, 522, findNameSpaceAndAssembly},
    {"writeFreFile", {"quarl", "quarlFilename"},
     "writeFreFile(quarl, quarlFilename)\n\nWrite the fre file corresponding to the quarl in the "
     "directory with respect of the settings.",
     533, 539, 540, writeFreFile},
    {"createCommand", {"commandName", "quarl"},
     "createCommand(commandName, quarl)\n\nCreate a custom command based on its name.",
     576, 582, 583, createCommand},
    {"executeCommand", {"command"},
     "executeCommand(command)\n\nExecute the custom command on current quarL. You need to save the "
     "quarL manually!",
     593, 599, 600, executeCommand},
    {"addProjectFolder", {"directory", "folderName"},
     "addProjectFolder(directory, folderName)\n\nAdd a project folder in directory. Return the "
     "folder path or an empty string if already exist or problem.",
     603, 609, 610, addProjectFolder},
    {"removeProjectFolder", {"folderDirectory"},
     "removeProjectFolder(folderDirectory)\n\nTry to remove a folder by its path.",
     618, 624, 625, removeProjectFolder},
    {"addProject",
     {"directory", "projectName", "studyName", "screenWidth", "screenheight", "module"},
     "addProject(directory, projectName, studyName, screenWidth, screenheight, module)\n\nFor "
     "internal use.",
     634, 0, 0, addProject},
    {"addPipingProject", {"directory", "projectName", "studyName", "screenWidth", "screenheight"},
     "addPipingProject(directory, projectName, studyName, screenWidth, screenheight)\n\nAdd a "
     "project (projectName) with a piping study (studyName). Return the project directory if "
     "succed, empty string otherwise.",
     654, 660, 661, addPipingProject},
    {"addStructureProject",
     {"directory", "projectName", "studyName", "screenWidth", "screenheight"},
     "addStructureProject(directory, projectName, studyName, screenWidth, screenheight)\n\nAdd a "
     "project (projectName) with a structure study (studyName). Return the project directory if "
     "succed, empty string otherwise.",
     666, 672, 673, addStructureProject},
    {"removeProject", {"projectDirectory"},
     "removeProject(projectDirectory)\n\nTry to remove a project by its path.",
     678, 684, 685, removeProject},
    {"addStudy", {"projectDirectory", "studyName", "screenWidth", "screenheight", "module"},
     "addStudy(projectDirectory, studyName, screenWidth, screenheight, module)\n\nFor internal "
     "use.",
     694, 0, 0, addStudy},
    {"addPipingStudy", {"projectDirectory", "studyName", "screenWidth", "screenheight"},
     "addPipingStudy(projectDirectory, studyName, screenWidth, screenheight)\n\nAdd a piping study "
     "(studyName) in project (projectDirectory). Return a StudyModel if no problem or None "
     "otherwise.",
     716, 722, 723, addPipingStudy},
    {"addStructureStudy", {"projectDirectory", "studyName", "screenWidth", "screenheight"},
     "addStructureStudy(projectDirectory, studyName, screenWidth, screenheight)\n\nAdd a structure "
     "study (studyName) in project (projectDirectory). Return a StudyModel if no problem or None "
     "otherwise.",
     728, 734, 735, addStructureStudy},
    {"removeStudy", {"projectDirectory", "studyName"},
     "removeStudy(projectDirectory, studyName)\n\nTry to delete the study (studyName) in project "
     "(projectDirectory). There must be at least one study in the project.",
     740, 746, 747, removeStudy},
    {"duplicateStudy", {"projectDirectory", "studyName", "copyStudyName"},
     "duplicateStudy(projectDirectory, studyName, copyStudyName)\n\nDuplicate a study (studyName) "
     "in project (projectDirectory). The duplicated study will have copyStudyName as name if "
     "possible.",
     761, 767, 768, duplicateStudy},
};

constexpr int kFunctionCount = static_cast<int>(sizeof kFunctions / sizeof kFunctions[0]);

// A row is checked while compiling: its docstring opens with its signature, and its lines
// ascend (first line, guard test, guard raise, next function's first line), since a
// traceback line is told apart by the function whose lines hold it.
constexpr bool texts_equal(const char* a, const char* b, int n) {
    for (int i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}
constexpr int text_length(const char* text) {
    int n = 0;
    while (text[n]) ++n;
    return n;
}
constexpr bool doc_opens_with_signature(const FunctionRow& f) {
    const char* doc = f.doc;
    int at = text_length(f.name);
    if (!texts_equal(doc, f.name, at) || doc[at++] != '(') return false;
    for (int p = 0; p < 6 && f.parameters[p]; ++p) {
        if (p > 0 && (doc[at++] != ',' || doc[at++] != ' ')) return false;
        int n = text_length(f.parameters[p]);
        if (!texts_equal(doc + at, f.parameters[p], n)) return false;
        at += n;
    }
    return doc[at] == ')' && doc[at + 1] == '\n';
}
constexpr bool rows_are_consistent() {
    for (int i = 0; i < kFunctionCount; ++i) {
        const FunctionRow& f = kFunctions[i];
        if (!doc_opens_with_signature(f)) return false;
        bool guarded = f.guard_test_line != 0;
        if (guarded != (f.guard_raise_line != 0)) return false;
        if (guarded && !(f.first_line < f.guard_test_line &&
                         f.guard_test_line < f.guard_raise_line))
            return false;
        int last_line = guarded ? f.guard_raise_line : f.first_line;
        if (i + 1 < kFunctionCount && !(last_line < kFunctions[i + 1].first_line)) return false;
    }
    return true;
}
static_assert(rows_are_consistent(),
              "a function row whose docstring does not open with its signature, or whose lines "
              "do not ascend");

}  // namespace korvex
