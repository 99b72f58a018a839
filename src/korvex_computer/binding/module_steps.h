// What only the binding's own files use: the process-wide state of the module object and the
// steps where the interpreter calls into the module, which bodies never are.
#pragma once

#include "binding/objects.h"

#include <new>

namespace korvex {

// Process-wide state, written by the module's create and execution steps; plain pointers, so
// that no static destructor releases them after the interpreter has gone.
namespace state {
inline int64_t first_interpreter_id = -1;
inline PyObject* module = nullptr;    // the one module object, once an execution step took it
inline PyObject* builtins = nullptr;  // the interpreter's builtins module
}  // namespace state

// Makes the constants not made yet; false with the error set.
bool make_constants();
void cache_builtins();  // called by the execution step

// Runs a step where the interpreter calls into the module: true on success, false with the
// error set. The module throws nothing else than what is caught here, so no C++ exception gets
// past it; the forced unwinding of a thread being ended (see above) matches no clause.
template <class F>
bool run_guarded(F&& step) {
    bool succeeded = false;
    try {
        step();
        succeeded = true;
    } catch (PythonError&) {
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception&) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in korvex_computer");
    }
    release_deferred();
    return succeeded;
}

}  // namespace korvex
