"""Models on disk, the .fre writer, the PipeStress library and the application settings."""

import json
import os

import pytest

from System import ArgumentException, ArgumentOutOfRangeException, BadImageFormatException
from System import InvalidOperationException, UnauthorizedAccessException
from System.IO import DirectoryNotFoundException, FileNotFoundException, InvalidDataException


@pytest.fixture
def core(sdk):
    import Korvex.Velmora.Core as core
    return core


@pytest.fixture
def KorvexModule(sdk):
    from Korvex.SDK import KorvexModule
    return KorvexModule


def model_with(core, module, *names):
    model = core.Model(module)
    for name in names:
        model.Layers.Add(core.Layer(name))
    return model


@pytest.mark.parametrize("member,code", [("Velmora", "PipingCode"), ("Norvane", "StructureCode")])
def test_save_and_load_round_trip(core, KorvexModule, tmp_path, member, code):
    path = str(tmp_path / "plant.quarl")
    model_with(core, getattr(KorvexModule, member), "0", "Pipes").SaveToFile(path)
    loaded = core.Model()
    loaded.LoadFromFile(path)
    assert [layer.Name for layer in loaded.Layers] == ["0", "Pipes"]
    assert loaded.Layers.Count == 2 and loaded.Layers[1].Name == "Pipes"
    assert type(loaded.CalculationCode).__name__ == code
    assert loaded.Module == getattr(KorvexModule, member)
    assert json.loads(open(path, encoding="utf-8").read())["Module"] == member


def test_new_model_kind_follows_the_sdk_enum(core, KorvexModule):
    assert isinstance(core.Model().CalculationCode, core.PipingCode)
    assert isinstance(core.Model(KorvexModule.Norvane).CalculationCode, core.StructureCode)
    assert core.Model(KorvexModule.Velmora).Layers.Count == 0
    assert KorvexModule.Velmora != 0 and int(KorvexModule.Norvane) == 1
    assert str(KorvexModule.Norvane) == KorvexModule.Norvane.ToString() == "Norvane"


@pytest.mark.parametrize("module", [0, 1, None, "Velmora"])
def test_model_refuses_values_outside_the_sdk_enum(core, module):
    # The bridge's binder refuses them, as for a constructor that takes the enumeration.
    with pytest.raises(TypeError, match=r"No method matches given arguments for Model\.\.ctor"):
        core.Model(module)


def test_model_needs_the_helper_assembly(inst):
    import clr
    clr.AddReference(inst.assembly_path("Korvex.Velmora.Core.dll"))
    from Korvex.Velmora.Core import Model
    with pytest.raises(FileNotFoundException, match="Korvex.Helper"):
        Model()


@pytest.mark.parametrize("content,error", [
    (None, FileNotFoundException),
    ("dir", UnauthorizedAccessException),
    ("not json at all", InvalidDataException),
    ('{"Format": "quarL", "Module": "Other", "Layers": []}', InvalidDataException),
    ('{"Format": "quarL", "Module": "Velmora", "Layers": [{"Name": "0"}, {"Name": "0"}]}',
     InvalidDataException),
    ('{"Format": "quarL", "Module": "Velmora"}', InvalidDataException),
])
def test_load_refuses_what_it_cannot_read(core, tmp_path, content, error):
    path = tmp_path / "m.quarl"
    if content == "dir":
        path.mkdir()
    elif content is not None:
        path.write_text(content, encoding="utf-8")
    model = core.Model()
    with pytest.raises(error) as caught:
        model.LoadFromFile(str(path))
    assert str(path) in str(caught.value)


def test_save_into_missing_directory(core, tmp_path):
    with pytest.raises(DirectoryNotFoundException):
        core.Model().SaveToFile(str(tmp_path / "nowhere" / "m.quarl"))


@pytest.mark.parametrize("layer,error", [(None, ArgumentException), ("a layer name", TypeError), (3, TypeError)])
def test_layers_accept_only_new_layer_objects(core, layer, error):
    model = core.Model()
    model.Layers.Add(core.Layer("0"))
    with pytest.raises(error):
        model.Layers.Add(layer)
    with pytest.raises(ArgumentException, match="already exists"):
        model.Layers.Add(core.Layer("0"))
    assert [layer.Name for layer in model.Layers] == ["0"]


@pytest.mark.parametrize("name", [None, "", "  "])
def test_layer_needs_a_name(core, name):
    with pytest.raises(ArgumentException):
        core.Layer(name)


def fre_args(path, max_length=80, rotation=1, imperial=False, restraints=True, dlcs=True, indi=False):
    return (path, None, max_length, rotation, False, imperial, restraints, dlcs, indi, False, None, None)


