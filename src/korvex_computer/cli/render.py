"""The text that the command line prints for the results of its jobs (without --json)."""

from __future__ import annotations

import json
import time
from typing import Any, Dict, List, Sequence, Tuple


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


def info(result: Dict[str, Any]) -> str:
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


def solution(result: Dict[str, Any]) -> str:
    where = "in a sandbox, now removed" if result["sandbox"] else "in place"
    lines = ["Solved %s with %s in %.2f s (%s)" % (result["model"], result["solver"],
                                                    result["elapsed"], where),
             "Solution: %s" % result["solution"]["class"]]
    if result.get("input"):
        lines.insert(1, "Input: %s" % result["input"])
    properties = sorted((name, _shown(value))
                        for name, value in result["solution"]["properties"].items())
    if properties:
        lines += _fields(properties, indent="  ")
    return "\n".join(lines)


def _result(entry: Dict[str, Any]) -> str:
    if entry["ok"]:
        return "kept" if entry.get("resumed") else "solved"
    return entry["cause"] if entry["cause"] in ("interrupted", "never started") else "failed"


def _outcome(entry: Dict[str, Any]) -> str:
    if not entry["ok"]:
        return "%s: %s" % (entry["cause"], entry["message"])
    properties = entry["solution"]["properties"]
    status = properties.get("Status")
    shown = [str(status if status is not None else entry["solution"]["class"])]
    if entry.get("solver"):
        shown.append("by " + entry["solver"])
    if properties.get("Warnings"):
        shown.append("warnings: " + _shown(properties["Warnings"]))
    if entry.get("output"):
        shown.append("kept in " + entry["output"])
    return ", ".join(shown)


def batch(entries: Sequence[Dict[str, Any]], given: Sequence[str], processes: int,
          elapsed: float) -> str:
    """A table of the models, one row each in the order given, and a closing count."""
    rows = [("MODEL", "RESULT", "TIME", "DETAILS")]
    for name, entry in zip(given, entries):
        rows.append((name, _result(entry), "%.2f s" % entry["elapsed"], _outcome(entry)))
    widths = [max(len(row[column]) for row in rows) for column in range(3)]
    lines = ["  ".join([row[0].ljust(widths[0]), row[1].ljust(widths[1]),
                        row[2].rjust(widths[2]), row[3]]).rstrip() for row in rows]
    counts: Dict[str, int] = {}
    for entry in entries:
        counts[_result(entry)] = counts.get(_result(entry), 0) + 1
    solved = counts.get("solved", 0) + counts.get("kept", 0)
    closing = "%d solved, %d failed" % (solved, counts.get("failed", 0))
    for result in ("interrupted", "never started"):
        if counts.get(result):
            closing += ", %d %s" % (counts[result], result)
    if counts.get("kept"):
        closing += " (%d kept from an earlier run)" % counts["kept"]
    lines.append("%s, in %d process%s, %.1f s" % (closing, processes,
                                                 "" if processes == 1 else "es", elapsed))
    return "\n".join(lines)


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
        lines = ["queue %s: %d waiting, %d consumers" % (queue["name"], queue["waiting"],
                                                         queue["consumers"])]
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
