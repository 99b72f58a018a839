// The helpers the function bodies are written in (see core.h).
#include "binding/core.h"
#include "binding/state.h"

#include <unordered_map>

namespace korvex {

namespace {

// Constants met after the table is half full, should the module ever have that many.
std::unordered_map<const char*, ConstantSlot>& overflow_constants() {
    static auto* table = new std::unordered_map<const char*, ConstantSlot>();
    return *table;
}

std::size_t g_constants_used = 0;

// The builtins `open` and `print` as they were at start-up, held for the process.
PyObject* g_open = nullptr;
PyObject* g_print = nullptr;

}  // namespace

namespace constants {

ConstantSlot slots[kSlotCount];

ConstantSlot* add(const char* literal) {
    auto& overflow = overflow_constants();
    auto found = overflow.find(literal);
    if (found != overflow.end()) return &found->second;
    PyObject* interned = PyUnicode_InternFromString(literal);
    if (!interned) return nullptr;
    if (PyObject_Hash(interned) == -1) {
        Py_DECREF(interned);
        return nullptr;
    }
    // Kept for the life of the process. Past half full the table keeps no more, so that
    // every probe meets a free slot soon.
    if (2 * (g_constants_used + 1) > kSlotCount)
        return &overflow.emplace(literal, ConstantSlot{literal, interned, 0, nullptr}).first->second;
    std::size_t i = first_slot(literal);
    while (slots[i].literal) i = (i + 1) % kSlotCount;
    slots[i] = ConstantSlot{literal, interned, 0, nullptr};
    ++g_constants_used;
    return &slots[i];
}

}  // namespace constants

Ref none() { return Ref::borrow(Py_None); }
Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
Ref integer(long value) { return Ref::steal(PyLong_FromLong(value)); }

PyObject* module_namespace() { return state::module_dict; }
PyObject* builtins_module() { return state::builtins; }

namespace {

// CPython up to 3.11 gives every dictionary a version tag that changes with every change of its
// contents (a store, a deletion, a clear), so a global found at the namespace's current
// version is still the value that a lookup would find. Builtins are never remembered.
#if !defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030C0000
#define KORVEX_REMEMBERS_GLOBALS 1
inline uint64_t namespace_version() {
    return reinterpret_cast<PyDictObject*>(module_namespace())->ma_version_tag;
}
#endif

}  // namespace

PyObject* lookup_global(const char* global_name) {
    ConstantSlot* slot = constant_slot(global_name);
    if (!slot) return nullptr;
#ifdef KORVEX_REMEMBERS_GLOBALS
    const uint64_t version = namespace_version();
    if (slot->global_version == version) {
        Py_INCREF(slot->global_value);
        return slot->global_value;
    }
#endif
    PyObject* key = slot->object;
    PyObject* found = PyDict_GetItemWithError(module_namespace(), key);
    if (found) {
#ifdef KORVEX_REMEMBERS_GLOBALS
        // The version read before the lookup: should the lookup itself have changed the
        // namespace, the entry is already stale.
        slot->global_version = version;
        slot->global_value = found;
#endif
        Py_INCREF(found);
        return found;
    }
    if (PyErr_Occurred()) return nullptr;
    PyObject* builtin = PyObject_GetAttr(builtins_module(), key);
    if (builtin) return builtin;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    }
    return nullptr;
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

namespace {

bool compare(PyObject* a, PyObject* b, int op) {
#ifndef PYPY_VERSION
    // Two exact texts compare without side effects: answered here, as str's == answers.
    if ((op == Py_EQ || op == Py_NE) && PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b) &&
        PyUnicode_IS_READY(a) && PyUnicode_IS_READY(b))
        return same_text(a, b) == (op == Py_EQ);
#endif
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

bool contains(const Ref& container, const Ref& value) {
    PyObject* sequence = container.get();
    PyObject* wanted = value.get();
#ifndef PYPY_VERSION
    // Over a list of exact texts, `in` has no side effects and is answered here: by identity
    // first, then by text. An entry of another kind leaves the whole test to the protocol.
    if (PyList_CheckExact(sequence) && PyUnicode_CheckExact(wanted) && PyUnicode_IS_READY(wanted)) {
        const Py_ssize_t size = PyList_GET_SIZE(sequence);
        PyObject** entries = reinterpret_cast<PyListObject*>(sequence)->ob_item;
        Py_ssize_t i = 0;
        while (i < size && entries[i] != wanted && PyUnicode_CheckExact(entries[i])) ++i;
        if (i < size && entries[i] == wanted) return true;
        if (i == size) {
            for (i = 0; i < size && PyUnicode_IS_READY(entries[i]); ++i)
                if (same_text(entries[i], wanted)) return true;
            if (i == size) return false;
        }
    }
#endif
    return check(PySequence_Contains(sequence, wanted)) != 0;
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
