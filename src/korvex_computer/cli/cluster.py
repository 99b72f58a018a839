"""Solving models on several machines through a job queue: Celery, with one Redis server as
its broker and its result backend (``pip install "korvex_computer[cluster]"``).

``korvex_computer worker --broker URL`` runs a worker on a machine with the application: it
binds to its installation once, then takes one model at a time from the queue (Celery's
``solo`` pool: the module holds one solution per process), solves it as a worker of the local
pool does, and answers with the same result. ``korvex_computer solve ... --broker URL`` sends
one task per model and follows them in the result backend.

A model is never lost with its worker. A task is acknowledged only once its result is stored
(late acknowledgement), so until then its message stays claimed in Redis; while the worker
lives, a thread of it renews that claim every few seconds. The same thread of every worker
hands back to the queue the messages whose claim was not renewed for ``redeliver_after``
seconds, those of workers that died, and another worker then solves the model again, in a
fresh sandbox. Each delivery of a model is counted: past MAX_ATTEMPTS it is answered as a
worker failure instead of being solved once more. The thread also keeps a key that says the
worker is listening, which the command line counts for its status line.
"""

from __future__ import annotations

import json
import os
import socket
import sys
import threading
import time
import urllib.parse
import uuid
from typing import Any, Callable, Dict, List, Optional, Sequence, TextIO, Tuple, Type

from .common import Installation, JobFailed, error_text
from .status import live_status

QUEUE = "korvex_computer"
TASK = "korvex_computer.solve"
# Keys of the command line's own beside Celery's, on the same Redis server.
WORKER_KEY = "korvex_computer:worker:%s"  # one per listening worker, expiring
TASK_KEY = "korvex_computer:task:%s"  # the deliveries of one model, and whether it is closed
TASK_KEY_SECONDS = 7 * 24 * 3600

MAX_ATTEMPTS = 3
DEFAULT_REDELIVER_AFTER = 60.0
DEFAULT_TIMEOUT = 6 * 3600.0
CONNECT_SECONDS = 3.0
POLL_SECONDS = 0.1
WORKERS_POLL_SECONDS = 1.0


class ClusterUnreachable(JobFailed):
    """The Redis server of the queue cannot be reached."""

    def __init__(self, broker: str, error: BaseException) -> None:
        super().__init__("cluster unreachable", "cannot reach the broker at %s (%s)"
                         % (shown_url(broker), error_text(error)))


def shown_url(url: str) -> str:
    """The URL without its password, for messages."""
    parts = urllib.parse.urlsplit(url)
    if parts.password is None:
        return url
    host = parts.netloc.rsplit("@", 1)[-1]
    user = parts.username or ""
    return urllib.parse.urlunsplit(parts._replace(netloc="%s:***@%s" % (user, host)))


def require_libraries() -> None:
    """JobFailed unless the queue's libraries are installed."""
    try:
        import celery  # type: ignore[import-untyped]  # noqa: F401
        import redis  # noqa: F401
    except ImportError as error:
        raise JobFailed("missing cluster libraries", "%s; install them with pip install "
                        "\"korvex_computer[cluster]\"" % error_text(error))


def _connection_errors() -> Tuple[Type[BaseException], ...]:
    import kombu.exceptions
    import redis.exceptions

    return (OSError, redis.exceptions.ConnectionError, redis.exceptions.TimeoutError,
            kombu.exceptions.OperationalError)


def redis_client(broker: str) -> Any:
    """A client of the broker's Redis server that gives up at once on a server it cannot
    reach, instead of trying again (the command line says so within seconds)."""
    import redis
    from redis.backoff import NoBackoff
    from redis.retry import Retry

    return redis.Redis.from_url(broker, socket_connect_timeout=CONNECT_SECONDS,
                                socket_timeout=3 * CONNECT_SECONDS, retry=Retry(NoBackoff(), 0))


def reachable_client(broker: str) -> Any:
    """A client of the broker's Redis server, once it answered; else ClusterUnreachable."""
    try:
        client = redis_client(broker)
        client.ping()
        return client
    except ImportError:
        raise
    except Exception as error:  # a bad URL included
        raise ClusterUnreachable(broker, error)


