// Calling a module function: argument binding with its exact errors, the set-up guard, the
// body, the traceback entry of any exception that leaves the function, and the bound on nested
// module calls with the depth handed on from a thread to the worker threads it starts.
#include "binding/function_table.h"
#include "binding/module_steps.h"

#include <frameobject.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace korvex {

namespace {

constexpr const char* kSourceFile = "src/korvex_computer/korvex_core";

// ---- traceback entries --------------------------------------------------------------------

// The code objects of traceback entries, made on the first use of a line, are kept by line in
// fixed arrays that never move. Each line of the module file belongs to one function, so one
// array serves them all; the module body and inner scopes have their own.
constexpr int kSourceLines = 800;
static_assert(kFunctions[kFunctionCount - 1].first_line < kSourceLines &&
                  kFunctions[kFunctionCount - 1].guard_raise_line < kSourceLines,
              "the last function's lines must come before kSourceLines");
PyCodeObject* g_function_codes[kSourceLines];
PyCodeObject* g_module_body_codes[kSourceLines];
PyCodeObject* g_scope_codes[kSourceLines];

// A new frame, in the module namespace, of the code object of a traceback name and line, kept in
// *slot from its first use on (a null slot keeps nothing); null with the error set.
PyFrameObject* new_entry_frame(PyCodeObject** slot, const char* traceback_name, int line) {
    PyCodeObject* code =
        slot && *slot ? *slot : PyCode_NewEmpty(kSourceFile, traceback_name, line);
    if (!code) return nullptr;
    if (slot) { *slot = code; Py_INCREF(code); }  // the slot's reference, held for good
    PyObject* globals = state::module_dict ? state::module_dict : PyEval_GetBuiltins();
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    Py_DECREF(code);
#ifdef PYPY_VERSION
    // PyPy 3.9 reads an entry's line from the frame, PyPy 3.11 from the code object's first line.
    if (frame) frame->f_lineno = line;
#endif
    return frame;
}

// Adds a traceback entry, a frame of its own, to the exception being raised; its code object is
// kept in codes[line] when keep is true and the line is within the array.
void add_traceback(PyCodeObject** codes, bool keep, const char* traceback_name, int line) {
    PyCodeObject** slot = keep && line > 0 && line < kSourceLines ? &codes[line] : nullptr;
#ifdef PYPY_VERSION
    // The error stays set: fetching it would make cpyext keep C copies of its traceback and
    // frames that it never frees. Making the entry runs no Python code there.
    PyFrameObject* frame = new_entry_frame(slot, traceback_name, line);
    if (!frame) return;  // the error of the failed creation stands in place of the original
#else
    // Making the frame can run Python code, which must not see the exception being raised;
    // when no entry can be made, the original exception stands unchanged.
    SetAsideError error;
    PyFrameObject* frame = new_entry_frame(slot, traceback_name, line);
    if (!frame) PyErr_Clear();
    error.restore();
    if (!frame) return;
#endif
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

// ---- argument binding ----------------------------------------------------------------------

// What a call needs beyond the table row, made once so that no call makes it again: interned
// parameter names, the traceback name, and the argument-count messages once first needed.
struct FunctionRuntime {
    int parameter_count = 0;
    int end_line = 0;  // the first line after the function's own lines
    char traceback_name[96] = {};
    PyObject* parameter_names[6] = {};
    static constexpr Py_ssize_t kRememberedCounts = 8;
    PyObject* count_messages[kRememberedCounts] = {};
};

FunctionRuntime g_functions[kFunctionCount];  // held for the process

// The error paths below set the Python error and return false (or null); nothing is thrown.

bool wrong_count(const FunctionRow& f, FunctionRuntime& r, Py_ssize_t given) {
    const bool remembered = given < FunctionRuntime::kRememberedCounts;
    PyObject* message = remembered ? r.count_messages[given] : nullptr;
    if (!message) {
        message = PyUnicode_FromFormat(
            "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", f.name, "exactly",
            static_cast<Py_ssize_t>(r.parameter_count), r.parameter_count == 1 ? "" : "s", given);
        if (!message) return false;
        if (remembered) r.count_messages[given] = message;  // held for the process
    }
    PyErr_SetObject(PyExc_TypeError, message);
    if (!remembered) Py_DECREF(message);
    return false;
}

// The arguments of a call as the module's calling convention passes them; keyword values are
// borrowed, null when absent or on error, and the names come in the order given.
#ifdef PYPY_VERSION
// PyPy: the vector convention (positional values, then keyword values with a tuple of their
// names), since PyPy refuses a keyword that is not text before any convention.
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
    bool names_are_text() const { return true; }  // PyPy refuses any other name at the call
};
#else
// CPython: a tuple and a dictionary that may be absent; with it the interpreter hands keyword
// names over as they are, for the module to word the error of one that is not text.
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
    // The C API's check knows a dictionary of text keys by its layout, without a walk. Only
    // then are parameters looked up in it: a key of another kind that compares equal to a
    // parameter's name must not bind it.
    bool names_are_text() const {
        if (PyArg_ValidateKeywordArguments(kwargs)) return true;
        PyErr_Clear();
        return false;
    }
};
#endif

