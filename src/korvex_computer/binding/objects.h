// The object protocol as the bodies use it: globals, attributes, calls, comparisons, items,
// numbers, imports and the builtins kept from start-up.
#pragma once

#include "binding/constants.h"

#include <cstring>
#include <initializer_list>

namespace korvex {

namespace state {
inline PyObject* module_dict = nullptr;  // the module's namespace: every global and function
inline PyObject* builtin_open = nullptr;
inline PyObject* builtin_print = nullptr;
}  // namespace state

// ---- module namespace --------------------------------------------------------------------

#ifdef KORVEX_REMEMBERS_GLOBALS
inline uint64_t namespace_version() {
    return reinterpret_cast<PyDictObject*>(state::module_dict)->ma_version_tag;
}
#endif

// A global looked up now: the namespace, then builtins, else NameError; null with the error set.
PyObject* look_global_up(Constant& name);
inline PyObject* lookup_global(Constant& name) {
#ifdef KORVEX_REMEMBERS_GLOBALS
    if (name.global_version == namespace_version()) {
        Py_INCREF(name.global_value);
        return name.global_value;
    }
#endif
    return look_global_up(name);
}
inline Ref global(Constant& name) { return Ref::steal(lookup_global(name)); }
inline void set_global(Constant& global_name, const Ref& value) {
    check(PyDict_SetItem(state::module_dict, name(global_name), value.get()));
}

// ---- objects ------------------------------------------------------------------------------

inline Ref attr(PyObject* object, Constant& attr_name) {
    return Ref::steal(PyObject_GetAttr(object, name(attr_name)));
}
inline Ref attr(const Ref& object, Constant& attr_name) { return attr(object.get(), attr_name); }
// The attribute, or an empty Ref when getting it raises AttributeError.
Ref attr_if_present(PyObject* object, PyObject* attr_name);
inline void set_attr(const Ref& object, Constant& attr_name, const Ref& value) {
    check(PyObject_SetAttr(object.get(), name(attr_name), value.get()));
}

Ref tuple_of(PyObject* const* items, std::size_t count);
inline Ref tuple_of(std::initializer_list<PyObject*> items) {
    return tuple_of(items.begin(), items.size());
}
template <class... A>
Ref tuple(const A&... items) { return tuple_of({raw(items)...}); }

inline Ref call_object(PyObject* callable, PyObject* args, PyObject* kwargs = nullptr) {
    return Ref::steal(PyObject_Call(callable, args, kwargs));
}
template <class... A>
Ref call(const Ref& callable, const A&... args) {
    Ref argtuple = tuple(args...);
    return call_object(callable.get(), argtuple.get());
}
struct Keyword {
    Constant& name;
    Ref value;
};
// `callable(*positional, name=value, ...)`
Ref call_with_keywords(const Ref& callable, const Ref& positional,
                       std::initializer_list<Keyword> keywords);
template <class... A>
Ref call_method(const Ref& object, Constant& method, const A&... args) {
    return call(attr(object, method), args...);
}

// Truth tests and comparisons by the object protocols; truth_value gives 1, 0, or -1 on error.
inline int truth_value(PyObject* object) {
    if (object == Py_True) return 1;
    if (object == Py_False || object == Py_None) return 0;
    return PyObject_IsTrue(object);
}
inline bool truth(PyObject* object) { return check(truth_value(object)) != 0; }
inline bool truth(const Ref& object) { return truth(object.get()); }
// Exact texts compare without running code: answered directly where the string layout is known.
#ifdef KORVEX_COMPARES_TEXTS
inline bool is_plain_text(PyObject* o) { return PyUnicode_CheckExact(o) && PyUnicode_IS_READY(o); }
// Equality of two plain texts as str's == decides it.
inline bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    if (length != PyUnicode_GET_LENGTH(b) || kind != static_cast<int>(PyUnicode_KIND(b)))
        return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<std::size_t>(length) * static_cast<std::size_t>(kind)) == 0;
}
#endif
// `a op b` by the rich comparison protocol, taken as a truth.
inline bool compare(PyObject* a, PyObject* b, int op) {
    return truth(Ref::steal(PyObject_RichCompare(a, b, op)));
}
inline bool equals(PyObject* a, PyObject* b, bool equal = true) {
#ifdef KORVEX_COMPARES_TEXTS
    if (is_plain_text(a) && is_plain_text(b)) return same_text(a, b) == equal;
#endif
    return compare(a, b, equal ? Py_EQ : Py_NE);
}
inline bool not_equals(PyObject* a, PyObject* b) { return equals(a, b, false); }
inline bool less_than(PyObject* a, PyObject* b) { return compare(a, b, Py_LT); }
inline bool equals_none(const Ref& a) { return compare(a.get(), Py_None, Py_EQ); }
inline bool not_equals_none(const Ref& a) { return compare(a.get(), Py_None, Py_NE); }
inline bool is_instance(const Ref& object, const Ref& cls) {
    return check(PyObject_IsInstance(object.get(), cls.get())) != 0;
}
// True when wanted, a text, is in an exact list by identity with only texts before it.
inline bool found_by_identity(PyObject* sequence, PyObject* wanted) {
#ifdef KORVEX_COMPARES_TEXTS
    if (PyList_CheckExact(sequence) && PyUnicode_CheckExact(wanted)) {
        const Py_ssize_t size = PyList_GET_SIZE(sequence);
        PyObject** entries = reinterpret_cast<PyListObject*>(sequence)->ob_item;
        for (Py_ssize_t i = 0; i < size && PyUnicode_CheckExact(entries[i]); ++i)
            if (entries[i] == wanted) return true;
    }
#endif
    return false;
}
// `value in global`: at the version the global was seen, an identity hit needs no look-up.
bool global_contains_by_lookup(Constant& global_name, const Ref& value);
inline bool global_contains(Constant& global_name, const Ref& value) {
#ifdef KORVEX_REMEMBERS_GLOBALS
    if (global_name.global_version == namespace_version() &&
        found_by_identity(global_name.global_value, value.get()))
        return true;
#endif
    return global_contains_by_lookup(global_name, value);
}
// `container[key]`, an exact dictionary read directly; the key is held for the process.
Ref item_by_protocol(const Ref& container, Constant& key);
inline Ref item(const Ref& container, Constant& key) {
    if (PyDict_CheckExact(container.get())) {
        if (PyObject* value = PyDict_GetItemWithError(container.get(), name(key)))
            return Ref::borrow(value);
    }
    return item_by_protocol(container, key);
}
inline bool item_equals(const Ref& container, Constant& key, Constant& expected) {
#ifdef KORVEX_COMPARES_TEXTS
    // A text of an exact dictionary is compared unheld: the comparison runs no code.
    PyObject* dict = container.get();
    PyObject* value = PyDict_CheckExact(dict) ? PyDict_GetItemWithError(dict, name(key)) : nullptr;
    if (value && is_plain_text(value)) return same_text(value, name(expected));
    if (PyErr_Occurred()) throw PythonError{};
#endif
    return equals(item(container, key).get(), name(expected));
}
// `sequence[index]`, by the subscription protocol.
inline Ref item_at(const Ref& sequence, Py_ssize_t index) {
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    return Ref::steal(PyObject_GetItem(sequence.get(), key.get()));
}
// `text.lower().endswith(suffix)`.
bool lower_ends_with(const Ref& text, const Ref& suffix);

