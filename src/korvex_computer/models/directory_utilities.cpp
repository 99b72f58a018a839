// find_first_file and copyDirectoryToTemp: file-system helpers that need no installation.
#include "binding/functions.h"

namespace korvex {

namespace {

// The line of find_first_file's one statement, which holds the walk over the listing.
constexpr int kWalkLine = 484;

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
            Ref lowered = call_method(f, "lower");
            if (!truth(call_method(lowered, "endswith", ext))) continue;
            Ref isfile = os_path("isfile");
            Ref candidate = call(os_path("join"), directory, f);
            if (!truth(call(isfile, candidate))) continue;
            return call(os_path("join"), directory, f);
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
