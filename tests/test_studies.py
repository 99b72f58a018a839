"""Studies of an existing project: added, removed and duplicated through the project view model."""

import json
import os

import pytest

from module_helpers import (SETUP_MESSAGE, innermost_module_entry, module_entries,
                            recording_load_dll)

STUDY_FUNCTIONS = {
    "addPipingStudy": lambda core, project: core.addPipingStudy(project, "S2", 1920, 1080),
    "addStructureStudy": lambda core, project: core.addStructureStudy(project, "S2", 1920, 1080),
    "removeStudy": lambda core, project: core.removeStudy(project, "S1"),
    "duplicateStudy": lambda core, project: core.duplicateStudy(project, "S1", "S1b"),
}


class EqualToNone(object):
    """An SDK answer that stands for no study: equal to None, yet not None itself."""

    def __eq__(self, other):
        return other is None

    def __ne__(self, other):
        return other is not None

    __hash__ = None


@pytest.fixture
def project(core, ready, journal, tmp_path):
    """A project "Plant" with the piping study S1, made by the module; the journal is clean."""
    directory = core.addPipingProject(str(tmp_path / "work"), "Plant", "S1", 1920, 1080)
    journal.reset()
    return directory


def project_file(directory):
    name = os.path.splitext(os.path.basename(directory))[0]
    return os.path.join(directory, name + ".project")


def studies_on_disk(directory):
    with open(project_file(directory), encoding="utf-8") as f:
        return [study["Name"] for study in json.load(f)["Studies"]]


def file_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def view_model_calls(journal):
    """(member, args) of every call into the project view model, in order."""
    return [(e.member, e.args) for e in journal.entries if e.member.startswith("ProjectViewModel")]


def sdk_member(name):
    from Korvex.SDK import KorvexModule
    return getattr(KorvexModule, name)


def test_add_study_before_set_up_is_refused_by_the_library_loading(core, journal, tmp_path):
    with pytest.raises(OSError) as info:
        core.addStudy(str(tmp_path), "S2", 1920, 1080, 0)
    assert str(info.value) == SETUP_MESSAGE
    assert module_entries(info.value)[0] == ("korvex_computer.korvex_core.addStudy", 696)
    assert journal.members() == []


# ---- adding ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("function, kind", [("addPipingStudy", "Velmora"),
                                            ("addStructureStudy", "Norvane")])
def test_new_study_is_added_and_returned(core, project, journal, function, kind):
    asked = recording_load_dll(core)
    study = getattr(core, function)(project, "S2", 1920, 1080)

    assert asked == ["Korvex.SDK.dll", "Korvex.Velmora.Project.dll"]
    assert view_model_calls(journal) == [
        ("ProjectViewModel", (None,)),
        ("ProjectViewModel.LoadFromFile", (project_file(project),)),
        ("ProjectViewModel.GetStudy", ("S2",)),
        ("ProjectViewModel.AddEmptyStudy", journal.calls("ProjectViewModel.AddEmptyStudy")[0]),
        ("ProjectViewModel.GetStudy", ("S2",)),
    ]
    [(point, module, name)] = journal.calls("ProjectViewModel.AddEmptyStudy")
    assert (point.X, point.Y, module, name) == (810.0, 340.0, sdk_member(kind), "S2")
    assert (study.Name, study.Module) == ("S2", sdk_member(kind))
    assert studies_on_disk(project) == ["S1", "S2"]


def test_existing_study_name_gives_none_and_is_read_afresh_each_call(core, project, journal):
    core.addPipingStudy(project, "S2", 1920, 1080)
    assert core.addStructureStudy(project, "S2", 1920, 1080) is None
    assert core.addPipingStudy(project, "S1", "not a width", None) is None
    assert len(journal.calls("ProjectViewModel.AddEmptyStudy")) == 1
    assert len(journal.calls("ProjectViewModel")) == 3
    assert len(journal.calls("ProjectViewModel.LoadFromFile")) == 3
    assert studies_on_disk(project) == ["S1", "S2"]


@pytest.mark.parametrize("width, height, line", [("1920", 1080, 707), (1920, "1080", 708)])
def test_screen_size_that_is_no_number_raises_before_any_change(core, project, journal,
                                                                width, height, line):
    saved = file_bytes(project_file(project))
    with pytest.raises(TypeError) as info:
        core.addPipingStudy(project, "S2", width, height)
    assert module_entries(info.value) == [("korvex_computer.korvex_core.addPipingStudy", 727),
                                          ("korvex_computer.korvex_core.addStudy", line)]
    assert "ProjectViewModel.AddEmptyStudy" not in journal.members()
    assert file_bytes(project_file(project)) == saved


def test_study_lookup_compares_with_none(core, project, journal):
    journal.answer("ProjectViewModel.GetStudy", EqualToNone(), times=1)
    study = core.addPipingStudy(project, "S2", 1920, 1080)
    assert study.Name == "S2"

    journal.answer("ProjectViewModel.GetStudy", EqualToNone())
    assert core.removeStudy(project, "S1") is None
    assert core.duplicateStudy(project, "S1", "S1b") is None
    assert "ProjectViewModel.SetCurrentStudy" not in journal.members()
    assert studies_on_disk(project) == ["S1", "S2"]


