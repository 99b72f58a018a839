// The helpers the function bodies are written in (see core.h).
#include "binding/core.h"
#include "binding/state.h"

#include <unordered_map>

namespace korvex {

namespace {

// Constant strings by the address of their literal. Identical literals of different files may
// have different addresses; they then share the interned object all the same.
std::unordered_map<const char*, PyObject*>& constant_table() {
    static auto* table = new std::unordered_map<const char*, PyObject*>();
    return *table;
}

// The builtins `open` and `print` as they were at start-up, held for the process.
PyObject* g_open = nullptr;
PyObject* g_print = nullptr;

}  // namespace

PyObject* name(const char* literal) {
    auto& table = constant_table();
    auto found = table.find(literal);
    if (found != table.end()) return found->second;
    PyObject* interned = PyUnicode_InternFromString(literal);
    if (!interned) throw PythonError{};
    if (PyObject_Hash(interned) == -1) { Py_DECREF(interned); throw PythonError{}; }
    table.emplace(literal, interned);  // kept for the life of the process
    return interned;
}

Ref none() { return Ref::borrow(Py_None); }
Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
Ref integer(long value) { return Ref::steal(PyLong_FromLong(value)); }

PyObject* module_namespace() { return state::module_dict; }
PyObject* builtins_module() { return state::builtins; }

Ref global(const char* global_name) {
    PyObject* key = name(global_name);
    PyObject* found = PyDict_GetItemWithError(module_namespace(), key);
    if (found) return Ref::borrow(found);
    if (PyErr_Occurred()) throw PythonError{};
    PyObject* builtin = PyObject_GetAttr(builtins_module(), key);
    if (builtin) return Ref::steal(builtin);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    }
    throw PythonError{};
}

void set_global(const char* global_name, const Ref& value) {
    check(PyDict_SetItem(module_namespace(), name(global_name), value.get()));
}

Ref attr(PyObject* object, const char* attr_name) {
    return Ref::steal(PyObject_GetAttr(object, name(attr_name)));
}

void set_attr(PyObject* object, const char* attr_name, PyObject* value) {
    check(PyObject_SetAttr(object, name(attr_name), value));
}

Ref tuple_of(std::initializer_list<PyObject*> items) {
    Ref result = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        Py_INCREF(item);
        PyTuple_SET_ITEM(result.get(), i++, item);
    }
    return result;
}

Ref call_object(PyObject* callable, PyObject* args, PyObject* kwargs) {
    return Ref::steal(PyObject_Call(callable, args, kwargs));
}

bool truth(PyObject* object) {
    if (object == Py_True) return true;
    if (object == Py_False || object == Py_None) return false;
    return check(PyObject_IsTrue(object)) != 0;
}

namespace {
bool compare(PyObject* a, PyObject* b, int op) {
    Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
    return truth(result);
}
}  // namespace

bool equals(PyObject* a, PyObject* b) { return compare(a, b, Py_EQ); }
bool not_equals(PyObject* a, PyObject* b) { return compare(a, b, Py_NE); }
bool less_than(PyObject* a, PyObject* b) { return compare(a, b, Py_LT); }

bool is_instance(const Ref& object, const Ref& cls) {
    return check(PyObject_IsInstance(object.get(), cls.get())) != 0;
}

Ref subtract(const Ref& a, const Ref& b) { return Ref::steal(PyNumber_Subtract(a.get(), b.get())); }
Ref true_divide(const Ref& a, const Ref& b) {
    return Ref::steal(PyNumber_TrueDivide(a.get(), b.get()));
}
Ref add(const Ref& a, const Ref& b) { return Ref::steal(PyNumber_Add(a.get(), b.get())); }

Ref to_int(const Ref& value) {
    if (PyLong_CheckExact(value.get())) return value;
    return call(Ref::borrow(reinterpret_cast<PyObject*>(&PyLong_Type)), value);
}

Ref as_text(const Ref& value) {
    if (PyUnicode_CheckExact(value.get())) return value;
    return Ref::steal(PyObject_Format(value.get(), name("")));
}

