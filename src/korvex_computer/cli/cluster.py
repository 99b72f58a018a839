"""Solving models on several machines through a job queue: Celery, with a RabbitMQ broker
that holds the models to solve and a Redis server that holds their results
(``pip install "korvex_computer[cluster]"``).

``korvex_computer worker`` runs on a machine with the application: a keeper process starts N
worker processes and starts another when one dies. Each binds to its installation once, then
takes one model at a time from the queue and solves it as a worker of the local pool does.
``korvex_computer solve ... --broker URL --results URL`` sends one task per model and reads
the results.

Nothing is lost with a worker. The queue is a quorum queue of durable messages, acknowledged
only once the model's result is stored: the broker hands the model of a worker whose connection
drops (a dead process, a machine switched off, missed heartbeats) to another worker at once.
Each delivery is an attempt with an id and a working copy of its own (a sandbox, even for a
model solved in place); the first attempt that finishes stores the result, under a lock, and
moves an in-place solve's files into the model's folder. A later attempt's answer never
replaces it. Past MAX_ATTEMPTS deliveries the model is answered as a worker failure, and the
broker's delivery limit bounds a model that kills every worker even when that answer cannot be
stored.

What the queue trusts: only holders of the farm's broker credentials can send or take models
(the broker's permissions), and each batch gives its tasks a secret with which the worker
signs the result, so a result written into the store by anyone else is refused.
"""

from __future__ import annotations

import hashlib
import hmac
import json
import logging
import os
import re
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import uuid
import warnings
from typing import Any, Callable, Dict, List, Optional, Sequence, TextIO, Tuple, Type

from .common import Installation, JobFailed, error_text
from .status import live_status

QUEUE = "korvex_computer"
DEAD_LETTERS = "korvex_computer.dead"
TASK = "korvex_computer.solve"
# Keys in the results store.
RESULT_KEY = "korvex_computer:result:%s"  # the signed result of the attempt that finished
TASK_KEY = "korvex_computer:task:%s"  # the deliveries of one model, and whether it is closed
BATCH_KEY = "korvex_computer:batch:%s"  # present while the batch's client lives
FINISH_LOCK = "korvex_computer:finishing:%s"
RECORD_SECONDS = 24 * 3600  # what a client that went leaves behind expires after this long
BATCH_ALIVE_SECONDS = 60  # a batch whose client was not heard of for this long is gone

MAX_ATTEMPTS = 3
DEFAULT_HEARTBEAT = 10.0
DEFAULT_TIMEOUT = 6 * 3600.0
DEFAULT_NO_WORKER_TIMEOUT = 600.0
RECONNECT_SECONDS = 30.0  # how long the client waits for a server that went away
CONNECT_SECONDS = 3.0
POLL_SECONDS = 0.1
WORKERS_POLL_SECONDS = 1.0
RESPAWN_BACKOFF = (1.0, 60.0)  # first and longest wait before replacing a dead worker process

BROKER_VARIABLE = "KORVEX_BROKER"
RESULTS_VARIABLE = "KORVEX_RESULTS"


class ClusterUnreachable(JobFailed):
    """The broker or the results store of the queue cannot be reached."""

    def __init__(self, url: str, error: BaseException, what: str = "broker") -> None:
        super().__init__("cluster unreachable", "cannot reach the %s at %s (%s)"
                         % (what, shown_url(url), without_password(error_text(error), url)))


_USER_INFO = re.compile(r"^([a-zA-Z][a-zA-Z0-9+.-]*://)([^@]*)@")


def shown_url(url: str) -> str:
    """The URL without its password, for messages. Whatever lies between the scheme and the
    last "@" is user information, even when its password holds "/" or "@"."""
    url = url.strip()
    at = url.rfind("@")
    scheme = re.match(r"^[a-zA-Z][a-zA-Z0-9+.-]*://", url)
    if at < 0 or scheme is None or at < scheme.end():
        return url
    user_info = url[scheme.end():at]
    if ":" not in user_info:
        return url
    return "%s%s:***%s" % (scheme.group(0), user_info.split(":", 1)[0], url[at:])


