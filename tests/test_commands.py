"""Custom commands through the command controller, and introspection of SDK classes."""

import json
import os
import types

import pytest

from module_helpers import SETUP_MESSAGE, module_entries

PREFIX = "korvex_computer.korvex_core."


@pytest.fixture
def models(core, ready, journal):
    made = core.createPipingQuarl(), core.createPipingQuarl()
    journal.reset()
    return made


def layer_names(model):
    return [layer.Name for layer in model.Layers]


@pytest.mark.parametrize("function, args", [
    ("createCommand", ("AddLayer", None)),
    ("executeCommand", (None,)),
    ("inspectClass", (None, True)),
    ("findNameSpaceAndAssembly", ("Model",)),
])
def test_guarded_before_setup(core, journal, function, args):
    with pytest.raises(OSError) as info:
        getattr(core, function)(*args)
    assert info.value.args == (SETUP_MESSAGE,)
    assert journal.members() == []


# ---- custom commands --------------------------------------------------------------------------

def test_create_command(core, journal, models, loads):
    model = models[0]
    command = core.createCommand("AddLayer", model)
    assert command.Name == "AddLayer" and command.Model is model
    assert command.NeedToReloadModelAfterCommand is False
    assert command.NeedToSaveModelAfterCommand is False
    assert core._commandController_.model is model
    assert loads == ["Korvex.Velmora.Core.dll"]
    assert journal.members() == ["CommandController.model=", "CustomCommand",
                                 "CustomCommand.NeedToReloadModelAfterCommand=",
                                 "CustomCommand.NeedToSaveModelAfterCommand="]
    assert journal.calls("CustomCommand") == [(model, "AddLayer")]
    assert journal.calls("CustomCommand.NeedToReloadModelAfterCommand=") == [(False,)]
    assert layer_names(model) == ["0"]


def test_execute_command_changes_the_model_in_memory_only(core, ready, tmp_path):
    path = str(tmp_path / "m.quarl")
    core.saveQuarl(core.createPipingQuarl(), path)
    before = open(path).read()
    model = core.loadQuarl(path)
    command = core.createCommand(quarl=model, commandName="AddLayer")
    assert core.executeCommand(command) is None
    assert layer_names(model) == ["0", "Layer 1"]
    assert open(path).read() == before
    core.saveQuarl(model, path)
    assert layer_names(core.loadQuarl(path)) == ["0", "Layer 1"]


def test_controller_model_is_the_latest_created(core, journal, models):
    first_model, second_model = models
    first = core.createCommand("AddLayer", first_model)
    core.createCommand("UpperCaseLayers", second_model)
    core.executeCommand(first)
    assert core._commandController_.model is second_model
    assert journal.calls("CommandController.AddCommand") == [(first,)]
    # the stand-in controller works on its current model
    assert layer_names(second_model) == ["0", "Layer 1"]
    assert layer_names(first_model) == ["0"]


def test_command_can_be_executed_again(core, journal, models):
    command = core.createCommand("AddLayer", models[0])
    core.executeCommand(command)
    core.executeCommand(command)
    assert journal.calls("CommandController.AddCommand") == [(command,), (command,)]
    assert layer_names(models[0]) == ["0", "Layer 1", "Layer 2"]


@pytest.mark.parametrize("name, quarl, error, message", [
    ("NoSuchCommand", "model", "ArgumentException", "Unknown command 'NoSuchCommand'"),
    (None, "model", "ArgumentNullException", "Parameter 'name'"),
    ("AddLayer", None, "ArgumentNullException", "Parameter 'model'"),
])
def test_command_that_cannot_be_built(core, journal, models, name, quarl, error, message):
    first, second = models
    core._commandController_.model = first
    quarl = second if quarl == "model" else quarl
    with pytest.raises(Exception) as info:
        core.createCommand(name, quarl)
    assert type(info.value).__name__ == error and message in str(info.value)
    assert module_entries(info.value) == [(PREFIX + "createCommand", 587)]
    # the controller was pointed at the model before the command failed
    assert core._commandController_.model is quarl


def test_create_command_with_something_that_is_no_model(core, ready, journal):
    with pytest.raises(TypeError) as info:
        core.createCommand("AddLayer", "not a model")
    assert module_entries(info.value) == [(PREFIX + "createCommand", 586)]
    assert journal.calls("CustomCommand") == []


@pytest.mark.parametrize("command, error", [
    (None, "ArgumentNullException"),
    ("AddLayer", "TypeError"),
])
def test_execute_something_that_is_no_command(core, ready, command, error):
    with pytest.raises(Exception) as info:
        core.executeCommand(command)
    assert type(info.value).__name__ == error
    assert module_entries(info.value) == [(PREFIX + "executeCommand", 601)]


