"""A worker process of ``solve`` with several models (see batch.py).

Reads lines of JSON on standard input: first the installation, which it binds to once, then
one model to solve per line; it answers each model with one line of JSON on standard output.
It ends when its standard input does.
"""

from __future__ import annotations

import json
import os
import sys
import time
from typing import Any, Callable, Dict, Optional, TextIO

from . import jobs


def solve(message: Dict[str, Any], binding_failure: Optional[jobs.JobFailed],
          before_dispose: Optional[Callable[[str], None]] = None) -> Dict[str, Any]:
    path, solver, sandbox = message["model"], message["solver"], message["sandbox"]
    started = time.monotonic()
    entry: Dict[str, Any] = {"model": os.path.abspath(path), "solver": solver,
                             "process": os.getpid()}
    try:
        if binding_failure is not None:
            raise binding_failure
        entry.update(jobs.solve_model(path, solver, sandbox, before_dispose))
        entry["ok"] = True
    except jobs.JobFailed as failure:
        entry.update(ok=False, cause=failure.cause, message=failure.message)
    except Exception as error:
        entry.update(ok=False, cause="solver failure", message=jobs.error_text(error))
    entry.setdefault("elapsed", round(time.monotonic() - started, 3))
    entry["notes"] = jobs.OUTPUT.take_messages()
    return entry


def answers_channel() -> TextIO:
    """Standard output, kept for the answers alone: whatever else this process writes there
    (the SDK, a solver, a stray print) goes to standard error instead."""
    channel = os.fdopen(os.dup(sys.stdout.fileno()), "w", encoding="utf-8")
    sys.stdout.flush()
    os.dup2(sys.stderr.fileno(), sys.stdout.fileno())
    return channel


def main() -> None:
    answers = answers_channel()
    installation = jobs.Installation(**json.loads(sys.stdin.readline()))
    binding_failure: Optional[jobs.JobFailed] = None
    try:
        jobs.bind(installation)
    except jobs.JobFailed as failure:
        binding_failure = failure
    for line in sys.stdin:
        answers.write(json.dumps(solve(json.loads(line), binding_failure)) + "\n")
        answers.flush()


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:  # the command line reports the interruption
        sys.exit(130)
