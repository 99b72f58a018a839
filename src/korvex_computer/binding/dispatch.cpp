// Calling a module function: argument binding with its exact errors, the set-up guard, the
// body, the traceback entry of an exception that leaves it, and the bound on nested calls.
#include "binding/function_table.h"
#include "binding/module_steps.h"

#include <frameobject.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace korvex {

namespace {

// ---- traceback entries --------------------------------------------------------------------

// Code objects of traceback entries, made at a line's first use and kept by line for good.
constexpr const char* kSourceName = "src/korvex_computer/korvex_core";
constexpr int kSourceLines = 800;
static_assert(kFunctions[kFunctionCount - 1].first_line < kSourceLines &&
                  kFunctions[kFunctionCount - 1].guard_raise_line < kSourceLines,
              "the last function's lines must come before kSourceLines");
PyCodeObject* g_function_codes[kSourceLines];
PyCodeObject* g_module_body_codes[kSourceLines];
PyCodeObject* g_scope_codes[kSourceLines];

// Adds a traceback entry to the exception being raised, its code kept in codes[line] if keep.
void add_traceback(PyCodeObject** codes, bool keep, const char* traceback_name, int line) {
    PyCodeObject** slot = keep && line > 0 && line < kSourceLines ? &codes[line] : nullptr;
#ifndef PYPY_VERSION
    // Making the frame can run Python code, which must not see the exception being raised. On
    // PyPy fetching it would make cpyext keep C copies of its traceback that it never frees.
    SetAsideError error;
#endif
    PyCodeObject* code = slot && *slot ? *slot : PyCode_NewEmpty(kSourceName, traceback_name, line);
    if (code && slot) { *slot = code; Py_INCREF(code); }  // the slot's reference, held for good
    PyObject* globals = state::module_dict ? state::module_dict : PyEval_GetBuiltins();
    PyFrameObject* frame =
        code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    Py_XDECREF(code);
#ifdef PYPY_VERSION
    // PyPy 3.9 reads an entry's line from the frame, PyPy 3.11 from the code object's first line.
    if (frame) frame->f_lineno = line;
#else
    if (!frame) PyErr_Clear();  // no entry: the original exception stands unchanged
    error.restore();
#endif
    if (!frame) return;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

// ---- argument binding ----------------------------------------------------------------------

constexpr int parameter_count(const FunctionRow& f) {
    int count = 0;
    while (count < 6 && f.parameters[count]) ++count;
    return count;
}

// What a call needs beyond its row, made once: interned parameter names, the traceback name,
// and the argument-count messages, kept once made since formatting one costs more than a call.
struct FunctionRuntime {
    char traceback_name[96] = {};
    PyObject* parameter_names[6] = {};
    PyObject* count_messages[8] = {};
};
FunctionRuntime g_functions[kFunctionCount];  // held for the process

// The error paths below set the Python error and return false; nothing is thrown.
bool wrong_count(const FunctionRow& f, FunctionRuntime& r, Py_ssize_t given) {
    const bool keep = given < 8;
    PyObject* message = keep ? r.count_messages[given] : nullptr;
    const int count = parameter_count(f);
    if (!message)
        message = PyUnicode_FromFormat("%.200s() takes exactly %d positional argument%s (%zd "
                                       "given)", f.name, count, count == 1 ? "" : "s", given);
    if (!message) return false;
    PyErr_SetObject(PyExc_TypeError, message);
    if (keep) r.count_messages[given] = message;  // held for the process
    else Py_DECREF(message);
    return false;
}

// The arguments as the calling convention passes them; keyword values are borrowed, null when
// absent or on error, and the names come in the order given.
#ifdef PYPY_VERSION
// PyPy: the vector convention, since PyPy refuses a keyword that is not text at the call.
struct Arguments {
    using Entry = PyObject*(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
    static constexpr int kConvention = METH_FASTCALL | METH_KEYWORDS;
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* kwnames;

    Py_ssize_t positional_count() const { return nargs; }
    PyObject* positional(Py_ssize_t i) const { return args[i]; }
    Py_ssize_t keyword_count() const { return kwnames ? PyTuple_GET_SIZE(kwnames) : 0; }
    PyObject* keyword(PyObject* key) const {
        for (Py_ssize_t k = 0; k < keyword_count(); ++k) {
            PyObject* given_name = PyTuple_GET_ITEM(kwnames, k);
            if (given_name == key || PyUnicode_Compare(given_name, key) == 0)
                return args[nargs + k];
            if (PyErr_Occurred()) return nullptr;
        }
        return nullptr;
    }
    bool next_keyword_name(Py_ssize_t* position, PyObject** key) const {
        if (*position >= keyword_count()) return false;
        *key = PyTuple_GET_ITEM(kwnames, (*position)++);
        return true;
    }
    bool names_are_text() const { return true; }
};
#else
// CPython: a tuple and a dictionary, whose keys come as given, for the module to word the error.
struct Arguments {
    using Entry = PyObject*(PyObject*, PyObject*, PyObject*);
    static constexpr int kConvention = METH_VARARGS | METH_KEYWORDS;
    PyObject* args;
    PyObject* kwargs;

    Py_ssize_t positional_count() const { return PyTuple_GET_SIZE(args); }
    PyObject* positional(Py_ssize_t i) const { return PyTuple_GET_ITEM(args, i); }
    Py_ssize_t keyword_count() const { return kwargs ? PyDict_GET_SIZE(kwargs) : 0; }
    PyObject* keyword(PyObject* key) const { return PyDict_GetItemWithError(kwargs, key); }
    bool next_keyword_name(Py_ssize_t* position, PyObject** key) const {
        PyObject* value;
        return PyDict_Next(kwargs, position, key, &value) != 0;
    }
    // Known by the dictionary's layout, without a walk: only then are parameters looked up in
    // it, as a key of another kind that compares equal to a parameter's name must not bind it.
    bool names_are_text() const {
        if (PyArg_ValidateKeywordArguments(kwargs)) return true;
        PyErr_Clear();
        return false;
    }
};
#endif

// Reports the first keyword, in the order given, that is not text or names no parameter left
// to bind; true when there is none.
bool report_stray_keyword(const FunctionRow& f, const FunctionRuntime& r,
                          const Arguments& given) {
    PyObject* key;
    Py_ssize_t position = 0;
    while (given.next_keyword_name(&position, &key)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f.name);
            return false;
        }
        const int count = parameter_count(f);
        int i = 0;  // two texts compare without error
        while (i < count && PyUnicode_Compare(key, r.parameter_names[i]) != 0) ++i;
        const char* fault = nullptr;
        if (i == count) fault = "got an unexpected keyword argument";
        else if (i < given.positional_count()) fault = "got multiple values for keyword argument";
        if (fault) {
            PyErr_Format(PyExc_TypeError, "%s() %s '%U'", f.name, fault, key);
            return false;
        }
    }
    return true;
}

// Binds and holds the arguments (the caller's containers can be freed meanwhile): counts, each
// parameter left looked up among the keywords, stray keywords, then missing arguments.
bool bind_arguments(const FunctionRow& f, FunctionRuntime& r, const Arguments& given,
                    Ref* bound) {
    const int count = parameter_count(f);
    const Py_ssize_t positional = given.positional_count();
    const Py_ssize_t keywords = given.keyword_count();
    if (keywords == 0 ? positional != count : positional > count)
        return wrong_count(f, r, positional);
    if (keywords != 0 && !given.names_are_text()) {  // fails at the first unacceptable key
        if (report_stray_keyword(f, r, given))
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f.name);
        return false;
    }
    for (Py_ssize_t i = 0; i < positional; ++i) bound[i].reset(given.positional(i));
    Py_ssize_t bound_by_keyword = 0;
    for (Py_ssize_t i = positional; i < count && keywords != 0; ++i) {
        PyObject* value = given.keyword(r.parameter_names[i]);  // may run a key's __eq__
        if (!value && PyErr_Occurred()) return false;
        if (!value) continue;
        bound[i].reset(value);
        ++bound_by_keyword;
    }
    if (keywords > bound_by_keyword && !report_stray_keyword(f, r, given)) return false;
    for (int i = 0; i < count; ++i)
        if (!bound[i]) return wrong_count(f, r, i);
    return true;
}

