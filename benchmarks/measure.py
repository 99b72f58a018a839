"""Cost per call of the module's functions against the same functions compiled with Cython,
in plain Python, and written by hand with the plain C API (the floor).

    python benchmarks/measure.py            instructions per call under callgrind
    python benchmarks/measure.py --wall     wall-clock time per call, best of several repeats

Run it with an interpreter that has the package installed (for example .venv-cpython/bin/python
or .venv-pypy/bin/python after ./scripts/test); the stand-in platform is put on the path here.
`--only NAME` (repeatable) limits the run to some workloads.

Instructions, on CPython and on PyPy alike: each workload is run in its own process under
valgrind's callgrind, with instrumentation off from the start (--instr-atstart=no). The process
runs the workload's loop WARM_UP times, which leaves PyPy's JIT with the loop compiled,
CPython's instructions specialised and every first-call cost paid, then switches callgrind on
(start_counting of the floor's extension, a client request of callgrind), runs the loop once
more and switches it off: the total is that run alone. The same is done with an empty loop
body of the same length, whose total is taken off, which leaves the calls themselves (the
switch's own cost cancels out); divided by the length, the cost of one call. Valgrind is told
to look for code that the process writes (--smc-check), as a JIT does. Two runs of the whole
table repeat to the instruction on CPython; on PyPy most figures repeat to the instruction and
a few move by up to 3% from run to run, and by about 1% when the peers are built anew. Under
the JIT a plain-Python call is often compiled into the loop itself, down to a few dozen
instructions.

The floor is floor/floor_korvex.c beside this file: the required steps of each function done
by hand with the public C API (the globals looked up in the namespace, the membership test,
the guard's OSError and the argument error with their traceback entries, the settings walk, the
directory scan), in the module's calling convention. The module goes below it where it skips
steps the C API makes (remembered globals, identity before equality); the ratio module / floor
shows how near the module is to what a C extension must do.

The plain-Python rendering of the functions is plain_korvex.py beside this file. The compiled
peer is that same file compiled with Cython (from PyPI, the version pinned below), which the
benchmark builds itself with the floor, once per interpreter, into build/benchmarks/ of the
project: Cython is installed there with pip, not into the environment. The peer is built as
Cython builds any module (its default options, the interpreter's own compiler flags) except
that its functions take the calling convention of the module's own, so that the convention is
not what is compared: on CPython a tuple of positional arguments and a dictionary of keywords
(the macro CYTHON_VECTORCALL=0), on PyPy the vector convention, Cython's default.
`--peer-fastcall` keeps Cython's vector convention on CPython too.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "standin"))
sys.path.insert(0, HERE)

CYTHON = "Cython==3.3.2"
PEER_NAME = "cython_korvex"
FLOOR_NAME = "floor_korvex"
FLOOR_SOURCE = os.path.join(HERE, "floor", FLOOR_NAME + ".c")
IMPLEMENTATIONS = ("module", "cython", "plain", "floor")

LOADED = "Korvex.Velmora.Core.dll"
FAMILIES = 200
ENTRIES = 10000


class Listing(object):
    """`os` as the functions see it, with a directory listing made in advance."""

    def __init__(self, names):
        self.path = os.path
        self._names = names

    def listdir(self, directory):
        return list(self._names)


def settings_document(families):
    """Parsed settings with the two solver families last among `families`."""
    def family(name, setting):
        return {"Name": name, "SubFamilies": [
            {"Name": "DISPLAY", "Settings": [{"Name": "COLOR", "Value": "1"}]},
            {"Name": "PATH", "Settings": [{"Name": "LICENSE", "Value": ""},
                                          {"Name": setting, "Value": "C:\\solvers\\" + name}]}]}
    document = {"Families": [family("FAMILY%03d" % i, "PATH%03d" % i)
                             for i in range(families - 2)]
                + [family("ASTER", "WINDOWS SOLVER PATH"), family("PIPESTRESS", "SOLVER PATH")]}
    return json.loads(json.dumps(document))  # texts as a settings file gives them


def prepare(target, workload):
    """Sets the globals of target for a workload; returns the loop's locals."""
    target._validSetup_ = True
    target._dllPath_ = "extensions"
    target._exePath_ = "installation"
    target._dlls_ = ["Korvex.SDK.dll", "Korvex.Helper.dll", LOADED]
    loaded = target._dlls_[-1]
    if workload == "only_loaded":
        target._dlls_ = [LOADED]
    if workload == "not_set_up":
        target._validSetup_ = False
    if workload == "find_first_file":
        target.os = Listing(["entry%05d.dat" % i for i in range(ENTRIES)])
    settings = settings_document(FAMILIES) if workload == "FindSolverPaths" else None
    return {"load_dll": target.load_dll, "getQuarl": target.getQuarl,
            "FindSolverPaths": target.FindSolverPaths, "find_first_file": target.find_first_file,
            "name": loaded, "directory": "models", "settings": settings}


