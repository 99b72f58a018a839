#include "installation/sdk_access.h"

namespace korvex {

Ref call_with_sdk_module(Call& c, const SdkModuleCallLines& lines, Constant& function,
                         Constant& member, Args arguments, int argument_count) {
    load_assemblies(c, lines.load, STR("Korvex.SDK.dll"));
    c.at(lines.import_enum);
    Ref KorvexModule = from_import(STR("Korvex.SDK"), STR("KorvexModule"));
    c.at(lines.look_up);
    Ref internal_function = global(function);
    Ref module_member = attr(KorvexModule, member);
    c.at(lines.call);
    std::vector<PyObject*> values;
    for (int i = 0; i < argument_count; ++i) values.push_back(arguments[i].get());
    values.push_back(module_member.get());
    return call_object(internal_function.get(), tuple_of(values.data(), values.size()).get());
}

void apply_module_culture(Call& c, const Ref& Thread, const CultureLines& lines) {
    // The value is read first, then the thread, as the assignment statements evaluate them.
    c.at(lines.culture);
    Ref culture = global(STR("_CultureInfo_"));
    set_attr(attr(Thread, STR("CurrentThread")), STR("CurrentCulture"), culture);
    c.at(lines.ui_culture);
    culture = global(STR("_CultureInfo_"));
    set_attr(attr(Thread, STR("CurrentThread")), STR("CurrentUICulture"), culture);
}

}  // namespace korvex
