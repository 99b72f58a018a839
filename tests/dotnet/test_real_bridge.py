"""The module driven through the real .NET bridge (pythonnet on Mono), against the stand-in SDK
compiled into .NET assemblies; and the same scenarios on the stand-in bridge, which must see
exactly the same. The scenarios are in scenarios/; paths appear with the marks <root> (the
folder of the installation and machine settings), <work>, <tmp> and <uuid> (see scenario_kit).
"""

import json

import pytest

pytestmark = pytest.mark.dotnet

SCENARIOS = ["setup_and_libraries", "models", "solving", "projects", "commands"]
INSTALL = "<root>/Program Files/Korvex/Velmora 2024.1"
PREFIX = "korvex_computer.korvex_core."
SETUP_LINES = ["Korvex.SDK.dll loaded", "Korvex.Velmora.Core.dll loaded"]


def raised(kind, namespace, message, function=None, line=None):
    noted = {"type": kind, "namespace": namespace, "entry": None if function is None else [PREFIX + function, line]}
    if message is not None:
        noted["message"] = message
    return {"raised": noted}


def solved(solver, results, layers=("0", "Steam lines"), culture="en-US", warnings=()):
    return {"class": "Solution", "solver": solver, "status": "Solved", "layers": list(layers),
            "warnings": list(warnings), "culture": culture, "results": results, "is the current solution": True}


NO_THF = "no .thf file: ambient temperature assumed"

