/* The measured functions' required steps written by hand with the plain C API: the floor that
 * a C extension can reach on each interpreter, against which measure.py sets the module.
 *
 * Each function does what plain_korvex.py's function of the same name does on the paths the
 * benchmarks take: the globals looked up in the module's namespace at every use, the guard's
 * OSError and the argument error raised with the same messages and a traceback entry of the
 * function (a frame of a code object kept per line), as the module raises them. The functions
 * take the module's calling convention (a tuple and a dictionary on CPython, the vector
 * convention on PyPy), so that the convention is not what is compared; only load_dll binds its
 * parameter by keyword. Paths the benchmarks never take (loading a library, a set-up getQuarl)
 * raise NotImplementedError.
 *
 * start_counting() and stop_counting() switch callgrind's instrumentation on and off around a
 * measured loop (no-ops outside valgrind).
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#include <valgrind/callgrind.h>

static PyObject *module_globals; /* borrowed from the module, which lives for the process */

static PyObject *s_validSetup, *s_dlls, *s_os, *s_path, *s_listdir, *s_join, *s_isfile,
    *s_lower, *s_endswith, *s_dllname, *s_Families, *s_SubFamilies, *s_Settings, *s_Name,
    *s_Value, *s_PATH, *s_ASTER, *s_WINDOWS_SOLVER_PATH, *s_PIPESTRESS, *s_SOLVER_PATH,
    *s_empty, *setup_refusal, *str_lower;

/* ---- traceback entries and errors ---------------------------------------------------------- */

enum { LOAD_DLL, GET_QUARL, FUNCTION_COUNT };
static const char *const function_names[FUNCTION_COUNT] = {"load_dll", "getQuarl"};
static const int first_lines[FUNCTION_COUNT] = {20, 37};
static PyCodeObject *entry_codes[FUNCTION_COUNT][2]; /* [function][0: first line, 1: guard] */

/* Adds the function's traceback entry at line to the exception being raised. */
static void add_traceback(int function, int which, int line)
{
    PyCodeObject **slot = &entry_codes[function][which];
#ifndef PYPY_VERSION
    /* Making the frame can run Python code, which must not see the exception. */
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
#endif
    if (!*slot) *slot = PyCode_NewEmpty("benchmarks/floor/floor_korvex", function_names[function],
                                        line);
    PyFrameObject *frame =
        *slot ? PyFrame_New(PyThreadState_Get(), *slot, module_globals, NULL) : NULL;
#ifdef PYPY_VERSION
    if (!frame) return;
    frame->f_lineno = line;
#else
    if (!frame) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    if (!frame) return;
#endif
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

/* A global of the module, held; null with NameError when it is not there. */
static PyObject *global(PyObject *name)
{
    PyObject *value = PyDict_GetItemWithError(module_globals, name);
    if (value) {
        Py_INCREF(value);
    } else if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

/* The guard: 1 when `_validSetup_` is true, else 0 with the OSError raised (or the error). */
static int passes_guard(int function)
{
    PyObject *valid = global(s_validSetup);
    if (!valid) return 0;
    int truth = PyObject_IsTrue(valid);
    Py_DECREF(valid);
    if (truth == 0) {
        PyErr_SetObject(PyExc_OSError, setup_refusal);
        add_traceback(function, 1, first_lines[function] + 2);
    }
    return truth > 0;
}

static PyObject *not_covered(void)
{
    PyErr_SetString(PyExc_NotImplementedError, "the floor covers only the measured paths");
    return NULL;
}

/* ---- argument binding ------------------------------------------------------------------------ */

#ifdef PYPY_VERSION
#define CONVENTION (METH_FASTCALL | METH_KEYWORDS)
#define PARAMETERS PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames
#define POSITIONAL_COUNT nargs
#define POSITIONAL(i) args[i]
#define KEYWORD_COUNT (kwnames ? PyTuple_GET_SIZE(kwnames) : 0)
/* The value of the only keyword when it is name, else null (an error may be set). */
static PyObject *only_keyword(PyObject *const *args, PyObject *kwnames, PyObject *name)
{
    PyObject *given = PyTuple_GET_ITEM(kwnames, 0);
    return given == name || PyUnicode_Compare(given, name) == 0 ? args[0] : NULL;
}
#define ONLY_KEYWORD(name) only_keyword(args, kwnames, name)
#else
#define CONVENTION (METH_VARARGS | METH_KEYWORDS)
#define PARAMETERS PyObject *self, PyObject *args, PyObject *kwargs
#define POSITIONAL_COUNT PyTuple_GET_SIZE(args)
#define POSITIONAL(i) PyTuple_GET_ITEM(args, i)
#define KEYWORD_COUNT (kwargs ? PyDict_GET_SIZE(kwargs) : 0)
#define ONLY_KEYWORD(name) PyDict_GetItemWithError(kwargs, name)
#endif

static PyObject *count_messages[4]; /* load_dll's, by the count given; kept once made */

static PyObject *wrong_count(Py_ssize_t given)
{
    PyObject *message = given < 4 ? count_messages[given] : NULL;
    if (!message) {
        message = PyUnicode_FromFormat(
            "load_dll() takes exactly 1 positional argument (%zd given)", given);
        if (!message) return NULL;
        if (given < 4) count_messages[given] = message;
    }
    PyErr_SetObject(PyExc_TypeError, message);
    if (given >= 4) Py_DECREF(message);
    add_traceback(LOAD_DLL, 0, first_lines[LOAD_DLL]);
    return NULL;
}

/* Refuses keywords and a count other than count; 1 when the arguments are acceptable. */
static int positional_only(const char *name, Py_ssize_t given, Py_ssize_t keywords, int count)
{
    if (keywords == 0 && given == count) return 1;
    PyErr_Format(PyExc_TypeError, "%s() takes %d positional arguments, no keywords", name, count);
    return 0;
}

/* ---- the functions --------------------------------------------------------------------------- */

static PyObject *load_dll(PARAMETERS)
{
    PyObject *dllname;
    if (KEYWORD_COUNT == 0 && POSITIONAL_COUNT == 1) {
        dllname = POSITIONAL(0);
    } else if (KEYWORD_COUNT == 1 && POSITIONAL_COUNT == 0) {
        dllname = ONLY_KEYWORD(s_dllname);
    } else if (KEYWORD_COUNT == 0) {
        return wrong_count(POSITIONAL_COUNT);
    } else {
        dllname = NULL;
    }
    if (!dllname) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError, "load_dll() takes one argument, dllname");
        return NULL;
    }
    Py_INCREF(dllname); /* the caller's containers may go while the call runs code */
    PyObject *result = NULL;
    if (passes_guard(LOAD_DLL)) {
        PyObject *dlls = global(s_dlls);
        int loaded = dlls ? PySequence_Contains(dlls, dllname) : -1;
        Py_XDECREF(dlls);
        if (loaded > 0) {
            Py_INCREF(Py_None);
            result = Py_None;
        } else if (loaded == 0) {
            not_covered();
        }
    }
    Py_DECREF(dllname);
    return result;
}

