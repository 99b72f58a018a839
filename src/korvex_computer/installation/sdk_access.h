// Access to the SDK shared by the families of module functions.
#pragma once

#include "binding/statements.h"

namespace korvex {

// The traceback lines of the steps of call_with_sdk_module, as the calling function has them.
struct SdkModuleCallLines {
    int load;         // load_dll("Korvex.SDK.dll")
    int import_enum;  // from Korvex.SDK import KorvexModule
    int look_up;      // the internal function and the enumeration member
    int call;         // the call itself
};

// The piping and structure variants of createQuarl, addProject and addStudy: loads
// "Korvex.SDK.dll", imports the SDK's own KorvexModule enumeration, looks the internal module
// function up by name and reads the enumeration member, then calls the function with the given
// arguments followed by that member. The module's enumeration of the same name is never handed
// to the SDK.
Ref call_with_sdk_module(Call& c, const SdkModuleCallLines& lines, Constant& function,
                         Constant& member, Args arguments, int argument_count);

// The traceback lines of apply_module_culture's two assignments.
struct CultureLines {
    int culture;     // Thread.CurrentThread.CurrentCulture = _CultureInfo_
    int ui_culture;  // Thread.CurrentThread.CurrentUICulture = _CultureInfo_
};

// Gives the running thread the module's culture: `_CultureInfo_`, read anew for each, becomes the
// CurrentCulture and then the CurrentUICulture of the .NET Thread.CurrentThread.
void apply_module_culture(Call& c, const Ref& Thread, const CultureLines& lines);

// The traceback lines of run_in_com_apartment's steps.
struct ApartmentLines {
    int clear_solution;  // _Solution_ = None
    int initialize;      // pythoncom.CoInitialize()
    int uninitialize;    // the finally clause: pythoncom.CoUninitialize()
};

// A solver run's frame on its worker thread: `_Solution_ = None`, `pythoncom.CoInitialize()`,
// then `try: run() finally: pythoncom.CoUninitialize()`, as the SDK's solvers need COM.
template <class F>
void run_in_com_apartment(Call& c, const ApartmentLines& lines, F&& run) {
    c.at(lines.clear_solution);
    set_global(STR("_Solution_"), none());
    c.at(lines.initialize);
    call_method(global(STR("pythoncom")), STR("CoInitialize"));
    try_finally(c, lines.uninitialize, run,
                [&] { call_method(global(STR("pythoncom")), STR("CoUninitialize")); });
}

}  // namespace korvex
