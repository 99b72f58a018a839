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

// The next entry of the listing, or an empty Ref at its end.
Ref next_entry(const Ref& entries) {
    Ref entry = Ref::steal_maybe(PyIter_Next(entries.get()));
    if (!entry && PyErr_Occurred()) throw PythonError{};
    return entry;
}

// The inner walk: the first entry whose lower-cased name ends with ext and that names a
// regular file, joined to the directory; an empty Ref when none does. Entries after the first
// match are never looked at. An error while walking carries the walk's own traceback entry.
Ref first_matching_entry(const Ref& entries, const Ref& directory, const Ref& ext) {
    try {
        while (Ref f = next_entry(entries)) {
            Ref lowered = method_call(f, "lower");
            if (!truth(method_call(lowered, "endswith", ext.get()))) continue;
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
    Ref entries = Ref::steal(PyObject_GetIter(call(listdir, directory).get()));
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
