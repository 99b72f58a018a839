"""The command line: ``python -m korvex_computer`` (or the ``korvex_computer`` command).

    korvex_computer [options] info
    korvex_computer [options] fre MODEL.quarl
    korvex_computer [options] solve MODEL.quarl [MODEL.quarl ...] --solver PipeStress|Aster
                              [--sandbox] [--jobs N | --broker [URL] [--results URL]
                              [--timeout SECONDS] [--no-worker-timeout SECONDS]]
                              [--output DIR [--resume]]
    korvex_computer [options] worker [--broker URL] [--results URL] [--concurrency N]
                              [--heartbeat SECONDS] [--allow DIR ...]
                              [--logfile FILE]
    korvex_computer [options] cancel BATCH [--results URL]
    korvex_computer [options] status [--broker URL] [--results URL]
    korvex_computer [options] dead-letters [--broker URL] [--batch BATCH]
                              [--put-back | --drop]
    korvex_computer [options] describe CLASS
    korvex_computer [options] find CLASS

Every command first binds the module to the installation (solve --broker excepted, whose
workers bind on their machines). The exit status is 0 when the job was done, 1 when it failed
(a one-line message on standard error names the cause), 2 for a command line that is not
understood, 130 when a batch was interrupted (Ctrl-C or SIGTERM) and its table printed.
Parsing the command line needs nothing of the platform:
the help and the usage errors work where the .NET bridge or the COM bridge is missing, and
the commands that need them then fail with "missing platform".
"""

from __future__ import annotations

import argparse
import glob
import json
import logging
import os
import shlex
import signal
import subprocess
import sys
import threading
import time
from typing import Any, Dict, List, Optional, Sequence, Tuple

# Celery is imported when used
from ..batch.broker import (DEAD_LETTERS, DEFAULT_HEARTBEAT, DEFAULT_NO_WORKER_TIMEOUT,
                            DEFAULT_TIMEOUT)
from ..batch.common import (BROKER_VARIABLE, DATA_SOURCES_VARIABLE, FORMER_INSTALLATION_VARIABLE,
                            INSTALLATION_VARIABLE, MODULE_NAMES, RESULTS_VARIABLE,
                            SETTINGS_VARIABLE, SOLVERS, STOP_ASKED, BatchInterrupted, Cause,
                            Installation, JobFailed, clamped_level, error_text,
                            platform_missing, set_up_worker_logging)
from ..batch.entries import Entry
from . import render
from .status_line import BatchStatusLine, live_status

PROG = "korvex_computer"
WITHOUT_JSON = ("worker", "cancel")  # commands that print no result
# The farm's servers, and no installation, needed.
FARM_COMMANDS = ("cancel", "status", "dead-letters")
_FROM_ENVIRONMENT = "\0from the environment"

ENVIRONMENT_HELP = """\
environment:
  KORVEX_INSTALLATION      the installation directory, when --installation is not given
                           (KORVEX_INSTALL_DIR, its former name, is still read)
  KORVEX_SETTINGS_PATH     the machine settings file (Velmora.settings), when --settings is
                           not given; else the module's own path under C:\\ProgramData
  KORVEX_DATASOURCES_PATH  the data sources file (DataSources.settings), when --data-sources
                           is not given; else the module's own path under C:\\ProgramData
  KORVEX_BROKER            the RabbitMQ URL of the job queue (amqp:// or amqps://), for
                           worker, and for solve --broker given without a URL
  KORVEX_RESULTS           the Redis URL of the job queue's results store, when --results
                           is not given
  KORVEX_BROKER_CA         the CA file that an amqps:// broker's certificate is checked
                           against (default: the system's)
"""


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not value > 0:
        raise argparse.ArgumentTypeError("%r is not a positive number of seconds" % text)
    return value


def _batch_id(text: str) -> str:
    from ..batch.farm import BATCH_ID

    if not BATCH_ID.match(text.strip().lower()):
        raise argparse.ArgumentTypeError("%r is not a batch id (32 hexadecimal digits)" % text)
    return text.strip().lower()


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError("%r is not a positive whole number" % text)
    return value