def without_password(text: str, url: str) -> str:
    """The text with the URL's password (as given and decoded) replaced by ***."""
    import urllib.parse

    scheme = re.match(r"^[a-zA-Z][a-zA-Z0-9+.-]*://", url.strip())
    at = url.rfind("@")
    if scheme is None or at < scheme.end():
        return text
    user_info = url.strip()[scheme.end():url.strip().rfind("@")]
    if ":" not in user_info:
        return text
    password = user_info.split(":", 1)[1]
    for form in sorted({password, urllib.parse.unquote(password)}, key=len, reverse=True):
        if form:
            text = text.replace(form, "***")
    return text


def require_libraries() -> None:
    """JobFailed unless the queue's libraries are installed."""
    try:
        import celery  # type: ignore[import-untyped]  # noqa: F401
        import redis  # noqa: F401
    except ImportError as error:
        raise JobFailed("missing cluster libraries", "%s; install them with pip install "
                        "\"korvex_computer[cluster]\"" % error_text(error))


def _connection_errors() -> Tuple[Type[BaseException], ...]:
    import amqp.exceptions  # type: ignore[import-untyped]
    import kombu.exceptions  # type: ignore[import-untyped]
    import redis.exceptions

    return (OSError, redis.exceptions.ConnectionError, redis.exceptions.TimeoutError,
            kombu.exceptions.OperationalError, amqp.exceptions.ConnectionError)


def results_client(url: str) -> Any:
    """A client of the results store that gives up at once on a server it cannot reach,
    instead of trying again (the caller decides how long to keep trying)."""
    import redis
    from redis.backoff import NoBackoff
    from redis.retry import Retry

    return redis.Redis.from_url(url, socket_connect_timeout=CONNECT_SECONDS,
                                socket_timeout=CONNECT_SECONDS, retry=Retry(NoBackoff(), 0))


def reachable_results(url: str) -> Any:
    """A client of the results store, once it answered; else ClusterUnreachable."""
    try:
        client = results_client(url)
        client.ping()
        return client
    except ImportError:
        raise
    except Exception as error:  # a bad URL included
        raise ClusterUnreachable(url, error, "results store")


def check_broker(app: Any, url: str) -> None:
    """ClusterUnreachable unless the broker accepts the connection."""
    try:
        with app.connection_for_write() as connection:
            connection.ensure_connection(max_retries=1, timeout=CONNECT_SECONDS)
    except Exception as error:
        raise ClusterUnreachable(url, error)


def task_queues() -> Any:
    from kombu import Exchange, Queue  # type: ignore[import-untyped]

    # A quorum queue (durable, its messages persistent) whose broker counts the deliveries of
    # each message and drops a model delivered past the limit, or hands it to the dead letters
    # when the broker's policy names them (a dead-letter exchange given here would need the
    # right to read the queue of everyone who declares it, the clients included).
    # Models go through the broker's default exchange, which routes by queue name: the
    # clients need no right to bind anything.
    return [Queue(QUEUE, Exchange(""), routing_key=QUEUE, queue_arguments={
        "x-queue-type": "quorum", "x-delivery-limit": MAX_ATTEMPTS + 1})]


def declare_dead_letters(app: Any) -> None:
    """The exchange and queue of the models delivered past the limit, kept a week."""
    from kombu import Exchange, Queue

    with app.connection_for_write() as connection:
        Queue(DEAD_LETTERS, Exchange(DEAD_LETTERS, type="fanout"), durable=True,
              queue_arguments={"x-message-ttl": 7 * 24 * 3600 * 1000}
              )(connection.default_channel).declare()


def celery_app(broker: str, heartbeat: float = DEFAULT_HEARTBEAT) -> Any:
    from celery import Celery

    app = Celery("korvex_computer", broker=broker, set_as_current=False)
    app.conf.update(
        task_queues=task_queues(), task_default_queue=QUEUE,
        task_default_exchange="", task_default_routing_key=QUEUE,
        task_serializer="json", accept_content=["json"], task_ignore_result=True,
        # A task is acknowledged once its result is stored: the broker gives the model of a
        # worker that went before to another one.
        task_acks_late=True, task_reject_on_worker_lost=True, worker_prefetch_multiplier=1,
        broker_heartbeat=heartbeat, broker_connection_timeout=CONNECT_SECONDS,
        broker_connection_retry_on_startup=False, broker_connection_max_retries=None,
        broker_transport_options={"confirm_publish": True},
        # Nobody steers the workers through the broker, and they send no events.
        worker_enable_remote_control=False, worker_send_task_events=False,
        task_send_sent_event=False,
        worker_hijack_root_logger=False, worker_redirect_stdouts=False,
    )
    return app


