"""The text that the command line prints for the results of its jobs (without --json)."""

from __future__ import annotations

import json
import os
import time
from typing import Any, Dict, List, Optional, Sequence, Tuple

from ..batch.broker import QUEUE
from ..batch.common import Cause
from ..batch.entries import Entry

WIDTH = 100  # of a batch's rows, which a terminal of 100 columns shows unwrapped
NAME_WIDTH = 40  # of a model's name in a row, cut in the middle beyond it


def _fields(rows: Sequence[Tuple[str, Any]], indent: str = "") -> List[str]:
    width = max(len(label) for label, _ in rows) + 1
    return ["%s%s %s" % (indent, (label + ":").ljust(width), value) for label, value in rows]


def _or_unset(value: Any, unset: str = "(not configured)") -> Any:
    return unset if value is None else value


def _shown(value: Any) -> str:
    """A value as a reader wants it: a list as its items, nothing as "(none)"."""
    if isinstance(value, (list, tuple)):
        return "; ".join(_shown(item) for item in value) if value else "(none)"
    return "(none)" if value is None else str(value)


def info_text(result: Dict[str, Any]) -> str:
    solvers = result["solvers"]
    return "\n".join(_fields([
        ("Installation", result["installation"]),
        ("Module", result["module"]),
        ("Assemblies folder", result["assemblies_folder"]),
        ("Settings", result["settings"]),
        ("Data sources", result["data_sources"]),
        ("PipeStress solver", _or_unset(solvers["PipeStress"])),
        ("Aster solver", _or_unset(solvers["Aster"])),
        ("Data folder", _or_unset(result["data_folder"], "(none)")),
        ("Projects folder", _or_unset(result["projects_folder"], "(none)")),
        ("Assemblies loaded", ", ".join(result["assemblies_loaded"]) or "(none)"),
    ]))


def fre(result: Dict[str, Any]) -> str:
    return str(result["fre"])


# Properties of every SDK object, which say nothing of the solution.
_NOISE = ("IsDisposed",)


def solution(result: Entry) -> str:
    """A solved model: what solved it, in how long, and the solution's properties that hold
    something (the input file shown once, above them)."""
    where = "in a sandbox, now removed" if result["sandbox"] else "in place"
    lines = ["Solved %s with %s in %.2f s (%s)" % (result["model"], result["solver"],
                                                    result["elapsed"], where),
             "Solution: %s" % result["solution"]["class"]]
    if result.get("input"):
        lines.insert(1, "Input: %s" % result["input"])
    properties = sorted((name, _shown(value))
                        for name, value in result["solution"]["properties"].items()
                        if value not in (None, "", []) and name not in _NOISE
                        and not (name == "InputFile" and value == result.get("input")))
    if properties:
        lines += _fields(properties, indent="  ")
    return "\n".join(lines)


def _result(entry: Entry) -> str:
    if entry["ok"]:
        return "kept" if entry.get("resumed") else "solved"
    return entry["cause"] if entry["cause"] in _UNFINISHED else "failed"


def _time(entry: Entry) -> str:
    """A model's solve time; none for a model that was not solved to its end."""
    return "" if entry.get("cause") in _UNFINISHED else "%.2f s" % entry["elapsed"]


def _failures_by_cause(entries: Sequence[Entry], names: Sequence[str]) -> List[str]:
    """The failed models again, under their causes, most frequent first: a few failures
    among hundreds of rows would scroll away."""
    by_cause: Dict[str, List[str]] = {}
    for name, entry in zip(names, entries):
        if _result(entry) == "failed":
            by_cause.setdefault(entry["cause"], []).append(
                "    %s: %s" % (name, _message(entry)))
    lines: List[str] = []
    for cause, failed in sorted(by_cause.items(), key=lambda item: -len(item[1])):
        lines.append("  %s (%d model%s):" % (cause, len(failed), "" if len(failed) == 1
                                               else "s"))
        lines.extend(failed)
    return ["Failed, by cause:"] + lines if lines else []


