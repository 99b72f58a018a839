"""Solving several models side by side, in worker processes.

The module holds one solution per process, so each model is solved in one of N worker
processes. A worker binds to the installation once, when it starts, then solves the models it
is given one after the other, each in its own sandbox when asked, describing and disposing of
each solution before the next. A model that fails is reported and the others go on; a worker
that cannot bind reports every model it is given as failed for that reason.
"""

from __future__ import annotations

import multiprocessing
import os
import time
from concurrent.futures import ProcessPoolExecutor, as_completed
from typing import Any, Dict, List, Optional, Sequence, TextIO

from . import jobs
from .status import live_status

# Set in a worker process when binding failed.
_binding_failure: Optional[jobs.JobFailed] = None


def _start_worker(installation: jobs.Installation) -> None:
    global _binding_failure
    try:
        jobs.bind(installation)
    except jobs.JobFailed as failure:
        _binding_failure = failure


def _solve_in_worker(path: str, solver: str, sandbox: bool) -> Dict[str, Any]:
    started = time.monotonic()
    entry: Dict[str, Any] = {"model": os.path.abspath(path), "solver": solver,
                             "process": os.getpid()}
    try:
        if _binding_failure is not None:
            raise _binding_failure
        entry.update(jobs.solve_model(path, solver, sandbox))
        entry["ok"] = True
    except jobs.JobFailed as failure:
        entry.update(ok=False, cause=failure.cause, message=failure.message)
    except Exception as error:
        entry.update(ok=False, cause="solver failure", message=jobs.error_text(error))
    entry.setdefault("elapsed", round(time.monotonic() - started, 3))
    entry["notes"] = jobs.OUTPUT.take_messages()
    return entry


def solve_all(installation: jobs.Installation, paths: Sequence[str], solver: str,
              sandbox: bool, processes: int, status_stream: TextIO) -> List[Dict[str, Any]]:
    """Solves every model in `processes` worker processes; one result per model, in the
    order given, each with "ok" and either the solution or the cause of the failure."""
    total = len(paths)
    workers = max(1, min(processes, total))
    results: List[Optional[Dict[str, Any]]] = [None] * total
    finished = {"done": 0, "failed": 0}

    def describe(elapsed: float) -> str:
        running = min(workers, total - finished["done"] - finished["failed"])
        return "%s: %d done, %d failed, %d running of %d models, %.1f s" % (
            solver, finished["done"], finished["failed"], running, total, elapsed)

    # Fresh processes on every platform: a fork would copy this process's module state.
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=workers, mp_context=context,
                             initializer=_start_worker, initargs=(installation,)) as pool:
        futures = {pool.submit(_solve_in_worker, path, solver, sandbox): index
                   for index, path in enumerate(paths)}
        with live_status(status_stream, describe):
            for future in as_completed(futures):
                index = futures[future]
                try:
                    entry = future.result()
                except Exception as error:  # the worker process itself died
                    entry = {"model": os.path.abspath(paths[index]), "solver": solver,
                             "ok": False, "cause": "worker failure",
                             "message": jobs.error_text(error), "notes": []}
                results[index] = entry
                finished["done" if entry["ok"] else "failed"] += 1
    return [entry for entry in results if entry is not None]
