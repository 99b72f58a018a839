"""A worker process of the job queue: bound to its installation once, then one Celery worker
with a pool of one thread that solves one model at a time from the queue (attempt.py), and
publishes what it does for `korvex_computer status`. Its keeper (keeper.py) starts it as a
program, ``python -m korvex_computer.batch.queue_worker`` (see main).
"""

from __future__ import annotations

import argparse
import logging
import os
import shutil
import signal
import socket
import sys
import tempfile
import threading
import time
import warnings
from typing import Any, Callable, Dict, Optional, Sequence

from .broker import (DEFAULT_HEARTBEAT, MAX_ATTEMPTS, QUEUE, TASK, WORKER_KEY,
                     WORKER_RENEWAL_SECONDS, WORKER_SECONDS, ClusterUnreachable, celery_app,
                     check_broker, check_url, connection_errors, declare_dead_letters,
                     reachable_results, require_libraries, shown_url)
from .common import (BROKER_VARIABLE, DATA_SOURCES_VARIABLE, INSTALLATION_VARIABLE,
                     MODULE_NAMES, RESULTS_VARIABLE, SETTINGS_VARIABLE, Cause, Installation,
                     JobFailed, error_text, failed_entry, platform_missing,
                     set_up_worker_logging)
from .attempt import (HOLD_SECONDS, Attempt, StoreDown, allowed_folders, refusal, retrying,
                      solve_attempt)
from .keeper import TEMP_PREFIX, WORKER_MODULE

LOG = logging.getLogger("korvex_computer.worker")

LOOP_WAKE_SECONDS = 0.01


class Presence(object):
    """The worker process's record in the results store, which `korvex_computer status`
    shows: its machine, process, since when, and the model it solves since when. Written by a
    thread of its own, off the way of the models: soon after what the process does changes,
    at most every SPACING_SECONDS (a change that another follows meanwhile shows as the
    later one: short models pass unseen), and renewed while the process lives; it expires soon
    after."""

    SPACING_SECONDS = 0.5

    def __init__(self, store: Any, name: str, machine: str) -> None:
        self.store = store
        self.key = WORKER_KEY % name
        self.fields: Dict[str, Any] = {"machine": machine, "process": os.getpid(),
                                       "since": time.time(), "model": "", "model_since": ""}
        self.fields_lock = threading.Lock()
        self.changed = threading.Event()
        self.ended = threading.Event()
        self.renewer = threading.Thread(target=self.renew, daemon=True,
                                        name="korvex worker record")

    def start(self) -> None:
        self.renewer.start()

    def solving(self, model: str) -> None:
        self.change(model=model, model_since=time.time())

    def idle(self) -> None:
        self.change(model="", model_since="")

    def change(self, **fields: Any) -> None:
        with self.fields_lock:
            self.fields.update(fields)
        self.changed.set()

    def write(self) -> None:
        with self.fields_lock:
            fields = dict(self.fields)
        try:
            with self.store.pipeline() as pipe:
                pipe.hset(self.key, mapping=fields)
                pipe.expire(self.key, WORKER_SECONDS)
                pipe.execute()
        except connection_errors():
            pass  # the store is down: the record shows again once it is back

    def renew(self) -> None:
        while not self.ended.is_set():
            self.write()
            if self.ended.wait(self.SPACING_SECONDS):
                return
            self.changed.wait(WORKER_RENEWAL_SECONDS - self.SPACING_SECONDS)
            self.changed.clear()

    def end(self) -> None:
        self.ended.set()
        self.changed.set()
        if self.renewer.is_alive():
            self.renewer.join()
        try:
            self.store.delete(self.key)
        except connection_errors():
            pass  # it expires