def build_parser() -> argparse.ArgumentParser:
    # The shared options are accepted before and after the command; SUPPRESS leaves an option
    # that was not given out of the namespace, so the command's parser never hides a value
    # given before the command.
    shared = argparse.ArgumentParser(add_help=False)
    shared.add_argument("--installation", metavar="DIR", default=argparse.SUPPRESS,
                        help="installation directory of the application "
                             "(default: $KORVEX_INSTALLATION)")
    shared.add_argument("--module", choices=MODULE_NAMES, default=argparse.SUPPRESS,
                        help="application module to bind to (default: piping)")
    shared.add_argument("--settings", metavar="FILE", default=argparse.SUPPRESS,
                        help="machine settings file Velmora.settings "
                             "(default: $KORVEX_SETTINGS_PATH, else the module's own)")
    shared.add_argument("--data-sources", metavar="FILE", default=argparse.SUPPRESS,
                        help="data sources file DataSources.settings "
                             "(default: $KORVEX_DATASOURCES_PATH, else the module's own)")
    shared.add_argument("--json", action="store_true", default=argparse.SUPPRESS,
                        help="print the result as one JSON document")
    shared.add_argument("-v", "--verbose", action="count", default=argparse.SUPPRESS,
                        help="say more of what is done (twice: everything)")
    shared.add_argument("-q", "--quiet", action="count", default=argparse.SUPPRESS,
                        help="say less: warnings and errors only (twice: errors only)")

    parser = argparse.ArgumentParser(
        prog=PROG, parents=[shared], epilog=ENVIRONMENT_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Run engineering jobs with an installed Velmora application.")
    parser.add_argument("--version", action="version", version="%(prog)s " + version())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    def command(name: str, help: str) -> argparse.ArgumentParser:
        return commands.add_parser(name, parents=[shared], help=help, description=help)

    command("info", "bind to the installation and show what was found")
    fre = command("fre", "write the solver input file (.fre) of a model and print its path")
    fre.add_argument("model", metavar="MODEL.quarl")
    solve = command("solve", "solve models and print a summary of each solution")
    solve.add_argument("models", metavar="MODEL.quarl", nargs="+")
    solve.add_argument("--solver", choices=SOLVERS, required=True,
                       help="solver of piping models (structure models are solved by Aster)")
    solve.add_argument("--sandbox", action="store_true",
                       help="solve a copy of each model in its own temporary folder")
    spread = solve.add_mutually_exclusive_group()
    spread.add_argument("--jobs", metavar="N", type=_positive, default=1,
                        help="with several models: solve them in N worker processes")
    spread.add_argument("--broker", metavar="URL", nargs="?", const=_FROM_ENVIRONMENT,
                        help="send the models to the workers of the job queue at this "
                             "RabbitMQ URL (amqp://USER@HOST/VHOST; given alone: "
                             "$KORVEX_BROKER, which keeps the password off the command line)")
    solve.add_argument("--results", metavar="URL", default=os.environ.get(RESULTS_VARIABLE),
                       help="with --broker: the Redis URL of the queue's results store "
                            "(default: $KORVEX_RESULTS)")
    solve.add_argument("--output", metavar="DIR",
                       help="keep each model's files and record in DIR/<model name>/, and "
                            "the batch's index in DIR/batch.json (with --broker: a folder "
                            "that the workers share)")
    solve.add_argument("--resume", action="store_true",
                       help="with --output: solve only the models that DIR has no record "
                            "of, as solved from the same model file")
    solve.add_argument("--timeout", metavar="SECONDS", type=_seconds,
                       default=DEFAULT_TIMEOUT,
                       help="with --broker: give up a model that has no result this long "
                            "after a worker started it (default: %(default)g)")
    solve.add_argument("--no-worker-timeout", metavar="SECONDS", type=_seconds,
                       default=DEFAULT_NO_WORKER_TIMEOUT,
                       help="with --broker: give up the models still open when no worker "
                            "listened for this long (default: %(default)g)")
    worker = command("worker", "solve the models of the job queue on this machine, one at a "
                               "time per process")
    worker.add_argument("--broker", metavar="URL", default=os.environ.get(BROKER_VARIABLE),
                        help="RabbitMQ URL of the job queue (default: $KORVEX_BROKER)")
    worker.add_argument("--results", metavar="URL", default=os.environ.get(RESULTS_VARIABLE),
                        help="Redis URL of the queue's results store (default: "
                             "$KORVEX_RESULTS)")
    worker.add_argument("--concurrency", metavar="N", type=_positive, default=1,
                        help="number of worker processes, kept running (default: 1)")
    worker.add_argument("--heartbeat", metavar="SECONDS", type=_seconds,
                        default=DEFAULT_HEARTBEAT,
                        help="heartbeat with the broker: a machine that stops answering has "
                             "its model given to another after about two (default: "
                             "%(default)g)")
    worker.add_argument("--allow", metavar="DIR", action="append", default=[],
                        help="solve models and write output only under this folder "
                             "(repeatable; without it, anywhere this user can)")
    worker.add_argument("--logfile", metavar="FILE",
                        help="append the log lines of the worker and its processes to FILE "
                             "(default: standard error)")
    cancel = command("cancel", "stop a batch of the job queue: its waiting models are "
                               "withdrawn, its running ones stop at their next step")
    cancel.add_argument("batch", metavar="BATCH", type=_batch_id,
                        help="the batch's id, as korvex_computer status or its client's -v "
                             "shows it")
    cancel.add_argument("--results", metavar="URL", default=os.environ.get(RESULTS_VARIABLE),
                        help="Redis URL of the queue's results store (default: "
                             "$KORVEX_RESULTS)")
    status = command("status", "show the job queue, its worker processes and the batches "
                               "in flight")
    status.add_argument("--broker", metavar="URL", default=os.environ.get(BROKER_VARIABLE),
                        help="RabbitMQ URL of the job queue, a client's user will do "
                             "(default: $KORVEX_BROKER)")
    status.add_argument("--results", metavar="URL", default=os.environ.get(RESULTS_VARIABLE),
                        help="Redis URL of the queue's results store (default: "
                             "$KORVEX_RESULTS)")
    dead = command("dead-letters", "list the models that the job queue dead-lettered (left "
                                   "where they are), or put them back in the queue, or drop "
                                   "them")
    dead.add_argument("--broker", metavar="URL", default=os.environ.get(BROKER_VARIABLE),
                      help="RabbitMQ URL of the job queue, with the operator's user "
                           "(default: $KORVEX_BROKER)")
    dead.add_argument("--batch", metavar="BATCH", type=_batch_id,
                      help="only the dead letters of this batch")
    fate = dead.add_mutually_exclusive_group()
    fate.add_argument("--put-back", dest="action", action="store_const", const="put back",
                      help="send them to the queue again, for the workers to solve")
    fate.add_argument("--drop", dest="action", action="store_const", const="dropped",
                      help="remove them for good")
    describe = command("describe", "print the JSON description of an SDK class")
    describe.add_argument("class_name", metavar="CLASS")
    find = command("find", "print the namespace and assembly of an SDK class")
    find.add_argument("class_name", metavar="CLASS")
    return parser


def installation_of(arguments: argparse.Namespace,
                    parser: argparse.ArgumentParser) -> Optional[Installation]:
    """The installation to bind to; None for a solve through the queue, whose workers each
    have their own."""
    directory = (getattr(arguments, "installation", None) or os.environ.get(INSTALLATION_VARIABLE)
                 or os.environ.get(FORMER_INSTALLATION_VARIABLE))
    if arguments.command == "solve" and arguments.broker == _FROM_ENVIRONMENT:
        arguments.broker = os.environ.get(BROKER_VARIABLE)
        if not arguments.broker:
            parser.error("no broker: give --broker URL or set KORVEX_BROKER")
    if arguments.command in ("solve", "worker") and arguments.broker is not None:
        if not arguments.broker.strip():
            parser.error("the broker URL is empty")
        if not arguments.results:
            parser.error("no results store: give --results URL or set KORVEX_RESULTS")
    if getattr(arguments, "json", False) and arguments.command in WITHOUT_JSON:
        parser.error("--json has no meaning for %s, which prints no result"
                     % arguments.command)
    if arguments.command == "dead-letters":  # the broker alone
        if not (arguments.broker or "").strip():
            parser.error("no broker: give --broker URL or set KORVEX_BROKER")
    elif arguments.command in FARM_COMMANDS and not arguments.results:
        parser.error("no results store: give --results URL or set KORVEX_RESULTS")
    if arguments.command in FARM_COMMANDS:
        return None
    if arguments.command == "worker" and arguments.logfile:
        check_logfile(arguments.logfile, parser)
    if arguments.command == "worker" and not arguments.broker:
        parser.error("no broker: give --broker URL or set KORVEX_BROKER")
    if arguments.command == "solve":
        check_solve_arguments(arguments, parser)
    if not directory:
        if arguments.command == "solve" and arguments.broker:
            return None
        parser.error("no installation: give --installation DIR or set KORVEX_INSTALLATION")
    return Installation(
        directory=directory,
        module=getattr(arguments, "module", "piping"),
        settings_path=(getattr(arguments, "settings", None)
                       or os.environ.get(SETTINGS_VARIABLE)),
        data_sources_path=(getattr(arguments, "data_sources", None)
                           or os.environ.get(DATA_SOURCES_VARIABLE)))


def check_logfile(logfile: str, parser: argparse.ArgumentParser) -> None:
    """A usage error for a log file that cannot be appended to, before anything starts."""
    try:
        with open(logfile, "a"):
            pass
    except OSError as error:
        parser.error("cannot write the log file %s (%s)" % (logfile, error_text(error)))


def check_solve_arguments(arguments: argparse.Namespace,
                          parser: argparse.ArgumentParser) -> None:
    from ..batch import same_files_in_place

    arguments.models = expand_patterns(arguments.models)
    if arguments.resume and not arguments.output:
        parser.error("--resume needs --output DIR, the folder of the earlier run")
    shared = None if arguments.sandbox else same_files_in_place(arguments.models)
    if shared:
        parser.error(shared)


def expand_patterns(models: Sequence[str]) -> List[str]:
    """The models named by wildcard patterns (C:\\Work\\*.quarl), in name order, as a POSIX
    shell gives them: Windows' shells leave the patterns to the program. A pattern that
    names no file stays as it is, and fails as a missing model."""
    expanded: List[str] = []
    for model in models:
        pattern = any(character in model for character in "*?[")
        found = sorted(glob.glob(model)) if pattern else []
        expanded.extend(found if found and not os.path.exists(model) else [model])
    return expanded


def version() -> str:
    try:
        from importlib.metadata import version as installed_version

        return installed_version("korvex_computer")
    except Exception:  # run from a source tree
        return "(not installed)"


def configure_logging(arguments: argparse.Namespace) -> None:
    """The command line's own messages on standard error, through logging: warnings by
    default; -v and -q move the threshold. The worker command has the log of its worker
    processes (common.set_up_worker_logging): every line says when, where and which process,
    and goes to --logfile when given."""
    shift = 10 * (getattr(arguments, "quiet", 0) - getattr(arguments, "verbose", 0))
    if arguments.command == "worker":
        set_up_worker_logging(arguments.logfile, shift)
        return
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter(PROG + ": %(message)s"))
    logger = logging.getLogger("korvex_computer")
    logger.handlers[:] = [handler]
    logger.setLevel(clamped_level(logging.WARNING + shift))
    logger.propagate = False