def _say(message: str) -> None:
    sys.stderr.write("korvex_computer: %s\n" % message)
    sys.stderr.flush()


def signature(secret: str, task_id: str, entry: Dict[str, Any]) -> str:
    text = json.dumps(entry, sort_keys=True)
    return hmac.new(secret.encode("utf-8"), (task_id + "\n" + text).encode("utf-8"),
                    hashlib.sha256).hexdigest()


def failed_entry(path: str, solver: str, cause: str, message: str) -> Dict[str, Any]:
    return {"model": path, "solver": solver, "ok": False, "cause": cause, "message": message,
            "elapsed": 0.0, "notes": []}


# The worker's side.

class Attempt(object):
    """One delivery of a model to this worker: it counts the delivery, solves the model in a
    working copy of its own and, if no other attempt finished first, stores its result and
    moves an in-place solve's files into the model's folder."""

    def __init__(self, store: Any, task_id: str, batch: str, secret: str) -> None:
        self.store = store
        self.task_id = task_id
        self.batch = batch
        self.secret = secret
        self.id = uuid.uuid4().hex[:12]

    def begin(self, worker: str) -> Tuple[int, bool]:
        """Counts the delivery; its number, and whether the model still needs solving."""
        key = TASK_KEY % self.task_id
        with self.store.pipeline() as pipe:
            pipe.exists(BATCH_KEY % self.batch).exists(RESULT_KEY % self.task_id)
            pipe.hincrby(key, "attempts", 1).hget(key, "closed")
            pipe.hset(key, mapping={"worker": worker, "attempt": self.id})
            pipe.expire(key, RECORD_SECONDS)
            batch_alive, answered, attempts, closed, _, _ = pipe.execute()
        return int(attempts), bool(batch_alive) and not answered and not closed

    def finish(self, entry: Dict[str, Any], staged: Optional[str],
               model_folder: Optional[str]) -> bool:
        """Stores the entry unless another attempt finished first; whether it did."""
        lock = self.store.lock(FINISH_LOCK % self.task_id, timeout=600, blocking_timeout=600)
        with lock:
            if self.store.exists(RESULT_KEY % self.task_id):
                return False
            if staged is not None and model_folder is not None:
                move_into(staged, model_folder)
            entry = dict(entry, attempt_id=self.id)
            record = {"entry": entry, "signature": signature(self.secret, self.task_id, entry)}
            self.store.set(RESULT_KEY % self.task_id, json.dumps(record), ex=RECORD_SECONDS)
            return True


def move_into(staged: str, folder: str) -> None:
    """Moves the files of a staging folder into `folder`, each replacing its namesake in one
    step, then removes the staging folder."""
    for name in sorted(os.listdir(staged)):
        os.replace(os.path.join(staged, name), os.path.join(folder, name))
    os.rmdir(staged)


def solve_in_working_copy(path: str, solver: str, sandbox: bool,
                          attempt_id: str) -> Tuple[Dict[str, Any], Optional[str]]:
    """Solves a model in a sandbox; for a model solved in place, also copies the files that
    the solve made into a staging folder beside the model, and names them by their place in
    the model's folder. The entry, and the staging folder (None when nothing is to move)."""
    from . import jobs, worker

    folder = os.path.dirname(os.path.abspath(path))
    staging = os.path.join(folder, ".korvex-attempt-%s" % attempt_id)
    kept: Dict[str, str] = {}

    def keep(sandbox_directory: str) -> None:
        os.mkdir(staging)
        for name in os.listdir(sandbox_directory):
            source = os.path.join(sandbox_directory, name)
            original = os.path.join(folder, name)
            if not os.path.isfile(source) or _same_file(source, original):
                continue  # the model's own inputs, copied in by the sandbox
            shutil.copy2(source, os.path.join(staging, name))
            kept[source] = original

    entry = worker.solve({"model": path, "solver": solver, "sandbox": True}, None,
                         before_dispose=None if sandbox else keep)
    if sandbox:
        return entry, None
    entry["sandbox"] = None
    for old, new in kept.items():
        _replace_text(entry, old, new)
    return entry, staging if os.path.isdir(staging) else None


