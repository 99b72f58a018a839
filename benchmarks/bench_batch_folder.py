"""What a batch's own code costs per model as the models' folder grows: 100, 1,000 and 5,000
models in one folder, solved in place and in sandboxes, with an output folder. Figures only,
never asserted.

    .venv-cpython/bin/python benchmarks/bench_batch_folder.py [--counts 100 1000 5000]
    .venv-cpython/bin/python benchmarks/bench_batch_folder.py --solve [--counts 100 1000]

`--solve` solves the models for real instead, with solve_many in 2 local worker processes and
--output, on a stand-in installation: the wall time per model and the CPU time per model of
this process and all its children (workers and solver processes), whose growth exponent is
reported as above. The solver processes' start dominates these figures.

A stand-in solve starts a solver process, tens of milliseconds that would hide the batch's
own cost and make 5,000 solves last many minutes; so the solver's work is left out and the
batch's steps around it are timed, per model, in this process, as a worker runs them: the
model's inputs and their digests (with the folder's .thf file, found once for the folder), the
module's two look-ups of the .thf in place (through the batch's answer), the sandbox filled
(sandboxes), the output folder emptied, the run's files found and copied there, the record
written. The folder holds, for each model, the files a solve in place leaves (its .fre, the
solver's log and results), as at the end of a batch in place, the worst case; each model's
run files are written before its steps, as the solver would, outside the timing.
The CPU time includes the sandbox's removal; the batch's sync is counted in the output's wall
time.

Reported per mode and count: CPU per model (time.process_time, the median over the models:
on a busy machine a few models take many times the rest; the batch's one look-up of the
folder's .thf spread over the models), the growth exponent of the total CPU from the smallest
count to each larger one (1.0: a flat cost per model), and from the count before it, and the
wall time per model of the output folder's part (emptying, copies, record; median) with the batch's one sync at its end
spread over the models.
"""

import argparse
import math
import os
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "standin"))
sys.path.insert(0, os.path.join(ROOT, "tests"))

from module_helpers import write_quarl  # noqa: E402

RUN_FILES = (".fre", ".pipestress.json", ".pipestress.log")


def make_folder(folder, count):
    """`count` models in one folder, each with the files a solve in place left, and the
    folder's .thf file; the models' paths."""
    import pathlib

    os.makedirs(folder)
    with open(os.path.join(folder, "site.thf"), "w") as stream:
        stream.write("TEMPERATURE 180\n")
    paths = []
    for number in range(count):
        path = os.path.join(folder, "M%05d.quarl" % number)
        write_quarl(pathlib.Path(path))
        write_run_files(os.path.splitext(path)[0])
        paths.append(path)
    return paths


def write_run_files(stem):
    for suffix in RUN_FILES:
        with open(stem + suffix, "w") as stream:
            stream.write("C run file\n" * 20)


def one_model(path, thf, sandbox, output_folder, core, jobs, results):
    """The batch's steps for one model, the solver's work left out; their CPU time and the
    wall time of the output folder's part."""
    folder = os.path.dirname(path)
    started_at = time.time() - 1
    cpu_started = time.process_time()
    inputs = results.model_inputs(path, thf)
    output_started = time.perf_counter()
    left = results.empty_folder(output_folder)
    output_seconds = time.perf_counter() - output_started
    if sandbox:
        run_directory = tempfile.mkdtemp()
        run_path = jobs._fill_sandbox(os.path.join(run_directory, "run"), path, thf)
        run_directory = os.path.dirname(run_path)
    else:
        run_path, run_directory = path, folder
        with jobs._thf_found(folder, thf):  # the module's look-ups in place
            core.find_first_file(folder, ".thf")
            core.find_first_file(folder, ".thf")
    stem = os.path.splitext(run_path)[0]
    cpu = time.process_time() - cpu_started
    write_run_files(stem)  # the solver's part
    cpu_started = time.process_time()
    result = {"model": path, "solver": "PipeStress", "input": stem + ".fre",
              "inputs": dict(inputs, fre=results.input_digest(stem + ".fre", written=True)),
              "solution": {"class": "Solution",
                           "properties": {"ResultFile": stem + ".pipestress.json"}}}
    output_started = time.perf_counter()
    results.keep_files(result, run_directory, started_at, sandbox, output_folder)
    results.write_record(output_folder, dict(result, ok=True), sync=False)
    output_seconds += time.perf_counter() - output_started
    if sandbox:
        shutil.rmtree(os.path.dirname(run_directory))
    cpu += time.process_time() - cpu_started
    assert left == [] and len(result["files"]) == (4 if sandbox else 3), result["files"]
    return cpu, output_seconds


