// Korvex.Velmora.Core: quarL models and their files, layers, calculation codes, the .fre writer,
// solutions and the custom commands. Same behaviour, messages and files as
// standin/korvex_standin/sdk/model.py, solvers.py (Solution and the solver runs) and commands.py.
using System;
using System.Collections;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.CompilerServices;
using System.Text;
using System.Threading;
using Korvex.SDK;
using Korvex.Standin;

[assembly: AssemblyVersion("24.1.0.0")]
[assembly: InternalsVisibleTo("Korvex.Velmora.Project")]
[assembly: InternalsVisibleTo("Korvex.PipeStress.Core")]
[assembly: InternalsVisibleTo("Korvex.Aster.Core")]

namespace Korvex.Velmora.Core
{
    // Calculation code of a piping model.
    public class PipingCode
    {
        public string Name { get { return "PIPING"; } }
    }

    // Calculation code of a structure model.
    public class StructureCode
    {
        public string Name { get { return "STRUCTURE"; } }
    }

    public class Layer
    {
        private string name;

        public Layer(string name)
        {
            this.name = CheckName(name, "layer name");
        }

        public string Name
        {
            get { return name; }
            set { name = CheckName(value, "layer name"); }
        }

        internal void Rename(string newName) { name = newName; }

        internal static string CheckName(string value, string what)
        {
            if (value == null) throw Errors.Null(what);
            if (value.Trim().Length == 0)
                throw Errors.Argument("A " + what + " must be a non-empty text, not " + PyText.Repr(value) + ".");
            return value;
        }
    }

    // The layers of a model, in order; names are unique.
    public class LayerCollection : IEnumerable<Layer>, ICollection
    {
        private List<Layer> layers = new List<Layer>();

        public void Add(Layer layer)
        {
            if (layer == null) throw Errors.Null("layer");
            if (Find(layer.Name) != null) throw Errors.Argument("A layer named '" + layer.Name + "' already exists.");
            layers.Add(layer);
        }

        public bool Remove(Layer layer) { return layers.Remove(layer); }
        public bool Contains(string name) { return Find(name) != null; }
        public int Count { get { return layers.Count; } }
        public Layer this[int index] { get { return layers[index]; } }

        internal Layer Find(string name) { return layers.FirstOrDefault(l => l.Name == name); }
        internal List<string> Names() { return layers.Select(l => l.Name).ToList(); }
        internal void Replace(IEnumerable<Layer> replacement) { layers = replacement.ToList(); }

        IEnumerator<Layer> IEnumerable<Layer>.GetEnumerator() { return layers.ToList().GetEnumerator(); }
        IEnumerator IEnumerable.GetEnumerator() { return layers.ToList().GetEnumerator(); }
        void ICollection.CopyTo(Array array, int index) { ((ICollection)layers).CopyTo(array, index); }
        bool ICollection.IsSynchronized { get { return false; } }
        object ICollection.SyncRoot { get { return this; } }
    }

    // The files of quarL models: UTF-8 JSON
    //   {"Format": "quarL", "FormatVersion": 1, "Module": "Velmora", "CalculationCode": "PIPING",
    //    "Layers": [{"Name": "0"}]}
    internal static class QuarlFile
    {
        public static void Read(string path, out KorvexModule module, out List<string> names)
        {
            if (Directory.Exists(path)) throw Errors.AccessDenied(path);
            if (!File.Exists(path)) throw Errors.FileNotFound(path);
            object parsed;
            try
            {
                parsed = Json.ReadFile(path);
            }
            catch (JsonError error)
            {
                throw Bad(path, "it is not quarL text (" + error.Message + ")");
            }
            var document = parsed as JsonObject;
            if (document == null || !"quarL".Equals(document.Get("Format")))
                throw Bad(path, "the quarL header is missing");
            if (!TryModule(document.Get("Module"), out module))
                throw Bad(path, "unknown application module " + PyText.Repr(document.Get("Module")));
            var layers = document.Get("Layers") as List<object>;
            if (layers == null) throw Bad(path, "no layer list");
            names = new List<string>();
            foreach (var entry in layers)
            {
                var map = entry as JsonObject;
                var name = map != null ? map.Get("Name") as string : null;
                if (name == null || name.Trim().Length == 0 || names.Contains(name))
                    throw Bad(path, "invalid layer " + PyText.Repr(entry));
                names.Add(name);
            }
        }

