"""The jobs on the module: binding to an installation, then a few module calls each.

A job returns a dictionary of plain values (text, numbers, lists), ready for JSON, or raises
``JobFailed`` with the cause of the failure in a few words and a message that says what
happened. What the module prints is collected instead of reaching standard output, so that
``--json`` output stays one JSON document; an exception that ends a solver's worker thread is
collected too, and becomes the message of the failed solve.
"""

from __future__ import annotations

import contextlib
import importlib
import io
import json
import os
import shutil
import tempfile
import threading
import time
import uuid
import warnings
from typing import Any, Callable, Dict, Iterator, List, Optional

from .. import korvex_core as core
from . import results
# Named here too for the modules that use them with the jobs.
from .common import (DATA_SOURCES_VARIABLE, SETTINGS_VARIABLE, Cause, SOLVERS as SOLVERS,
                     Installation as Installation, JobFailed as JobFailed,
                     error_text as error_text)
from .entries import Entry, FailureRecord, Inputs, Solution

MODULES = {"piping": core.KorvexModule.Velmora, "structure": core.KorvexModule.Norvane}

# The module's words for a model file that the application cannot read (from solve).
_INVALID_QUARL_LINE = "Invalid quarl"
# Lines of the module that the command line words in its own messages instead: solve's,
# for a missing file, an unreadable model and a solver name it does not know.
_REWORDED_LINES = ("Invalid filename", _INVALID_QUARL_LINE,
                   "Invalid solver name. use 'Aster' or 'PipeStress'.")

# The solver runs mark their worker thread as a daemon with setDaemon, which newer Pythons
# report as deprecated; a user of the command line can do nothing about it.
warnings.filterwarnings("ignore", message=r"setDaemon\(\) is deprecated",
                        category=DeprecationWarning)


class ModuleOutput(object):
    """The lines that the module printed while its calls ran inside `collect()`."""

    def __init__(self) -> None:
        self.lines: List[str] = []

    @contextlib.contextmanager
    def collect(self) -> Iterator[None]:
        buffer = io.StringIO()
        try:
            with contextlib.redirect_stdout(buffer):
                yield
        finally:
            self.lines.extend(buffer.getvalue().splitlines())

    def take_messages(self) -> List[str]:
        """The lines collected so far that are worth a user's attention (all but the notes of
        libraries loaded and the lines that the command line rewords); forgets all lines."""
        messages = [line for line in self.lines
                    if not line.endswith(" loaded") and line not in _REWORDED_LINES]
        del self.lines[:]
        return messages


OUTPUT = ModuleOutput()


@contextlib.contextmanager
def worker_thread_errors() -> Iterator[List[BaseException]]:
    """Collects the exceptions that end threads other than the caller's, instead of letting
    the threading module print their tracebacks."""
    errors: List[BaseException] = []
    caller = threading.current_thread()
    previous = threading.excepthook

    def hook(args: Any) -> None:
        if args.thread is caller or args.exc_value is None:
            previous(args)
        else:
            errors.append(args.exc_value)

    threading.excepthook = hook
    try:
        yield errors
    finally:
        threading.excepthook = previous


def bind(installation: Installation) -> None:
    """Binds the module to the installation, or raises JobFailed saying why it cannot."""
    if installation.settings_path:
        core._settingsPath_ = installation.settings_path
    if installation.data_sources_path:
        core._dataSourcesPath_ = installation.data_sources_path
    for path, option, variable, what, read in (
            (core._settingsPath_, "--settings", SETTINGS_VARIABLE, "settings file",
             core.FindSolverPaths),
            (core._dataSourcesPath_, "--data-sources", DATA_SOURCES_VARIABLE,
             "data sources file", core.FindDataProjectPaths)):
        _check_settings_file(path, option, variable, what, read)
    try:
        with OUTPUT.collect():
            valid = core.setup_korvex_computer(installation.directory,
                                               MODULES[installation.module])
    except FileNotFoundError as error:
        raise JobFailed(Cause.MISSING_INSTALLATION, error_text(error))
    except Exception as error:
        raise JobFailed(Cause.INVALID_INSTALLATION, error_text(error))
    if not valid:
        raise JobFailed(Cause.INVALID_INSTALLATION,
                        "%s has no Extensions folder" % installation.directory)