def _same_file(first: str, second: str) -> bool:
    try:
        a, b = os.stat(first), os.stat(second)
    except OSError:
        return False
    if a.st_size != b.st_size:
        return False
    with open(first, "rb") as f, open(second, "rb") as g:
        return f.read() == g.read()


def _replace_text(value: Any, old: str, new: str) -> Any:
    """Replaces a path in the texts of a JSON value, in place."""
    if isinstance(value, dict):
        for key, item in value.items():
            value[key] = _replace_text(item, old, new)
    elif isinstance(value, list):
        value[:] = [_replace_text(item, old, new) for item in value]
    elif isinstance(value, str) and old in value:
        return value.replace(old, new)
    return value


def solve_task(store: Any, worker_name: str, machine: str) -> Callable[..., Any]:
    """The body of the task that solves one model on a worker."""

    def run(task: Any, path: str, solver: str, sandbox: bool, batch: str,
            secret: str) -> None:
        attempt = Attempt(store, task.request.id, batch, secret)
        number, needed = attempt.begin(worker_name)
        if not needed:  # answered already, given up, or its client is gone
            return
        staged = None
        if number > MAX_ATTEMPTS:
            entry = failed_entry(path, solver, "worker failure",
                                 "%d workers ended before they finished this model"
                                 % MAX_ATTEMPTS)
        else:
            entry, staged = solve_in_working_copy(path, solver, sandbox, attempt.id)
        entry.update(machine=machine, attempt=number)
        try:
            stored = attempt.finish(entry, staged, os.path.dirname(os.path.abspath(path)))
        finally:
            if staged is not None and os.path.isdir(staged):
                shutil.rmtree(staged, ignore_errors=True)
        if stored:
            _say("%s %s (%s)" % ("solved" if entry["ok"] else "failed", path,
                                 entry.get("cause") or "%.1f s" % entry["elapsed"]))
        else:
            _say("%s: another attempt finished first; this attempt's result is dropped"
                 % path)

    return run


LOOP_WAKE_SECONDS = 0.01


def wake_the_event_loop(app: Any) -> None:
    """Before kombu 5.7 (the latest on PyPy 3.9 is 5.6), work that a pool thread hands to the
    worker's event loop, a task's acknowledgement among it, waits until the loop wakes for its
    own reasons, up to seconds; kombu 5.7 wakes it at once. A timer that wakes it every few
    milliseconds bounds that wait."""
    import kombu
    from celery import bootsteps

    if tuple(int(part) for part in kombu.VERSION[:2]) >= (5, 7):
        return

    class WakeLoop(bootsteps.StartStopStep):  # type: ignore[misc]
        requires = {"celery.worker.components:Hub"}

        def start(self, worker: Any) -> None:
            if worker.hub is not None:
                worker.hub.call_repeatedly(LOOP_WAKE_SECONDS, _nothing)

    app.steps["worker"].add(WakeLoop)


def _nothing() -> None:
    pass


def run_worker(installation: Installation, broker: str, results: str,
               heartbeat: float) -> int:
    """One worker process: binds, then solves the queue's models until it is stopped.
    Raises JobFailed when it cannot bind or reach the broker or the results store."""
    from . import jobs

    require_libraries()
    store = reachable_results(results)
    app = celery_app(broker, heartbeat)
    try:
        declare_dead_letters(app)
    except Exception as error:
        raise ClusterUnreachable(broker, error)
    jobs.bind(installation)
    machine = socket.gethostname()
    name = "korvex-%d@%s" % (os.getpid(), machine)
    app.task(name=TASK, bind=True)(solve_task(store, name, machine))
    wake_the_event_loop(app)

    from celery.signals import worker_ready  # type: ignore[import-untyped]

    def ready(**_: Any) -> None:
        _say("worker %s ready: %s (%s), models from %s" % (
            name, installation.directory, installation.module, shown_url(broker)))

    worker_ready.connect(ready, weak=False)
    # Celery prepares delayed delivery for quorum queues, which needs exchanges of its own
    # that a farm's worker user may not make; the tasks here never wait for a time.
    logging.getLogger("celery.worker.consumer.delayed_delivery").disabled = True
    # A solve goes on when the broker's connection drops: its attempt may still finish
    # first, and the broker hands the model to another worker anyway.
    warnings.filterwarnings("ignore", message=".*worker_cancel_long_running_tasks_on_connection_loss")
    # A pool of one thread: the solve runs beside the thread that speaks with the broker,
    # which keeps sending heartbeats however long the solve takes.
    celery_worker = app.Worker(hostname=name, pool="threads", concurrency=1, queues=[QUEUE],
                               loglevel="WARNING", quiet=True, without_gossip=True,
                               without_mingle=True, without_heartbeat=True)
    celery_worker.start()
    return int(celery_worker.exitcode or 0)


