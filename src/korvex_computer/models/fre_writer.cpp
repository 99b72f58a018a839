// writeFreFile: the PipeStress input file (.fre) of a model, written by the SDK into the
// model file's directory with the formatting settings of the application.
#include "binding/functions.h"

namespace korvex {

namespace {

// A numeric setting: read, then converted as int() does.
Ref integer_setting(const Ref& settings, Constant& section, Constant& key) {
    return to_int(call_method(settings, STR("GetSettingValue"), text(section), text(key)));
}

// An on/off setting: on only when its number is 1.
Ref flag_setting(const Ref& settings, Constant& section, Constant& key) {
    Ref number = integer_setting(settings, section, key);
    return boolean(equals(number.get(), integer(1).get()));
}

// The rotation units as the SDK's code: 1 degrees, 2 milliradians, 0 anything else.
Ref rotation_code(Call& c, const Ref& units) {
    c.at(562);
    if (equals(units.get(), name(STR("Degrees")))) return integer(1);
    c.at(564);
    if (equals(units.get(), name(STR("Milliradians")))) return integer(2);
    return integer(0);
}

}  // namespace

Ref writeFreFile(Call& c, Args a) {
    const Ref& quarl = a[0];
    const Ref& quarlFilename = a[1];

    load_assemblies(c, 541, STR("Korvex.Velmora.Core.dll"));
    c.at(542);
    Ref PSLibrary = from_import(STR("Korvex.Velmora.Core"), STR("PSLibrary"));
    c.at(543);
    Ref join = os_path(STR("join"));
    Ref PSLibraryFilename =
        call(join, global(STR("_dllPath_")), text(STR("Korvex.PipeStress.lib")));
    c.at(544);
    if (!path_exists(PSLibraryFilename)) {
        c.at(545);
        raise(PyExc_OSError, STR("Invalid setup! Korvex.PipeStress.lib not found!"));
    }
    c.at(546);
    call_method(PSLibrary, STR("Initialize"), PSLibraryFilename);

    c.at(547);
    Ref directory = call(os_path(STR("dirname")), quarlFilename);
    c.at(548);
    Ref splitext = os_path(STR("splitext"));
    Ref basename = call(os_path(STR("basename")), quarlFilename);
    Ref studyname = item_at(call(splitext, basename), 0);

    // The model's own .fre file is rewritten only when it is already there.
    c.at(549);
    join = os_path(STR("join"));
    Ref frefile = call(join, directory, add(studyname, text(STR(".fre"))));
    c.at(550);
    if (!path_exists(frefile)) {
        c.at(551);
        frefile = call(os_path(STR("join")), directory, text(STR("conception.fre")));
    }
    c.at(552);
    if (path_exists(frefile)) {
        // A file that cannot be removed is left for the SDK to write over.
        c.at(554);
        except_exception([&] { call(attr(global(STR("os")), STR("remove")), frefile); });
    }

    c.at(557);
    Ref settings = call_method(global(STR("_Application_")), STR("GetSettingsController"));
    c.at(558);
    if (!not_equals_none(settings)) return none();

    c.at(560);
    Ref maxLength = integer_setting(settings, STR("PIPESTRESS"), STR("MAX FIELD LENGTH"));
    c.at(561);
    Ref s = call_method(settings, STR("GetSettingValue"), text(STR("PIPESTRESS")),
                        text(STR("ROTATION UNITS")));
    Ref rotationOption = rotation_code(c, s);
    c.at(568);
    Ref inlineRestraints =
        flag_setting(settings, STR("PIPESTRESS"), STR("GENERATE RESTRAINTS INLINE"));
    c.at(569);
    Ref inlineDLCS = flag_setting(settings, STR("PIPESTRESS"), STR("GENERATE DLCS INLINE"));
    c.at(570);
    Ref inlineINDI = flag_setting(settings, STR("PIPESTRESS"), STR("GENERATE INDI INLINE"));
    c.at(571);
    Ref writeImperial = flag_setting(settings, STR("VELMORA"), STR("USE IMPERIAL NOTATION"));

    c.at(572);
    Ref write = attr(quarl, STR("WriteFreFile"));
    Ref arguments = tuple(frefile, none(), maxLength, rotationOption, boolean(false), writeImperial,
                          inlineRestraints, inlineDLCS, inlineINDI, boolean(false), none(), none());
    call_object(write.get(), arguments.get());
    return none();
}

}  // namespace korvex
