/* The configuration of a 64-bit Windows build of CPython 3.11, as an extension module compiled
   for it sees it, for cross-compiling the module with mingw-w64 against the generic 3.11 headers
   (scripts/check_windows). Only what those headers read is set, from the facts of the
   platform: LLP64 sizes (long is 32 bits, pointers and Py_ssize_t 64), Windows threads, a
   shared python311.dll whose API is imported with __declspec(dllimport), and none of the POSIX
   headers. MS_WIN64 is set here although Windows' own compiler defines it only for the
   interpreter's own build: a module built elsewhere must pass it (-DMS_WIN64). */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !defined(MS_WIN64)
#error "this configuration is for 64-bit Windows: compile for x86_64 Windows with -DMS_WIN64"
#endif

#define MS_WIN32
#define MS_WINDOWS
#define NT_THREADS
#define PLATFORM "win32"

/* The interpreter is python311.dll: its API is imported, the module's init function exported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_HKEY 8
#define ALIGNOF_LONG 4
#define ALIGNOF_SIZE_T 8

/* Py_ssize_t is a 64-bit integer although long is 32 bits. */
typedef long long Py_ssize_t;
#define PY_SSIZE_T_MAX LLONG_MAX
#define HAVE_PY_SSIZE_T 1

#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define PY_LONG_LONG long long

/* The C headers that Windows' own C library has; no unistd.h, pthread.h or sys/time.h. */
#define HAVE_STDDEF_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_WCHAR_H 1
#define HAVE_DIRECT_H 1
#define HAVE_PROCESS_H 1
#define HAVE_FCNTL_H 1
#define HAVE_IO_H 1

#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1

#endif /* Py_CONFIG_H */
