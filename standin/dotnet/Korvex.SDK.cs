// Korvex.SDK: the application object, its settings, the application-module enumeration and the
// class inspector. Same behaviour, messages and files as standin/korvex_standin/sdk/application.py.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Reflection;
using Korvex.Standin;

[assembly: AssemblyVersion("24.1.0.0")]

namespace Korvex.SDK
{
    // The application modules: Velmora (piping) and Norvane (structure).
    public enum KorvexModule
    {
        Velmora = 0,
        Norvane = 1,
    }

    // The application; it finds its installation from the Korvex.SDK assembly.
    public class KorvexApplication
    {
        private readonly string directory;

        public KorvexApplication()
        {
            directory = Path.GetDirectoryName(Path.GetDirectoryName(typeof(KorvexApplication).Assembly.Location));
        }

        public string InstallationDirectory { get { return directory; } }
        public string ExtensionsDirectory { get { return Path.Combine(directory, "Extensions"); } }
        public string SettingsFile { get { return Path.Combine(Path.Combine(directory, "Settings"), "Application.settings"); } }

        public SettingsController GetSettingsController()
        {
            return new SettingsController(SettingsFile);
        }
    }

    // Answers settings from the application settings file, read afresh at each call.
    public class SettingsController
    {
        private readonly string path;

        public SettingsController(string path)
        {
            this.path = path;
        }

        public string SettingsFile { get { return path; } }

        public object GetSettingValue(string section, string key)
        {
            if (section == null || key == null) throw Errors.Null(section == null ? "section" : "key");
            var values = Read().Get(section) as JsonObject;
            if (values == null) throw Errors.Argument("Unknown settings section '" + section + "'.");
            if (!values.Has(key)) throw Errors.Argument("Unknown setting '" + key + "' in section '" + section + "'.");
            return values.Get(key);
        }

        private JsonObject Read()
        {
            if (!File.Exists(path)) throw Errors.FileNotFound(path);
            object settings;
            try
            {
                settings = Json.ReadFile(path);
            }
            catch (JsonError error)
            {
                throw new InvalidDataException("The settings file '" + path + "' is not valid: " + error.Message);
            }
            var sections = settings as JsonObject;
            if (sections == null)
                throw new InvalidDataException("The settings file '" + path + "' does not hold sections.");
            return sections;
        }
    }

    public class KorvexClassInspector
    {
        public static string ExportObjectToJson(object instance, bool indent)
        {
            if (instance == null) throw Errors.Null("instance");
            return Json.Dump(Describe(instance), indent ? 2 : -1);
        }

        // The namespace and assembly of the first class of that name (or full name) in the
        // assemblies of `directory`, files in name order; null when there is none.
        public static Tuple<string, string> FindNamespaceAndAssemblyFromClassName(string directory, string className)
        {
            if (directory == null || className == null) throw Errors.Null(directory == null ? "directory" : "className");
            if (!Directory.Exists(directory)) throw Errors.DirectoryNotFound(directory);
            ResolveEventHandler resolve = (sender, args) => ReflectionOnlyDependency(directory, args.Name);
            AppDomain.CurrentDomain.ReflectionOnlyAssemblyResolve += resolve;
            try
            {
                var files = Directory.GetFiles(directory)
                    .Where(f => Path.GetFileName(f).ToLowerInvariant().EndsWith(".dll"))
                    .OrderBy(f => Path.GetFileName(f), StringComparer.Ordinal);
                foreach (var file in files)
                {
                    Assembly assembly;
                    try
                    {
                        assembly = Assembly.ReflectionOnlyLoadFrom(file);
                    }
                    catch (BadImageFormatException)
                    {
                        continue;
                    }
                    var types = assembly.GetExportedTypes()
                        .OrderBy(t => t.Namespace ?? "", StringComparer.Ordinal);
                    foreach (var type in types)
                        if (type.Name == className || type.Namespace + "." + type.Name == className)
                            return Tuple.Create(type.Namespace, assembly.GetName().Name);
                }
                return null;
            }
            finally
            {
                AppDomain.CurrentDomain.ReflectionOnlyAssemblyResolve -= resolve;
            }
        }

