// The binding core shared by every family of module functions: the owning reference handle,
// the one way of reporting failure, and the few helpers the function bodies are written in.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

namespace korvex {

// Thrown inside our code when a C API call failed; the Python error stays set in the
// interpreter. The boundary wrapper of each module function turns it back into NULL.
struct PythonError {};

// Owns one strong reference, or none.
class Ref {
public:
    Ref() = default;
    Ref(const Ref& other) : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }
    Ref& operator=(Ref other) noexcept { std::swap(p_, other.p_); return *this; }

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

// ---- constants -------------------------------------------------------------------------

// Constant strings are found by the address of their literal in an open-addressed table:
// a lookup is a multiplication and a comparison or two. Each slot also remembers where the
// name last stood in the module namespace (see global()).
struct ConstantSlot {
    const char* literal;  // null while the slot is free
    PyObject* object;     // interned and hashed; held for the life of the process
    uint64_t global_version;  // namespace version at which global_value was seen; 0 for none
    PyObject* global_value;   // borrowed from the namespace, valid at that version only
};

namespace constants {
constexpr std::size_t kSlotBits = 11;  // room for several times the module's constants
constexpr std::size_t kSlotCount = std::size_t{1} << kSlotBits;
extern ConstantSlot slots[kSlotCount];

inline std::size_t first_slot(const char* literal) {
    const uint64_t address = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(literal));
    return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
}
// Interns a literal met for the first time; null with the Python error set on failure.
ConstantSlot* add(const char* literal);
}  // namespace constants

// The slot of a constant string, made on its first use; null with the error set on failure.
inline ConstantSlot* constant_slot(const char* literal) {
    for (std::size_t i = constants::first_slot(literal);; i = (i + 1) % constants::kSlotCount) {
        ConstantSlot& slot = constants::slots[i];
        if (slot.literal == literal) return &slot;
        if (!slot.literal) return constants::add(literal);
    }
}

// The interned text of a constant string of the module (borrowed; lives for the process).
// Each literal is interned and hashed once, on its first use.
inline PyObject* name(const char* literal) {
    ConstantSlot* slot = constant_slot(literal);
    if (!slot) throw PythonError{};
    return slot->object;
}
// A new reference to the same interned constant.
inline Ref text(const char* literal) { return Ref::borrow(name(literal)); }

Ref none();
Ref boolean(bool value);
Ref integer(long value);

// ---- module namespace --------------------------------------------------------------------

PyObject* module_namespace();  // borrowed
PyObject* builtins_module();   // borrowed

// A module global, another module function or an imported module, looked up at the moment
// of use: the module namespace first, then builtins, else NameError. A new reference, or null
// with the error set.
PyObject* lookup_global(const char* name);
inline Ref global(const char* name) { return Ref::steal(lookup_global(name)); }
// Stores a module global in the module namespace.
void set_global(const char* name, const Ref& value);

// ---- objects ------------------------------------------------------------------------------

Ref attr(PyObject* object, const char* name);
inline Ref attr(const Ref& object, const char* name) { return attr(object.get(), name); }
void set_attr(PyObject* object, const char* name, PyObject* value);
inline void set_attr(const Ref& object, const char* name, const Ref& value) {
    set_attr(object.get(), name, value.get());
}

Ref tuple_of(std::initializer_list<PyObject*> items);
template <class... A>
Ref tuple(const A&... items) { return tuple_of({raw(items)...}); }

Ref call_object(PyObject* callable, PyObject* args, PyObject* kwargs = nullptr);
template <class... A>
Ref call(const Ref& callable, const A&... args) {
    Ref argtuple = tuple(args...);
    return call_object(callable.get(), argtuple.get());
}
template <class... A>
Ref call_method(const Ref& object, const char* method, const A&... args) {
    return call(attr(object, method), args...);
}

// Truth tests and comparisons, each by the object protocols (never an identity test).
// truth_value gives 1, 0, or -1 with the error set.
inline int truth_value(PyObject* object) {
    if (object == Py_True) return 1;
    if (object == Py_False || object == Py_None) return 0;
    return PyObject_IsTrue(object);
}
inline bool truth(PyObject* object) { return check(truth_value(object)) != 0; }

