"""find_first_file and copyDirectoryToTemp: directory scans and copies under the temp root."""

import os
import types
import uuid

import pytest

from module_helpers import module_entries

FIND = "korvex_computer.korvex_core.find_first_file"
COPY = "korvex_computer.korvex_core.copyDirectoryToTemp"


def make_tree(root, entries):
    """Creates files and (names ending in "/") directories under root."""
    root.mkdir(parents=True, exist_ok=True)
    for entry in entries:
        if entry.endswith("/"):
            (root / entry).mkdir()
        else:
            (root / entry).write_text(entry)
    return root


@pytest.fixture
def listed_os(core):
    """Gives the module an `os` whose listing comes in a chosen order and whose file tests are
    recorded; returns (install, tested) where install(order) sets the order."""
    tested = []

    def isfile(path):
        tested.append(os.path.basename(path))
        return os.path.isfile(path)

    fake_path = types.SimpleNamespace(join=os.path.join, isfile=isfile)

    def install(order):
        core.os = types.SimpleNamespace(listdir=lambda directory: list(order), path=fake_path)

    return install, tested


@pytest.mark.parametrize("entries, order, ext, expected, tested", [
    # only the entry name is lower-cased; the result keeps its own case
    (["Model.QUARL"], ["Model.QUARL"], ".quarl", "Model.QUARL", ["Model.QUARL"]),
    # an upper-case extension never matches a lower-cased name
    (["Model.QUARL", "a.quarl"], ["Model.QUARL", "a.quarl"], ".QUARL", "", []),
    # a suffix without a dot matches names that merely end in it
    (["abcthf", "z.thf"], ["abcthf", "z.thf"], "thf", "abcthf", ["abcthf"]),
    # an empty suffix: the first regular file, directories skipped
    (["sub/", "b.txt", "a.txt"], ["sub", "b.txt", "a.txt"], "", "b.txt", ["sub", "b.txt"]),
    # a directory named like a file is skipped
    (["x.thf/", "y.thf"], ["x.thf", "y.thf"], ".thf", "y.thf", ["x.thf", "y.thf"]),
    # the first match in listing order wins and the later ones are never tested
    (["B.QUARL", "a.quarl", "c.quarl"], ["B.QUARL", "a.quarl", "c.quarl"], ".quarl", "B.QUARL",
     ["B.QUARL"]),
    (["B.QUARL", "a.quarl"], ["a.quarl", "B.QUARL"], ".quarl", "a.quarl", ["a.quarl"]),
    # no match at all
    (["a.txt", "b.fre"], ["a.txt", "b.fre"], ".thf", "", []),
    ([], [], ".thf", "", []),
])
def test_find_first_file_walks_listing_order(core, tmp_path, listed_os, entries, order, ext,
                                             expected, tested):
    directory = str(make_tree(tmp_path / "d", entries))
    install, isfile_calls = listed_os
    install(order)
    result = core.find_first_file(directory, ext)
    assert result == (os.path.join(directory, expected) if expected else "")
    assert isfile_calls == tested


def test_find_first_file_on_a_real_listing(core, tmp_path):
    directory = str(make_tree(tmp_path / "d", ["notes.txt", "Case.THF"]))
    assert core.find_first_file(directory, ".thf") == os.path.join(directory, "Case.THF")
    assert core.find_first_file(directory, ".quarl") == ""
    assert core.find_first_file(directory=directory, ext=".txt") == os.path.join(directory,
                                                                                 "notes.txt")


@pytest.mark.parametrize("directory_name, exception", [
    ("missing", FileNotFoundError),
    ("plain.txt", NotADirectoryError),
])
def test_find_first_file_listing_error_passes_through(core, tmp_path, directory_name, exception):
    (tmp_path / "plain.txt").write_text("x")
    with pytest.raises(exception) as info:
        core.find_first_file(str(tmp_path / directory_name), ".thf")
    assert module_entries(info.value) == [(FIND, 484)]


def test_find_first_file_error_inside_the_walk_names_the_walk(core, tmp_path):
    directory = make_tree(tmp_path / "d", ["a.thf"])
    # a bytes listing cannot be tested against a text suffix
    with pytest.raises(TypeError) as info:
        core.find_first_file(bytes(directory), ".thf")
    assert module_entries(info.value) == [(FIND, 484), ("genexpr", 484)]