        private static Assembly ReflectionOnlyDependency(string directory, string fullName)
        {
            string candidate = Path.Combine(directory, new AssemblyName(fullName).Name + ".dll");
            return File.Exists(candidate) ? Assembly.ReflectionOnlyLoadFrom(candidate) : Assembly.ReflectionOnlyLoad(fullName);
        }

        // --- the description of a class, or of the class of an instance -------------------------

        private static JsonObject Describe(object target)
        {
            var type = target as Type;
            bool isClass = type != null;
            if (!isClass) type = target.GetType();
            var properties = new List<object>();
            var methods = new List<object>();
            foreach (var member in PublicMembers(type))
            {
                var property = member as PropertyInfo;
                if (property != null)
                {
                    bool isStatic = property.GetGetMethod().IsStatic;
                    var entry = new JsonObject().Set("Name", property.Name).Set("CanRead", true)
                        .Set("CanWrite", property.GetSetMethod() != null).Set("Static", isStatic);
                    if (!isClass && !isStatic) entry.Set("Value", ValueText(property, target));
                    properties.Add(entry);
                }
                else
                {
                    var method = (MethodInfo)member;
                    methods.Add(new JsonObject().Set("Name", method.Name).Set("Static", method.IsStatic)
                        .Set("Parameters", method.GetParameters().Select(p => (object)p.Name).ToList()));
                }
            }
            if (type.IsEnum)
                methods = EnumMethods();
            var description = new JsonObject()
                .Set("Name", type.Name)
                .Set("FullName", type.FullName)
                .Set("Namespace", type.Namespace)
                .Set("Assembly", type.Assembly.GetName().Name)
                .Set("IsInstance", !isClass)
                .Set("Properties", properties)
                .Set("Methods", methods);
            if (type.IsEnum)
                description.Set("Members", Enum.GetValues(type).Cast<object>()
                    .Select(m => (object)new JsonObject().Set("Name", m.ToString())
                                                         .Set("Value", Convert.ToInt64(m))).ToList());
            return description;
        }

        // Public properties and methods in name order, one entry per name; indexers, accessors
        // and the identity members every object has (Equals, GetHashCode) are left out.
        private static IEnumerable<MemberInfo> PublicMembers(Type type)
        {
            const BindingFlags flags = BindingFlags.Public | BindingFlags.Instance | BindingFlags.Static;
            var members = new SortedDictionary<string, MemberInfo>(StringComparer.Ordinal);
            if (!type.IsEnum)
            {
                foreach (var method in type.GetMethods(flags))
                    if (!method.IsSpecialName && method.Name != "Equals" && method.Name != "GetHashCode"
                        && !members.ContainsKey(method.Name))
                        members[method.Name] = method;
            }
            foreach (var property in type.GetProperties(flags))
                if (property.GetIndexParameters().Length == 0 && property.GetGetMethod() != null)
                    members[property.Name] = property;
            return members.Values;
        }

        private static List<object> EnumMethods()
        {
            return new[] { "GetNames", "GetValues", "ToString" }
                .Select(name => (object)new JsonObject().Set("Name", name).Set("Static", name != "ToString")
                                                        .Set("Parameters", new List<object>()))
                .ToList();
        }

        private static object ValueText(PropertyInfo property, object target)
        {
            object value;
            try
            {
                value = property.GetValue(target, null);
            }
            catch (TargetInvocationException error)
            {
                return "<" + error.InnerException.GetType().Name + ">";
            }
            if (value == null || value is string || value is bool) return value;
            if (value is Enum) return value.ToString();
            if (value is int || value is long || value is short || value is byte) return Convert.ToInt64(value);
            if (value is double || value is float) return Convert.ToDouble(value);
            return value.GetType().FullName;
        }
    }
}