# name, description, loop body, the loop's length under callgrind
WORKLOADS = [
    ("positional", "load_dll on a name already loaded, positional",
     "load_dll(name)", 6000),
    ("only_loaded", "the same with _dlls_ holding only that name",
     "load_dll(name)", 6000),
    ("keyword", "the same with the keyword dllname=",
     "load_dll(dllname=name)", 6000),
    ("argument_error", "argument error load_dll(), caught",
     "try:\n            load_dll()\n        except TypeError:\n            pass", 1500),
    ("not_set_up", "guarded function while not set up (OSError), caught",
     "try:\n            getQuarl(directory)\n        except OSError:\n            pass", 1500),
    ("FindSolverPaths", "FindSolverPaths, %d families" % FAMILIES,
     "FindSolverPaths(settings)", 60),
    ("find_first_file", "find_first_file, %d entries, no match" % ENTRIES,
     "find_first_file(directory, '.thf')", 6),
]
WARM_UP = 3  # runs of the whole loop before the counted one: a JIT has compiled it by then
EMPTY = "pass"


def loop_function(body, names):
    """A function running body n times, with names as fast locals."""
    parameters = "".join(", %s=%s" % (n, n) for n in sorted(names))
    source = "def run(n%s):\n    for _ in range(n):\n        %s\n" % (parameters, body)
    namespace = dict(names)
    exec(source, namespace)
    return namespace["run"]


def peer_macros(fastcall):
    # Without the vector convention Cython's functions take (args tuple, kwargs dict).
    return [] if fastcall else [("CYTHON_VECTORCALL", "0")]


def peer_folder(fastcall):
    """Where the compiled peer of this interpreter is built (one folder per interpreter)."""
    flavour = "fastcall" if fastcall else "varargs"
    return os.path.abspath(os.path.join(HERE, os.pardir, "build", "benchmarks",
                                        "%s-%s" % (sys.implementation.cache_tag, flavour)))


def build_compiled_peer(fastcall):
    """Compiles plain_korvex.py with Cython, and the floor, into the peer's folder unless they
    are there already; returns the folder to put on the path."""
    folder = peer_folder(fastcall)
    stamp = os.path.join(folder, "built-from")
    source = os.path.join(HERE, "plain_korvex.py")
    with open(source) as f, open(FLOOR_SOURCE) as floor:
        wanted = "%s %r\n%s\n%s" % (CYTHON, peer_macros(fastcall), f.read(), floor.read())
    if os.path.exists(stamp):
        with open(stamp) as f:
            if f.read() == wanted:
                return folder
    shutil.rmtree(folder, ignore_errors=True)
    tools = os.path.join(folder, "tools")
    print("building the compiled peer with %s, and the floor, in %s" % (CYTHON, folder))
    sys.stdout.flush()
    install = [sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check",
               "--target", tools, CYTHON]
    if subprocess.run([sys.executable, "-c", "import setuptools"],
                      stderr=subprocess.DEVNULL).returncode != 0:
        install.append("setuptools")
    subprocess.run(install, check=True)
    shutil.copyfile(source, os.path.join(folder, PEER_NAME + ".py"))
    # The build runs in a process of its own, with the tools first on its path.
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [tools] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
    built = subprocess.run([sys.executable, os.path.abspath(__file__), "--build-peer", folder]
                           + (["--peer-fastcall"] if fastcall else []),
                           cwd=folder, env=environment, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, universal_newlines=True)
    if built.returncode != 0:
        sys.exit("the compiled peer failed to build:\n" + built.stdout)
    with open(stamp, "w") as f:
        f.write(wanted)
    return folder


