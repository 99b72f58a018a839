"""Set-up and the globals it fills; loading libraries, including files that cannot be loaded."""

import os
import shutil

import korvex_computer as cc
import korvex_computer.korvex_core as core

import scenario_kit as kit
from scenario_kit import seen

core._settingsPath_ = os.environ["KORVEX_SETTINGS_PATH"]
core._dataSourcesPath_ = os.environ["KORVEX_DATASOURCES_PATH"]

# An installation without its Extensions folder binds the paths but loads nothing.
bare = os.path.join(kit.WORK, "Velmora without extensions")
shutil.copytree(kit.INSTALL_DIR, bare, ignore=shutil.ignore_patterns("Extensions"))
result, lines = kit.printed(cc.setup_korvex_computer, bare, cc.KorvexModule.Velmora)
seen["bare set-up"] = {"result": result, "printed": lines, "exe path": core._exePath_,
                       "dlls": list(core._dlls_), "application": kit.plain(core._Application_)}

result, lines = kit.printed(cc.setup_korvex_computer, kit.INSTALL_DIR, cc.KorvexModule.Velmora)
application = core._Application_
seen["set-up"] = {
    "result": result, "printed": lines, "valid": core._validSetup_,
    "paths": [core._exePath_, core._dllPath_, core._Aster_, core._PipeStress_,
              core._dataPath_, core._projectPath_],
    "dlls": list(core._dlls_),
    "culture": core._CultureInfo_.Name,
    "application": kit.plain(application),
    "application directory": application.InstallationDirectory,
    "controller bound to the application": core._commandController_.Application == application,
}
from System.Threading import Thread  # noqa: E402 - importable once the bridge is up
thread = Thread.CurrentThread
seen["caller's cultures"] = [thread.CurrentCulture.Name, thread.CurrentUICulture.Name]

result, lines = kit.printed(cc.setup_korvex_computer, kit.INSTALL_DIR, cc.KorvexModule.Velmora)
seen["second set-up"] = {"result": result, "printed": lines,
                         "same application": core._Application_ == application}

# Libraries: one missing from both folders, one that is no assembly, one that loads.
with open(os.path.join(core._dllPath_, "Korvex.Broken.dll"), "w") as f:
    f.write("not an assembly\n")
for name in ("Korvex.Nothing.dll", "Korvex.Broken.dll", "Korvex.Helper.dll"):
    seen["load_dll " + name] = kit.attempt(kit.printed, cc.load_dll, name, message=name != "Korvex.Broken.dll")
seen["dlls after loading"] = list(core._dlls_)
from Korvex.Helper import StudyNames  # noqa: E402 - importable once its assembly is loaded
seen["helper answers"] = StudyNames.CopyName("S1", ["S1", "S1 - Copy"])

kit.report()
