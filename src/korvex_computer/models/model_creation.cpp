// createQuarl, createPipingQuarl and createStructureQuarl: new empty models with layer "0".
#include "binding/functions.h"

namespace korvex {

Ref createQuarl(Call& c, Args a) {
    const Ref& module = a[0];

    c.at(233);
    load_assembly("Korvex.Helper.dll");
    c.at(234);
    load_assembly("Korvex.Velmora.Core.dll");
    c.at(235);
    std::vector<Ref> classes = from_import("Korvex.Velmora.Core", {"Model", "Layer"});
    const Ref& Model = classes[0];
    const Ref& Layer = classes[1];
    c.at(236);
    Ref quarl = call(Model, module);
    c.at(237);
    Ref layer0 = call(Layer, text("0"));
    c.at(238);
    call_method(attr(quarl, "Layers"), "Add", layer0);
    return quarl;
}

namespace {

// Both public creators hand createQuarl a member of the SDK's own KorvexModule enumeration,
// never the module's enumeration of the same name.
Ref create_quarl_for(Call& c, int first_step_line, const char* sdk_module_member) {
    c.at(first_step_line);
    load_assembly("Korvex.SDK.dll");
    c.at(first_step_line + 1);
    Ref KorvexModule = from_import("Korvex.SDK", "KorvexModule");
    c.at(first_step_line + 2);
    Ref create = global("createQuarl");
    Ref member = attr(KorvexModule, sdk_module_member);
    return call(create, member);
}

}  // namespace

Ref createPipingQuarl(Call& c, Args) { return create_quarl_for(c, 249, "Velmora"); }

Ref createStructureQuarl(Call& c, Args) { return create_quarl_for(c, 261, "Norvane"); }

}  // namespace korvex