def _print(text: str) -> None:
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def _fail(message: str) -> None:
    sys.stderr.write("%s: error: %s\n" % (PROG, message))


def _pass_on_module_messages(entries: Sequence[Entry] = ()) -> None:
    """What the module said besides its usual notes, on standard error."""
    notes: List[str] = []
    if "korvex_computer.batch.jobs" in sys.modules:  # else no module call was made here
        notes = sys.modules["korvex_computer.batch.jobs"].OUTPUT.take_messages()
    for entry in entries:
        notes.extend(entry.get("notes", ()))
    for line in notes:
        sys.stderr.write("%s: the module said: %s\n" % (PROG, line))


def _report_failure(failure: JobFailed, as_json: bool) -> int:
    if as_json:
        _print(json.dumps({"ok": False, "cause": failure.cause, "message": failure.message},
                          indent=2))
    _pass_on_module_messages()
    _fail(str(failure))
    return 1


def solve_model_command(arguments: argparse.Namespace, installation: Installation) -> int:
    """Solves one model as a batch's worker does, and prints its record (--json) or its
    summary; a failure, bound or solved, in one line."""
    from ..batch import jobs, task

    model = arguments.models[0]
    binding_failure = None
    try:
        jobs.bind(installation)
    except JobFailed as failure:
        binding_failure = failure

    def status_line(elapsed: float) -> str:
        return "%s: solving %s, %.1f s" % (arguments.solver, os.path.basename(model), elapsed)

    with live_status(sys.stderr, status_line):
        entry = task.solve({"model": model, "solver": arguments.solver,
                            "sandbox": arguments.sandbox, "output": None}, binding_failure)
    if getattr(arguments, "json", False):
        _print(json.dumps(entry, indent=2))
    elif entry["ok"]:
        _print(render.solution(entry))
    _pass_on_module_messages([entry])
    if not entry["ok"]:
        _fail("%s: %s" % (entry["cause"], entry["message"]))
        return 1
    return 0