// Reports the first given keyword, in the order given, that is not text or names no parameter
// left to bind; true when there is none.
bool report_stray_keyword(const FunctionRow& f, const FunctionRuntime& r,
                          const Arguments& given) {
    PyObject* key;
    Py_ssize_t position = 0;
    while (given.next_keyword_name(&position, &key)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f.name);
            return false;
        }
        int i = 0;
        for (; i < r.parameter_count; ++i) {
            const int cmp = PyUnicode_Compare(key, r.parameter_names[i]);
            if (cmp == -1 && PyErr_Occurred()) return false;
            if (cmp == 0) break;
        }
        const char* fault = nullptr;
        if (i == r.parameter_count) fault = "got an unexpected keyword argument";
        else if (i < given.positional_count()) fault = "got multiple values for keyword argument";
        if (fault) {
            PyErr_Format(PyExc_TypeError, "%s() %s '%U'", f.name, fault, key);
            return false;
        }
    }
    return true;
}

// Binds the arguments to the parameters, checking as scripts see in the messages: counts, then
// stray keywords, then missing arguments. Every bound value is held: the caller's containers
// can be freed by code that the body runs (an exit function that unregisters itself).
bool bind_arguments(const FunctionRow& f, FunctionRuntime& r, const Arguments& given,
                    Ref* bound) {
    const int count = r.parameter_count;
    const Py_ssize_t positional = given.positional_count();
    const Py_ssize_t keywords = given.keyword_count();
    if (keywords == 0 ? positional != count : positional > count)
        return wrong_count(f, r, positional);

    // A key that is not text binds nothing, so the call fails at the first unacceptable key.
    if (keywords != 0 && !given.names_are_text()) {
        if (report_stray_keyword(f, r, given))
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f.name);
        return false;
    }
    for (Py_ssize_t i = 0; i < positional; ++i) bound[i] = Ref::borrow(given.positional(i));
    if (keywords == 0) return true;

    // Each parameter after the positional ones is looked up among the keywords, in order.
    Py_ssize_t bound_by_keyword = 0;
    for (Py_ssize_t i = positional; i < count; ++i) {
        PyObject* value = given.keyword(r.parameter_names[i]);
        if (value) {
            bound[i] = Ref::borrow(value);
            ++bound_by_keyword;
        } else if (PyErr_Occurred()) {
            return false;
        }
    }
    if (keywords > bound_by_keyword && !report_stray_keyword(f, r, given)) return false;

    if (positional + bound_by_keyword == count) return true;
    for (int i = 0; i < count; ++i)
        if (!bound[i]) return wrong_count(f, r, i);
    return true;
}

// The three functions without parameters refuse any argument, without a traceback entry.
bool refuse_arguments(const FunctionRow& f, const Arguments& given) {
    if (given.keyword_count() != 0)
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", f.name);
    else if (given.positional_count() != 0)
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", f.name,
                     given.positional_count());
    return given.keyword_count() != 0 || given.positional_count() != 0;
}

// The arguments bound for one call, as many as the function has parameters, each held.
template <int Count>
struct BoundArguments {
    Ref values[Count > 0 ? static_cast<std::size_t>(Count) : 1];
    // Released at the end of the call, where the lock is held for sure: the Refs' own release,
    // which first asks whether the interpreter is ending this thread, is left for that case.
    void release_at_return() {
        for (Ref& value : values)
            if (PyObject* object = value.release()) Py_DECREF(object);
    }
};

