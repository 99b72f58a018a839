// The table of module functions and the bodies that the family folders implement.
#pragma once

#include "binding/statements.h"

namespace korvex {

constexpr const char kModuleName[] = "korvex_computer.korvex_core";

// One row of the function table.
struct FunctionRow {
    const char* name;
    const char* parameters[6];  // in order; the unused entries are null
    const char* doc;
    int first_line;
    // Lines of the set-up guard: its truth test and its raise; 0 for an unguarded function.
    int guard_test_line;
    int guard_raise_line;
    BodyFunction* body;
};

// Adds the traceback entry of the module body's statement at line to the exception raised.
void add_module_body_traceback(int line);

// Runs body as an inner scope (a generator expression): an exception that leaves it gets the
// scope's own traceback entry, scope_name at line.
void add_scope_traceback(const char* scope_name, int line);
template <class F>
auto in_scope(const char* scope_name, int line, F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (PythonError&) {
        add_scope_traceback(scope_name, line);
        throw;
    }
}

// Creates the function objects in the module namespace, `line_of` telling the first line of
// the one being made; false with the error set.
bool create_function_objects(int* line_of);

// A script may rebind the names by which module functions call each other so that they recurse
// without end: the nesting is bounded per thread well before the native stack could run out
// (PyPy cannot recover from that). A worker thread counts on from its starter's depth.
constexpr int kMaximumNesting = 32;

// While the handoff lives, module calls on `thread` count on from the calling thread's depth,
// so that a chain of workers, each starting the next, is bounded like nested calls.
class WorkerDepthHandoff {
public:
    explicit WorkerDepthHandoff(const Ref& thread);
    ~WorkerDepthHandoff() noexcept(false);
    WorkerDepthHandoff(const WorkerDepthHandoff&) = delete;
    WorkerDepthHandoff& operator=(const WorkerDepthHandoff&) = delete;

private:
    Ref thread_;
};

// The bodies, by family folder.
BodyFunction setup_korvex_computer, load_dll, load_dll_c, FindSolverPaths,  // installation/
    FindDataProjectPaths;
BodyFunction loadQuarl, saveQuarl, getQuarl, createQuarl, createPipingQuarl,  // models/
    createStructureQuarl, writeFreFile, find_first_file, copyDirectoryToTemp;
BodyFunction solve, disposeSolution, solvePipingModel, solveStructureModel,  // solving/
    PipeStressSolve, AsterSolve;
BodyFunction inspectClass, findNameSpaceAndAssembly, createCommand, executeCommand;  // commands/
BodyFunction addProjectFolder, removeProjectFolder, addProject, addPipingProject,  // projects/
    addStructureProject, removeProject, addStudy, addPipingStudy, addStructureStudy, removeStudy,
    duplicateStudy;

}  // namespace korvex
