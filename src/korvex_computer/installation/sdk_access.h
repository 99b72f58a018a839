// Access to the SDK shared by the families of module functions.
#pragma once

#include "binding/core.h"

namespace korvex {

// The piping and structure variants of createQuarl, addProject and addStudy: loads
// "Korvex.SDK.dll" (at first_line), imports the SDK's own KorvexModule enumeration (next line),
// looks the internal module function up by name and reads the enumeration member (the line
// after), then calls the function with the given arguments followed by that member (call_line).
// The module's enumeration of the same name is never handed to the SDK.
Ref call_with_sdk_module(Call& c, int first_line, int call_line, const char* function,
                         const char* member, Args arguments, int argument_count);

// Gives the running thread the module's culture: `_CultureInfo_`, read anew for each, becomes the
// CurrentCulture (at first_line) and then the CurrentUICulture (the next line) of the .NET
// Thread.CurrentThread.
void apply_module_culture(Call& c, const Ref& Thread, int first_line);

}  // namespace korvex
