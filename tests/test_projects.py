"""Project folders and projects: directories on disk, the first study written by the SDK."""

import os
import sys
import types

import pytest

from module_helpers import (SETUP_MESSAGE, innermost_module_entry, module_entries,
                            recording_load_dll)

REMOVERS = {"removeProjectFolder": 626, "removeProject": 686}


@pytest.fixture
def guard_open(core):
    """Past the set-up guard without an installation: enough for the file-system functions."""
    core._validSetup_ = True


def tree(root):
    """Every path under root, relative to it, symbolic links not followed."""
    found = set()
    for directory, dirs, files in os.walk(root):
        for name in dirs + files:
            found.add(os.path.relpath(os.path.join(directory, name), root))
    return found


def make_tree(root, *files):
    for relative in files:
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(relative)


# ---- addProjectFolder ---------------------------------------------------------------------------

@pytest.mark.parametrize("directory_parts, folder_name", [
    (("new",), "F1"),                 # the receiving directory does not exist yet
    (("a", "b"), "F1"),               # nor do the directories above it
    ((), os.path.join("A", "B")),     # a folder name with a separator makes nested folders
    ((), "F1" + os.sep),              # a trailing separator: the text is returned as joined
])
def test_add_project_folder_creates_every_missing_directory(core, guard_open, tmp_path,
                                                            directory_parts, folder_name):
    directory = os.path.join(str(tmp_path), *directory_parts)
    result = core.addProjectFolder(directory, folder_name)
    assert result == os.path.join(directory, folder_name)
    assert os.path.isdir(result)
    assert os.listdir(result) == []


def test_add_project_folder_a_second_time_gives_empty_text(core, guard_open, tmp_path):
    first = core.addProjectFolder(str(tmp_path), "F1")
    (tmp_path / "F1" / "inside.txt").write_text("kept")
    assert core.addProjectFolder(str(tmp_path), "F1") == ""
    assert tree(first) == {"inside.txt"}


def test_add_project_folder_over_a_file_leaves_it_alone(core, guard_open, tmp_path):
    (tmp_path / "F1").write_text("a file")
    assert core.addProjectFolder(str(tmp_path), "F1") == ""
    assert (tmp_path / "F1").read_text() == "a file"


def test_add_project_folder_raises_when_it_cannot_create(core, guard_open, tmp_path):
    (tmp_path / "blocker").write_text("a file where a directory must be")
    with pytest.raises(OSError) as info:
        core.addProjectFolder(str(tmp_path / "blocker" / "sub"), "F1")
    assert not isinstance(info.value, TypeError)
    assert innermost_module_entry(info.value) == ("korvex_computer.korvex_core.addProjectFolder",
                                                  614)
    assert (tmp_path / "blocker").read_text() == "a file where a directory must be"


@pytest.mark.parametrize("directory, folder_name", [(None, "F1"), ("{d}", 5)])
def test_add_project_folder_refuses_non_text(core, guard_open, tmp_path, directory, folder_name):
    with pytest.raises(TypeError) as info:
        core.addProjectFolder(str(tmp_path) if directory == "{d}" else directory, folder_name)
    assert innermost_module_entry(info.value) == ("korvex_computer.korvex_core.addProjectFolder",
                                                  611)
    assert os.listdir(tmp_path) == []


# ---- removeProjectFolder and removeProject --------------------------------------------------------

@pytest.fixture(params=sorted(REMOVERS))
def remover(request, core, guard_open):
    return getattr(core, request.param)


def test_removal_deletes_the_whole_tree_and_moves_to_the_parent(remover, tmp_path):
    folder = tmp_path / "holder" / "F1"
    make_tree(str(folder), "a.txt", os.path.join("sub", "b.txt"), os.path.join("sub", "deep", "c"))
    (tmp_path / "holder" / "sibling.txt").write_text("stays")
    assert remover(str(folder)) is None
    assert not folder.exists()
    assert tree(tmp_path / "holder") == {"sibling.txt"}
    assert os.getcwd() == str(tmp_path / "holder")


@pytest.mark.parametrize("kind", ["file", "missing"])
def test_removal_ignores_what_is_not_a_directory(remover, tmp_path, kind):
    path = tmp_path / "target"
    if kind == "file":
        path.write_text("not a folder")
    cwd = os.getcwd()
    assert remover(str(path)) is None
    assert os.getcwd() == cwd
    assert tree(tmp_path) == ({"target"} if kind == "file" else set())


def test_removal_a_second_time_changes_nothing(remover, tmp_path):
    folder = tmp_path / "F1"
    folder.mkdir()
    remover(str(folder))
    os.chdir(str(tmp_path.parent))
    assert remover(str(folder)) is None
    assert os.getcwd() == str(tmp_path.parent)


