"""What the command line needs before it touches the platform: the names it accepts, the
failure of a job, the installation to bind to, the log of the workers. Nothing here imports
the native module, so the command line can parse its arguments and print its help where the
.NET bridge or the COM bridge cannot be imported.
"""

from __future__ import annotations

import logging
import sys
import threading
from typing import TYPE_CHECKING, List, NamedTuple, Optional

from .entries import Entry, FailureRecord

if TYPE_CHECKING:
    from typing import Unpack

MODULE_NAMES = ("piping", "structure")
SOLVERS = ("PipeStress", "Aster")

# The environment variables that the command line, the batches and the workers read.
INSTALLATION_VARIABLE = "KORVEX_INSTALLATION"
FORMER_INSTALLATION_VARIABLE = "KORVEX_INSTALL_DIR"  # still read
SETTINGS_VARIABLE = "KORVEX_SETTINGS_PATH"
DATA_SOURCES_VARIABLE = "KORVEX_DATASOURCES_PATH"
BROKER_VARIABLE = "KORVEX_BROKER"
RESULTS_VARIABLE = "KORVEX_RESULTS"
CA_VARIABLE = "KORVEX_BROKER_CA"


class Cause(object):
    """Why a model has no solution: the one vocabulary of the records, the table, the exit
    messages and the README."""

    INVALID_MODEL = "invalid model"
    INVALID_INSTALLATION = "invalid installation"
    MISSING_INSTALLATION = "missing installation"
    INVALID_SETTINGS = "invalid settings"
    MISSING_SETTINGS = "missing settings"
    MISSING_PLATFORM = "missing platform"
    UNKNOWN_CLASS = "unknown class"
    SOLVER_FAILURE = "solver failure"
    FRE_FILE_NOT_WRITTEN = "fre file not written"
    MODEL_FOLDER_NOT_WRITABLE = "model folder not writable"
    OUTPUT_NOT_WRITTEN = "output not written"
    WORKER_FAILURE = "worker failure"
    INTERRUPTED = "interrupted"
    NEVER_STARTED = "never started"
    NOT_STARTED = "not started"
    CANCELLED = "cancelled"
    LOST = "lost"
    TIMED_OUT = "timed out"
    UNKNOWN_OUTCOME = "unknown outcome"
    NOT_ALLOWED = "not allowed"
    INVALID_FOLDER = "invalid folder"
    INVALID_URL = "invalid URL"
    MISSING_CLUSTER_LIBRARIES = "missing cluster libraries"
    CLUSTER_UNREACHABLE = "cluster unreachable"
    NO_QUEUE = "no queue"
    BROKER_REFUSED = "broker refused"
    NO_SUCH_BATCH = "no such batch"
    BATCH_ENDED = "batch ended"


class JobFailed(Exception):
    """A job that could not be done: `cause` in a few words, `message` with the details;
    `record`: what else the model's record keeps of it (the run's files, the solver's
    error line)."""

    def __init__(self, cause: str, message: str, **record: Unpack[FailureRecord]) -> None:
        super().__init__("%s: %s" % (cause, message))
        self.cause = cause
        self.message = message
        self.record = record


# Set by the command line's handler of Ctrl-C and SIGTERM, which raises KeyboardInterrupt as
# well: a handler that runs inside a finalizer (a closed connection's __del__) raises where
# Python reports the exception and drops it, so a batch's loop looks at this too.
STOP_ASKED = threading.Event()


def stop_if_asked() -> None:
    """KeyboardInterrupt once the command line was asked to stop."""
    if STOP_ASKED.is_set():
        raise KeyboardInterrupt()


class BatchInterrupted(KeyboardInterrupt):
    """A batch stopped by Ctrl-C or SIGTERM; `results` holds one result per model, in the
    order given: those that ended, then "interrupted" for the models being solved and "never
    started" for the others."""

    def __init__(self, results: List[Entry]) -> None:
        super().__init__("the batch was interrupted")
        self.results = results


class Installation(NamedTuple):
    """Where and how to bind: the installation directory, the application module, and the
    two machine settings files (None keeps the module's own paths)."""

    directory: str
    module: str = "piping"
    settings_path: Optional[str] = None
    data_sources_path: Optional[str] = None


def error_text(error: BaseException) -> str:
    """An exception in one line: the module's own OSError messages as they are, any other
    exception with its type's name in front."""
    message = " ".join(str(error).split())
    if type(error) in (OSError, FileNotFoundError) and message:
        return message
    return "%s: %s" % (type(error).__name__, message) if message else type(error).__name__


def platform_missing(error: ImportError) -> JobFailed:
    """The failure of a job on a machine where the native module cannot be imported (no .NET
    bridge `clr`, no COM bridge `pythoncom`)."""
    missing = getattr(error, "name", None)
    what = "the module %s cannot be imported" % missing if missing else error_text(error)
    return JobFailed(Cause.MISSING_PLATFORM, "%s (%s)" % (what, error_text(error)))


WORKER_FORMAT = "%(asctime)s {host} %(process)d %(name)s %(levelname)s: %(message)s"


def set_up_worker_logging(logfile: Optional[str], shift: int = 0) -> None:
    """The log of the worker command, its keeper's and its worker processes' alike: every
    line, Celery's too, says when, on which machine and in which process, and goes to
    standard error or, appended, to `logfile`. Warnings of Celery and the libraries, and the
    worker's line per model; `shift` (10 per -q, -10 per -v) moves both thresholds. Raises
    OSError when the log file cannot be opened."""
    handler = worker_log_handler(logfile)
    # Celery's lines go through the root logger: warnings by default, -v adds its notes
    # (connections, tasks received), -vv everything.
    root = logging.getLogger()
    root.handlers[:] = [handler]
    root.setLevel(clamped_level(logging.WARNING + shift))
    logging.captureWarnings(True)  # the libraries' warnings are lines of the log too
    logger = logging.getLogger("korvex_computer")
    logger.handlers[:] = [handler]
    logger.setLevel(clamped_level(logging.INFO + shift))
    logger.propagate = False


def clamped_level(level: int) -> int:
    return max(logging.DEBUG, min(level, logging.CRITICAL))


def worker_log_handler(logfile: Optional[str]) -> logging.Handler:
    """Standard error, or the log file, opened for appending: the keeper and its worker
    processes all write to it, a line at a time."""
    import socket

    if logfile:
        handler: logging.Handler = logging.FileHandler(logfile, mode="a", encoding="utf-8")
    else:
        handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter(
        WORKER_FORMAT.replace("{host}", socket.gethostname().replace("%", "%%"))))
    return handler


def failed_entry(path: str, solver: str, cause: str, message: str) -> Entry:
    """The result of a model that was not solved, for a failure outside the solve itself."""
    return {"model": path, "solver": solver, "ok": False, "cause": cause, "message": message,
            "elapsed": 0.0, "notes": []}
