// Korvex.Aster.Core: the Aster solver (standin/korvex_standin/sdk/solvers.py).
using System.IO;
using System.Linq;
using System.Reflection;
using Korvex.Standin;
using Korvex.Velmora.Core;

[assembly: AssemblyVersion("24.1.0.0")]

namespace Korvex.Aster.Core
{
    // Solves a piping or structure model: BuildAnalysisModel writes the analysis input
    // "<base>.aster.inp" beside the model file, then Run solves it.
    public class AsterSolver : ISolver
    {
        private readonly SolverRun run;
        private readonly string quarlFile;
        private readonly string thffile;

        public AsterSolver(string solverPath, Model model, string quarlFilename, string thffile, bool keepDistantModels)
        {
            Assemblies.Require("Korvex.Helper");
            run = new SolverRun("AsterSolver", "Aster", solverPath, model, BasePath);
            if (quarlFilename == null) throw Errors.Null("quarlFilename");
            quarlFile = quarlFilename;
            this.thffile = thffile;
        }

        private string BasePath() { return PyPath.StripExtension(PyPath.Abspath(quarlFile)); }

        public bool IgnoreWarnings { get { return run.IgnoreWarnings; } set { run.SetIgnoreWarnings(value); } }
        public string SolverPath { get { return run.Program; } }
        public int? ExitCode { get { return run.ExitCode; } }
        public string ResultFile { get { return run.ResultsPath; } }
        public string InputFile { get { return BasePath() + ".aster.inp"; } }
        public string ThermalFile { get { return thffile; } }

        // 0 when the analysis input is written, -1 when the model cannot be built.
        public int BuildAnalysisModel(bool keepDistantModels)
        {
            run.CheckAlive();
            var names = run.Model.Layers.Select(l => (object)l.Name).ToList();
            if (names.Count == 0 || !Directory.Exists(PyPath.Dirname(InputFile))) return -1;
            var document = new JsonObject()
                .Set("Format", "Aster analysis model")
                .Set("Model", run.Model.CalculationCode is PipingCode ? "PIPING" : "STRUCTURE")
                .Set("Layers", names)
                .Set("QuarlFile", PyPath.Abspath(quarlFile))
                .Set("KeepDistantModels", keepDistantModels);
            Json.WriteFile(InputFile, document, "");
            return 0;
        }

        public int Run()
        {
            return run.Execute(InputFile, thffile);
        }

        public void Dispose() { run.Release(); }

        string ISolver.Label { get { return run.Label; } }
        void ISolver.CheckAlive() { run.CheckAlive(); }
        JsonObject ISolver.ReadResults() { return run.ReadResults(); }
        void ISolver.Release() { run.Release(); }
    }
}
