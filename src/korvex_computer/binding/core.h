// The binding core shared by every family of module functions: the reference handle, failure
// reporting, constant strings and the helpers the bodies are written in (fast paths included).
//
// The rule of this core: no borrowed pointer and no reference into storage of the module that
// can move or be cleared is held across a call that can run Python code (a dictionary look-up
// with a key that is not text, a comparison, a release, an allocation that can collect). What a
// cache keeps is either beyond any script's reach (interned texts, code objects, messages) or
// checked before each use, and each cache names the gain it was measured to bring.
#pragma once

#include "binding/build_gates.h"

#include <cstdint>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <new>
#include <utility>
#include <vector>

#include "binding/string_table.h"

namespace korvex {

// Thrown when a C API call failed, the Python error staying set; run_guarded turns it into NULL.
struct PythonError {};

// Process-wide state, written by the module's create and execution steps; plain pointers, so
// that no static destructor releases them after the interpreter has gone.
namespace state {
inline int64_t first_interpreter_id = -1;
inline PyObject* module = nullptr;       // the one module object, once an execution step took it
inline PyObject* module_dict = nullptr;  // its namespace: every module global and function
inline PyObject* builtins = nullptr;     // the interpreter's builtins module
inline PyObject* builtin_open = nullptr;
inline PyObject* builtin_print = nullptr;
}  // namespace state

// ---- threads ended at exit ---------------------------------------------------------------------

// A finalising CPython ends a daemon thread that asks for the interpreter lock by a forced
// unwinding of its stack, through the module's frames and without the lock. Such a thread must
// touch no object (what it does not release then is a leak the exiting process never sees), and
// its unwinding must meet no noexcept frame and no other exception being unwound: so no
// destructor that runs during an unwinding releases the last reference to an object, whose
// finaliser could give the lock up; run_guarded releases it once the exception is caught.
#ifdef KORVEX_THREADS_END_BY_UNWINDING
// Whether the interpreter finalises, asked of the interpreter itself, not of an exit function,
// which a script can clear, run early or fork.
inline bool interpreter_finalising() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}
// False on a thread that the finalising interpreter is ending.
bool holds_lock_while_finalising();
inline bool may_touch_objects() {
    return !interpreter_finalising() || holds_lock_while_finalising();
}
namespace state {
inline std::vector<PyObject*> deferred_releases;  // owned references; see release_reference
}
void release_later(PyObject* object) noexcept;
void release_deferred_references();
inline void release_deferred() {
    if (!state::deferred_releases.empty()) release_deferred_references();
}
#else
inline bool may_touch_objects() { return true; }
inline void release_deferred() {}
#endif

inline void release_reference(PyObject* object) {
    if (!object) return;
#ifdef KORVEX_THREADS_END_BY_UNWINDING
    if (!may_touch_objects()) return;
    if (Py_REFCNT(object) == 1 && std::uncaught_exceptions() != 0) return release_later(object);
#endif
    Py_DECREF(object);
}

// Owns one strong reference, or none. A release can run Python code and the forced unwinding.
class Ref {
public:
    Ref() = default;
    Ref(const Ref& other) : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    ~Ref() noexcept(false) { release_reference(p_); }
    Ref& operator=(Ref other) { std::swap(p_, other.p_); return *this; }

    // Takes over a new reference; NULL means the call that produced it failed.
    static Ref steal(PyObject* p) { if (!p) throw PythonError{}; Ref r; r.p_ = p; return r; }
    // Takes over a new reference that may be NULL without an error (an absent value).
    static Ref steal_maybe(PyObject* p) { Ref r; r.p_ = p; return r; }
    static Ref borrow(PyObject* p) { Ref r; r.p_ = p; Py_XINCREF(p); return r; }

