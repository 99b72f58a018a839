// What the build decides by the runtime and the platform it is made for, all in one place.
//
// PYPY_VERSION, the runtime's own mark, is tested where PyPy's C API emulation needs another
// way: the vector calling convention and the traceback entry (dispatch.cpp), the interpreter id
// and the per-module state (module.cpp), the walk over a list (runtime.cpp). The module's own
// switches below follow from it and from the platform.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// A global found while the module namespace keeps the version tag it had then is still what a
// look-up would find: CPython up to 3.11 changes the tag with every change of a dictionary.
#if !defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030C0000
#define KORVEX_REMEMBERS_GLOBALS 1
#endif

// Exact texts are compared by their known layout, with no code run (CPython's string layout).
#if !defined(PYPY_VERSION)
#define KORVEX_COMPARES_TEXTS 1
#endif

// A thread left at exit is ended by glibc's forced unwinding of its stack, without the lock
// (CPython; PyPy ends such threads cleanly): see "threads ended at exit" in lifetime.h.
#if defined(__GLIBC__) && !defined(PYPY_VERSION)
#define KORVEX_THREADS_END_BY_UNWINDING 1
#endif
