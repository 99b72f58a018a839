// FindSolverPaths and FindDataProjectPaths: pick the solver paths and the data and project
// directories out of the parsed settings files.
#include "binding/functions.h"

namespace korvex {

namespace {

// Calls visit(item) for each item of an iterable, with the traceback line of the `for`
// statement whenever the next item is fetched.
template <class F>
void for_each(Call& c, int for_line, const Ref& iterable, F&& visit) {
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

bool named(const Ref& entry, const char* expected) {
    return equals(item(entry, "Name").get(), name(expected));
}

// Walks Families / SubFamilies "PATH" / Settings for one solver. Every match is visited and
// each overwrites the one before, so the last match in document order wins. The seven steps
// of the walk have consecutive traceback lines from first_line on.
Ref solver_path(Call& c, const Ref& settings, const char* family_name, const char* setting_name,
                int first_line) {
    Ref path = none();
    c.at(first_line);
    for_each(c, first_line, item(settings, "Families"), [&](const Ref& family) {
        c.at(first_line + 1);
        if (!named(family, family_name)) return;
        c.at(first_line + 2);
        for_each(c, first_line + 2, item(family, "SubFamilies"), [&](const Ref& sub_family) {
            c.at(first_line + 3);
            if (!named(sub_family, "PATH")) return;
            c.at(first_line + 4);
            for_each(c, first_line + 4, item(sub_family, "Settings"), [&](const Ref& setting) {
                c.at(first_line + 5);
                if (!named(setting, setting_name)) return;
                c.at(first_line + 6);
                path = item(setting, "Value");
            });
        });
    });
    return path;
}

}  // namespace

Ref FindSolverPaths(Call& c, Args a) {
    Ref aster = solver_path(c, a[0], "ASTER", "WINDOWS SOLVER PATH", 154);
    Ref pipestress = solver_path(c, a[0], "PIPESTRESS", "SOLVER PATH", 162);
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
