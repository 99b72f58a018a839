"""Solving many models, from a script or from ``korvex_computer solve`` with several models.

    from korvex_computer.batch import solve_many
    results = solve_many(paths, "PipeStress", sandbox=True, jobs=4, output="results")
    results = solve_many(paths, "PipeStress", broker="amqps://farm-client@farm/farm",
                         results="redis://farm:6379/0", output="//share/results")

Without a broker the models are solved on this machine in ``jobs`` worker processes (the
local pool, local.py); with one, by the workers of the job queue (``korvex_computer worker``,
on any machine; ``pip install "korvex_computer[cluster]"``). Either way there is one result per
model, in the order given: the dictionaries that ``korvex_computer solve --json`` prints.

Every model is solved from an input file of its own, written from the model (jobs.own_input),
so models of one folder can be solved side by side, in place or in sandboxes.
"""

from __future__ import annotations

import contextlib
import logging
import os
from typing import ContextManager, Dict, List, Optional, Sequence, TextIO, Tuple, Union

from . import results as _results
from .broker import DEFAULT_NO_WORKER_TIMEOUT, DEFAULT_TIMEOUT, ClusterUnreachable
from .common import (DATA_SOURCES_VARIABLE, FORMER_INSTALLATION_VARIABLE, INSTALLATION_VARIABLE,
                     RESULTS_VARIABLE, SETTINGS_VARIABLE, SOLVERS, BatchInterrupted, Cause,
                     Installation, JobFailed, error_text)
from .entries import Entry, TaskMessage
from .progress import Progress, ProgressCallback

LOG = logging.getLogger("korvex_computer.batch")

__all__ = ["solve_many", "Installation", "JobFailed", "ClusterUnreachable", "BatchInterrupted",
           "Progress", "same_files_in_place"]


def _local_installation(installation: Union[str, Installation, None]) -> Installation:
    """The installation of the local workers: the one given, else the one this process is
    bound to, else $KORVEX_INSTALLATION (with $KORVEX_SETTINGS_PATH and
    $KORVEX_DATASOURCES_PATH)."""
    if isinstance(installation, Installation):
        return installation
    from .. import korvex_core as core

    if installation is None and core._validSetup_ and core._exePath_:
        installation = core._exePath_
    if installation is not None:
        return Installation(installation, settings_path=core._settingsPath_,
                            data_sources_path=core._dataSourcesPath_)
    directory = (os.environ.get(INSTALLATION_VARIABLE)
                 or os.environ.get(FORMER_INSTALLATION_VARIABLE))
    if not directory:
        raise ValueError("no installation: give one, bind this process to one, or set "
                         + INSTALLATION_VARIABLE)
    return Installation(directory, settings_path=os.environ.get(SETTINGS_VARIABLE),
                        data_sources_path=os.environ.get(DATA_SOURCES_VARIABLE))


def _resumed_installation(installation: Union[str, Installation, None]) -> Optional[str]:
    """The installation directory that the local workers will bind to, which a kept record
    must have been solved with; None when there is none yet (the solve then says so)."""
    try:
        return _local_installation(installation).directory
    except (ValueError, ImportError):
        return None


def same_files_in_place(paths: Sequence[str]) -> Optional[str]:
    """Why models solved in place would share files: the same model given twice (its input
    and result files are named after it); None when they would not."""
    seen: Dict[str, str] = {}
    for path in paths:
        key = os.path.normcase(os.path.splitext(os.path.abspath(path))[0])
        if key in seen:
            return ("%s and %s would be solved in place from the same input file %s.fre and "
                    "write the same result files; give each model once, or --sandbox"
                    % (seen[key], path, key))
        seen[key] = path
    return None


