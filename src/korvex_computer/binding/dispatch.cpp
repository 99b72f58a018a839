// Calling a module function: argument binding with its exact errors, the set-up guard, the
// body, and the traceback entry of any exception that leaves the function.
#include "binding/functions.h"
#include "binding/state.h"

#include <frameobject.h>

#include <map>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace korvex {

namespace {

constexpr const char* kModuleName = "korvex_computer.korvex_core";
constexpr const char* kSourceFile = "src/korvex_computer/korvex_core";
constexpr const char* kSetupMessage =
    "Invalid setup! Please call 'from korvex_computer import setup_korvex_computer' and set up "
    "with Velmora installation directory.";

// One traceback entry: a code object of the name and line, in a frame whose globals are the
// module namespace. On CPython the frame itself is kept and shared by every entry of that
// name and line, since making a frame is most of the cost of an entry; PyPy reads the line
// from the frame and gets a new one each time.
struct TracebackSite {
    PyCodeObject* code = nullptr;
    PyFrameObject* frame = nullptr;
};

PyFrameObject* new_frame(PyCodeObject* code, int line) {
    PyObject* globals = state::module_dict ? state::module_dict : PyEval_GetBuiltins();
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
#ifdef PYPY_VERSION
    if (frame) frame->f_lineno = line;  // PyPy reads the line from the frame, not from the code
#else
    (void)line;
#endif
    return frame;
}

// What a call needs of its function beyond the table row, made once with the function objects:
// the interned parameter names, the traceback name, the argument-count messages as they are
// first needed, and the code objects of its traceback entries by line.
struct FunctionRuntime {
    int parameter_count = 0;
    PyObject* parameter_names[6] = {};
    std::string traceback_name;
    static constexpr Py_ssize_t kRememberedCounts = 8;
    PyObject* count_messages[kRememberedCounts] = {};
    std::vector<std::pair<int, TracebackSite>> code_by_line;
};

FunctionRuntime* g_functions = nullptr;  // kFunctionCount entries, held for the process
PyObject* g_setup_message = nullptr;

// The error paths below report failure as the C API does: the Python error is set and the
// caller gets false (or null); nothing is thrown.

bool wrong_count(int index, Py_ssize_t given) {
    const FunctionSpec& f = kFunctions[index];
    FunctionRuntime& r = g_functions[index];
    const int expected = r.parameter_count;
    PyObject* remembered = given < FunctionRuntime::kRememberedCounts ? r.count_messages[given]
                                                                     : nullptr;
    if (!remembered) {
        remembered = PyUnicode_FromFormat(
            "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", f.name, "exactly",
            static_cast<Py_ssize_t>(expected), expected == 1 ? "" : "s", given);
        if (!remembered) return false;
        if (given >= FunctionRuntime::kRememberedCounts) {
            PyErr_SetObject(PyExc_TypeError, remembered);
            Py_DECREF(remembered);
            return false;
        }
        r.count_messages[given] = remembered;
    }
    PyErr_SetObject(PyExc_TypeError, remembered);
    return false;
}

// The position of the parameter named by key among the first count, -1 for none, -2 on error.
int parameter_index(const FunctionRuntime& r, PyObject* key) {
    for (int i = 0; i < r.parameter_count; ++i)
        if (key == r.parameter_names[i]) return i;
    for (int i = 0; i < r.parameter_count; ++i) {
        int cmp = PyUnicode_Compare(key, r.parameter_names[i]);
        if (cmp == -1 && PyErr_Occurred()) return -2;
        if (cmp == 0) return i;
    }
    return -1;
}

// Looks each parameter after the positional ones up among the keywords, in parameter order,
// and binds the values found; the count bound, or -1 with the error set.
template <class Arguments>
Py_ssize_t look_up_keywords(const Arguments& given, const FunctionRuntime& r,
                            Py_ssize_t positional, Ref* bound) {
    Py_ssize_t bound_by_keyword = 0;
    for (Py_ssize_t i = positional; i < r.parameter_count; ++i) {
        PyObject* value = given.keyword(r.parameter_names[i]);
        if (value) {
            bound[i] = Ref::borrow(value);
            ++bound_by_keyword;
        } else if (PyErr_Occurred()) {
            return -1;
        }
    }
    return bound_by_keyword;
}

// The arguments of a call as METH_VARARGS | METH_KEYWORDS passes them: a tuple and a
// dictionary that may be absent.
struct TupleAndDict {
    PyObject* args;
    PyObject* kwargs;

