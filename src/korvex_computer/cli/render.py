"""The text that the command line prints for the results of its jobs (without --json)."""

from __future__ import annotations

import json
from typing import Any, Dict, List, Sequence, Tuple


def _fields(rows: Sequence[Tuple[str, Any]], indent: str = "") -> List[str]:
    width = max(len(label) for label, _ in rows) + 1
    return ["%s%s %s" % (indent, (label + ":").ljust(width), value) for label, value in rows]


def _or_unset(value: Any, unset: str = "(not configured)") -> Any:
    return unset if value is None else value


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
    properties = sorted(result["solution"]["properties"].items())
    if properties:
        lines += _fields(properties, indent="  ")
    return "\n".join(lines)


def _outcome(entry: Dict[str, Any]) -> str:
    if not entry["ok"]:
        return "%s: %s" % (entry["cause"], entry["message"])
    status = entry["solution"]["properties"].get("Status")
    return str(status if status is not None else entry["solution"]["class"])


def batch(entries: Sequence[Dict[str, Any]], given: Sequence[str], processes: int,
          elapsed: float) -> str:
    """A table of the models, one row each in the order given, and a closing count."""
    rows = [("MODEL", "RESULT", "TIME", "DETAILS")]
    for name, entry in zip(given, entries):
        rows.append((name, "solved" if entry["ok"] else "failed",
                     "%.2f s" % entry["elapsed"], _outcome(entry)))
    widths = [max(len(row[column]) for row in rows) for column in range(3)]
    lines = ["  ".join([row[0].ljust(widths[0]), row[1].ljust(widths[1]),
                        row[2].rjust(widths[2]), row[3]]).rstrip() for row in rows]
    solved = sum(1 for entry in entries if entry["ok"])
    lines.append("%d solved, %d failed, in %d process%s, %.1f s" % (
        solved, len(entries) - solved, processes, "" if processes == 1 else "es", elapsed))
    return "\n".join(lines)


def located(result: Dict[str, Any]) -> str:
    return "\n".join(_fields([("Class", result["class"]), ("Namespace", result["namespace"]),
                              ("Assembly", result["assembly"])]))


def description(result: Dict[str, Any]) -> str:
    return json.dumps(result["description"], indent=2)