def _check_settings_file(path: Any, option: str, variable: str, what: str,
                         read: Callable[[Any], Any]) -> None:
    """JobFailed naming the file, its fault and how to give another, when a settings file is
    missing, cannot be read, is not JSON or lacks what the module reads in it (`read`, the
    module's reader of its values), where the module would call it a missing directory or
    raise a bare KeyError."""
    where = "give %s FILE or set %s" % (option, variable)
    if not isinstance(path, str) or not os.path.isfile(path):
        raise JobFailed(Cause.MISSING_SETTINGS, "the %s %s does not exist (%s)"
                        % (what, path, where))
    try:
        with open(path, "r", encoding="utf-8") as stream:
            document = json.load(stream)
    except OSError as error:
        raise JobFailed(Cause.MISSING_SETTINGS, "the %s %s cannot be read: %s (%s)"
                        % (what, path, error_text(error), where))
    except UnicodeDecodeError as error:
        raise JobFailed(Cause.INVALID_SETTINGS, "the %s %s is not UTF-8 text (%s) (%s)"
                        % (what, path, error.reason, where))
    except ValueError as error:  # the decoder's wording differs between interpreters
        raise JobFailed(Cause.INVALID_SETTINGS, "the %s %s is not JSON (a fault at line %s, "
                        "column %s) (%s)" % (what, path, getattr(error, "lineno", "?"),
                                             getattr(error, "colno", "?"), where))
    try:
        read(document)
    except KeyError as error:
        raise JobFailed(Cause.INVALID_SETTINGS, "the %s %s lacks %s (%s)"
                        % (what, path, json.dumps(error.args[0]), where))
    except Exception as error:
        raise JobFailed(Cause.INVALID_SETTINGS, "the %s %s is not laid out as one: %s (%s)"
                        % (what, path, error_text(error), where))


def info(installation: Installation) -> Dict[str, Any]:
    """What the binding found in the installation and the settings files."""
    return {
        "installation": core._exePath_,
        "module": installation.module,
        "assemblies_folder": core._dllPath_,
        "settings": core._settingsPath_,
        "data_sources": core._dataSourcesPath_,
        "solvers": {"PipeStress": core._PipeStress_, "Aster": core._Aster_},
        "data_folder": core._dataPath_,
        "projects_folder": core._projectPath_,
        "assemblies_loaded": list(core._dlls_),
    }


def no_model_file(path: str) -> JobFailed:
    """The failure for a model path that names no file: a folder, a wildcard pattern that
    matched nothing, or nothing."""
    if os.path.isdir(path):
        return JobFailed(Cause.INVALID_MODEL, "%s is a folder, not a model file (give the model "
                         "files, or a pattern such as %s)"
                         % (path, os.path.join(path, "*.quarl")))
    if any(character in os.path.basename(path) for character in "*?["):
        return JobFailed(Cause.INVALID_MODEL, "no file matches %s" % path)
    return JobFailed(Cause.INVALID_MODEL, "%s does not exist" % path)


def load_model(path: str, shown: Optional[str] = None) -> Any:
    """The model of a .quarl file, or JobFailed for a file that is missing or unreadable
    (named as `shown`, the file that the user gave, when `path` is a copy)."""
    if not os.path.isfile(path):
        raise no_model_file(path)
    try:
        with OUTPUT.collect():
            model = core.loadQuarl(path)
    except Exception as error:
        raise JobFailed(Cause.INVALID_INSTALLATION, error_text(error))
    if model is None:
        raise JobFailed(Cause.INVALID_MODEL, "%s is not a model the application can read"
                        % (shown or path))
    return model


def fre_file_of(model_path: str) -> str:
    """The solver input file that writeFreFile writes for a model: the model's own .fre
    when it exists already, else conception.fre in the model's folder."""
    own = os.path.splitext(model_path)[0] + ".fre"
    if os.path.exists(own):
        return own
    return os.path.join(os.path.dirname(model_path), "conception.fre")


