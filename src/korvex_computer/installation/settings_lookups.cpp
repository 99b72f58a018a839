// FindSolverPaths and FindDataProjectPaths: pick the solver paths and the data and project
// directories out of the parsed settings files.
#include "binding/functions.h"

namespace korvex {

namespace {

// Calls visit(item) for each item of an iterable, with the traceback line of the `for`
// statement whenever the next item is fetched.
template <class F>
void for_each(Call& c, int for_line, const Ref& iterable, F&& visit) {
#ifndef PYPY_VERSION
    // An exact list is walked by index, its length read again at every step, as its own
    // iterator walks it.
    if (PyList_CheckExact(iterable.get())) {
        for (Py_ssize_t i = 0;; ++i) {
            c.at(for_line);
            if (i >= PyList_GET_SIZE(iterable.get())) return;
            visit(Ref::borrow(PyList_GET_ITEM(iterable.get(), i)));
        }
    }
#endif
    Ref iterator = Ref::steal(PyObject_GetIter(iterable.get()));
    for (;;) {
        c.at(for_line);
        Ref item = Ref::steal_maybe(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) throw PythonError{};
            return;
        }
        visit(item);
    }
}

Ref item(const Ref& container, const char* key) {
    return Ref::steal(PyObject_GetItem(container.get(), name(key)));
}

// A key of the settings documents, looked up by its text. A parsed settings file holds one
// object per distinct key text (the parser shares them), which is not the module's constant of
// that text; a dictionary lookup with that very object finds its entry by identity instead of
// comparing texts. The object is learnt from the first exact dictionary that has the key.
// Being the same text, it finds exactly what the constant finds.
class SettingsKey {
public:
    explicit SettingsKey(const char* text) : text_(text) {}
    SettingsKey(const SettingsKey&) = delete;
    SettingsKey& operator=(const SettingsKey&) = delete;
    ~SettingsKey() { Py_XDECREF(file_key_); }

    // `container[key]`, by the subscription protocol.
    Ref of(const Ref& container) {
#ifndef PYPY_VERSION
        // An exact dictionary is read directly; a missing key raises what subscription raises.
        PyObject* dict = container.get();
        if (PyDict_CheckExact(dict)) {
            if (!learnt_) learn(dict);
            PyObject* value = PyDict_GetItemWithError(dict, file_key_ ? file_key_ : name(text_));
            if (value) return Ref::borrow(value);
            if (!PyErr_Occurred()) raise(PyExc_KeyError, tuple(Ref::borrow(name(text_))));
            throw PythonError{};
        }
#endif
        return item(container, text_);
    }

private:
#ifndef PYPY_VERSION
    void learn(PyObject* dict) {
        PyObject* constant = name(text_);
        learnt_ = true;
        PyObject *key, *value;
        Py_ssize_t position = 0;
        while (PyDict_Next(dict, &position, &key, &value)) {
            if (PyUnicode_CheckExact(key) && PyUnicode_IS_READY(key) && same_text(key, constant)) {
                Py_INCREF(key);
                file_key_ = key;
                return;
            }
        }
    }
#endif

    const char* text_;
    PyObject* file_key_ = nullptr;  // held
    bool learnt_ = false;
};

// The keys that the walk for a solver path reads, shared by the walks of one call.
struct SolverKeys {
    SettingsKey families{"Families"};
    SettingsKey sub_families{"SubFamilies"};
    SettingsKey settings{"Settings"};
    SettingsKey name{"Name"};
    SettingsKey value{"Value"};
};

// Walks Families / SubFamilies "PATH" / Settings for one solver. Every match is visited and
// each overwrites the one before, so the last match in document order wins. The seven steps
// of the walk have consecutive traceback lines from first_line on.
Ref solver_path(Call& c, SolverKeys& keys, const Ref& settings, const char* family_name,
                const char* setting_name, int first_line) {
    auto named = [&](const Ref& entry, const char* expected) {
        return equals(keys.name.of(entry).get(), name(expected));
    };
    Ref path = none();
    c.at(first_line);
    for_each(c, first_line, keys.families.of(settings), [&](const Ref& family) {
        c.at(first_line + 1);
        if (!named(family, family_name)) return;
        c.at(first_line + 2);
        for_each(c, first_line + 2, keys.sub_families.of(family), [&](const Ref& sub_family) {
            c.at(first_line + 3);
            if (!named(sub_family, "PATH")) return;
            c.at(first_line + 4);
            for_each(c, first_line + 4, keys.settings.of(sub_family), [&](const Ref& setting) {
                c.at(first_line + 5);
                if (!named(setting, setting_name)) return;
                c.at(first_line + 6);
                path = keys.value.of(setting);
            });
        });
    });
    return path;
}

}  // namespace

Ref FindSolverPaths(Call& c, Args a) {
    SolverKeys keys;
    Ref aster = solver_path(c, keys, a[0], "ASTER", "WINDOWS SOLVER PATH", 154);
    Ref pipestress = solver_path(c, keys, a[0], "PIPESTRESS", "SOLVER PATH", 162);
    c.at(169);
    if (equals(aster.get(), name(""))) {
        c.at(170);
        aster = none();
    }
    c.at(171);
    if (equals(pipestress.get(), name(""))) {
        c.at(172);
        pipestress = none();
    }
    c.at(173);
    return tuple(aster, pipestress);
}

Ref FindDataProjectPaths(Call& c, Args a) {
    c.at(179);
    Ref data_directory = item(a[0], "CurrentDatasDirectory");
    c.at(180);
    Ref projects_directory = item(a[0], "CurrentProjectsDirectory");
    c.at(181);
    return tuple(data_directory, projects_directory);
}

}  // namespace korvex
