// Projects: a project directory with its first study, written by the SDK's project view model.
#include "binding/functions.h"
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

namespace {

// addPipingProject and addStructureProject: addProject with a member of the SDK's own
// KorvexModule enumeration (never the module's enumeration of the same name).
Ref add_project_of_kind(Call& c, Args a, const char* member, int first_line) {
    c.at(first_line);
    load_assembly("Korvex.SDK.dll");
    c.at(first_line + 1);
    Ref KorvexModule = from_import("Korvex.SDK", "KorvexModule");
    c.at(first_line + 2);
    Ref addProject = global("addProject");
    Ref module = attr(KorvexModule, member);
    c.at(first_line + 3);
    return call(addProject, a[0], a[1], a[2], a[3], a[4], module);
}

}  // namespace

Ref addPipingProject(Call& c, Args a) { return add_project_of_kind(c, a, "Velmora", 662); }

Ref addStructureProject(Call& c, Args a) { return add_project_of_kind(c, a, "Norvane", 674); }

Ref removeProject(Call& c, Args a) {
    const Ref& projectDirectory = a[0];
    remove_directory_tree(c, projectDirectory, 686);
    return none();
}

}  // namespace korvex
