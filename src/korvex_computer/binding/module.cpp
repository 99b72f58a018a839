// The module's entry point, its create and execution steps, and the module body.
#include "binding/functions.h"
#include "binding/module_steps.h"

namespace korvex {

namespace {

// An embedding host may start another interpreter, which the process-wide state is not for.
bool g_interpreter_finalised = false;
void note_finalisation() { g_interpreter_finalised = true; }

PyObject* create_module(PyObject* spec, PyModuleDef*) {
#ifdef PYPY_VERSION
    const int64_t id = 0;  // PyPy runs one interpreter per process
#else
    const int64_t id = PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
#endif
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (state::first_interpreter_id == -1) {
        if (Py_AtExit(&note_finalisation) < 0) {
            PyErr_SetString(PyExc_ImportError, "no room left for an exit function");
            return nullptr;
        }
        state::first_interpreter_id = id;
    } else if (id != state::first_interpreter_id || g_interpreter_finalised) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (!make_constants()) return nullptr;
    if (state::module) {
#ifndef PYPY_VERSION
        // CPython gives a returned module a fresh state, forgetting the last: freed here.
        PyMem_Free(PyModule_GetState(state::module));
#endif
        Py_INCREF(state::module);
        return state::module;
    }
    Ref module;
    const bool created = run_guarded([&] {
        module = Ref::steal(PyModule_NewObject(attr(spec, STR("name")).get()));
        PyObject* module_dict = PyModule_GetDict(module.get());
        if (!module_dict) throw PythonError{};
        // A module without a docstring reads None, not the docstring of the module type.
        check(PyDict_SetItem(module_dict, name(STR("__doc__")), Py_None));
        const struct { Constant& from; Constant& to; } copied[] = {
            {STR("loader"), STR("__loader__")}, {STR("origin"), STR("__file__")},
            {STR("parent"), STR("__package__")},
            {STR("submodule_search_locations"), STR("__path__")}};
        for (const auto& c : copied) {  // what the spec has; __path__ only for a package
            Ref value = attr_if_present(spec, name(c.from));
            if (value && !(&c.to == &STR("__path__") && value.get() == Py_None))
                check(PyDict_SetItem(module_dict, name(c.to), value.get()));
        }
    });
    return created ? module.release() : nullptr;
}

void warn_on_version_mismatch() {
    const Ref info = Ref::borrow(PySys_GetObject("version_info"));  // null sets no error
    if (!info) raise(PyExc_RuntimeError, STR("lost sys.version_info"));
    const long major = PyLong_AsLong(item_at(info, 0).get());
    const long minor = PyLong_AsLong(item_at(info, 1).get());
    if (PyErr_Occurred()) throw PythonError{};
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "compile time Python version %d.%d of "
                           "module '%.100s' does not match runtime version %d.%d",
                           PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName,
                           static_cast<int>(major), static_cast<int>(minor)));
}

// class KorvexModule(Enum), made as a class statement makes it, member by member.
void define_korvex_module(int* line) {
    *line = 12;
    Ref enum_base = global(STR("Enum"));
    Ref bases = tuple(enum_base);
    Ref metaclass = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(enum_base.get())));
    Ref namespace_ = call(attr(metaclass, STR("__prepare__")), text(STR("KorvexModule")), bases);
    check(PyObject_SetItem(namespace_.get(), name(STR("__module__")), name(STR(kModuleName))));
    check(PyObject_SetItem(namespace_.get(), name(STR("__qualname__")), name(STR("KorvexModule"))));
    const struct { int line; Constant& member; long value; } members[] = {
        {13, STR("All"), -1}, {14, STR("Velmora"), 0}, {15, STR("Norvane"), 1}};
    for (const auto& m : members) {
        *line = m.line;
        check(PyObject_SetItem(namespace_.get(), name(m.member), integer(m.value).get()));
    }
    *line = 12;
    Ref cls = call(metaclass, text(STR("KorvexModule")), bases, namespace_);
    set_global(STR("KorvexModule"), cls);
}

// The module body; `line` always names the statement being run.
void run_module_body(int* line) {
    *line = 1;
    set_global(STR("Enum"), from_import(STR("enum"), STR("Enum")));

    Constant* imports[] = {&STR("os"),        &STR("clr"),    &STR("ctypes"),
                           &STR("pythoncom"), &STR("json"),   &STR("threading"),
                           &STR("shutil"),    &STR("tempfile"), &STR("uuid")};
    for (int i = 0; i < 9; ++i) {
        *line = 2 + i;
        set_global(*imports[i], Ref::steal(PyImport_ImportModuleLevelObject(
                                    name(*imports[i]), state::module_dict, nullptr, nullptr, 0)));
    }

    define_korvex_module(line);

    *line = 17;
    set_global(STR("_validSetup_"), boolean(false));
    *line = 21;
    set_global(STR("_settingsPath_"),
               text(STR("C:\\ProgramData\\Korvex\\Velmora\\Settings\\Velmora.settings")));
    *line = 22;
    set_global(STR("_dataSourcesPath_"),
               text(STR("C:\\ProgramData\\Korvex\\Velmora\\Settings\\DataSources.settings")));
    // Lines 23 to 34: every other global is None, but `_dlls_`, an empty list.
    const struct { int line; Constant& global; } defaults[] = {
        {23, STR("_CultureInfo_")}, {24, STR("_exePath_")}, {25, STR("_dllPath_")},
        {26, STR("_Aster_")}, {27, STR("_PipeStress_")}, {28, STR("_dlls_")},
        {29, STR("_Solution_")}, {30, STR("_dataPath_")}, {31, STR("_projectPath_")},
        {32, STR("_Application_")}, {33, STR("_commandController_")},
        {34, STR("_tempDirectory_")}};
    for (const auto& g : defaults) {
        *line = g.line;
        set_global(g.global, g.line == 28 ? Ref::steal(PyList_New(0)) : none());
    }

    if (!create_function_objects(line)) throw PythonError{};

    *line = 1;
    set_global(STR("__test__"), Ref::steal(PyDict_New()));
}

int exec_module(PyObject* module) {
    if (state::module) {
        if (state::module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'korvex_core' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    int line = 0;  // 0 while in the steps that add no traceback entry
    const bool executed = run_guarded([&] {
        state::module = Ref::borrow(module).release();
        state::module_dict = Ref::borrow(PyModule_GetDict(module)).release();
        if (!state::module_dict) throw PythonError{};

        if (!state::builtins)
            state::builtins = Ref::steal(PyImport_ImportModule("builtins")).release();
        check(PyObject_SetAttrString(module, "__builtins__", state::builtins));

        warn_on_version_mismatch();
#ifdef KORVEX_THREADS_END_BY_UNWINDING
        // Room for the releases met during unwindings, which then allocate nothing.
        state::deferred_releases.reserve(64);
#endif

        line = 1;
        if (!PyDict_SetDefault(PyImport_GetModuleDict(), name(STR(kModuleName)), module))
            throw PythonError{};
        cache_builtins();

        run_module_body(&line);
    });
    if (executed) return 0;
    if (line) add_module_body_traceback(line);
    // A later import starts afresh; the module goes first, so that a function refuses to run.
    Py_CLEAR(state::module);
    Py_CLEAR(state::module_dict);
    return -1;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

// No docstring, no per-module state, no methods (the module body makes the functions), no hooks.
PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "korvex_core", nullptr, 0, nullptr, g_slots,
                            nullptr, nullptr, nullptr};

}  // namespace

}  // namespace korvex

PyMODINIT_FUNC PyInit_korvex_core(void) {
    return PyModuleDef_Init(&korvex::g_module_def);
}