def measure(root, count, sandbox, modules):
    core, jobs, results = modules
    folder = os.path.join(root, "models-%d-%s" % (count, sandbox))
    paths = make_folder(folder, count)
    output = os.path.join(root, "out-%d-%s" % (count, sandbox))
    folders = [os.path.join(output, name) for name in results.output_names(paths)]
    cpu_started = time.process_time()
    thf_files = results.thf_by_folder(paths)
    once = time.process_time() - cpu_started
    cpu, output_wall = [], []
    for path, output_folder in zip(paths, folders):
        model_cpu, model_output = one_model(path, thf_files[os.path.dirname(path)], sandbox,
                                            output_folder, core, jobs, results)
        cpu.append(model_cpu)
        output_wall.append(model_output)
    synced = time.perf_counter()
    results.sync_records(folders)
    sync = time.perf_counter() - synced
    shutil.rmtree(folder)
    shutil.rmtree(output)
    # Medians: the machine's other work makes a few models' figures many times the rest.
    return (statistics.median(cpu) + once / count,
            statistics.median(output_wall) + sync / count)


def solve_for_real(root, count, sandbox):
    """The wall time and the CPU time (this process and its children) per model of a batch
    of `count` models of one folder, solved by solve_many with --output."""
    import resource

    from korvex_standin.installation import build_installation
    from korvex_computer.batch import Installation, solve_many

    built = build_installation(os.path.join(root, "installation-%d-%s" % (count, sandbox)))
    installation = Installation(built.directory, settings_path=built.settings_path,
                                data_sources_path=built.data_sources_path)
    folder = os.path.join(root, "solved-%d-%s" % (count, sandbox))
    os.makedirs(folder)
    with open(os.path.join(folder, "site.thf"), "w") as stream:
        stream.write("TEMPERATURE 180\n")
    import pathlib
    paths = [write_quarl(pathlib.Path(folder, "M%05d.quarl" % number)) for number in range(count)]

    def cpu():
        own, children = (resource.getrusage(resource.RUSAGE_SELF),
                         resource.getrusage(resource.RUSAGE_CHILDREN))
        return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime

    started, cpu_started = time.perf_counter(), cpu()
    entries = solve_many(paths, "PipeStress", sandbox, jobs=2, installation=installation,
                         output=os.path.join(root, "out-solved-%d-%s" % (count, sandbox)))
    wall, used = time.perf_counter() - started, cpu() - cpu_started
    failed = [entry for entry in entries if not entry["ok"]]
    if failed:
        raise SystemExit("%d models failed: %s" % (len(failed), failed[0]))
    return used / count, wall / count


def main(argv):
    parser = argparse.ArgumentParser(prog="bench_batch_folder.py")
    parser.add_argument("--counts", type=int, nargs="+", default=[100, 1000, 5000])
    parser.add_argument("--solve", action="store_true", help="solve the models for real")
    options = parser.parse_args(argv)
    if options.solve:
        return main_solving(options.counts)

    from korvex_computer import korvex_core as core
    from korvex_computer.batch import jobs, results

    root = tempfile.mkdtemp(prefix="bench_batch_folder_")
    print("the batch's own steps per model, one folder of N models, %s %s, %d cores"
          % (sys.implementation.name, sys.version.split()[0], os.cpu_count() or 0))
    print("| mode | models | CPU per model | growth exponent | --output wall per model |")
    print("|---|---|---|---|---|")
    try:
        for sandbox in (False, True):
            measure(root, 50, sandbox, (core, jobs, results))  # warm-up, not shown
            first = last = None
            for count in options.counts:
                cpu, output_seconds = measure(root, count, sandbox, (core, jobs, results))
                if first is None:
                    first = last = (count, cpu)
                    exponent = "-"
                else:  # of the total, count x CPU per model
                    exponent = "%.2f (%.2f from %d)" % (
                        1 + math.log(cpu / first[1]) / math.log(count / first[0]),
                        1 + math.log(cpu / last[1]) / math.log(count / last[0]), last[0])
                    last = (count, cpu)
                print("| %s | %d | %.2f ms | %s | %.2f ms |"
                      % ("sandboxes" if sandbox else "in place", count, cpu * 1000,
                         exponent, output_seconds * 1000))
                sys.stdout.flush()
    finally:
        shutil.rmtree(root, ignore_errors=True)


def main_solving(counts):
    root = tempfile.mkdtemp(prefix="bench_batch_folder_")
    os.environ["TMPDIR"] = os.path.join(root, "temp")  # the sandboxes, for the workers too
    os.makedirs(os.environ["TMPDIR"])
    os.environ["PYTHONPATH"] = os.pathsep.join(
        [os.path.join(ROOT, "standin")] + [p for p in [os.environ.get("PYTHONPATH")] if p])
    print("stand-in PipeStress solves of N models in one folder, 2 worker processes, --output, "
          "%s %s, %d cores" % (sys.implementation.name, sys.version.split()[0],
                               os.cpu_count() or 0))
    print("| mode | models | CPU per model (all processes) | growth exponent | wall per model |")
    print("|---|---|---|---|---|")
    try:
        for sandbox in (False, True):
            first = None
            for count in counts:
                cpu, wall = solve_for_real(root, count, sandbox)
                exponent = "-" if first is None else "%.2f" % (
                    1 + math.log(cpu / first[1]) / math.log(count / first[0]))
                first = first or (count, cpu)
                print("| %s | %d | %.1f ms | %s | %.1f ms |" % (
                    "sandboxes" if sandbox else "in place", count, cpu * 1000, exponent,
                    wall * 1000))
                sys.stdout.flush()
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1:])
