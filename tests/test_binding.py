"""The module frame: function objects, argument binding, the set-up guard, global names,
traceback entries, module state and import-time behaviour."""

import os
import platform
import sys
import textwrap
import time

import pytest

from module_helpers import (STANDIN, SETUP_MESSAGE, innermost_module_entry, module_entries,
                            run_python)

# name, parameters, first line, guarded
FUNCTIONS = [
    ("setup_korvex_computer", ["velmora_installation_directory", "korvexModule"], 36, False),
    ("load_dll", ["dllname"], 97, True),
    ("load_dll_c", ["dllname"], 122, True),
    ("FindSolverPaths", ["settings"], 148, False),
    ("FindDataProjectPaths", ["dataSources"], 175, False),
    ("loadQuarl", ["quarlFilename"], 183, True),
    ("saveQuarl", ["quarl", "quarlFilename"], 207, True),
    ("getQuarl", ["directory"], 219, True),
    ("createQuarl", ["module"], 229, False),
    ("createPipingQuarl", [], 241, True),
    ("createStructureQuarl", [], 253, True),
    ("solve", ["filename", "solvername", "sandbox"], 265, True),
    ("disposeSolution", [], 316, False),
    ("solvePipingModel", ["quarl", "quarlFilename", "solvername", "directory"], 332, True),
    ("solveStructureModel", ["quarl", "quarlFilename", "directory"], 380, True),
    ("_PipeStressSolve", ["quarl", "quarlFilename", "directory"], 412, False),
    ("_AsterSolve", ["quarl", "quarlFilename", "directory"], 444, False),
    ("find_first_file", ["directory", "ext"], 480, False),
    ("copyDirectoryToTemp", ["directory"], 486, False),
    ("inspectClass", ["instance", "indent"], 499, True),
    ("findNameSpaceAndAssembly", ["className"], 515, True),
    ("writeFreFile", ["quarl", "quarlFilename"], 533, True),
    ("createCommand", ["commandName", "quarl"], 576, True),
    ("executeCommand", ["command"], 593, True),
    ("addProjectFolder", ["directory", "folderName"], 603, True),
    ("removeProjectFolder", ["folderDirectory"], 618, True),
    ("addProject", ["directory", "projectName", "studyName", "screenWidth", "screenheight",
                    "module"], 634, False),
    ("addPipingProject", ["directory", "projectName", "studyName", "screenWidth",
                          "screenheight"], 654, True),
    ("addStructureProject", ["directory", "projectName", "studyName", "screenWidth",
                             "screenheight"], 666, True),
    ("removeProject", ["projectDirectory"], 678, True),
    ("addStudy", ["projectDirectory", "studyName", "screenWidth", "screenheight", "module"],
     694, False),
    ("addPipingStudy", ["projectDirectory", "studyName", "screenWidth", "screenheight"], 716,
     True),
    ("addStructureStudy", ["projectDirectory", "studyName", "screenWidth", "screenheight"], 728,
     True),
    ("removeStudy", ["projectDirectory", "studyName"], 740, True),
    ("duplicateStudy", ["projectDirectory", "studyName", "copyStudyName"], 761, True),
]
WITH_PARAMETERS = [f for f in FUNCTIONS if f[1]]
GUARDED = [f for f in FUNCTIONS if f[3]]
ON_CPYTHON = platform.python_implementation() == "CPython"
# PyPy refuses keyword names that are not text at the call, in its own words.
CPYTHON_ONLY = pytest.mark.skipif(not ON_CPYTHON, reason="PyPy checks keyword names itself")


def test_functions_stand_in_the_namespace_in_table_order(core):
    names = [n for n, value in vars(core).items() if callable(value) and n in
             {f[0] for f in FUNCTIONS}]
    assert names == [f[0] for f in FUNCTIONS]
    assert len(GUARDED) == 24


@pytest.mark.parametrize("name, parameters, first_line, guarded", FUNCTIONS)
def test_function_object_identity(core, name, parameters, first_line, guarded):
    function = getattr(core, name)
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__module__ == "korvex_computer.korvex_core"
    signature, blank = function.__doc__.split("\n")[:2]
    assert signature == "%s(%s)" % (name, ", ".join(parameters))
    assert blank == ""


@pytest.mark.parametrize("name, doc", [
    ("setup_korvex_computer", "\n".join([
        "setup_korvex_computer(velmora_installation_directory, korvexModule)",
        "",
        "Setup the Korvex Computer by defining its installation's directory and the module to "
        "use.",
        "Example : ",
        "",
        "   import korvex_computer as cc",
        '   valid = cc.setup_korvex_computer("C:\\Program Files\\Korvex\\Velmora 20XX.Y", '
        "cc.KorvexModule.Velmora)",
        "",
        "korvexModule can be:",
        "- cc.KorvexModule.All",
        "- cc.KorvexModule.Velmora",
        "- cc.KorvexModule.Norvane"])),
    ("load_dll", "load_dll(dllname)\n\nLoad a .NET DLL from assembly name."),
    ("_PipeStressSolve", "_PipeStressSolve(quarl, quarlFilename, directory)\n\nPrivate method.\n"
     "Solve a quarl with PipeStress solver in directory.\nGlobal _PipeStress_ path exists.\n"
     "Fill the global variable _Solution_ "),
    ("_AsterSolve", "_AsterSolve(quarl, quarlFilename, directory)\n\nPrivate method.\nSolve a "
     "quarl with Aster solver in directory.\nGlobal _Aster_ path exists.\nFill the global "
     "variable _Solution_ "),
    ("findNameSpaceAndAssembly", "findNameSpaceAndAssembly(className)\n\nReturn the c# namespace "
     "and assembly of a className.\nReturn None if doesn't exists in Velmora installation."),
])
def test_docstrings_letter_for_letter(core, name, doc):
    assert getattr(core, name).__doc__ == doc