static PyObject *getQuarl(PARAMETERS)
{
    if (!positional_only("getQuarl", POSITIONAL_COUNT, KEYWORD_COUNT, 1)) return NULL;
    return passes_guard(GET_QUARL) ? not_covered() : NULL;
}

/* container[key], with the dictionary's own look-up on an exact dictionary. */
static PyObject *item(PyObject *container, PyObject *key)
{
    if (!PyDict_CheckExact(container)) return PyObject_GetItem(container, key);
    PyObject *value = PyDict_GetItemWithError(container, key);
    if (value) {
        Py_INCREF(value);
    } else if (!PyErr_Occurred()) {
        PyErr_SetObject(PyExc_KeyError, key);
    }
    return value;
}

/* container[key] == text: 1, 0, or -1 with the error set. */
static int item_equals(PyObject *container, PyObject *key, PyObject *text)
{
    PyObject *value = item(container, key);
    if (!value) return -1;
    int equal;
    if (PyUnicode_CheckExact(value)) {
        equal = PyObject_RichCompareBool(value, text, Py_EQ);
    } else {
        PyObject *compared = PyObject_RichCompare(value, text, Py_EQ);
        equal = compared ? PyObject_IsTrue(compared) : -1;
        Py_XDECREF(compared);
    }
    Py_DECREF(value);
    return equal;
}

/* An iterator over container[key], null with the error set. */
static PyObject *iterate_item(PyObject *container, PyObject *key)
{
    PyObject *sequence = item(container, key);
    if (!sequence) return NULL;
    PyObject *iterator = PyObject_GetIter(sequence);
    Py_DECREF(sequence);
    return iterator;
}

/* The settings named name among an iterator's: found takes the Value of each; 0, or -1. */
static int scan_settings(PyObject *settings, PyObject *name, PyObject **found)
{
    PyObject *setting;
    while ((setting = PyIter_Next(settings))) {
        int named = item_equals(setting, s_Name, name);
        PyObject *value = named > 0 ? item(setting, s_Value) : NULL;
        Py_DECREF(setting);
        if (named < 0 || (named > 0 && !value)) return -1;
        if (value) Py_SETREF(*found, value);
    }
    return PyErr_Occurred() ? -1 : 0;
}

