"""Binding to an installation: settings lookups, library loading and set-up."""

import builtins
import json
import os
import pathlib
import shutil

import pytest

from module_helpers import innermost_module_entry

SDK_LINES = ["Korvex.SDK.dll loaded", "Korvex.Velmora.Core.dll loaded"]


def entry(name, line):
    return ("korvex_computer.korvex_core." + name, line)


def family(name, *sub_families):
    return {"Name": name, "SubFamilies": list(sub_families)}


def path_group(*settings):
    return {"Name": "PATH", "Settings": [{"Name": n, "Value": v} for n, v in settings]}


# ---- settings lookups -----------------------------------------------------------------------

@pytest.mark.parametrize("families, expected", [
    ([], (None, None)),
    ([family("OTHER", path_group(("SOLVER PATH", "x")))], (None, None)),
    ([family("ASTER", path_group(("SOLVER PATH", "wrong key"))),
      family("PIPESTRESS", path_group(("SOLVER PATH", "ps.exe")))], (None, "ps.exe")),
    ([family("PIPESTRESS", path_group(("SOLVER PATH", "first"))),
      family("PIPESTRESS", path_group(("SOLVER PATH", "second")))], (None, "second")),
    ([family("ASTER", path_group(("WINDOWS SOLVER PATH", "a1")), path_group(
        ("WINDOWS SOLVER PATH", "a2"), ("WINDOWS SOLVER PATH", "a3")))], ("a3", None)),
    ([family("ASTER", path_group(("WINDOWS SOLVER PATH", ""))),
      family("PIPESTRESS", path_group(("SOLVER PATH", None)))], (None, None)),
    ([family("ASTER", path_group(("WINDOWS SOLVER PATH", 12))),
      family("PIPESTRESS", {"Name": "path", "Settings": [{"Name": "SOLVER PATH",
                                                            "Value": "lower-case group"}]})],
     (12, None)),
    ([{"Name": "UNRELATED"}, family("aster", path_group(("WINDOWS SOLVER PATH", "case")))],
     (None, None)),
    # keys as a parsed file gives them (equal texts, other objects), then keys of the source
    (json.loads(json.dumps([family("OTHER", path_group(("SOLVER PATH", "x"))),
                            family("ASTER", path_group(("WINDOWS SOLVER PATH", "parsed")))]))
     + [family("PIPESTRESS", path_group(("SOLVER PATH", "literal")))], ("parsed", "literal")),
])
def test_find_solver_paths(core, families, expected):
    result = core.FindSolverPaths({"Families": families, "Other": 1})
    assert type(result) is tuple and result == expected


@pytest.mark.parametrize("families, key, line", [
    ([{"Name": "ASTER"}], "SubFamilies", 156),
    ([{"SubFamilies": []}], "Name", 155),
    ([family("PIPESTRESS", {"Name": "PATH"})], "Settings", 166),
    ([family("ASTER", path_group(("X", 1)), {"Settings": []})], "Name", 157),
    ([family("ASTER", path_group()), family("PIPESTRESS", {"Name": "PATH", "Settings": [
        {"Name": "SOLVER PATH"}]})], "Value", 168),
    ([family("ASTER", {"Name": "PATH", "Settings": [{"Name": "WINDOWS SOLVER PATH"}]})],
     "Value", 160),
])
def test_find_solver_paths_lookup_errors(core, families, key, line):
    with pytest.raises(KeyError) as raised:
        core.FindSolverPaths({"Families": families})
    assert raised.value.args == (key,)
    assert innermost_module_entry(raised.value) == entry("FindSolverPaths", line)


@pytest.mark.parametrize("settings, error, line", [
    ({}, KeyError, 154),
    ({"Families": 5}, TypeError, 154),
    (None, TypeError, 154),
    ({"Families": [family("ASTER", path_group(("WINDOWS SOLVER PATH", "a")))], "x": 0}, None, 0),
])
def test_find_solver_paths_bad_shapes(core, settings, error, line):
    if error is None:
        assert core.FindSolverPaths(settings) == ("a", None)
        return
    with pytest.raises(error) as raised:
        core.FindSolverPaths(settings)
    assert innermost_module_entry(raised.value) == entry("FindSolverPaths", line)


def test_find_data_project_paths(core):
    assert core.FindDataProjectPaths(
        {"CurrentProjectsDirectory": "", "CurrentDatasDirectory": "", "x": 1}) == ("", "")
    assert core.FindDataProjectPaths(
        {"CurrentDatasDirectory": "D", "CurrentProjectsDirectory": "P"}) == ("D", "P")


