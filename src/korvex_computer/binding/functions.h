// The table of module functions and the bodies that the family folders implement.
#pragma once

#include "binding/core.h"

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
    Body body;
};

constexpr int kFunctionCount = 35;

inline int parameter_count(const FunctionRow& f) {
    int n = 0;
    while (n < 6 && f.parameters[n]) ++n;
    return n;
}
extern const FunctionRow kFunctions[kFunctionCount];

// Adds the traceback entry of a statement of the module body at a line to the exception that
// is being raised.
void add_module_body_traceback(int line);

// Runs body as an inner scope of a function, such as a generator expression: an exception that
// leaves it gets the scope's own traceback entry, scope_name at line.
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

// Creates the function objects in the module namespace, in table order; `line_of` reports the
// first line of the function being made. False with the error set when creation fails.
bool create_function_objects(int* line_of);

// Module functions reach each other by name, and a script may rebind those names so that they
// call back into each other without end. The module's own calls nest a few levels at most; the
// nesting is bounded per thread well before the native stack could run out (PyPy cannot
// recover from that), and the interpreter's recursion limit bounds the Python frames between
// them. A worker
// thread that a module call starts counts on from its starter's depth (WorkerDepthHandoff).
constexpr int kMaximumNesting = 32;

// The number of module calls in progress on the calling thread.
int call_depth();

// The slow path of a call, given the thread's counter (0 before its first module call, else 1 +
// its depth): at the first call the counter takes the depth handed on to the thread, if any.
// False with RecursionError set when the bound is reached.
bool nesting_allows(const char* function_name, int* nesting);

// Hands the nesting depth of module calls on from the calling thread to a worker thread that
// it starts: while the handoff lives, module calls on `thread` count on from the starter's
// depth, so that a chain of workers, each starting the next, is bounded like nested calls.
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