def test_project_file_comes_from_the_directory_name_without_extension(core, ready, tmp_path):
    directory = core.addPipingProject(str(tmp_path), "Plant.rev", "S1", 1920, 1080)
    assert os.path.isfile(os.path.join(directory, "Plant.project"))
    assert core.addPipingStudy(directory, "S2", 1920, 1080).Name == "S2"
    core.duplicateStudy(directory, "S2", "S3")
    core.removeStudy(directory, "S1")
    assert studies_on_disk(directory) == ["S2", "S3"]


# ---- not a project -----------------------------------------------------------------------------

@pytest.mark.parametrize("function", sorted(STUDY_FUNCTIONS))
@pytest.mark.parametrize("where", ["trailing separator", "plain directory", "missing"])
def test_no_project_file_gives_none_without_a_view_model(core, project, journal, tmp_path,
                                                         function, where):
    if where == "trailing separator":
        target = project + os.sep
    elif where == "plain directory":
        target = str(tmp_path / "plain")
        os.mkdir(target)
    else:
        target = str(tmp_path / "missing")
    saved = file_bytes(project_file(project))
    asked = recording_load_dll(core)

    assert STUDY_FUNCTIONS[function](core, target) is None
    assert view_model_calls(journal) == []
    assert asked[-1] == "Korvex.Velmora.Project.dll"
    assert file_bytes(project_file(project)) == saved


# ---- removing ------------------------------------------------------------------------------------

def test_remove_study_selects_then_deletes(core, project, journal):
    core.addStructureStudy(project, "S2", 1920, 1080)
    journal.reset()
    asked = recording_load_dll(core)

    assert core.removeStudy(project, "S2") is None
    assert asked == ["Korvex.Velmora.Project.dll"]
    assert view_model_calls(journal) == [
        ("ProjectViewModel", (None,)),
        ("ProjectViewModel.LoadFromFile", (project_file(project),)),
        ("ProjectViewModel.GetStudy", ("S2",)),
        ("ProjectViewModel.SetCurrentStudy", ("S2",)),
        ("ProjectViewModel.DeleteCurrentStudy", ()),
    ]
    assert studies_on_disk(project) == ["S1"]


def test_remove_missing_study_touches_nothing(core, project, journal):
    assert core.removeStudy(project, "S9") is None
    assert [m for m, _ in view_model_calls(journal)][-1] == "ProjectViewModel.GetStudy"
    assert studies_on_disk(project) == ["S1"]


def test_removing_the_last_study_is_left_to_the_sdk(core, project, journal):
    with pytest.raises(Exception) as info:
        core.removeStudy(project, "S1")
    assert "at least one study" in str(info.value)
    assert innermost_module_entry(info.value) == ("korvex_computer.korvex_core.removeStudy", 759)
    assert journal.calls("ProjectViewModel.SetCurrentStudy") == [("S1",)]
    assert journal.calls("ProjectViewModel.DeleteCurrentStudy") == [()]
    assert studies_on_disk(project) == ["S1"]


# ---- duplicating ---------------------------------------------------------------------------------

def test_duplicate_study_copies_then_renames_the_copy(core, project, journal):
    asked = recording_load_dll(core)
    assert core.duplicateStudy(project, "S1", "S1b") is None

    assert asked == ["Korvex.Helper.dll", "Korvex.Velmora.Project.dll"]
    calls = view_model_calls(journal)
    sdk_copy_name = calls[6][1][0]
    assert calls == [
        ("ProjectViewModel", (None,)),
        ("ProjectViewModel.LoadFromFile", (project_file(project),)),
        ("ProjectViewModel.GetStudy", ("S1",)),
        ("ProjectViewModel.SetCurrentStudy", ("S1",)),
        ("ProjectViewModel.DuplicateCurrentStudy", ()),
        ("ProjectViewModel.GetCurrentStudyName", ()),
        ("ProjectViewModel.SetCurrentStudy", (sdk_copy_name,)),
        ("ProjectViewModel.RenameCurrentStudy", ("S1b",)),
    ]
    assert sdk_copy_name != "S1"
    assert studies_on_disk(project) == ["S1", "S1b"]


@pytest.mark.parametrize("copy_name", ["S1", "S2"])
def test_duplicate_asks_for_the_rename_even_when_the_name_is_taken(core, project, journal,
                                                                   copy_name):
    core.addPipingStudy(project, "S2", 1920, 1080)
    journal.reset()
    assert core.duplicateStudy(project, "S1", copy_name) is None
    assert journal.calls("ProjectViewModel.RenameCurrentStudy") == [(copy_name,)]
    assert studies_on_disk(project) == ["S1", "S2", "S1 - Copy"]


def test_duplicate_missing_study_stops_after_the_lookup(core, project, journal):
    asked = recording_load_dll(core)
    assert core.duplicateStudy(project, "S9", "S9b") is None
    assert asked == ["Korvex.Helper.dll", "Korvex.Velmora.Project.dll"]
    assert [m for m, _ in view_model_calls(journal)][-1] == "ProjectViewModel.GetStudy"


def test_failed_rename_keeps_the_copy(core, project, journal):
    failure = RuntimeError("rename refused")
    journal.fail("ProjectViewModel.RenameCurrentStudy", failure)
    with pytest.raises(RuntimeError) as info:
        core.duplicateStudy(project, "S1", "S1b")
    assert info.value is failure
    assert innermost_module_entry(info.value) == ("korvex_computer.korvex_core.duplicateStudy",
                                                  784)
    assert studies_on_disk(project) == ["S1", "S1 - Copy"]
