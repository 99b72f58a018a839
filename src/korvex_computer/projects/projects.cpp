// Projects: a project directory with its first study, written by the SDK's project view model.
#include "binding/functions.h"
#include "installation/sdk_access.h"
#include "projects/projects.h"

namespace korvex {

Ref placement_point(Call& c, const Ref& Point, const Ref& screenWidth, const Ref& screenheight,
                    int line) {
    c.at(line);
    Ref x = true_divide(subtract(screenWidth, integer(300)), integer(2));
    c.at(line + 1);
    Ref y = true_divide(subtract(screenheight, integer(400)), integer(2));
    c.at(line + 2);
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
    Ref projectDirectory = call(os_path("join"), directory, projectName);
    c.at(637);
    if (truth(call(os_path("exists"), projectDirectory))) return text("");
    c.at(639);
    call(attr(global("os"), "makedirs"), projectDirectory);

    c.at(640);
    load_assembly("Korvex.Velmora.Project.dll");
    c.at(641);
    Ref ProjectViewModel = from_import("Korvex.Velmora.Project", "ProjectViewModel");
    c.at(642);
    Ref Point = from_import("System.Windows", "Point");
    c.at(643);
    Ref projectViewModel = call(ProjectViewModel, none());
    Ref point = placement_point(c, Point, screenWidth, screenheight, 644);
    c.at(647);
    call_method(projectViewModel, "CreateNewProject", projectDirectory, point, text(""), studyName,
                module);
    return projectDirectory;
}

Ref addPipingProject(Call& c, Args a) {
    return call_with_sdk_module(c, 662, 665, "addProject", "Velmora", a, 5);
}

Ref addStructureProject(Call& c, Args a) {
    return call_with_sdk_module(c, 674, 677, "addProject", "Norvane", a, 5);
}

Ref removeProject(Call& c, Args a) {
    const Ref& projectDirectory = a[0];
    remove_directory_tree(c, projectDirectory, 686);
    return none();
}

}  // namespace korvex