// Functions without parameters refuse any argument, without a traceback entry.
PyObject* refuse_arguments(const FunctionRow& f, const Arguments& given) {
    if (given.keyword_count() != 0)
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", f.name);
    else
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", f.name,
                     given.positional_count());
    return nullptr;
}

// The set-up guard once `_validSetup_` must be looked up: false with the error set.
bool run_guard_test(const FunctionRow& f, Call& call) {
    PyObject* valid = lookup_global(STR("_validSetup_"));
    const int truth = valid ? truth_value(valid) : -1;
    Py_XDECREF(valid);
    if (truth == 0) {
        call.at(f.guard_raise_line);
        PyErr_SetObject(PyExc_OSError,
                        STR("Invalid setup! Please call 'from korvex_computer import "
                            "setup_korvex_computer' and set up with Velmora installation "
                            "directory.").as_arguments);
    }
    return truth > 0;
}

inline bool passes_guard(const FunctionRow& f, Call& call) {
    call.at(f.guard_test_line);
#ifdef KORVEX_REMEMBERS_GLOBALS
    // True as last seen at the namespace's current version: nothing to look up, hold or test.
    Constant& valid = STR("_validSetup_");
    if (valid.global_version == namespace_version() && valid.global_value == Py_True) return true;
#endif
    return run_guard_test(f, call);
}

