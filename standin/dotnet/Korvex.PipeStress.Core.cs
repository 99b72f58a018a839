// Korvex.PipeStress.Core: the PipeStress solver and the analysis model of its run
// (standin/korvex_standin/sdk/solvers.py).
using System.Reflection;
using Korvex.Standin;
using Korvex.Velmora.Core;

[assembly: AssemblyVersion("24.1.0.0")]

namespace Korvex.PipeStress.Core
{
    // Solves a piping model from its .fre input file (and an optional .thf file).
    public class PipeStressSolver : ISolver
    {
        private readonly SolverRun run;
        private readonly string frefile;
        private readonly string thffile;

        public PipeStressSolver(string solverPath, Model model, string frefile, string thffile)
        {
            run = new SolverRun("PipeStressSolver", "PipeStress", solverPath, model, BasePath);
            if (frefile == null) throw Errors.Null("frefile");
            this.frefile = frefile;
            this.thffile = thffile;
        }

        private string BasePath() { return PyPath.StripExtension(PyPath.Abspath(frefile)); }

        public bool IgnoreWarnings { get { return run.IgnoreWarnings; } set { run.SetIgnoreWarnings(value); } }
        public string SolverPath { get { return run.Program; } }
        public int? ExitCode { get { return run.ExitCode; } }
        public string ResultFile { get { return run.ResultsPath; } }
        public string InputFile { get { return frefile; } }
        public string ThermalFile { get { return thffile; } }

        public int Run()
        {
            return run.Execute(PyPath.Abspath(frefile), thffile);
        }

        public AnalysisModel GetAnalysisModel()
        {
            run.CheckAlive();
            var results = run.ReadResults();
            return results == null ? null : new AnalysisModel(results);
        }

        public void Dispose() { run.Release(); }

        string ISolver.Label { get { return run.Label; } }
        void ISolver.CheckAlive() { run.CheckAlive(); }
        JsonObject ISolver.ReadResults() { return run.ReadResults(); }
        void ISolver.Release() { run.Release(); }
    }

    // The analysis model that a PipeStress run left.
    public class AnalysisModel
    {
        private readonly JsonObject results;

        internal AnalysisModel(JsonObject results) { this.results = results; }

        public object SolverName { get { return Results.Field(results, "Solver"); } }
        public string Status { get { return Results.Status(results); } }
        public object InputFile { get { return Results.Field(results, "Input"); } }
        public object ThermalFile { get { return Results.Field(results, "ThermalFile"); } }
        public object ResultFile { get { return Results.Field(results, "ResultFile"); } }
        public object ModelKind { get { return Results.Field(results, "Model"); } }
        public string[] Layers { get { return Results.Texts(results, "Layers"); } }
        public string[] Warnings { get { return Results.Texts(results, "Warnings"); } }
        public object Culture { get { return Results.Field(results, "Culture"); } }
    }
}