def write_fre(model_path: str) -> Dict[str, Any]:
    """Writes the solver input file of a model; its path in the result."""
    model_path = os.path.abspath(model_path)
    model = load_model(model_path)
    target = fre_file_of(model_path)
    _write_fre_file(model, model_path, target)
    return {"model": model_path, "fre": target}


def _write_fre_file(model: Any, model_path: str, target: str) -> None:
    try:
        with OUTPUT.collect():
            core.writeFreFile(model, model_path)
    except Exception as error:
        raise JobFailed(Cause.FRE_FILE_NOT_WRITTEN, error_text(error))
    if not os.path.isfile(target):
        raise JobFailed(Cause.FRE_FILE_NOT_WRITTEN,
                        "the application's settings controller gave no settings")


_PLAIN = (str, bool, int, float, type(None))


def _items(value: Any) -> Optional[List[Any]]:
    """The items of a sequence or a .NET collection, each plain or as its text; None for a
    value that is not a collection."""
    if isinstance(value, (str, bytes, dict)) or not hasattr(value, "__iter__"):
        return None
    try:
        return [item if isinstance(item, _PLAIN) else str(item) for item in value]
    except Exception:
        return None


def describe_solution(solution: Any) -> Solution:
    """The class of a solution and the values of its properties: the properties that the
    SDK's class inspector lists, each read from the solution itself (the inspector gives a
    sequence's type name, not its items)."""
    try:
        with OUTPUT.collect():
            text = core.inspectClass(solution, False)
        description = json.loads(text)
        properties = {}
        for entry in description.get("Properties", []):
            if "Value" not in entry:
                continue
            value = entry["Value"]
            if not isinstance(value, _PLAIN) or isinstance(value, str):
                try:  # a collection shows as its type's name: its items instead
                    items = _items(getattr(solution, entry["Name"]))
                except Exception:
                    items = None
                if items is not None:
                    value = items
            properties[entry["Name"]] = value
        return {"class": description.get("FullName") or description.get("Name"),
                "properties": properties}
    except Exception:
        # An inspector that cannot describe the object still leaves its text form.
        return {"class": type(solution).__name__, "properties": {"Text": str(solution)}}


def solve_failure(path: str, solver: str, collected: List[str],
                  worker_errors: List[BaseException]) -> JobFailed:
    """Why solve gave no solution, from what the module printed and the worker raised."""
    if _INVALID_QUARL_LINE in collected:
        return JobFailed(Cause.INVALID_MODEL, "%s is not a model the application can read" % path)
    if worker_errors:
        return JobFailed(Cause.SOLVER_FAILURE,
                         "the %s run stopped: %s" % (solver, error_text(worker_errors[-1])))
    configured = core._PipeStress_ if solver == "PipeStress" else core._Aster_
    if configured is None:
        return JobFailed(Cause.SOLVER_FAILURE, "no %s solver path in %s" % (solver,
                                                                       core._settingsPath_))
    return JobFailed(Cause.SOLVER_FAILURE, "%s gave no solution for %s" % (solver, path))


def _is_piping(model: Any) -> bool:
    with OUTPUT.collect():
        core.load_dll("Korvex.Velmora.Core.dll")
    from Korvex.Velmora.Core import PipingCode  # type: ignore[import-not-found]

    return isinstance(model.CalculationCode, PipingCode)


class _Stop(object):
    """The stop signal of a process that solves models for the command line (the local pool's
    worker): the model in progress ends as SystemExit, so that its solution is disposed of and
    its sandbox removed; but not while the module's solve runs, whose solver thread would go
    on without its sandbox. The solver, in the worker's process group, gets the signal too, so
    that solve ends soon, and the stop follows."""

    def __init__(self) -> None:
        self.solving = False
        self.pending: Optional[int] = None

    def handle(self, signum: int, _: object) -> None:
        if self.solving:
            self.pending = signum
        else:
            raise SystemExit(128 + signum)

    @contextlib.contextmanager
    def held(self) -> Iterator[None]:
        self.solving = True
        try:
            yield
        finally:
            self.solving = False
            if self.pending is not None:
                raise SystemExit(128 + self.pending)


STOP = _Stop()

# Told the path of each sandbox before it is made: the local pool's worker tells its pool,
# which removes the sandboxes of a worker that died.
SANDBOX_LISTENERS: List[Callable[[str], None]] = []


