// The helpers the bodies are written in (declared in lifetime.h, constants.h and objects.h).
#include "binding/module_steps.h"

namespace korvex {

bool make_constants() {
    for (int i = 0; i < kConstantCount; ++i) {
        if (g_constants[i].object) continue;
        PyObject* interned = PyUnicode_InternFromString(kConstantTexts[i]);
        PyObject* as_arguments =
            interned && PyObject_Hash(interned) != -1 ? PyTuple_Pack(1, interned) : nullptr;
        if (!as_arguments) {
            Py_XDECREF(interned);
            return false;
        }
        g_constants[i].object = interned;
        g_constants[i].as_arguments = as_arguments;
    }
    return true;
}

// The builtin of that name (a new reference), or null with NameError or the look-up's error set.
PyObject* look_builtin_up(PyObject* key) {
    PyObject* builtin = PyObject_GetAttr(state::builtins, key);
    if (!builtin && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    }
    return builtin;
}

PyObject* look_global_up(Constant& global_name) {
    PyObject* key = name(global_name);
#ifdef KORVEX_REMEMBERS_GLOBALS
    const uint64_t version = namespace_version();
#endif
    PyObject* found = PyDict_GetItemWithError(state::module_dict, key);
    if (found) {
#ifdef KORVEX_REMEMBERS_GLOBALS
        // The version read before the look-up, which may itself have changed the namespace.
        global_name.global_version = version;
        global_name.global_value = found;
#endif
        Py_INCREF(found);
        return found;
    }
    return PyErr_Occurred() ? nullptr : look_builtin_up(key);
}

Ref attr_if_present(PyObject* object, PyObject* attr_name) {
    PyObject* value = PyObject_GetAttr(object, attr_name);
    if (!value && !PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    if (!value) PyErr_Clear();
    return Ref::steal_maybe(value);
}

Ref tuple_of(PyObject* const* items, std::size_t count) {
    Ref result = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; i < count; ++i) {
        Py_INCREF(items[i]);
        PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), items[i]);
    }
    return result;
}

Ref call_with_keywords(const Ref& callable, const Ref& positional,
                       std::initializer_list<Keyword> keywords) {
    Ref options = Ref::steal(PyDict_New());
    for (const Keyword& keyword : keywords)
        check(PyDict_SetItem(options.get(), name(keyword.name), keyword.value.get()));
    return call_object(callable.get(), positional.get(), options.get());
}

bool global_contains_by_lookup(Constant& global_name, const Ref& value) {
    const Ref container = global(global_name);
    PyObject *sequence = container.get(), *wanted = value.get();
#ifdef KORVEX_COMPARES_TEXTS
    // A list of plain texts only is searched by text; any other entry leaves it to the protocol.
    if (PyList_CheckExact(sequence) && is_plain_text(wanted)) {
        const Py_ssize_t size = PyList_GET_SIZE(sequence);
        PyObject** entries = reinterpret_cast<PyListObject*>(sequence)->ob_item;
        Py_ssize_t i = 0;
        while (i < size && is_plain_text(entries[i])) ++i;
        if (i == size) {
            for (i = 0; i < size; ++i)
                if (same_text(entries[i], wanted)) return true;
            return false;
        }
    }
#endif
    return check(PySequence_Contains(sequence, wanted)) != 0;
}

Ref item_by_protocol(const Ref& container, Constant& key) {
    PyObject* dict = container.get();
    if (!PyDict_CheckExact(dict)) return Ref::steal(PyObject_GetItem(dict, name(key)));
    // What subscription raises for a key missing from an exact dictionary.
    if (!PyErr_Occurred()) raise(PyExc_KeyError, tuple(text(key)));
    throw PythonError{};
}

bool lower_ends_with(const Ref& text_value, const Ref& suffix) {
    // Exact texts have str's own lower and endswith, which no script can replace: called directly.
    static PyObject* str_lower = nullptr;  // held for the process
    const bool exact = PyUnicode_CheckExact(text_value.get());
    if (exact && !str_lower)
        str_lower = attr(reinterpret_cast<PyObject*>(&PyUnicode_Type), STR("lower")).release();
    Ref lowered = Ref::steal(
        exact ? PyObject_CallOneArg(str_lower, text_value.get())
              : PyObject_CallMethodObjArgs(text_value.get(), name(STR("lower")), nullptr));
    if (PyUnicode_CheckExact(lowered.get()) && PyUnicode_CheckExact(suffix.get())) {
        const Py_ssize_t ends =
            PyUnicode_Tailmatch(lowered.get(), suffix.get(), 0, PY_SSIZE_T_MAX, 1);
        if (ends < 0) throw PythonError{};
        return ends != 0;
    }
    return truth(Ref::steal(
        PyObject_CallMethodObjArgs(lowered.get(), name(STR("endswith")), suffix.get(), nullptr)));
}

Items::Items(const Ref& iterable) {
    // CPython walks an exact list by index, as its iterator does; PyPy would copy it for C.
#ifndef PYPY_VERSION
    if (PyList_CheckExact(iterable.get())) {
        list_ = iterable;
        return;
    }
#endif
    iterator_ = Ref::steal(PyObject_GetIter(iterable.get()));
}

