// Studies: new empty studies added to an existing project through the project view model.
#include "binding/functions.h"
#include "projects/projects.h"

namespace korvex {

Ref project_file_of(Call& c, const Ref& projectDirectory, int line) {
    c.at(line);
    Ref base = call(os_path("basename"), projectDirectory);
    Ref projectName = Ref::steal(PySequence_GetItem(call(os_path("splitext"), base).get(), 0));
    c.at(line + 1);
    return call(os_path("join"), projectDirectory, add(projectName, text(".project")));
}

Ref addStudy(Call& c, Args a) {
    const Ref& projectDirectory = a[0];
    const Ref& studyName = a[1];
    const Ref& screenWidth = a[2];
    const Ref& screenheight = a[3];
    const Ref& module = a[4];

    c.at(696);
    load_assembly("Korvex.Velmora.Project.dll");
    c.at(697);
    Ref ProjectViewModel = from_import("Korvex.Velmora.Project", "ProjectViewModel");
    c.at(698);
    Ref Point = from_import("System.Windows", "Point");
    Ref projectFilename = project_file_of(c, projectDirectory, 699);
    c.at(701);
    if (!truth(call(os_path("exists"), projectFilename))) return none();

    c.at(703);
    Ref projectViewModel = call(ProjectViewModel, none());
    c.at(704);
    call_method(projectViewModel, "LoadFromFile", projectFilename);
    c.at(705);
    if (!equals_none(call_method(projectViewModel, "GetStudy", studyName))) return none();

    Ref point = placement_point(c, Point, screenWidth, screenheight, 707);
    c.at(710);
    call_method(projectViewModel, "AddEmptyStudy", point, module, studyName);
    c.at(711);
    return call_method(projectViewModel, "GetStudy", studyName);
}

namespace {

// addPipingStudy and addStructureStudy: addStudy with a member of the SDK's own KorvexModule
// enumeration (never the module's enumeration of the same name).
Ref add_study_of_kind(Call& c, Args a, const char* member, int first_line) {
    c.at(first_line);
    load_assembly("Korvex.SDK.dll");
    c.at(first_line + 1);
    Ref KorvexModule = from_import("Korvex.SDK", "KorvexModule");
    c.at(first_line + 2);
    Ref addStudy = global("addStudy");
    Ref module = attr(KorvexModule, member);
    c.at(first_line + 3);
    return call(addStudy, a[0], a[1], a[2], a[3], module);
}

}  // namespace

Ref addPipingStudy(Call& c, Args a) { return add_study_of_kind(c, a, "Velmora", 724); }

Ref addStructureStudy(Call& c, Args a) { return add_study_of_kind(c, a, "Norvane", 736); }

}  // namespace korvex