    Py_ssize_t positional_count() const { return PyTuple_GET_SIZE(args); }
    PyObject* positional(Py_ssize_t i) const { return PyTuple_GET_ITEM(args, i); }
    Py_ssize_t keyword_count() const { return kwargs ? PyDict_GET_SIZE(kwargs) : 0; }
    // The value given for a keyword (borrowed); null when absent or on error.
    PyObject* keyword(PyObject* key) const { return PyDict_GetItemWithError(kwargs, key); }
    // The keyword names in the dictionary's order, one per call, as PyDict_Next walks them.
    bool next_keyword_name(Py_ssize_t* position, PyObject** key) const {
        PyObject* value;
        return PyDict_Next(kwargs, position, key, &value) != 0;
    }

    Py_ssize_t bind_keywords(const FunctionRuntime& r, Py_ssize_t positional, Ref* bound) const {
#ifndef PYPY_VERSION
        // When every keyword name is an exact text, one walk over the dictionary matching names
        // by identity or text finds what a lookup per parameter would, without the lookups.
        Py_ssize_t bound_by_keyword = 0;
        Py_ssize_t position = 0;
        PyObject *key, *value;
        bool all_text = true;
        while (all_text && PyDict_Next(kwargs, &position, &key, &value)) {
            all_text = PyUnicode_CheckExact(key) && PyUnicode_IS_READY(key);
            for (Py_ssize_t i = positional; all_text && i < r.parameter_count; ++i) {
                if (key == r.parameter_names[i] || same_text(key, r.parameter_names[i])) {
                    bound[i] = Ref::borrow(value);
                    ++bound_by_keyword;
                    break;
                }
            }
        }
        if (all_text) return bound_by_keyword;
        for (Py_ssize_t i = positional; i < r.parameter_count; ++i) bound[i] = Ref();
#endif
        return look_up_keywords(*this, r, positional, bound);
    }
};

// The arguments of a call as METH_FASTCALL | METH_KEYWORDS passes them: the positional
// values, then the keyword values, with a tuple of the keyword names that may be absent.
struct VectorAndNames {
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* kwnames;

    Py_ssize_t positional_count() const { return nargs; }
    PyObject* positional(Py_ssize_t i) const { return args[i]; }
    Py_ssize_t keyword_count() const { return kwnames ? PyTuple_GET_SIZE(kwnames) : 0; }
    PyObject* keyword(PyObject* key) const {
        const Py_ssize_t count = keyword_count();
        for (Py_ssize_t k = 0; k < count; ++k)
            if (PyTuple_GET_ITEM(kwnames, k) == key) return args[nargs + k];
        for (Py_ssize_t k = 0; k < count; ++k) {
            int cmp = PyUnicode_Compare(PyTuple_GET_ITEM(kwnames, k), key);
            if (cmp == 0) return args[nargs + k];
            if (cmp == -1 && PyErr_Occurred()) return nullptr;
        }
        return nullptr;
    }
    bool next_keyword_name(Py_ssize_t* position, PyObject** key) const {
        if (*position >= keyword_count()) return false;
        *key = PyTuple_GET_ITEM(kwnames, (*position)++);
        return true;
    }
    Py_ssize_t bind_keywords(const FunctionRuntime& r, Py_ssize_t positional, Ref* bound) const {
        return look_up_keywords(*this, r, positional, bound);
    }
};

// Reports the first keyword that names no parameter left to bind, in the order of the given
// keywords.
template <class Arguments>
bool report_stray_keyword(int index, const Arguments& given) {
    const FunctionSpec& f = kFunctions[index];
    const Py_ssize_t positional = given.positional_count();
    PyObject* key;
    Py_ssize_t position = 0;
    while (given.next_keyword_name(&position, &key)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f.name);
            return false;
        }
        int i = parameter_index(g_functions[index], key);
        if (i == -2) return false;
        if (i >= 0 && i < positional) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         f.name, key);
            return false;
        }
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", f.name,
                         key);
            return false;
        }
    }
    return true;
}

