"""writeFreFile: which .fre file is written, the settings that shape it, and its failures."""

import os
import types

import pytest

from module_helpers import SETUP_MESSAGE, module_entries

WRITER = "korvex_computer.korvex_core.writeFreFile"

SETTING_READS = [
    ("PIPESTRESS", "MAX FIELD LENGTH"),
    ("PIPESTRESS", "ROTATION UNITS"),
    ("PIPESTRESS", "GENERATE RESTRAINTS INLINE"),
    ("PIPESTRESS", "GENERATE DLCS INLINE"),
    ("PIPESTRESS", "GENERATE INDI INLINE"),
    ("VELMORA", "USE IMPERIAL NOTATION"),
]


@pytest.fixture
def model(core, ready, journal):
    made = core.createPipingQuarl()
    journal.reset()
    return made


def written_arguments(journal):
    calls = journal.calls("Model.WriteFreFile")
    assert len(calls) == 1
    return calls[0]


def test_writer_is_guarded(core, journal):
    with pytest.raises(OSError) as info:
        core.writeFreFile(None, "m.quarl")
    assert info.value.args == (SETUP_MESSAGE,)
    assert journal.members() == []


def test_writer_calls_in_order_with_default_settings(core, ready, journal, model, work):
    path = str(work / "m.quarl")
    assert core.writeFreFile(model, path) is None
    frefile = os.path.join(str(work), "conception.fre")
    members = [m for m in journal.members() if m != "clr.AddReference"]
    assert members == (["PSLibrary.Initialize", "KorvexApplication.GetSettingsController"]
                       + ["SettingsController.GetSettingValue"] * 6 + ["Model.WriteFreFile"])
    assert journal.calls("PSLibrary.Initialize") == [(ready.pslib_path,)]
    assert journal.calls("SettingsController.GetSettingValue") == SETTING_READS
    assert written_arguments(journal) == (frefile, None, 80, 1, False, False, True, True, False,
                                          False, None, None)
    assert open(frefile).read().startswith("*KORVEX FRE 1")


@pytest.mark.parametrize("quarl_name, existing, written, absent", [
    ("m.quarl", ["m.fre"], "m.fre", "conception.fre"),
    ("m.quarl", ["conception.fre"], "conception.fre", "m.fre"),
    ("m.quarl", [], "conception.fre", "m.fre"),
    ("a.b.quarl", ["a.b.fre", "a.fre"], "a.b.fre", "conception.fre"),
    ("noext", ["noext.fre"], "noext.fre", "conception.fre"),
])
def test_writer_chooses_and_replaces_the_file(core, ready, journal, model, work, quarl_name,
                                              existing, written, absent):
    for name in existing:
        (work / name).write_text("old")
    core.writeFreFile(model, str(work / quarl_name))
    assert written_arguments(journal)[0] == os.path.join(str(work), written)
    assert (work / written).read_text().startswith("*KORVEX FRE 1")
    assert not (work / absent).exists()
    for name in existing:
        if name != written:
            assert (work / name).read_text() == "old"


def test_writer_without_directory_part_uses_the_working_directory(core, ready, journal, model,
                                                                  work):
    os.chdir(work)
    core.writeFreFile(model, "m.quarl")
    assert written_arguments(journal)[0] == "conception.fre"
    assert os.listdir(work) == ["conception.fre"]


@pytest.mark.parametrize("units, code", [
    ("Degrees", 1), ("Milliradians", 2), ("degrees", 0), ("Radians", 0), ("", 0), (1, 0),
])
def test_rotation_units(core, ready, journal, model, work, units, code):
    ready.set_app_setting("PIPESTRESS", "ROTATION UNITS", units)
    core.writeFreFile(model, str(work / "m.quarl"))
    assert written_arguments(journal)[3] == code


@pytest.mark.parametrize("value, expected", [
    ("1", True), (1, True), ("0", False), ("2", False), ("-1", False), (0, False), (2, False),
    (-1, False), (True, True), (" 1 ", True),
])
@pytest.mark.parametrize("key, position", [
    ("GENERATE RESTRAINTS INLINE", 6), ("GENERATE DLCS INLINE", 7), ("GENERATE INDI INLINE", 8),
])
def test_inline_flags(core, ready, journal, model, work, key, position, value, expected):
    ready.set_app_setting("PIPESTRESS", key, value)
    core.writeFreFile(model, str(work / "m.quarl"))
    assert written_arguments(journal)[position] is expected


@pytest.mark.parametrize("value, expected", [("72", 72), (72, 72), ("0120", 120)])
def test_max_field_length_becomes_an_integer(core, ready, journal, model, work, value, expected):
    ready.set_app_setting("PIPESTRESS", "MAX FIELD LENGTH", value)
    core.writeFreFile(model, str(work / "m.quarl"))
    length = written_arguments(journal)[2]
    assert type(length) is int and length == expected