def celery_app(broker: str, redeliver_after: float = DEFAULT_REDELIVER_AFTER) -> Any:
    from celery import Celery

    app = Celery("korvex_computer", broker=broker, backend=broker, set_as_current=False)
    app.conf.update(
        task_default_queue=QUEUE,
        task_serializer="json", result_serializer="json", accept_content=["json"],
        # A task is acknowledged once its result is stored: a worker that dies before leaves
        # its message to be delivered again.
        task_acks_late=True, task_reject_on_worker_lost=True, task_track_started=True,
        worker_prefetch_multiplier=1,
        result_expires=TASK_KEY_SECONDS,
        broker_connection_timeout=CONNECT_SECONDS,
        broker_transport_options={"visibility_timeout": redeliver_after,
                                  "unacked_mutex_expire": max(10, int(redeliver_after))},
        task_publish_retry_policy={"max_retries": 1, "interval_start": 0,
                                   "interval_step": 1, "interval_max": 1},
        worker_hijack_root_logger=False, worker_redirect_stdouts=False,
    )
    return app


def _say(message: str) -> None:
    sys.stderr.write("korvex_computer: %s\n" % message)
    sys.stderr.flush()


# The worker's side.

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
                _say("the broker did not answer (%s)" % error_text(error))
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


def failed_entry(path: str, solver: str, cause: str, message: str) -> Dict[str, Any]:
    return {"model": path, "solver": solver, "ok": False, "cause": cause, "message": message,
            "elapsed": 0.0, "notes": []}


def solve_task(client: Any, keeper: Keeper, machine: str,
               solve: Callable[[Dict[str, Any]], Dict[str, Any]]) -> Callable[..., Any]:
    """The body of the task that solves one model on a worker."""

    def run(task: Any, path: str, solver: str, sandbox: bool) -> Optional[Dict[str, Any]]:
        attempt, closed = _delivery(client, task.request.id)
        if closed:  # answered already, or given up by the command line
            return None
        if attempt > MAX_ATTEMPTS:
            entry = failed_entry(path, solver, "worker failure",
                                 "%d workers ended before they finished this model"
                                 % MAX_ATTEMPTS)
        else:
            keeper.delivery_tag = (task.request.properties or {}).get("delivery_tag")
            try:
                entry = solve({"model": path, "solver": solver, "sandbox": sandbox})
            finally:
                keeper.delivery_tag = None
        entry.update(machine=machine, attempt=attempt)
        _say("%s %s (%s)" % ("solved" if entry["ok"] else "failed", path,
                             entry.get("cause") or "%.1f s" % entry["elapsed"]))
        return entry

    return run


def run_worker(installation: Installation, broker: str, redeliver_after: float) -> int:
    """One worker process: binds, then solves the queue's models until it is stopped.
    Raises JobFailed when it cannot bind or reach the broker."""
    from . import jobs, worker

    require_libraries()
    client = reachable_client(broker)
    jobs.bind(installation)
    app = celery_app(broker, redeliver_after)
    machine = socket.gethostname()
    name = "korvex-%d@%s" % (os.getpid(), machine)
    keeper = Keeper(app, client, name, redeliver_after)
    app.task(name=TASK, bind=True)(solve_task(client, keeper, machine,
                                              lambda message: worker.solve(message, None)))

    from celery.signals import worker_ready  # type: ignore[import-untyped]

    def ready(**_: Any) -> None:
        _say("worker %s ready: %s (%s), models from %s" % (
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


# The command line's side.

class Follower(object):
    """The models sent to the queue, followed in the result backend until each has a
    result."""

    def __init__(self, app: Any, client: Any, paths: Sequence[str], solver: str,
                 timeout: float) -> None:
        self.app = app
        self.client = client
        self.paths = [os.path.abspath(path) for path in paths]
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
            for path in self.paths:
                task_id = str(uuid.uuid4())
                message = amqp.create_task_message(task_id, TASK, [path, self.solver, sandbox],
                                                   {})
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
            if index < len(self.task_ids):
                try:
                    self.client.hset(TASK_KEY % self.task_ids[index], "closed", 1)
                except Exception:
                    pass

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
              timeout: float, status_stream: TextIO) -> List[Dict[str, Any]]:
    """Solves every model through the queue; one result per model, in the order given.
    Raises ClusterUnreachable when the broker cannot be reached, then or later."""
    require_libraries()
    client = reachable_client(broker)
    follower = Follower(celery_app(broker), client, paths, solver, timeout)
    errors = _connection_errors()
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
        follower.close_all("interrupted", "the command line was interrupted")
        raise
    return [entry for entry in follower.results if entry is not None]