def solve_batch_command(arguments: argparse.Namespace, installation: Optional[Installation],
               as_json: bool) -> int:
    from .. import batch

    started = time.monotonic()
    interrupted = False
    try:
        with BatchStatusLine(sys.stderr) as status_line:
            entries = batch.solve_many(arguments.models, arguments.solver, arguments.sandbox,
                                       jobs=arguments.jobs, broker=arguments.broker,
                                       results=arguments.results, timeout=arguments.timeout,
                                       no_worker_timeout=arguments.no_worker_timeout,
                                       installation=installation, progress=status_line,
                                       output=arguments.output, resume=arguments.resume)
    except JobFailed as failure:  # the cluster unreachable, no output folder
        return _report_failure(failure, as_json)
    except BatchInterrupted as stop:
        entries, interrupted = stop.results, True
    elapsed = time.monotonic() - started
    if arguments.broker:
        processes = len(set((e.get("machine"), e.get("process")) for e in entries
                            if "process" in e and not e.get("resumed")))
    else:
        processes = min(arguments.jobs, sum(1 for e in entries if not e.get("resumed")))
    failed = [entry for entry in entries if not entry["ok"]]
    if as_json:
        _print(json.dumps({"ok": not failed, "solved": len(entries) - len(failed),
                           "failed": len(failed), "interrupted": interrupted,
                           "processes": processes, "elapsed": round(elapsed, 3),
                           "output": arguments.output and os.path.abspath(arguments.output),
                           "models": entries}, indent=2))
    else:
        _print(render.batch(entries, processes, elapsed, arguments.output))
    _pass_on_module_messages(entries)
    if interrupted:
        unfinished = [entry for entry in entries
                      if entry.get("cause") in (Cause.INTERRUPTED, Cause.NEVER_STARTED)]
        _fail("interrupted: %d of %d models ended, %d did not; %s" % (
            len(entries) - len(unfinished), len(entries), len(unfinished),
            _how_to_go_on(arguments)))
        return 130
    if failed:
        causes = sorted(set(entry["cause"] for entry in failed))
        _fail("%d of %d models failed (%s)" % (len(failed), len(entries), ", ".join(causes)))
        return 1
    return 0


