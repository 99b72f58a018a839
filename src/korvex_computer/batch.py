"""Solving many models from a script, as ``korvex_computer solve`` does with several models.

    from korvex_computer.batch import solve_many
    results = solve_many(paths, "PipeStress", sandbox=True, jobs=4)
    results = solve_many(paths, "PipeStress", broker="amqp://farm-client@farm/farm",
                         results="redis://farm:6379/0")

Without a broker the models are solved on this machine in ``jobs`` worker processes of the
command line's own; with one, by the workers of the job queue (``korvex_computer worker``, on
any machine; ``pip install "korvex_computer[cluster]"``). Either way there is one result per
model, in the order given: the dictionaries that ``korvex_computer solve --json`` prints.
"""

from __future__ import annotations

import io
import os
from typing import Any, Dict, List, Optional, Sequence, TextIO, Union

from .cli.cluster import DEFAULT_NO_WORKER_TIMEOUT, DEFAULT_TIMEOUT, ClusterUnreachable
from .cli.common import SOLVERS, Installation, JobFailed

__all__ = ["solve_many", "Installation", "JobFailed", "ClusterUnreachable"]


def _local_installation(installation: Union[str, Installation, None]) -> Installation:
    """The installation of the local workers: the one given, else the one this process is
    bound to, else $KORVEX_INSTALLATION (with $KORVEX_SETTINGS_PATH and
    $KORVEX_DATASOURCES_PATH)."""
    if isinstance(installation, Installation):
        return installation
    from . import korvex_core as core

    if installation is None and core._validSetup_ and core._exePath_:
        installation = core._exePath_
    if installation is not None:
        return Installation(installation, settings_path=core._settingsPath_,
                            data_sources_path=core._dataSourcesPath_)
    directory = os.environ.get("KORVEX_INSTALLATION")
    if not directory:
        raise ValueError("no installation: give one, bind this process to one, or set "
                         "KORVEX_INSTALLATION")
    return Installation(directory, settings_path=os.environ.get("KORVEX_SETTINGS_PATH"),
                        data_sources_path=os.environ.get("KORVEX_DATASOURCES_PATH"))


def solve_many(paths: Sequence[str], solver: str, sandbox: bool = True, jobs: int = 1,
               broker: Optional[str] = None, *, results: Optional[str] = None,
               timeout: float = DEFAULT_TIMEOUT,
               no_worker_timeout: float = DEFAULT_NO_WORKER_TIMEOUT,
               installation: Union[str, Installation, None] = None,
               status: Optional[TextIO] = None) -> List[Dict[str, Any]]:
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
    store cannot be reached at the start; models whose result could not be read later end
    with the cause "unknown outcome". `status`: a terminal stream for the live status line
    (none by default).
    """
    if solver not in SOLVERS:
        raise ValueError("solver must be one of %s, not %r" % (", ".join(SOLVERS), solver))
    if isinstance(paths, str):
        raise TypeError("paths must be a sequence of model paths, not one text")
    paths = list(paths)
    if not paths:
        return []
    stream = status if status is not None else io.StringIO()
    if broker is not None:
        from .cli import cluster

        results = results or os.environ.get("KORVEX_RESULTS")
        if not broker.strip() or not results:
            raise ValueError("the job queue needs a broker URL and a results store URL "
                             "(results=, or $KORVEX_RESULTS)")
        return cluster.solve_all(broker, results, paths, solver, sandbox, timeout, stream,
                                 no_worker_timeout)
    from .cli import batch

    return batch.solve_all(_local_installation(installation), paths, solver, sandbox,
                           max(1, int(jobs)), stream)