// Binds positional and keyword arguments to the parameters, in the order of checks that
// scripts see in the messages: counts, then stray keywords, then missing arguments. The
// caller's tuple, dictionary or vector holds the values for the whole call.
template <class Arguments>
bool bind_arguments(int index, const Arguments& given, Ref* bound) {
    const FunctionRuntime& r = g_functions[index];
    const int count = r.parameter_count;
    const Py_ssize_t positional = given.positional_count();
    const Py_ssize_t keywords = given.keyword_count();
    if (keywords == 0 ? positional != count : positional > count)
        return wrong_count(index, positional);

    for (Py_ssize_t i = 0; i < positional; ++i) bound[i] = Ref::borrow(given.positional(i));
    if (keywords == 0) return true;

    const Py_ssize_t bound_by_keyword = given.bind_keywords(r, positional, bound);
    if (bound_by_keyword < 0) return false;
    if (keywords > bound_by_keyword && !report_stray_keyword(index, given)) return false;

    if (positional + bound_by_keyword == count) return true;
    for (int i = 0; i < count; ++i)
        if (!bound[i]) return wrong_count(index, i);
    return true;
}

// The three functions without parameters refuse any argument, without a traceback entry.
template <class Arguments>
bool refuse_arguments(const FunctionSpec& f, const Arguments& given) {
    if (given.keyword_count() != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", f.name, "takes no keyword arguments");
        return true;
    }
    if (given.positional_count() != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", f.name, "takes no arguments",
                     given.positional_count());
        return true;
    }
    return false;
}

// 1 when `_validSetup_` is true, 0 when false, -1 with the error set.
int setup_is_valid() {
    PyObject* valid = lookup_global("_validSetup_");
    if (!valid) return -1;
    int truth = truth_value(valid);
    Py_DECREF(valid);
    return truth;
}

void add_function_traceback(int index, int line);

template <class Arguments>
PyObject* run(int index, const Arguments& given, Call& call) {
    const FunctionSpec& f = kFunctions[index];
    if (g_functions[index].parameter_count == 0 && refuse_arguments(f, given)) return nullptr;

    Ref bound[6];
    if (bind_arguments(index, given, bound)) {
        int valid = 1;
        if (f.guard_test_line) {
            call.at(f.guard_test_line);
            valid = setup_is_valid();
            if (valid == 0) {
                call.at(f.guard_raise_line);
                PyErr_SetObject(PyExc_OSError, g_setup_message);
            }
        }
        if (valid > 0) {
            try {
                Ref result = f.body(call, bound);
                return result ? result.release() : none().release();
            } catch (PythonError&) {
            } catch (std::bad_alloc&) {
                PyErr_NoMemory();
            } catch (std::exception& unexpected) {
                // No C++ exception may cross into the interpreter.
                PyErr_SetString(PyExc_SystemError, unexpected.what());
            }
        }
    }
    add_function_traceback(index, call.line);
    return nullptr;
}

// 0 for a thread that has made no module call yet, else 1 + the number of module calls in
// progress on it. A new thread thus takes the slow path of a call once (nesting_allows), where
// it learns the depth handed on to it, and the usual call tests one bound.
thread_local int t_nesting = 0;

template <class Arguments>
PyObject* enter(int index, const Arguments& given) {
    // The call keeps where the thread's counter is, so that it is found once per call.
    Call call{kFunctions[index].first_line, &t_nesting};
    if (static_cast<unsigned>(*call.nesting - 1) >= static_cast<unsigned>(kMaximumNesting) &&
        !nesting_allows(index, call.nesting))
        return nullptr;
    if (Py_EnterRecursiveCall(" while calling a korvex_computer function")) return nullptr;
    ++*call.nesting;
    PyObject* result = run(index, given, call);
    --*call.nesting;
    Py_LeaveRecursiveCall();
    return result;
}

}  // namespace