def test_find_data_project_paths_reads_data_first(core):
    read = []

    class Recording(dict):
        def __getitem__(self, key):
            read.append(key)
            return dict.__getitem__(self, key)

    with pytest.raises(KeyError) as raised:
        core.FindDataProjectPaths(Recording(CurrentDatasDirectory="D"))
    assert read == ["CurrentDatasDirectory", "CurrentProjectsDirectory"]
    assert innermost_module_entry(raised.value) == entry("FindDataProjectPaths", 180)


# ---- library loading ------------------------------------------------------------------------

@pytest.fixture
def bound(core, installation):
    """Past the guard with both directories of the installation, but nothing loaded yet."""
    core._validSetup_ = True
    core._dllPath_ = installation.extensions
    core._exePath_ = installation.directory
    return installation


def added_references(journal):
    return [args[0] for args in journal.calls("clr.AddReference")]


def test_library_in_both_directories_loads_from_the_assembly_directory(core, bound, journal,
                                                                        capsys):
    shutil.copy(os.path.join(bound.extensions, "Korvex.Helper.dll"), bound.directory)
    assert core.load_dll("Korvex.Helper.dll") is None
    assert added_references(journal) == [os.path.join(bound.extensions, "Korvex.Helper.dll")]
    assert core._dlls_ == ["Korvex.Helper.dll"]
    assert capsys.readouterr().out == "Korvex.Helper.dll loaded\n"


def test_library_only_in_the_installation_directory(core, bound, journal, capsys):
    shutil.move(os.path.join(bound.extensions, "Korvex.Helper.dll"), bound.directory)
    core.load_dll("Korvex.Helper.dll")
    assert added_references(journal) == [os.path.join(bound.directory, "Korvex.Helper.dll")]
    assert capsys.readouterr().out == "Korvex.Helper.dll loaded\n"


@pytest.mark.parametrize("function, line", [("load_dll", 113), ("load_dll_c", 139)])
def test_missing_library(core, bound, journal, capsys, function, line):
    with pytest.raises(FileNotFoundError) as raised:
        getattr(core, function)("Nowhere.dll")
    assert raised.value.args == ("DLL 'Nowhere.dll' not found.",)
    assert innermost_module_entry(raised.value) == entry(function, line)
    assert core._dlls_ == [] and journal.members() == []
    assert capsys.readouterr().out == ""


def test_second_load_of_a_name_does_nothing_whichever_loader(core, bound, journal, capsys):
    core.load_dll("Korvex.SDK.dll")
    core.load_dll("Korvex.SDK.dll")
    core.load_dll_c("Korvex.SDK.dll")
    assert len(journal.calls("clr.AddReference")) == 1
    assert capsys.readouterr().out == "Korvex.SDK.dll loaded\n"


@pytest.mark.parametrize("listed", [
    ["Anything.dll"],
    ["Other.dll", "".join(["Any", "thing.dll"])],  # an equal text, not the same object
    [1, b"Anything.dll", "Anything.dll"],
])
def test_name_appended_by_a_script_counts_as_loaded(core, bound, journal, listed):
    core._dlls_.extend(listed)
    assert core.load_dll("Anything.dll") is None
    assert journal.members() == []


def test_failed_load_leaves_the_list_and_is_tried_again(core, bound, journal, capsys):
    from System.IO import FileNotFoundException
    journal.fail("clr.AddReference", FileNotFoundException("cannot load"), times=1)
    with pytest.raises(FileNotFoundException) as raised:
        core.load_dll("Korvex.SDK.dll")
    assert innermost_module_entry(raised.value) == entry("load_dll", 118)
    assert core._dlls_ == [] and capsys.readouterr().out == ""
    core.load_dll("Korvex.SDK.dll")
    assert core._dlls_ == ["Korvex.SDK.dll"]


def test_native_libraries_load_through_ctypes(core, bound, capsys):
    shutil.copy(core.__file__, os.path.join(bound.directory, "native.dll"))
    core.load_dll_c("native.dll")
    assert core._dlls_ == ["native.dll"]
    assert capsys.readouterr().out == "native.dll loaded\n"
    pathlib.Path(bound.extensions, "broken.dll").write_text("not a library")
    with pytest.raises(OSError) as raised:
        core.load_dll_c("broken.dll")
    assert innermost_module_entry(raised.value) == entry("load_dll_c", 144)
    assert core._dlls_ == ["native.dll"]