class RehashedText(str):
    def __hash__(self):
        return 7


class UncomparableText(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise ValueError("not compared")


@pytest.mark.parametrize("function, args, kwargs, message", [
    ("load_dll", ("a", "b"), {}, "load_dll() takes exactly 1 positional argument (2 given)"),
    ("load_dll", ("a",), {"dllname": "b"},
     "load_dll() got multiple values for keyword argument 'dllname'"),
    ("load_dll", (), {"name": "a"}, "load_dll() got an unexpected keyword argument 'name'"),
    ("load_dll", (), {}, "load_dll() takes exactly 1 positional argument (0 given)"),
    ("setup_korvex_computer", (), {"korvexModule": 1},
     "setup_korvex_computer() takes exactly 2 positional arguments (0 given)"),
    ("setup_korvex_computer", ("d",), {},
     "setup_korvex_computer() takes exactly 2 positional arguments (1 given)"),
    ("solve", (), {}, "solve() takes exactly 3 positional arguments (0 given)"),
    ("solve", (1, 2, 3, 4), {"sandbox": 1},
     "solve() takes exactly 3 positional arguments (4 given)"),
    ("solve", ("f",), {"sandbox": 1},
     "solve() takes exactly 3 positional arguments (1 given)"),
    ("solve", ("f",), {"sandbox": 1, "filename": 2, "bogus": 3},
     "solve() got multiple values for keyword argument 'filename'"),
    ("addProject", (1, 2, 3, 4, 5, 6, 7), {},
     "addProject() takes exactly 6 positional arguments (7 given)"),
    ("createPipingQuarl", (1,), {}, "createPipingQuarl() takes no arguments (1 given)"),
    ("createStructureQuarl", (1, 2), {}, "createStructureQuarl() takes no arguments (2 given)"),
    ("disposeSolution", (), {"x": 1}, "disposeSolution() takes no keyword arguments"),
    ("disposeSolution", (1,), {"x": 1}, "disposeSolution() takes no keyword arguments"),
    # The keywords are walked in the order given, the first unacceptable one reported.
    pytest.param("load_dll", ("x",), {"bogus": 1, 7: 1},
                 "load_dll() got an unexpected keyword argument 'bogus'", marks=CPYTHON_ONLY),
    pytest.param("load_dll", ("x",), {7: 1, "bogus": 1},
                 "load_dll() keywords must be strings", marks=CPYTHON_ONLY),
    pytest.param("load_dll", ("x",), {"dllname": 1, 7: 1},
                 "load_dll() got multiple values for keyword argument 'dllname'",
                 marks=CPYTHON_ONLY),
    pytest.param("load_dll", ("x",), {7: 1, "dllname": 1},
                 "load_dll() keywords must be strings", marks=CPYTHON_ONLY),
    pytest.param("solve", ("f",), {"sandbox": 1, "bogus": 2, 7: 3},
                 "solve() got an unexpected keyword argument 'bogus'", marks=CPYTHON_ONLY),
    pytest.param("solve", (), {"sandbox": 1, 7: 3, "filename": 2, "solvername": 2},
                 "solve() keywords must be strings", marks=CPYTHON_ONLY),
    # A parameter is looked up among the keywords: a text key hashed otherwise is not found,
    # yet names the parameter, so the call lacks it.
    pytest.param("load_dll", (), {RehashedText("dllname"): 1},
                 "load_dll() takes exactly 1 positional argument (0 given)", marks=CPYTHON_ONLY),
])
def test_argument_errors(core, journal, function, args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        getattr(core, function)(*args, **kwargs)
    assert str(raised.value) == message
    assert journal.members() == []


@CPYTHON_ONLY
def test_an_error_of_the_keyword_look_up_propagates(core, journal):
    with pytest.raises(ValueError, match="not compared"):
        core.load_dll(**{UncomparableText("dllname"): 1})
    assert journal.members() == []


@pytest.mark.parametrize("name, parameters, first_line, guarded", WITH_PARAMETERS)
def test_each_missing_keyword_is_counted_by_position(core, name, parameters, first_line,
                                                     guarded):
    count = len(parameters)
    plural = "" if count == 1 else "s"
    for missing in range(count):
        kwargs = {p: None for i, p in enumerate(parameters) if i != missing}
        with pytest.raises(TypeError) as raised:
            getattr(core, name)(**kwargs)
        assert str(raised.value) == "%s() takes exactly %d positional argument%s (%d given)" % (
            name, count, plural, missing)
        assert innermost_module_entry(raised.value) == (
            "korvex_computer.korvex_core." + name, first_line)


class LooksLikeDllname(object):
    # Hashes and compares as the parameter name, without being text.
    def __hash__(self):
        return hash("dllname")

    def __eq__(self, other):
        return other == "dllname"


@CPYTHON_ONLY
@pytest.mark.parametrize("key", [1, LooksLikeDllname()])
@pytest.mark.parametrize("before, message", [
    ({}, "load_dll() keywords must be strings"),
    ({"bogus": 1}, "load_dll() got an unexpected keyword argument 'bogus'")])
def test_non_text_keyword_names_bind_nothing(core, key, before, message):
    with pytest.raises(TypeError) as raised:
        core.load_dll(**before, **{key: "x"})
    assert str(raised.value) == message


def test_errors_of_functions_without_parameters_carry_no_module_entry(core):
    with pytest.raises(TypeError) as raised:
        core.createPipingQuarl(1)
    assert module_entries(raised.value) == []


def test_keywords_bind_by_name_in_any_order(core, tmp_path):
    (tmp_path / "b.thf").write_text("")
    assert core.find_first_file(ext=".thf", directory=str(tmp_path)) == str(tmp_path / "b.thf")


@pytest.mark.parametrize("name, parameters, first_line, guarded", GUARDED)
def test_guard_refuses_before_reading_arguments(core, journal, name, parameters, first_line,
                                                guarded):
    class Untouchable:
        def __getattr__(self, attribute):
            raise AssertionError("argument read before the guard")

        def __eq__(self, other):
            raise AssertionError("argument compared before the guard")

        __hash__ = object.__hash__

    with pytest.raises(OSError) as raised:
        getattr(core, name)(*[Untouchable() for _ in parameters])
    assert type(raised.value) is OSError
    assert raised.value.args == (SETUP_MESSAGE,)
    entry_name, line = innermost_module_entry(raised.value)
    assert entry_name == "korvex_computer.korvex_core." + name
    assert first_line < line
    assert journal.members() == []


def test_guard_lines_given_for_load_functions(core):
    for name, line in [("load_dll", 104), ("load_dll_c", 130)]:
        with pytest.raises(OSError) as raised:
            getattr(core, name)("x.dll")
        assert innermost_module_entry(raised.value) == ("korvex_computer.korvex_core." + name,
                                                        line)


def test_guard_reads_the_global_at_every_call(core):
    with pytest.raises(OSError):
        core.load_dll("Korvex.SDK.dll")
    core._validSetup_ = True
    # Past the guard, load_dll reaches the join of a directory that set-up never stored.
    with pytest.raises(TypeError):
        core.load_dll("Korvex.SDK.dll")
    core._validSetup_ = False
    with pytest.raises(OSError):
        core.load_dll("Korvex.SDK.dll")
    del core._validSetup_
    with pytest.raises(NameError):
        core.load_dll("Korvex.SDK.dll")


class Truthless:
    def __bool__(self):
        raise ZeroDivisionError("no truth here")


def test_guard_truth_errors_propagate(core):
    core._validSetup_ = Truthless()
    with pytest.raises(ZeroDivisionError):
        core.getQuarl("x")


def test_global_missing_everywhere_raises_name_error(core, tmp_path):
    del core.os
    with pytest.raises(NameError) as raised:
        core.find_first_file(str(tmp_path), ".x")
    assert str(raised.value) == "name 'os' is not defined"
    assert raised.value.__traceback__ is not None


def test_global_falls_back_to_builtins(core, monkeypatch):
    import builtins
    del core._validSetup_
    monkeypatch.setattr(builtins, "_validSetup_", False, raising=False)
    with pytest.raises(OSError):
        core.getQuarl("x")
    monkeypatch.delattr(builtins, "_validSetup_")
    with pytest.raises(NameError) as raised:
        core.getQuarl("x")
    assert str(raised.value) == "name '_validSetup_' is not defined"


def test_replaced_module_attribute_is_used_by_later_calls(core, tmp_path):
    calls = []

    class FakeOs:
        path = core.os.path

        @staticmethod
        def listdir(directory):
            calls.append(directory)
            return []

    core.os = FakeOs
    assert core.find_first_file("anywhere", ".thf") == ""
    assert calls == ["anywhere"]


def test_module_state_after_import():
    code = textwrap.dedent("""
        import korvex_computer.korvex_core as k
        names = ["_CultureInfo_", "_exePath_", "_dllPath_", "_Aster_", "_PipeStress_",
                 "_Solution_", "_dataPath_", "_projectPath_", "_Application_",
                 "_commandController_", "_tempDirectory_"]
        assert all(getattr(k, n) is None for n in names)
        assert k._validSetup_ is False and k._dlls_ == [] and k.__test__ == {}
        assert k.__doc__ is None
        print(k._settingsPath_)
        print(k._dataSourcesPath_)
        import os, json, threading, shutil, tempfile, uuid, ctypes, enum
        assert (k.os, k.json, k.threading, k.shutil, k.tempfile, k.uuid, k.ctypes) == (
            os, json, threading, shutil, tempfile, uuid, ctypes)
        assert k.Enum is enum.Enum
        print(k.__builtins__.__name__)
    """)
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "C:\\ProgramData\\Korvex\\Velmora\\Settings\\Velmora.settings",
        "C:\\ProgramData\\Korvex\\Velmora\\Settings\\DataSources.settings",
        "builtins"]


def test_korvex_module_enumeration(core):
    KorvexModule = core.KorvexModule
    assert [m.name for m in KorvexModule] == ["All", "Velmora", "Norvane"]
    assert [m.value for m in KorvexModule] == [-1, 0, 1]
    assert KorvexModule(1) is KorvexModule.Norvane
    assert KorvexModule.Velmora != 0
    assert KorvexModule.__module__ == "korvex_computer.korvex_core"
    assert KorvexModule.__qualname__ == "KorvexModule"
    assert issubclass(KorvexModule, core.Enum)


def test_package_offers_the_module_names(core):
    import korvex_computer as cc
    assert cc.setup_korvex_computer is core.setup_korvex_computer
    assert cc.KorvexModule.Velmora is core.KorvexModule.Velmora
    from korvex_computer import setup_korvex_computer
    assert setup_korvex_computer is core.setup_korvex_computer
    core._Solution_ = "current"
    assert cc._Solution_ == "current"
    # Set on the package, a global reaches the module, which reads it there.
    cc._settingsPath_ = "elsewhere.settings"
    assert (core._settingsPath_, cc._settingsPath_) == ("elsewhere.settings",) * 2
    assert "_settingsPath_" not in vars(cc)
    with pytest.raises(AttributeError, match=r"korvex_computer\.korvex_core.*'_settingPath_'"):
        cc._settingPath_ = "misspelt.settings"


IMPORT_AGAIN = textwrap.dedent("""
    import sys, traceback

    class Missing:
        # Makes one bridge impossible to import, as on a machine without it.
        def find_spec(self, name, path=None, target=None):
            if name == MISSING:
                raise ModuleNotFoundError("No module named %r" % name, name=name)

    blocker = Missing()
    sys.meta_path.insert(0, blocker)
    try:
        import korvex_computer.korvex_core
    except ImportError as e:
        frames = [(f.name, f.lineno) for f in traceback.extract_tb(e.__traceback__)
                  if f.filename == "src/korvex_computer/korvex_core"]
        print(type(e).__name__, e.name, frames)
    print("held after failure:", "korvex_computer.korvex_core" in sys.modules)
    sys.meta_path.remove(blocker)
    import korvex_computer.korvex_core as k
    print("second import:", k._validSetup_, callable(k.duplicateStudy))
""")


@pytest.mark.parametrize("missing, line", [("clr", 3), ("pythoncom", 5)])
def test_import_fails_without_a_bridge_and_succeeds_later(missing, line):
    result = run_python("MISSING = %r\n" % missing + IMPORT_AGAIN)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "ModuleNotFoundError %s [('init korvex_computer.korvex_core', %d)]" % (missing, line),
        "held after failure: False",
        "second import: False True"]


