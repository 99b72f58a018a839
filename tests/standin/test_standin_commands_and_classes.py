"""Custom commands through the controller, and the class inspector."""

import json

import pytest

from System import ArgumentException, InvalidOperationException


@pytest.fixture
def ctl(sdk):
    from Korvex.SDK import KorvexApplication
    from Korvex.Velmora.Core import CommandController
    controller = CommandController()
    controller.SetApplication(KorvexApplication())
    return controller


def model_of(*names):
    from Korvex.Velmora.Core import Layer, Model
    model = Model()
    for name in names:
        model.Layers.Add(Layer(name))
    return model


def names(model):
    return [layer.Name for layer in model.Layers]


@pytest.mark.parametrize("command,before,after", [
    ("AddLayer", ["0", "Layer 1"], ["0", "Layer 1", "Layer 2"]),
    ("UpperCaseLayers", ["0", "steam", "Water", "WATER"], ["0", "STEAM", "Water", "WATER"]),
    ("SortLayers", ["b", "a", "0"], ["0", "a", "b"]),
    ("ResetLayers", ["a", "0", "b"], ["0"]),
    ("ResetLayers", ["a"], ["0"]),
])
def test_commands_change_the_controller_model(ctl, command, before, after):
    from Korvex.Velmora.Core import CustomCommand
    model = model_of(*before)
    ctl.model = model
    ctl.AddCommand(CustomCommand(model, command))
    assert names(model) == after
    assert ctl.History == (command,)


def test_command_acts_on_the_controller_model(ctl):
    from Korvex.Velmora.Core import CustomCommand
    first, second = model_of("0"), model_of("0")
    command = CustomCommand(first, "AddLayer")
    ctl.model = second
    ctl.AddCommand(command)
    assert (names(first), names(second)) == (["0"], ["0", "Layer 1"])


@pytest.mark.parametrize("save,reload,on_disk,in_memory", [
    (False, False, ["0"], ["0", "Layer 1"]),
    (True, False, ["0", "Layer 1"], ["0", "Layer 1"]),
    (False, True, ["0"], ["0"]),
    (True, True, ["0", "Layer 1"], ["0", "Layer 1"]),
])
def test_save_and_reload_flags(ctl, tmp_path, save, reload, on_disk, in_memory):
    from Korvex.Velmora.Core import CustomCommand
    path = str(tmp_path / "m.quarl")
    model = model_of("0")
    model.SaveToFile(path)
    command = CustomCommand(model, "AddLayer")
    assert command.NeedToSaveModelAfterCommand and command.NeedToReloadModelAfterCommand
    command.NeedToSaveModelAfterCommand = save
    command.NeedToReloadModelAfterCommand = reload
    ctl.model = model
    ctl.AddCommand(command)
    stored = json.loads(open(path, encoding="utf-8").read())
    assert [layer["Name"] for layer in stored["Layers"]] == on_disk
    assert names(model) == in_memory


def test_unknown_command_name(sdk):
    from Korvex.Velmora.Core import CustomCommand
    with pytest.raises(ArgumentException, match="Unknown command 'Explode'. Known commands: AddLayer"):
        CustomCommand(model_of("0"), "Explode")


@pytest.mark.parametrize("case", ["no application", "no model"])
def test_controller_needs_application_and_model(sdk, case):
    from Korvex.SDK import KorvexApplication
    from Korvex.Velmora.Core import CommandController, CustomCommand
    controller = CommandController()
    model = model_of("0")
    if case == "no model":
        controller.SetApplication(KorvexApplication())
    else:
        controller.model = model
    with pytest.raises(InvalidOperationException):
        controller.AddCommand(CustomCommand(model, "AddLayer"))
    assert names(model) == ["0"]


@pytest.mark.parametrize("value,error", [(None, ArgumentException), ("model", TypeError), (3, TypeError)])
def test_set_application_refuses_other_objects(sdk, value, error):
    from Korvex.Velmora.Core import CommandController
    with pytest.raises(error):
        CommandController().SetApplication(value)


@pytest.mark.parametrize("target", ["class", "instance"])
def test_inspector_describes_classes_and_instances(sdk, target):
    from Korvex.SDK import KorvexClassInspector
    from Korvex.Velmora.Core import Model
    text = KorvexClassInspector.ExportObjectToJson(Model if target == "class" else model_of("0"), True)
    described = json.loads(text)
    assert (described["Name"], described["Namespace"], described["Assembly"]) == (
        "Model", "Korvex.Velmora.Core", "Korvex.Velmora.Core")
    methods = dict((m["Name"], m) for m in described["Methods"])
    assert methods["LoadFromFile"]["Parameters"] == ["path"]
    assert len(methods["WriteFreFile"]["Parameters"]) == 12
    properties = dict((p["Name"], p) for p in described["Properties"])
    assert set(properties) >= {"Layers", "CalculationCode", "Module"}
    if target == "instance":
        assert properties["Module"]["Value"] == "Velmora"
    else:
        assert "Value" not in properties["Module"]
    assert "\n" in text


def test_inspector_indent_and_statics(sdk):
    from Korvex.SDK import KorvexClassInspector
    from Korvex.Velmora.Core import CustomCommand, PSLibrary
    compact = KorvexClassInspector.ExportObjectToJson(CustomCommand, False)
    assert "\n" not in compact
    properties = dict((p["Name"], p) for p in json.loads(compact)["Properties"])
    assert properties["NeedToSaveModelAfterCommand"]["CanWrite"] is True
    assert properties["Name"]["CanWrite"] is False
    methods = json.loads(KorvexClassInspector.ExportObjectToJson(PSLibrary, False))["Methods"]
    assert {"Name": "Initialize", "Static": True, "Parameters": ["path"]} in methods


@pytest.mark.parametrize("name,expected", [
    ("Model", ("Korvex.Velmora.Core", "Korvex.Velmora.Core")),
    ("Korvex.SDK.KorvexApplication", ("Korvex.SDK", "Korvex.SDK")),
    ("StudyModel", ("Korvex.Velmora.Project", "Korvex.Velmora.Project")),
    ("AsterSolver", ("Korvex.Aster.Core", "Korvex.Aster.Core")),
])
def test_find_namespace_and_assembly(sdk, name, expected):
    from Korvex.SDK import KorvexClassInspector
    found = KorvexClassInspector.FindNamespaceAndAssemblyFromClassName(sdk.extensions, name)
    assert (found.Item1, found.Item2) == expected


def test_find_unknown_class_and_bad_directory(sdk, tmp_path):
    from Korvex.SDK import KorvexClassInspector
    from System.IO import DirectoryNotFoundException
    assert KorvexClassInspector.FindNamespaceAndAssemblyFromClassName(sdk.extensions, "Nothing") is None
    assert KorvexClassInspector.FindNamespaceAndAssemblyFromClassName(str(tmp_path), "Model") is None
    with pytest.raises(DirectoryNotFoundException):
        KorvexClassInspector.FindNamespaceAndAssemblyFromClassName(str(tmp_path / "no"), "Model")
