// The module's constant strings: each text of the string table, interned once for the process.
#pragma once

#include "binding/lifetime.h"
#include "binding/string_table.h"

namespace korvex {

// Made by the module's first step, so that no use can fail; a global's name remembers its value.
struct Constant {
    PyObject* object = nullptr;
    PyObject* as_arguments = nullptr;  // (object,): raised as a message without a new tuple
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

inline PyObject* name(Constant& constant) { return constant.object; }  // borrowed, for good
[[noreturn]] inline void raise(PyObject* type, Constant& message) {
    PyErr_SetObject(type, message.as_arguments);
    throw PythonError{};
}
inline Ref text(Constant& constant) { return Ref::borrow(constant.object); }

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref integer(long value) { return Ref::steal(PyLong_FromLong(value)); }

}  // namespace korvex