def test_reimport_after_removal_returns_the_held_module():
    code = textwrap.dedent("""
        import importlib, os, platform, sys
        import korvex_computer.korvex_core as k
        k._exePath_ = "kept"
        k._dlls_.append("x.dll")

        def reimport():
            del sys.modules["korvex_computer.korvex_core"]
            return importlib.import_module("korvex_computer.korvex_core")

        again = reimport()
        print(again is k, again._exePath_, again._dlls_)
        # Repeated re-imports leave no allocation behind (500 would leave at least 500; the
        # import machinery itself keeps up to about a hundred blocks for a while). With
        # plain malloc (as under the memory checks, whose leak detector covers this case) the
        # import machinery itself leaves a varying number of blocks traced.
        if (platform.python_implementation() == "CPython"
                and os.environ.get("PYTHONMALLOC", "pymalloc") == "pymalloc"):
            import tracemalloc
            tracemalloc.start()
            before = tracemalloc.take_snapshot()
            for _ in range(500):
                reimport()
            after = tracemalloc.take_snapshot()
            left = sum(d.count_diff for d in after.compare_to(before, "traceback"))
            assert left < 250, left
    """)
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "kept", "['x.dll']"]


@pytest.mark.skipif(not ON_CPYTHON or sys.version_info[:2] != (3, 11),
                    reason="sub-interpreters are reached through CPython 3.11's private module")