def solve_task(store: Any, worker_name: str, machine: str, heartbeat: float,
               allowed: Sequence[str] = (),
               presence: Optional[Presence] = None) -> Callable[..., Any]:
    """The body of the task that solves one model on a worker, which solves and writes only
    under the `allowed` folders (anywhere, when there are none)."""

    def run(task: Any, path: str, solver: str, sandbox: bool, output: Optional[str],
            batch: str, key: str) -> None:
        attempt = Attempt(store, task.request.id, batch, key, heartbeat)
        if presence is not None:
            presence.solving(path)
        try:
            solve_one(attempt, path, solver, sandbox, output)
        finally:
            attempt.end()
            if presence is not None:
                presence.idle()

    def solve_one(attempt: Attempt, path: str, solver: str, sandbox: bool,
                  output: Optional[str]) -> None:
        from celery.exceptions import Reject  # type: ignore[import-untyped]

        try:
            number = retrying(lambda: attempt.begin(worker_name), HOLD_SECONDS,
                              "recording the start of %s" % path)
        except StoreDown as error:
            LOG.warning("%s: back to the queue: %s", path, error)
            raise Reject(str(error), requeue=True)
        if number is None:
            LOG.info("%s: skipped, answered already or its batch ended (by its client, or "
                     "cancelled)", path)
            return
        staged = None
        refused = refusal(path, output, allowed)
        if refused is not None:
            entry = failed_entry(path, solver, Cause.NOT_ALLOWED, refused)
            output = None  # nothing is written there
        elif number > MAX_ATTEMPTS:
            entry = failed_entry(path, solver, Cause.WORKER_FAILURE,
                                 "%d workers ended before they finished this model"
                                 % MAX_ATTEMPTS)
        else:
            entry, staged = solve_attempt(path, solver, sandbox, output, attempt.id)
        entry.update({"machine": machine, "attempt": number})
        try:
            stored = attempt.finish(entry, staged, not sandbox, output)
        except StoreDown as error:
            LOG.warning("%s: back to the queue, its answer was not stored: %s", path, error)
            raise Reject(str(error), requeue=True)
        finally:
            if staged is not None:
                shutil.rmtree(staged, ignore_errors=True)
        if stored:
            LOG.info("%s %s (%s)", "solved" if entry["ok"] else "failed", path,
                     entry.get("cause") or "%.1f s" % entry["elapsed"])
        else:
            LOG.info("%s: another attempt finished first or the batch ended; this attempt's "
                     "result is not kept", path)

    return run


def wake_the_event_loop(app: Any) -> None:
    """Before kombu 5.7 (the latest on PyPy 3.9 is 5.6), work that a pool thread hands to the
    worker's event loop, a task's acknowledgement among it, waits until the loop wakes for its
    own reasons, seconds later; kombu 5.7 wakes it at once. A timer that wakes it every few
    milliseconds bounds that wait."""
    import kombu
    from celery import bootsteps  # type: ignore[import-untyped]

    if tuple(int(part) for part in kombu.VERSION[:2]) >= (5, 7):
        return

    def start(step: Any, worker: Any) -> None:
        if worker.hub is not None:
            worker.hub.call_repeatedly(LOOP_WAKE_SECONDS, _nothing)

    # Made with type() rather than a class statement: a class local to a function is an
    # object that the type checker's comparison of stubs with the package cannot find.
    wake_loop = type("WakeLoop", (bootsteps.StartStopStep,),
                     {"requires": {"celery.worker.components:Hub"}, "start": start})
    app.steps["worker"].add(wake_loop)


def _nothing() -> None:
    pass


def _nothing_to_set_up(**_: Any) -> None:
    pass


def end_with_the_keeper() -> Callable[[], None]:
    """Stops this worker process (its model finished first) when the keeper that started it
    is gone, killed without the chance to stop it. The function returned ends the watch: a
    thread still running when the interpreter exits leaves its memory behind; and removes the
    process's temporary folder, which the keeper made and would have removed, when the
    keeper is gone."""
    keeper = os.getppid()
    ended = threading.Event()

    def watch() -> None:
        while not ended.wait(1.0):
            if os.getppid() != keeper:
                LOG.warning("the worker's keeper (process %d) is gone: stopping", keeper)
                os.kill(os.getpid(), signal.SIGTERM)
                return

    watcher = threading.Thread(target=watch, name="korvex keeper watch", daemon=True)
    watcher.start()

    def end() -> None:
        ended.set()
        watcher.join()
        own_folder = tempfile.gettempdir()
        if os.getppid() != keeper and os.path.basename(own_folder).startswith(TEMP_PREFIX):
            shutil.rmtree(own_folder, ignore_errors=True)

    return end