def cut_middle(text: str, width: int) -> str:
    """`text` cut to `width` characters in its middle, where "..." stands for what is cut:
    a path's start and its file's name both stay."""
    if len(text) <= width:
        return text
    head = (width - 3) // 2
    return text[:head] + "..." + text[len(text) - (width - 3 - head):]


def shown_path(path: str, output: Optional[str] = None) -> str:
    """A path relative to the current folder when it lies within, else relative to the
    output folder when within that one, else whole."""
    for base in [os.getcwd()] + ([output] if output else []):
        try:
            relative = os.path.relpath(path, base)
        except ValueError:  # on another drive
            continue
        if relative != os.pardir and not relative.startswith(os.pardir + os.sep):
            return relative
    return path


def _message(entry: Entry) -> str:
    """A failure's message with the model's path as the table shows it."""
    return str(entry["message"]).replace(entry["model"], shown_path(entry["model"]))


_UNFINISHED = (Cause.INTERRUPTED, Cause.NEVER_STARTED)


def _outcome(entry: Entry, output: Optional[str]) -> str:
    if entry["ok"]:
        shown = _solution_outcome(entry, output)
    elif entry["cause"] in _UNFINISHED:  # the cause is the row's result already
        shown = entry["message"]
    else:
        shown = "%s%s: %s" % (entry["cause"], _where(entry), _message(entry))
    if entry.get("solved_again"):  # first: a row too long is cut at its end
        shown = "solved again: %s; %s" % (entry["solved_again"], shown)
    return shown


def _where(entry: Entry) -> str:
    """" on node7 (attempt 2)" for a model that the farm solved: the machine, and the
    attempt when it was not the first."""
    if not entry.get("machine"):
        return ""
    attempt = entry.get("attempt")
    return " on %s%s" % (entry["machine"], " (attempt %d)" % attempt
                         if isinstance(attempt, int) and attempt > 1 else "")


def _solution_outcome(entry: Entry, output: Optional[str]) -> str:
    properties = entry["solution"]["properties"]
    status = properties.get("Status")
    shown = [str(status if status is not None else entry["solution"]["class"])]
    if entry.get("solver"):
        shown.append("by " + entry["solver"] + _where(entry))
    if properties.get("Warnings"):
        shown.append("warnings: " + _shown(properties["Warnings"]))
    kept = entry.get("output")
    if kept:
        shown.append("kept in " + shown_path(kept, output))
    return ", ".join(shown)


def batch(entries: Sequence[Entry], processes: int, elapsed: float,
          output: Optional[str] = None) -> str:
    """A table of the models, one row each in the order given, that fits WIDTH columns
    (paths relative to the current folder, or to the output folder); the failed models again
    by cause; and a closing line: solved now, failed, kept from an earlier run, the wall time
    against the solves' time, the slowest models."""
    names = [cut_middle(shown_path(entry["model"]), NAME_WIDTH) for entry in entries]
    rows = [("MODEL", "RESULT", "TIME", "DETAILS")]
    for name, entry in zip(names, entries):
        rows.append((name, _result(entry), _time(entry), _outcome(entry, output)))
    widths = [max(len(row[column]) for row in rows) for column in range(3)]
    details = max(WIDTH - sum(widths) - 6, 20)
    lines = ["  ".join([row[0].ljust(widths[0]), row[1].ljust(widths[1]),
                        row[2].rjust(widths[2]), _cut_end(row[3], details)]).rstrip()
             for row in rows]
    counts: Dict[str, int] = {}
    for entry in entries:
        counts[_result(entry)] = counts.get(_result(entry), 0) + 1
    lines += _failures_by_cause(entries, names)
    closing = "%d solved, %d failed, %d kept" % (counts.get("solved", 0),
                                                 counts.get("failed", 0), counts.get("kept", 0))
    for result in _UNFINISHED:
        if counts.get(result):
            closing += ", %d %s" % (counts[result], result)
    closing += ", in %d process%s, %.1f s" % (processes, "" if processes == 1 else "es",
                                               elapsed)
    lines.append(closing + _solve_times(entries, WIDTH - len(closing)))
    return "\n".join(lines)


