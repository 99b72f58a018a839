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

// Adds a traceback entry that a body makes itself (the walk inside find_first_file); its code
// object is made on first use and kept in *code, which must never move.
void add_traceback(PyCodeObject** code, const char* traceback_name, int line);

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
bool nesting_allows(int index, int* nesting);

// Hands the nesting depth of module calls on from the calling thread to a worker thread that
// it starts: while the handoff lives, module calls on `thread` count on from the starter's
// depth, so that a chain of workers, each starting the next, is bounded like nested calls.
class WorkerDepthHandoff {
public:
    explicit WorkerDepthHandoff(const Ref& thread);
    ~WorkerDepthHandoff();
    WorkerDepthHandoff(const WorkerDepthHandoff&) = delete;
    WorkerDepthHandoff& operator=(const WorkerDepthHandoff&) = delete;

private:
    Ref thread_;
};

// installation/
Ref setup_korvex_computer(Call&, Args);
Ref load_dll(Call&, Args);
Ref load_dll_c(Call&, Args);
Ref FindSolverPaths(Call&, Args);
Ref FindDataProjectPaths(Call&, Args);
// models/
Ref loadQuarl(Call&, Args);
Ref saveQuarl(Call&, Args);
Ref getQuarl(Call&, Args);
Ref createQuarl(Call&, Args);
Ref createPipingQuarl(Call&, Args);
Ref createStructureQuarl(Call&, Args);
Ref writeFreFile(Call&, Args);
Ref find_first_file(Call&, Args);
Ref copyDirectoryToTemp(Call&, Args);
// solving/
Ref solve(Call&, Args);
Ref disposeSolution(Call&, Args);
Ref solvePipingModel(Call&, Args);
Ref solveStructureModel(Call&, Args);
Ref PipeStressSolve(Call&, Args);
Ref AsterSolve(Call&, Args);
// commands/
Ref inspectClass(Call&, Args);
Ref findNameSpaceAndAssembly(Call&, Args);
Ref createCommand(Call&, Args);
Ref executeCommand(Call&, Args);
// projects/
Ref addProjectFolder(Call&, Args);
Ref removeProjectFolder(Call&, Args);
Ref addProject(Call&, Args);
Ref addPipingProject(Call&, Args);
Ref addStructureProject(Call&, Args);
Ref removeProject(Call&, Args);
Ref addStudy(Call&, Args);
Ref addPipingStudy(Call&, Args);
Ref addStructureStudy(Call&, Args);
Ref removeStudy(Call&, Args);
Ref duplicateStudy(Call&, Args);

}  // namespace korvex