// A call of function I: binding, guard and body inline, the error paths out of line.
template <int I>
PyObject* call_function(const Arguments& given) {
    constexpr const FunctionRow& f = kFunctions[I];
    constexpr int count = parameter_count(f);
    FunctionRuntime& r = g_functions[I];
    const bool exact = given.keyword_count() == 0 && given.positional_count() == count;
    if (count == 0 && !exact) return refuse_arguments(f, given);
    Call call{f.first_line};
    Ref bound[count > 0 ? static_cast<std::size_t>(count) : 1];
    bool bound_all = true;
    if (exact) {
        for (int i = 0; i < count; ++i) bound[i].reset(given.positional(i));
    } else {
        bound_all = bind_arguments(f, r, given, bound);
    }
    PyObject* result = nullptr;
    if (bound_all && (f.guard_test_line == 0 || passes_guard(f, call))) {
        Ref value;
        if (run_guarded([&] { value = f.body(call, bound); }))
            result = value ? value.release() : none().release();
    }
    if (!result) {
        constexpr int end = I + 1 < kFunctionCount ? kFunctions[I + 1].first_line : kSourceLines;
        const bool own_line = call.line >= f.first_line && call.line < end;
        add_traceback(g_function_codes, own_line, r.traceback_name, call.line);
    }
    // Released directly: the lock is held for sure here, which Ref's release would ask first.
    for (Ref& value : bound) Py_XDECREF(value.release());
    return result;
}

// ---- nesting ---------------------------------------------------------------------------------

// Rebound names can make module functions recurse without end: bounded per thread well before
// the native stack runs out (PyPy cannot recover from that).
constexpr int kMaximumNesting = 32;

// 0 for a thread that has made no module call yet, else 1 + the module calls in progress on it.
thread_local int t_nesting = 0;

// The worker threads started by module calls, with their starters' depths; under the lock.
std::vector<std::pair<PyObject*, int>> g_worker_depths;

// The depth handed on to the running thread, 0 when it is no worker of a module call.
int handed_on_depth() {
    if (g_worker_depths.empty()) return 0;
    PyObject* threading = PyImport_ImportModule("threading");
    PyObject* current = threading ? PyObject_CallMethod(threading, "current_thread", nullptr)
                                  : nullptr;
    Py_XDECREF(threading);
    if (!current) PyErr_Clear();  // no thread object to know it by: the thread counts from 0
    int depth = 0;
    for (const auto& worker : g_worker_depths)
        if (worker.first == current) depth = worker.second;
    Py_XDECREF(current);
    return depth;
}

