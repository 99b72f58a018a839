// Studies: new empty studies added to an existing project through the project view model.
#include "binding/functions.h"
#include "installation/sdk_access.h"
#include "projects/projects.h"

namespace korvex {

Ref project_file_of(Call& c, const Ref& projectDirectory, const ProjectFileLines& line) {
    c.at(line.name);
    Ref base = call(os_path(STR("basename")), projectDirectory);
    Ref projectName = item_at(call(os_path(STR("splitext")), base), 0);
    c.at(line.join);
    return call(os_path(STR("join")), projectDirectory, add(projectName, text(STR(".project"))));
}

Ref addStudy(Call& c, Args a) {
    const Ref& projectDirectory = a[0];
    const Ref& studyName = a[1];
    const Ref& screenWidth = a[2];
    const Ref& screenheight = a[3];
    const Ref& module = a[4];

    load_assemblies(c, 696, STR("Korvex.Velmora.Project.dll"));
    c.at(697);
    Ref ProjectViewModel = from_import(STR("Korvex.Velmora.Project"), STR("ProjectViewModel"));
    c.at(698);
    Ref Point = from_import(STR("System.Windows"), STR("Point"));
    Ref projectFilename = project_file_of(c, projectDirectory, {699, 700});
    c.at(701);
    if (!truth(call(os_path(STR("exists")), projectFilename))) return none();

    c.at(703);
    Ref projectViewModel = call(ProjectViewModel, none());
    c.at(704);
    call_method(projectViewModel, STR("LoadFromFile"), projectFilename);
    c.at(705);
    if (!equals_none(call_method(projectViewModel, STR("GetStudy"), studyName))) return none();

    Ref point = placement_point(c, Point, screenWidth, screenheight, {707, 708, 709});
    c.at(710);
    call_method(projectViewModel, STR("AddEmptyStudy"), point, module, studyName);
    c.at(711);
    return call_method(projectViewModel, STR("GetStudy"), studyName);
}

Ref addPipingStudy(Call& c, Args a) {
    return call_with_sdk_module(c, {724, 725, 726, 727}, STR("addStudy"), STR("Velmora"), a, 4);
}

Ref addStructureStudy(Call& c, Args a) {
    return call_with_sdk_module(c, {736, 737, 738, 739}, STR("addStudy"), STR("Norvane"), a, 4);
}

}  // namespace korvex
