"""Writes docs/reference.md, the reference page of the module's functions.

    python scripts/make_reference.py           write the page
    python scripts/make_reference.py --check   exit 1 when the page is not up to date

Signatures, docstrings, the enumeration, the module globals and the SDK object types come from
the type stubs (src/korvex_computer/korvex_core.pyi); a global's description is its comment
there, an alias's the comment above it. What each function returns and raises is written
below, family by family, with the module's own messages; `messages_not_in_sources` lists any
quoted message that the module's sources do not hold, so the page cannot quote a message the
module does not give.
"""

import ast
import os
import re
import sys
from collections import namedtuple

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STUB = os.path.join(ROOT, "src", "korvex_computer", "korvex_core.pyi")
SOURCES = os.path.join(ROOT, "src", "korvex_computer")
PAGE = os.path.join(ROOT, "docs", "reference.md")

# returns: what the function gives back; raises: (exception, message or None, when);
# prints: (line, when), the lines the function writes on standard output.
Function = namedtuple("Function", "returns raises prints")

SETUP_MESSAGE = ("Invalid setup! Please call 'from korvex_computer import setup_korvex_computer' "
                 "and set up with Velmora installation directory.")
GUARD = ("OSError", SETUP_MESSAGE, "while the module is not set up (checked before anything else)")
GUARD_OF_LOAD_DLL = ("OSError", SETUP_MESSAGE,
                     "while the module is not set up (raised by `load_dll`)")
MISSING_DLL = ("FileNotFoundError", "DLL '<file name>' not found.",
               "when an SDK assembly is in neither the Extensions folder nor the installation "
               "directory")
SDK_ERRORS = ("the SDK's exception", None, "when an SDK call fails; it passes through unchanged")
LISTING_ERRORS = ("the error of `os.listdir`", None,
                  "when the directory does not exist, is not a directory or cannot be read")
LOADED = ("<file name> loaded", "for each library loaded")
NOT_A_NUMBER = ("TypeError", None, "when `screenWidth` or `screenheight` is not a number "
                "(a new project directory stays)")
NO_TEXT_PATH = ("TypeError", None, "for a path that is neither text nor bytes")
REMOVAL = ("`None`. The folder is deleted with everything in it, the working directory moving "
           "to its parent first. A path that does not exist, is not a directory or is a root "
           "does nothing, and a deletion that fails stops silently; a symbolic link is never "
           "followed.")