// The slow path: a thread's first call takes the depth handed on; RecursionError at the bound.
bool nesting_allows(const char* function_name, int* nesting) {
    if (*nesting == 0) *nesting = 1 + handed_on_depth();
    if (*nesting - 1 < kMaximumNesting) return true;
    PyErr_Format(PyExc_RecursionError,
                 "maximum recursion depth exceeded while calling %.200s() of %s",
                 function_name, kModuleName);
    return false;
}

// The C function of a module function, its parameters after the module those of Arguments.
template <int I, class... Passed>
PyObject* entry(PyObject* module, Passed... passed) {
    if (module != state::module) {  // left over from an import whose execution step failed
        PyErr_Format(PyExc_ImportError, "%.200s() cannot run: the import of module '%s' that "
                     "made it failed", kFunctions[I].name, kModuleName);
        return nullptr;
    }
    int& nesting = t_nesting;
    if (static_cast<unsigned>(nesting - 1) >= static_cast<unsigned>(kMaximumNesting) &&
        !nesting_allows(kFunctions[I].name, &nesting))
        return nullptr;
    ++nesting;
    PyObject* result = call_function<I>(Arguments{passed...});
    --nesting;
    return result;
}

// Function descriptions live as long as the function objects, that is the whole process.
PyMethodDef g_method_defs[kFunctionCount];

template <int... I>
void fill_method_defs(std::integer_sequence<int, I...>) {
    ((g_method_defs[I] = PyMethodDef{
          kFunctions[I].name,
          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(
              static_cast<Arguments::Entry*>(&entry<I>))),
          Arguments::kConvention, kFunctions[I].doc}),
     ...);
}

}  // namespace

bool create_function_objects(int* line_of) {
    for (int i = 0; i < kFunctionCount; ++i) {
        FunctionRuntime& r = g_functions[i];
        PyOS_snprintf(r.traceback_name, sizeof r.traceback_name, "%s.%s", kModuleName,
                      kFunctions[i].name);
        for (int p = 0; p < parameter_count(kFunctions[i]); ++p) {
            if (!r.parameter_names[p])
                r.parameter_names[p] = PyUnicode_InternFromString(kFunctions[i].parameters[p]);
            if (!r.parameter_names[p]) return false;
        }
    }
    fill_method_defs(std::make_integer_sequence<int, kFunctionCount>{});
    PyObject* module_name = name(STR(kModuleName));
    bool created = true;
    for (int i = 0; created && i < kFunctionCount; ++i) {
        *line_of = kFunctions[i].first_line;
        PyObject* function = PyCFunction_NewEx(&g_method_defs[i], state::module, module_name);
        created = function && PyDict_SetItemString(state::module_dict, kFunctions[i].name,
                                                   function) == 0;
        Py_XDECREF(function);
    }
    return created;
}

void add_module_body_traceback(int line) {
    add_traceback(g_module_body_codes, true, "init korvex_computer.korvex_core", line);
}

void add_scope_traceback(const char* scope_name, int line) {
    add_traceback(g_scope_codes, true, scope_name, line);
}

WorkerDepthHandoff::WorkerDepthHandoff(const Ref& thread) : thread_(thread) {
    g_worker_depths.emplace_back(thread_.get(), t_nesting > 0 ? t_nesting - 1 : 0);
}

WorkerDepthHandoff::~WorkerDepthHandoff() noexcept(false) {
    if (!may_touch_objects()) return;  // a thread being ended: the lock is another's
    auto handed = std::find_if(g_worker_depths.begin(), g_worker_depths.end(),
                               [&](const auto& worker) { return worker.first == thread_.get(); });
    if (handed != g_worker_depths.end()) g_worker_depths.erase(handed);
}

}  // namespace korvex
