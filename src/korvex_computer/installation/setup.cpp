// setup_korvex_computer: binds the module to an installation of the application. Each global
// is written the moment its step runs, so a failure leaves the earlier writes in place.
#include "binding/functions.h"
#include "installation/sdk_access.h"

namespace korvex {

namespace {

// `with open(path, "r", encoding="utf-8") as f: value = json.load(f)`; the file is closed
// whether parsing succeeded or not, and a parse error is raised from the load's line.
Ref read_json(Call& c, int open_line, int load_line, const Ref& path) {
    c.at(open_line);
    Ref keywords = Ref::steal(Py_BuildValue("{s:s}", "encoding", "utf-8"));
    Ref file = call_object(cached_open().get(), tuple(path, text("r")).get(), keywords.get());
    Ref file_type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(file.get())));
    Ref exit = attr(file_type, "__exit__");
    Ref handle = call(attr(file_type, "__enter__"), file);
    Ref value;
    // A file object never suppresses an error, so the exception details are not handed to its
    // __exit__: closing is all it does with them.
    try_finally(
        c, open_line,
        [&] {
            c.at(load_line);
            value = call(attr(global("json"), "load"), handle);
        },
        [&] { call(exit, file, none(), none(), none()); });
    return value;
}

// `first, second = value`, storing nothing unless exactly two values come out.
void unpack_pair_into(const Ref& value, const char* first_global, const char* second_global) {
    Ref iterator = Ref::steal(PyObject_GetIter(value.get()));
    Ref items[3];
    Py_ssize_t got = 0;
    while (got < 3 && (items[got] = Ref::steal_maybe(PyIter_Next(iterator.get())))) ++got;
    if (PyErr_Occurred()) throw PythonError{};
    if (got < 2) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                     got == 1 ? "" : "s");
        throw PythonError{};
    }
    if (got > 2) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                     static_cast<Py_ssize_t>(2));
        throw PythonError{};
    }
    set_global(first_global, items[0]);
    set_global(second_global, items[1]);
}

void require_existing(Call& c, int test_line, const Ref& path) {
    c.at(test_line);
    if (truth(call(os_path("exists"), path))) return;
    c.at(test_line + 1);
    raise(PyExc_FileNotFoundError,
          concat({name("The directory '"), path.get(), name("' does not exist.")}));
}

}  // namespace

Ref setup_korvex_computer(Call& c, Args a) {
    const Ref& installation_directory = a[0];

    // The .NET culture of the calling thread is forced first.
    c.at(54);
    call(attr(global("clr"), "AddReference"), text("mscorlib"));
    c.at(55);
    Ref CultureInfo = from_import("System.Globalization", "CultureInfo");
    c.at(56);
    Ref Thread = from_import("System.Threading", "Thread");
    c.at(57);
    set_global("_CultureInfo_", call(CultureInfo, text("en-US")));
    apply_module_culture(c, Thread, 58);

    require_existing(c, 61, installation_directory);
    c.at(64);
    require_existing(c, 64, global("_settingsPath_"));
    c.at(67);
    require_existing(c, 67, global("_dataSourcesPath_"));

    c.at(70);
    set_global("_exePath_", installation_directory);
    c.at(71);
    set_global("_dllPath_", call(os_path("join"), installation_directory, text("Extensions")));

    c.at(73);
    Ref settings = read_json(c, 73, 74, global("_settingsPath_"));
    c.at(75);
    unpack_pair_into(call(global("FindSolverPaths"), settings), "_Aster_", "_PipeStress_");
    c.at(77);
    Ref data_sources = read_json(c, 77, 78, global("_dataSourcesPath_"));
    c.at(79);
    unpack_pair_into(call(global("FindDataProjectPaths"), data_sources), "_dataPath_",
                     "_projectPath_");

    c.at(81);
    set_global("_validSetup_", boolean(false));
    c.at(82);
    if (truth(call(os_path("exists"), global("_dllPath_")))) {
        // Set before the SDK is loaded: load_dll applies the set-up guard.
        c.at(83);
        set_global("_validSetup_", boolean(true));
        c.at(84);
        load_assembly("Korvex.SDK.dll");
        c.at(85);
        Ref KorvexApplication = from_import("Korvex.SDK", "KorvexApplication");
        c.at(86);
        set_global("_Application_", call(KorvexApplication));
        c.at(87);
        load_assembly("Korvex.Velmora.Core.dll");
        c.at(88);
        Ref CommandController = from_import("Korvex.Velmora.Core", "CommandController");
        c.at(89);
        set_global("_commandController_", call(CommandController));
        c.at(90);
        Ref set_application = attr(global("_commandController_"), "SetApplication");
        call(set_application, global("_Application_"));
    }
    c.at(95);
    return global("_validSetup_");
}

}  // namespace korvex