def solve_many(paths: Sequence[str], solver: str, sandbox: bool = True, jobs: int = 1,
               broker: Optional[str] = None, *, results: Optional[str] = None,
               timeout: float = DEFAULT_TIMEOUT,
               no_worker_timeout: float = DEFAULT_NO_WORKER_TIMEOUT,
               installation: Union[str, Installation, None] = None,
               status: Optional[TextIO] = None, output: Optional[str] = None,
               resume: bool = False, progress: Optional[ProgressCallback] = None
               ) -> List[Entry]:
    """Solves each model with `solver` ("PipeStress" or "Aster"; structure models are always
    solved with Aster), each in its own sandbox when `sandbox` is true; one result per model,
    in the order of `paths`, each with "ok" and either the solution or the "cause" and
    "message" of its failure. A model that fails does not stop the others.

    Without `broker`: in `jobs` worker processes on this machine, bound to `installation` (a
    directory, or an Installation; by default the one this process is bound to, else
    $KORVEX_INSTALLATION). With `broker`, a RabbitMQ URL, and `results`, a Redis URL (by
    default $KORVEX_RESULTS): through the job queue, whose workers are bound to their own
    installations; `timeout` seconds bound each solve from its start, `no_worker_timeout` the
    wait while no worker listens. Raises ClusterUnreachable when the broker or the results
    store cannot be reached at the start (a model whose result cannot be read later, the
    servers gone for longer than a bounded wait, ends with the cause "unknown outcome"), and
    JobFailed when the output folder cannot be made.

    `progress`: called with a Progress (the solver; the models done, failed, running, waiting
    and in all; the seconds elapsed; the workers) from the calling thread while the models
    are solved: at the start, as soon as a count changed, at least four times a second (through
    the queue, unless a server holds the client up), and once more with the final counts; the
    models kept by `resume` are not counted. An exception that it raises stops the batch as
    Ctrl-C does, the local workers stopped and the queue's models not started withdrawn, and
    is then raised from solve_many as it is (with `output`, the records of the models that
    ended are kept: `resume` goes on). `status`: a terminal stream for the command line's live
    status line, drawn from the same reports (nothing on a stream that is not a terminal);
    one of the two at most.

    `output`: a folder (shared with the queue's workers) where each model's files and record
    are kept, in output/<model name>/, and the batch's index, output/batch.json. With `resume`,
    the models whose record there says they were solved from the same inputs (the model file,
    its own .fre file, its folder's .thf file, by their digests; the solver; for the local
    pool the installation) are not solved again: their records are the results (with
    "resumed" true); a model solved again for a record that does not stand has
    "solved_again", the reason ("site.thf changed").

    Ctrl-C (KeyboardInterrupt) stops the batch: BatchInterrupted, a KeyboardInterrupt, then
    carries the results of all models, those that ended and those "interrupted" or "never
    started".
    """
    if solver not in SOLVERS:
        raise ValueError("solver must be one of %s, not %r" % (", ".join(SOLVERS), solver))
    if isinstance(paths, str):
        raise TypeError("paths must be a sequence of model paths, not one text")
    paths = [os.path.abspath(path) for path in paths]
    if not paths:
        return []
    if not sandbox and same_files_in_place(paths):
        raise ValueError(same_files_in_place(paths))
    if broker is not None:
        results = results or os.environ.get(RESULTS_VARIABLE)
        if not broker.strip() or not results:
            raise ValueError("the job queue needs a broker URL and a results store URL "
                             "(results=, or $KORVEX_RESULTS)")
    if resume and output is None:
        raise ValueError("resume needs the output folder of the earlier run")
    if progress is not None and not callable(progress):
        raise TypeError("progress must be a function of a Progress, not %r" % (progress,))
    if progress is not None and status is not None:
        raise ValueError("give progress or status, not both")
    names = _results.output_names(paths)
    folders: List[Optional[str]] = [None] * len(paths)
    if output is not None:
        output = os.path.abspath(output)
        if os.path.exists(output) and not os.path.isdir(output):
            raise JobFailed(Cause.OUTPUT_NOT_WRITTEN, "%s is a file, not a folder" % output)
        try:
            os.makedirs(output, exist_ok=True)
        except OSError as error:
            raise JobFailed(Cause.OUTPUT_NOT_WRITTEN, "the output folder %s cannot be made (%s); "
                            "give another --output" % (output, error_text(error)))
        try:
            _results.write_json(os.path.join(output, ".korvex-probe"), {})
            os.remove(os.path.join(output, ".korvex-probe"))
        except OSError as error:
            raise JobFailed(Cause.OUTPUT_NOT_WRITTEN, "the output folder %s cannot be written "
                            "(%s); give another --output" % (output, error_text(error)))
        folders = [os.path.join(output, name) for name in names]
    entries: List[Optional[Entry]] = [None] * len(paths)
    to_solve: List[int] = []
    solved_again: Dict[int, str] = {}  # why, for models with a record that does not stand
    solved_by = _resumed_installation(installation) if resume and broker is None else None
    thf_files = _results.thf_by_folder(paths)
    for index, path in enumerate(paths):
        folder = folders[index]
        record, why = (_results.kept_record(folder, path, solver, solved_by,
                                            thf_files[os.path.dirname(path)])
                       if resume and folder else (None, None))
        if record is not None:
            entries[index] = {**record, "resumed": True}
        else:
            to_solve.append(index)
            if why is not None:
                solved_again[index] = why
                LOG.info("%s is solved again: %s", path, why)
    if resume:
        LOG.info("%d of %d models solved already, as their records in %s say; %d to solve",
                 len(paths) - len(to_solve), len(paths), output, len(to_solve))
    interrupted: Optional[BatchInterrupted] = None
    try:
        with _status_line(status) as line:
            solved = _solve(installation, [paths[i] for i in to_solve], solver, sandbox, jobs,
                            (broker, results, timeout, no_worker_timeout), line or progress,
                            [folders[i] for i in to_solve], thf_files)
    except BatchInterrupted as stop:
        solved, interrupted = stop.results, stop
    finally:
        if output is not None and broker is None:  # the local workers wrote them unsynced
            _results.sync_records(folders)
    for index, entry in zip(to_solve, solved):
        entries[index] = {**entry, "solved_again": solved_again[index]} \
            if index in solved_again else entry
    ended = [entry for entry in entries if entry is not None]
    if output is not None:
        LOG.info("the models' files and records are in %s", output)
        solved_count = sum(1 for entry in ended if entry["ok"])
        try:
            _results.write_index(output, ended, names, {
                "ok": solved_count == len(ended) and interrupted is None,
                "interrupted": interrupted is not None, "solved": solved_count,
                "failed": len(ended) - solved_count})
        except OSError as error:  # the records are there: the results stand
            LOG.warning("the index %s was not written (%s); the models' records are in "
                        "their folders", os.path.join(output, _results.INDEX),
                        error_text(error))
    if interrupted is not None:
        raise BatchInterrupted(ended) from None
    return ended