def test_name_is_printed_as_text_even_when_not_a_string(core, bound, capsys):
    core.load_dll(pathlib.PurePath("Korvex.SDK.dll"))
    assert capsys.readouterr().out == "Korvex.SDK.dll loaded\n"


def test_print_is_the_builtin_cached_at_import(core, bound, capsys, monkeypatch):
    monkeypatch.setattr(builtins, "print", lambda *a, **k: None)
    core.load_dll("Korvex.SDK.dll")
    assert capsys.readouterr().out == "Korvex.SDK.dll loaded\n"


def test_unset_directories_fail_in_the_join(core, installation):
    core._validSetup_ = True
    with pytest.raises(TypeError) as raised:
        core.load_dll("Korvex.SDK.dll")
    assert innermost_module_entry(raised.value) == entry("load_dll", 109)


# ---- set-up ---------------------------------------------------------------------------------

def current_culture_names():
    from System.Threading import Thread
    thread = Thread.CurrentThread
    return thread.CurrentCulture.Name, thread.CurrentUICulture.Name


def test_full_setup(core, installation, journal, capsys):
    assert core.setup_korvex_computer(installation.directory, core.KorvexModule.Velmora) is True
    assert capsys.readouterr().out.splitlines() == SDK_LINES
    assert core._dlls_ == ["Korvex.SDK.dll", "Korvex.Velmora.Core.dll"]
    assert core._exePath_ == installation.directory
    assert core._dllPath_ == os.path.join(installation.directory, "Extensions")
    assert (core._Aster_, core._PipeStress_) == (installation.aster_solver,
                                                 installation.pipestress_solver)
    assert (core._dataPath_, core._projectPath_) == (installation.data_dir,
                                                     installation.projects_dir)
    assert core._CultureInfo_.Name == "en-US"
    assert current_culture_names() == ("en-US", "en-US")
    assert journal.calls("CommandController.SetApplication") == [(core._Application_,)]
    sdk_calls = [m for m in journal.members() if not m.startswith("Thread")]
    assert sdk_calls == ["clr.AddReference", "CultureInfo", "clr.AddReference",
                         "KorvexApplication", "clr.AddReference", "CommandController",
                         "CommandController.SetApplication"]


def test_second_setup_makes_new_objects_and_loads_nothing_again(core, installation, capsys):
    core.setup_korvex_computer(installation.directory, core.KorvexModule.All)
    first = (core._Application_, core._commandController_)
    capsys.readouterr()
    assert core.setup_korvex_computer(installation.directory, core.KorvexModule.Norvane) is True
    assert capsys.readouterr().out == ""
    assert core._Application_ is not first[0]
    assert core._commandController_ is not first[1]


def test_missing_directory_after_the_culture_is_set(core, installation, tmp_path):
    missing = str(tmp_path / "nowhere")
    with pytest.raises(FileNotFoundError) as raised:
        core.setup_korvex_computer(missing, core.KorvexModule.Velmora)
    assert raised.value.args == ("The directory '%s' does not exist." % missing,)
    assert innermost_module_entry(raised.value) == entry("setup_korvex_computer", 62)
    assert current_culture_names() == ("en-US", "en-US")
    assert core._exePath_ is None and core._validSetup_ is False


@pytest.mark.parametrize("global_name, line", [("_settingsPath_", 65),
                                               ("_dataSourcesPath_", 68)])
def test_missing_settings_file_uses_the_directory_message(core, installation, tmp_path,
                                                         global_name, line):
    missing = str(tmp_path / "gone.settings")
    setattr(core, global_name, missing)
    with pytest.raises(FileNotFoundError) as raised:
        core.setup_korvex_computer(installation.directory, core.KorvexModule.Velmora)
    assert raised.value.args == ("The directory '%s' does not exist." % missing,)
    assert innermost_module_entry(raised.value) == entry("setup_korvex_computer", line)
    assert core._exePath_ is None


def test_without_extensions_the_setup_binds_without_sdk(core, installation, journal, capsys):
    shutil.rmtree(installation.extensions)
    assert core.setup_korvex_computer(installation.directory, core.KorvexModule.Velmora) is False
    assert core._exePath_ == installation.directory
    assert core._dllPath_ == installation.extensions
    assert core._PipeStress_ == installation.pipestress_solver
    assert core._projectPath_ == installation.projects_dir
    assert core._Application_ is None and core._commandController_ is None
    assert core._dlls_ == [] and capsys.readouterr().out == ""
    with pytest.raises(OSError):
        core.getQuarl(installation.directory)


