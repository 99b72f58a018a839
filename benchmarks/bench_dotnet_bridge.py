"""Times createPipingQuarl, loadQuarl and saveQuarl on the real .NET bridge (pythonnet on Mono),
beside the direct pythonnet calls each one makes, and prints both and the module's own cost
(the difference: set-up guard, load_dll checks, from-imports at each call, path work).

    .venv-cpython/bin/python benchmarks/bench_dotnet_bridge.py

Needs pythonnet in that environment and Mono's mono-devel (./scripts/demo --bridge dotnet
installs both). The script builds a stand-in installation with the SDK compiled into .NET
assemblies, then runs the timings in a fresh interpreter set up for the real bridge.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
STANDIN = os.path.join(HERE, os.pardir, "standin")
REPEAT = 15


def launch():
    """Build the installation, then run this script again on the real bridge."""
    sys.path.insert(0, STANDIN)
    from korvex_standin import build_installation, dotnet
    # Saving writes two files and reads the settings file six times: a memory file system,
    # where there is one, keeps the disk's own delays out of the figures.
    memory = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    root = tempfile.mkdtemp(prefix="bench_dotnet_bridge_", dir=memory)
    try:
        installation = build_installation(os.path.join(root, "installation"), bridge="dotnet")
        work = os.path.join(root, "work")
        os.makedirs(work)
        env = dict(os.environ, **dotnet.RUNTIME_ENVIRONMENT)
        env["PYTHONPATH"] = os.pathsep.join([dotnet.BRIDGE_PATH] + [p for p in [env.get("PYTHONPATH")] if p])
        env["KORVEX_BENCH"] = json.dumps({"directory": installation.directory,
                                          "settings": installation.settings_path,
                                          "data_sources": installation.data_sources_path,
                                          "work": work})
        return subprocess.call([sys.executable, os.path.abspath(__file__)], env=env)
    finally:
        shutil.rmtree(root, ignore_errors=True)


def best_of_both(first, second):
    """The best time of one call of each function, in microseconds, timed in turns so that the
    load of a shared machine weighs on both alike."""
    timers = [timeit.Timer(first), timeit.Timer(second)]
    number = max(timer.autorange()[0] for timer in timers)
    best = [float("inf"), float("inf")]
    for _ in range(REPEAT):
        for index, timer in enumerate(timers):
            best[index] = min(best[index], timer.timeit(number) / number * 1e6)
    return best


def measure(paths):
    import korvex_computer.korvex_core as core
    core._settingsPath_ = paths["settings"]
    core._dataSourcesPath_ = paths["data_sources"]
    with open(os.devnull, "w") as quiet:
        sys.stdout, shown = quiet, sys.stdout
        try:
            core.setup_korvex_computer(paths["directory"], core.KorvexModule.Velmora)
            core.load_dll("Korvex.Helper.dll")
        finally:
            sys.stdout = shown

    from Korvex.SDK import KorvexModule
    from Korvex.Velmora.Core import Layer, Model, PSLibrary

    application = core._Application_
    library = os.path.join(core._dllPath_, "Korvex.PipeStress.lib")
    path = os.path.join(paths["work"], "Plant.quarl")
    model = core.createPipingQuarl()
    core.saveQuarl(model, path)

    def create_directly():
        made = Model(KorvexModule.Velmora)
        made.Layers.Add(Layer("0"))
        return made

    def load_directly():
        if os.path.exists(path):
            loaded = Model()
            loaded.LoadFromFile(path)
            return loaded

    def save_directly():
        model.SaveToFile(path)
        if not os.path.exists(library):
            raise OSError("no library")
        PSLibrary.Initialize(library)
        directory = os.path.dirname(path)
        frefile = os.path.join(directory, os.path.splitext(os.path.basename(path))[0] + ".fre")
        if not os.path.exists(frefile):
            frefile = os.path.join(directory, "conception.fre")
        if os.path.exists(frefile):
            os.remove(frefile)
        settings = application.GetSettingsController()
        max_length = int(settings.GetSettingValue("PIPESTRESS", "MAX FIELD LENGTH"))
        units = settings.GetSettingValue("PIPESTRESS", "ROTATION UNITS")
        rotation = 1 if units == "Degrees" else 2 if units == "Milliradians" else 0
        restraints = int(settings.GetSettingValue("PIPESTRESS", "GENERATE RESTRAINTS INLINE")) == 1
        dlcs = int(settings.GetSettingValue("PIPESTRESS", "GENERATE DLCS INLINE")) == 1
        indi = int(settings.GetSettingValue("PIPESTRESS", "GENERATE INDI INLINE")) == 1
        imperial = int(settings.GetSettingValue("VELMORA", "USE IMPERIAL NOTATION")) == 1
        model.WriteFreFile(frefile, None, max_length, rotation, False, imperial, restraints, dlcs, indi,
                           False, None, None)

    cases = [
        ("createPipingQuarl()", core.createPipingQuarl, create_directly),
        ("loadQuarl(path)", lambda: core.loadQuarl(path), load_directly),
        ("saveQuarl(model, path)", lambda: core.saveQuarl(model, path), save_directly),
    ]
    print("The module on the real .NET bridge (pythonnet on Mono), %s %s"
          % (sys.implementation.name, sys.version.split()[0]))
    print("%-24s %12s %12s %12s" % ("", "module", "direct", "module's own"))
    for name, through_module, directly in cases:
        module_time, direct_time = best_of_both(through_module, directly)
        print("%-24s %9.1f us %9.1f us %9.1f us" % (name, module_time, direct_time, module_time - direct_time))


if __name__ == "__main__":
    if "KORVEX_BENCH" in os.environ:
        measure(json.loads(os.environ["KORVEX_BENCH"]))
    else:
        sys.exit(launch())