FAMILIES = [
    ("Installation", "Binding the module to an installation, loading its libraries, and "
     "reading the two machine settings files.", {
        "setup_korvex_computer": Function(
            "`True` when the installation has its Extensions folder: the SDK is then loaded and "
            "the application object and command controller are made. `False` when the "
            "Extensions folder is missing; the paths and settings are still read and stored.",
            [("FileNotFoundError", "The directory '<path>' does not exist.",
              "when the installation directory, the settings file (`_settingsPath_`) or the "
              "data sources file (`_dataSourcesPath_`) does not exist"),
             ("KeyError", None, "when a settings file lacks a key that the lookups need"),
             ("the error of `json.load`", None, "when a settings file is not JSON"),
             MISSING_DLL,
             ("ImportError", "cannot import name <name>",
              "when an SDK class is missing from its namespace")],
            [LOADED]),
        "load_dll": Function(
            "`None`. The .NET assembly is loaded once per process, from the Extensions folder, "
            "else from the installation directory, and its file name added to `_dlls_`; a name "
            "already in `_dlls_` does nothing.",
            [GUARD,
             ("FileNotFoundError", "DLL '<dllname>' not found.",
              "when the file is in neither folder"),
             ("the bridge's exception", None, "when the file cannot be loaded")],
            [LOADED]),
        "load_dll_c": Function(
            "`None`. Like `load_dll`, for a native library, loaded with `ctypes.CDLL`.",
            [GUARD,
             ("FileNotFoundError", "DLL '<dllname>' not found.",
              "when the file is in neither folder"),
             ("the error of `ctypes.CDLL`", None, "when the file cannot be loaded")],
            [LOADED]),
        "FindSolverPaths": Function(
            "The pair (Aster solver path, PipeStress solver path) of a parsed Velmora.settings "
            "document; each is `None` when the settings give none or give an empty text.",
            [("KeyError", None, "when the document lacks \"Families\", \"Name\", "
              "\"SubFamilies\", \"Settings\" or \"Value\" where the lookup needs it"),
             ("TypeError", None, "when a part of the document has the wrong shape")],
            []),
        "FindDataProjectPaths": Function(
            "The pair (data folder, projects folder) of a parsed DataSources.settings document.",
            [("KeyError", None, "when \"CurrentDatasDirectory\" or "
              "\"CurrentProjectsDirectory\" is missing")],
            []),
    }),
    ("Models and files", "quarL model files, new empty models, the solver input file (.fre) "
     "and the directory utilities.", {
        "loadQuarl": Function(
            "The model read from the file, or `None` when the file does not exist or the SDK "
            "cannot read it.",
            [GUARD, MISSING_DLL],
            [LOADED]),
        "saveQuarl": Function(
            "`None`. The model is written to the file, then its solver input file is written "
            "as `writeFreFile` does. A `quarl` equal to `None` does nothing.",
            [GUARD,
             ("OSError", "Invalid setup! Korvex.PipeStress.lib not found!",
              "when the Extensions folder has no Korvex.PipeStress.lib (the model file is "
              "written by then)"),
             SDK_ERRORS],
            [LOADED]),
        "getQuarl": Function(
            "The path of the first .quarl file in the directory, or \"\" when it has none.",
            [GUARD, LISTING_ERRORS],
            []),
        "createQuarl": Function(
            "A new empty model of the given SDK application module, with layer \"0\".",
            [GUARD_OF_LOAD_DLL, MISSING_DLL, SDK_ERRORS],
            [LOADED]),
        "createPipingQuarl": Function(
            "A new empty piping model, with layer \"0\".",
            [GUARD, MISSING_DLL],
            [LOADED]),
        "createStructureQuarl": Function(
            "A new empty structure model, with layer \"0\".",
            [GUARD, MISSING_DLL],
            [LOADED]),
        "writeFreFile": Function(
            "`None`. The solver input file is written beside the model file: the model's own "
            "<name>.fre when that file exists already, else conception.fre, with the "
            "application's PIPESTRESS and VELMORA settings. Nothing is written when the "
            "application has no settings controller.",
            [GUARD,
             ("OSError", "Invalid setup! Korvex.PipeStress.lib not found!",
              "when the Extensions folder has no Korvex.PipeStress.lib"),
             ("ValueError or TypeError", None,
              "when a numeric setting is not a whole number (the old file is gone by then)"),
             SDK_ERRORS],
            [LOADED]),
        "find_first_file": Function(
            "The path of the first regular file, in listing order, whose lower-cased name ends "
            "with `ext`, or \"\" when there is none.",
            [LISTING_ERRORS],
            []),
        "copyDirectoryToTemp": Function(
            "The path of a new folder under the temporary directory, named by a fresh UUID, "
            "holding a copy of the directory; \"\" when the copy failed (what was copied "
            "stays).",
            [],
            []),
    }),
    ("Solving", "Solving a model with PipeStress or Aster, in place or in a sandbox, on a "
     "worker thread; the one current solution lives in `_Solution_` until the next `solve` or "
     "`disposeSolution`.", {
        "solve": Function(
            "The solution, also kept in `_Solution_`; or `None` when the file does not exist, "
            "the model cannot be read, the solver name is unknown, the solver's path is not in "
            "the settings, the model is neither a piping nor a structure model, or the run "
            "failed. A structure model is always solved with Aster. With `sandbox` true the "
            "model, its .fre file and its first .thf file are copied into a new folder under "
            "the temporary directory (kept in `_tempDirectory_`) and solved there. The previous "
            "solution and sandbox are disposed of first.",
            [GUARD, MISSING_DLL,
             ("the file system's error", None, "when the sandbox cannot be made or filled")],
            [("Invalid filename", "when the file does not exist"),
             ("Invalid quarl", "when the model cannot be read"),
             ("Invalid solver name. use 'Aster' or 'PipeStress'.",
              "for a piping model and a solver name that is neither"),
             LOADED]),
        "disposeSolution": Function(
            "`None`. The current solution is disposed of and the last sandbox deleted; "
            "`_Solution_` becomes `None`, `_tempDirectory_` keeps the deleted path.",
            [("the solution's exception", None, "when its `Dispose` fails; nothing else is "
              "done then")],
            [("Impossible to delete temp directory : <error>",
              "when the sandbox cannot be deleted completely")]),
        "solvePipingModel": Function(
            "The solution, also kept in `_Solution_`; or `None` when the solver's path is not "
            "in the settings, the solver name is unknown, or the run failed. An exception "
            "inside the run ends the worker thread, which `threading` reports on standard "
            "error; the call then returns `None`.",
            [GUARD,
             ("OSError", "Invalid quarl.", "when `quarl` is `None`"),
             ("OSError", "The quarl is not a piping model.", "for a structure model"),
             MISSING_DLL],
            [("Invalid solver name. use 'Aster' or 'PipeStress'.",
              "for a solver name that is neither"),
             LOADED]),
        "solveStructureModel": Function(
            "The solution of Aster, also kept in `_Solution_`; or `None` when Aster's path is "
            "not in the settings or the run failed (as for `solvePipingModel`).",
            [GUARD,
             ("OSError", "Invalid quarl.", "when `quarl` is `None`"),
             ("OSError", "The quarl is not a structure model.", "for a piping model"),
             MISSING_DLL],
            [LOADED]),
        "_PipeStressSolve": Function(
            "`None`; on success the new solution is in `_Solution_`. Run on the worker thread "
            "of `solvePipingModel`, inside a COM apartment; writes the model's .fre file in "
            "`directory` when it has none.",
            [("the run's exception", None, "when writing the .fre file, finding the .thf file "
              "or an SDK call fails (after COM is released)")],
            []),
        "_AsterSolve": Function(
            "`None`; on success the new solution is in `_Solution_`. Run on the worker thread "
            "of the solve functions, inside a COM apartment and in the culture "
            "`_CultureInfo_`.",
            [("the run's exception", None, "when finding the .thf file or an SDK call fails "
              "(after COM is released)")],
            []),
    }),
    ("Projects and studies", "Project folders, projects with their first study, and the "
     "studies of a project.", {
        "addProjectFolder": Function(
            "The path of the new folder (made with its parents), or \"\" when the path exists.",
            [GUARD,
             ("the error of `os.makedirs`", None, "when the folder cannot be made"),
             ("TypeError", None, "for arguments that are not text")],
            []),
        "removeProjectFolder": Function(REMOVAL, [GUARD, NO_TEXT_PATH], []),
        "addProject": Function(
            "The project directory `directory/projectName`, made with its project file and "
            "first study of the given SDK application module; \"\" when the path exists.",
            [GUARD_OF_LOAD_DLL,
             ("the error of `os.makedirs`", None, "when the directory cannot be made"),
             MISSING_DLL, NOT_A_NUMBER, SDK_ERRORS],
            [LOADED]),
        "addPipingProject": Function(
            "As `addProject`, with a piping study.",
            [GUARD,
             ("the error of `os.makedirs`", None, "when the directory cannot be made"),
             MISSING_DLL, NOT_A_NUMBER, SDK_ERRORS],
            [LOADED]),
        "addStructureProject": Function(
            "As `addProject`, with a structure study.",
            [GUARD,
             ("the error of `os.makedirs`", None, "when the directory cannot be made"),
             MISSING_DLL, NOT_A_NUMBER, SDK_ERRORS],
            [LOADED]),
        "removeProject": Function(REMOVAL, [GUARD, NO_TEXT_PATH], []),
        "addStudy": Function(
            "The new study of the given SDK application module, or `None` when the project "
            "file is missing or the project has a study of that name.",
            [GUARD_OF_LOAD_DLL, MISSING_DLL, NOT_A_NUMBER, SDK_ERRORS],
            [LOADED]),
        "addPipingStudy": Function(
            "As `addStudy`, with a piping study.",
            [GUARD, MISSING_DLL, NOT_A_NUMBER, SDK_ERRORS],
            [LOADED]),
        "addStructureStudy": Function(
            "As `addStudy`, with a structure study.",
            [GUARD, MISSING_DLL, NOT_A_NUMBER, SDK_ERRORS],
            [LOADED]),
        "removeStudy": Function(
            "`None`, whether the study was deleted or the project file or the study was "
            "missing.",
            [GUARD, MISSING_DLL,
             ("the SDK's exception", None, "for example when the study is the project's last")],
            [LOADED]),
        "duplicateStudy": Function(
            "`None`. The copy is named `copyStudyName` when the SDK can rename it, else keeps "
            "the name the SDK gave it; nothing happens when the project file or the study is "
            "missing.",
            [GUARD, MISSING_DLL, SDK_ERRORS],
            [LOADED]),
    }),
    ("Commands and introspection", "Custom commands carried out on a model through the "
     "command controller, and JSON descriptions of SDK objects and classes.", {
        "createCommand": Function(
            "The new custom command, set to neither save nor reload the model; the command "
            "controller now works on `quarl`.",
            [GUARD, MISSING_DLL,
             ("the SDK's exception", None, "for a command name the SDK does not know")],
            [LOADED]),
        "executeCommand": Function(
            "`None`. The command is carried out on the controller's model, which is not saved.",
            [GUARD, SDK_ERRORS],
            []),
        "inspectClass": Function(
            "The JSON text that describes the object or class: its properties (with their "
            "values, for an object) and its public methods.",
            [GUARD, MISSING_DLL, SDK_ERRORS],
            [LOADED]),
        "findNameSpaceAndAssembly": Function(
            "The pair (namespace, assembly name) of the class, searched in the Extensions "
            "folder; `(None, None)` when the installation has no such class.",
            [GUARD, MISSING_DLL, SDK_ERRORS],
            [LOADED]),
    }),
]