def test_removal_failure_is_silent_and_the_working_directory_stays_moved(core, remover, tmp_path):
    folder = tmp_path / "F1"
    folder.mkdir()

    def rmtree(path):
        raise PermissionError(13, "Access is denied", path)

    core.shutil = types.SimpleNamespace(rmtree=rmtree)
    assert remover(str(folder)) is None
    assert folder.is_dir()
    assert os.getcwd() == str(tmp_path)


def test_removal_lets_an_interrupt_through_at_the_deletion_step(core, remover, tmp_path):
    folder = tmp_path / "F1"
    folder.mkdir()

    def rmtree(path):
        raise KeyboardInterrupt

    core.shutil = types.SimpleNamespace(rmtree=rmtree)
    with pytest.raises(KeyboardInterrupt) as info:
        remover(str(folder))
    name = remover.__name__
    assert module_entries(info.value) == [("korvex_computer.korvex_core." + name,
                                           REMOVERS[name] + 6)]


@pytest.mark.parametrize("bad_path", [None, 3.5])
def test_removal_refuses_a_path_that_is_no_path(remover, bad_path):
    cwd = os.getcwd()
    with pytest.raises(TypeError) as info:
        remover(bad_path)
    name = remover.__name__
    assert innermost_module_entry(info.value) == ("korvex_computer.korvex_core." + name,
                                                  REMOVERS[name])
    assert os.getcwd() == cwd


def test_removal_never_deletes_a_file_system_root(core, remover):
    deleted = []
    core.shutil = types.SimpleNamespace(rmtree=deleted.append)
    cwd = os.getcwd()
    assert remover(os.path.abspath(os.sep)) is None
    assert deleted == []
    assert os.getcwd() == cwd


def working_directory():
    """The working directory, or None when it has been deleted."""
    try:
        return os.getcwd()
    except FileNotFoundError:
        return None


# Relative paths are tested and split as given, from the working directory; what is deleted
# is the directory the path named at the call. The layout also holds the directory that the same
# relative text names once the working directory has moved to the parent (a "decoy" a/a/P1),
# which must survive. Paths whose parent is the empty text ("", ".", "..", a bare name) delete
# nothing and leave the working directory where it was. After a deletion the working directory
# is the parent as given: for "a/P1/" that is the deleted directory itself (None).
@pytest.mark.parametrize("relative, removed, cwd_after", [
    ("", None, "."),
    (".", None, "."),
    ("..", None, "."),
    ("P1", None, "."),
    (os.path.join("a", "P1"), os.path.join("a", "P1"), "a"),
    (os.path.join("a", "x", "..", "P1"), os.path.join("a", "P1"), "a"),
    (os.path.join("a", "P1") + os.sep, os.path.join("a", "P1"), None),
    (os.path.join("a", "P1", "sub", ".."), os.path.join("a", "P1"), None),
])
def test_relative_paths_name_the_directory_of_the_call(remover, tmp_path, relative, removed,
                                                       cwd_after):
    start = tmp_path / "w"
    make_tree(str(start), os.path.join("P1", "content.txt"), os.path.join("a", "x", "k"),
              os.path.join("a", "P1", "sub", "k"), os.path.join("a", "a", "P1", "decoy.txt"))
    before = tree(tmp_path)
    os.chdir(str(start))
    assert remover(relative) is None
    gone = os.path.join("w", removed) if removed else None
    assert tree(tmp_path) == {p for p in before
                              if not gone or (p != gone and not p.startswith(gone + os.sep))}
    assert working_directory() == (str(start / cwd_after) if cwd_after else None)
    os.chdir(str(tmp_path))


# Windows lets only a privileged user (or developer mode) make symbolic links.
needs_symbolic_links = pytest.mark.skipif(
    sys.platform == "win32" or not hasattr(os, "symlink"),
    reason="making symbolic links needs a privilege on Windows")


@needs_symbolic_links
def test_a_link_to_a_directory_never_loses_the_target_contents(remover, tmp_path):
    target = tmp_path / "elsewhere" / "target"
    make_tree(str(target), "precious.txt", os.path.join("sub", "more.txt"))
    link = tmp_path / "holder" / "link"
    link.parent.mkdir()
    os.symlink(str(target), str(link))
    assert remover(str(link)) is None
    assert tree(target) == {"precious.txt", "sub", os.path.join("sub", "more.txt")}


@needs_symbolic_links
def test_dot_dot_after_a_link_is_taken_textually(remover, tmp_path):
    # "holder/link/.." names holder itself: the link is removed, never followed.
    target = tmp_path / "elsewhere" / "target"
    make_tree(str(target), "precious.txt")
    holder = tmp_path / "holder"
    holder.mkdir()
    os.symlink(str(target), str(holder / "link"))
    assert remover(os.path.join(str(holder), "link", "..")) is None
    assert not os.path.lexists(str(holder))
    assert tree(tmp_path / "elsewhere") == {"target", os.path.join("target", "precious.txt")}
    assert os.getcwd() == os.path.realpath(str(target))


