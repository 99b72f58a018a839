"""The stand-in .NET bridge: assembly loading, namespaces, exceptions, cultures."""

import importlib
import os
import sys
import threading

import pytest

import clr
import korvex_standin
from System import ArgumentException, BadImageFormatException, Exception as NetException
from System import InvalidOperationException, ObjectDisposedException, Tuple
from System.Globalization import CultureInfo, CultureNotFoundException
from System.IO import FileNotFoundException, IOException
from System.Threading import Thread
from System.Windows import Point


@pytest.mark.parametrize("name", ["mscorlib", "System", "WindowsBase"])
def test_system_assemblies_load_by_name(name, journal):
    assembly = clr.AddReference(name)
    assert assembly.FullName.startswith(name + ", Version=")
    assert journal.calls("clr.AddReference") == [(name,)]


def test_assembly_file_loads_and_is_recorded(inst):
    path = inst.assembly_path("Korvex.SDK.dll")
    assembly = clr.AddReference(path)
    assert assembly.FullName == "Korvex.SDK, Version=24.1.0.0, Culture=neutral, PublicKeyToken=null"
    assert assembly.Location == path
    assert korvex_standin.loaded_assemblies() == {"Korvex.SDK": path}
    again = clr.AddReference(path)
    assert again.FullName == assembly.FullName
    assert korvex_standin.loaded_assemblies() == {"Korvex.SDK": path}


def test_loading_from_another_installation_keeps_the_first(inst, tmp_path):
    other = korvex_standin.build_installation(str(tmp_path / "other"))
    first = clr.AddReference(inst.assembly_path("Korvex.SDK.dll"))
    assert clr.AddReference(other.assembly_path("Korvex.SDK.dll")) is first
    assert korvex_standin.loaded_assemblies()["Korvex.SDK"] == inst.assembly_path("Korvex.SDK.dll")


def test_missing_assembly_file(tmp_path):
    path = str(tmp_path / "Korvex.Nothing.dll")
    with pytest.raises(FileNotFoundException) as caught:
        clr.AddReference(path)
    assert str(caught.value) == (
        "Could not load file or assembly '%s'. The system cannot find the file specified." % path)
    assert isinstance(caught.value, IOException) and isinstance(caught.value, Exception)


@pytest.mark.parametrize("content", [b"MZ\x90\x00 native code", b'{"Format": "other"}', b"",
                                     b'{"Format": "Korvex stand-in assembly", "Name": "X", '
                                     b'"Namespaces": {"Korvex.SDK": ["NoSuchClass"]}}'])
def test_file_that_is_not_a_standin_assembly(tmp_path, content):
    path = tmp_path / "Bad.dll"
    path.write_bytes(content)
    with pytest.raises(BadImageFormatException) as caught:
        clr.AddReference(str(path))
    assert str(path) in str(caught.value)
    assert korvex_standin.loaded_assemblies() == {}


def test_unknown_assembly_name():
    with pytest.raises(FileNotFoundException, match="Unable to find assembly 'Korvex.Nowhere'"):
        clr.AddReference("Korvex.Nowhere")


def test_assembly_name_found_on_sys_path(inst, monkeypatch):
    monkeypatch.syspath_prepend(inst.extensions)
    assembly = clr.AddReference("Korvex.Helper")
    assert assembly.Location == inst.assembly_path("Korvex.Helper.dll")


@pytest.mark.parametrize("namespace,assembly,cls", [
    ("Korvex.SDK", "Korvex.SDK.dll", "KorvexApplication"),
    ("Korvex.Velmora.Core", "Korvex.Velmora.Core.dll", "Model"),
    ("Korvex.Velmora.Project", "Korvex.Velmora.Project.dll", "ProjectViewModel"),
    ("Korvex.PipeStress.Core", "Korvex.PipeStress.Core.dll", "PipeStressSolver"),
    ("Korvex.Aster.Core", "Korvex.Aster.Core.dll", "AsterSolver"),
])
def test_namespace_importable_only_after_its_assembly(inst, namespace, assembly, cls):
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module(namespace)
    clr.AddReference(inst.assembly_path(assembly))
    module = importlib.import_module(namespace)
    assert getattr(module, cls).__name__ == cls
    imported = {}
    exec("from %s import %s as found" % (namespace, cls), imported)
    assert imported["found"] is getattr(module, cls)


def test_dotted_import_and_missing_class(inst):
    clr.AddReference(inst.assembly_path("Korvex.SDK.dll"))
    import Korvex.SDK
    assert Korvex.SDK.KorvexModule.Velmora != Korvex.SDK.KorvexModule.Norvane
    with pytest.raises(ImportError, match="cannot import name 'NoSuchClass'"):
        from Korvex.SDK import NoSuchClass  # noqa: F401


def test_namespace_shows_only_declared_classes(inst):
    korvex_standin.write_assembly(inst.assembly_path("Korvex.SDK.dll"), "Korvex.SDK",
                                  ["KorvexModule"])
    clr.AddReference(inst.assembly_path("Korvex.SDK.dll"))
    with pytest.raises(ImportError, match="cannot import name 'KorvexApplication'"):
        from Korvex.SDK import KorvexApplication  # noqa: F401