ARGUMENT_ERRORS = [
    "`name() takes exactly 2 positional arguments (1 given)`, for too many or too few "
    "arguments",
    "`name() keywords must be strings`",
    "`name() got multiple values for keyword argument 'x'`",
    "`name() got an unexpected keyword argument 'x'`",
    "`name() takes no keyword arguments` and `name() takes no arguments (1 given)`, for the "
    "three functions without parameters",
]


class Stub(object):
    """What the reference needs of the stub file: functions, classes, aliases, globals."""

    def __init__(self, path):
        with open(path, encoding="utf-8") as f:
            self.source = f.read()
        self.lines = self.source.splitlines()
        self.tree = ast.parse(self.source)
        self.functions = {}
        self.classes = {}
        self.aliases = []
        self.globals = []
        for node in self.tree.body:
            if isinstance(node, ast.FunctionDef):
                self.functions[node.name] = node
            elif isinstance(node, ast.ClassDef):
                self.classes[node.name] = node
            elif isinstance(node, ast.AnnAssign):
                name = node.target.id
                if node.value is not None:
                    self.aliases.append((name, ast.unparse(node.value), self.comment_above(node)))
                else:
                    self.globals.append((name, ast.unparse(node.annotation),
                                         self.trailing_comment(node)))

    def comment_above(self, node):
        comment = []
        number = node.lineno - 2
        while number >= 0 and self.lines[number].startswith("#"):
            comment.insert(0, self.lines[number].lstrip("# "))
            number -= 1
        return " ".join(comment)

    def trailing_comment(self, node):
        line = self.lines[node.lineno - 1]
        return line.split("  # ", 1)[1] if "  # " in line else ""