        public static void Write(string path, KorvexModule module, IEnumerable<string> names)
        {
            if (!Directory.Exists(PyPath.Dirname(PyPath.Abspath(path)))) throw Errors.DirectoryNotFound(path);
            if (Directory.Exists(path)) throw Errors.AccessDenied(path);
            var document = new JsonObject()
                .Set("Format", "quarL")
                .Set("FormatVersion", 1L)
                .Set("Module", module.ToString())
                .Set("CalculationCode", module == KorvexModule.Velmora ? "PIPING" : "STRUCTURE")
                .Set("Layers", names.Select(n => (object)new JsonObject().Set("Name", n)).ToList());
            Json.WriteFile(path, document, "\n");
        }

        public static bool TryModule(object text, out KorvexModule module)
        {
            foreach (KorvexModule member in Enum.GetValues(typeof(KorvexModule)))
                if (member.ToString().Equals(text)) { module = member; return true; }
            module = KorvexModule.Velmora;
            return false;
        }

        static InvalidDataException Bad(string path, string reason)
        {
            return new InvalidDataException("'" + path + "' is not a valid quarL file: " + reason + ".");
        }
    }

    // The native PipeStress library; .fre files can be written once it is initialised.
    public class PSLibrary
    {
        internal static string LoadedPath;

        public static void Initialize(string path)
        {
            if (path == null) throw Errors.Null("path");
            if (!File.Exists(path)) throw Errors.FileNotFound(path);
            string header = null;
            try
            {
                using (var reader = new StreamReader(path, new UTF8Encoding(false, true)))
                    header = (reader.ReadLine() ?? "").Trim();
            }
            catch (DecoderFallbackException) { }
            catch (IOException) { }
            if (header != "KORVEX-PSLIB 1")
                throw new BadImageFormatException("'" + path + "' is not a PipeStress native library.");
            LoadedPath = PyPath.Abspath(path);
        }

        public static string LibraryPath { get { return LoadedPath; } }
    }

    // A quarL model: a piping (Velmora) or structure (Norvane) model made of layers.
    public class Model
    {
        static readonly string[] Rotations = { "DEFAULT", "DEGREES", "MILLIRADIANS" };

        private KorvexModule module;
        private readonly LayerCollection layers = new LayerCollection();
        private string file;

        public Model() : this(KorvexModule.Velmora) { }

        public Model(KorvexModule module)
        {
            // The model classes depend on the helper assembly.
            Assemblies.Require("Korvex.Helper");
            this.module = module;
        }

        public KorvexModule Module { get { return module; } }

        public object CalculationCode
        {
            get { return module == KorvexModule.Velmora ? (object)new PipingCode() : new StructureCode(); }
        }

        public LayerCollection Layers { get { return layers; } }
        public string FileName { get { return file; } }

        public void LoadFromFile(string path)
        {
            if (path == null) throw Errors.Null("path");
            KorvexModule loaded;
            List<string> names;
            QuarlFile.Read(path, out loaded, out names);
            module = loaded;
            layers.Replace(names.Select(n => new Layer(n)));
            file = PyPath.Abspath(path);
        }

        public void SaveToFile(string path)
        {
            if (path == null) throw Errors.Null("path");
            QuarlFile.Write(path, module, layers.Names());
            file = PyPath.Abspath(path);
        }