def _cut_end(text: str, width: int) -> str:
    return text if len(text) <= width else text[:width - 3] + "..."


def _solve_times(entries: Sequence[Entry], width: int) -> str:
    """"; 12.3 s of solves; slowest: A 3.20 s, B 3.10 s", the models solved now, as many
    of the three slowest as `width` holds."""
    solved = [entry for entry in entries if _result(entry) in ("solved", "failed")]
    if not solved:
        return ""
    shown = "; %.1f s of solves" % sum(entry.get("elapsed", 0.0) for entry in solved)
    slowest = sorted(solved, key=lambda entry: -entry.get("elapsed", 0.0))[:3]
    if len(solved) > 1:
        named: List[str] = []
        for entry in slowest:
            name = "%s %.2f s" % (cut_middle(os.path.basename(entry["model"]), 24),
                                  entry.get("elapsed", 0.0))
            if len(shown + "; slowest: " + ", ".join(named + [name])) > width:
                break
            named.append(name)
        if named:
            shown += "; slowest: " + ", ".join(named)
    return shown


def located(result: Dict[str, Any]) -> str:
    return "\n".join(_fields([("Class", result["class"]), ("Namespace", result["namespace"]),
                              ("Assembly", result["assembly"])]))


def description(result: Dict[str, Any]) -> str:
    return json.dumps(result["description"], indent=2)


def farm(status: Dict[str, Any]) -> str:
    """The farm's status: its queue, its worker processes, its batches in flight."""
    def clock(timestamp: float) -> str:
        return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(timestamp))

    queue = status["queue"]
    if "error" in queue:
        lines = ["queue %s: %s" % (queue["name"], queue["error"])]
    else:
        lines = ["queue %s: %d waiting, %d being solved, %d consumers, %d dead letters" % (
            queue["name"], queue["waiting"], queue["being_solved"], queue["consumers"],
            queue["dead_letters"])]
    lines.append("worker processes: %d" % len(status["workers"]))
    for worker in status["workers"]:
        doing = ("solving %s for %.1f s" % (worker["model"], worker["solving_for"])
                 if worker["model"] else "waiting for a model")
        lines.append("  %s (process %d) since %s: %s" % (worker["name"], worker["process"],
                                                        clock(worker["since"]), doing))
    lines.append("batches in flight: %d" % len(status["batches"]))
    for batch in status["batches"]:
        lines.append("  %s sent by %s at %s (%s): %d done, %d failed, %d running, %d "
                     "waiting of %d models" % (
                         batch["id"], batch["sender"], clock(batch["sent_at"]),
                         batch["solver"], batch["done"], batch["failed"], batch["running"],
                         batch["waiting"], batch["models"]))
    return "\n".join(lines)


def dead_letters(report: Dict[str, Any]) -> str:
    """The dead letters listed, put back or dropped: what was done, in a line, then each."""
    letters, done = report["letters"], report["done"]
    count = "%d dead letter%s" % (len(letters), "" if len(letters) == 1 else "s")
    lines = [{"listed": "%s in %s (left there)" % (count, report["queue"]),
              "put back": "%s put back in the queue %s" % (count, QUEUE)}.get(
                  done, "%s %s" % (count, done))]
    for letter in letters:
        since = ("" if letter["dead_since"] is None else " since " + time.strftime(
            "%Y-%m-%d %H:%M:%S", time.localtime(letter["dead_since"])))
        lines.append("  %s (batch %s, task %s): %d deliver%s, dead%s: %s" % (
            letter["model"] or "?", letter["batch"] or "?", letter["task"] or "?",
            letter["deliveries"], "y" if letter["deliveries"] == 1 else "ies", since,
            letter["last_error"]))
    return "\n".join(lines)