class Keeper(object):
    """Keeps `count` worker processes running: one that dies is replaced, after a wait that
    grows while they keep dying. SIGINT or SIGTERM asks each to finish its model and end.

    The worker processes run in a process group of their own, so that the terminal's Ctrl-C
    reaches neither them nor the solver programs that they start."""

    def __init__(self, command: Sequence[str], env: Dict[str, str], count: int) -> None:
        self.command = list(command)
        self.env = env
        self.count = count
        self.processes: List[Optional[subprocess.Popen]] = [None] * count
        self.started = [0.0] * count
        self.backoff = [RESPAWN_BACKOFF[0]] * count
        self.due = [0.0] * count
        self.stopping = threading.Event()

    def spawn(self, slot: int) -> None:
        options: Dict[str, Any] = {}
        if sys.platform == "win32":
            options["creationflags"] = subprocess.CREATE_NEW_PROCESS_GROUP  # type: ignore
        else:
            options["start_new_session"] = True
        self.processes[slot] = subprocess.Popen(self.command, env=self.env, **options)
        self.started[slot] = time.monotonic()

    def stop(self, signum: int, _: Any) -> None:
        self.stopping.set()

    def run(self) -> int:
        previous = {signum: signal.signal(signum, self.stop)
                    for signum in (signal.SIGINT, signal.SIGTERM)}
        try:
            for slot in range(self.count):
                self.spawn(slot)
            while not self.stopping.wait(0.2):
                failure = self.watch()
                if failure is not None:
                    self.stopping.set()
                    self.finish()
                    return failure
            _say("stopping: the worker processes finish their models")
            return self.finish()
        finally:
            for signum, handler in previous.items():
                signal.signal(signum, handler)

    def watch(self) -> Optional[int]:
        """Replaces the processes that ended; an exit status to end with when a process
        could not start at all (it said why)."""
        now = time.monotonic()
        for slot, process in enumerate(self.processes):
            if process is None:
                if now >= self.due[slot]:
                    self.spawn(slot)
                continue
            status = process.poll()
            if status is None:
                continue
            if status == 1 and now - self.started[slot] < 60 and self.count_alive() == 0 \
                    and all(p is not None for p in self.processes if p is not process):
                return 1  # could not bind or reach the servers: no use trying again
            lived = now - self.started[slot]
            if lived > RESPAWN_BACKOFF[1]:
                self.backoff[slot] = RESPAWN_BACKOFF[0]
            wait = self.backoff[slot]
            self.backoff[slot] = min(wait * 2, RESPAWN_BACKOFF[1])
            _say("worker process %d ended (exit status %s) after %.1f s; starting another "
                 "in %g s" % (process.pid, status, lived, wait))
            self.processes[slot] = None
            self.due[slot] = now + wait
        return None

    def count_alive(self) -> int:
        return sum(1 for process in self.processes
                   if process is not None and process.poll() is None)

    def finish(self) -> int:
        stop_signal = signal.CTRL_BREAK_EVENT if sys.platform == "win32" else signal.SIGTERM
        for process in self.processes:
            if process is not None and process.poll() is None:
                process.send_signal(stop_signal)
        statuses = [process.wait() for process in self.processes if process is not None]
        return 0 if all(status in (0, -signal.SIGTERM) for status in statuses) else 1


