// FindSolverPaths and FindDataProjectPaths: pick the solver paths and the data and project
// directories out of the parsed settings files.
#include "binding/functions.h"

namespace korvex {

namespace {

// The traceback lines of the steps of the walk for one solver's path.
struct SolverWalkLines {
    int for_family, family_test;
    int for_sub_family, sub_family_test;
    int for_setting, setting_test;
    int assignment;
};

// Walks Families / SubFamilies "PATH" / Settings for one solver. Every match is visited and
// each overwrites the one before, so the last match in document order wins.
Ref solver_path(Call& c, const Ref& settings, Constant& family_name, Constant& setting_name,
                const SolverWalkLines& line) {
    auto named = [](const Ref& entry, Constant& expected) {
        return item_equals(entry, STR("Name"), expected);
    };
    Ref path = none();
    c.at(line.for_family);
    for_each(c, line.for_family, item(settings, STR("Families")), [&](const Ref& family) {
        c.at(line.family_test);
        if (!named(family, family_name)) return;
        c.at(line.for_sub_family);
        Ref sub_families = item(family, STR("SubFamilies"));
        for_each(c, line.for_sub_family, sub_families, [&](const Ref& sub_family) {
            c.at(line.sub_family_test);
            if (!named(sub_family, STR("PATH"))) return;
            c.at(line.for_setting);
            Ref settings_of_path = item(sub_family, STR("Settings"));
            for_each(c, line.for_setting, settings_of_path, [&](const Ref& setting) {
                c.at(line.setting_test);
                if (!named(setting, setting_name)) return;
                c.at(line.assignment);
                path = item(setting, STR("Value"));
            });
        });
    });
    return path;
}

}  // namespace

Ref FindSolverPaths(Call& c, Args a) {
    Ref aster = solver_path(c, a[0], STR("ASTER"), STR("WINDOWS SOLVER PATH"),
                            {154, 155, 156, 157, 158, 159, 160});
    Ref pipestress = solver_path(c, a[0], STR("PIPESTRESS"), STR("SOLVER PATH"),
                                 {162, 163, 164, 165, 166, 167, 168});
    c.at(169);
    if (equals(aster.get(), name(STR("")))) {
        c.at(170);
        aster = none();
    }
    c.at(171);
    if (equals(pipestress.get(), name(STR("")))) {
        c.at(172);
        pipestress = none();
    }
    c.at(173);
    return tuple(aster, pipestress);
}

Ref FindDataProjectPaths(Call& c, Args a) {
    c.at(179);
    Ref data_directory = item(a[0], STR("CurrentDatasDirectory"));
    c.at(180);
    Ref projects_directory = item(a[0], STR("CurrentProjectsDirectory"));
    c.at(181);
    return tuple(data_directory, projects_directory);
}

}  // namespace korvex
