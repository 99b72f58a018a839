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
    Ref file = call_with_keywords(cached_open(), tuple(path, text(STR("r"))),
                                  {{STR("encoding"), text(STR("utf-8"))}});
    Ref value;
    with_statement(c, open_line, file, [&](const Ref& handle) {
        c.at(load_line);
        value = call(attr(global(STR("json")), STR("load")), handle);
    });
    // Only a replaced `open` can make a context manager that suppresses the error.
    if (!value)
        raise(PyExc_UnboundLocalError,
              STR("no parsed settings: the with statement suppressed the error of json.load"));
    return value;
}

// `first, second = value`, storing nothing unless exactly two values come out.
void unpack_pair_into(const Ref& value, Constant& first_global, Constant& second_global) {
    std::pair<Ref, Ref> pair = unpack_pair(value);
    set_global(first_global, pair.first);
    set_global(second_global, pair.second);
}

// The traceback lines of require_existing: the existence test and the raise.
struct ExistenceLines {
    int test, raise;
};

void require_existing(Call& c, const ExistenceLines& line, const Ref& path) {
    c.at(line.test);
    if (truth(call(os_path(STR("exists")), path))) return;
    c.at(line.raise);
    raise(PyExc_FileNotFoundError,
          concat({name(STR("The directory '")), path.get(), name(STR("' does not exist."))}));
}

}  // namespace

Ref setup_korvex_computer(Call& c, Args a) {
    const Ref& installation_directory = a[0];

    // The .NET culture of the calling thread is forced first.
    c.at(54);
    call(attr(global(STR("clr")), STR("AddReference")), text(STR("mscorlib")));
    c.at(55);
    Ref CultureInfo = from_import(STR("System.Globalization"), STR("CultureInfo"));
    c.at(56);
    Ref Thread = from_import(STR("System.Threading"), STR("Thread"));
    c.at(57);
    set_global(STR("_CultureInfo_"), call(CultureInfo, text(STR("en-US"))));
    apply_module_culture(c, Thread, {58, 59});

    require_existing(c, {61, 62}, installation_directory);
    c.at(64);
    require_existing(c, {64, 65}, global(STR("_settingsPath_")));
    c.at(67);
    require_existing(c, {67, 68}, global(STR("_dataSourcesPath_")));

    c.at(70);
    set_global(STR("_exePath_"), installation_directory);
    c.at(71);
    set_global(STR("_dllPath_"),
               call(os_path(STR("join")), installation_directory, text(STR("Extensions"))));

    c.at(73);
    Ref settings = read_json(c, 73, 74, global(STR("_settingsPath_")));
    c.at(75);
    unpack_pair_into(call(global(STR("FindSolverPaths")), settings), STR("_Aster_"),
                     STR("_PipeStress_"));
    c.at(77);
    Ref data_sources = read_json(c, 77, 78, global(STR("_dataSourcesPath_")));
    c.at(79);
    unpack_pair_into(call(global(STR("FindDataProjectPaths")), data_sources), STR("_dataPath_"),
                     STR("_projectPath_"));

    c.at(81);
    set_global(STR("_validSetup_"), boolean(false));
    c.at(82);
    if (truth(call(os_path(STR("exists")), global(STR("_dllPath_"))))) {
        // Set before the SDK is loaded: load_dll applies the set-up guard.
        c.at(83);
        set_global(STR("_validSetup_"), boolean(true));
        load_assemblies(c, 84, STR("Korvex.SDK.dll"));
        c.at(85);
        Ref KorvexApplication = from_import(STR("Korvex.SDK"), STR("KorvexApplication"));
        c.at(86);
        set_global(STR("_Application_"), call(KorvexApplication));
        load_assemblies(c, 87, STR("Korvex.Velmora.Core.dll"));
        c.at(88);
        Ref CommandController = from_import(STR("Korvex.Velmora.Core"), STR("CommandController"));
        c.at(89);
        set_global(STR("_commandController_"), call(CommandController));
        c.at(90);
        Ref set_application = attr(global(STR("_commandController_")), STR("SetApplication"));
        call(set_application, global(STR("_Application_")));
    }
    c.at(95);
    return global(STR("_validSetup_"));
}

}  // namespace korvex