def test_fre_file_reflects_model_and_options(core, KorvexModule, sdk, tmp_path):
    core.PSLibrary.Initialize(sdk.pslib_path)
    model = model_with(core, KorvexModule.Velmora, "0", "Steam")
    path = str(tmp_path / "plant.fre")
    model.WriteFreFile(*fre_args(path, rotation=2, imperial=True, restraints=False))
    assert open(path, encoding="utf-8").read().splitlines() == [
        "*KORVEX FRE 1", "*TITLE plant", "*MODEL PIPING", "*UNITS IMPERIAL", "*ROTATION MILLIRADIANS",
        "*MAXLEN 80", "*RESTRAINTS SEPARATE", "*DLCS INLINE", "*INDI SEPARATE",
        "LAYER 0", "LAYER Steam", "*END"]


def test_fre_lines_keep_to_the_field_length(core, KorvexModule, sdk, tmp_path):
    core.PSLibrary.Initialize(sdk.pslib_path)
    long_name = "L" * 45
    model = model_with(core, KorvexModule.Norvane, long_name)
    path = str(tmp_path / "s.fre")
    model.WriteFreFile(*fre_args(path, max_length=20, rotation=0))
    lines = open(path, encoding="utf-8").read().splitlines()
    assert max(len(line) for line in lines) == 20
    assert "*MODEL STRUCTURE" in lines and "*ROTATION DEFAULT" in lines
    joined = "".join(line[:-1] if line.endswith("&") else line + "\n" for line in lines)
    assert "LAYER " + long_name + "\n" in joined


def test_fre_needs_the_pipestress_library(core, tmp_path):
    with pytest.raises(InvalidOperationException, match="PSLibrary.Initialize"):
        core.Model().WriteFreFile(*fre_args(str(tmp_path / "a.fre")))
    assert not (tmp_path / "a.fre").exists()


@pytest.mark.parametrize("position,value,error", [
    (2, 5, ArgumentOutOfRangeException), (2, "80", TypeError), (3, 3, ArgumentOutOfRangeException),
    (5, 1, TypeError), (8, None, TypeError),
])
def test_fre_argument_checks(core, sdk, tmp_path, position, value, error):
    core.PSLibrary.Initialize(sdk.pslib_path)
    args = list(fre_args(str(tmp_path / "a.fre")))
    args[position] = value
    with pytest.raises(error):
        core.Model().WriteFreFile(*args)


def test_fre_takes_exactly_twelve_arguments(core, sdk, tmp_path):
    core.PSLibrary.Initialize(sdk.pslib_path)
    with pytest.raises(TypeError, match="No method matches given arguments for Model.WriteFreFile"):
        core.Model().WriteFreFile(*fre_args(str(tmp_path / "a.fre"))[:11])


@pytest.mark.parametrize("content,error", [(None, FileNotFoundException),
                                           ("MZ native", BadImageFormatException)])
def test_pslibrary_refuses_other_files(core, tmp_path, content, error):
    path = tmp_path / "Korvex.PipeStress.lib"
    if content is not None:
        path.write_text(content)
    with pytest.raises(error):
        core.PSLibrary.Initialize(str(path))
    assert core.PSLibrary.LibraryPath is None


def test_settings_answer_from_the_application_settings(sdk):
    from Korvex.SDK import KorvexApplication
    app = KorvexApplication()
    assert app.InstallationDirectory == sdk.directory
    settings = app.GetSettingsController()
    assert settings.GetSettingValue("PIPESTRESS", "MAX FIELD LENGTH") == "80"
    assert settings.GetSettingValue("PIPESTRESS", "ROTATION UNITS") == "Degrees"
    assert settings.GetSettingValue("VELMORA", "USE IMPERIAL NOTATION") == "0"
    sdk.set_app_setting("PIPESTRESS", "GENERATE DLCS INLINE", 2)
    assert settings.GetSettingValue("PIPESTRESS", "GENERATE DLCS INLINE") == 2


@pytest.mark.parametrize("section,key,message", [
    ("PIPESTRESS", "USE IMPERIAL NOTATION", "Unknown setting 'USE IMPERIAL NOTATION' in section 'PIPESTRESS'"),
    ("NOWHERE", "MAX FIELD LENGTH", "Unknown settings section 'NOWHERE'"),
])
def test_missing_settings(sdk, section, key, message):
    from Korvex.SDK import KorvexApplication
    with pytest.raises(ArgumentException, match=message):
        KorvexApplication().GetSettingsController().GetSettingValue(section, key)


def test_settings_file_problems(sdk):
    from Korvex.SDK import KorvexApplication
    settings = KorvexApplication().GetSettingsController()
    with open(sdk.app_settings_path, "w") as f:
        f.write("{broken")
    with pytest.raises(InvalidDataException):
        settings.GetSettingValue("PIPESTRESS", "MAX FIELD LENGTH")
    os.remove(sdk.app_settings_path)
    with pytest.raises(FileNotFoundException):
        settings.GetSettingValue("PIPESTRESS", "MAX FIELD LENGTH")