def _fill_sandbox(sandbox: str, path: str, thf: Optional[str]) -> str:
    """Makes `sandbox`, a fresh folder, with a copy of the model, of its own .fre file when
    it has one, and of the first .thf file of its folder; the copy's path. A shared
    conception.fre is not copied: the run's input is written from the model."""
    os.makedirs(sandbox)
    copy = os.path.join(sandbox, os.path.basename(path))
    shutil.copy(path, copy)
    own_fre = os.path.splitext(path)[0] + ".fre"
    for extra in (own_fre, thf):
        if extra and os.path.isfile(extra):
            shutil.copy(extra, os.path.join(sandbox, os.path.basename(extra)))
    return copy


def unwritable_model_folder(path: str, why: str) -> JobFailed:
    """The failure of a model solved in place in a folder where the run cannot write."""
    return JobFailed(Cause.MODEL_FOLDER_NOT_WRITABLE, "the run of %s cannot write in %s (%s); "
                     "give --sandbox to solve a copy in a folder of its own"
                     % (path, os.path.dirname(path), why))


def own_input(model: Any, run_path: str) -> str:
    """Makes sure that the PipeStress run of a model reads an input file of the model's own:
    the model's own .fre file (kept as it is when there is one), else one written now from
    the model under the model's name. Without it the run would read the folder's
    conception.fre, which the last model saved in the folder wrote; and models of one
    folder would write their results over each other's. The input file's path."""
    own = os.path.splitext(run_path)[0] + ".fre"
    if not os.path.exists(own):
        # writeFreFile writes the model's own file only when it exists: an empty one first.
        open(own, "w").close()
        try:
            _write_fre_file(model, run_path, own)
        finally:
            if os.path.isfile(own) and os.path.getsize(own) == 0:
                os.remove(own)
    return own


@contextlib.contextmanager
def _thf_found(folder: str, thf: Optional[str]) -> Iterator[None]:
    """The module's solve in place looks up the .thf file of the model's folder (twice);
    within the block it gets `thf`, which the batch found once for the whole folder,
    instead of listing a folder that grows with every model solved there."""
    look_up = core.find_first_file
    key = os.path.normcase(os.path.abspath(folder))

    def find_first_file(directory: str, ext: str) -> str:
        if ext == ".thf" and isinstance(directory, str) and \
                os.path.normcase(os.path.abspath(directory)) == key:
            return "" if thf is None else thf  # the module's own answer for none
        return look_up(directory, ext)

    core.find_first_file = find_first_file
    try:
        yield
    finally:
        core.find_first_file = look_up