        // Writes the PipeStress input file of the model.
        // progress: null or a callback given 0 and 100; append: add to an existing file;
        // writeComments: add comment lines; layerFilter: null or the layer names to write;
        // title: null for the model's file name.
        public void WriteFreFile(string fileName, Action<int> progress, int maxFieldLength, int rotationUnits,
                                 bool append, bool imperial, bool inlineRestraints, bool inlineDLCS,
                                 bool inlineINDI, bool writeComments, string[] layerFilter, string title)
        {
            if (PSLibrary.LoadedPath == null)
                throw new InvalidOperationException(
                    "The PipeStress library is not initialised; call PSLibrary.Initialize first.");
            if (fileName == null) throw Errors.Null("fileName");
            if (maxFieldLength < 10)
                throw Errors.OutOfRange("The field length must be at least 10. (Parameter 'maxFieldLength')\nActual value was "
                                        + PyText.Int(maxFieldLength) + ".");
            if (rotationUnits < 0 || rotationUnits > 2)
                throw Errors.OutOfRange("Rotation units must be 0, 1 or 2. (Parameter 'rotationUnits')\nActual value was "
                                        + PyText.Int(rotationUnits) + ".");
            if (!Directory.Exists(PyPath.Dirname(PyPath.Abspath(fileName)))) throw Errors.DirectoryNotFound(fileName);
            if (progress != null) progress(0);
            var names = layers.Names();
            if (layerFilter != null) names = names.Where(layerFilter.Contains).ToList();
            if (title == null) title = PyPath.StripExtension(PyPath.Basename(file ?? fileName));
            var text = new StringBuilder();
            foreach (var record in FreRecords(names, title, maxFieldLength, rotationUnits, imperial,
                                              inlineRestraints, inlineDLCS, inlineINDI, writeComments))
                foreach (var line in Wrap(record, maxFieldLength))
                    text.Append(line).Append('\n');
            var utf8 = new UTF8Encoding(false);
            if (append) File.AppendAllText(fileName, text.ToString(), utf8);
            else File.WriteAllText(fileName, text.ToString(), utf8);
            if (progress != null) progress(100);
        }

        // The logical records of a .fre file, before they are cut to the field length.
        private IEnumerable<string> FreRecords(List<string> names, string title, int maxLength, int rotation,
                                               bool imperial, bool restraints, bool dlcs, bool indi, bool comments)
        {
            Func<bool, string> placement = flag => flag ? "INLINE" : "SEPARATE";
            yield return "*KORVEX FRE 1";
            if (comments) yield return "C written by Korvex.Velmora.Core " + Assemblies.Version;
            yield return "*TITLE " + title;
            yield return "*MODEL " + (module == KorvexModule.Velmora ? "PIPING" : "STRUCTURE");
            yield return "*UNITS " + (imperial ? "IMPERIAL" : "SI");
            yield return "*ROTATION " + Rotations[rotation];
            yield return "*MAXLEN " + PyText.Int(maxLength);
            yield return "*RESTRAINTS " + placement(restraints);
            yield return "*DLCS " + placement(dlcs);
            yield return "*INDI " + placement(indi);
            foreach (var name in names) yield return "LAYER " + name;
            yield return "*END";
        }

        // Cuts a record into lines of at most maxLength characters; a line that goes on in the
        // next one ends with '&'.
        private static IEnumerable<string> Wrap(string record, int maxLength)
        {
            while (record.Length > maxLength)
            {
                yield return record.Substring(0, maxLength - 1) + "&";
                record = record.Substring(maxLength - 1);
            }
            yield return record;
        }
    }

    // --- solver runs -------------------------------------------------------------------------

    // What a Solution needs of the solver it wraps (both solver classes implement it).
    internal interface ISolver
    {
        string Label { get; }
        void CheckAlive();
        JsonObject ReadResults();
        void Release();
    }

    // The part of a solver run that both solvers share: the warnings flag, the solver program
    // run as a child process, its results and disposal.
    //   <program> --input FILE --results FILE --culture NAME [--thf FILE] [--ignore-warnings]
    // The stand-in's solver programs are Python scripts: they run with the interpreter that
    // hosts this process. The output goes to "<base>.<solver>.log" and the results to
    // "<base>.<solver>.json" beside the input.
    internal sealed class SolverRun
    {
        readonly string owner;
        readonly Func<string> basePath;

        public readonly string Label;
        public readonly string Program;
        public readonly Model Model;
        public bool IgnoreWarnings;
        public bool Disposed { get; private set; }
        public int? ExitCode;

        public SolverRun(string owner, string label, string program, Model model, Func<string> basePath)
        {
            if (model == null) throw Errors.Null("model");
            this.owner = owner;
            Label = label;
            Program = program;
            Model = model;
            this.basePath = basePath;
        }

        string Suffix { get { return "." + Label.ToLowerInvariant(); } }
        public string ResultsPath { get { return basePath() + Suffix + ".json"; } }