#ifndef PYPY_VERSION
// Text equality of two exact, ready str objects, decided as str's == decides it: identity,
// length, kind, the hashes when both are known, then the code units.
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
inline bool truth(const Ref& object) { return truth(object.get()); }
bool equals(PyObject* a, PyObject* b);
bool not_equals(PyObject* a, PyObject* b);
bool less_than(PyObject* a, PyObject* b);
inline bool equals_none(const Ref& a) { return equals(a.get(), Py_None); }
inline bool not_equals_none(const Ref& a) { return not_equals(a.get(), Py_None); }
bool is_instance(const Ref& object, const Ref& cls);
// `value in container`, by the containment protocol.
bool contains(const Ref& container, const Ref& value);

// Number operations by the generic protocols.
Ref subtract(const Ref& a, const Ref& b);
Ref true_divide(const Ref& a, const Ref& b);
Ref add(const Ref& a, const Ref& b);  // also text concatenation
// Integer conversion as `int(value)`, an exact integer passing unchanged.
Ref to_int(const Ref& value);
// The text of a value as inserted into a message: itself when text, else format(value, "").
Ref as_text(const Ref& value);
// Concatenation of the texts of the given parts.
Ref concat(std::initializer_list<PyObject*> parts);

// A function of `os.path`, with `os` looked up as a global at this moment.
Ref os_path(const char* function);
// The truth of `os.path.exists(path)`.
bool path_exists(const Ref& path);
// `sequence[index]`, by the subscription protocol.
Ref item_at(const Ref& sequence, Py_ssize_t index);

// ---- imports ------------------------------------------------------------------------------

// `import module`, absolute, with the module namespace as globals.
Ref import_module(const char* module);
// `from module import name`, made at every call; a registered module that already has the
// name is used as it is.
Ref from_import(const char* module, const char* name);
// `from module import a, b, ...` in one import statement.
std::vector<Ref> from_import(const char* module, std::initializer_list<const char*> names);

// Calls the module function `load_dll` (looked up by name now) with an assembly file name,
// discarding its result.
void load_assembly(const char* file_name);

// ---- builtins cached at start-up ------------------------------------------------------------

void cache_builtins();  // called once by the execution step
template <class... A>
void print(const A&... args);
Ref cached_open();
Ref cached_print();

template <class... A>
void print(const A&... args) { call(cached_print(), args...); }

// ---- raising and catching --------------------------------------------------------------------

[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* type, const Ref& argument);

// Runs body as under `try: ... except Exception: pass`. Returns false when an exception of the
// class Exception was caught and discarded; any other exception propagates.
template <class F>
bool except_exception(F&& body) {
    try {
        body();
        return true;
    } catch (PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
        return false;
    }
}

// Makes `handled` the context of `raised`, as the interpreter does for an exception raised while
// another one is handled: an exception never becomes its own context, and a chain of contexts
// that already holds `raised` is cut there, so no cycle forms. Steals the reference to handled.
void set_context(PyObject* raised, PyObject* handled);

// Runs body, then finally, as `try: body finally: finally` does. When finally raises while an
// exception is propagating, the new exception replaces it (with the old one as its context).
template <class F, class G>
void try_finally(F&& body, G&& finally) {
    try {
        body();
    } catch (PythonError&) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        if (tb && value) PyException_SetTraceback(value, tb);
        try {
            finally();
        } catch (PythonError&) {
            PyObject *t2, *v2, *tb2;
            PyErr_Fetch(&t2, &v2, &tb2);
            PyErr_NormalizeException(&t2, &v2, &tb2);
            set_context(v2, value);
            Py_XDECREF(type);
            Py_XDECREF(tb);
            PyErr_Restore(t2, v2, tb2);
            throw;
        }
        PyErr_Restore(type, value, tb);
        throw;
    }
    finally();
}

// ---- one call of a module function -------------------------------------------------------------

// The running call: which step it is at, for the traceback entry of an exception.
struct Call {
    int line;
    void at(int step_line) { line = step_line; }
    int* nesting = nullptr;  // the calling thread's counter of module calls (see dispatch.cpp)
};

// try_finally for a function body whose finally clause is one step at finally_line. An
// exception that propagates through the finally clause keeps the line of the step that raised it.
template <class F, class G>
void try_finally(Call& c, int finally_line, F&& body, G&& finally) {
    try_finally(std::forward<F>(body), [&] {
        const int body_line = c.line;
        c.at(finally_line);
        finally();
        c.at(body_line);
    });
}

using Args = const Ref*;
using Body = Ref (*)(Call&, Args);

}  // namespace korvex
