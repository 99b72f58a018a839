// Projects: a project directory with its first study, written by the SDK's project view model.
#include "binding/functions.h"
#include "installation/sdk_access.h"
#include "projects/projects.h"

namespace korvex {

Ref placement_point(Call& c, const Ref& Point, const Ref& screenWidth, const Ref& screenheight,
                    const PlacementLines& line) {
    c.at(line.x);
    Ref x = true_divide(subtract(screenWidth, integer(300)), integer(2));
    c.at(line.y);
    Ref y = true_divide(subtract(screenheight, integer(400)), integer(2));
    c.at(line.point);
    return call(Point, x, y);
}

Ref addProject(Call& c, Args a) {
    const Ref& directory = a[0];
    const Ref& projectName = a[1];
    const Ref& studyName = a[2];
    const Ref& screenWidth = a[3];
    const Ref& screenheight = a[4];
    const Ref& module = a[5];

    c.at(636);
    Ref projectDirectory = call(os_path(STR("join")), directory, projectName);
    c.at(637);
    if (truth(call(os_path(STR("exists")), projectDirectory))) return text(STR(""));
    c.at(639);
    call(attr(global(STR("os")), STR("makedirs")), projectDirectory);

    load_assemblies(c, 640, STR("Korvex.Velmora.Project.dll"));
    c.at(641);
    Ref ProjectViewModel = from_import(STR("Korvex.Velmora.Project"), STR("ProjectViewModel"));
    c.at(642);
    Ref Point = from_import(STR("System.Windows"), STR("Point"));
    c.at(643);
    Ref projectViewModel = call(ProjectViewModel, none());
    Ref point = placement_point(c, Point, screenWidth, screenheight, {644, 645, 646});
    c.at(647);
    call_method(projectViewModel, STR("CreateNewProject"), projectDirectory, point, text(STR("")),
                studyName, module);
    return projectDirectory;
}

Ref addPipingProject(Call& c, Args a) {
    return call_with_sdk_module(c, {662, 663, 664, 665}, STR("addProject"), STR("Velmora"), a, 5);
}

Ref addStructureProject(Call& c, Args a) {
    return call_with_sdk_module(c, {674, 675, 676, 677}, STR("addProject"), STR("Norvane"), a, 5);
}

Ref removeProject(Call& c, Args a) {
    const Ref& projectDirectory = a[0];
    remove_directory_tree(c, projectDirectory, {686, 687, 688, 689, 690, 691, 692});
    return none();
}

}  // namespace korvex