def compile_peer_here(folder, fastcall):
    """The build itself, run in the peer's folder with Cython importable."""
    from Cython.Build import cythonize
    from setuptools import Distribution, Extension
    extension = Extension(PEER_NAME, [PEER_NAME + ".py"], define_macros=peer_macros(fastcall))
    modules = cythonize([extension], compiler_directives={"language_level": 3}, quiet=True)
    modules.append(Extension(FLOOR_NAME, [FLOOR_SOURCE]))
    distribution = Distribution({"name": PEER_NAME, "ext_modules": modules})
    command = distribution.get_command_obj("build_ext")
    command.build_lib = folder
    command.build_temp = os.path.join(folder, "objects")
    distribution.run_command("build_ext")


def target_module(implementation):
    if implementation == "module":
        import korvex_computer.korvex_core as target
    elif implementation == "cython":
        target = __import__(PEER_NAME)
        if target.__file__.endswith(".py"):  # the copied source, not the compiled module
            sys.exit("the compiled peer was not built: %s" % target.__file__)
    elif implementation == "floor":
        target = __import__(FLOOR_NAME)
    else:
        import plain_korvex as target
    return target


def run_worker(workload, implementation, length):
    """Runs the workload's loop WARM_UP times, then once more with callgrind counting."""
    names = prepare(target_module(implementation), workload)
    body = EMPTY if workload == "empty" else dict((w[0], w[2]) for w in WORKLOADS)[workload]
    run = loop_function(body, names)
    for _ in range(WARM_UP):
        run(length)
    switch = __import__(FLOOR_NAME)
    switch.start_counting()
    run(length)
    switch.stop_counting()


kept_profiles = None  # the folder where callgrind's profiles are kept (--keep-profiles)


def counted_loop(workload, implementation, length):
    """The instructions of the counted run of a worker's loop, start-up and warm-up left out."""
    output = "/dev/null"
    if kept_profiles:
        output = os.path.join(kept_profiles, "%s-%s-%d.out" % (workload, implementation, length))
    # A JIT writes the code it runs: valgrind must look for that (--smc-check).
    command = ["valgrind", "--tool=callgrind", "--instr-atstart=no", "--smc-check=all-non-file",
               "--callgrind-out-file=" + output, sys.executable, os.path.abspath(__file__),
               "--worker", workload, implementation, str(length)]
    environment = dict(os.environ, PYTHONHASHSEED="0")
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=environment, universal_newlines=True)
    if done.returncode != 0:
        sys.exit("%s failed:\n%s" % (" ".join(command), done.stderr))
    found = re.search(r"Collected : (\d+)", done.stderr)
    if not found:
        sys.exit("no instruction count in the output of callgrind:\n" + done.stderr)
    return int(found.group(1))


def thousands(value):
    return "{:,.0f}".format(value)


def measure_instructions(selected):
    empty_loops = {}  # the empty loop's count by length
    print("Instructions per call (callgrind after %d warm-up runs, %s %s), the empty loop taken"
          " off" % (WARM_UP, sys.implementation.name, sys.version.split()[0]))
    print("%-55s %10s %10s %10s %10s %8s %8s %8s" % ("workload", "module", "Cython", "plain",
                                                    "floor", "/Cython", "/plain", "/floor"))
    for name, description, _, length in selected:
        if length not in empty_loops:
            empty_loops[length] = counted_loop("empty", "plain", length)
        module, cython, plain, floor = [
            (counted_loop(name, implementation, length) - empty_loops[length]) / float(length)
            for implementation in IMPLEMENTATIONS]
        print("%-55s %10s %10s %10s %10s %8.2f %8.2f %8.2f"
              % (description, thousands(module), thousands(cython), thousands(plain),
                 thousands(floor), ratio(module, cython), ratio(module, plain),
                 ratio(module, floor)))
        sys.stdout.flush()


