"""What a batch keeps of each model: its files and its record, in an output folder.

With an output folder DIR, each model of a batch has a folder of its own, DIR/<model name>
(the model file's name without its extension, made unique within the batch), where the
machine that solved the model copies the run's files (input, results, logs) before the
solution is disposed of, then writes the model's record, the result that ``solve --json``
prints, as result.json. A record is written whole or not at all (a temporary file renamed),
so a batch whose client died leaves a record for every model that ended; ``--resume`` reads
them back. DIR/batch.json indexes the records once the batch ends.

Nothing here needs the platform.
"""

from __future__ import annotations

import hashlib
import json
import os
import shutil
import uuid
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, cast

from .entries import Entry, FileDigest, InputDigest, Inputs

RECORD = "result.json"
INDEX = "batch.json"


def output_names(paths: Sequence[str]) -> List[str]:
    """A folder name per model, in the order given: the model file's name without its
    extension, then "Name (2)", "Name (3)", ... for the next models of the same name (names
    compared without case, as Windows does)."""
    names: List[str] = []
    taken = set()
    for path in paths:
        base = os.path.splitext(os.path.basename(path))[0] or "model"
        name, number = base, 1
        while name.lower() in taken:
            number += 1
            name = "%s (%d)" % (base, number)
        taken.add(name.lower())
        names.append(name)
    return names


def digest(path: Optional[str]) -> Optional[str]:
    """The SHA-256 of a file's content; None for no file, or one that cannot be read."""
    if not path:
        return None
    hashed = hashlib.sha256()
    try:
        with open(path, "rb") as stream:
            for block in iter(lambda: stream.read(1 << 20), b""):
                hashed.update(block)
    except OSError:
        return None
    return hashed.hexdigest()


def first_file(folder: str, extension: str) -> Optional[str]:
    """The first file of a folder, in listing order, whose name ends with `extension` (any
    case): the .thf file that a solve takes from a model's folder."""
    try:
        names = os.listdir(folder)
    except OSError:
        return None
    for name in names:
        if name.lower().endswith(extension) and os.path.isfile(os.path.join(folder, name)):
            return os.path.join(folder, name)
    return None


def thf_by_folder(paths: Sequence[str]) -> Dict[str, Optional[str]]:
    """The .thf file that a solve of each model takes from its folder (first_file), by
    folder: each folder is listed once for a whole batch, not once per model."""
    found: Dict[str, Optional[str]] = {}
    for path in paths:
        folder = os.path.dirname(os.path.abspath(path))
        if folder not in found:
            found[folder] = first_file(folder, ".thf")
    return found


# For a .thf file not looked up yet: looked up then.
LOOK_UP = "look up"


def _file_digest(path: Optional[str]) -> Optional[FileDigest]:
    found = digest(path)
    return None if path is None or found is None else {
        "file": os.path.basename(path), "sha256": found}


def model_inputs(path: str, thf: Optional[str] = LOOK_UP) -> Inputs:
    """What a solve of the model file reads beside the solver input file: the model and the
    first .thf file of its folder (`thf`, when the batch found it already), each as its
    name and digest (None when there is none)."""
    if thf is LOOK_UP:
        thf = first_file(os.path.dirname(path), ".thf")
    return {"model": _file_digest(path), "thf": _file_digest(thf)}


def input_digest(path: str, written: bool) -> Optional[InputDigest]:
    """The solver input file that a run read, and whether the run wrote it from the model."""
    found = _file_digest(path)
    return None if found is None else {**found, "written": written}


def why_solve_again(record: Entry, path: str, solver: str,
                    installation: Optional[str], thf_file: Optional[str] = LOOK_UP
                    ) -> Optional[str]:
    """Why a model's record cannot stand for a new solve of it with `solver` (and, when
    given, the installation `installation`); None when every input the solve read is as it
    was: the model, its own .fre file, the folder's .thf file, the solver, the
    installation."""
    if not record.get("ok"):
        return "it failed last time"
    inputs = record.get("inputs")
    if record.get("model") != path or not isinstance(inputs, dict):
        return "its record does not name the files it was solved from"
    reasons: List[str] = []
    now = model_inputs(path, thf_file)
    if now["model"] != inputs.get("model"):
        reasons.append("%s changed" % os.path.basename(path))
    was, thf = inputs.get("thf"), now["thf"]
    if was != thf:
        if was is None or thf is None or was.get("file") == thf["file"]:
            reasons.append("%s %s" % ((thf or was or {"file": None}).get("file"),
                                      "added" if was is None
                                      else "removed" if thf is None else "changed"))
        else:
            reasons.append("%s replaces %s" % (thf["file"], was.get("file")))
    fre = inputs.get("fre")
    if fre is not None:  # else the solver read none (Aster)
        own = os.path.splitext(path)[0] + ".fre"
        written = fre.get("written") and not os.path.exists(own)  # written again alike
        if not written and _file_digest(own) != {"file": fre.get("file"),
                                                 "sha256": fre.get("sha256")}:
            reasons.append("%s %s" % (os.path.basename(own), "changed" if os.path.exists(own)
                                      else "removed"))
    if inputs.get("solver") != solver:
        reasons.append("solver %s, was %s" % (solver, inputs.get("solver")))
    solved_by = inputs.get("installation")
    if installation is not None and (not isinstance(solved_by, str)
                                     or _key(solved_by) != _key(installation)):
        reasons.append("installation %s, was %s" % (installation, inputs.get("installation")))
    return ", ".join(reasons) or None