# ---- projects with their first study ---------------------------------------------------------------

KINDS = {"addPipingProject": "Velmora", "addStructureProject": "Norvane"}


def sdk_member(name):
    """A member of the SDK's own KorvexModule enumeration (not the module's)."""
    from Korvex.SDK import KorvexModule
    return getattr(KorvexModule, name)


@pytest.mark.parametrize("function", sorted(KINDS))
@pytest.mark.parametrize("width, height, x, y", [
    (1920, 1080, 810.0, 340.0),
    (1280, 1024, 490.0, 312.0),
    (200, 300, -50.0, -50.0),
    (1921, 1081.0, 810.5, 340.5),
])
def test_new_project_hands_its_first_study_to_the_sdk(core, ready, journal, tmp_path, function,
                                                      width, height, x, y):
    asked = recording_load_dll(core)
    directory = str(tmp_path / "work")
    result = getattr(core, function)(directory, "P1", "S1", width, height)

    project = os.path.join(directory, "P1")
    assert result == project
    assert os.path.isfile(os.path.join(project, "P1.project"))
    assert asked == ["Korvex.SDK.dll", "Korvex.Velmora.Project.dll"]
    assert journal.calls("ProjectViewModel") == [(None,)]
    [(path, point, description, study, module)] = journal.calls(
        "ProjectViewModel.CreateNewProject")
    assert (path, description, study) == (project, "", "S1")
    assert (point.X, point.Y) == (x, y)
    assert module == sdk_member(KINDS[function])


@pytest.mark.parametrize("function", sorted(KINDS))
def test_existing_project_path_gives_empty_text(core, ready, journal, tmp_path, function):
    directory = str(tmp_path)
    first = getattr(core, function)(directory, "P1", "S1", 1920, 1080)
    with open(os.path.join(first, "P1.project"), "rb") as f:
        saved = f.read()
    (tmp_path / "F").write_text("a file")
    journal.reset()
    asked = recording_load_dll(core)

    assert getattr(core, function)(directory, "P1", "S2", 1920, 1080) == ""
    assert getattr(core, function)(directory, "F", "S2", 1920, 1080) == ""
    assert asked == ["Korvex.SDK.dll", "Korvex.SDK.dll"]
    assert "ProjectViewModel" not in journal.members()
    assert "ProjectViewModel.CreateNewProject" not in journal.members()
    with open(os.path.join(first, "P1.project"), "rb") as f:
        assert f.read() == saved
    assert (tmp_path / "F").read_text() == "a file"


@pytest.mark.parametrize("width, height, line", [("1920", 1080, 644), (1920, None, 645)])
def test_screen_size_that_is_no_number_leaves_the_empty_directory(core, ready, journal, tmp_path,
                                                                  width, height, line):
    with pytest.raises(TypeError) as info:
        core.addPipingProject(str(tmp_path), "P1", "S1", width, height)
    assert module_entries(info.value) == [
        ("korvex_computer.korvex_core.addPipingProject", 665),
        ("korvex_computer.korvex_core.addProject", line)]
    assert os.listdir(str(tmp_path / "P1")) == []
    assert "ProjectViewModel.CreateNewProject" not in journal.members()
    # The empty directory now blocks the name.
    assert core.addPipingProject(str(tmp_path), "P1", "S1", 1920, 1080) == ""


def test_add_project_passes_the_module_value_through(core, ready, journal, tmp_path):
    directory = str(tmp_path / "not" / "yet")
    member = sdk_member("Norvane")
    assert core.addProject(directory, "P1", "S1", 1920, 1080, member) == os.path.join(directory,
                                                                                     "P1")
    assert journal.calls("ProjectViewModel.CreateNewProject")[0][4] == member


def test_add_project_before_set_up_leaves_the_directory(core, tmp_path):
    # addProject has no guard of its own: load_dll refuses once the directory is made.
    with pytest.raises(OSError) as info:
        core.addProject(str(tmp_path), "P1", "S1", 1920, 1080, 0)
    assert str(info.value) == SETUP_MESSAGE
    assert module_entries(info.value)[0] == ("korvex_computer.korvex_core.addProject", 640)
    assert os.listdir(str(tmp_path / "P1")) == []


def test_sdk_failure_reaches_the_caller_unchanged(core, ready, journal, tmp_path):
    failure = RuntimeError("disk full")
    journal.fail("ProjectViewModel.CreateNewProject", failure)
    with pytest.raises(RuntimeError) as info:
        core.addStructureProject(str(tmp_path), "P1", "S1", 1920, 1080)
    assert info.value is failure
    assert innermost_module_entry(info.value) == ("korvex_computer.korvex_core.addProject", 647)
    assert (tmp_path / "P1").is_dir()