def run_worker(installation: Installation, broker: str, results_url: str,
               heartbeat: float, allowed: Sequence[str] = ()) -> int:
    """One worker process: binds, then solves the queue's models until it is stopped.
    Raises JobFailed when it cannot bind or reach the broker or the results store."""
    from . import jobs

    require_libraries()
    check_url(broker, "broker")
    check_url(results_url, "results store")
    store = reachable_results(results_url)
    app = celery_app(broker, heartbeat)
    check_broker(app, broker)
    try:
        declare_dead_letters(app)
    except Exception as error:
        raise ClusterUnreachable(broker, error)
    jobs.bind(installation)
    machine = socket.gethostname()
    name = "korvex-%d@%s" % (os.getpid(), machine)
    presence = Presence(store, name, machine)
    app.task(name=TASK, bind=True)(solve_task(store, name, machine, heartbeat,
                                              allowed_folders(allowed), presence))
    wake_the_event_loop(app)

    from celery.signals import setup_logging, worker_ready  # type: ignore[import-untyped]

    # main set up the logging, one format for every line: Celery leaves it.
    setup_logging.connect(_nothing_to_set_up, weak=False)
    # Celery's advice to a superuser names an option of its own command; the keeper gives
    # this command's.
    from celery.exceptions import SecurityWarning

    warnings.filterwarnings("ignore", category=SecurityWarning)

    def ready(**_: Any) -> None:
        # A solve goes on when the broker's connection drops: its attempt may still finish
        # first, and the broker hands the model to another worker anyway. Filtered once
        # Celery's logging is set up, which shows its own deprecation warnings always.
        warnings.filterwarnings("ignore",
                                message="(?s).*worker_cancel_long_running_tasks_on_conn")
        LOG.info("worker %s ready: %s (%s), models from %s", name, installation.directory,
                 installation.module, shown_url(broker))

    worker_ready.connect(ready, weak=False)
    end_watch = end_with_the_keeper()
    presence.start()
    for logger in ("celery.worker.request", "celery.worker.consumer.consumer"):
        logging.getLogger(logger).addFilter(LostConnection())
    # Celery prepares delayed delivery for quorum queues, with exchanges of its own that a
    # farm's worker user may not make; the tasks here never wait for a time.
    logging.getLogger("celery.worker.consumer.delayed_delivery").disabled = True
    # A pool of one thread: the solve runs beside the event loop, which keeps the broker's
    # heartbeats going however long the solve takes (Celery's solo pool would stop them).
    celery_worker = app.Worker(hostname=name, pool="threads", concurrency=1, queues=[QUEUE],
                               loglevel="WARNING", quiet=True, without_gossip=True,
                               without_mingle=True, without_heartbeat=True)
    try:
        celery_worker.start()
    finally:
        presence.end()
        end_watch()
    return int(celery_worker.exitcode or 0)


class LostConnection(logging.Filter):
    """Celery and kombu report what follows a connection the broker closed (missed heartbeats,
    a broker restarted) with tracebacks: the loss itself (Celery 5.6), and an acknowledgement
    that failed (as a critical error). Nothing is lost then: the worker connects again, the
    broker delivers the model again, and the attempt that finished first stays its answer.
    One line each says so."""

    def filter(self, record: logging.LogRecord) -> bool:
        if record.msg == "Couldn't ack %r, reason:%r":
            record.msg = ("delivery %r not acknowledged (%r): the broker closed its connection "
                          "and delivers the model again; the attempt that finished first stays "
                          "its answer")
            record.levelno, record.levelname = logging.WARNING, "WARNING"
            record.exc_info, record.exc_text = None, None
        elif str(record.msg).startswith("consumer: Connection to broker lost") and \
                record.exc_info and record.exc_info[1] is not None:
            record.msg, record.args = "%s (%r)", (record.getMessage(), record.exc_info[1])
            record.exc_info, record.exc_text = None, None
        return True


