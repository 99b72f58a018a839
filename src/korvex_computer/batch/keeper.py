"""The keeper of ``korvex_computer worker``: it keeps N worker processes of the job queue
running (``python -m korvex_computer.batch.queue_worker``), each in a process group of its own
with its own temporary folder, replaces one that dies and ends what it left, and stops them at
SIGINT or SIGTERM.
"""

from __future__ import annotations

import logging
import os
import shutil
import signal
import sys
import tempfile
import threading
import time
from typing import Any, Dict, List, Optional, Sequence

from .broker import celery_app, check_broker, check_url, reachable_results, require_libraries
from .common import (BROKER_VARIABLE, DATA_SOURCES_VARIABLE, INSTALLATION_VARIABLE,
                     RESULTS_VARIABLE, SETTINGS_VARIABLE, Installation)
from .attempt import allowed_folders
from .processes import ProcessGroup

LOG = logging.getLogger("korvex_computer.worker")

RESPAWN_BACKOFF = (1.0, 60.0)  # first and longest wait before replacing a dead process
TEMP_PREFIX = "korvex-worker-"  # of the temporary folder that a keeper makes for each process
WORKER_MODULE = "korvex_computer.batch.queue_worker"  # what each worker process runs


class Keeper(object):
    """Keeps `count` worker processes running: one that dies is replaced, after a wait that
    doubles while they keep dying early. SIGINT or SIGTERM asks each to finish its model and
    end; a second one kills them at once (their models go back to the queue). The worker
    processes run in process groups of their own, so that the terminal's Ctrl-C reaches
    neither them nor the solver programs that they start. Each has a temporary folder of its
    own, where its sandboxes go: what a process that died leaves, the solver program that it
    ran and its sandboxes, the keeper ends and removes."""

    def __init__(self, command: Sequence[str], env: Dict[str, str], count: int) -> None:
        self.command = list(command)
        self.env = env
        self.temp_dirs: List[Optional[str]] = [None] * count
        self.processes: List[Optional[ProcessGroup]] = [None] * count
        self.started = [0.0] * count
        self.backoff = [RESPAWN_BACKOFF[0]] * count
        self.due = [0.0] * count
        self.ever_ready = False
        self.failed_to_start = [False] * count  # the slot's last process ended with status 1
        self.stopping = threading.Event()
        self.stopping_cold = threading.Event()

    def spawn(self, slot: int) -> None:
        temp_dir = self.temp_dirs[slot] = tempfile.mkdtemp(prefix=TEMP_PREFIX)
        env = dict(self.env, TMPDIR=temp_dir, TEMP=temp_dir, TMP=temp_dir)
        self.processes[slot] = ProcessGroup(self.command, env=env)
        self.started[slot] = time.monotonic()

    def clean_up(self, slot: int) -> Optional[int]:
        """Ends what the process of `slot` left, once it ended: the programs of its process
        group (a solver that would run on for nothing) and its temporary folder with its
        sandboxes; its exit status."""
        process, self.processes[slot] = self.processes[slot], None
        status = process.bury() if process is not None else None
        if self.temp_dirs[slot] is not None:
            shutil.rmtree(self.temp_dirs[slot], ignore_errors=True)  # type: ignore[arg-type]
            self.temp_dirs[slot] = None
        return status

    def run(self) -> int:
        def stop(signum: int, _: Any) -> None:
            if self.stopping.is_set():
                self.stopping_cold.set()
            self.stopping.set()

        previous = {signum: signal.signal(signum, stop)
                    for signum in (signal.SIGINT, signal.SIGTERM)}
        try:
            for slot in range(len(self.processes)):
                self.spawn(slot)
            while not self.stopping.wait(0.2):
                if not self.replace_ended():
                    self.finish()
                    return 1
            LOG.warning("stopping: the worker processes finish their models (stop again to "
                        "end them at once)")
            return self.finish()
        finally:
            for signum, handler in previous.items():
                signal.signal(signum, handler)

    def replace_ended(self) -> bool:
        """Starts the processes that are due and schedules the replacement of those that
        ended; False when every process failed to start (each said why), as a worker that
        cannot bind or reach the servers would, again and again."""
        now = time.monotonic()
        for slot, process in enumerate(self.processes):
            if process is None:
                if now >= self.due[slot]:
                    self.spawn(slot)
                continue
            status = process.exit_status()
            if status is None:
                if now - self.started[slot] > 30:
                    self.ever_ready = True
                continue
            lived = now - self.started[slot]
            # Each slot's last process counts until its replacement ends too: the processes
            # of a keeper that cannot bind rarely all end within the same look.
            self.failed_to_start[slot] = status == 1
            if not self.ever_ready and all(self.failed_to_start):
                return False
            if lived > RESPAWN_BACKOFF[1]:
                self.backoff[slot] = RESPAWN_BACKOFF[0]
            wait = self.backoff[slot]
            self.backoff[slot] = min(wait * 2, RESPAWN_BACKOFF[1])
            self.clean_up(slot)
            LOG.warning("worker process %d ended (exit status %s) after %.1f s; another "
                        "starts in %g s", process.pid, status, lived, wait)
            self.due[slot] = now + wait
        return True

    def finish(self) -> int:
        """Asks every process to finish its model and end, waits for them (killing them all
        at a second stop), and ends what they left; 0 when each ended as asked."""
        for process in self.processes:
            if process is not None:
                process.ask_to_finish()
        killed = False
        while any(process is not None and process.exit_status() is None
                  for process in self.processes):
            if self.stopping_cold.is_set() and not killed:
                LOG.warning("stopped again: the worker processes are killed, and their models "
                            "go back to the queue")
                for process in self.processes:
                    if process is not None:
                        process.kill()
                killed = True
            time.sleep(0.1)
        statuses = [self.clean_up(slot) for slot in range(len(self.processes))]
        return 0 if all(status in (None, 0, -signal.SIGTERM) for status in statuses) \
            and not killed else 1


