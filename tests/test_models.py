"""quarL models: loading, saving and finding model files, and creating empty models."""

import json
import os

import pytest

from module_helpers import SETUP_MESSAGE, module_entries

PREFIX = "korvex_computer.korvex_core."


def sdk_class(namespace, name):
    module = __import__(namespace, fromlist=[name])
    return getattr(module, name)


def write_quarl(path, module="Velmora", layers=("0",)):
    path.write_text(json.dumps({"Format": "quarL", "FormatVersion": 1, "Module": module,
                                "Layers": [{"Name": n} for n in layers]}))
    return str(path)


def layer_names(model):
    return [layer.Name for layer in model.Layers]


@pytest.mark.parametrize("function, args", [
    ("loadQuarl", ("m.quarl",)),
    ("saveQuarl", (None, "m.quarl")),
    ("getQuarl", (".",)),
    ("createPipingQuarl", ()),
    ("createStructureQuarl", ()),
])
def test_guarded_before_setup(core, journal, function, args):
    with pytest.raises(OSError) as info:
        getattr(core, function)(*args)
    assert info.value.args == (SETUP_MESSAGE,)
    assert journal.members() == []


# ---- loadQuarl --------------------------------------------------------------------------------

def test_load_quarl_builds_a_model_from_the_file(core, ready, journal, loads, work):
    path = write_quarl(work / "m.quarl", "Norvane", ["0", "walls"])
    model = core.loadQuarl(path)
    assert layer_names(model) == ["0", "walls"]
    assert model.CalculationCode.Name == "STRUCTURE"
    assert loads == ["Korvex.SDK.dll", "Korvex.Helper.dll", "Korvex.Velmora.Core.dll"]
    assert journal.calls("Model") == [()]
    assert journal.calls("Model.LoadFromFile") == [(path,)]


def test_load_quarl_twice_gives_two_models(core, ready, work):
    path = write_quarl(work / "m.quarl")
    first, second = core.loadQuarl(path), core.loadQuarl(quarlFilename=path)
    assert first is not second
    assert layer_names(first) == layer_names(second) == ["0"]


def test_load_quarl_of_a_missing_file_touches_nothing(core, ready, journal, loads, work, capsys):
    # nothing would load: the assemblies are gone from the installation
    core._dllPath_ = core._exePath_ = str(work / "nowhere")
    assert core.loadQuarl(str(work / "missing.quarl")) is None
    assert loads == [] and journal.members() == []
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("content", [None, "not a model", '{"Format": "other"}'])
def test_load_quarl_of_something_the_sdk_cannot_read_is_none(core, ready, journal, work,
                                                             content):
    path = work / "m.quarl"
    if content is None:
        path.mkdir()  # a directory passes the existence test
    else:
        path.write_text(content)
    assert core.loadQuarl(str(path)) is None
    assert journal.calls("Model.LoadFromFile") == [(str(path),)]


def test_load_quarl_lets_non_exceptions_through(core, ready, journal, work):
    journal.fail("Model.LoadFromFile", KeyboardInterrupt)
    with pytest.raises(KeyboardInterrupt) as info:
        core.loadQuarl(write_quarl(work / "m.quarl"))
    assert module_entries(info.value)[-1][0] == PREFIX + "loadQuarl"


@pytest.mark.parametrize("failing", ["Model", "clr.AddReference"])
def test_load_quarl_failures_before_loading_are_not_caught(core, ready, journal, work, failing):
    core._dlls_[:] = []
    journal.fail(failing, RuntimeError("boom"))
    with pytest.raises(RuntimeError, match="boom") as info:
        core.loadQuarl(write_quarl(work / "m.quarl"))
    assert module_entries(info.value)[0][0] == PREFIX + "loadQuarl"


def test_load_quarl_of_a_non_text_path(core, ready):
    with pytest.raises(TypeError) as info:
        core.loadQuarl(["m.quarl"])
    assert module_entries(info.value) == [(PREFIX + "loadQuarl", 191)]


# ---- saveQuarl --------------------------------------------------------------------------------

class EqualToNone(object):
    """An object that compares equal to None without being None."""

    def __eq__(self, other):
        return other is None

    def __ne__(self, other):
        return other is not None


@pytest.mark.parametrize("quarl", [None, EqualToNone()])
def test_save_quarl_without_a_model_does_nothing(core, ready, journal, work, quarl):
    assert core.saveQuarl(quarl, str(work / "a.quarl")) is None
    assert os.listdir(work) == [] and journal.members() == []


@pytest.mark.parametrize("existing, written", [
    ([], "conception.fre"),
    (["a.fre"], "a.fre"),
    (["conception.fre"], "conception.fre"),
])
def test_save_quarl_writes_the_model_and_its_fre_file(core, ready, work, existing, written):
    for name in existing:
        (work / name).write_text("old")
    model = core.createPipingQuarl()
    path = str(work / "a.quarl")
    assert core.saveQuarl(model, path) is None
    assert sorted(os.listdir(work)) == sorted({"a.quarl", written} | set(existing))
    assert (work / written).read_text().startswith("*KORVEX FRE 1")
    assert layer_names(core.loadQuarl(path)) == ["0"]


def test_save_quarl_calls_the_writer_of_the_moment(core, ready, work):
    seen = []
    core.writeFreFile = lambda *args: seen.append(args)
    model = core.createStructureQuarl()
    path = str(work / "s.quarl")
    core.saveQuarl(quarlFilename=path, quarl=model)
    assert seen == [(model, path)]
    assert os.listdir(work) == ["s.quarl"]


