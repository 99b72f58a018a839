// What only the binding's own files use: the module object's state and the interpreter's entries.
#pragma once

#include "binding/objects.h"

#include <new>

namespace korvex {

// Plain pointers, so that no static destructor releases them after the interpreter has gone.
namespace state {
inline int64_t first_interpreter_id = -1;
inline PyObject* module = nullptr;    // the one module object, once an execution step took it
inline PyObject* builtins = nullptr;  // the interpreter's builtins module
}  // namespace state

// Makes the constants not made yet; false with the error set.
bool make_constants();
void cache_builtins();  // called by the execution step
// Creates the function objects, `line_of` naming the one being made; false with the error set.
bool create_function_objects(int* line_of);
// Adds the traceback entry of the module body's statement at line to the exception raised.
void add_module_body_traceback(int line);

// Runs a step the interpreter calls: false with the error set; no C++ exception gets past it,
// and the forced unwinding of a thread being ended matches no clause.
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