PROG = "korvex_computer"  # the command that the messages of a failed start name


def main(argv: Optional[Sequence[str]] = None) -> int:
    """A worker process of the keeper's (keeper.run_workers):

        python -m korvex_computer.batch.queue_worker [-v|-q]... [--module MODULE]
            [--heartbeat SECONDS] [--allow DIR]... [--logfile FILE]

    with the broker's and the results store's URLs and the installation in the environment
    (KORVEX_BROKER, KORVEX_RESULTS, KORVEX_INSTALLATION, and KORVEX_SETTINGS_PATH and
    KORVEX_DATASOURCES_PATH when set): the URLs carry passwords, which stay off command lines.
    It logs as the worker command does, and runs until it is stopped (exit status 0). A
    process that cannot start, unbound or with the servers out of reach, says why on standard
    error as the command line does and exits 1 (the keeper gives up when every process does);
    arguments that are not understood exit 2."""
    parser = argparse.ArgumentParser(prog="python -m " + WORKER_MODULE,
                                     description="One worker process of korvex_computer "
                                                 "worker, which starts it.")
    parser.add_argument("-v", "--verbose", action="count", default=0,
                        help="log more (twice: everything)")
    parser.add_argument("-q", "--quiet", action="count", default=0,
                        help="log warnings and errors only (twice: errors only)")
    parser.add_argument("--module", choices=MODULE_NAMES, default="piping",
                        help="application module to bind to (default: piping)")
    parser.add_argument("--heartbeat", metavar="SECONDS", type=float,
                        default=DEFAULT_HEARTBEAT,
                        help="heartbeat with the broker (default: %(default)g)")
    parser.add_argument("--allow", metavar="DIR", action="append", default=[],
                        help="solve models and write output only under this folder")
    parser.add_argument("--logfile", metavar="FILE",
                        help="append the log lines to FILE (default: standard error)")
    arguments = parser.parse_args(argv)
    if not arguments.heartbeat > 0:
        parser.error("%r is not a positive number of seconds" % arguments.heartbeat)
    try:
        set_up_worker_logging(arguments.logfile, 10 * (arguments.quiet - arguments.verbose))
    except OSError as error:
        return _fail("cannot write the log file %s (%s)" % (arguments.logfile,
                                                             error_text(error)))
    needed = (BROKER_VARIABLE, RESULTS_VARIABLE, INSTALLATION_VARIABLE)
    broker, results_url, directory = (os.environ.get(name, "") for name in needed)
    unset = [name for name in needed if not os.environ.get(name, "").strip()]
    if unset:
        return _fail("the environment has no %s: a worker process has them from "
                     "korvex_computer worker, which starts it" % ", ".join(unset))
    installation = Installation(directory, arguments.module,
                                os.environ.get(SETTINGS_VARIABLE) or None,
                                os.environ.get(DATA_SOURCES_VARIABLE) or None)
    try:
        from . import jobs
    except ImportError as error:
        return _fail(str(platform_missing(error)))
    try:
        return run_worker(installation, broker, results_url, arguments.heartbeat,
                          arguments.allow)
    except JobFailed as failure:
        return _fail(str(failure), jobs.OUTPUT.take_messages())
    except KeyboardInterrupt:
        return _fail("interrupted", status=130)
    except Exception as error:  # a fault of the worker itself, still in one line
        return _fail("unexpected failure: %s" % error_text(error))


def _fail(message: str, notes: Sequence[str] = (), status: int = 1) -> int:
    """Says on standard error why the process ends, after what the module said, as the
    command line words its failures; the exit status."""
    for line in notes:
        sys.stderr.write("%s: the module said: %s\n" % (PROG, line))
    sys.stderr.write("%s: error: %s\n" % (PROG, message))
    return status


if __name__ == "__main__":
    sys.exit(main())