def best_time_per_call(workload, implementation, body, repeat):
    names = prepare(target_module(implementation), workload)
    run = loop_function(body, names)
    empty = loop_function(EMPTY, names)
    length = 1
    while timeit.timeit(lambda: run(length), number=1) < 0.05:
        length *= 2
    run(length)  # a JIT compiles the loop before it is timed
    empty(length)
    best = min(timeit.repeat(lambda: run(length), number=1, repeat=repeat))
    best_empty = min(timeit.repeat(lambda: empty(length), number=1, repeat=repeat))
    return max(best - best_empty, 0.0) / length


def ratio(part, whole):
    return part / whole if whole else float("inf")


def measure_wall_clock(selected, repeat):
    print("Wall-clock time per call, best of %d repeats (%s %s)"
          % (repeat, sys.implementation.name, sys.version.split()[0]))
    print("%-55s %13s %13s %13s %13s %8s %8s %8s" % ("workload", "module", "Cython", "plain",
                                                    "floor", "/Cython", "/plain", "/floor"))
    module_times = {}
    for name, description, body, _ in selected:
        module, cython, plain, floor = [best_time_per_call(name, implementation, body, repeat)
                                        for implementation in IMPLEMENTATIONS]
        module_times[name] = module
        print("%-55s %10.0f ns %10.0f ns %10.0f ns %10.0f ns %8.2f %8.2f %8.2f"
              % (description, module * 1e9, cython * 1e9, plain * 1e9, floor * 1e9,
                 ratio(module, cython), ratio(module, plain), ratio(module, floor)))
        sys.stdout.flush()
    positional = module_times.get("positional")
    if positional:
        for name in ("keyword", "argument_error"):
            if name in module_times:
                print("module: %s / positional = %.2f" % (name, module_times[name] / positional))


def main():
    global kept_profiles
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--wall", action="store_true", help="wall-clock time instead")
    parser.add_argument("--repeat", type=int, default=7, help="repeats of the wall-clock mode")
    parser.add_argument("--only", action="append", metavar="NAME",
                        choices=[w[0] for w in WORKLOADS], help="measure only this workload")
    parser.add_argument("--peer-fastcall", action="store_true",
                        help="the compiled peer with Cython's vector calling convention")
    parser.add_argument("--keep-profiles", metavar="FOLDER",
                        help="keep callgrind's profiles there, one per workload, peer and length"
                        " (callgrind_annotate reads them)")
    parser.add_argument("--worker", nargs=3, help=argparse.SUPPRESS)
    parser.add_argument("--build-peer", metavar="FOLDER", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.build_peer:
        compile_peer_here(options.build_peer, options.peer_fastcall)
        return
    if options.worker:
        sys.path.insert(0, os.environ["KORVEX_BENCHMARK_PEER"])
        workload, implementation, length = options.worker
        run_worker(workload, implementation, int(length))
        return
    # The workers that callgrind runs find the peer through the environment.
    # On PyPy the module's functions take the vector convention, as Cython's do.
    fastcall = options.peer_fastcall or sys.implementation.name != "cpython"
    peer = build_compiled_peer(fastcall)
    os.environ["KORVEX_BENCHMARK_PEER"] = peer
    sys.path.insert(0, peer)
    if options.keep_profiles:
        os.makedirs(options.keep_profiles, exist_ok=True)
        kept_profiles = os.path.abspath(options.keep_profiles)
    selected = [w for w in WORKLOADS if not options.only or w[0] in options.only]
    if options.wall:
        measure_wall_clock(selected, options.repeat)
    else:
        measure_instructions(selected)


if __name__ == "__main__":
    main()