def run_workers(installation: Installation, broker: str, results: str, heartbeat: float,
                count: int, verbosity: Sequence[str] = ()) -> int:
    """The worker command: `count` worker processes, kept running until SIGINT or SIGTERM.
    The URLs go to them through the environment, never on a command line."""
    require_libraries()
    reachable_results(results)
    check_broker(celery_app(broker, heartbeat), broker)
    env = dict(os.environ)
    env.update({BROKER_VARIABLE: broker, RESULTS_VARIABLE: results,
                "KORVEX_INSTALLATION": installation.directory})
    if installation.settings_path:
        env["KORVEX_SETTINGS_PATH"] = installation.settings_path
    if installation.data_sources_path:
        env["KORVEX_DATASOURCES_PATH"] = installation.data_sources_path
    command = [sys.executable, "-m", "korvex_computer", *verbosity, "--module",
               installation.module, "worker", "--heartbeat", "%g" % heartbeat, "--one-process"]
    return Keeper(command, env, count).run()


# The command line's side.

class Follower(object):
    """The models sent to the queue, followed in the results store until each has a
    result."""

    def __init__(self, app: Any, store: Any, paths: Sequence[str], solver: str,
                 timeout: float, no_worker_timeout: float) -> None:
        self.app = app
        self.store = store
        self.paths = [os.path.abspath(path) for path in paths]
        self.solver = solver
        self.timeout = timeout
        self.no_worker_timeout = no_worker_timeout
        self.batch = uuid.uuid4().hex
        self.secret = secrets.token_hex(16)
        self.task_ids: List[str] = []
        self.results: List[Optional[Dict[str, Any]]] = [None] * len(paths)
        # When each model being solved was first seen started (by this client's clock).
        self.started: Dict[int, float] = {}
        self.workers: Optional[int] = None
        self.last_worker_seen = time.monotonic()
        self.refused = 0
        self.lock = threading.Lock()

    def keep_alive(self) -> None:
        self.store.set(BATCH_KEY % self.batch, 1, ex=BATCH_ALIVE_SECONDS)

    def send(self, sandbox: bool) -> None:
        self.keep_alive()
        with self.app.producer_or_acquire() as producer:
            for path in self.paths:
                task_id = str(uuid.uuid4())
                self.app.send_task(TASK, args=[path, self.solver, sandbox, self.batch,
                                               self.secret],
                                   task_id=task_id, producer=producer, queue=QUEUE,
                                   retry=False, timeout=CONNECT_SECONDS * 3,
                                   confirm_timeout=CONNECT_SECONDS * 3)
                self.task_ids.append(task_id)

    def waiting(self) -> List[int]:
        return [index for index, entry in enumerate(self.results) if entry is None]

    def count_workers(self) -> None:
        """The consumers of the queue, as the broker counts them."""
        with self.app.connection_for_write() as connection:
            connection.ensure_connection(max_retries=1, timeout=CONNECT_SECONDS)
            channel = connection.channel()
            try:
                _, _, consumers = channel.queue_declare(QUEUE, passive=True)
            finally:
                channel.close()
        with self.lock:
            self.workers = consumers
        if consumers:
            self.last_worker_seen = time.monotonic()

    def poll(self) -> None:
        open_models = self.waiting()
        with self.store.pipeline() as pipe:
            for index in open_models:
                pipe.get(RESULT_KEY % self.task_ids[index])
                pipe.hget(TASK_KEY % self.task_ids[index], "attempts")
            answers = pipe.execute()
        now = time.monotonic()
        for position, index in enumerate(open_models):
            record, attempts = answers[2 * position], answers[2 * position + 1]
            entry = self.verified(index, record)
            if entry is not None:
                self.close(index, entry)
            elif attempts is not None and index not in self.started:
                with self.lock:
                    self.started[index] = now
            elif index in self.started and now - self.started[index] > self.timeout:
                self.close(index, failed_entry(
                    self.paths[index], self.solver, "timed out",
                    "no result within %g s of its start" % self.timeout))
        if now - self.last_worker_seen > self.no_worker_timeout:
            for index in self.waiting():
                self.close(index, failed_entry(
                    self.paths[index], self.solver, "not started",
                    "no worker listened for %g s" % self.no_worker_timeout))

    def verified(self, index: int, record: Optional[bytes]) -> Optional[Dict[str, Any]]:
        """The entry of a stored result, if a worker of this batch signed it."""
        if record is None:
            return None
        try:
            stored = json.loads(record)
            entry, seal = stored["entry"], stored["signature"]
            if (isinstance(entry, dict) and isinstance(seal, str) and hmac.compare_digest(
                    seal, signature(self.secret, self.task_ids[index], entry))):
                entry["model"] = self.paths[index]
                return entry
        except (ValueError, KeyError, TypeError):
            pass
        self.refused += 1
        _say("refused a result of %s that no worker of this batch signed" % self.paths[index])
        self.store.delete(RESULT_KEY % self.task_ids[index])
        return None

    def close(self, index: int, entry: Dict[str, Any]) -> None:
        """Keeps a model's result, and tells the workers not to solve it again."""
        task_id = self.task_ids[index]
        with self.store.pipeline() as pipe:
            pipe.hset(TASK_KEY % task_id, "closed", 1).expire(TASK_KEY % task_id,
                                                              RECORD_SECONDS)
            pipe.delete(RESULT_KEY % task_id)
            pipe.execute()
        with self.lock:
            self.results[index] = entry
            self.started.pop(index, None)

    def give_up(self, cause: str, message: str) -> None:
        """Ends the models still open with `cause`, without reaching the servers."""
        with self.lock:
            for index in self.waiting():
                self.results[index] = failed_entry(self.paths[index], self.solver, cause,
                                                   message)
            self.started.clear()

    def end(self) -> None:
        """Removes the batch's records that are left: its workers skip what it left."""
        keys = [BATCH_KEY % self.batch] + [TASK_KEY % task_id for task_id in self.task_ids]
        try:
            self.store.delete(*keys)
        except Exception:
            pass  # they expire

    def describe(self, elapsed: float) -> str:
        with self.lock:
            done = sum(1 for entry in self.results if entry is not None and entry["ok"])
            finished = sum(1 for entry in self.results if entry is not None)
            running, workers = len(self.started), self.workers
        total = len(self.results)
        if workers is None:
            listening = "broker not reached"
        elif workers:
            listening = "%d worker%s" % (workers, "" if workers == 1 else "s")
        else:
            listening = "no worker listening"
        return "%s: %d done, %d failed, %d running, %d waiting of %d models, %s, %.1f s" % (
            self.solver, done, finished - done, running, total - finished - running, total,
            listening, elapsed)