# What a script sees on the real bridge: (scenario, note, expected).
SEEN = [
    # Set-up, the globals it fills and the libraries it loads.
    ("setup_and_libraries", "bare set-up", {"result": False, "printed": [], "dlls": [], "application": None,
                                            "exe path": "<work>/Velmora without extensions"}),
    ("setup_and_libraries", "set-up", {
        "result": True, "printed": SETUP_LINES, "valid": True,
        "paths": [INSTALL, INSTALL + "/Extensions", INSTALL + "/Solvers/aster_solver.py",
                  INSTALL + "/Solvers/pipestress_solver.py", "<root>/Users/Public/Korvex/Data",
                  "<root>/Users/Public/Korvex/Projects"],
        "dlls": ["Korvex.SDK.dll", "Korvex.Velmora.Core.dll"], "culture": "en-US",
        "application": "<KorvexApplication>", "application directory": INSTALL,
        "controller bound to the application": True}),
    ("setup_and_libraries", "caller's cultures", ["en-US", "en-US"]),
    ("setup_and_libraries", "second set-up", {"result": True, "printed": [], "same application": False}),
    ("setup_and_libraries", "load_dll Korvex.Nothing.dll",
     raised("FileNotFoundError", "builtins", "DLL 'Korvex.Nothing.dll' not found.", "load_dll", 113)),
    ("setup_and_libraries", "load_dll Korvex.Broken.dll",
     raised("BadImageFormatException", "System", None, "load_dll", 118)),
    ("setup_and_libraries", "load_dll Korvex.Helper.dll", {"returned": [None, ["Korvex.Helper.dll loaded"]]}),
    ("setup_and_libraries", "dlls after loading", ["Korvex.SDK.dll", "Korvex.Velmora.Core.dll", "Korvex.Helper.dll"]),
    ("setup_and_libraries", "helper answers", "S1 - Copy (2)"),
    # Models created, changed, saved, loaded.
    ("models", "new models", [[["0"], "PipingCode", "Velmora"], [["0"], "StructureCode", "Norvane"]]),
    ("models", "same layer twice",
     raised("ArgumentException", "System", "A layer named 'Steam lines' already exists.")),
    ("models", "model of the script's enum", raised("TypeError", "builtins", None, "createQuarl", 236)),
    ("models", "save", {"returned": None}),
    ("models", "save nothing", [None, ["Plant.fre", "Plant.quarl", "conception.fre"]]),
    ("models", "save where no folder is",
     raised("DirectoryNotFoundException", "System.IO", "Could not find a part of the path '<work>/missing/x.quarl'.",
            "saveQuarl", 216)),
    ("models", "path objects", [raised("TypeError", "builtins", None, "saveQuarl", 216), None]),
    ("models", "fre with a setting missing", [
        raised("ArgumentException", "System", "Unknown setting 'GENERATE DLCS INLINE' in section 'PIPESTRESS'.",
               "writeFreFile", 569), False]),
    ("models", "loaded", [["0", "Steam lines"], "PipingCode", "<work>/Plant/Plant.quarl", False]),
    ("models", "loads that give None", [None, None, None]),
    ("models", "first model of the folder", "Plant.quarl"),
    # Solving, on the worker thread: PipeStress keeps the worker's own (invariant) culture,
    # Aster runs under the module's.
    ("solving", "PipeStress in a sandbox", [
        solved("PipeStress", "<tmp>/<uuid>/conception.pipestress.json", culture=""),
        ["Korvex.PipeStress.Core.dll loaded"],
        ["<tmp>/<uuid>", ["Plant.quarl", "Plant.thf", "conception.fre", "conception.pipestress.json",
                          "conception.pipestress.log"]]]),
    ("solving", "COM apartments: (main thread, count)", [[False, 0]]),
    ("solving", "after disposal", [["<tmp>/<uuid>", None], True, raised(
        "ObjectDisposedException", "System", "Cannot access a disposed object.\nObject name: 'Solution'.")]),
    ("solving", "PipeStress in place", [
        solved("PipeStress", "<work>/Plant/conception.pipestress.json", culture=""),
        ["Plant.quarl", "Plant.thf", "conception.fre", "conception.pipestress.json", "conception.pipestress.log"]]),
    ("solving", "Aster in a sandbox", [
        solved("Aster", "<tmp>/<uuid>/Plant.aster.json"),
        ["<tmp>/<uuid>", ["Plant.aster.inp", "Plant.aster.json", "Plant.aster.log", "Plant.quarl", "Plant.thf",
                          "conception.fre"]]]),
    ("solving", "structure model, any solver name",
     solved("Aster", "<tmp>/<uuid>/Frame.aster.json", layers=["0"], warnings=[NO_THF])),
    ("solving", "unknown solver", [None, ["Invalid solver name. use 'Aster' or 'PipeStress'."]]),
    ("solving", "missing file", [None, ["Invalid filename"]]),
    ("solving", "sandbox after the last disposal", ["<tmp>/<uuid>", None]),
    ("solving", "solvePipingModel", solved("Aster", "<work>/Plant/Plant.aster.json")),
    ("solving", "solveStructureModel",
     solved("Aster", "<work>/Frame/Frame.aster.json", layers=["0"], warnings=[NO_THF])),
    ("solving", "models of the wrong kind", [
        raised("OSError", "builtins", "The quarl is not a piping model.", "solvePipingModel", 350),
        raised("OSError", "builtins", "The quarl is not a structure model.", "solveStructureModel", 397),
        raised("OSError", "builtins", "Invalid quarl.", "solvePipingModel", 345)]),
    ("solving", "run that fails on the worker",
     [None, ["FileNotFoundError: [Errno 2] No such file or directory: '<work>/nowhere'"]]),
    ("solving", "PipeStress not configured", None),
    ("solving", "caller's culture afterwards", "en-US"),
    # Projects and studies on disk.
    ("projects", "folder", ["<work>/Projects", ""]),
    ("projects", "same project again", ""),
    ("projects", "structure project", [[["Frame", "Norvane"]], "Frame"]),
    ("projects", "structure study",
     ["Supports", "Norvane", [490.0, 312.0], "<work>/Projects/Plant/Studies/Supports/Supports.quarl"]),
    ("projects", "same study again", None),
    ("projects", "study of a project that is not there", None),
    ("projects", "duplicated", [
        [[["Piping", "Velmora"], ["Supports", "Norvane"], ["Piping rev B", "Velmora"]], "Piping rev B"],
        ["Plant.project", "Studies/Piping rev B/Piping rev B.quarl", "Studies/Piping/Piping.quarl",
         "Studies/Supports/Supports.quarl"]]),
    ("projects", "copy under a taken name", [
        [["Piping", "Velmora"], ["Supports", "Norvane"], ["Piping rev B", "Velmora"], ["Piping - Copy", "Velmora"]],
        "Piping - Copy"]),
    ("projects", "removed", [
        [[["Piping", "Velmora"], ["Piping rev B", "Velmora"], ["Piping - Copy", "Velmora"]], "Piping"],
        ["Plant.project", "Studies/Piping - Copy/Piping - Copy.quarl", "Studies/Piping rev B/Piping rev B.quarl",
         "Studies/Piping/Piping.quarl"]]),
    ("projects", "last study", [
        raised("InvalidOperationException", "System", "A project must keep at least one study.", "removeStudy", 759),
        [[["Piping", "Velmora"]], "Piping"]]),
    ("projects", "project removed", [False, "<work>/Projects"]),
    ("projects", "folder removed", [False, "<work>"]),
    # Commands and introspection.
    ("commands", "new command", ["AddLayer", False, False, True]),
    ("commands", "executed", [None, ["0", "Layer 1"], ["0"]]),
    ("commands", "saved", ["0", "Layer 1"]),
    ("commands", "executed again", ["0", "Layer 1", "Layer 2"]),
    ("commands", "controller acts on its latest model", [["0"], ["0", "LAYER 1"]]),
    ("commands", "unknown command", raised(
        "ArgumentException", "System",
        "Unknown command 'Explode'. Known commands: AddLayer, ResetLayers, SortLayers, UpperCaseLayers.",
        "createCommand", 587)),
    ("commands", "classes found", [["Korvex.Velmora.Core", "Korvex.Velmora.Core"], ["Korvex.SDK", "Korvex.SDK"],
                                   ["Korvex.Velmora.Project", "Korvex.Velmora.Project"], [None, None],
                                   [None, None]]),
]