def test_save_quarl_failure_stops_before_the_fre_file(core, ready, work):
    seen = []
    core.writeFreFile = lambda *args: seen.append(args)
    model = core.createPipingQuarl()
    with pytest.raises(Exception) as info:
        core.saveQuarl(model, str(work / "missing" / "a.quarl"))
    assert type(info.value).__name__ == "DirectoryNotFoundException"
    assert module_entries(info.value) == [(PREFIX + "saveQuarl", 216)]
    assert seen == []


def test_save_quarl_of_an_object_without_save(core, ready, work):
    with pytest.raises(AttributeError) as info:
        core.saveQuarl(object(), str(work / "a.quarl"))
    assert module_entries(info.value)[-1][0] == PREFIX + "saveQuarl"


def test_save_quarl_writer_failure_leaves_the_model_file(core, ready, work):
    os.remove(ready.pslib_path)
    with pytest.raises(OSError, match="Korvex.PipeStress.lib not found"):
        core.saveQuarl(core.createPipingQuarl(), str(work / "a.quarl"))
    assert os.listdir(work) == ["a.quarl"]


# ---- getQuarl ---------------------------------------------------------------------------------

def test_get_quarl_returns_the_first_listed_model_file(core, ready, work):
    for name in ("notes.txt", "B.QUARL", "a.quarl"):
        (work / name).write_text("x")
    (work / "dir.quarl").mkdir()
    first = next(n for n in os.listdir(work) if n.lower().endswith(".quarl")
                 and os.path.isfile(work / n))
    assert core.getQuarl(str(work)) == os.path.join(str(work), first)


def test_get_quarl_calls_find_first_file_of_the_moment(core, ready):
    seen = []
    core.find_first_file = lambda *args: seen.append(args) or "answer"
    assert core.getQuarl("somewhere") == "answer"
    assert seen == [("somewhere", ".quarl")]


def test_get_quarl_without_models_or_directory(core, ready, work):
    (work / "a.fre").write_text("x")
    assert core.getQuarl(str(work)) == ""
    with pytest.raises(FileNotFoundError) as info:
        core.getQuarl(str(work / "missing"))
    assert module_entries(info.value) == [(PREFIX + "getQuarl", 227),
                                          (PREFIX + "find_first_file", 484)]


# ---- model creation ---------------------------------------------------------------------------

@pytest.mark.parametrize("function, member, code", [
    ("createPipingQuarl", "Velmora", "PIPING"),
    ("createStructureQuarl", "Norvane", "STRUCTURE"),
])
def test_new_models_have_one_layer_named_0(core, ready, journal, loads, function, member, code):
    KorvexModule = sdk_class("Korvex.SDK", "KorvexModule")
    first = getattr(core, function)()
    second = getattr(core, function)()
    assert first is not second
    for model in (first, second):
        assert layer_names(model) == ["0"]
        assert model.CalculationCode.Name == code
        assert model.Module == getattr(KorvexModule, member)
    assert loads == ["Korvex.SDK.dll", "Korvex.Helper.dll", "Korvex.Velmora.Core.dll"] * 2
    assert journal.calls("Model") == [(getattr(KorvexModule, member),)] * 2
    assert journal.calls("Layer") == [("0",)] * 2
    assert [args[0].Name for args in journal.calls("LayerCollection.Add")] == ["0", "0"]


def test_creators_call_create_quarl_of_the_moment(core, ready):
    KorvexModule = sdk_class("Korvex.SDK", "KorvexModule")
    seen = []
    core.createQuarl = lambda module: seen.append(module) or "made"
    assert core.createPipingQuarl() == "made"
    assert core.createStructureQuarl() == "made"
    assert seen == [KorvexModule.Velmora, KorvexModule.Norvane]
    assert all(type(m) is KorvexModule for m in seen)


def test_create_quarl_with_the_sdk_member(core, ready):
    KorvexModule = sdk_class("Korvex.SDK", "KorvexModule")
    model = core.createQuarl(KorvexModule.Norvane)
    assert model.CalculationCode.Name == core.createStructureQuarl().CalculationCode.Name
    assert layer_names(model) == ["0"]


def test_create_quarl_passes_the_module_argument_unchanged(core, ready, journal):
    with pytest.raises(TypeError) as info:
        core.createQuarl(core.KorvexModule.Velmora)
    assert journal.calls("Model") == [(core.KorvexModule.Velmora,)]
    assert journal.calls("Layer") == []
    assert module_entries(info.value) == [(PREFIX + "createQuarl", 236)]


def test_create_piping_quarl_refuses_arguments(core, ready, journal):
    with pytest.raises(TypeError, match=r"^createPipingQuarl\(\) takes no arguments \(1 given\)$"):
        core.createPipingQuarl(1)
    assert journal.members() == []


def test_before_setup_create_quarl_fails_in_load_dll(core, journal):
    with pytest.raises(OSError) as info:
        core.createQuarl(None)
    assert info.value.args == (SETUP_MESSAGE,)
    entries = module_entries(info.value)
    assert entries[0] == (PREFIX + "createQuarl", 233)
    assert entries[-1][0] == PREFIX + "load_dll"
    assert journal.members() == []


@pytest.mark.parametrize("failing, line", [("Layer", 237), ("LayerCollection.Add", 238)])
def test_create_quarl_failures_pass_through(core, ready, journal, failing, line):
    journal.fail(failing, ValueError("refused"))
    with pytest.raises(ValueError, match="refused") as info:
        core.createPipingQuarl()
    assert module_entries(info.value) == [(PREFIX + "createPipingQuarl", 251),
                                          (PREFIX + "createQuarl", line)]