def test_unload_forgets_namespaces(inst):
    clr.AddReference(inst.assembly_path("Korvex.SDK.dll"))
    import Korvex.SDK  # noqa: F401
    korvex_standin.unload_assemblies()
    assert "Korvex.SDK" not in sys.modules
    with pytest.raises(ModuleNotFoundError):
        import Korvex.SDK  # noqa: F401,F811


def test_system_namespaces_reachable_as_attributes():
    import System
    assert System.IO.FileNotFoundException is FileNotFoundException
    assert System.Windows.Point is Point


@pytest.mark.parametrize("cls,base", [
    (FileNotFoundException, IOException), (IOException, NetException),
    (ArgumentException, NetException), (InvalidOperationException, NetException),
    (ObjectDisposedException, InvalidOperationException), (BadImageFormatException, NetException),
    (CultureNotFoundException, ArgumentException), (NetException, Exception),
])
def test_exception_hierarchy(cls, base):
    assert issubclass(cls, base)
    error = cls("broken")
    assert str(error) == error.Message == "broken"


def test_exception_names_read_as_dotnet():
    assert FileNotFoundException.__module__ == "System.IO"
    assert "System.ArgumentException" in ArgumentException().ToString()


def test_culture_is_per_thread(journal):
    assert Thread.CurrentThread.CurrentCulture.Name == ""
    Thread.CurrentThread.CurrentCulture = CultureInfo("en-US")
    Thread.CurrentThread.CurrentUICulture = CultureInfo("fr-FR")
    seen = {}

    def worker():
        seen["start"] = Thread.CurrentThread.CurrentCulture.Name
        Thread.CurrentThread.CurrentCulture = CultureInfo("de-DE")
        seen["end"] = Thread.CurrentThread.CurrentCulture.Name

    thread = threading.Thread(target=worker, name="culture-worker")
    thread.start()
    thread.join()
    assert seen == {"start": "", "end": "de-DE"}
    assert Thread.CurrentThread.CurrentCulture == CultureInfo("en-US")
    assert Thread.CurrentThread.CurrentUICulture.Name == "fr-FR"
    sets = [(e.args[0].Name, e.thread_name) for e in journal.entries if e.member == "Thread.CurrentCulture="]
    assert sets == [("en-US", threading.current_thread().name), ("de-DE", "culture-worker")]
    assert korvex_standin.thread_cultures()[threading.get_ident()][1:] == ("en-US", "fr-FR")


@pytest.mark.parametrize("value,error", [(None, ArgumentException), ("en-US", TypeError)])
def test_culture_property_refuses_non_cultures(value, error):
    with pytest.raises(error):
        Thread.CurrentThread.CurrentCulture = value
    assert Thread.CurrentThread.CurrentCulture.Name == ""


@pytest.mark.parametrize("name", ["en_US!", "x", "en-US-"])
def test_bad_culture_names(name):
    with pytest.raises(CultureNotFoundException):
        CultureInfo(name)


def test_culture_equality_and_invariant():
    assert CultureInfo("en-US") == CultureInfo("en-us")
    assert CultureInfo("en-US") != CultureInfo("fr-FR")
    assert CultureInfo.InvariantCulture.Name == ""


def test_point_and_tuple():
    assert Point(810, 340.5) == Point(810.0, 340.5)
    assert (Point(1, 2).X, Point(1, 2).Y) == (1.0, 2.0)
    with pytest.raises(TypeError):
        Point("1920", 0)
    pair = Tuple("Korvex.SDK", "Korvex.SDK.dll")
    assert (pair.Item1, pair.Item2) == ("Korvex.SDK", "Korvex.SDK.dll")
    with pytest.raises(AttributeError):
        pair.Item3


def test_bridge_turns_bad_arguments_into_type_errors(sdk, tmp_path):
    from Korvex.Velmora.Core import CommandController, Layer, Model
    with pytest.raises(TypeError, match="No method matches given arguments for Layer"):
        Layer("a", "b")
    with pytest.raises(TypeError, match="No method matches given arguments for Layer.ToString"):
        Layer("a").ToString(1)
    # A text parameter takes text or None only: no path object, bytes or number.
    with pytest.raises(TypeError, match=r"for Model.SaveToFile: \(<class 'pathlib\."):
        Model().SaveToFile(tmp_path / "m.quarl")
    with pytest.raises(TypeError, match=r"for Layer\.\.ctor: \(<class 'bytes'>\)"):
        Layer(b"0")
    with pytest.raises(TypeError, match="'str' value cannot be converted to Korvex.Velmora.Core.Model"):
        CommandController().model = "m"


def test_add_reference_path_must_be_text():
    with pytest.raises(TypeError):
        clr.AddReference(os)


def test_list_assemblies(inst):
    assert clr.ListAssemblies() == []
    clr.AddReference(inst.assembly_path("Korvex.Helper.dll"))
    clr.AddReference(inst.assembly_path("Korvex.SDK.dll"))
    assert clr.ListAssemblies() == ["Korvex.Helper", "Korvex.SDK"]
    assert clr.ListAssemblies(True)[1].startswith("Korvex.SDK, Version=24.1.0.0")