def solve_model(path: str, solver: str, sandbox: bool,
                keep: Optional[Callable[[Entry, str, float], None]] = None,
                thf: Optional[str] = results.LOOK_UP) -> Entry:
    """Solves one model file, from an input file written from that model, and describes the
    solution, which is then disposed of (with its sandbox). `keep(result, run directory,
    start time)` is called before the disposal, to keep the run's files. `thf`: the .thf
    file of the model's folder when the batch found it already."""
    path = os.path.abspath(path)
    if not os.path.isfile(path):
        raise no_model_file(path)
    if not sandbox and not os.access(os.path.dirname(path), os.W_OK):
        raise unwritable_model_folder(path, "not writable")
    if not os.access(path, os.R_OK):  # else a sandbox's copy fails with a PermissionError
        raise JobFailed(Cause.INVALID_MODEL, "%s cannot be read" % path)
    first_line = len(OUTPUT.lines)
    started = time.monotonic()
    started_at = time.time()
    # What the run reads, as it was when the run began (a solve may take hours).
    if thf is results.LOOK_UP:
        thf = results.first_file(os.path.dirname(path), ".thf")
    inputs: Inputs = {**results.model_inputs(path, thf), "fre": None, "solver": solver,
                      "installation": os.path.abspath(core._exePath_) if core._exePath_
                      else None}
    # Named before it is made, so that a stop at any point (the worker's SystemExit) removes it.
    sandbox_folder = os.path.join(tempfile.gettempdir(), str(uuid.uuid4())) if sandbox else None
    if sandbox_folder:
        for listener in SANDBOX_LISTENERS:
            listener(sandbox_folder)
    try:
        run_path = _fill_sandbox(sandbox_folder, path, thf) if sandbox_folder else path
        run_directory = os.path.dirname(run_path)
        model = load_model(run_path, shown=path)
        used = solver if _is_piping(model) else "Aster"  # structure models: Aster alone
        input_file = None
        if used == "PipeStress":
            had_own_input = os.path.exists(os.path.splitext(run_path)[0] + ".fre")
            try:
                input_file = own_input(model, run_path)
            except OSError as error:
                if sandbox:
                    raise
                raise unwritable_model_folder(path, error_text(error))
            inputs["fre"] = results.input_digest(input_file, written=not had_own_input)
        failure: Optional[JobFailed] = None
        with worker_thread_errors() as worker_errors, OUTPUT.collect():
            try:
                with STOP.held(), _thf_found(os.path.dirname(path), thf):
                    solution = core.solve(run_path, solver, False)
            except Exception as error:
                solution, failure = None, JobFailed(Cause.SOLVER_FAILURE, error_text(error))
        elapsed = time.monotonic() - started
        if solution is None:
            failure = failure or solve_failure(path, used, OUTPUT.lines[first_line:],
                                               worker_errors)
            failed_run: Entry = {
                "model": path, "solver": used, "input": input_file, "inputs": inputs,
                "solution": {"properties": {}}}
            raise _with_what_the_run_left(failure, failed_run, run_directory, started_at,
                                          sandbox, keep)
        described = describe_solution(solution)
        if input_file is None:
            input_file = described["properties"].get("InputFile")
        result: Entry = {"model": path, "solver": used,
                         "sandbox": run_directory if sandbox else None, "input": input_file,
                         "inputs": inputs, "elapsed": round(elapsed, 3), "solution": described}
        if keep is not None:
            keep(result, run_directory, started_at)
        return result
    finally:
        try:
            with OUTPUT.collect():
                core.disposeSolution()
        finally:
            if sandbox_folder:
                shutil.rmtree(sandbox_folder, ignore_errors=True)


def _with_what_the_run_left(failure: JobFailed, run: Entry, run_directory: str,
                            started_at: float, sandbox: bool,
                            keep: Optional[Callable[[Entry, str, float], None]]
                            ) -> JobFailed:
    """The failure of a run that gave no solution, with the solver's own last error line
    from its log, and the run's files (its input, its log) kept as a solved run's are."""
    reason = results.solver_error(results.run_files(run, run_directory, started_at, sandbox))
    message = failure.message if reason is None else "%s: %s" % (failure.message, reason)
    record: FailureRecord = {**failure.record, "solver_error": reason, "inputs": run["inputs"]}
    if keep is not None:
        try:
            keep(run, run_directory, started_at)
        except JobFailed as not_kept:
            message += " (%s)" % not_kept.message
        else:
            record.update({"input": run["input"], "files": run["files"],
                           "output": run["output"]})
    return JobFailed(failure.cause, message, **record)


def locate_class(name: str) -> Dict[str, Any]:
    """The namespace and assembly of an SDK class, or JobFailed for an unknown class."""
    try:
        with OUTPUT.collect():
            namespace, assembly = core.findNameSpaceAndAssembly(name)
    except Exception as error:
        raise JobFailed(Cause.INVALID_INSTALLATION, error_text(error))
    if namespace is None or assembly is None:
        raise JobFailed(Cause.UNKNOWN_CLASS, "the installation has no class %s" % name)
    return {"class": name, "namespace": namespace, "assembly": assembly}


def describe_class(name: str) -> Dict[str, Any]:
    """The SDK's JSON description of a class, with where the class lives."""
    found = locate_class(name)
    try:
        with OUTPUT.collect():
            core.load_dll(found["assembly"] + ".dll")
            namespace = importlib.import_module(found["namespace"])
            cls = getattr(namespace, name.rsplit(".", 1)[-1])
            text = core.inspectClass(cls, True)
    except Exception as error:
        raise JobFailed(Cause.INVALID_INSTALLATION, error_text(error))
    found["description"] = json.loads(text)
    return found
