"""The sending side of the job queue (``korvex_computer solve --broker URL``): one task per
model, followed in the result backend until each has a result.
"""

from __future__ import annotations

import os
import threading
import time
import uuid
from typing import Any, Dict, List, Optional, Sequence, TextIO, Tuple

from .broker import (TASK, QUEUE, TASK_KEY, TASK_KEY_SECONDS, WORKER_KEY, ClusterUnreachable,
                     celery_app, connection_errors, reachable_client, require_libraries)
from .common import BatchInterrupted, error_text, failed_entry
from .status import live_status

POLL_SECONDS = 0.1
WORKERS_POLL_SECONDS = 1.0


class Follower(object):
    """The models sent to the queue, followed in the result backend until each has a
    result."""

    def __init__(self, app: Any, client: Any, paths: Sequence[str], solver: str,
                 timeout: float, outputs: Sequence[Optional[str]]) -> None:
        self.app = app
        self.client = client
        self.paths = [os.path.abspath(path) for path in paths]
        self.outputs = list(outputs)
        self.solver = solver
        self.timeout = timeout
        self.task_ids: List[str] = []
        self.results: List[Optional[Dict[str, Any]]] = [None] * len(paths)
        # For each model being solved: the worker that started it and when it was seen.
        self.started: Dict[int, Tuple[str, float]] = {}
        self.workers = 0
        self.last_progress = time.monotonic()
        self.lock = threading.Lock()

    def send(self, sandbox: bool) -> None:
        # Published as Celery's send_task does, less its subscription to each result: the
        # results are read from the backend in one request for all.
        amqp = self.app.amqp
        with self.app.producer_or_acquire() as producer:
            for path, output in zip(self.paths, self.outputs):
                task_id = str(uuid.uuid4())
                message = amqp.create_task_message(task_id, TASK,
                                                   [path, self.solver, sandbox, output], {})
                amqp.send_task_message(producer, TASK, message, queue=QUEUE)
                self.task_ids.append(task_id)

    def waiting(self) -> List[int]:
        return [index for index, entry in enumerate(self.results) if entry is None]

    def count_workers(self) -> None:
        workers = sum(1 for _ in self.client.scan_iter(match=WORKER_KEY % "*", count=1000))
        with self.lock:
            self.workers = workers

    def poll(self) -> None:
        backend = self.app.backend
        open_models = self.waiting()
        keys = [backend.get_key_for_task(self.task_ids[index]) for index in open_models]
        now = time.monotonic()
        for index, value in zip(open_models, self.client.mget(keys) if keys else []):
            meta: Dict[str, Any] = (backend.decode_result(value) if value
                                    else {"status": "PENDING"})
            status = meta["status"]
            if status == "SUCCESS" and isinstance(meta["result"], dict):
                self.close(index, meta["result"])
            elif status == "FAILURE":
                self.close(index, failed_entry(self.paths[index], self.solver,
                                               "worker failure", _task_error(meta["result"])))
            elif status == "STARTED":
                worker = "%(hostname)s/%(pid)s" % meta["result"]
                if self.started.get(index, ("",))[0] != worker:  # a (new) delivery began
                    with self.lock:
                        self.started[index] = (worker, now)
                    self.last_progress = now
                elif now - self.started[index][1] > self.timeout:
                    self.close(index, failed_entry(
                        self.paths[index], self.solver, "timed out",
                        "no result within %g s of its start by worker %s"
                        % (self.timeout, worker.split("/")[0])))
        if now - self.last_progress > self.timeout:
            # Nothing began or ended for that long (no worker listening): the models that
            # no worker took are given up.
            for index in self.waiting():
                if index not in self.started:
                    self.close(index, failed_entry(
                        self.paths[index], self.solver, "not started",
                        "no worker took the model within %g s" % self.timeout))

    def close(self, index: int, entry: Dict[str, Any]) -> None:
        """Keeps a model's result, and tells the workers not to solve it again."""
        task_id = self.task_ids[index]
        with self.client.pipeline() as pipe:
            pipe.hset(TASK_KEY % task_id, "closed", 1).expire(TASK_KEY % task_id,
                                                              TASK_KEY_SECONDS)
            pipe.delete(self.app.backend.get_key_for_task(task_id))
            pipe.execute()
        with self.lock:
            self.results[index] = entry
            self.started.pop(index, None)
        self.last_progress = time.monotonic()

    def close_all(self, cause: str, message: str) -> None:
        for index in self.waiting():
            self.results[index] = failed_entry(self.paths[index], self.solver, cause, message)
            self.withdraw(index)

    def interrupt(self) -> None:
        """Answers for the models without a result: those that a worker is solving are left
        to it (with an output folder, the worker keeps their record there); the others are
        withdrawn."""
        for index in self.waiting():
            if index in self.started:
                worker = self.started[index][0].split("/")[0]
                kept = ("its record goes to %s" % self.outputs[index] if self.outputs[index]
                        else "its result is not kept")
                self.results[index] = failed_entry(
                    self.paths[index], self.solver, "interrupted", "left to worker %s when the "
                    "batch was interrupted; %s" % (worker, kept))
            else:
                self.results[index] = failed_entry(
                    self.paths[index], self.solver, "never started",
                    "withdrawn from the queue when the batch was interrupted")
            self.withdraw(index)

    def withdraw(self, index: int) -> None:
        """Tells the workers to leave a model: not to start it, nor to store its result."""
        if index < len(self.task_ids):
            try:
                self.client.hset(TASK_KEY % self.task_ids[index], "closed", 1)
            except Exception:
                pass  # the broker away: the model's result expires with the others

    def describe(self, elapsed: float) -> str:
        with self.lock:
            done = sum(1 for entry in self.results if entry is not None and entry["ok"])
            finished = sum(1 for entry in self.results if entry is not None)
            running, workers = len(self.started), self.workers
        total = len(self.results)
        listening = ("%d worker%s" % (workers, "" if workers == 1 else "s") if workers
                     else "no worker listening")
        return "%s: %d done, %d failed, %d running, %d waiting of %d models, %s, %.1f s" % (
            self.solver, done, finished - done, running, total - finished - running, total,
            listening, elapsed)