Ref concat(std::initializer_list<PyObject*> parts) {
    Ref joined = Ref::borrow(name(""));
    for (PyObject* part : parts) {
        Ref piece = as_text(Ref::borrow(part));
        joined = Ref::steal(PyUnicode_Concat(joined.get(), piece.get()));
    }
    return joined;
}

Ref os_path(const char* function) { return attr(attr(global("os"), "path"), function); }

bool path_exists(const Ref& path) { return truth(call(os_path("exists"), path)); }

Ref item_at(const Ref& sequence, Py_ssize_t index) {
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    return Ref::steal(PyObject_GetItem(sequence.get(), key.get()));
}

void load_assembly(const char* file_name) { call(global("load_dll"), text(file_name)); }

Ref import_module(const char* module) {
    return Ref::steal(
        PyImport_ImportModuleLevelObject(name(module), module_namespace(), nullptr, nullptr, 0));
}

namespace {

// A module of that name already registered in sys.modules, or an empty Ref.
Ref registered_module(PyObject* module_name) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* found = PyDict_GetItemWithError(modules, module_name);
    if (!found && PyErr_Occurred()) throw PythonError{};
    return Ref::borrow(found);
}

bool has_attribute(const Ref& object, PyObject* attr_name) {
    PyObject* value = PyObject_GetAttr(object.get(), attr_name);
    if (value) { Py_DECREF(value); return true; }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    return false;
}

// The attribute of an imported module, or the submodule of that name, or ImportError.
Ref imported_name(const Ref& module, PyObject* module_name, PyObject* attr_name) {
    PyObject* value = PyObject_GetAttr(module.get(), attr_name);
    if (value) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name, attr_name));
    Ref submodule = registered_module(full_name.get());
    if (submodule) return submodule;
    PyErr_Format(PyExc_ImportError, "cannot import name %S", attr_name);
    throw PythonError{};
}

}  // namespace

std::vector<Ref> from_import(const char* module, std::initializer_list<const char*> names) {
    PyObject* module_name = name(module);
    Ref imported = registered_module(module_name);
    bool complete = static_cast<bool>(imported);
    for (const char* n : names) {
        if (!complete) break;
        complete = has_attribute(imported, name(n));
    }
    if (!complete) {
        Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
        Py_ssize_t i = 0;
        for (const char* n : names) {
            PyObject* item = name(n);
            Py_INCREF(item);
            PyTuple_SET_ITEM(fromlist.get(), i++, item);
        }
        imported = Ref::steal(PyImport_ImportModuleLevelObject(
            module_name, module_namespace(), nullptr, fromlist.get(), 0));
    }
    std::vector<Ref> values;
    for (const char* n : names) values.push_back(imported_name(imported, module_name, name(n)));
    return values;
}

Ref from_import(const char* module, const char* attr_name) {
    return std::move(from_import(module, {attr_name})[0]);
}

void cache_builtins() {
    for (const char* builtin : {"open", "print"}) {
        PyObject* value = PyObject_GetAttr(builtins_module(), name(builtin));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name(builtin));
            }
            throw PythonError{};
        }
        PyObject*& slot = builtin[0] == 'o' ? g_open : g_print;
        Py_XDECREF(slot);
        slot = value;
    }
}

Ref cached_open() { return Ref::borrow(g_open); }
Ref cached_print() { return Ref::borrow(g_print); }

void set_context(PyObject* raised, PyObject* handled) {
    if (!raised || !handled || raised == handled) {
        Py_XDECREF(handled);
        return;
    }
    // Walk the contexts of `handled`; the slow pointer (advancing every other step) ends the
    // walk on a cycle that was there before.
    PyObject* link = handled;
    PyObject* slow = handled;
    bool advance_slow = false;
    while (PyObject* context = PyException_GetContext(link)) {
        Py_DECREF(context);  // still held by `link`
        if (context == raised) {
            PyException_SetContext(link, nullptr);
            break;
        }
        link = context;
        if (link == slow) break;
        if (advance_slow) {
            slow = PyException_GetContext(slow);
            Py_DECREF(slow);
        }
        advance_slow = !advance_slow;
    }
    PyException_SetContext(raised, handled);
}

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

void raise(PyObject* type, const Ref& argument) {
    PyErr_SetObject(type, argument.get());
    throw PythonError{};
}

}  // namespace korvex
