"""A script written with types: the package's stubs let an editor and mypy --strict check it.

    mypy --strict examples/06_typed_script.py

Where the installation and the settings files are comes from the demo's environment
variables (see _demo_env.py); on a machine with the application, the module's own settings
paths are right and only the installation directory is needed.
"""

import os
import warnings
from typing import Optional

import korvex_computer as cc

warnings.filterwarnings("ignore", message="setDaemon", category=DeprecationWarning)


def bind(installation: str, settings: Optional[str], data_sources: Optional[str]) -> bool:
    if settings is not None:
        cc.korvex_core._settingsPath_ = settings
    if data_sources is not None:
        cc.korvex_core._dataSourcesPath_ = data_sources
    return cc.setup_korvex_computer(installation, cc.KorvexModule.Velmora)


def solve_in_sandbox(model_path: str, solver: str) -> Optional[str]:
    """Solves a model in a sandbox; the text of the solution's status, or None."""
    solution = cc.solve(model_path, solver, True)
    if solution is None:
        return None
    try:
        status: str = str(solution.Status)
    finally:
        cc.disposeSolution()
    return status


def main() -> None:
    directory = os.environ.get("KORVEX_INSTALLATION") or os.environ["KORVEX_INSTALL_DIR"]
    if not bind(directory, os.environ.get("KORVEX_SETTINGS_PATH"),
                os.environ.get("KORVEX_DATASOURCES_PATH")):
        raise SystemExit("The installation has no Extensions folder.")
    folder = os.path.join(os.environ.get("KORVEX_WORK_DIR", "."), "typed")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "Typed.quarl")

    model = cc.createPipingQuarl()
    cc.saveQuarl(model, path)
    print("Saved", path, "with the solver input file", cc.find_first_file(folder, ".fre"))

    reloaded = cc.loadQuarl(path)   # a model, or None: the type says so
    print("Loaded again:", reloaded is not None)

    for solver in ("PipeStress", "Aster"):
        print("%-10s %s" % (solver, solve_in_sandbox(path, solver)))

    namespace, assembly = cc.findNameSpaceAndAssembly("Solution")
    print("Solution is in", namespace, "of", assembly)
    print("Assemblies loaded:", ", ".join(cc.korvex_core._dlls_))


if __name__ == "__main__":
    main()