int call_depth() { return t_nesting > 0 ? t_nesting - 1 : 0; }

namespace {

// CPython keeps METH_VARARGS | METH_KEYWORDS: with it the interpreter hands over keyword names
// that are not text, and the module words that error itself. PyPy refuses such names before
// any convention, and there the vector convention saves building a tuple and a dictionary on
// every call.
#ifdef PYPY_VERSION
constexpr int kCallingConvention = METH_FASTCALL | METH_KEYWORDS;

template <int I>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter(I, VectorAndNames{args, nargs, kwnames});
}
#else
constexpr int kCallingConvention = METH_VARARGS | METH_KEYWORDS;

template <int I>
PyObject* entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return enter(I, TupleAndDict{args, kwargs});
}
#endif

// Function descriptions live as long as the function objects, that is the whole process.
PyMethodDef g_method_defs[kFunctionCount];

template <int... I>
void fill_method_defs(std::integer_sequence<int, I...>) {
    ((g_method_defs[I] = PyMethodDef{
          kFunctions[I].name,
          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&entry<I>)),
          kCallingConvention, kFunctions[I].doc}),
     ...);
}

// The call-time description of every function, made once per process.
void prepare_function_runtimes() {
    if (g_functions) return;
    auto* functions = new FunctionRuntime[kFunctionCount];
    for (int i = 0; i < kFunctionCount; ++i) {
        FunctionRuntime& r = functions[i];
        r.parameter_count = parameter_count(kFunctions[i]);
        for (int p = 0; p < r.parameter_count; ++p)
            r.parameter_names[p] = name(kFunctions[i].parameters[p]);
        r.traceback_name = std::string(kModuleName) + "." + kFunctions[i].name;
    }
    g_setup_message = name(kSetupMessage);
    g_functions = functions;
}

// Makes the site's code object (and on CPython its frame) when missing; false with the error
// set when that fails.
bool complete_site(TracebackSite& site, const char* traceback_name, int line) {
    if (!site.code) site.code = PyCode_NewEmpty(kSourceFile, traceback_name, line);
    if (!site.code) return false;
#ifndef PYPY_VERSION
    if (!site.frame) site.frame = new_frame(site.code, line);
    if (!site.frame) return false;
#endif
    return true;
}

void add_entry(TracebackSite& site, const char* traceback_name, int line) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyFrameObject* frame = nullptr;
    if (complete_site(site, traceback_name, line)) {
#ifdef PYPY_VERSION
        frame = new_frame(site.code, line);
#else
        frame = site.frame;
        Py_INCREF(frame);
#endif
    }
    if (!frame) {
        // No entry can be made; the original exception matters more than this one.
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_Restore(type, value, tb);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

void add_function_traceback(int index, int line) {
    FunctionRuntime& r = g_functions[index];
    for (auto& known : r.code_by_line)
        if (known.first == line) return add_entry(known.second, r.traceback_name.c_str(), line);
    r.code_by_line.emplace_back(line, TracebackSite{});
    add_entry(r.code_by_line.back().second, r.traceback_name.c_str(), line);
}

}  // namespace

void create_function_objects(int* line_of) {
    prepare_function_runtimes();
    fill_method_defs(std::make_integer_sequence<int, kFunctionCount>{});
    PyObject* module_name = name(kModuleName);
    for (int i = 0; i < kFunctionCount; ++i) {
        *line_of = kFunctions[i].first_line;
        Ref function = Ref::steal(PyCFunction_NewEx(&g_method_defs[i], state::module, module_name));
        check(PyDict_SetItem(state::module_dict, name(kFunctions[i].name), function.get()));
    }
}

void add_traceback(const char* traceback_name, int line) {
    // The entries of the module body and of the walk inside find_first_file, by name and line.
    static auto* sites = new std::map<std::pair<std::string, int>, TracebackSite>();
    add_entry((*sites)[std::make_pair(std::string(traceback_name), line)], traceback_name, line);
}

}  // namespace korvex