// The items of an iterable one by one, as a `for` statement takes them.
class Items {
public:
    explicit Items(const Ref& iterable);
    // The next item, or an empty Ref at the end.
    Ref next() {
        if (list_)
            return index_ < PyList_GET_SIZE(list_.get())
                       ? Ref::borrow(PyList_GET_ITEM(list_.get(), index_++)) : Ref();
        Ref item = Ref::steal_maybe(PyIter_Next(iterator_.get()));
        if (!item && PyErr_Occurred()) throw PythonError{};
        return item;
    }

private:
    Ref list_;      // an exact list, walked by index
    Ref iterator_;  // anything else
    Py_ssize_t index_ = 0;
};

// Number operations by the generic protocols (add also concatenates texts).
inline Ref subtract(const Ref& a, const Ref& b) {
    return Ref::steal(PyNumber_Subtract(a.get(), b.get()));
}
inline Ref true_divide(const Ref& a, const Ref& b) {
    return Ref::steal(PyNumber_TrueDivide(a.get(), b.get()));
}
inline Ref add(const Ref& a, const Ref& b) { return Ref::steal(PyNumber_Add(a.get(), b.get())); }
// Integer conversion as `int(value)`, an exact integer passing unchanged.
inline Ref to_int(const Ref& value) {
    if (PyLong_CheckExact(value.get())) return value;
    return call(Ref::borrow(reinterpret_cast<PyObject*>(&PyLong_Type)), value);
}
// Concatenation of the texts of the given parts, each itself when text, else format(part, "").
Ref concat(std::initializer_list<PyObject*> parts);
// `first, second = value`: both values, or ValueError unless exactly two come out.
std::pair<Ref, Ref> unpack_pair(const Ref& value);

// A function of `os.path`, `os` being looked up as a global now; `os.path.exists(path)`.
inline Ref os_path(Constant& function) {
    return attr(attr(global(STR("os")), STR("path")), function);
}
inline bool path_exists(const Ref& path) { return truth(call(os_path(STR("exists")), path)); }

// `from module import a` and `from module import a, b`, made at every call; a registered
// module that already has the names is used as it is.
Ref from_import(Constant& module, Constant& name);
std::pair<Ref, Ref> from_import(Constant& module, Constant& first, Constant& second);

// The builtins as they were at start-up.
inline Ref cached_open() { return Ref::borrow(state::builtin_open); }
template <class... A>
void print(const A&... args) { call(Ref::borrow(state::builtin_print), args...); }

}  // namespace korvex