def _status_line(status: Optional[TextIO]) -> ContextManager[Optional[ProgressCallback]]:
    """The command line's status line on `status`, as a progress callback, removed at the end
    of the block; None without a stream. Drawing is the command line's: it is imported from
    there, here only for the scripts that pass solve_many a stream, as they did before the
    progress callback came."""
    if status is None:
        return contextlib.nullcontext()
    from ..cli.status_line import BatchStatusLine

    return BatchStatusLine(status)


def _solve(installation: Union[str, Installation, None], paths: List[str], solver: str,
           sandbox: bool, jobs: int, queue: Tuple[Optional[str], Optional[str], float, float],
           progress: Optional[ProgressCallback], folders: List[Optional[str]],
           thf_files: Dict[str, Optional[str]]) -> List[Entry]:
    if not paths:
        return []
    broker, results, timeout, no_worker_timeout = queue
    if broker is not None and results is not None:
        from . import queue_client
        from .broker import shown_url

        LOG.info("sending %d models to the job queue at %s", len(paths), shown_url(broker))
        return queue_client.solve_all(broker, results, paths, solver, sandbox, timeout, progress,
                                      folders, no_worker_timeout)
    from . import local

    LOG.info("solving %d models in %d worker processes", len(paths), min(len(paths), jobs))

    # Each folder's .thf file, found once for the batch; the records synced at its end.
    messages: List[TaskMessage] = [
        {"model": path, "solver": solver, "sandbox": sandbox, "output": folder,
         "thf": thf_files[os.path.dirname(path)], "synced_at_end": True}
        for path, folder in zip(paths, folders)]
    return local.solve_all(_local_installation(installation), messages, max(1, int(jobs)),
                           progress)
