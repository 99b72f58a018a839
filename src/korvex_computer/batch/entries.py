"""The shapes of the dictionaries that a batch passes around: the message that carries a model
to a worker, and the model's entry, its result, which the worker answers with, the output
folder keeps as the model's record (result.json) and ``solve --json`` prints. They are plain
dictionaries, ready for JSON; these types only name their keys for the type checker.

Nothing here needs the platform.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, TypedDict


class FileDigest(TypedDict):
    """A file that a solve read, by its name and its content."""

    file: str  # the file's name, without its folder
    sha256: str  # the SHA-256 of its content, in hex


class InputDigest(FileDigest):
    """The solver input file that a run read."""

    written: bool  # whether the run wrote it from the model (else the model's own .fre)


class Inputs(TypedDict, total=False):
    """What a solve read, as it was when the run began: what --resume compares a record
    with. A record's "model" and "thf" are always there; the others once the run began."""

    model: Optional[FileDigest]  # the model file
    thf: Optional[FileDigest]  # the first .thf file of the model's folder; None for none
    fre: Optional[InputDigest]  # the solver input file; None when the solver read none (Aster)
    solver: str  # the solver asked for
    installation: Optional[str]  # the installation directory the worker was bound to


# "class" is a keyword: the functional form.
Solution = TypedDict("Solution", {
    "class": Optional[str],  # the solution's .NET class (its full name when the SDK says)
    "properties": Dict[str, Any],  # its properties' values, paths among them; empty for none
}, total=False)


class SupersededAttempt(TypedDict):
    """A farm's attempt at a model that ended after another attempt answered for it, noted
    in the record of the attempt that did."""

    attempt_id: str  # the late attempt
    machine: Optional[str]  # where it ran
    ok: bool  # whether it solved the model
    cause: Optional[str]  # why it did not, a Cause
    elapsed: Optional[float]  # its solve's seconds


class Entry(TypedDict, total=False):
    """The result of one model: built up by the worker as the model is solved, so every key
    is optional to the type checker; an ended model's entry has "model", "solver", "ok",
    "elapsed" and "notes", and either the solution's keys or "cause" and "message"."""

    model: str  # the model file, an absolute path
    solver: str  # the solver that solved it ("Aster" for a structure model)
    ok: bool  # whether it was solved
    cause: str  # why not, in a few words: a Cause
    message: str  # why not, the details
    elapsed: float  # the solve's seconds (0.0 for a model that was not started)
    notes: List[str]  # what the module said while it solved the model
    process: int  # the worker process that solved it
    sandbox: Optional[str]  # the sandbox it was solved in (removed since), None in place
    input: Optional[str]  # the solver input file (its bare name once it went with a sandbox)
    inputs: Inputs  # what the solve read, by digest
    solution: Solution  # the solution's class and properties
    solver_error: Optional[str]  # the solver's last error line in its log, for a failed run
    files: List[str]  # the run's files that outlive it (in the output folder, or in place)
    output: Optional[str]  # the model's output folder, where its files and record are kept
    # Added by a farm's worker:
    machine: str  # the worker's machine
    attempt: int  # the delivery of the model that this is (1 for the first)
    attempt_id: str  # the attempt whose answer this is
    superseded_attempts: List[SupersededAttempt]  # attempts that ended after this one
    # Added by the batch, from an output folder's records:
    resumed: bool  # kept from an earlier run (--resume), not solved again
    solved_again: str  # why the model's record did not stand for it ("site.thf changed")


class FailureRecord(TypedDict, total=False):
    """What else a failed model's entry keeps of its failure (JobFailed.record): what its run
    left, when it ran."""

    solver_error: Optional[str]  # the solver's last error line in its log
    inputs: Inputs  # what the run read
    input: Optional[str]  # the solver input file
    files: List[str]  # the run's files that were kept
    output: Optional[str]  # the output folder they were kept in


class _TaskMessageKeys(TypedDict):
    model: str  # the model file
    solver: str  # "PipeStress" or "Aster"
    sandbox: bool  # whether to solve a copy of the model in a folder of its own


class TaskMessage(_TaskMessageKeys, total=False):
    """What a worker is told to solve: a model and how."""

    output: Optional[str]  # the model's output folder, for its files and record; None: none
    thf: Optional[str]  # the .thf file of the model's folder, found by the batch (None: none)
    synced_at_end: bool  # the batch syncs the records at its end: none synced one by one


class Answer(TypedDict):
    """What a farm's attempt stores in the results store, sealed, as the model's answer."""

    entry: Entry  # the model's entry
