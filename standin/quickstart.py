"""Makes a stand-in installation and a few models to try the command line on, and prints
the lines that point the command line at them.

    python standin/quickstart.py [FOLDER]      (default: ./korvex-quickstart)

FOLDER receives "installation" (the stand-in application, its settings files included) and
"models": four piping models saved in one folder, as a project's are, with the folder's
.thf file, and one structure model. Nothing outside FOLDER is touched.
"""

import json
import os
import sys

STANDIN = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, STANDIN)

from korvex_standin.installation import build_installation  # noqa: E402

PIPING_MODELS = {"Plant": ["PIPE-A", "PIPE-B"], "Frame": ["RACK"], "Pump": ["SUCTION",
                 "DISCHARGE"], "Tank": ["NOZZLE"]}


def write_model(path, module, layers):
    with open(path, "w", encoding="utf-8") as stream:
        json.dump({"Format": "quarL", "FormatVersion": 1, "Module": module,
                   "Layers": [{"Name": name} for name in layers]}, stream)


def main(argv):
    folder = os.path.abspath(argv[0] if argv else "korvex-quickstart")
    if os.path.exists(os.path.join(folder, "installation")):
        sys.exit("%s has an installation already; give another folder" % folder)
    installation = build_installation(os.path.join(folder, "installation"))
    models = os.path.join(folder, "models")
    os.makedirs(os.path.join(models, "structures"))
    for name, layers in PIPING_MODELS.items():
        write_model(os.path.join(models, name + ".quarl"), "Velmora", layers)
    with open(os.path.join(models, "site.thf"), "w", encoding="utf-8") as stream:
        stream.write("TEMPERATURE 180\n")
    write_model(os.path.join(models, "structures", "Hall.quarl"), "Norvane", ["COLUMNS"])
    python_path = os.pathsep.join([STANDIN] + ([os.environ["PYTHONPATH"]]
                                               if os.environ.get("PYTHONPATH") else []))
    settings = [("PYTHONPATH", python_path), ("KORVEX_INSTALLATION", installation.directory),
                ("KORVEX_SETTINGS_PATH", installation.settings_path),
                ("KORVEX_DATASOURCES_PATH", installation.data_sources_path)]
    if os.name == "nt":
        for name, value in settings:
            print('set "%s=%s"' % (name, value))
    else:
        for name, value in settings:
            print("export %s='%s'" % (name, value))
    sys.stderr.write("models to try: %s\n" % models)


if __name__ == "__main__":
    main(sys.argv[1:])