@pytest.mark.parametrize("name,note,expected", SEEN, ids=["%s: %s" % (s, n) for s, n, _ in SEEN])
def test_what_a_script_sees(scenario, name, note, expected):
    assert scenario(name).seen[note] == expected


@pytest.mark.parametrize("name", SCENARIOS)
def test_both_bridges_see_the_same(scenario, name):
    real, standin = scenario(name, "dotnet"), scenario(name, "python")
    assert (real.bridge, standin.bridge) == ("pythonnet", "stand-in")
    assert sorted(real.seen) == sorted(standin.seen)
    assert [note for note in real.seen if real.seen[note] != standin.seen[note]] == []


def records(fre_text):
    """The records of a .fre text, with the lines cut at the field length joined again."""
    joined, pending = [], ""
    for line in fre_text.splitlines():
        if line.endswith("&"):
            pending += line[:-1]
        else:
            joined.append(pending + line)
            pending = ""
    return joined


def test_saved_model_and_its_input_files(scenario):
    seen = scenario("models").seen
    files = seen["files after save"]
    assert sorted(files) == ["Plant.quarl", "conception.fre"]
    assert json.loads(files["Plant.quarl"]) == {
        "Format": "quarL", "FormatVersion": 1, "Module": "Velmora", "CalculationCode": "PIPING",
        "Layers": [{"Name": "0"}, {"Name": "Steam lines"}]}
    assert records(files["conception.fre"]) == [
        "*KORVEX FRE 1", "*TITLE Plant", "*MODEL PIPING", "*UNITS SI", "*ROTATION DEGREES", "*MAXLEN 80",
        "*RESTRAINTS INLINE", "*DLCS INLINE", "*INDI SEPARATE", "LAYER 0", "LAYER Steam lines", "*END"]
    assert seen["own .fre rewritten"] == files["conception.fre"]
    other = seen["fre under other settings"]
    assert max(len(line) for line in other.splitlines()) == 12
    assert records(other)[3:10] == ["*UNITS IMPERIAL", "*ROTATION MILLIRADIANS", "*MAXLEN 12",
                                    "*RESTRAINTS INLINE", "*DLCS INLINE", "*INDI INLINE", "LAYER 0"]


def test_new_project_on_disk(scenario):
    path, files, project_file = scenario("projects").seen["new project"]
    assert (path, files) == ("<work>/Projects/Plant", ["Plant.project", "Studies/Piping/Piping.quarl"])
    assert json.loads(project_file) == {
        "Format": "Korvex project", "FormatVersion": 1, "Name": "Plant", "Description": "", "CurrentStudy": "Piping",
        "Studies": [{"Name": "Piping", "Module": "Velmora", "Position": [810.0, 340.0], "Folder": "Studies/Piping"}]}


def test_descriptions_of_sdk_classes(scenario):
    seen = scenario("commands").seen
    described = seen["class described"]
    assert [described[k] for k in ("Name", "FullName", "Namespace", "Assembly", "IsInstance")] == [
        "Model", "Korvex.Velmora.Core.Model", "Korvex.Velmora.Core", "Korvex.Velmora.Core", False]
    assert [p["Name"] for p in described["Properties"]] == ["CalculationCode", "FileName", "Layers", "Module"]
    methods = dict((m["Name"], m["Parameters"]) for m in described["Methods"])
    assert sorted(methods) == ["GetType", "LoadFromFile", "SaveToFile", "ToString", "WriteFreFile"]
    assert methods["WriteFreFile"][:4] == ["fileName", "progress", "maxFieldLength", "rotationUnits"]
    instance = json.loads(seen["instance described"])
    assert ", " not in seen["instance described"] and instance["IsInstance"] is True
    assert dict((p["Name"], p["Value"]) for p in instance["Properties"]) == {
        "CalculationCode": "Korvex.Velmora.Core.PipingCode", "FileName": "<work>/Plant.quarl",
        "Layers": "Korvex.Velmora.Core.LayerCollection", "Module": "Velmora"}
    assert seen["enumeration described"]["Members"] == [{"Name": "Velmora", "Value": 0}, {"Name": "Norvane", "Value": 1}]
