"""COM counts and the journal with its fault knobs."""

import threading

import pytest

import clr
import korvex_standin
import pythoncom
from System import InvalidOperationException
from System.IO import FileNotFoundException


def test_com_counts_per_thread(journal):
    pythoncom.CoInitialize()
    pythoncom.CoInitialize()
    depths = {}

    def worker():
        pythoncom.CoInitialize()
        depths["worker"] = pythoncom._apartment_depth()
        pythoncom.CoUninitialize()
        depths["worker after"] = pythoncom._apartment_depth()

    thread = threading.Thread(target=worker, name="com-worker")
    thread.start()
    thread.join()
    assert pythoncom._apartment_depth() == 2
    assert depths == {"worker": 1, "worker after": 0}
    assert pythoncom._apartment_depths()[thread.ident] == ("com-worker", 0)
    pythoncom.CoUninitialize()
    pythoncom.CoUninitialize()
    assert pythoncom._apartment_depth() == 0
    assert [e.thread_name for e in journal.entries if e.member == "pythoncom.CoInitialize"] == [
        threading.current_thread().name, threading.current_thread().name, "com-worker"]


def test_unbalanced_uninitialize_shows_negative():
    pythoncom.CoUninitialize()
    assert pythoncom._apartment_depth() == -1


def test_journal_entries_carry_member_args_and_thread(sdk, journal):
    from Korvex.Velmora.Core import Layer
    layer = Layer("pipes")
    layer.Name = "P"
    assert journal.entries == [
        ("Layer", ("pipes",), threading.current_thread().name, threading.get_ident()),
        ("Layer.Name=", ("P",), threading.current_thread().name, threading.get_ident()),
    ]
    assert journal.members() == ["Layer", "Layer.Name="]
    assert journal.calls("Layer.Name=") == [("P",)]


@pytest.mark.parametrize("member,call", [
    ("clr.AddReference", lambda sdk: clr.AddReference("mscorlib")),
    ("pythoncom.CoInitialize", lambda sdk: pythoncom.CoInitialize()),
    ("Model", lambda sdk: sdk.Model()),
    ("Model.SaveToFile", lambda sdk: sdk.Model().SaveToFile("x.quarl")),
    ("PSLibrary.Initialize", lambda sdk: sdk.PSLibrary.Initialize("x")),
    ("CustomCommand.NeedToSaveModelAfterCommand=",
     lambda sdk: setattr(sdk.CustomCommand(sdk.Model(), "AddLayer"), "NeedToSaveModelAfterCommand", False)),
])
def test_fail_knob_reaches_every_kind_of_member(sdk, journal, member, call):
    import Korvex.Velmora.Core as core
    journal.fail(member, InvalidOperationException("knob says no"))
    with pytest.raises(InvalidOperationException, match="knob says no"):
        call(core)
    assert member in journal.members()


def test_answer_knob_replaces_the_work(sdk, journal, tmp_path):
    from Korvex.Velmora.Core import Model
    journal.answer("Model.SaveToFile", "skipped")
    assert Model().SaveToFile(str(tmp_path / "m.quarl")) == "skipped"
    assert not (tmp_path / "m.quarl").exists()
    journal.answer("Model", "not a model")
    assert Model() == "not a model"
    assert journal.members() == ["Model", "Model.SaveToFile", "Model"]


def test_knob_with_times_and_factory(journal):
    journal.fail("clr.AddReference", lambda name: FileNotFoundException("no " + name), times=2)
    for _ in range(2):
        with pytest.raises(FileNotFoundException, match="no mscorlib"):
            clr.AddReference("mscorlib")
    assert clr.AddReference("mscorlib").FullName.startswith("mscorlib")


def test_fail_with_exception_class(journal):
    journal.fail("pythoncom.CoUninitialize", RuntimeError)
    with pytest.raises(RuntimeError):
        pythoncom.CoUninitialize()
    assert pythoncom._apartment_depth() == 0


def test_reset_and_clear_knobs(journal, sdk):
    journal.answer("pythoncom.CoInitialize", None)
    journal.clear_knobs()
    pythoncom.CoInitialize()
    assert pythoncom._apartment_depth() == 1
    journal.fail("pythoncom.CoInitialize", RuntimeError)
    journal.reset()
    assert journal.entries == []
    pythoncom.CoInitialize()
    assert pythoncom._apartment_depth() == 2
    assert "Korvex.SDK" in korvex_standin.loaded_assemblies()


def test_fail_factory_must_give_an_exception(journal):
    journal.fail("clr.AddReference", lambda name: "oops")
    with pytest.raises(TypeError, match="must return an exception"):
        clr.AddReference("mscorlib")
