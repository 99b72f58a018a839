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

[[noreturn]] void wrong_count(const FunctionSpec& f, int expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f.name, "exactly", static_cast<Py_ssize_t>(expected),
                 expected == 1 ? "" : "s", given);
    throw PythonError{};
}

int parameter_index(const FunctionSpec& f, int count, PyObject* key) {
    for (int i = 0; i < count; ++i) {
        int cmp = PyUnicode_Compare(key, name(f.parameters[i]));
        if (cmp == -1 && PyErr_Occurred()) throw PythonError{};
        if (cmp == 0) return i;
    }
    return -1;
}

// Binds positional and keyword arguments to the parameters, in the order of checks that
// scripts see in the messages: counts, then stray keywords, then missing arguments.
void bind_arguments(const FunctionSpec& f, int count, PyObject* args, PyObject* kwargs,
                    Ref* bound) {
    Py_ssize_t given = PyTuple_GET_SIZE(args);
    Py_ssize_t keywords = kwargs ? PyDict_Size(kwargs) : 0;
    if (keywords == 0 ? given != count : given > count) wrong_count(f, count, given);

    for (Py_ssize_t i = 0; i < given; ++i) bound[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
    if (keywords == 0) return;

    Py_ssize_t bound_by_keyword = 0;
    for (int i = static_cast<int>(given); i < count; ++i) {
        PyObject* value = PyDict_GetItemWithError(kwargs, name(f.parameters[i]));
        if (value) {
            bound[i] = Ref::borrow(value);
            ++bound_by_keyword;
        } else if (PyErr_Occurred()) {
            throw PythonError{};
        }
    }

    if (keywords > bound_by_keyword) {
        PyObject* key;
        PyObject* value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f.name);
                throw PythonError{};
            }
            int index = parameter_index(f, count, key);
            if (index >= 0 && index < given) {
                PyErr_Format(PyExc_TypeError,
                             "%s() got multiple values for keyword argument '%U'", f.name, key);
                throw PythonError{};
            }
            if (index < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             f.name, key);
                throw PythonError{};
            }
        }
    }

    for (int i = 0; i < count; ++i)
        if (!bound[i]) wrong_count(f, count, i);
}

// The three functions without parameters refuse any argument, without a traceback entry.
bool refuse_arguments(const FunctionSpec& f, PyObject* args, PyObject* kwargs) {
    if (kwargs && PyDict_Size(kwargs) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", f.name, "takes no keyword arguments");
        return true;
    }
    if (PyTuple_GET_SIZE(args) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", f.name, "takes no arguments",
                     PyTuple_GET_SIZE(args));
        return true;
    }
    return false;
}

std::string traceback_name(const FunctionSpec& f) { return std::string(kModuleName) + "." + f.name; }

PyObject* run(int index, PyObject* args, PyObject* kwargs) {
    const FunctionSpec& f = kFunctions[index];
    const int count = parameter_count(f);
    if (count == 0 && refuse_arguments(f, args, kwargs)) return nullptr;

    Ref bound[6];
    Call call{f.first_line};
    try {
        if (count > 0) bind_arguments(f, count, args, kwargs, bound);
        if (f.guard_test_line) {
            call.at(f.guard_test_line);
            if (!truth(global("_validSetup_"))) {
                call.at(f.guard_raise_line);
                raise(PyExc_OSError, kSetupMessage);
            }
        }
        Ref result = f.body(call, bound);
        return result ? result.release() : none().release();
    } catch (PythonError&) {
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& unexpected) {
        // No C++ exception may cross into the interpreter.
        PyErr_SetString(PyExc_SystemError, unexpected.what());
    }
    add_traceback(traceback_name(f).c_str(), call.line);
    return nullptr;
}

// Module functions reach each other by name, and a script may rebind those names so that they
// call back into each other without end. The module's own calls nest a few levels at most; the
// nesting is bounded per thread well before the native stack could run out (PyPy cannot
// recover from that), and the interpreter's own recursion limit applies as well. A worker
// thread that a module call starts counts on from its starter's depth (WorkerDepthHandoff).
constexpr int kMaximumNesting = 32;
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

template <int I>
PyObject* entry(PyObject*, PyObject* args, PyObject* kwargs) {
    if (t_nesting == 0) t_nesting = handed_on_depth();
    if (t_nesting >= kMaximumNesting) {
        PyErr_Format(PyExc_RecursionError,
                     "maximum recursion depth exceeded while calling %.200s() of %s",
                     kFunctions[I].name, kModuleName);
        return nullptr;
    }
    if (Py_EnterRecursiveCall(" while calling a korvex_computer function")) return nullptr;
    ++t_nesting;
    PyObject* result = run(I, args, kwargs);
    --t_nesting;
    Py_LeaveRecursiveCall();
    return result;
}

}  // namespace

WorkerDepthHandoff::WorkerDepthHandoff(const Ref& thread) : thread_(thread) {
    g_worker_depths.emplace_back(thread_.get(), t_nesting);
}

WorkerDepthHandoff::~WorkerDepthHandoff() {
    for (auto it = g_worker_depths.begin(); it != g_worker_depths.end(); ++it) {
        if (it->first == thread_.get()) {
            g_worker_depths.erase(it);
            break;
        }
    }
}

namespace {

// Function descriptions live as long as the function objects, that is the whole process.
PyMethodDef g_method_defs[kFunctionCount];

template <int... I>
void fill_method_defs(std::integer_sequence<int, I...>) {
    ((g_method_defs[I] = PyMethodDef{
          kFunctions[I].name,
          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&entry<I>)),
          METH_VARARGS | METH_KEYWORDS, kFunctions[I].doc}),
     ...);
}

}  // namespace

void create_function_objects(int* line_of) {
    fill_method_defs(std::make_integer_sequence<int, kFunctionCount>{});
    PyObject* module_name = name(kModuleName);
    for (int i = 0; i < kFunctionCount; ++i) {
        *line_of = kFunctions[i].first_line;
        Ref function = Ref::steal(PyCFunction_NewEx(&g_method_defs[i], state::module, module_name));
        check(PyDict_SetItem(state::module_dict, name(kFunctions[i].name), function.get()));
    }
}

void add_traceback(const char* traceback_name, int line) {
    // Code objects for traceback entries are made on first use of a (name, line) pair and kept.
    static auto* code_objects = new std::map<std::pair<std::string, int>, PyCodeObject*>();

    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = nullptr;
    auto key = std::make_pair(std::string(traceback_name), line);
    auto found = code_objects->find(key);
    if (found != code_objects->end()) {
        code = found->second;
    } else {
        code = PyCode_NewEmpty(kSourceFile, traceback_name, line);
        if (code) code_objects->emplace(key, code);
    }
    PyObject* globals = state::module_dict ? state::module_dict : PyEval_GetBuiltins();
    PyFrameObject* frame =
        code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    if (!frame) {
        // No entry can be made; the original exception matters more than this one.
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return;
    }
#ifdef PYPY_VERSION
    frame->f_lineno = line;  // PyPy reads the line from the frame, not from the code object
#endif
    PyErr_Restore(type, value, tb);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace korvex
