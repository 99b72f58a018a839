// createQuarl, createPipingQuarl and createStructureQuarl: new empty models with layer "0".
#include "binding/functions.h"
#include "installation/sdk_access.h"

namespace korvex {

Ref createQuarl(Call& c, Args a) {
    const Ref& module = a[0];

    load_assemblies(c, 233, STR("Korvex.Helper.dll"), STR("Korvex.Velmora.Core.dll"));
    c.at(235);
    const auto [Model, Layer] = from_import(STR("Korvex.Velmora.Core"), STR("Model"), STR("Layer"));
    c.at(236);
    Ref quarl = call(Model, module);
    c.at(237);
    Ref layer0 = call(Layer, text(STR("0")));
    c.at(238);
    call_method(attr(quarl, STR("Layers")), STR("Add"), layer0);
    return quarl;
}

Ref createPipingQuarl(Call& c, Args a) {
    return call_with_sdk_module(c, {249, 250, 251, 251}, STR("createQuarl"), STR("Velmora"), a, 0);
}

Ref createStructureQuarl(Call& c, Args a) {
    return call_with_sdk_module(c, {261, 262, 263, 263}, STR("createQuarl"), STR("Norvane"), a, 0);
}

}  // namespace korvex
