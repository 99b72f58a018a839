"""A worker process of the local pool (see local.py).

Reads lines of JSON on standard input: first the installation, which it binds to once, then
one model to solve per line; it answers each model with one line of JSON on standard output.
It ends when its standard input does, or when the command line is gone. It ignores Ctrl-C,
which is for the command line that started it: that one stops the workers itself, with SIGTERM
(on Windows the console's Ctrl-Break).
"""

from __future__ import annotations

import json
import os
import signal
import sys
from typing import Optional, TextIO

from . import jobs, task


def answers_channel() -> TextIO:
    """Standard output, kept for the answers alone: whatever else this process writes there
    (the SDK, a solver, a stray print) goes to standard error instead."""
    channel = os.fdopen(os.dup(sys.stdout.fileno()), "w", encoding="utf-8")
    sys.stdout.flush()
    os.dup2(sys.stderr.fileno(), sys.stdout.fileno())
    return channel


def main() -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # The command line stops a worker with SIGTERM (see jobs.STOP).
    signal.signal(signal.SIGTERM, jobs.STOP.handle)
    if sys.platform == "win32":  # the console's Ctrl-Break, sent to the worker's group
        signal.signal(signal.SIGBREAK, jobs.STOP.handle)
    answers = answers_channel()

    def tell_the_pool(sandbox: str) -> None:
        try:
            answers.write(json.dumps({"sandbox_named": sandbox}) + "\n")
            answers.flush()
        except OSError:  # the command line is gone
            pass

    jobs.SANDBOX_LISTENERS.append(tell_the_pool)
    first = sys.stdin.readline()
    if not first:  # the command line ended before it said anything
        return
    installation = jobs.Installation(**json.loads(first))
    binding_failure: Optional[jobs.JobFailed] = None
    try:
        jobs.bind(installation)
    except jobs.JobFailed as failure:
        binding_failure = failure
    for line in sys.stdin:
        answer = json.dumps(task.solve(json.loads(line), binding_failure)) + "\n"
        try:
            answers.write(answer)
            answers.flush()
        except OSError:  # the command line is gone; an output folder has the record
            # What is left to write goes nowhere, instead of failing again at the exit.
            os.dup2(os.open(os.devnull, os.O_WRONLY), answers.fileno())
            break
    answers.close()


if __name__ == "__main__":
    main()