def _key(path: str) -> str:
    """A path as the file system compares it (an SDK may spell a path its own way)."""
    return os.path.normcase(os.path.normpath(os.path.abspath(path)))


def _in_run(value: Any, run_directory: str) -> bool:
    return isinstance(value, str) and bool(value) and \
        _key(os.path.dirname(value)) == _key(run_directory)


# The files that a solver run writes beside its input, named after the model:
# <model>.<solver>.log, .json (its results) and .inp (Aster's analysis input).
SOLVER_FILES = (".log", ".json", ".inp")


def run_files(result: Entry, run_directory: str, started_at: float,
              in_sandbox: bool) -> List[str]:
    """The files of a model's run: in a sandbox all but the model's copy; in place the
    files that the run names (its input, the solution's files) and those that its solver
    wrote under the model's name, each looked up by its name: a folder of many models is
    not listed for each of them."""
    model_copy = os.path.join(run_directory, os.path.basename(result["model"]))
    found: Dict[str, str] = {}
    if in_sandbox:
        for name in os.listdir(run_directory):
            path = os.path.join(run_directory, name)
            if os.path.isfile(path) and _key(path) != _key(model_copy):
                found[_key(path)] = path
    else:
        stem = os.path.join(run_directory, os.path.splitext(os.path.basename(model_copy))[0])
        solver = str(result.get("solver") or "").lower()
        for path in [stem + ".fre"] + [stem + "." + solver + ext for ext in SOLVER_FILES]:
            if os.path.isfile(path) and os.path.getmtime(path) >= started_at - 2:
                found[_key(path)] = path
    named: List[Any] = [result.get("input")] + list(result["solution"]["properties"].values())
    for value in named:
        if _in_run(value, run_directory) and os.path.isfile(value):
            found.setdefault(_key(value), value)
    return sorted(found.values())


def solver_error(files: Sequence[str]) -> Optional[str]:
    """The solver's own last error line in the run's log (a .log file of the run), without
    its "error:" in front; None when it wrote none. Only the log's end is read: a solver's
    log can be long, and its error is at the end."""
    found: Optional[str] = None
    for path in files:
        if not path.lower().endswith(".log"):
            continue
        try:
            with open(path, "rb") as stream:
                stream.seek(max(0, os.path.getsize(path) - 65536))
                lines = stream.read().decode("utf-8", "replace").splitlines()
        except OSError:
            continue
        for line in lines:
            words = " ".join(line.split())
            if words.lower().startswith("error"):
                found = words.split(":", 1)[1].strip() if ":" in words else words
    return found[:500] if found else None


def keep_files(result: Entry, run_directory: str, started_at: float,
               in_sandbox: bool, folder: Optional[str]) -> None:
    """Copies the run's files into `folder` (when there is one) and makes every path of
    the result name a file that outlives the run: the copy, the file in place, or None for
    a file that goes with the sandbox (the input file then keeps its bare name). Called
    before the solution is disposed of."""
    files = run_files(result, run_directory, started_at, in_sandbox)
    moved: Dict[str, Optional[str]] = {}  # by _key of the run's file
    if folder is not None:
        moved = dict(zip(map(_key, files), copy_files_into(files, folder)))
    elif in_sandbox:
        moved = dict.fromkeys(_key(path) for path in files)

    def outliving(value: Any) -> Any:
        if _in_run(value, run_directory):
            if _key(value) in moved:
                return moved[_key(value)]
            return None if in_sandbox else value
        return value

    solved_from = result.get("input")
    map_paths(result, outliving)
    if result["input"] is None and isinstance(solved_from, str):
        result["input"] = os.path.basename(solved_from)  # which file, though it is gone
    if folder is not None:
        result["files"] = sorted(path for path in moved.values() if path is not None)
    else:
        result["files"] = [] if in_sandbox else files
    result["output"] = folder


def map_paths(result: Entry, where: Callable[[Any], Any]) -> None:
    """Replaces the paths that a result names (its input file and its solution's
    properties) by what `where` makes of each."""
    result["input"] = where(result.get("input"))
    properties = result.get("solution", {}).get("properties", {})
    for key, value in properties.items():
        properties[key] = where(value)


