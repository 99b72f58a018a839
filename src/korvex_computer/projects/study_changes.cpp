// Removal and duplication of a project's studies, through the project view model's notion of
// the current study.
#include "binding/functions.h"
#include "projects/projects.h"

namespace korvex {

Ref removeStudy(Call& c, Args a) {
    const Ref& projectDirectory = a[0];
    const Ref& studyName = a[1];

    load_assemblies(c, 748, STR("Korvex.Velmora.Project.dll"));
    c.at(749);
    Ref ProjectViewModel = from_import(STR("Korvex.Velmora.Project"), STR("ProjectViewModel"));
    Ref projectFilename = project_file_of(c, projectDirectory, {750, 751});
    c.at(752);
    if (!truth(call(os_path(STR("exists")), projectFilename))) return none();

    c.at(754);
    Ref projectViewModel = call(ProjectViewModel, none());
    c.at(755);
    call_method(projectViewModel, STR("LoadFromFile"), projectFilename);
    c.at(756);
    if (!not_equals_none(call_method(projectViewModel, STR("GetStudy"), studyName))) return none();

    c.at(758);
    call_method(projectViewModel, STR("SetCurrentStudy"), studyName);
    c.at(759);
    call_method(projectViewModel, STR("DeleteCurrentStudy"));
    return none();
}

Ref duplicateStudy(Call& c, Args a) {
    const Ref& projectDirectory = a[0];
    const Ref& studyName = a[1];
    const Ref& copyStudyName = a[2];

    load_assemblies(c, 769, STR("Korvex.Helper.dll"), STR("Korvex.Velmora.Project.dll"));
    c.at(771);
    Ref ProjectViewModel = from_import(STR("Korvex.Velmora.Project"), STR("ProjectViewModel"));
    Ref projectFilename = project_file_of(c, projectDirectory, {772, 773});
    c.at(774);
    if (!truth(call(os_path(STR("exists")), projectFilename))) return none();

    c.at(776);
    Ref projectViewModel = call(ProjectViewModel, none());
    c.at(777);
    call_method(projectViewModel, STR("LoadFromFile"), projectFilename);
    c.at(778);
    if (!not_equals_none(call_method(projectViewModel, STR("GetStudy"), studyName))) return none();

    c.at(780);
    call_method(projectViewModel, STR("SetCurrentStudy"), studyName);
    c.at(781);
    call_method(projectViewModel, STR("DuplicateCurrentStudy"));
    // The copy is the current study now, under the name the SDK gave it.
    c.at(782);
    Ref newStudyName = call_method(projectViewModel, STR("GetCurrentStudyName"));
    c.at(783);
    call_method(projectViewModel, STR("SetCurrentStudy"), newStudyName);
    c.at(784);
    call_method(projectViewModel, STR("RenameCurrentStudy"), copyStudyName);
    return none();
}

}  // namespace korvex
