"""The stand-in SDK: the classes of the Korvex namespaces."""

from . import application, commands, helper, model, project, solvers

NAMESPACES = {
    "Korvex.SDK": {
        "KorvexApplication": application.KorvexApplication,
        "SettingsController": application.SettingsController,
        "KorvexModule": application.KorvexModule,
        "KorvexClassInspector": application.KorvexClassInspector,
    },
    "Korvex.Helper": {"StudyNames": helper.StudyNames},
    "Korvex.Velmora.Core": {
        "Model": model.Model,
        "Layer": model.Layer,
        "LayerCollection": model.LayerCollection,
        "PipingCode": model.PipingCode,
        "StructureCode": model.StructureCode,
        "PSLibrary": model.PSLibrary,
        "Solution": solvers.Solution,
        "CustomCommand": commands.CustomCommand,
        "CommandController": commands.CommandController,
    },
    "Korvex.Velmora.Project": {
        "ProjectViewModel": project.ProjectViewModel,
        "StudyModel": project.StudyModel,
    },
    "Korvex.PipeStress.Core": {
        "PipeStressSolver": solvers.PipeStressSolver,
        "AnalysisModel": solvers.AnalysisModel,
    },
    "Korvex.Aster.Core": {"AsterSolver": solvers.AsterSolver},
}