    PyObject* get() const { return p_; }
    PyObject* release() { PyObject* p = p_; p_ = nullptr; return p; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

inline PyObject* raw(const Ref& r) { return r.get(); }
inline PyObject* raw(PyObject* p) { return p; }

// Throws when a C API call reported failure through its int result.
inline int check(int rc) { if (rc < 0) throw PythonError{}; return rc; }

// ---- constant strings ----------------------------------------------------------------------

// The interned, hashed str of a text of the string table, made by the module's first step and
// held for the process, so that no use can fail; a global's name also remembers its last value.
struct Constant {
    PyObject* object = nullptr;
    // (object,): an exception raised with it as its argument tuple is made with one call, not
    // through a tuple of its own (a caught OSError of the set-up guard: 3,662 -> 3,462).
    PyObject* as_arguments = nullptr;
    uint64_t global_version = 0;       // namespace version at which global_value was seen
    PyObject* global_value = nullptr;  // borrowed from the namespace, valid at that version only
};
constexpr int kConstantCount = static_cast<int>(sizeof kConstantTexts / sizeof kConstantTexts[0]);
inline Constant g_constants[kConstantCount];

constexpr int constant_index(const char* text) {
    for (int i = 0; i < kConstantCount; ++i) {
        const char *a = kConstantTexts[i], *b = text;
        while (*a && *a == *b) ++a, ++b;
        if (*a == *b) return i;
    }
    return -1;
}
template <int I>
Constant& constant_at() {
    static_assert(I >= 0, "a constant string missing from binding/string_table.h");
    return g_constants[I];
}
// The constant of a text, found while compiling.
#define STR(literal) (::korvex::constant_at<::korvex::constant_index(literal)>())

// Makes the constants not made yet; false with the error set.
bool make_constants();
inline PyObject* name(Constant& constant) { return constant.object; }  // borrowed, for good
inline Ref text(Constant& constant) { return Ref::borrow(constant.object); }

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref integer(long value) { return Ref::steal(PyLong_FromLong(value)); }

// ---- module namespace --------------------------------------------------------------------

// CPython up to 3.11 changes a dictionary's version tag with every change of its contents, so a
// global found at the namespace's current version is still what a look-up would find. Measured
// gain: load_dll 1,009 -> 734 instructions a call, by keyword 1,485 -> 1,210, the set-up
// guard's refusal 3,801 -> 3,671.
#ifdef KORVEX_REMEMBERS_GLOBALS
inline uint64_t namespace_version() {
    return reinterpret_cast<PyDictObject*>(state::module_dict)->ma_version_tag;
}
#endif

// A module global looked up at the moment of use: the namespace, then builtins, else NameError.
// A new reference, or null with the error set.
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
// A keyword argument of call_with_keywords.
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
// Exact texts compare without side effects: on CPython, where the string layout is known, ==
// and != on them and `in` over a list of them are answered directly.
#ifdef KORVEX_COMPARES_TEXTS
inline bool is_plain_text(PyObject* o) { return PyUnicode_CheckExact(o) && PyUnicode_IS_READY(o); }
// Equality of two plain texts as str's == decides it.
inline bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    if (length != PyUnicode_GET_LENGTH(b) || kind != static_cast<int>(PyUnicode_KIND(b)))
        return false;
    const Py_hash_t hash_a = reinterpret_cast<PyASCIIObject*>(a)->hash;
    const Py_hash_t hash_b = reinterpret_cast<PyASCIIObject*>(b)->hash;
    if (hash_a != -1 && hash_b != -1 && hash_a != hash_b) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<std::size_t>(length) * static_cast<std::size_t>(kind)) == 0;
}
#endif
// `a op b` by the rich comparison protocol, taken as a truth.
bool compare(PyObject* a, PyObject* b, int op);
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
// `value in container`, by the containment protocol.
bool contains_past_identity(PyObject* sequence, PyObject* wanted);
// True when wanted, a plain text, is in an exact list by identity with only plain texts before
// it, as the protocol would find it with no comparison that runs code. Runs no code itself.
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
inline bool contains(const Ref& container, const Ref& value) {
    return found_by_identity(container.get(), value.get()) ||
           contains_past_identity(container.get(), value.get());
}
// `value in global`. While the namespace is at the version at which the global was seen, an
// identity hit is found in it unheld, with nothing run in between (load_dll with its name the
// only one loaded: 604 -> 595 instructions).
inline bool global_contains(Constant& global_name, const Ref& value) {
#ifdef KORVEX_REMEMBERS_GLOBALS
    if (global_name.global_version == namespace_version() &&
        found_by_identity(global_name.global_value, value.get()))
        return true;
#endif
    return contains(global(global_name), value);
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
// `container[key] == expected`. A text read from an exact dictionary is compared unheld, with
// nothing run in between (FindSolverPaths over 200 families: 101,814 -> 94,470 instructions).
inline bool item_equals(const Ref& container, Constant& key, Constant& expected) {
#ifdef KORVEX_COMPARES_TEXTS
    if (PyDict_CheckExact(container.get())) {
        PyObject* value = PyDict_GetItemWithError(container.get(), name(key));
        if (value && is_plain_text(value)) return same_text(value, name(expected));
        if (!value) item_by_protocol(container, key);  // raises the look-up's error or KeyError
        return equals(Ref::borrow(value).get(), name(expected));
    }
#endif
    return equals(item(container, key).get(), name(expected));
}
// `sequence[index]`, by the subscription protocol.
Ref item_at(const Ref& sequence, Py_ssize_t index);
// `text.lower().endswith(suffix)`.
bool lower_ends_with(const Ref& text, const Ref& suffix);

// The items of an iterable one by one, as a `for` statement takes them.
class Items {
public:
    explicit Items(const Ref& iterable);
    // The next item, or an empty Ref at the end.
    Ref next() {
        if (!list_) return next_from_iterator();
        if (index_ >= PyList_GET_SIZE(list_.get())) return Ref();
        return Ref::borrow(PyList_GET_ITEM(list_.get(), index_++));
    }

private:
    Ref next_from_iterator();
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
Ref to_int(const Ref& value);
// Concatenation of the texts of the given parts, each itself when text, else format(part, "").
Ref concat(std::initializer_list<PyObject*> parts);
// `first, second = value`: both values, or ValueError unless exactly two come out.
std::pair<Ref, Ref> unpack_pair(const Ref& value);

// A function of `os.path`, `os` being looked up as a global now; `os.path.exists(path)`.
Ref os_path(Constant& function);
inline bool path_exists(const Ref& path) { return truth(call(os_path(STR("exists")), path)); }

// ---- imports ------------------------------------------------------------------------------

// `import module`, absolute, with the module namespace as globals.
inline Ref import_module(Constant& module) {
    return Ref::steal(
        PyImport_ImportModuleLevelObject(name(module), state::module_dict, nullptr, nullptr, 0));
}
// `from module import a` and `from module import a, b`, made at every call; a registered
// module that already has the names is used as it is.
Ref from_import(Constant& module, Constant& name);
std::pair<Ref, Ref> from_import(Constant& module, Constant& first, Constant& second);

// `load_dll(file_name)`, the module function being looked up by name now.
inline void load_assembly(Constant& file_name) { call(global(STR("load_dll")), text(file_name)); }

// ---- builtins as they were at start-up ----------------------------------------------------

void cache_builtins();  // called by the execution step
inline Ref cached_open() { return Ref::borrow(state::builtin_open); }
template <class... A>
void print(const A&... args) { call(Ref::borrow(state::builtin_print), args...); }

// ---- raising and catching --------------------------------------------------------------------

[[noreturn]] void raise(PyObject* type, const Ref& argument);
[[noreturn]] void raise(PyObject* type, Constant& message);

// Runs a step where the interpreter calls into the module: true on success, false with the
// error set. The module throws nothing else than what is caught here, so no C++ exception gets
// past it; the forced unwinding of a thread being ended (see above) matches no clause.
template <class F>
bool run_guarded(F&& step) {
    bool succeeded = false;
    try {
        step();
        succeeded = true;
    } catch (PythonError&) {
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception&) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in korvex_computer");
    }
    release_deferred();
    return succeeded;
}

// The exception being raised, taken out untouched while other code runs; restore() sets it
// again. Unless restored, it is dropped with this.
class SetAsideError {
public:
    SetAsideError();
    SetAsideError(const SetAsideError&) = delete;
    SetAsideError& operator=(const SetAsideError&) = delete;

    const Ref& type() const { return type_; }
    const Ref& value() const { return value_; }
    const Ref& traceback() const { return traceback_; }
    // Sets it again as the exception being raised.
    void restore() { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }
    [[noreturn]] void raise_again() { restore(); throw PythonError{}; }

protected:
    Ref type_, value_, traceback_;
};

// The exception being raised, taken out and handled as an `except` or `finally` clause handles
// it: while this lives it is what sys.exc_info() gives and the __context__ of any exception
// raised meanwhile; leaving puts the one handled before back.
class HandledError : public SetAsideError {
public:
    HandledError();
    ~HandledError() noexcept(false);

private:
    PyObject *handled_type_ = nullptr, *handled_value_ = nullptr, *handled_traceback_ = nullptr;
};

// `try: body except Exception as error: handler(error)`, by default `pass`; false when an
// exception was caught.
template <class F, class H = void (*)(const Ref&)>
bool except_exception(F&& body, H&& handler = [](const Ref&) {}) {
    try {
        body();
        return true;
    } catch (PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        HandledError error;
        handler(error.value());
        return false;
    }
}

// ---- one call of a module function -------------------------------------------------------------

// The running call: which step it is at, for the traceback entry of an exception.
struct Call {
    int line;
    void at(int step_line) { line = step_line; }
};

// `try: body finally: finally`, the clause being one step at finally_line. An exception that
// propagates through the clause keeps the line of the step that raised it.
template <class F, class G>
void try_finally(Call& c, int finally_line, F&& body, G&& finally) {
    auto run_finally = [&] {
        const int body_line = c.line;
        c.at(finally_line);
        finally();
        c.at(body_line);
    };
    try {
        body();
    } catch (PythonError&) {
        HandledError error;
        run_finally();
        error.raise_again();
    }
    run_finally();
}

// `with manager as handle: body(handle)`, the statement at line; an exception that propagates
// keeps its own line.
template <class F>
void with_statement(Call& c, int line, const Ref& manager, F&& body) {
    Ref manager_type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(manager.get())));
    Ref exit = attr(manager_type, STR("__exit__"));
    Ref handle = call(attr(manager_type, STR("__enter__")), manager);
    try {
        body(handle);
    } catch (PythonError&) {
        HandledError error;
        const int body_line = c.line;
        c.at(line);
        const Ref traceback = error.traceback() ? error.traceback() : none();
        if (truth(call(exit, manager, error.type(), error.value(), traceback))) return;
        c.at(body_line);
        error.raise_again();
    }
    c.at(line);
    call(exit, manager, none(), none(), none());
}

// `for item in iterable: visit(item)`, the `for` statement's line set whenever an item is fetched.
template <class F>
void for_each(Call& c, int for_line, const Ref& iterable, F&& visit) {
    c.at(for_line);
    Items items(iterable);
    while (Ref item = items.next()) {
        visit(item);
        c.at(for_line);
    }
}

using Args = const Ref*;
// A module function's body: its steps, given its bound arguments.
using BodyFunction = Ref(Call&, Args);

}  // namespace korvex
