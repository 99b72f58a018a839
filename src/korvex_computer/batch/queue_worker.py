"""A worker of the job queue (``korvex_computer worker --broker URL``): binds to its
installation once, then takes one model at a time from the queue (Celery's ``solo`` pool: the
module holds one solution per process) and solves it as a worker of the local pool does,
answering with the same result. See broker.py for how a model outlives its worker.
"""

from __future__ import annotations

import json
import logging
import os
import socket
import sys
import threading
import time
from typing import Any, Callable, Dict, Optional, Sequence, Tuple

from .broker import (MAX_ATTEMPTS, QUEUE, TASK, TASK_KEY, TASK_KEY_SECONDS, WORKER_KEY,
                     celery_app, reachable_client, require_libraries, shown_url)
from .common import Installation, failed_entry, error_text


LOG = logging.getLogger("korvex_computer.worker")


class Keeper(threading.Thread):
    """A worker's thread that, every few seconds, says that the worker listens, renews the
    claim of the message being solved, and hands back the messages of dead workers."""

    def __init__(self, app: Any, client: Any, name: str, redeliver_after: float) -> None:
        super().__init__(name="korvex queue keeper", daemon=True)
        self.app = app
        self.client = client
        self.key = WORKER_KEY % name
        self.period = max(0.5, min(5.0, redeliver_after / 4))
        self.delivery_tag: Optional[str] = None
        self.stopping = threading.Event()

    def run(self) -> None:
        while not self.stopping.is_set():
            try:
                with self.app.connection_for_read() as connection:
                    channel = connection.default_channel
                    while True:
                        self.beat(channel)
                        if self.stopping.wait(self.period):
                            break
            except Exception as error:  # the broker away for a while: try again later
                LOG.warning("the broker did not answer (%s)" % error_text(error))
                self.stopping.wait(self.period)
        try:
            self.client.delete(self.key)
        except Exception:
            pass  # the key expires by itself

    def beat(self, channel: Any) -> None:
        self.client.set(self.key, json.dumps({"host": socket.gethostname(), "pid": os.getpid()}),
                        ex=max(2, int(3 * self.period + 1)))
        tag = self.delivery_tag
        if tag is not None:
            # Only renews a claim that is still there (xx): an acknowledged message has none.
            self.client.zadd(channel.unacked_index_key, {tag: time.time()}, xx=True)
        channel.qos.restore_visible(num=None, interval=1)

    def stop(self) -> None:
        self.stopping.set()
        self.join()


def _delivery(client: Any, task_id: str) -> Tuple[int, bool]:
    """Counts one more delivery of a task; the count, and whether the task is closed."""
    key = TASK_KEY % task_id
    with client.pipeline() as pipe:
        pipe.hincrby(key, "attempts", 1).hget(key, "closed").expire(key, TASK_KEY_SECONDS)
        attempts, closed, _ = pipe.execute()
    return int(attempts), bool(closed)


def solve_task(client: Any, keeper: Keeper, machine: str,
               solve: Callable[[Dict[str, Any]], Dict[str, Any]]) -> Callable[..., Any]:
    """The body of the task that solves one model on a worker."""

    def run(task: Any, path: str, solver: str, sandbox: bool,
            output: Optional[str] = None) -> Optional[Dict[str, Any]]:
        from celery.exceptions import Ignore  # type: ignore[import-untyped]

        attempt, closed = _delivery(client, task.request.id)
        if closed:  # answered already, or given up by the command line: no result stored
            task.backend.forget(task.request.id)
            raise Ignore()
        if attempt > MAX_ATTEMPTS:
            entry = failed_entry(path, solver, "worker failure",
                                 "%d workers ended before they finished this model"
                                 % MAX_ATTEMPTS)
            if output is not None:
                from . import task as task_body

                task_body.keep_record(output, entry)
        else:
            keeper.delivery_tag = (task.request.properties or {}).get("delivery_tag")
            try:
                entry = solve({"model": path, "solver": solver, "sandbox": sandbox,
                               "output": output})
            finally:
                keeper.delivery_tag = None
        entry.update(machine=machine, attempt=attempt)
        LOG.info("%s %s (%s)" % ("solved" if entry["ok"] else "failed", path,
                                 entry.get("cause") or "%.1f s" % entry["elapsed"]))
        if client.hget(TASK_KEY % task.request.id, "closed"):
            # The command line left (its output folder, when it gave one, has the record).
            task.backend.forget(task.request.id)
            raise Ignore()
        return entry

    return run


def run_worker(installation: Installation, broker: str, redeliver_after: float) -> int:
    """One worker process: binds, then solves the queue's models until it is stopped.
    Raises JobFailed when it cannot bind or reach the broker."""
    from . import jobs, task

    require_libraries()
    client = reachable_client(broker)
    jobs.bind(installation)
    app = celery_app(broker, redeliver_after)
    machine = socket.gethostname()
    name = "korvex-%d@%s" % (os.getpid(), machine)
    keeper = Keeper(app, client, name, redeliver_after)
    app.task(name=TASK, bind=True)(solve_task(client, keeper, machine,
                                              lambda message: task.solve(message, None)))

    from celery.signals import worker_ready  # type: ignore[import-untyped]

    def ready(**_: Any) -> None:
        LOG.info("worker %s ready: %s (%s), models from %s" % (
            name, installation.directory, installation.module, shown_url(broker)))

    worker_ready.connect(ready, weak=False)
    celery_worker = app.Worker(hostname=name, pool="solo", concurrency=1, queues=[QUEUE],
                               loglevel="WARNING", quiet=True, without_gossip=True,
                               without_mingle=True, without_heartbeat=True)
    keeper.start()
    try:
        celery_worker.start()
    finally:
        keeper.stop()
    return int(celery_worker.exitcode or 0)


def run_workers(arguments: Sequence[str], count: int) -> int:
    """`count` worker processes of the command line, each with `arguments`; ends when they
    all have, passing on an interruption or a request to stop."""
    import signal
    import subprocess

    command = [sys.executable, "-m", "korvex_computer", "worker", *arguments,
               "--concurrency", "1"]
    processes = [subprocess.Popen(command) for _ in range(count)]

    def stop(signum: int, _: Any) -> None:
        for process in processes:
            if process.poll() is None:
                process.send_signal(signum)

    previous = signal.signal(signal.SIGTERM, stop)
    try:
        while True:
            try:
                return max(process.wait() for process in processes)
            except KeyboardInterrupt:  # the workers had it too: they finish their model
                continue
    finally:
        signal.signal(signal.SIGTERM, previous)