Ref concat(std::initializer_list<PyObject*> parts) {
    Ref joined = text(STR(""));
    for (PyObject* part : parts) {
        Ref piece = PyUnicode_CheckExact(part) ? Ref::borrow(part)
                                               : Ref::steal(PyObject_Format(part, name(STR(""))));
        joined = Ref::steal(PyUnicode_Concat(joined.get(), piece.get()));
    }
    return joined;
}

std::pair<Ref, Ref> unpack_pair(const Ref& value) {
    Ref iterator = Ref::steal(PyObject_GetIter(value.get()));
    Ref items[3];
    Py_ssize_t got = 0;
    while (got < 3 && (items[got] = Ref::steal_maybe(PyIter_Next(iterator.get())))) ++got;
    if (PyErr_Occurred()) throw PythonError{};
    if (got == 2) return {items[0], items[1]};
    if (got < 2)
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                     got == 1 ? "" : "s");
    else
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    throw PythonError{};
}

namespace {

// A module of that name already registered in sys.modules, or an empty Ref.
Ref registered_module(PyObject* module_name) {
    PyObject* found = PyDict_GetItemWithError(PyImport_GetModuleDict(), module_name);
    if (!found && PyErr_Occurred()) throw PythonError{};
    return Ref::borrow(found);
}

// `from module import names...` into values, one per name: an attribute or else a submodule.
void import_names(Constant& module, std::initializer_list<Constant*> names, Ref* values) {
    PyObject* module_name = name(module);
    Ref imported = registered_module(module_name);
    bool complete = static_cast<bool>(imported);
    for (Constant* n : names) complete = complete && attr_if_present(imported.get(), name(*n));
    if (!complete) {
        PyObject* wanted[2];
        std::size_t count = 0;
        for (Constant* n : names) wanted[count++] = name(*n);
        Ref fromlist = tuple_of(wanted, count);
        imported = Ref::steal(PyImport_ImportModuleLevelObject(
            module_name, state::module_dict, nullptr, fromlist.get(), 0));
    }
    for (Constant* n : names) {
        Ref value = attr_if_present(imported.get(), name(*n));
        if (!value) {
            Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name, name(*n)));
            value = registered_module(full_name.get());
        }
        if (!value) {
            PyErr_Format(PyExc_ImportError, "cannot import name %S", name(*n));
            throw PythonError{};
        }
        *values++ = value;
    }
}

}  // namespace

Ref from_import(Constant& module, Constant& attr_name) {
    Ref value;
    import_names(module, {&attr_name}, &value);
    return value;
}

std::pair<Ref, Ref> from_import(Constant& module, Constant& first, Constant& second) {
    Ref values[2];
    import_names(module, {&first, &second}, values);
    return {std::move(values[0]), std::move(values[1])};
}

void cache_builtins() {
    const struct { Constant& name; PyObject*& held; } builtins[] = {
        {STR("open"), state::builtin_open}, {STR("print"), state::builtin_print}};
    for (const auto& builtin : builtins) {
        PyObject* value = look_builtin_up(name(builtin.name));
        if (!value) throw PythonError{};
        // Stored before the old value is released, whose finaliser may read it.
        PyObject* old = builtin.held;
        builtin.held = value;
        Py_XDECREF(old);
    }
}

HandledError::HandledError() {
    // Handled as an `except` clause sees it: normalised, its traceback on the exception.
    PyObject *type = type_.release(), *value = value_.release(), *traceback = traceback_.release();
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    type_ = Ref::steal_maybe(type);
    value_ = Ref::steal_maybe(value);
    traceback_ = Ref::steal_maybe(traceback);
    PyErr_GetExcInfo(&handled_type_, &handled_value_, &handled_traceback_);
    PyErr_SetExcInfo(Ref(type_).release(), Ref(value_).release(), Ref(traceback_).release());
}

HandledError::~HandledError() noexcept(false) {
    if (!may_touch_objects()) return;
    // What the restore lets go is held first, then released as any reference is.
    PyObject *type, *value, *traceback;
    PyErr_GetExcInfo(&type, &value, &traceback);
    const Ref let_go[] = {Ref::steal_maybe(type), Ref::steal_maybe(value),
                          Ref::steal_maybe(traceback), Ref::borrow(handled_type_),
                          Ref::borrow(handled_traceback_)};
    PyErr_SetExcInfo(handled_type_, handled_value_, handled_traceback_);
}

#ifdef KORVEX_THREADS_END_BY_UNWINDING
bool holds_lock_while_finalising() {
    // The thread state holding the lock, compared with this thread's own.
#if PY_VERSION_HEX >= 0x030D0000
    PyThreadState* holder = PyThreadState_GetUnchecked();
#else
    PyThreadState* holder = _PyThreadState_UncheckedGet();
#endif
    return holder && holder == PyGILState_GetThisThreadState();
}

void release_later(PyObject* object) noexcept {
    try {
        state::deferred_releases.push_back(object);
    } catch (const std::exception&) {
        // Out of memory during an unwinding: the reference is kept rather than risk a finaliser.
    }
}

void release_deferred_references() {
    if (!may_touch_objects()) return;
    // Taken off one at a time: a finaliser run by a release may call the module again.
    while (!state::deferred_releases.empty()) {
        PyObject* object = state::deferred_releases.back();
        state::deferred_releases.pop_back();
        Py_DECREF(object);
    }
}
#endif

}  // namespace korvex