/* The same in the Settings of each sub-family named PATH among an iterator's. */
static int scan_sub_families(PyObject *sub_families, PyObject *name, PyObject **found)
{
    PyObject *sub_family;
    while ((sub_family = PyIter_Next(sub_families))) {
        int path = item_equals(sub_family, s_Name, s_PATH);
        PyObject *settings = path > 0 ? iterate_item(sub_family, s_Settings) : NULL;
        Py_DECREF(sub_family);
        int scanned = settings ? scan_settings(settings, name, found) : 0;
        Py_XDECREF(settings);
        if (path < 0 || (path > 0 && !settings) || scanned < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

/* The Value of the last setting named setting_name in the PATH sub-families of the families
 * named family_name, as a new reference (None when there is none); null with the error set. */
static PyObject *solver_path(PyObject *settings, PyObject *family_name, PyObject *setting_name)
{
    PyObject *found = Py_None, *families = iterate_item(settings, s_Families), *family;
    Py_INCREF(found);
    while (families && (family = PyIter_Next(families))) {
        int wanted = item_equals(family, s_Name, family_name);
        PyObject *sub_families = wanted > 0 ? iterate_item(family, s_SubFamilies) : NULL;
        Py_DECREF(family);
        int scanned = sub_families ? scan_sub_families(sub_families, setting_name, &found) : 0;
        Py_XDECREF(sub_families);
        if (wanted < 0 || (wanted > 0 && !sub_families) || scanned < 0) break;
    }
    Py_XDECREF(families);
    if (PyErr_Occurred()) Py_CLEAR(found);
    return found;
}

/* None in place of an empty text; steals value. */
static PyObject *none_if_empty(PyObject *value)
{
    int empty = PyObject_RichCompareBool(value, s_empty, Py_EQ);
    if (empty < 0) { Py_DECREF(value); return NULL; }
    if (empty) { Py_DECREF(value); Py_INCREF(Py_None); return Py_None; }
    return value;
}

static PyObject *FindSolverPaths(PARAMETERS)
{
    if (!positional_only("FindSolverPaths", POSITIONAL_COUNT, KEYWORD_COUNT, 1)) return NULL;
    PyObject *settings = POSITIONAL(0);
    Py_INCREF(settings);
    PyObject *aster = solver_path(settings, s_ASTER, s_WINDOWS_SOLVER_PATH);
    PyObject *pipestress = aster ? solver_path(settings, s_PIPESTRESS, s_SOLVER_PATH) : NULL;
    Py_DECREF(settings);
    if (!pipestress) { Py_XDECREF(aster); return NULL; }
    aster = none_if_empty(aster);
    pipestress = aster ? none_if_empty(pipestress) : (Py_DECREF(pipestress), NULL);
    if (!pipestress) { Py_XDECREF(aster); return NULL; }
    PyObject *result = PyTuple_Pack(2, aster, pipestress);
    Py_DECREF(aster);
    Py_DECREF(pipestress);
    return result;
}

/* os.path.<function>(arguments...) with `os` looked up anew, as the Python code does. */
static PyObject *os_path_call(PyObject *function, PyObject *first, PyObject *second)
{
    PyObject *os = global(s_os);
    PyObject *path = os ? PyObject_GetAttr(os, s_path) : NULL;
    Py_XDECREF(os);
    PyObject *callable = path ? PyObject_GetAttr(path, function) : NULL;
    Py_XDECREF(path);
    PyObject *result =
        callable ? PyObject_CallFunctionObjArgs(callable, first, second, NULL) : NULL;
    Py_XDECREF(callable);
    return result;
}

/* f.lower().endswith(ext): 1, 0, or -1 with the error set. */
static int lower_ends_with(PyObject *f, PyObject *ext)
{
    PyObject *lowered = PyUnicode_CheckExact(f) ? PyObject_CallOneArg(str_lower, f)
                                                : PyObject_CallMethodObjArgs(f, s_lower, NULL);
    if (!lowered) return -1;
    int ends;
    if (PyUnicode_CheckExact(lowered) && PyUnicode_Check(ext)) {
        ends = (int)PyUnicode_Tailmatch(lowered, ext, 0, PY_SSIZE_T_MAX, 1);
    } else {
        PyObject *answer = PyObject_CallMethodObjArgs(lowered, s_endswith, ext, NULL);
        ends = answer ? PyObject_IsTrue(answer) : -1;
        Py_XDECREF(answer);
    }
    Py_DECREF(lowered);
    return ends;
}

static PyObject *find_first_file(PARAMETERS)
{
    if (!positional_only("find_first_file", POSITIONAL_COUNT, KEYWORD_COUNT, 2)) return NULL;
    PyObject *directory = POSITIONAL(0), *ext = POSITIONAL(1), *f, *found = NULL;
    Py_INCREF(directory);
    Py_INCREF(ext);
    PyObject *os = global(s_os);
    PyObject *listdir = os ? PyObject_GetAttr(os, s_listdir) : NULL;
    Py_XDECREF(os);
    PyObject *names = listdir ? PyObject_CallOneArg(listdir, directory) : NULL;
    Py_XDECREF(listdir);
    PyObject *entries = names ? PyObject_GetIter(names) : NULL;
    Py_XDECREF(names);
    while (entries && !found && (f = PyIter_Next(entries))) {
        int match = lower_ends_with(f, ext);
        if (match > 0) {
            PyObject *path = os_path_call(s_join, directory, f);
            PyObject *isfile = path ? os_path_call(s_isfile, path, NULL) : NULL;
            match = isfile ? PyObject_IsTrue(isfile) : -1;
            Py_XDECREF(isfile);
            Py_XDECREF(path);
            if (match > 0) found = os_path_call(s_join, directory, f);
        }
        Py_DECREF(f);
        if (match < 0) break;
    }
    if (entries && !found && !PyErr_Occurred()) {
        found = s_empty;
        Py_INCREF(found);
    }
    Py_XDECREF(entries);
    Py_DECREF(directory);
    Py_DECREF(ext);
    return found;
}

/* ---- callgrind's switch, and the module ------------------------------------------------------ */

static PyObject *start_counting(PyObject *self, PyObject *unused)
{
    CALLGRIND_START_INSTRUMENTATION;
    Py_RETURN_NONE;
}

static PyObject *stop_counting(PyObject *self, PyObject *unused)
{
    CALLGRIND_STOP_INSTRUMENTATION;
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"load_dll", (PyCFunction)(void (*)(void))load_dll, CONVENTION, NULL},
    {"getQuarl", (PyCFunction)(void (*)(void))getQuarl, CONVENTION, NULL},
    {"FindSolverPaths", (PyCFunction)(void (*)(void))FindSolverPaths, CONVENTION, NULL},
    {"find_first_file", (PyCFunction)(void (*)(void))find_first_file, CONVENTION, NULL},
    {"start_counting", start_counting, METH_NOARGS, "callgrind's instrumentation on"},
    {"stop_counting", stop_counting, METH_NOARGS, "callgrind's instrumentation off"},
    {NULL, NULL, 0, NULL}};

static struct PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "floor_korvex", NULL, -1, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_floor_korvex(void)
{
    struct { PyObject **slot; const char *text; } texts[] = {
        {&s_validSetup, "_validSetup_"}, {&s_dlls, "_dlls_"}, {&s_os, "os"}, {&s_path, "path"},
        {&s_listdir, "listdir"}, {&s_join, "join"}, {&s_isfile, "isfile"}, {&s_lower, "lower"},
        {&s_endswith, "endswith"}, {&s_dllname, "dllname"}, {&s_Families, "Families"},
        {&s_SubFamilies, "SubFamilies"}, {&s_Settings, "Settings"}, {&s_Name, "Name"},
        {&s_Value, "Value"}, {&s_PATH, "PATH"}, {&s_ASTER, "ASTER"},
        {&s_WINDOWS_SOLVER_PATH, "WINDOWS SOLVER PATH"}, {&s_PIPESTRESS, "PIPESTRESS"},
        {&s_SOLVER_PATH, "SOLVER PATH"}, {&s_empty, ""}};
    for (size_t i = 0; i < sizeof texts / sizeof texts[0]; ++i)
        if (!(*texts[i].slot = PyUnicode_InternFromString(texts[i].text))) return NULL;
    setup_refusal = Py_BuildValue(
        "(s)", "Invalid setup! Please call 'from korvex_computer import setup_korvex_computer'"
               " and set up with Velmora installation directory.");
    str_lower = PyObject_GetAttr((PyObject *)&PyUnicode_Type, s_lower);
    PyObject *module = setup_refusal && str_lower ? PyModule_Create(&definition) : NULL;
    if (!module) return NULL;
    module_globals = PyModule_GetDict(module);
    /* The globals the functions read, as plain_korvex.py starts with them. */
    PyObject *dlls = PyList_New(0), *os = PyImport_ImportModule("os");
    int failed = !dlls || !os || PyDict_SetItem(module_globals, s_validSetup, Py_False) < 0 ||
                 PyDict_SetItem(module_globals, s_dlls, dlls) < 0 ||
                 PyDict_SetItem(module_globals, s_os, os) < 0;
    Py_XDECREF(dlls);
    Py_XDECREF(os);
    if (failed) Py_CLEAR(module);
    return module;
}
