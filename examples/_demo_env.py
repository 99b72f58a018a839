"""Shared by the example scripts: where the demo's installation and work folder are.

The demo (run_demo.py) sets these environment variables:
  KORVEX_INSTALLATION      the installation directory of the application, as for the
                           command line (KORVEX_INSTALL_DIR, its former name, is still read)
  KORVEX_SETTINGS_PATH     the machine settings file (Velmora.settings)
  KORVEX_DATASOURCES_PATH  the data sources file (DataSources.settings)
  KORVEX_WORK_DIR          a folder where the scripts may write
"""

import os
import warnings

import korvex_computer as cc
import korvex_computer.korvex_core as core

# The solver runs start their worker thread with setDaemon(True), which Python 3.10+
# reports as deprecated; the demo's readers need not see that each time.
warnings.filterwarnings("ignore", message="setDaemon", category=DeprecationWarning)

INSTALL_DIR = os.environ.get("KORVEX_INSTALLATION") or os.environ["KORVEX_INSTALL_DIR"]
WORK_DIR = os.environ["KORVEX_WORK_DIR"]


def use_demo_settings():
    """Point the module at the demo's settings files instead of the machine-wide ones."""
    core._settingsPath_ = os.environ["KORVEX_SETTINGS_PATH"]
    core._dataSourcesPath_ = os.environ["KORVEX_DATASOURCES_PATH"]


def setup():
    """Bind the module to the demo installation; stops the script if that fails."""
    use_demo_settings()
    if not cc.setup_korvex_computer(INSTALL_DIR, cc.KorvexModule.Velmora):
        raise SystemExit("The installation at %s has no Extensions folder." % INSTALL_DIR)


def work_folder(*parts):
    """A folder under the demo's work folder, created if needed."""
    path = os.path.join(WORK_DIR, *parts)
    os.makedirs(path, exist_ok=True)
    return path


def show_tree(directory, indent="    "):
    """Print the files and folders under ``directory``."""
    for current, folders, files in os.walk(directory):
        folders.sort()
        depth = os.path.relpath(current, directory).count(os.sep) + (current != directory)
        if current != directory:
            print("%s%s/" % (indent * depth, os.path.basename(current)))
        for name in sorted(files):
            print("%s%s" % (indent * (depth + 1), name))


def layer_names(model):
    return [layer.Name for layer in model.Layers]
