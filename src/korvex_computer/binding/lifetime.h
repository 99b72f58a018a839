// The module's lifetime and errors: the reference handle and the failure reporting.
// The rule of this core: no borrowed pointer and no reference into module storage is held
// across a call that can run Python code (a look-up, a comparison, a release, an allocation);
// what a cache keeps is beyond any script's reach or checked before each use.
#pragma once

#include "binding/build_gates.h"

#include <cstdint>
#include <exception>
#include <utility>
#include <vector>

namespace korvex {

// Thrown when a C API call failed, the Python error staying set; run_guarded turns it into NULL.
struct PythonError {};

// ---- threads ended at exit ---------------------------------------------------------------------

// A finalising CPython ends a daemon thread that asks for the lock by a forced unwinding of its
// stack, without the lock: such a thread touches no object (a leak the exiting process never
// sees), and no destructor run during an unwinding releases a last reference, whose finaliser
// could give the lock up (run_guarded releases it once the exception is caught).
#ifdef KORVEX_THREADS_END_BY_UNWINDING
// Asked of the interpreter, not of an exit function, which a script can clear, run early or fork.
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

// Owns one strong reference, or none.
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
    // Holds p instead, the old value read first, so that an empty handle needs no release.
    void reset(PyObject* p) { PyObject* old = p_; Py_XINCREF(p); p_ = p; release_reference(old); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

inline PyObject* raw(const Ref& r) { return r.get(); }
inline PyObject* raw(PyObject* p) { return p; }

// Throws when a C API call reported failure through its int result.
inline int check(int rc) { if (rc < 0) throw PythonError{}; return rc; }

// ---- raising and catching --------------------------------------------------------------------

[[noreturn]] inline void raise(PyObject* type, const Ref& argument) {
    PyErr_SetObject(type, argument.get());
    throw PythonError{};
}

// The exception being raised, taken out untouched while other code runs; dropped unless restored.
class SetAsideError {
public:
    SetAsideError() {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        type_ = Ref::steal_maybe(type);
        value_ = Ref::steal_maybe(value);
        traceback_ = Ref::steal_maybe(traceback);
    }
    SetAsideError(const SetAsideError&) = delete;
    SetAsideError& operator=(const SetAsideError&) = delete;

    const Ref& type() const { return type_; }
    const Ref& value() const { return value_; }
    const Ref& traceback() const { return traceback_; }
    void restore() { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }
    [[noreturn]] void raise_again() { restore(); throw PythonError{}; }

protected:
    Ref type_, value_, traceback_;
};

// The exception being raised, handled as an `except` or `finally` clause handles it: while this
// lives it is sys.exc_info() and the __context__ of any exception raised; leaving undoes that.
class HandledError : public SetAsideError {
public:
    HandledError();
    ~HandledError() noexcept(false);

private:
    PyObject *handled_type_ = nullptr, *handled_value_ = nullptr, *handled_traceback_ = nullptr;
};

// `try: body except Exception as error: handler(error)` (by default `pass`); false if caught.
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

}  // namespace korvex