@pytest.mark.parametrize("velmora, pipestress, expected", [
    ("1", "0", True), ("0", "1", False), (1, None, True),
])
def test_imperial_notation_is_read_from_its_own_section(core, ready, journal, model, work,
                                                        velmora, pipestress, expected):
    ready.set_app_setting("VELMORA", "USE IMPERIAL NOTATION", velmora)
    if pipestress is not None:
        ready.set_app_setting("PIPESTRESS", "USE IMPERIAL NOTATION", pipestress)
    core.writeFreFile(model, str(work / "m.quarl"))
    assert written_arguments(journal)[5] is expected


@pytest.mark.parametrize("key, value, error, reads", [
    ("MAX FIELD LENGTH", "", ValueError, 1),
    ("MAX FIELD LENGTH", "wide", ValueError, 1),
    ("GENERATE DLCS INLINE", "yes", ValueError, 4),
    ("GENERATE INDI INLINE", [1], TypeError, 5),
    ("GENERATE RESTRAINTS INLINE", None, TypeError, 3),
])
def test_setting_that_is_no_number(core, ready, journal, model, work, key, value, error, reads):
    (work / "conception.fre").write_text("old")
    ready.set_app_setting("PIPESTRESS", key, value)
    with pytest.raises(error) as info:
        core.writeFreFile(model, str(work / "m.quarl"))
    assert module_entries(info.value)[-1][0] == WRITER
    assert journal.calls("SettingsController.GetSettingValue") == SETTING_READS[:reads]
    assert journal.calls("Model.WriteFreFile") == []
    assert os.listdir(work) == []


def test_missing_setting_passes_the_sdk_error_through(core, ready, journal, model, work):
    ready.remove_app_setting("VELMORA")
    with pytest.raises(Exception, match="Unknown settings section 'VELMORA'") as info:
        core.writeFreFile(model, str(work / "m.quarl"))
    assert module_entries(info.value) == [(WRITER, 571)]


def test_missing_library_file_stops_before_touching_files(core, ready, journal, model, work):
    (work / "m.fre").write_text("old")
    os.remove(ready.pslib_path)
    with pytest.raises(OSError) as info:
        core.writeFreFile(model, str(work / "m.quarl"))
    assert type(info.value) is OSError
    assert info.value.args == ("Invalid setup! Korvex.PipeStress.lib not found!",)
    assert module_entries(info.value) == [(WRITER, 545)]
    assert (work / "m.fre").read_text() == "old"
    assert journal.calls("PSLibrary.Initialize") == []


def test_library_file_is_looked_for_in_the_assembly_directory_of_the_moment(core, ready, journal,
                                                                            model, work):
    core._dllPath_ = str(work)
    with pytest.raises(OSError, match="Korvex.PipeStress.lib not found"):
        core.writeFreFile(model, str(work / "m.quarl"))


def test_library_is_initialised_at_every_call(core, ready, journal, model, work):
    core.writeFreFile(model, str(work / "m.quarl"))
    core.writeFreFile(model, str(work / "m.quarl"))
    assert journal.calls("PSLibrary.Initialize") == [(ready.pslib_path,)] * 2


def test_removal_failure_is_ignored(core, ready, journal, model, work):
    (work / "m.fre").write_text("old")
    attempts = []

    def remove(path):
        attempts.append(path)
        raise PermissionError(13, "Permission denied", path)

    core.os = types.SimpleNamespace(path=os.path, remove=remove)
    core.writeFreFile(model, str(work / "m.quarl"))
    assert attempts == [str(work / "m.fre")]
    assert (work / "m.fre").read_text().startswith("*KORVEX FRE 1")


class EqualToNone(object):
    def __ne__(self, other):
        return other is not None


@pytest.mark.parametrize("controller", [None, EqualToNone()])
def test_no_settings_controller(core, ready, journal, model, work, controller):
    (work / "conception.fre").write_text("old")
    journal.answer("KorvexApplication.GetSettingsController", controller)
    assert core.writeFreFile(model, str(work / "m.quarl")) is None
    assert os.listdir(work) == []
    assert journal.calls("Model.WriteFreFile") == []


def test_application_of_the_moment_gives_the_settings(core, ready, journal, model, work):
    answers = dict(zip(SETTING_READS, ["40", "Milliradians", "0", "0", "1", "1"]))
    settings = types.SimpleNamespace(GetSettingValue=lambda section, key: answers[section, key])
    core._Application_ = types.SimpleNamespace(GetSettingsController=lambda: settings)
    core.writeFreFile(model, str(work / "m.quarl"))
    assert written_arguments(journal)[2:10] == (40, 2, False, True, False, False, True, False)


def test_sdk_write_failure_passes_through(core, ready, journal, model, work):
    journal.fail("Model.WriteFreFile", IOError("disk full"))
    with pytest.raises(IOError, match="disk full") as info:
        core.writeFreFile(model, str(work / "m.quarl"))
    assert module_entries(info.value) == [(WRITER, 572)]


@pytest.mark.parametrize("filename", [None, 12, b"m.quarl"])
def test_non_text_file_name(core, ready, journal, model, filename):
    with pytest.raises(TypeError) as info:
        core.writeFreFile(model, filename)
    assert module_entries(info.value)[-1][0] == WRITER
    assert journal.calls("Model.WriteFreFile") == []