def test_second_interpreter_is_refused():
    code = textwrap.dedent("""
        import _xxsubinterpreters as interpreters
        import korvex_computer.korvex_core
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import korvex_computer.korvex_core")
        except interpreters.RunFailedError as e:
            print(e)
    """)
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert "ImportError" in result.stdout
    assert result.stdout.strip().endswith(
        ": Interpreter change detected - this module can only be loaded into one "
        "interpreter per process.")


def test_exception_inside_a_function_names_the_function(core, installation):
    core._validSetup_ = True
    core._dllPath_ = installation.extensions
    core._exePath_ = installation.directory
    with pytest.raises(FileNotFoundError) as raised:
        core.load_dll("Missing.dll")
    assert innermost_module_entry(raised.value) == ("korvex_computer.korvex_core.load_dll", 113)
    frames = [tb for tb in _walk(raised.value.__traceback__)
              if tb.tb_frame.f_code.co_filename == "src/korvex_computer/korvex_core"]
    assert frames[0].tb_frame.f_globals is vars(core)


def _walk(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next


def test_every_traceback_entry_has_a_frame_of_its_own(core):
    # A debugger's hook set on one entry's frame must not reach a later error of the same line.
    def failing_entry():
        with pytest.raises(KeyError) as raised:
            core.FindSolverPaths({})
        return next(tb for tb in _walk(raised.value.__traceback__)
                    if tb.tb_frame.f_code.co_name == "korvex_computer.korvex_core.FindSolverPaths")
    first = failing_entry()
    first.tb_frame.f_trace = lambda frame, event, argument: None
    second = failing_entry()
    assert second.tb_frame is not first.tb_frame
    assert second.tb_frame.f_trace is None
    assert second.tb_lineno == first.tb_lineno == 154

    # A nested call failing at the same line: two entries, each with its own frame.
    def find_first_file(directory, ext):
        if directory == "outer":
            return core.getQuarl("inner")
        raise KeyError(directory)
    core._validSetup_ = True
    core.find_first_file = find_first_file
    with pytest.raises(KeyError) as raised:
        core.getQuarl("outer")
    entries = [tb for tb in _walk(raised.value.__traceback__)
               if tb.tb_frame.f_code.co_name == "korvex_computer.korvex_core.getQuarl"]
    assert [tb.tb_lineno for tb in entries] == [227, 227]
    assert entries[0].tb_frame is not entries[1].tb_frame


@pytest.mark.skipif(not ON_CPYTHON, reason="PyPy makes a frame without looking `__builtins__` "
                    "up in the module namespace")
def test_a_failing_call_made_while_an_entry_is_made_corrupts_nothing():
    # Making a traceback entry looks `__builtins__` up in the module namespace, which can run a
    # key's __eq__; here that makes the same function fail at another line in the middle.
    code = textwrap.dedent("""
        import korvex_computer.korvex_core as k
        namespace, inner = vars(k), []
        class Key(str):
            __hash__ = str.__hash__
            def __eq__(self, other):
                if not inner:
                    inner.append(None)
                    try:
                        k.FindSolverPaths({"Families": [{}]})
                    except KeyError as e:
                        inner[0] = e.__traceback__.tb_next.tb_lineno
                return False
        namespace[Key("__builtins__")] = namespace.pop("__builtins__")
        for attempt in range(3):
            try:
                k.FindSolverPaths({})
            except KeyError as e:
                print(e.__traceback__.tb_next.tb_lineno, inner)
    """)
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:3] == ["154 [155]"] * 3


