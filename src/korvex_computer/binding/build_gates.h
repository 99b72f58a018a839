// What the build decides by the runtime and the platform, in one place; PYPY_VERSION itself is
// tested only where PyPy's C API emulation needs another way.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// CPython up to 3.11 changes a dictionary's version tag at every change: a global seen at it holds.
#if !defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030C0000
#define KORVEX_REMEMBERS_GLOBALS 1
#endif

// Exact texts are compared by their known layout, with no code run (CPython's string layout).
#if !defined(PYPY_VERSION)
#define KORVEX_COMPARES_TEXTS 1
#endif

// CPython ends a thread left at exit by glibc's forced unwinding (see lifetime.h); PyPy cleanly.
#if defined(__GLIBC__) && !defined(PYPY_VERSION)
#define KORVEX_THREADS_END_BY_UNWINDING 1
#endif
