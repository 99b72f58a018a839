// find_first_file and copyDirectoryToTemp: file-system helpers that need no installation.
#include "binding/functions.h"

namespace korvex {

namespace {

// The line of find_first_file's one statement, which holds the walk over the listing.
constexpr int kWalkLine = 484;

// The walk runs once per entry of a possibly large directory: its calls go through the
// argument-list forms of the C API, which make no argument tuple and no bound method.
Ref method_call(const Ref& object, const char* method, PyObject* argument = nullptr) {
    return Ref::steal(PyObject_CallMethodObjArgs(object.get(), name(method), argument, nullptr));
}

Ref function_call(const Ref& function, PyObject* first, PyObject* second = nullptr) {
    return Ref::steal(PyObject_CallFunctionObjArgs(function.get(), first, second, nullptr));
}

// The entries of a listing one by one: an exact list by index, its length read again at every
// step as its own iterator does, anything else through its iterator.
class Entries {
public:
    explicit Entries(const Ref& listing) {
#ifndef PYPY_VERSION
        if (PyList_CheckExact(listing.get())) {
            list_ = listing;
            return;
        }
#endif
        iterator_ = Ref::steal(PyObject_GetIter(listing.get()));
    }

    // The next entry, or an empty Ref at the end.
    Ref next() {
        if (list_) {
            if (index_ >= PyList_GET_SIZE(list_.get())) return Ref();
            return Ref::borrow(PyList_GET_ITEM(list_.get(), index_++));
        }
        Ref entry = Ref::steal_maybe(PyIter_Next(iterator_.get()));
        if (!entry && PyErr_Occurred()) throw PythonError{};
        return entry;
    }

private:
    Ref list_;
    Ref iterator_;
    Py_ssize_t index_ = 0;
};

// `f.lower().endswith(ext)`.
bool lower_name_ends_with(const Ref& f, const Ref& ext) {
#ifndef PYPY_VERSION
    // For exact texts the methods are those of str, which no script can replace: lower is
    // called through its descriptor, taken once, and endswith is the C API's tail match.
    static PyObject* text_lower = nullptr;
    if (PyUnicode_CheckExact(f.get()) && PyUnicode_CheckExact(ext.get())) {
        if (!text_lower) {
            text_lower = PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyUnicode_Type), name("lower"));
            if (!text_lower) throw PythonError{};
        }
        PyObject* self = f.get();
        Ref lowered = Ref::steal(PyObject_Vectorcall(text_lower, &self, 1, nullptr));
        Py_ssize_t ends = PyUnicode_Tailmatch(lowered.get(), ext.get(), 0, PY_SSIZE_T_MAX, 1);
        if (ends < 0) throw PythonError{};
        return ends != 0;
    }
#endif
    Ref lowered = method_call(f, "lower");
    return truth(method_call(lowered, "endswith", ext.get()));
}

// The inner walk: the first entry whose lower-cased name ends with ext and that names a
// regular file, joined to the directory; an empty Ref when none does. Entries after the first
// match are never looked at. An error while walking carries the walk's own traceback entry.
Ref first_matching_entry(Entries& entries, const Ref& directory, const Ref& ext) {
    try {
        while (Ref f = entries.next()) {
            if (!lower_name_ends_with(f, ext)) continue;
            Ref isfile = os_path("isfile");
            Ref candidate = function_call(os_path("join"), directory.get(), f.get());
            if (!truth(function_call(isfile, candidate.get()))) continue;
            return function_call(os_path("join"), directory.get(), f.get());
        }
        return Ref();
    } catch (PythonError&) {
        add_traceback("genexpr", kWalkLine);
        throw;
    }
}

}  // namespace

Ref find_first_file(Call& c, Args a) {
    const Ref& directory = a[0];
    const Ref& ext = a[1];

    c.at(kWalkLine);
    Ref listdir = attr(global("os"), "listdir");
    Entries entries(call(listdir, directory));
    Ref found = first_matching_entry(entries, directory, ext);
    return found ? found : text("");
}

Ref copyDirectoryToTemp(Call& c, Args a) {
    const Ref& directory = a[0];

    c.at(490);
    Ref join = os_path("join");
    Ref temp_root = call(attr(global("tempfile"), "gettempdir"));
    Ref unique_name = Ref::steal(PyObject_Str(call(attr(global("uuid"), "uuid4")).get()));
    Ref tempDirectory = call(join, temp_root, unique_name);

    c.at(492);
    bool copied = except_exception([&] {
        Ref copytree = attr(global("shutil"), "copytree");
        Ref positional = tuple(directory, tempDirectory);
        Ref options = Ref::steal(PyDict_New());
        check(PyDict_SetItem(options.get(), name("dirs_exist_ok"), Py_True));
        call_object(copytree.get(), positional.get(), options.get());
    });
    return copied ? tempDirectory : text("");
}

}  // namespace korvex