def test_endless_calls_between_rebound_functions_end_in_recursion_error():
    # getQuarl reaches find_first_file by name; rebinding it to call getQuarl again must end in
    # an exception, never a crash of the interpreter. Run apart, so a crash fails only this test.
    code = textwrap.dedent("""
        import korvex_computer.korvex_core as k
        k._validSetup_ = True
        k.find_first_file = lambda directory, ext: k.getQuarl(directory)
        try:
            k.getQuarl("x")
        except RecursionError as e:
            print("RecursionError")
        print(k.find_first_file.__name__)
    """)
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["RecursionError", "<lambda>"]


def test_endless_chain_of_worker_threads_ends_in_recursion_error(tmp_path):
    # Each level of this chain starts a new solver worker; the bound follows the chain across
    # the workers, so it ends with the error reported on the innermost worker, and the outer
    # call returns as for any failed run, with no worker left running.
    code = textwrap.dedent("""
        import os, sys, threading, warnings
        warnings.simplefilter("ignore", DeprecationWarning)
        import korvex_computer.korvex_core as k
        from korvex_standin.installation import build_installation
        inst = build_installation(sys.argv[1])
        k._settingsPath_, k._dataSourcesPath_ = inst.settings_path, inst.data_sources_path
        k.setup_korvex_computer(inst.directory, k.KorvexModule.Velmora)
        k._AsterSolve = k.solveStructureModel
        threading.excepthook = lambda report: print("worker:", report.exc_type.__name__)
        model = k.createStructureQuarl()
        print("result:", k.solveStructureModel(model, os.path.join(sys.argv[1], "M.quarl"),
                                               sys.argv[1]), threading.active_count())
    """)
    result = run_python(code.replace("sys.argv[1]", repr(str(tmp_path))))
    assert result.returncode == 0, result.stderr
    assert [line for line in result.stdout.splitlines() if ":" in line] == [
        "worker: RecursionError", "result: None 1"]


def test_solve_binds_all_three_keywords_in_any_order(core, capsys, tmp_path):
    core._validSetup_ = True
    missing = str(tmp_path / "missing.quarl")
    assert core.solve(sandbox=True, solvername="PipeStress", filename=missing) is None
    assert capsys.readouterr().out == "Invalid filename\n"


# ---- the interpreter ending threads that are inside module calls ------------------------------

SOLVE_UNTIL_INTERRUPTED = textwrap.dedent("""
    import json, os, signal, sys, tempfile, warnings
    # As Python sets it up, also when started with Ctrl-C ignored (a shell's background job).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    warnings.simplefilter("ignore", DeprecationWarning)
    import korvex_computer.korvex_core as k
    from korvex_standin import journal
    from korvex_standin.installation import build_installation
    work = sys.argv[1]
    inst = build_installation(os.path.join(work, "installation"))
    k._settingsPath_, k._dataSourcesPath_ = inst.settings_path, inst.data_sources_path
    k.setup_korvex_computer(inst.directory, k.KorvexModule.Velmora)
    journal.answer("PipeStressSolver.Run", 0)
    journal.answer("PipeStressSolver.GetAnalysisModel", "analysis")
    model = os.path.join(work, "Plant.quarl")
    with open(model, "w") as f:
        json.dump({"Format": "quarL", "FormatVersion": 1, "Module": "Velmora",
                   "Layers": [{"Name": "0"}]}, f)
    tempfile.tempdir = work
    open(os.path.join(work, "solving"), "w").close()
    while True:
        k.solve(model, "PipeStress", True)
        k.disposeSolution()
""")