        public void CheckAlive()
        {
            if (Disposed) throw Errors.Disposed(owner);
        }

        public void Release()
        {
            Disposed = true;
        }

        public void SetIgnoreWarnings(bool value)
        {
            CheckAlive();
            IgnoreWarnings = value;
        }

        public JsonObject ReadResults()
        {
            if (ExitCode != 0) return null;
            try
            {
                return Json.ReadFile(ResultsPath) as JsonObject;
            }
            catch (Exception error) when (error is IOException || error is JsonError || error is UnauthorizedAccessException)
            {
                return null;
            }
        }

        // Runs the solver program on `inputPath`; the exit code, never an exception of the run.
        public int Execute(string inputPath, string thffile)
        {
            CheckAlive();
            string results = ResultsPath;
            if (File.Exists(results)) File.Delete(results);
            ExitCode = -1;
            if (string.IsNullOrEmpty(Program)) return -1;
            var arguments = new List<string> { Program, "--input", inputPath ?? "", "--results", results,
                                               "--culture", Thread.CurrentThread.CurrentCulture.Name };
            if (!string.IsNullOrEmpty(thffile)) arguments.AddRange(new[] { "--thf", thffile });
            if (IgnoreWarnings) arguments.Add("--ignore-warnings");
            string runDirectory = PyPath.Dirname(results);
            string log = Directory.Exists(runDirectory) ? basePath() + Suffix + ".log" : null;
            ExitCode = RunProcess(arguments, log == null ? null : runDirectory, log);
            return ExitCode.Value;
        }

        static int RunProcess(List<string> arguments, string directory, string log)
        {
            var start = new ProcessStartInfo
            {
                FileName = Interpreter(),
                Arguments = string.Join(" ", arguments.Select(Quote)),
                UseShellExecute = false,
                RedirectStandardInput = true,
                RedirectStandardOutput = true,
                RedirectStandardError = true,
            };
            if (directory != null) start.WorkingDirectory = directory;
            using (var process = Process.Start(start))
            {
                process.StandardInput.Close();
                var output = process.StandardOutput.ReadToEndAsync();
                var errors = process.StandardError.ReadToEndAsync();
                process.WaitForExit();
                if (log != null) File.WriteAllText(log, output.Result + errors.Result, new UTF8Encoding(false));
                return process.ExitCode;
            }
        }

        static string Interpreter()
        {
            return Process.GetCurrentProcess().MainModule.FileName;
        }

        // One argument as the runtime's command-line splitter reads it back.
        static string Quote(string argument)
        {
            var quoted = new StringBuilder("\"");
            foreach (char c in argument)
            {
                if (c == '\\' || c == '"' || c == '$' || c == '`') quoted.Append('\\');
                quoted.Append(c);
            }
            return quoted.Append('"').ToString();
        }
    }

    // Read access to a solver's results document.
    internal static class Results
    {
        public static object Field(JsonObject results, string key)
        {
            return results == null ? null : results.Get(key);
        }

        public static string Status(JsonObject results)
        {
            return results != null && results.Has("Status") ? (string)results.Get("Status") : "NoResults";
        }

        public static string[] Texts(JsonObject results, string key)
        {
            var items = Field(results, key) as List<object>;
            return items == null ? new string[0] : items.Select(i => (string)i).ToArray();
        }
    }

    // The outcome of a solver run; Dispose releases it and its solver.
    public class Solution
    {
        private readonly ISolver solver;
        private readonly JsonObject results;
        private bool disposed;

        public Solution(object parent, object solver)
        {
            if (solver == null) throw Errors.Null("solver");
            this.solver = solver as ISolver;
            if (this.solver == null) throw Errors.Argument(PyText.Repr(solver) + " is not a solver. (Parameter 'solver')");
            this.solver.CheckAlive();
            results = this.solver.ReadResults();
        }

        public void Dispose()
        {
            if (disposed) return;
            solver.Release();
            disposed = true;
        }

        public bool IsDisposed { get { return disposed; } }

        private JsonObject View()
        {
            if (disposed) throw Errors.Disposed("Solution");
            return results;
        }

