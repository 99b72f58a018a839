// inspectClass and findNameSpaceAndAssembly: JSON descriptions of SDK objects and classes, and
// where a class lives in the installation, both answered by the SDK's class inspector.
#include "binding/functions.h"

namespace korvex {

Ref inspectClass(Call& c, Args a) {
    const Ref& instance = a[0];
    const Ref& indent = a[1];

    load_assemblies(c, 507, STR("Korvex.SDK.dll"), STR("Korvex.Velmora.Core.dll"));
    c.at(509);
    Ref KorvexClassInspector = from_import(STR("Korvex.SDK"), STR("KorvexClassInspector"));
    c.at(510);
    return call_method(KorvexClassInspector, STR("ExportObjectToJson"), instance, indent);
}

Ref findNameSpaceAndAssembly(Call& c, Args a) {
    const Ref& className = a[0];

    load_assemblies(c, 523, STR("Korvex.SDK.dll"));
    c.at(524);
    Ref KorvexClassInspector = from_import(STR("Korvex.SDK"), STR("KorvexClassInspector"));
    c.at(525);
    Ref find = attr(KorvexClassInspector, STR("FindNamespaceAndAssemblyFromClassName"));
    Ref value = call(find, global(STR("_dllPath_")), className);
    c.at(526);
    if (equals_none(value)) return tuple(none(), none());
    c.at(528);
    Ref item1 = attr(value, STR("Item1"));
    Ref item2 = attr(value, STR("Item2"));
    return tuple(item1, item2);
}

}  // namespace korvex
