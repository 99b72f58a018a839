// loadQuarl, saveQuarl and getQuarl: quarL models read from and written to .quarl files.
#include "binding/functions.h"

namespace korvex {

Ref loadQuarl(Call& c, Args a) {
    const Ref& quarlFilename = a[0];

    c.at(191);
    if (!truth(call(os_path(STR("exists")), quarlFilename))) return none();

    load_assemblies(c, 193, STR("Korvex.SDK.dll"), STR("Korvex.Helper.dll"),
                    STR("Korvex.Velmora.Core.dll"));
    c.at(196);
    Ref Model = from_import(STR("Korvex.Velmora.Core"), STR("Model"));
    c.at(197);
    Ref quarl = call(Model);

    // A file that the SDK cannot read is no model: the half-built instance is dropped.
    c.at(199);
    bool loaded = except_exception([&] { call_method(quarl, STR("LoadFromFile"), quarlFilename); });
    return loaded ? quarl : none();
}

Ref saveQuarl(Call& c, Args a) {
    const Ref& quarl = a[0];
    const Ref& quarlFilename = a[1];

    c.at(215);
    if (!not_equals_none(quarl)) return none();
    c.at(216);
    call_method(quarl, STR("SaveToFile"), quarlFilename);
    c.at(217);
    call(global(STR("writeFreFile")), quarl, quarlFilename);
    return none();
}

Ref getQuarl(Call& c, Args a) {
    const Ref& directory = a[0];

    c.at(227);
    return call(global(STR("find_first_file")), directory, text(STR(".quarl")));
}

}  // namespace korvex
