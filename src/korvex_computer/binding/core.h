// The binding core shared by every family of module functions: the owning reference handle,
// the one way of reporting failure, and the few helpers the function bodies are written in.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

// The interned text of a constant string of the module (borrowed; lives for the process).
// Each literal is interned and hashed once, on its first use, and kept in one table.
PyObject* name(const char* literal);
// A new reference to the same interned constant.
inline Ref text(const char* literal) { return Ref::borrow(name(literal)); }

Ref none();
Ref boolean(bool value);
Ref integer(long value);

// ---- module namespace --------------------------------------------------------------------

PyObject* module_namespace();  // borrowed
PyObject* builtins_module();   // borrowed

// A module global, another module function or an imported module, looked up at the moment
// of use: the module namespace first, then builtins, else NameError.
Ref global(const char* name);
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
bool truth(PyObject* object);
inline bool truth(const Ref& object) { return truth(object.get()); }
bool equals(PyObject* a, PyObject* b);
bool not_equals(PyObject* a, PyObject* b);
bool less_than(PyObject* a, PyObject* b);
inline bool equals_none(const Ref& a) { return equals(a.get(), Py_None); }
inline bool not_equals_none(const Ref& a) { return not_equals(a.get(), Py_None); }
bool is_instance(const Ref& object, const Ref& cls);

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
