#include "installation/sdk_access.h"

namespace korvex {

Ref call_with_sdk_module(Call& c, int first_line, int call_line, const char* function,
                         const char* member, Args arguments, int argument_count) {
    c.at(first_line);
    load_assembly("Korvex.SDK.dll");
    c.at(first_line + 1);
    Ref KorvexModule = from_import("Korvex.SDK", "KorvexModule");
    c.at(first_line + 2);
    Ref internal_function = global(function);
    Ref module_member = attr(KorvexModule, member);
    c.at(call_line);
    Ref argument_tuple = Ref::steal(PyTuple_New(argument_count + 1));
    for (int i = 0; i < argument_count; ++i) {
        PyTuple_SET_ITEM(argument_tuple.get(), i, Ref(arguments[i]).release());
    }
    PyTuple_SET_ITEM(argument_tuple.get(), argument_count, module_member.release());
    return call_object(internal_function.get(), argument_tuple.get());
}

void apply_module_culture(Call& c, const Ref& Thread, int first_line) {
    const char* properties[] = {"CurrentCulture", "CurrentUICulture"};
    for (int i = 0; i < 2; ++i) {
        c.at(first_line + i);
        Ref culture = global("_CultureInfo_");
        set_attr(attr(Thread, "CurrentThread"), properties[i], culture);
    }
}

}  // namespace korvex