def _task_error(result: Any) -> str:
    if isinstance(result, dict) and "exc_type" in result:
        return "%s: %s" % (result["exc_type"], " ".join(str(result.get("exc_message"))
                                                       .split()))
    return str(result)


def solve_all(broker: str, paths: Sequence[str], solver: str, sandbox: bool,
              timeout: float, status_stream: TextIO,
              outputs: Optional[Sequence[Optional[str]]] = None) -> List[Dict[str, Any]]:
    """Solves every model through the queue, each worker keeping the model's files and
    record in `outputs[i]` when given; one result per model, in the order given. Raises
    ClusterUnreachable when the broker cannot be reached, then or later, and
    BatchInterrupted when interrupted."""
    require_libraries()
    client = reachable_client(broker)
    follower = Follower(celery_app(broker), client, paths, solver, timeout,
                        outputs or [None] * len(paths))
    errors = connection_errors()
    try:
        follower.send(sandbox)
        with live_status(status_stream, follower.describe):
            next_count = 0.0
            while follower.waiting():
                if time.monotonic() >= next_count:
                    follower.count_workers()
                    next_count = time.monotonic() + WORKERS_POLL_SECONDS
                follower.poll()
                time.sleep(POLL_SECONDS)
    except errors as error:
        follower.close_all("cluster unreachable", error_text(error))
        raise ClusterUnreachable(broker, error)
    except KeyboardInterrupt:
        follower.interrupt()
        raise BatchInterrupted([entry for entry in follower.results if entry is not None])
    return [entry for entry in follower.results if entry is not None]
