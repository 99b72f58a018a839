"""The body of one model's task, the same in a worker of the local pool and in a worker of
the job queue: solves the model and answers with its result, a failure included. With an
output folder for the model, the run's files are copied there and the result is written there
as the model's record as soon as the model ends, on the machine that solved it."""

from __future__ import annotations

import os
import time
from typing import Callable, List, Optional, cast

from . import jobs, results
from .common import Cause
from .entries import Entry, TaskMessage


Keep = Callable[[Entry, str, float], None]


def solve(message: TaskMessage, binding_failure: Optional[jobs.JobFailed],
          keep_run: Optional[Keep] = None) -> Entry:
    """`keep_run`, when given, keeps the run's files instead of the output folder."""
    path, solver, sandbox = message["model"], message["solver"], message["sandbox"]
    folder: Optional[str] = message.get("output")
    started = time.monotonic()
    entry: Entry = {"model": os.path.abspath(path), "solver": solver,
                    "process": os.getpid()}

    def keep(result: Entry, run_directory: str, started_at: float) -> None:
        try:
            results.keep_files(result, run_directory, started_at, sandbox, folder)
        except OSError as error:
            raise jobs.JobFailed(Cause.OUTPUT_NOT_WRITTEN, "the files of %s were not kept in %s "
                                 "(%s)" % (path, folder, jobs.error_text(error)))

    # The files of the output folder that no batch wrote, once the folder is ready.
    left: List[List[str]] = []
    existed = folder is not None and os.path.isdir(folder)
    try:
        _solve_into(entry, message, folder, binding_failure, keep_run or keep, left)
        entry.setdefault("elapsed", round(time.monotonic() - started, 3))
        entry["notes"] = jobs.OUTPUT.take_messages()
        if folder is not None:
            # A batch that syncs its records once at its end says so ("synced_at_end").
            keep_record(folder, entry, sync=not message.get("synced_at_end"))
    except BaseException:  # stopped: nothing kept for the model without its record
        if folder is not None and left:
            results.discard_folder(folder, left[0])
        elif folder is not None and not existed:  # stopped while the folder was being made
            try:
                os.rmdir(folder)
            except OSError:
                pass  # not made yet, or not empty: another's
        raise
    return entry


def _solve_into(entry: Entry, message: TaskMessage, folder: Optional[str],
                binding_failure: Optional[jobs.JobFailed], keep: Keep,
                left: List[List[str]]) -> None:
    """Solves the model into `entry`: its result, or its failure; `left` receives the names
    of the files of the output folder that no batch wrote, once the folder is ready."""
    path, solver, sandbox = message["model"], message["solver"], message["sandbox"]
    try:
        if binding_failure is not None:
            raise binding_failure
        if folder is not None:
            try:
                left.append(results.empty_folder(folder))
            except OSError as error:
                raise jobs.JobFailed(Cause.OUTPUT_NOT_WRITTEN, "%s cannot be used (%s)"
                                     % (folder, jobs.error_text(error)))
        entry.update(jobs.solve_model(path, solver, sandbox, keep,
                                      message.get("thf", results.LOOK_UP)))
        entry["ok"] = True
    except jobs.JobFailed as failure:
        # A failure's record holds keys of the entry alone (FailureRecord), of the same types.
        entry.update(cast(Entry, failure.record))
        entry.update({"ok": False, "cause": failure.cause, "message": failure.message})
    except Exception as error:
        entry.update({"ok": False, "cause": Cause.SOLVER_FAILURE,
                      "message": jobs.error_text(error)})


def keep_record(folder: str, entry: Entry, sync: bool = True) -> None:
    """Writes a model's record in its output folder; a record that cannot be written fails
    the model, which is then not reported solved."""
    try:
        results.write_record(folder, entry, sync)
    except OSError as error:
        entry.update({"ok": False, "cause": Cause.OUTPUT_NOT_WRITTEN, "message": "the record "
                      "of %s was not written in %s (%s)" % (entry["model"], folder,
                                                           jobs.error_text(error))})