def test_empty_solver_paths_are_none(core, installation):
    settings = json.loads(pathlib.Path(installation.settings_path).read_text("utf-8"))
    for fam in settings["Families"]:
        for sub in fam.get("SubFamilies", []):
            for setting in sub.get("Settings", []):
                setting["Value"] = ""
    pathlib.Path(installation.settings_path).write_text(json.dumps(settings), "utf-8")
    assert core.setup_korvex_computer(installation.directory, core.KorvexModule.Velmora) is True
    assert core._Aster_ is None and core._PipeStress_ is None


def test_sdk_missing_in_both_directories(core, installation, capsys):
    os.remove(os.path.join(installation.extensions, "Korvex.SDK.dll"))
    with pytest.raises(FileNotFoundError) as raised:
        core.setup_korvex_computer(installation.directory, core.KorvexModule.Velmora)
    assert raised.value.args == ("DLL 'Korvex.SDK.dll' not found.",)
    assert module_lines(raised.value) == [entry("setup_korvex_computer", 84),
                                          entry("load_dll", 113)]
    assert core._validSetup_ is True and core._Application_ is None


def module_lines(exc):
    from module_helpers import module_entries
    return module_entries(exc)


@pytest.mark.parametrize("content, error, line", [
    (b"{not json", ValueError, 74),
    (b"\xff\xfe{}", UnicodeDecodeError, 74),
    (b"", ValueError, 74),
    (b'{"NoFamilies": []}', KeyError, 75),
    (b'{"Families": [{"Name": "ASTER"}]}', KeyError, 75),
])
def test_bad_settings_file(core, installation, content, error, line):
    core._validSetup_ = True  # an earlier set-up stays in force
    pathlib.Path(installation.settings_path).write_bytes(content)
    with pytest.raises(error) as raised:
        core.setup_korvex_computer(installation.directory, core.KorvexModule.Velmora)
    assert module_lines(raised.value)[0] == entry("setup_korvex_computer", line)
    assert core._exePath_ == installation.directory  # written before the settings were read
    assert core._Aster_ is None and core._validSetup_ is True


@pytest.mark.parametrize("result, message", [
    (("a", "b", "c"), "too many values to unpack (expected 2)"),
    (("a",), "need more than 1 value to unpack"),
    ((), "need more than 0 values to unpack"),
    (iter(["a"]), "need more than 1 value to unpack"),
    (iter(["a", "b", "c"]), "too many values to unpack (expected 2)"),
])
def test_lookup_results_of_the_wrong_length(core, installation, result, message):
    core.FindSolverPaths = lambda settings: result
    with pytest.raises(ValueError) as raised:
        core.setup_korvex_computer(installation.directory, core.KorvexModule.Velmora)
    assert str(raised.value) == message
    assert innermost_module_entry(raised.value) == entry("setup_korvex_computer", 75)
    assert core._Aster_ is None and core._PipeStress_ is None


def test_lookups_are_the_module_functions_of_the_moment(core, installation):
    core.FindDataProjectPaths = lambda sources: iter(["data", "projects"])
    core.setup_korvex_computer(installation.directory, core.KorvexModule.Velmora)
    assert (core._dataPath_, core._projectPath_) == ("data", "projects")


@pytest.mark.parametrize("directory, error, message, line", [
    (None, TypeError, None, 61),
    (12345678, FileNotFoundError, "The directory '12345678' does not exist.", 62),
])
def test_non_text_installation_directory(core, installation, directory, error, message, line):
    with pytest.raises(error) as raised:
        core.setup_korvex_computer(directory, core.KorvexModule.Velmora)
    if message:
        assert raised.value.args == (message,)
    assert innermost_module_entry(raised.value) == entry("setup_korvex_computer", line)


def test_sdk_constructor_failure_leaves_the_module_marked_set_up(core, installation, journal):
    from System import InvalidOperationException
    journal.fail("CommandController", InvalidOperationException("no controller"))
    with pytest.raises(InvalidOperationException):
        core.setup_korvex_computer(installation.directory, core.KorvexModule.Velmora)
    assert core._validSetup_ is True
    assert core._Application_ is not None and core._commandController_ is None