def signature(node):
    parameters = ", ".join("%s: %s" % (a.arg, ast.unparse(a.annotation))
                           for a in node.args.args)
    return "%s(%s) -> %s" % (node.name, parameters, ast.unparse(node.returns))


def _raise_line(exception, message, when):
    exception = exception if exception.startswith("the ") else "`%s`" % exception
    if message:
        return "- %s `\"%s\"` %s" % (exception, message, when)
    return "- %s %s" % (exception, when)


def function_section(node, entry):
    out = ["### %s" % node.name, "", "```python", signature(node), "```", "",
           "```text", ast.get_docstring(node, clean=False), "```", "",
           "**Returns** " + entry.returns, ""]
    if entry.raises:
        out += ["**Raises**", ""]
        out += [_raise_line(*r) for r in entry.raises]
        out += [""]
    if entry.prints:
        out += ["**Prints**", ""]
        out += ["- `\"%s\"` %s" % (line, when) for line, when in entry.prints]
        out += [""]
    return out


def class_members(node):
    members = []
    for item in node.body:
        if isinstance(item, ast.FunctionDef) and item.name != "__getattr__":
            is_property = any(isinstance(d, ast.Name) and d.id == "property"
                              for d in item.decorator_list)
            if is_property:
                members.append("`%s` (property)" % item.name)
            else:
                members.append("`%s()`" % item.name)
        elif isinstance(item, ast.AnnAssign):
            members.append("`%s: %s`" % (item.target.id, ast.unparse(item.annotation)))
    return members


