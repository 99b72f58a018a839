// Process-wide state of the binding layer: one instance per process, written only by the
// create and execution steps of the module. Plain pointers on purpose: these references are
// held until the process ends and must not be released by static destructors after the
// interpreter has gone.
#pragma once

#include "binding/core.h"

#include <cstdint>

namespace korvex::state {

inline int64_t first_interpreter_id = -1;
inline PyObject* module = nullptr;       // the one module object, once an execution step took it
inline PyObject* module_dict = nullptr;  // its namespace: every module global and function
inline PyObject* builtins = nullptr;     // the interpreter's builtins module

}  // namespace korvex::state
