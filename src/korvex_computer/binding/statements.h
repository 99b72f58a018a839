// The statements a body is written in, each keeping the traceback line Python would give.
#pragma once

#include "binding/objects.h"

namespace korvex {

// The running call: which step it is at, for the traceback entry of an exception.
struct Call {
    int line;
    void at(int step_line) { line = step_line; }
};

// A body's opening: `load_dll(file)` for each file, one statement a line from first_line on.
template <class... Files>
void load_assemblies(Call& c, int first_line, Files&... files) {
    int line = first_line;
    ((c.at(line++), call(global(STR("load_dll")), text(files))), ...);
}

// `try: body finally: finally`, the clause one step at finally_line; an exception keeps its line.
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

// `with manager as handle: body(handle)`, the statement at line; an exception keeps its line.
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
using BodyFunction = Ref(Call&, Args);  // a module function's body, given its bound arguments

}  // namespace korvex