def copy_files_into(paths: Sequence[str], folder: str) -> List[str]:
    """Copies files into a model's output folder, all or none; the copies' paths. A file
    there of the same name, which a batch did not write (empty_folder removed those it
    did), is left as it is and fails the copy."""
    copies: List[str] = []
    try:
        for path in paths:
            target = os.path.join(folder, os.path.basename(path))
            if os.path.lexists(target):
                raise FileExistsError("%s was not written by a batch: it is left as it is "
                                      "(move it, or give another output folder)" % target)
            copies.append(shutil.copy2(path, target))
    except BaseException:  # no file without a record naming it
        for copy in copies:
            _remove(copy)
        raise
    return copies


def _remove(path: str) -> None:
    try:
        os.remove(path)
    except OSError:
        pass


def empty_folder(folder: str) -> List[str]:
    """Makes a model's output folder, or removes from it what a former run of a batch left
    there, which would mislead: the files that its record names, and the record. A file that
    no record names was not written by a batch and stays. The names of the files left."""
    os.makedirs(folder, exist_ok=True)
    record = read_record(folder)
    if record is not None:
        for name in batch_files(record):
            if os.path.isfile(os.path.join(folder, name)):
                os.remove(os.path.join(folder, name))
        os.remove(os.path.join(folder, RECORD))
    return os.listdir(folder)


def batch_files(record: Entry) -> List[str]:
    """The names of the files that a batch wrote in a model's output folder, as its record
    says (the files it kept there)."""
    files = record.get("files")
    if not isinstance(files, list):
        return []
    return [os.path.basename(path) for path in files if isinstance(path, str)
            and os.path.basename(path) not in ("", RECORD)]


def discard_folder(folder: str, left: Sequence[str]) -> None:
    """Removes what a stopped model's run put in its output folder, the files there but
    those `left` by empty_folder, and the folder once empty, unless its record was written:
    no files of a batch stay there without a record that vouches for them."""
    try:
        if os.path.exists(os.path.join(folder, RECORD)):
            return
        for name in os.listdir(folder):
            if name not in left and os.path.isfile(os.path.join(folder, name)):
                os.remove(os.path.join(folder, name))
        if not os.listdir(folder):
            os.rmdir(folder)
    except OSError:  # gone
        pass


def write_json(path: str, document: Any, sync: bool = True) -> None:
    """Writes a JSON file whole or not at all: readers see the former file or the new one.
    `sync` false leaves the file's data to be synced later (sync_records), with others."""
    temporary = "%s.%s.tmp" % (path, uuid.uuid4().hex[:8])
    try:
        with open(temporary, "w", encoding="utf-8") as stream:
            json.dump(document, stream, indent=2)
            if sync:
                stream.flush()
                os.fsync(stream.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.remove(temporary)
        except OSError:
            pass
        raise


def write_record(folder: str, entry: Entry, sync: bool = True) -> None:
    os.makedirs(folder, exist_ok=True)
    write_json(os.path.join(folder, RECORD), entry, sync)


def sync_records(folders: Sequence[Optional[str]]) -> None:
    """Makes the records written without a sync of their own (and the files they name)
    durable, once for a whole batch: one sync of the file systems where there is one, else
    each record flushed in turn. A sync per record cost more than many solves."""
    if hasattr(os, "sync"):
        os.sync()
        return
    for folder in folders:
        if folder is None:
            continue
        try:
            with open(os.path.join(folder, RECORD), "r+b") as stream:
                os.fsync(stream.fileno())
        except OSError:  # no record: the model did not end
            pass


def read_record(folder: str) -> Optional[Entry]:
    try:
        with open(os.path.join(folder, RECORD), "r", encoding="utf-8") as stream:
            record = json.load(stream)
    except (OSError, ValueError):
        return None
    # Read back as written: an entry, if it is a dictionary at all (its readers check the
    # values that they rely on).
    return cast(Entry, record) if isinstance(record, dict) else None


def kept_record(folder: str, path: str, solver: str, installation: Optional[str],
                thf: Optional[str] = LOOK_UP
                ) -> Tuple[Optional[Entry], Optional[str]]:
    """The record in `folder` when it stands for a solve of the model now (see
    why_solve_again), else None and why the model is solved again (None when it has no
    record)."""
    record = read_record(folder)
    if record is None:
        return None, None
    reason = why_solve_again(record, path, solver, installation, thf)
    return (record, None) if reason is None else (None, reason)


def write_index(output: str, entries: Sequence[Entry], names: Sequence[str],
                summary: Dict[str, Any]) -> None:
    """DIR/batch.json: the batch's counts and, per model, its outcome and its record."""
    models = [{"model": entry["model"], "ok": entry["ok"], "cause": entry.get("cause"),
               "record": os.path.join(output, name, RECORD)
               if os.path.isfile(os.path.join(output, name, RECORD)) else None}
              for entry, name in zip(entries, names)]
    write_json(os.path.join(output, INDEX), dict(summary, models=models))