def test_commands_use_the_controller_of_the_moment(core, journal, models):
    handed = []
    controller = types.SimpleNamespace(model=None, AddCommand=handed.append)
    core._commandController_ = controller
    command = core.createCommand("SortLayers", models[0])
    core.executeCommand(command)
    assert controller.model is models[0]
    assert handed == [command]
    assert journal.calls("CommandController.AddCommand") == []


# ---- introspection ----------------------------------------------------------------------------

def test_inspect_class_returns_the_sdk_answer_unchanged(core, ready, journal, loads):
    answer = object()
    journal.answer("KorvexClassInspector.ExportObjectToJson", answer)
    assert core.inspectClass("anything", True) is answer
    assert loads == ["Korvex.SDK.dll", "Korvex.Velmora.Core.dll"]


@pytest.mark.parametrize("indent", [True, False, 0, 1, None, "yes", [2]])
def test_inspect_class_passes_indent_unchanged(core, ready, journal, indent):
    model = core.createPipingQuarl()
    if isinstance(indent, bool):
        core.inspectClass(model, indent)
    else:   # the bridge's binder refuses anything but a bool
        with pytest.raises(TypeError, match="No method matches given arguments"):
            core.inspectClass(model, indent)
    (instance, passed), = journal.calls("KorvexClassInspector.ExportObjectToJson")
    assert instance is model and passed is indent


@pytest.mark.parametrize("indent, multiline", [(True, True), (False, False)])
def test_inspect_class_of_a_class_and_an_instance(core, ready, indent, multiline):
    model = core.createStructureQuarl()
    of_instance = core.inspectClass(model, indent)
    of_class = core.inspectClass(type(model), indent=indent)
    assert ("\n" in of_instance) is multiline
    for text, is_instance in ((of_instance, True), (of_class, False)):
        description = json.loads(text)
        assert description["FullName"] == "Korvex.Velmora.Core.Model"
        assert description["IsInstance"] is is_instance
        assert "SaveToFile" in [m["Name"] for m in description["Methods"]]


def test_inspect_class_sdk_error_passes_through(core, ready):
    with pytest.raises(Exception) as info:
        core.inspectClass(None, True)
    assert type(info.value).__name__ == "ArgumentNullException"
    assert module_entries(info.value) == [(PREFIX + "inspectClass", 510)]


@pytest.mark.parametrize("class_name, expected", [
    ("Model", ("Korvex.Velmora.Core", "Korvex.Velmora.Core")),
    ("Korvex.SDK.KorvexClassInspector", ("Korvex.SDK", "Korvex.SDK")),
    ("ProjectViewModel", ("Korvex.Velmora.Project", "Korvex.Velmora.Project")),
    ("NoSuchClass", (None, None)),
    ("", (None, None)),
])
def test_find_namespace_and_assembly(core, ready, journal, loads, tmp_path, class_name,
                                     expected):
    os.chdir(tmp_path)
    namespace, assembly = core.findNameSpaceAndAssembly(class_name)
    assert (namespace, assembly) == expected
    assert journal.calls("KorvexClassInspector.FindNamespaceAndAssemblyFromClassName") == [
        (ready.extensions, class_name)]
    assert loads == ["Korvex.SDK.dll"]


class EqualToNone(object):
    def __eq__(self, other):
        return other is None


def test_find_answer_equal_to_none_is_the_empty_pair(core, ready, journal):
    journal.answer("KorvexClassInspector.FindNamespaceAndAssemblyFromClassName", EqualToNone())
    result = core.findNameSpaceAndAssembly("Model")
    assert type(result) is tuple and result == (None, None)


def test_find_reads_the_pair_items_in_order(core, ready, journal):
    read = []

    class Pair(object):
        def __eq__(self, other):
            return False

        def __getattr__(self, name):
            read.append(name)
            return name.lower()

    journal.answer("KorvexClassInspector.FindNamespaceAndAssemblyFromClassName", Pair())
    assert core.findNameSpaceAndAssembly("Model") == ("item1", "item2")
    assert read == ["Item1", "Item2"]


def test_find_answer_without_items(core, ready, journal):
    journal.answer("KorvexClassInspector.FindNamespaceAndAssemblyFromClassName", "no pair")
    with pytest.raises(AttributeError) as info:
        core.findNameSpaceAndAssembly("Model")
    assert module_entries(info.value) == [(PREFIX + "findNameSpaceAndAssembly", 528)]


@pytest.mark.parametrize("dll_path, error", [
    (None, "ArgumentNullException"),
    ("missing", "DirectoryNotFoundException"),
])
def test_find_uses_the_assembly_directory_of_the_moment(core, ready, tmp_path, dll_path, error):
    core._dllPath_ = dll_path if dll_path is None else str(tmp_path / dll_path)
    with pytest.raises(Exception) as info:
        core.findNameSpaceAndAssembly("Model")
    assert type(info.value).__name__ == error
    assert module_entries(info.value) == [(PREFIX + "findNameSpaceAndAssembly", 525)]