# Two faults of CPython 3.11 itself, which its debug build shows, each also seen with no module
# loaded: os.stat fills its three times one after the other, each by an int multiplication that
# can run a pending Ctrl-C's handler, and goes on after one failed, so the debug build's slot
# check aborts (`while True: os.stat(path)` interrupted: about one run in two); and a thread whose
# system thread first runs after the interpreter has freed the thread states at exit (Ctrl-C just
# after Thread.start made it) reads its freed state (20 threads started, then exit: every run).
# A release build raises the KeyboardInterrupt from os.stat, and reads the freed state while it
# still holds its old contents (0 crashes in 40 runs of the same threads).
@pytest.mark.xfail(hasattr(sys, "gettotalrefcount"), strict=False, reason=(
    "CPython 3.11's own faults, with or without this module: os.stat goes on after Ctrl-C "
    "interrupted one of its int multiplications ('_Py_CheckSlotResult: Slot * of type int "
    "succeeded with an exception set'), and a thread started just before exit reads its freed "
    "thread state (segmentation fault in _PyThreadState_SetCurrent)"))
def test_ctrl_c_during_solves_ends_in_keyboard_interrupt(tmp_path):
    # Ctrl-C can come while the solver worker (a daemon thread) is inside a module call; the
    # interpreter then ends that thread as it finalises. Each run must end as Python ends on
    # KeyboardInterrupt, never by a crash.
    import random
    import signal
    import subprocess
    script = tmp_path / "solve_until_interrupted.py"
    script.write_text(SOLVE_UNTIL_INTERRUPTED)
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(STANDIN)] + [p for p in sys.path if p]))
    endings = []
    for run in range(24):
        work = tmp_path / ("run%d" % run)
        work.mkdir()
        process = subprocess.Popen([sys.executable, str(script), str(work)], env=environment,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 60
        while not (work / "solving").exists() and process.poll() is None:
            assert time.monotonic() < deadline, "no solve began"
            time.sleep(0.01)
        time.sleep(random.uniform(0.0, 0.3))
        # A KeyboardInterrupt raised inside a finaliser (a weak reference's callback) is only
        # reported by Python as ignored, and the loop goes on: Ctrl-C is pressed again then.
        for attempt in range(3):
            process.send_signal(signal.SIGINT)
            try:
                _, errors = process.communicate(timeout=20)
                break
            except subprocess.TimeoutExpired:
                pass
        else:
            process.kill()
            _, errors = process.communicate()
            endings.append(("still running after Ctrl-C", errors[-2000:]))
            continue
        interrupted = process.returncode in (-signal.SIGINT, 130) or (
            process.returncode == 1 and errors.rstrip().endswith("KeyboardInterrupt"))
        # CPython 3.11's own Condition is not safe against Ctrl-C: interrupted inside
        # Thread.start's `with self._cond`, its __exit__ releases a lock it never took. An
        # orderly exception in threading.py, in place of the KeyboardInterrupt; no crash.
        interrupted = interrupted or (process.returncode == 1 and errors.rstrip().endswith(
            "RuntimeError: release unlocked lock") and "threading.py" in errors[-600:])
        endings.append("KeyboardInterrupt" if interrupted else (process.returncode, errors[-500:]))
    assert endings == ["KeyboardInterrupt"] * 24


def without_leak_check():
    # For a process whose interpreter leaves objects behind by design (a thread it ends keeps its
    # references, as plain Python's frames do): the sanitizer run's leak checker is turned off.
    options = os.environ.get("ASAN_OPTIONS")
    return {"ASAN_OPTIONS": (options + ":" if options else "") + "detect_leaks=0"}


def test_arguments_outlive_the_callers_tuple():
    # atexit holds the call's argument tuple only in its own entry: an exit function that
    # unregisters itself frees the tuple and, with it, the only other reference to its argument.
    code = textwrap.dedent("""
        import atexit, os, types
        import korvex_computer.korvex_core as k
        def exists(path):
            atexit.unregister(k.load_dll)
            return False
        k._validSetup_, k._dllPath_, k._exePath_ = True, "assemblies", "installation"
        k.os = types.SimpleNamespace(path=types.SimpleNamespace(join=os.path.join, exists=exists))
        atexit.register(k.load_dll, "".join(["unloaded", ".dll"]))
    """)
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stderr.splitlines()[-1] == "FileNotFoundError: DLL 'unloaded.dll' not found."


# Threads inside module calls while the interpreter exits. A daemon thread that asks for the
# interpreter lock once finalisation has begun is ended where it stands, through the module's
# frames; a finaliser that gives the lock up (LINGERING) is where that happens.
EXIT_PROLOGUE = textwrap.dedent("""
    import atexit, os, sys, threading, time, types
    inside = threading.Event()
    class Lingering(object):
        armed = True
        def __del__(self):
            if self.armed:
                inside.set()
                while True:
                    time.sleep(0.001)
    def listdir(directory):
        inside.set()
        while True:
            time.sleep(0.001)
    def in_a_daemon(function, *args):
        threading.Thread(target=function, args=args, daemon=True).start()
        inside.wait()
""")
# What a thread still running normally sees: no stale handled exception after a call that
# caught one, and no references kept by the calls (counted on a debug interpreter).
LIVE_THREAD_CHECK = textwrap.dedent("""
    def live_thread_check():
        seen = []
        def calls():
            missing = os.path.join("no", "such", "folder")
            k.copyDirectoryToTemp(missing)
            before = getattr(sys, "gettotalrefcount", lambda: 0)()
            for _ in range(200):
                k.copyDirectoryToTemp(missing)
            kept = getattr(sys, "gettotalrefcount", lambda: 0)() - before
            seen.append("handled %s, %s" % (sys.exc_info()[0], "kept" if kept > 100 else "none kept"))
        thread = threading.Thread(target=calls)
        thread.start()
        thread.join()
        print(seen[0])
""")


@pytest.mark.parametrize("scenario, printed", [
    # A release during the unwinding of an exception runs a finaliser that gives the lock up
    # (CPython runs it at the release; PyPy later, from its collector).
    pytest.param("""
     import korvex_computer.korvex_core as k
     k._validSetup_, k._dllPath_, k._exePath_ = True, "assemblies", "installation"
     k.os = types.SimpleNamespace(path=types.SimpleNamespace(join=lambda *parts: Lingering(),
                                                             exists=os.fspath))
     in_a_daemon(k.load_dll_c, "library.so")
     """, "", marks=CPYTHON_ONLY),
    # The same for imported names, released when a call with them fails.
    pytest.param("""
     import korvex_computer.korvex_core as k
     fetched = []
     class Namespace(types.ModuleType):
         def __getattr__(self, name):
             fetched.append(name)
             lingering = Lingering()
             lingering.armed = len(fetched) > 2  # the values taken, not the test for them
             return lingering
     sys.modules["Korvex.Velmora.Core"] = Namespace("Korvex.Velmora.Core")
     k.load_dll = lambda name: None
     in_a_daemon(k.createQuarl, 0)
     """, "", marks=CPYTHON_ONLY),
    # A daemon thread inside a module call when the main thread returns.
    ("""
     import korvex_computer.korvex_core as k
     k.os = types.SimpleNamespace(listdir=listdir, path=k.os.path)
     in_a_daemon(k.find_first_file, "folder", ".x")
     """, ""),
    # The module's exit functions are not what tells a thread that the interpreter is exiting:
    # cleared, or run early on a thread whose id a later one takes.
    ("""
     import korvex_computer.korvex_core as k
     atexit._clear()
     k.os = types.SimpleNamespace(listdir=listdir, path=k.os.path)
     in_a_daemon(k.find_first_file, "folder", ".x")
     """, ""),
    ("""
     import korvex_computer.korvex_core as k
     early = threading.Thread(target=atexit._run_exitfuncs)
     early.start()
     early.join()
     k.os = types.SimpleNamespace(listdir=listdir, path=k.os.path)
     in_a_daemon(k.find_first_file, "folder", ".x")
     """, ""),
    ("""
     import korvex_computer.korvex_core as k
     atexit._run_exitfuncs()
     live_thread_check()
     """, "handled None, none kept\n"),
    # An exit function that runs after the module's forks a child, which calls on.
    ("""
     def fork_and_check():
         child = os.fork()
         if child == 0:
             live_thread_check()
             sys.stdout.flush()
             os._exit(0)
         os.waitpid(child, 0)
     atexit.register(fork_and_check)
     import korvex_computer.korvex_core as k
     """, "handled None, none kept\n"),
], ids=["release-while-unwinding", "imports-released-while-unwinding", "main-thread-returns",
        "exit-functions-cleared",
        "exit-functions-run-on-a-short-thread", "exit-functions-run-early",
        "child-forked-at-exit"])
def test_threads_in_module_calls_while_the_interpreter_exits(scenario, printed, tmp_path):
    code = EXIT_PROLOGUE + LIVE_THREAD_CHECK + textwrap.dedent(scenario)
    # GCC 12's AddressSanitizer, as pthread_exit ends a thread, checks a local of its own in its
    # sigaltstack interceptor against stack that an earlier C++ exception's unwinding left
    # poisoned: a false report about the sanitizer's own memory, left out here.
    (tmp_path / "sanitizer.supp").write_text("interceptor_name:sigaltstack\n")
    environment = without_leak_check()
    environment["ASAN_OPTIONS"] += ":suppressions=" + str(tmp_path / "sanitizer.supp")
    results = [run_python(code, env=environment) for _ in range(10)]
    assert [(r.returncode, r.stdout, r.stderr[-300:]) for r in results] == [(0, printed, "")] * 10


def test_dictionary_read_survives_a_key_whose_eq_calls_the_module_again():
    # The read of "CurrentDatasDirectory" meets a colliding key whose __eq__ removes the entry of
    # that text and reads the same key in a nested call; the outer read goes on probing.
    code = textwrap.dedent("""
        import korvex_computer.korvex_core as k
        TEXT = "CurrentDatasDirectory"
        class Collider(object):
            action = None
            def __hash__(self):
                return hash(TEXT)
            def __eq__(self, other):
                action, self.action = self.action, None
                if action:
                    action()
                return False
        def reenter():
            del document[TEXT]
            k.FindDataProjectPaths({TEXT: "d", "CurrentProjectsDirectory": "p"})
        first, document = Collider(), {}
        document[first] = 0
        document["".join(["CurrentDatas", "Directory"])] = "data"
        document["CurrentProjectsDirectory"] = "projects"
        document[Collider()] = 0
        first.action = reenter
        try:
            k.FindDataProjectPaths(document)
        except KeyError as e:
            print("KeyError", e)
    """)
    result = run_python(code)
    assert (result.returncode, result.stdout) == (0, "KeyError 'CurrentDatasDirectory'\n")


def test_functions_of_a_failed_import_refuse_to_run():
    # An import hook plants a key whose comparison fails the storing of loadQuarl; the functions
    # stored before it stay reachable through the failed module's namespace.
    code = textwrap.dedent("""
        import importlib.machinery, sys
        class Collider(object):
            def __hash__(self):
                return hash("loadQuarl")
            def __eq__(self, other):
                raise LookupError("planted")
        class Planting(importlib.machinery.ExtensionFileLoader):
            def exec_module(self, module):
                failed.append(vars(module))
                vars(module)[Collider()] = None
                super().exec_module(module)
        class Finder(object):
            def find_spec(self, name, path=None, target=None):
                if name == "korvex_computer.korvex_core":
                    spec = importlib.machinery.PathFinder.find_spec(name, path)
                    spec.loader = Planting(spec.loader.name, spec.loader.path)
                    return spec
        failed = []
        sys.meta_path.insert(0, Finder())
        try:
            import korvex_computer
        except LookupError as e:
            print("LookupError", e)
        del sys.meta_path[0]
        import korvex_computer.korvex_core as k
        for call in (lambda: failed[0]["setup_korvex_computer"]("x", 0), lambda: k.load_dll("x")):
            try:
                call()
            except (ImportError, OSError) as e:
                print(type(e).__name__, e)
    """)
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "LookupError planted",
        "ImportError setup_korvex_computer() cannot run: the import of module "
        "'korvex_computer.korvex_core' that made it failed",
        "OSError " + SETUP_MESSAGE]


