"""Run the example scripts against a stand-in installation of the application.

    python examples/run_demo.py [--keep] [--bridge python|dotnet] [script ...]

Builds a stand-in installation in a fresh temporary folder, runs each example
script (all NN_*.py by default) in its own process, and removes the folder at
the end (--keep leaves it for a look).  The scripts' sandboxes go to a temporary
directory inside that folder; any left behind are reported.  The module is taken
from the running interpreter, or from KORVEX_PACKAGE_DIR when it is set.

--bridge python (the default) runs the scripts on the stand-in bridge of standin/;
--bridge dotnet runs them on the real .NET bridge (pythonnet on Mono), against the
stand-in SDK compiled into .NET assemblies.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
STANDIN = os.path.join(os.path.dirname(HERE), "standin")
sys.path.insert(0, STANDIN)

from korvex_standin import build_installation, dotnet  # noqa: E402

BRIDGE_PATHS = {"python": STANDIN, "dotnet": dotnet.BRIDGE_PATH}

BRIDGE_NAMES = {"python": "stand-in (standin/clr.py)", "dotnet": "real .NET bridge (pythonnet on Mono)"}
UUID_NAME = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")


def example_scripts(wanted):
    scripts = sorted(f for f in os.listdir(HERE) if re.match(r"^\d\d_.*\.py$", f))
    if wanted:
        scripts = [s for s in scripts if s in wanted or s[:-3] in wanted or s[:2] in wanted]
    return scripts


def script_environment(installation, work_dir, temp_dir, bridge):
    env = dict(os.environ)
    path = [BRIDGE_PATHS[bridge], HERE]
    if env.get("KORVEX_PACKAGE_DIR"):
        path.append(env["KORVEX_PACKAGE_DIR"])
    if env.get("PYTHONPATH"):
        path.append(env["PYTHONPATH"])
    env.update({
        "PYTHONPATH": os.pathsep.join(path),
        "PYTHONUNBUFFERED": "1",
        "KORVEX_INSTALLATION": installation.directory,
        "KORVEX_SETTINGS_PATH": installation.settings_path,
        "KORVEX_DATASOURCES_PATH": installation.data_sources_path,
        "KORVEX_WORK_DIR": work_dir,
        "TMPDIR": temp_dir, "TEMP": temp_dir, "TMP": temp_dir,
    })
    if bridge == "dotnet":
        env.update(dotnet.RUNTIME_ENVIRONMENT)
    return env


def module_problem(env):
    """None when the scripts can import the module, else the error text."""
    check = subprocess.run([sys.executable, "-c", "import korvex_computer.korvex_core"],
                           env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           universal_newlines=True)
    return None if check.returncode == 0 else check.stdout.strip().splitlines()[-1]


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="run_demo.py")
    parser.add_argument("--keep", action="store_true", help="leave the demo folder for a look")
    parser.add_argument("--bridge", choices=sorted(BRIDGE_PATHS), default="python",
                        help="the stand-in bridge (python) or the real .NET bridge (dotnet)")
    parser.add_argument("scripts", nargs="*", help="example scripts to run (default: all)")
    return parser.parse_args(argv)


def main(argv):
    arguments = parse_arguments(argv)
    keep = arguments.keep
    scripts = example_scripts(arguments.scripts)
    root = tempfile.mkdtemp(prefix="korvex-demo-")
    installation = build_installation(os.path.join(root, "installation"), bridge=arguments.bridge)
    work_dir = os.path.join(root, "work")
    temp_dir = os.path.join(root, "tmp")
    os.makedirs(work_dir)
    os.makedirs(temp_dir)
    env = script_environment(installation, work_dir, temp_dir, arguments.bridge)

    print("Bridge:                %s" % BRIDGE_NAMES[arguments.bridge])
    print("Stand-in installation: %s" % installation.directory)
    print("Work folder:           %s" % work_dir)
    problem = module_problem(env)
    if problem:
        print("The module cannot be imported (%s)." % problem)
        print("Build it first: ./scripts/demo, or python -m pip install .")

    failed = []
    for script in scripts:
        print()
        print("=" * 72)
        print("== %s" % script)
        print("=" * 72)
        sys.stdout.flush()
        code = subprocess.call([sys.executable, os.path.join(HERE, script)], env=env, cwd=work_dir)
        if code != 0:
            print("!! %s ended with exit code %d" % (script, code))
            failed.append(script)

    print()
    print("=" * 72)
    left = sorted(n for n in os.listdir(temp_dir) if UUID_NAME.match(n))
    if left:
        print("Sandboxes left in the temporary directory: %s" % ", ".join(left))
    else:
        print("No sandbox left in the temporary directory.")
    if keep:
        print("Kept the demo folder: %s" % root)
    else:
        shutil.rmtree(root, ignore_errors=True)
        print("Removed the demo folder.")
    print("%d script(s) ran, %d failed%s" % (len(scripts), len(failed),
                                             (": " + ", ".join(failed)) if failed else ""))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