        public object Solver { get { View(); return solver; } }
        public string SolverName { get { View(); return solver.Label; } }
        public string Status { get { return Results.Status(View()); } }
        public object InputFile { get { return Results.Field(View(), "Input"); } }
        public object ResultFile { get { return Results.Field(View(), "ResultFile"); } }
        public string[] Layers { get { return Results.Texts(View(), "Layers"); } }
        public string[] Warnings { get { return Results.Texts(View(), "Warnings"); } }
        public object Culture { get { return Results.Field(View(), "Culture"); } }
    }

    // --- custom commands -----------------------------------------------------------------------

    // A named command for a model; the controller carries it out.
    //   AddLayer         adds a layer named "Layer N", the first N from 1 that is free
    //   UpperCaseLayers  writes every layer name in upper case (a name that would clash stays)
    //   SortLayers       sorts the layers by name
    //   ResetLayers      keeps only layer "0" (adding it when missing)
    public class CustomCommand
    {
        internal static readonly SortedDictionary<string, Action<Model>> Commands =
            new SortedDictionary<string, Action<Model>>(StringComparer.Ordinal)
            {
                { "AddLayer", AddLayer },
                { "UpperCaseLayers", UpperCaseLayers },
                { "SortLayers", SortLayers },
                { "ResetLayers", ResetLayers },
            };

        private readonly Model model;
        private readonly string name;

        public CustomCommand(Model model, string name)
        {
            if (model == null || name == null) throw Errors.Null(model == null ? "model" : "name");
            if (!Commands.ContainsKey(name))
                throw Errors.Argument("Unknown command '" + name + "'. Known commands: "
                                      + string.Join(", ", Commands.Keys) + ".");
            this.model = model;
            this.name = name;
            NeedToReloadModelAfterCommand = true;
            NeedToSaveModelAfterCommand = true;
        }

        public string Name { get { return name; } }
        public Model Model { get { return model; } }
        public bool NeedToReloadModelAfterCommand { get; set; }
        public bool NeedToSaveModelAfterCommand { get; set; }

        static void AddLayer(Model model)
        {
            int number = 1;
            while (model.Layers.Contains("Layer " + PyText.Int(number))) number++;
            model.Layers.Add(new Layer("Layer " + PyText.Int(number)));
        }

        static void UpperCaseLayers(Model model)
        {
            var taken = new HashSet<string>(model.Layers.Names());
            foreach (var layer in model.Layers.ToList())
            {
                string upper = layer.Name.ToUpperInvariant();
                if (upper != layer.Name && !taken.Contains(upper))
                {
                    taken.Remove(layer.Name);
                    taken.Add(upper);
                    layer.Rename(upper);
                }
            }
        }

        static void SortLayers(Model model)
        {
            model.Layers.Replace(model.Layers.OrderBy(l => l.Name, StringComparer.Ordinal));
        }

        static void ResetLayers(Model model)
        {
            var kept = model.Layers.Where(l => l.Name == "0").ToList();
            model.Layers.Replace(kept.Count > 0 ? kept : new List<Layer> { new Layer("0") });
        }
    }

    // Carries commands out on its current `model`. After a command, a model that has a file is
    // saved to it when the command asks for a save, then reloaded from it when it asks for a reload.
    public class CommandController
    {
        private readonly List<string> history = new List<string>();

        public KorvexApplication Application { get; private set; }

        // The current model (the SDK's own lower-case name).
        public Model model { get; set; }

        // Names of the commands carried out, oldest first.
        public string[] History { get { return history.ToArray(); } }

        public void SetApplication(KorvexApplication application)
        {
            if (application == null) throw Errors.Null("application");
            Application = application;
        }

        public void AddCommand(CustomCommand command)
        {
            if (command == null) throw Errors.Null("command");
            if (Application == null)
                throw new InvalidOperationException("SetApplication must be called before AddCommand.");
            var current = model;
            if (current == null) throw new InvalidOperationException("The command controller has no current model.");
            CustomCommand.Commands[command.Name](current);
            history.Add(command.Name);
            if (current.FileName == null) return;
            if (command.NeedToSaveModelAfterCommand) current.SaveToFile(current.FileName);
            if (command.NeedToReloadModelAfterCommand) current.LoadFromFile(current.FileName);
        }
    }
}