def test_find_first_file_file_test_error_names_the_walk(core, tmp_path):
    directory = str(make_tree(tmp_path / "d", ["a.thf"]))

    def isfile(path):
        raise PermissionError(13, "denied", path)

    core.os = types.SimpleNamespace(listdir=os.listdir,
                                    path=types.SimpleNamespace(join=os.path.join, isfile=isfile))
    with pytest.raises(PermissionError) as info:
        core.find_first_file(directory, ".thf")
    assert module_entries(info.value) == [(FIND, 484), ("genexpr", 484)]


# --- copyDirectoryToTemp ----------------------------------------------------------------------

@pytest.fixture
def temp_root(core, tmp_path):
    """Points the module's temporary root at a folder of the test."""
    root = tmp_path / "temp-root"
    root.mkdir()
    core.tempfile = types.SimpleNamespace(gettempdir=lambda: str(root))
    return root


def tree_of(root):
    found = {}
    for parent, dirs, files in os.walk(root):
        rel = os.path.relpath(parent, root)
        for d in dirs:
            found[os.path.normpath(os.path.join(rel, d)) + "/"] = None
        for f in files:
            with open(os.path.join(parent, f)) as handle:
                found[os.path.normpath(os.path.join(rel, f))] = handle.read()
    return found


def test_copy_directory_to_temp_copies_the_whole_tree(core, tmp_path, temp_root):
    source = make_tree(tmp_path / "model", ["m.quarl", "m.fre", "sub/"])
    make_tree(source / "sub", ["deep/", "case.thf"])
    (source / "sub" / "deep" / "x.txt").write_text("deep")

    first = core.copyDirectoryToTemp(str(source))
    second = core.copyDirectoryToTemp(str(source))

    assert first != second
    for copy in (first, second):
        assert os.path.dirname(copy) == str(temp_root)
        name = os.path.basename(copy)
        assert str(uuid.UUID(name)) == name and uuid.UUID(name).version == 4
        assert tree_of(copy) == tree_of(source)


def test_copy_directory_to_temp_of_empty_directory(core, tmp_path, temp_root):
    (tmp_path / "empty").mkdir()
    copy = core.copyDirectoryToTemp(str(tmp_path / "empty"))
    assert os.path.isdir(copy) and os.listdir(copy) == []


def test_copy_directory_to_temp_merges_into_an_existing_target(core, tmp_path, temp_root):
    fixed = uuid.UUID("12345678-1234-4234-8234-123456789abc")
    core.uuid = types.SimpleNamespace(uuid4=lambda: fixed)
    target = temp_root / str(fixed)
    make_tree(target, ["already.txt"])
    source = make_tree(tmp_path / "src", ["new.txt"])

    assert core.copyDirectoryToTemp(str(source)) == str(target)
    assert sorted(os.listdir(target)) == ["already.txt", "new.txt"]


@pytest.mark.parametrize("source", ["missing", "plain.txt", 42])
def test_copy_directory_to_temp_failure_gives_empty_text(core, tmp_path, temp_root, source):
    (tmp_path / "plain.txt").write_text("x")
    if isinstance(source, str):
        source = str(tmp_path / source)
    assert core.copyDirectoryToTemp(source) == ""
    # nothing is left pending after the caught failure
    assert core.find_first_file(str(tmp_path), ".txt") == str(tmp_path / "plain.txt")


def test_copy_directory_to_temp_lets_non_exceptions_through(core, tmp_path, temp_root):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    core.shutil = types.SimpleNamespace(copytree=interrupted)
    with pytest.raises(KeyboardInterrupt) as info:
        core.copyDirectoryToTemp(str(tmp_path))
    assert module_entries(info.value)[-1][0] == COPY


def test_copy_directory_to_temp_target_path_failure_is_not_caught(core, tmp_path, temp_root):
    def broken():
        raise RuntimeError("no randomness")

    core.uuid = types.SimpleNamespace(uuid4=broken)
    with pytest.raises(RuntimeError, match="no randomness") as info:
        core.copyDirectoryToTemp(str(tmp_path))
    assert module_entries(info.value)[-1][0] == COPY
    assert os.listdir(temp_root) == []
