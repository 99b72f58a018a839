"""Projects and studies kept on disk by ProjectViewModel."""

import json
import os

import pytest

from System import ArgumentException, InvalidOperationException
from System.IO import DirectoryNotFoundException, FileNotFoundException, IOException, InvalidDataException
from System.Windows import Point


@pytest.fixture
def project(sdk, tmp_path):
    """A project "Plant" with its first, piping study "S1"; returns (directory, open view model)."""
    from Korvex.SDK import KorvexModule
    from Korvex.Velmora.Project import ProjectViewModel
    directory = tmp_path / "Plant"
    directory.mkdir()
    view = ProjectViewModel(None)
    view.CreateNewProject(str(directory), Point(810.0, 340.0), "", "S1", KorvexModule.Velmora)
    return directory, view


def reopened(directory):
    from Korvex.Velmora.Project import ProjectViewModel
    view = ProjectViewModel(None)
    view.LoadFromFile(str(directory / (directory.name + ".project")))
    return view


def study_names(directory):
    document = json.loads((directory / (directory.name + ".project")).read_text(encoding="utf-8"))
    return [s["Name"] for s in document["Studies"]], document["CurrentStudy"]


def test_new_project_on_disk(project):
    from Korvex.SDK import KorvexModule
    directory, _ = project
    assert study_names(directory) == (["S1"], "S1")
    assert (directory / "Studies" / "S1" / "S1.quarl").is_file()
    study = reopened(directory).GetStudy("S1")
    assert (study.Name, study.Module, study.Position) == ("S1", KorvexModule.Velmora, Point(810, 340))
    assert reopened(directory).GetStudy("S2") is None


def test_project_file_name_drops_the_extension(sdk, tmp_path):
    from Korvex.SDK import KorvexModule
    from Korvex.Velmora.Project import ProjectViewModel
    directory = tmp_path / "Plant.rev"
    directory.mkdir()
    ProjectViewModel(None).CreateNewProject(str(directory), Point(0, 0), "", "S1", KorvexModule.Norvane)
    assert (directory / "Plant.project").is_file()


@pytest.mark.parametrize("case,error", [
    ("missing directory", DirectoryNotFoundException),
    ("project exists", IOException),
    ("bad study name", ArgumentException),
    ("not a point", TypeError),
    ("module enum of the script", TypeError),
])
def test_create_project_failures(sdk, tmp_path, case, error):
    from Korvex.SDK import KorvexModule
    from Korvex.Velmora.Project import ProjectViewModel
    directory = tmp_path / "P"
    args = [str(directory), Point(0, 0), "", "S1", KorvexModule.Velmora]
    if case != "missing directory":
        directory.mkdir()
    if case == "project exists":
        (directory / "P.project").write_text("{}")
    elif case == "bad study name":
        args[3] = "a/b"
    elif case == "not a point":
        args[1] = (0, 0)
    elif case == "module enum of the script":
        args[4] = 0
    with pytest.raises(error):
        ProjectViewModel(None).CreateNewProject(*args)


def test_add_study_persists_at_once(project):
    from Korvex.SDK import KorvexModule
    directory, _ = project
    view = reopened(directory)
    view.AddEmptyStudy(Point(1, 2), KorvexModule.Norvane, "Frame")
    assert study_names(directory) == (["S1", "Frame"], "Frame")
    assert json.loads((directory / "Studies" / "Frame" / "Frame.quarl").read_text())["Module"] == "Norvane"
    assert reopened(directory).GetStudy("Frame").Module == KorvexModule.Norvane
    with pytest.raises(ArgumentException, match="already exists"):
        view.AddEmptyStudy(Point(1, 2), KorvexModule.Norvane, "Frame")


def test_delete_current_study(project):
    from Korvex.SDK import KorvexModule
    directory, view = project
    view.AddEmptyStudy(Point(0, 0), KorvexModule.Velmora, "S2")
    view = reopened(directory)
    view.SetCurrentStudy("S1")
    view.DeleteCurrentStudy()
    assert study_names(directory) == (["S2"], "S2")
    assert not (directory / "Studies" / "S1").exists()
    with pytest.raises(InvalidOperationException, match="at least one study"):
        reopened(directory).DeleteCurrentStudy()
    assert study_names(directory) == (["S2"], "S2")


def test_duplicate_and_rename(project):
    directory, _ = project
    view = reopened(directory)
    view.SetCurrentStudy("S1")
    view.DuplicateCurrentStudy()
    assert view.GetCurrentStudyName() == "S1 - Copy"
    assert (directory / "Studies" / "S1 - Copy" / "S1 - Copy.quarl").is_file()
    view.DuplicateCurrentStudy()
    assert view.GetCurrentStudyName() == "S1 - Copy - Copy"
    view.SetCurrentStudy("S1")
    view.DuplicateCurrentStudy()
    assert view.GetCurrentStudyName() == "S1 - Copy (2)"
    assert view.RenameCurrentStudy("S1b") is True
    assert (directory / "Studies" / "S1b" / "S1b.quarl").is_file()
    assert view.RenameCurrentStudy("S1") is False
    assert study_names(directory) == (["S1", "S1 - Copy", "S1 - Copy - Copy", "S1b"], "S1b")


def test_duplicate_needs_the_helper_assembly(inst, tmp_path):
    import clr
    import korvex_standin
    for name in ("Korvex.SDK.dll", "Korvex.Velmora.Project.dll"):
        clr.AddReference(inst.assembly_path(name))
    from Korvex.SDK import KorvexModule
    from Korvex.Velmora.Project import ProjectViewModel
    (tmp_path / "P").mkdir()
    view = ProjectViewModel(None)
    view.CreateNewProject(str(tmp_path / "P"), Point(0, 0), "", "S1", KorvexModule.Velmora)
    with pytest.raises(FileNotFoundException, match="Korvex.Helper"):
        view.DuplicateCurrentStudy()
    assert "Korvex.Helper" not in korvex_standin.loaded_assemblies()


@pytest.mark.parametrize("call", [lambda v: v.GetStudy("S1"), lambda v: v.DeleteCurrentStudy(),
                                  lambda v: v.GetCurrentStudyName()])
def test_members_need_an_open_project(sdk, call):
    from Korvex.Velmora.Project import ProjectViewModel
    with pytest.raises(InvalidOperationException, match="No project is open"):
        call(ProjectViewModel(None))


@pytest.mark.parametrize("content,error", [(None, FileNotFoundException), ("{}", InvalidDataException),
                                           ("not json", InvalidDataException)])
def test_load_refuses_bad_project_files(sdk, tmp_path, content, error):
    from Korvex.Velmora.Project import ProjectViewModel
    path = tmp_path / "P.project"
    if content is not None:
        path.write_text(content)
    with pytest.raises(error):
        ProjectViewModel(None).LoadFromFile(str(path))


def test_set_current_study_refuses_unknown_names(project):
    directory, view = project
    with pytest.raises(ArgumentException, match="no study named 'S9'"):
        view.SetCurrentStudy("S9")
    assert study_names(directory) == (["S1"], "S1")
    assert os.path.isfile(view.ProjectFile)
