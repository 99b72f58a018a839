"""The body of one model's task, the same in a worker of the local pool and in a worker of
the job queue: solves the model and answers with its result, a failure included."""

from __future__ import annotations

import os
import time
from typing import Any, Dict, Optional

from . import jobs


def solve(message: Dict[str, Any], binding_failure: Optional[jobs.JobFailed]) -> Dict[str, Any]:
    path, solver, sandbox = message["model"], message["solver"], message["sandbox"]
    started = time.monotonic()
    entry: Dict[str, Any] = {"model": os.path.abspath(path), "solver": solver,
                             "process": os.getpid()}
    try:
        if binding_failure is not None:
            raise binding_failure
        entry.update(jobs.solve_model(path, solver, sandbox))
        entry["ok"] = True
    except jobs.JobFailed as failure:
        entry.update(ok=False, cause=failure.cause, message=failure.message)
    except Exception as error:
        entry.update(ok=False, cause="solver failure", message=jobs.error_text(error))
    entry.setdefault("elapsed", round(time.monotonic() - started, 3))
    entry["notes"] = jobs.OUTPUT.take_messages()
    return entry