def render(stub):
    out = ["# korvex_computer reference", "",
           "<!-- Written by scripts/make_reference.py from the type stubs; do not edit. -->", "",
           "Every function of `korvex_computer.korvex_core` (also available as "
           "`korvex_computer.<name>`), grouped by family: its signature as the type stubs give "
           "it, its docstring, what it returns, what it raises and when, and the lines it "
           "prints. Every parameter is positional-or-keyword and required. Exceptions of the "
           "SDK, the bridge and the standard library pass through unchanged, each with a "
           "traceback entry `korvex_computer.korvex_core.<function>`.", "",
           "A call with wrong arguments raises `TypeError` before the function does anything:",
           ""]
    out += ["- " + text for text in ARGUMENT_ERRORS]
    out += ["", "## Contents", ""]
    for title, _, functions in FAMILIES:
        anchor = re.sub(r"[^a-z0-9 -]", "", title.lower()).replace(" ", "-")
        out.append("- [%s](#%s): %s" % (title, anchor, ", ".join(
            "`%s`" % name for name in functions)))
    out += ["- [Types and globals](#types-and-globals)", ""]

    for title, intro, functions in FAMILIES:
        out += ["## %s" % title, "", intro, ""]
        for name, entry in functions.items():
            out += function_section(stub.functions[name], entry)

    out += ["## Types and globals", "", "### KorvexModule", "",
            "The module's enumeration of application modules, given to "
            "`setup_korvex_computer`:", "", "| Member | Value |", "|---|---|"]
    for item in stub.classes["KorvexModule"].body:
        out.append("| `%s` | %s |" % (item.targets[0].id, ast.unparse(item.value)))
    out += ["", "### SDK objects", "",
            "The stubs type the SDK's objects by what the module uses of them; any other member "
            "reads as `Any`. These names exist only in the stubs.", ""]
    for name, node in stub.classes.items():
        if name.startswith("_"):
            out.append("- `%s`: %s Members: %s." % (name, ast.get_docstring(node),
                                                   ", ".join(class_members(node))))
    for name, value, comment in stub.aliases:
        out.append("- `%s` (`%s`): %s" % (name, value, comment))
    out += ["", "### Module globals", "",
            "Attributes of the module that carry state between calls; scripts may read them, "
            "and may set `_settingsPath_` and `_dataSourcesPath_` before set-up. The module "
            "also holds, under their own names, the modules it imports at start-up: `Enum` "
            "(from `enum`), `os`, `clr` (the .NET bridge), `ctypes`, `pythoncom` (the Windows "
            "COM bridge), `json`, `threading`, `shutil`, `tempfile` and `uuid`.", "",
            "| Global | Type | Holds | After import |", "|---|---|---|---|"]
    for name, annotation, comment in stub.globals:
        if annotation == "ModuleType":
            continue
        holds, _, default = comment.rpartition("; ")
        out.append("| `%s` | `%s` | %s | `%s` |" % (name, annotation.replace("|", "\\|"),
                                                     holds, default))
    return "\n".join(out) + "\n"


def check_coverage(stub):
    """Every function of the stubs is in one family, and every family's name is a function."""
    listed = [name for _, _, functions in FAMILIES for name in functions]
    problems = ["%s is in no family" % name for name in stub.functions if name not in listed]
    problems += ["%s is not a function of the stubs" % name for name in listed
                 if name not in stub.functions]
    return problems


def source_strings():
    """The string literals of the module's C++ sources, adjacent literals joined."""
    literal = r'"((?:[^"\\]|\\.)*)"'
    strings = []
    for folder, _, files in os.walk(SOURCES):
        for file_name in files:
            if file_name.endswith((".cpp", ".h")):
                with open(os.path.join(folder, file_name), encoding="utf-8") as f:
                    text = f.read()
                for run in re.finditer(r'%s(?:\s*%s)*' % (literal, literal), text):
                    joined = "".join(re.findall(literal, run.group(0)))
                    strings.append(joined.replace('\\"', '"').replace("\\\\", "\\"))
    return strings


def messages_not_in_sources():
    """Quoted messages of the page whose fixed parts no string of the sources holds."""
    strings = source_strings()
    quoted = [message for _, _, functions in FAMILIES for entry in functions.values()
              for _, message, _ in entry.raises if message]
    quoted += [line for _, _, functions in FAMILIES for entry in functions.values()
               for line, _ in entry.prints]
    missing = []
    for message in sorted(set(quoted)):
        parts = [part.strip() for part in re.split(r"<[^>]+>", message) if part.strip()]
        if not all(any(part in s for s in strings) for part in parts):
            missing.append(message)
    return missing


def main(argv):
    stub = Stub(STUB)
    problems = check_coverage(stub) + ["message not in the sources: %s" % m
                                       for m in messages_not_in_sources()]
    if problems:
        sys.stderr.write("\n".join(problems) + "\n")
        return 1
    page = render(stub)
    if "--check" in argv:
        with open(PAGE, encoding="utf-8") as f:
            if f.read() == page:
                return 0
        sys.stderr.write("docs/reference.md is out of date: run python scripts/make_reference.py\n")
        return 1
    os.makedirs(os.path.dirname(PAGE), exist_ok=True)
    with open(PAGE, "w", encoding="utf-8", newline="\n") as f:
        f.write(page)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