def run_workers(installation: Installation, broker: str, results_url: str, heartbeat: float,
                count: int, verbosity: Sequence[str] = (), allowed: Sequence[str] = (),
                logfile: Optional[str] = None) -> int:
    """The worker command: `count` worker processes, kept running until SIGINT or SIGTERM,
    solving models and writing output only under the `allowed` folders (when there are
    any). Each process is the module queue_worker run as a program, with this command's
    -v/-q (`verbosity`), --heartbeat, --allow and --logfile; the URLs and the installation
    reach it through the environment, the URLs never on a command line."""
    allowed = allowed_folders(allowed)
    if not allowed:
        LOG.warning("no --allow: the workers solve models and write output wherever this "
                    "user can")
    if hasattr(os, "geteuid") and os.geteuid() == 0:
        LOG.warning("running as root: the workers solve whatever models they are sent with "
                    "every right; run them as a user of their own")
    require_libraries()
    check_url(broker, "broker")
    check_url(results_url, "results store")
    reachable_results(results_url)
    check_broker(celery_app(broker, heartbeat), broker)
    env = dict(os.environ)
    env.update({BROKER_VARIABLE: broker, RESULTS_VARIABLE: results_url,
                INSTALLATION_VARIABLE: installation.directory})
    if installation.settings_path:
        env[SETTINGS_VARIABLE] = installation.settings_path
    if installation.data_sources_path:
        env[DATA_SOURCES_VARIABLE] = installation.data_sources_path
    command = [sys.executable, "-m", WORKER_MODULE, *verbosity, "--module",
               installation.module, "--heartbeat", "%g" % heartbeat]
    for folder in allowed:
        command += ["--allow", folder]
    if logfile:
        command += ["--logfile", os.path.abspath(logfile)]
    return Keeper(command, env, count).run()