EMBEDDING_HOST = r"""
#include <Python.h>

int main(void) {
    for (int round = 1; round <= 2; ++round) {
        Py_Initialize();
        PyRun_SimpleString("try:\n"
                           "    import korvex_computer.korvex_core as k\n"
                           "    print(k.KorvexModule.Velmora)\n"
                           "except ImportError as e:\n"
                           "    print('ImportError', e)\n");
        if (Py_FinalizeEx() < 0) return 120;
    }
    return 0;
}
"""


@pytest.mark.skipif(not ON_CPYTHON, reason="PyPy cannot initialise its interpreter again")
def test_interpreter_initialised_again_in_the_same_process(tmp_path):
    import shutil
    import subprocess
    import sysconfig
    compiler = shutil.which("cc")
    if not compiler or not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        pytest.skip("needs a C compiler and a shared libpython to embed the interpreter")
    (tmp_path / "host.c").write_text(EMBEDDING_HOST)
    libdir = sysconfig.get_config_var("LIBDIR")
    library = "python" + sysconfig.get_config_var("LDVERSION")
    compiler_environment = dict(os.environ)
    compiler_environment.pop("LD_PRELOAD", None)  # no sanitizer in the compiler itself
    subprocess.run([compiler, "-I" + sysconfig.get_paths()["include"], str(tmp_path / "host.c"),
                    "-L" + libdir, "-l" + library, "-Wl,-rpath," + libdir,
                    "-o", str(tmp_path / "host")], check=True, env=compiler_environment)
    paths = [str(STANDIN)] + [p for p in sys.path if p]
    # Each finalisation leaves what the interpreter never frees, beyond the module's concern.
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(paths),
                       **without_leak_check())
    result = subprocess.run([str(tmp_path / "host")], capture_output=True, text=True,
                            env=environment, timeout=120)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.splitlines() == [
        "KorvexModule.Velmora",
        "ImportError Interpreter change detected - this module can only be loaded into one "
        "interpreter per process."]


@pytest.mark.parametrize("clause_raises", [False, True])
def test_finally_clause_runs_with_the_propagating_exception_handled(core, clause_raises):
    seen = []

    class Com(object):
        def CoInitialize(self):
            pass

        def CoUninitialize(self):
            seen.append(sys.exc_info()[1])
            try:
                raise ValueError("inside the clause")
            except ValueError as e:
                seen.append(e.__context__)
            if clause_raises:
                raise RuntimeError("from the clause")

    core.pythoncom = Com()
    with pytest.raises((TypeError, RuntimeError)) as raised:
        core._PipeStressSolve(None, None, None)  # os.path.basename(None) fails in the body
    original = raised.value.__context__ if clause_raises else raised.value
    assert type(original) is TypeError
    assert seen == [original, original]
    assert sys.exc_info() == (None, None, None)