// The set-up guard's test and raise, once `_validSetup_` must be looked up: true when it is
// true; else false with the error set (the guard's OSError, or the error of the truth test).
bool run_guard_test(const FunctionRow& f, Call& call) {
    PyObject* valid = lookup_global(STR("_validSetup_"));
    if (!valid) return false;
    const int truth = truth_value(valid);
    Py_DECREF(valid);
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

// The traceback entry of an exception that leaves a function at line.
void add_function_traceback(const FunctionRow& f, const FunctionRuntime& r, int line) {
    const bool own_line = line >= f.first_line && line < r.end_line;
    add_traceback(g_function_codes, own_line, r.traceback_name, line);
}

constexpr int parameter_count(const FunctionRow& f) {
    int count = 0;
    while (count < 6 && f.parameters[count]) ++count;
    return count;
}

// A call of function I: binding, guard and body, known while compiling, run inline with the
// error paths out of line.
template <int I>
PyObject* call_function(const Arguments& given) {
    constexpr const FunctionRow& f = kFunctions[I];
    constexpr int count = parameter_count(f);
    FunctionRuntime& r = g_functions[I];
    const bool exact = given.keyword_count() == 0 && given.positional_count() == count;
    if (count == 0 && !exact) {
        refuse_arguments(f, given);
        return nullptr;
    }
    Call call{f.first_line};
    BoundArguments<count> bound;
    bool bound_all = true;
    if (exact) {
        for (int i = 0; i < count; ++i) bound.values[i] = Ref::borrow(given.positional(i));
    } else {
        bound_all = bind_arguments(f, r, given, bound.values);
    }
    PyObject* result = nullptr;
    if (bound_all && (f.guard_test_line == 0 || passes_guard(f, call))) {
        Ref value;
        if (run_guarded([&] { value = f.body(call, bound.values); }))
            result = value ? value.release() : none().release();
    }
    if (!result) add_function_traceback(f, r, call.line);
    bound.release_at_return();
    return result;
}

// ---- nesting ---------------------------------------------------------------------------------

// 0 for a thread that has made no module call yet, else 1 + the number of module calls in
// progress on it: a new thread takes the slow path once, where it learns the depth handed on.
thread_local int t_nesting = 0;

// The worker threads being started or run by module calls, with their starters' depths. Read
// and written under the interpreter lock.
std::vector<std::pair<PyObject*, int>> g_worker_depths;

// The depth handed on to the running thread, 0 when it is no worker of a module call.
int handed_on_depth() {
    if (g_worker_depths.empty()) return 0;
    PyObject* threading = PyImport_ImportModule("threading");
    PyObject* current = threading ? PyObject_CallMethod(threading, "current_thread", nullptr)
                                  : nullptr;
    Py_XDECREF(threading);
    if (!current) {
        PyErr_Clear();  // no thread object to know it by: the thread counts from 0
        return 0;
    }
    int depth = 0;
    for (const auto& worker : g_worker_depths)
        if (worker.first == current) depth = worker.second;
    Py_DECREF(current);
    return depth;
}

// The slow path of a call: at the thread's first call its counter takes the depth handed on;
// false with RecursionError set when the bound is reached.
bool nesting_allows(const char* function_name, int* nesting) {
    if (*nesting == 0) *nesting = 1 + handed_on_depth();
    if (*nesting - 1 < kMaximumNesting) return true;
    PyErr_Format(PyExc_RecursionError,
                 "maximum recursion depth exceeded while calling %.200s() of %s",
                 function_name, kModuleName);
    return false;
}

// What a function left over from an import whose execution step failed says: it has no
// namespace to run in.
PyObject* refuse_stale_function(const char* function_name) {
    PyErr_Format(PyExc_ImportError, "%.200s() cannot run: the import of module '%s' that "
                 "made it failed", function_name, kModuleName);
    return nullptr;
}

// The C function of a module function, its parameters after the module those of Arguments.
template <int I, class... Passed>
PyObject* entry(PyObject* module, Passed... passed) {
    if (module != state::module) return refuse_stale_function(kFunctions[I].name);
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

// The call-time description of every function; false with the error set.
bool prepare_function_runtimes() {
    for (int i = 0; i < kFunctionCount; ++i) {
        FunctionRuntime& r = g_functions[i];
        r.parameter_count = parameter_count(kFunctions[i]);
        r.end_line = i + 1 < kFunctionCount ? kFunctions[i + 1].first_line : kSourceLines;
        PyOS_snprintf(r.traceback_name, sizeof r.traceback_name, "%s.%s", kModuleName,
                      kFunctions[i].name);
        for (int p = 0; p < r.parameter_count; ++p) {
            if (r.parameter_names[p]) continue;
            r.parameter_names[p] = PyUnicode_InternFromString(kFunctions[i].parameters[p]);
            if (!r.parameter_names[p]) return false;
        }
    }
    return true;
}

}  // namespace

bool create_function_objects(int* line_of) {
    if (!prepare_function_runtimes()) return false;
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
