// Korvex.Velmora.Project: projects and their studies, kept on disk
// (standin/korvex_standin/sdk/project.py).
//
// A project directory holds "<N>.project" (UTF-8 JSON) and one folder per study under
// "Studies/", each with the study's model "<study>.quarl":
//   {"Format": "Korvex project", "FormatVersion": 1, "Name": "Plant", "Description": "",
//    "CurrentStudy": "S1", "Studies": [{"Name": "S1", "Module": "Velmora",
//    "Position": [810.0, 340.0], "Folder": "Studies/S1"}]}
// Every change is written to the project file at once.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.CompilerServices;
using System.Windows;
using Korvex.Helper;
using Korvex.SDK;
using Korvex.Standin;
using Korvex.Velmora.Core;

[assembly: AssemblyVersion("24.1.0.0")]

namespace Korvex.Velmora.Project
{
    // A study of a project, as the project file describes it.
    public class StudyModel
    {
        private readonly JsonObject entry;
        private readonly string projectDirectory;

        internal StudyModel(JsonObject entry, string projectDirectory)
        {
            this.entry = entry;
            this.projectDirectory = projectDirectory;
        }

        public string Name { get { return (string)entry.Get("Name"); } }

        public KorvexModule Module
        {
            get { return (KorvexModule)Enum.Parse(typeof(KorvexModule), (string)entry.Get("Module")); }
        }

        public Point Position
        {
            get
            {
                var xy = (List<object>)entry.Get("Position");
                return new Point(Convert.ToDouble(xy[0]), Convert.ToDouble(xy[1]));
            }
        }

        public string Directory
        {
            get { return PyPath.Join(new[] { projectDirectory }.Concat(((string)entry.Get("Folder")).Split('/')).ToArray()); }
        }

        public string ModelFile { get { return PyPath.Join(Directory, Name + ".quarl"); } }
    }

    public class ProjectViewModel
    {
        static readonly char[] BadCharacters = "\\/:*?\"<>|".ToCharArray();

        private string file;
        private JsonObject document;

        // `owner` is the view that shows the project; the stand-in shows nothing.
        public ProjectViewModel(object owner) { }

        // --- project file ----------------------------------------------------------------------

        public string ProjectFile { get { return file; } }
        public string ProjectDirectory { get { return file != null ? PyPath.Dirname(file) : null; } }
        public object Name { get { return document != null ? document.Get("Name") : null; } }
        public object Description { get { return document != null ? document.Get("Description") : null; } }

        public StudyModel[] Studies
        {
            get { return StudyList().Select(e => Study((JsonObject)e)).ToArray(); }
        }

        private JsonObject Open()
        {
            if (document == null) throw new InvalidOperationException("No project is open.");
            return document;
        }

        private List<object> StudyList() { return (List<object>)Open().Get("Studies"); }

        private void Save() { Json.WriteFile(file, document, "\n"); }

        private StudyModel Study(JsonObject entry) { return new StudyModel(entry, ProjectDirectory); }

        private JsonObject Entry(string name)
        {
            return StudyList().Cast<JsonObject>().FirstOrDefault(e => Equals(e.Get("Name"), name));
        }

        private static string CheckStudyName(string name)
        {
            if (name == null) throw Errors.Null("name");
            if (name.Trim().Length == 0 || name == "." || name == ".." || name.IndexOfAny(BadCharacters) >= 0)
                throw Errors.Argument("'" + name + "' is not a valid study name.");
            return name;
        }

        public void CreateNewProject(string projectDirectory, Point point, string description, string studyName,
                                     KorvexModule module)
        {
            if (projectDirectory == null) throw Errors.Null("projectDirectory");
            if (!System.IO.Directory.Exists(projectDirectory)) throw Errors.DirectoryNotFound(projectDirectory);
            CheckStudyName(studyName);
            string name = PyPath.StripExtension(PyPath.Basename(projectDirectory));
            if (name.Length == 0) throw Errors.Argument("'" + projectDirectory + "' cannot name a project.");
            string path = PyPath.Join(projectDirectory, name + ".project");
            if (File.Exists(path) || System.IO.Directory.Exists(path))
                throw new IOException("The project '" + path + "' already exists.");
            file = path;
            document = new JsonObject()
                .Set("Format", "Korvex project")
                .Set("FormatVersion", 1L)
                .Set("Name", name)
                .Set("Description", description ?? "")
                .Set("CurrentStudy", null)
                .Set("Studies", new List<object>());
            AddStudy(point, module, studyName);
        }