def _how_to_go_on(arguments: argparse.Namespace) -> str:
    """The command that finishes an interrupted batch: the same, with --resume."""
    if not arguments.output:
        return ("give --output DIR next time, and the same command with --resume then "
                "solves only what is left")
    words = [PROG] + list(arguments.argv) + ([] if arguments.resume else ["--resume"])
    if sys.platform == "win32":
        line = subprocess.list2cmdline(words)
    else:
        line = " ".join(shlex.quote(word) for word in words)
    return "to solve what is left: " + line


def worker_command(arguments: argparse.Namespace, installation: Installation) -> int:
    verbosity = (["-v"] * getattr(arguments, "verbose", 0)
                 + ["-q"] * getattr(arguments, "quiet", 0))
    try:
        from ..batch import keeper

        return keeper.run_workers(installation, arguments.broker, arguments.results,
                                  arguments.heartbeat, arguments.concurrency, verbosity,
                                  arguments.allow, arguments.logfile)
    except JobFailed as failure:
        return _report_failure(failure, False)


def do_job(arguments: argparse.Namespace,
           installation: Installation) -> Tuple[Dict[str, Any], str]:
    """Runs the job of a one-model command once bound; its result, and the result's text."""
    from ..batch import jobs

    command = arguments.command
    if command == "info":
        result = jobs.info(installation)
        return result, render.info_text(result)
    if command == "fre":
        result = jobs.write_fre(arguments.model)
        return result, render.fre(result)
    if command == "describe":
        result = jobs.describe_class(arguments.class_name)
        return result, render.description(result)
    result = jobs.locate_class(arguments.class_name)
    return result, render.located(result)