def solve_all(broker: str, results: str, paths: Sequence[str], solver: str, sandbox: bool,
              timeout: float, status_stream: TextIO,
              no_worker_timeout: float = DEFAULT_NO_WORKER_TIMEOUT) -> List[Dict[str, Any]]:
    """Solves every model through the queue; one result per model, in the order given.
    Raises ClusterUnreachable when the broker or the results store cannot be reached at the
    start; when they go away later for longer than RECONNECT_SECONDS, the models still open
    are reported with the cause "unknown outcome"."""
    require_libraries()
    store = reachable_results(results)
    app = celery_app(broker)
    follower = Follower(app, store, paths, solver, timeout, no_worker_timeout)
    errors = _connection_errors()
    try:
        follower.send(sandbox)
    except errors as error:
        follower.end()
        raise ClusterUnreachable(broker, error)
    reconnect_window = min(RECONNECT_SECONDS, timeout)
    unreachable_since: Dict[str, float] = {}

    def attempt(what: str, action: Callable[[], None]) -> None:
        try:
            action()
            unreachable_since.pop(what, None)
        except errors as error:
            since = unreachable_since.setdefault(what, time.monotonic())
            if time.monotonic() - since > reconnect_window:
                url = broker if what == "broker" else results
                follower.give_up("unknown outcome", "the %s at %s was unreachable for %g s "
                                 "(%s): the model may have been solved" % (
                                     what, shown_url(url), reconnect_window,
                                     without_password(error_text(error), url)))
            with follower.lock:
                if what == "broker":
                    follower.workers = None

    try:
        with live_status(status_stream, follower.describe):
            next_count = 0.0
            while follower.waiting():
                if time.monotonic() >= next_count:
                    attempt("broker", follower.count_workers)
                    attempt("results store", follower.keep_alive)
                    next_count = time.monotonic() + WORKERS_POLL_SECONDS
                if follower.waiting():
                    attempt("results store", follower.poll)
                time.sleep(POLL_SECONDS)
    except KeyboardInterrupt:
        follower.give_up("interrupted", "the command line was interrupted")
        raise
    finally:
        follower.end()
    return [entry for entry in follower.results if entry is not None]