        public void LoadFromFile(string path)
        {
            if (path == null) throw Errors.Null("path");
            if (!File.Exists(path)) throw Errors.FileNotFound(path);
            object parsed;
            try
            {
                parsed = Json.ReadFile(path);
            }
            catch (JsonError error)
            {
                throw new InvalidDataException("'" + path + "' is not a project file: " + error.Message);
            }
            var loaded = parsed as JsonObject;
            if (loaded == null || !"Korvex project".Equals(loaded.Get("Format")) || !(loaded.Get("Studies") is List<object>))
                throw new InvalidDataException("'" + path + "' is not a project file.");
            file = PyPath.Abspath(path);
            document = loaded;
        }

        // --- studies ---------------------------------------------------------------------------

        public StudyModel GetStudy(string name)
        {
            var entry = Entry(name);
            return entry == null ? null : Study(entry);
        }

        public string GetCurrentStudyName()
        {
            return (string)Open().Get("CurrentStudy");
        }

        public void SetCurrentStudy(string name)
        {
            if (Entry(name) == null) throw Errors.Argument("The project has no study named '" + PyText.Str(name) + "'.");
            document.Set("CurrentStudy", name);
            Save();
        }

        public void AddEmptyStudy(Point point, KorvexModule module, string name)
        {
            Open();
            CheckStudyName(name);
            if (Entry(name) != null) throw Errors.Argument("A study named '" + name + "' already exists.");
            AddStudy(point, module, name);
        }

        private void AddStudy(Point point, KorvexModule module, string name)
        {
            string directory = PyPath.Join(ProjectDirectory, "Studies", name);
            System.IO.Directory.CreateDirectory(directory);
            QuarlFile.Write(PyPath.Join(directory, name + ".quarl"), module, new[] { "0" });
            StudyList().Add(new JsonObject()
                .Set("Name", name)
                .Set("Module", module.ToString())
                .Set("Position", new List<object> { point.X, point.Y })
                .Set("Folder", "Studies/" + name));
            document.Set("CurrentStudy", name);
            Save();
        }

        private JsonObject Current()
        {
            var entry = Entry(Open().Get("CurrentStudy") as string);
            if (entry == null) throw new InvalidOperationException("The project has no current study.");
            return entry;
        }

        public void DeleteCurrentStudy()
        {
            var entry = Current();
            var studies = StudyList();
            if (studies.Count == 1) throw new InvalidOperationException("A project must keep at least one study.");
            try
            {
                System.IO.Directory.Delete(Study(entry).Directory, true);
            }
            catch (IOException) { }
            catch (UnauthorizedAccessException) { }
            studies.Remove(entry);
            document.Set("CurrentStudy", ((JsonObject)studies[0]).Get("Name"));
            Save();
        }

        public void DuplicateCurrentStudy()
        {
            Assemblies.Require("Korvex.Helper");
            var entry = Current();
            string old = (string)entry.Get("Name");
            string name = CopyName(old, StudyList().Cast<JsonObject>().Select(e => (string)e.Get("Name")).ToArray());
            string source = Study(entry).Directory;
            string target = PyPath.Join(ProjectDirectory, "Studies", name);
            if (System.IO.Directory.Exists(source))
            {
                PyPath.CopyTree(source, target);
                File.Move(PyPath.Join(target, old + ".quarl"), PyPath.Join(target, name + ".quarl"));
            }
            else
            {
                System.IO.Directory.CreateDirectory(target);
            }
            var copy = new JsonObject();
            foreach (var key in entry.Keys) copy.Set(key, entry.Get(key));
            copy.Set("Name", name).Set("Folder", "Studies/" + name);
            StudyList().Add(copy);
            document.Set("CurrentStudy", name);
            Save();
        }

        // Kept out of line so that the helper assembly is only reached once Require has passed.
        [MethodImpl(MethodImplOptions.NoInlining)]
        private static string CopyName(string name, string[] existing)
        {
            return StudyNames.CopyName(name, existing);
        }

        // True when the current study bears `name` afterwards; a name taken by another study
        // leaves everything unchanged and gives False.
        public bool RenameCurrentStudy(string name)
        {
            CheckStudyName(name);
            var entry = Current();
            string old = (string)entry.Get("Name");
            if (old == name) return true;
            if (Entry(name) != null) return false;
            string oldDirectory = Study(entry).Directory;
            string target = PyPath.Join(ProjectDirectory, "Studies", name);
            if (System.IO.Directory.Exists(oldDirectory))
            {
                System.IO.Directory.Move(oldDirectory, target);
                string model = PyPath.Join(target, old + ".quarl");
                if (File.Exists(model)) File.Move(model, PyPath.Join(target, name + ".quarl"));
            }
            entry.Set("Name", name).Set("Folder", "Studies/" + name);
            document.Set("CurrentStudy", name);
            Save();
            return true;
        }
    }
}
