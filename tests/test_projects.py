"""Project folders and projects: directories on disk, the first study written by the SDK."""

import os
import types

import pytest

from module_helpers import SETUP_MESSAGE, innermost_module_entry, module_entries

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


def recording_load_dll(core):
    """Wraps the module's load_dll so a test can see which assemblies a function asked for."""
    asked = []
    original = core.load_dll

    def load_dll(name):
        asked.append(name)
        return original(name)

    core.load_dll = load_dll
    return asked


# ---- the set-up guard -------------------------------------------------------------------------

@pytest.mark.parametrize("function, args", [
    ("addProjectFolder", ("{d}", "F")),
    ("removeProjectFolder", ("{d}",)),
    ("removeProject", ("{d}",)),
    ("addPipingProject", ("{d}", "P", "S", 1920, 1080)),
    ("addStructureProject", ("{d}", "P", "S", 1920, 1080)),
])
def test_guarded_functions_change_nothing_before_set_up(core, journal, tmp_path, function, args):
    directory = tmp_path / "work"
    directory.mkdir()
    (directory / "keep.txt").write_text("x")
    cwd = os.getcwd()
    with pytest.raises(OSError) as info:
        getattr(core, function)(*[str(directory) if a == "{d}" else a for a in args])
    assert str(info.value) == SETUP_MESSAGE
    assert tree(directory) == {"keep.txt"}
    assert os.getcwd() == cwd
    assert journal.members() == []


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


@pytest.mark.parametrize("bad_path", [None, 3, 2.5])
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


# Relative paths are made absolute once, against the working directory at the call. The layouts
# below also hold the directory that the same relative text names once the working directory
# has moved to the parent (a "decoy"): it must survive.
@pytest.mark.parametrize("relative, removed, decoy", [
    ("P1", "P1", None),
    (os.path.join("a", "P1"), os.path.join("a", "P1"), os.path.join("a", "a", "P1")),
    (os.path.join("a", "x", "..", "P1"), os.path.join("a", "P1"),
     os.path.join("a", "a", "P1")),
    (os.path.join("a", "P1", "sub", ".."), os.path.join("a", "P1"),
     os.path.join("a", "a", "P1")),
    (os.path.join("a", "P1") + os.sep, os.path.join("a", "P1"), os.path.join("a", "a", "P1")),
])
def test_relative_paths_are_resolved_once(remover, tmp_path, relative, removed, decoy):
    make_tree(str(tmp_path), os.path.join(removed, "content.txt"), os.path.join("a", "x", "k"),
              os.path.join("a", "P1", "sub", "k"))
    if decoy:
        make_tree(str(tmp_path), os.path.join(decoy, "decoy.txt"))
    before = tree(tmp_path)
    os.chdir(str(tmp_path))
    assert remover(relative) is None
    assert not (tmp_path / removed).exists()
    assert tree(tmp_path) == {p for p in before
                              if p != removed and not p.startswith(removed + os.sep)}
    assert os.getcwd() == os.path.dirname(str(tmp_path / removed))


@pytest.mark.skipif(not hasattr(os, "symlink"), reason="needs symbolic links")
def test_a_link_to_a_directory_never_loses_the_target_contents(remover, tmp_path):
    target = tmp_path / "elsewhere" / "target"
    make_tree(str(target), "precious.txt", os.path.join("sub", "more.txt"))
    link = tmp_path / "holder" / "link"
    link.parent.mkdir()
    os.symlink(str(target), str(link))
    assert remover(str(link)) is None
    assert tree(target) == {"precious.txt", "sub", os.path.join("sub", "more.txt")}


@pytest.mark.skipif(not hasattr(os, "symlink"), reason="needs symbolic links")
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
    assert os.getcwd() == str(tmp_path)