def run_farm_command(arguments: argparse.Namespace) -> int:
    from ..batch import farm

    as_json = getattr(arguments, "json", False)
    try:
        if arguments.command == "cancel":
            _print(farm.cancel_batch(arguments.results, arguments.batch))
            return 0
        if arguments.command == "dead-letters":
            letters = farm.dead_letters(arguments.broker, arguments.action, arguments.batch)
            status = {"queue": DEAD_LETTERS, "done": arguments.action or "listed",
                      "letters": letters}
            text = render.dead_letters(status)
        else:
            status = farm.farm_status(arguments.broker, arguments.results)
            text = render.farm(status)
    except JobFailed as failure:
        return _report_failure(failure, as_json)
    _print(json.dumps(dict({"ok": True}, **status), indent=2) if as_json else text)
    return 0


def run_command(arguments: argparse.Namespace, installation: Optional[Installation]) -> int:
    as_json = getattr(arguments, "json", False)
    if arguments.command in FARM_COMMANDS:
        return run_farm_command(arguments)
    if arguments.command == "solve" and not arguments.broker:
        try:
            from ..batch import jobs  # noqa: F401 (the platform, before any job)
        except ImportError as error:
            return _report_failure(platform_missing(error), as_json)
    if arguments.command == "solve" and (len(arguments.models) > 1 or arguments.broker
                                         or arguments.output):
        return solve_batch_command(arguments, installation, as_json)
    assert installation is not None
    try:
        from ..batch import jobs  # noqa: F811
    except ImportError as error:
        return _report_failure(platform_missing(error), as_json)
    if arguments.command == "worker":
        return worker_command(arguments, installation)
    if arguments.command == "solve":
        return solve_model_command(arguments, installation)
    try:
        jobs.bind(installation)
        result, text = do_job(arguments, installation)
    except JobFailed as failure:
        return _report_failure(failure, as_json)
    _print(json.dumps(dict({"ok": True}, **result), indent=2) if as_json else text)
    _pass_on_module_messages()
    return 0


def stop_on_sigterm() -> None:
    """SIGTERM stops a solve as Ctrl-C does: the table of what ended, exit status 130. Both
    also leave the mark that the batch's loop looks at, should the exception be dropped."""
    def interrupt(signum: int, _: Any) -> None:
        STOP_ASKED.set()
        raise KeyboardInterrupt()

    if threading.current_thread() is not threading.main_thread():
        return
    for name in ("SIGINT", "SIGTERM"):
        # Ctrl-C only when Python's own handler has it: not when ignored, as the shell does
        # for a command started in the background.
        if hasattr(signal, name) and (name != "SIGINT" or signal.getsignal(
                signal.SIGINT) is signal.default_int_handler):
            signal.signal(getattr(signal, name), interrupt)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    try:
        arguments = parser.parse_args(argv)
        arguments.argv = list(sys.argv[1:] if argv is None else argv)
        installation = installation_of(arguments, parser)
    except SystemExit as exit:  # --help, or a usage error that argparse reported
        return exit.code if isinstance(exit.code, int) else 2
    configure_logging(arguments)
    try:
        if arguments.command == "solve":
            stop_on_sigterm()
        return run_command(arguments, installation)
    except KeyboardInterrupt:
        _fail("interrupted")
        return 130
    except Exception as error:  # a fault of the command line itself, still in one line
        _fail("unexpected failure: %s" % error_text(error))
        return 1
