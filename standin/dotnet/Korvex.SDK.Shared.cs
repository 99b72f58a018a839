// Internal services of the stand-in SDK, compiled into Korvex.SDK and shared with the other
// stand-in assemblies (InternalsVisibleTo): JSON read and written exactly as Python's json module
// does it, so that both stand-ins write the same bytes; .NET exceptions with the stand-in's
// messages; Python-like text of values; the check that a dependency assembly is loaded.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Runtime.CompilerServices;
using System.Text;

[assembly: InternalsVisibleTo("Korvex.Helper")]
[assembly: InternalsVisibleTo("Korvex.Velmora.Core")]
[assembly: InternalsVisibleTo("Korvex.Velmora.Project")]
[assembly: InternalsVisibleTo("Korvex.PipeStress.Core")]
[assembly: InternalsVisibleTo("Korvex.Aster.Core")]

namespace Korvex.Standin
{
    // A JSON object that keeps its keys in document order, as a Python dict does.
    internal sealed class JsonObject
    {
        private readonly List<string> keys = new List<string>();
        private readonly Dictionary<string, object> values = new Dictionary<string, object>();

        public IEnumerable<string> Keys { get { return keys; } }
        public bool Has(string key) { return values.ContainsKey(key); }

        public object Get(string key)
        {
            object value;
            return values.TryGetValue(key, out value) ? value : null;
        }

        public JsonObject Set(string key, object value)
        {
            if (!values.ContainsKey(key)) keys.Add(key);
            values[key] = value;
            return this;
        }

        public void Remove(string key)
        {
            if (values.Remove(key)) keys.Remove(key);
        }
    }

    // A text that is not JSON; the message is the one Python's json module gives.
    internal sealed class JsonError : Exception
    {
        public JsonError(string message) : base(message) { }
    }

    internal static class Json
    {
        static readonly UTF8Encoding Utf8 = new UTF8Encoding(false, true);

        // --- reading -------------------------------------------------------------------------

        public static object Parse(string text)
        {
            var parser = new Parser(text);
            return parser.Document();
        }

        // The parsed document of a UTF-8 file; a text that is not UTF-8 or not JSON raises
        // JsonError with Python's wording.
        public static object ReadFile(string path)
        {
            byte[] bytes = File.ReadAllBytes(path);
            string text;
            try
            {
                text = Utf8.GetString(bytes);
            }
            catch (DecoderFallbackException error)
            {
                int position = Math.Max(error.Index, 0);
                byte first = error.BytesUnknown != null && error.BytesUnknown.Length > 0
                    ? error.BytesUnknown[0] : bytes[Math.Min(position, bytes.Length - 1)];
                throw new JsonError(string.Format(CultureInfo.InvariantCulture,
                    "'utf-8' codec can't decode byte 0x{0:x2} in position {1}: invalid start byte",
                    first, position));
            }
            return Parse(text);
        }

        sealed class Parser
        {
            readonly string s;
            int i;

            public Parser(string text) { s = text; }

            // Python's position text: line and column counted from 1, char from 0.
            JsonError Error(string what, int at)
            {
                int line = 1, lastNewline = -1;
                for (int k = 0; k < at && k < s.Length; k++)
                    if (s[k] == '\n') { line++; lastNewline = k; }
                return new JsonError(string.Format(CultureInfo.InvariantCulture,
                    "{0}: line {1} column {2} (char {3})", what, line, at - lastNewline, at));
            }

            void Skip()
            {
                while (i < s.Length && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) i++;
            }

            public object Document()
            {
                if (s.Length > 0 && s[0] == '\uFEFF')
                    throw Error("Unexpected UTF-8 BOM (decode using utf-8-sig)", 0);
                Skip();
                object value = Value();
                Skip();
                if (i != s.Length) throw Error("Extra data", i);
                return value;
            }

            object Value()
            {
                if (i >= s.Length) throw Error("Expecting value", i);
                char c = s[i];
                if (c == '{') return Object();
                if (c == '[') return Array();
                if (c == '"') { i++; return String(i - 1); }
                if (Word("null")) return null;
                if (Word("true")) return true;
                if (Word("false")) return false;
                if (Word("NaN")) return double.NaN;
                if (Word("Infinity")) return double.PositiveInfinity;
                if (Word("-Infinity")) return double.NegativeInfinity;
                if (c == '-' || (c >= '0' && c <= '9')) return Number();
                throw Error("Expecting value", i);
            }

            bool Word(string word)
            {
                if (string.CompareOrdinal(s, i, word, 0, word.Length) != 0) return false;
                i += word.Length;
                return true;
            }

            object Number()
            {
                int start = i;
                if (s[i] == '-') i++;
                if (i >= s.Length || !char.IsDigit(s[i])) throw Error("Expecting value", start);
                if (s[i] == '0') i++;
                else while (i < s.Length && s[i] >= '0' && s[i] <= '9') i++;
                bool real = false;
                if (i + 1 < s.Length && s[i] == '.' && s[i + 1] >= '0' && s[i + 1] <= '9')
                {
                    real = true;
                    i++;
                    while (i < s.Length && s[i] >= '0' && s[i] <= '9') i++;
                }
                if (i < s.Length && (s[i] == 'e' || s[i] == 'E'))
                {
                    int mark = i++;
                    if (i < s.Length && (s[i] == '+' || s[i] == '-')) i++;
                    if (i < s.Length && s[i] >= '0' && s[i] <= '9')
                    {
                        real = true;
                        while (i < s.Length && s[i] >= '0' && s[i] <= '9') i++;
                    }
                    else i = mark;
                }
                string text = s.Substring(start, i - start);
                if (!real)
                {
                    long whole;
                    if (long.TryParse(text, NumberStyles.AllowLeadingSign, CultureInfo.InvariantCulture, out whole))
                        return whole;
                }
                return double.Parse(text, NumberStyles.Float, CultureInfo.InvariantCulture);
            }

            string String(int start)
            {
                var text = new StringBuilder();
                while (true)
                {
                    if (i >= s.Length) throw Error("Unterminated string starting at", start);
                    char c = s[i++];
                    if (c == '"') return text.ToString();
                    if (c < ' ') throw Error("Invalid control character at", i - 1);
                    if (c != '\\') { text.Append(c); continue; }
                    if (i >= s.Length) throw Error("Unterminated string starting at", start);
                    char e = s[i++];
                    switch (e)
                    {
                        case '"': text.Append('"'); break;
                        case '\\': text.Append('\\'); break;
                        case '/': text.Append('/'); break;
                        case 'b': text.Append('\b'); break;
                        case 'f': text.Append('\f'); break;
                        case 'n': text.Append('\n'); break;
                        case 'r': text.Append('\r'); break;
                        case 't': text.Append('\t'); break;
                        case 'u':
                            int code;
                            if (i + 4 > s.Length || !int.TryParse(s.Substring(i, 4), NumberStyles.AllowHexSpecifier,
                                                                   CultureInfo.InvariantCulture, out code))
                                throw Error("Invalid \\uXXXX escape", i - 1);
                            text.Append((char)code);
                            i += 4;
                            break;
                        default:
                            throw Error("Invalid \\escape", i - 2);
                    }
                }
            }

            List<object> Array()
            {
                var items = new List<object>();
                i++;
                Skip();
                if (i < s.Length && s[i] == ']') { i++; return items; }
                while (true)
                {
                    Skip();
                    items.Add(Value());
                    Skip();
                    if (i < s.Length && s[i] == ']') { i++; return items; }
                    if (i >= s.Length || s[i] != ',') throw Error("Expecting ',' delimiter", i);
                    i++;
                }
            }

            JsonObject Object()
            {
                var result = new JsonObject();
                i++;
                Skip();
                if (i < s.Length && s[i] == '}') { i++; return result; }
                while (true)
                {
                    Skip();
                    if (i >= s.Length || s[i] != '"')
                        throw Error("Expecting property name enclosed in double quotes", i);
                    i++;
                    string key = String(i - 1);
                    Skip();
                    if (i >= s.Length || s[i] != ':') throw Error("Expecting ':' delimiter", i);
                    i++;
                    Skip();
                    result.Set(key, Value());
                    Skip();
                    if (i < s.Length && s[i] == '}') { i++; return result; }
                    if (i >= s.Length || s[i] != ',') throw Error("Expecting ',' delimiter", i);
                    i++;
                }
            }
        }

        // --- writing -------------------------------------------------------------------------

        // The text of json.dumps(value, indent=2) (indent >= 0) or of
        // json.dumps(value, separators=(",", ":")) (indent < 0), ASCII only.
        public static string Dump(object value, int indent)
        {
            var text = new StringBuilder();
            Write(text, value, indent, 0);
            return text.ToString();
        }

        // Writes a document as Python's json.dump(value, f, indent=2) does, then `tail`.
        public static void WriteFile(string path, object value, string tail)
        {
            File.WriteAllText(path, Dump(value, 2) + tail, Utf8);
        }

        static void NewLine(StringBuilder text, int indent, int depth)
        {
            if (indent < 0) return;
            text.Append('\n').Append(' ', indent * depth);
        }

        static void Write(StringBuilder text, object value, int indent, int depth)
        {
            var map = value as JsonObject;
            if (map != null)
            {
                var keys = map.Keys.ToList();
                if (keys.Count == 0) { text.Append("{}"); return; }
                text.Append('{');
                for (int k = 0; k < keys.Count; k++)
                {
                    if (k > 0) text.Append(',');
                    NewLine(text, indent, depth + 1);
                    Quote(text, keys[k]);
                    text.Append(indent < 0 ? ":" : ": ");
                    Write(text, map.Get(keys[k]), indent, depth + 1);
                }
                NewLine(text, indent, depth);
                text.Append('}');
                return;
            }
            var text_ = value as string;
            if (text_ != null) { Quote(text, text_); return; }
            var list = value as System.Collections.IEnumerable;
            if (list != null)
            {
                var items = list.Cast<object>().ToList();
                if (items.Count == 0) { text.Append("[]"); return; }
                text.Append('[');
                for (int k = 0; k < items.Count; k++)
                {
                    if (k > 0) text.Append(',');
                    NewLine(text, indent, depth + 1);
                    Write(text, items[k], indent, depth + 1);
                }
                NewLine(text, indent, depth);
                text.Append(']');
                return;
            }
            text.Append(Scalar(value));
        }

        static string Scalar(object value)
        {
            if (value == null) return "null";
            if (value is bool) return (bool)value ? "true" : "false";
            if (value is double || value is float) return Real(Convert.ToDouble(value, CultureInfo.InvariantCulture));
            if (value is Enum) return Convert.ToInt64(value, CultureInfo.InvariantCulture).ToString(CultureInfo.InvariantCulture);
            return Convert.ToString(value, CultureInfo.InvariantCulture);
        }

        // Python's repr of a float.
        public static string Real(double value)
        {
            if (double.IsNaN(value)) return "NaN";
            if (double.IsPositiveInfinity(value)) return "Infinity";
            if (double.IsNegativeInfinity(value)) return "-Infinity";
            string text = value.ToString("R", CultureInfo.InvariantCulture);
            int e = text.IndexOf('E');
            if (e >= 0)
            {
                string mantissa = text.Substring(0, e), exponent = text.Substring(e + 1);
                string sign = exponent.StartsWith("-") ? "-" : "+";
                exponent = exponent.TrimStart('+', '-');
                if (exponent.Length < 2) exponent = "0" + exponent;
                return mantissa + "e" + sign + exponent;
            }
            return text.Contains(".") ? text : text + ".0";
        }

        static void Quote(StringBuilder text, string value)
        {
            text.Append('"');
            foreach (char c in value)
            {
                switch (c)
                {
                    case '"': text.Append("\\\""); break;
                    case '\\': text.Append("\\\\"); break;
                    case '\n': text.Append("\\n"); break;
                    case '\r': text.Append("\\r"); break;
                    case '\t': text.Append("\\t"); break;
                    case '\b': text.Append("\\b"); break;
                    case '\f': text.Append("\\f"); break;
                    default:
                        if (c < ' ' || c > '~')
                            text.Append("\\u").Append(((int)c).ToString("x4", CultureInfo.InvariantCulture));
                        else
                            text.Append(c);
                        break;
                }
            }
            text.Append('"');
        }
    }

    // .NET exceptions whose Message is exactly the stand-in's text (no parameter suffix added).
    internal static class Errors
    {
        public static ArgumentNullException Null(string parameter)
        {
            return new ArgumentNullException("Value cannot be null. (Parameter '" + parameter + "')", (Exception)null);
        }

        public static ArgumentException Argument(string message)
        {
            return new ArgumentException(message);
        }

        public static ArgumentOutOfRangeException OutOfRange(string message)
        {
            return new ArgumentOutOfRangeException(message, (Exception)null);
        }

        public static ObjectDisposedException Disposed(string name)
        {
            return new ObjectDisposedException("Cannot access a disposed object.\nObject name: '" + name + "'.",
                                               (Exception)null);
        }

        public static FileNotFoundException FileNotFound(string path)
        {
            return new FileNotFoundException("Could not find file '" + path + "'.");
        }

        public static DirectoryNotFoundException DirectoryNotFound(string path)
        {
            return new DirectoryNotFoundException("Could not find a part of the path '" + path + "'.");
        }

        public static UnauthorizedAccessException AccessDenied(string path)
        {
            return new UnauthorizedAccessException("Access to the path '" + path + "' is denied.");
        }
    }

    // Text of values as the Python stand-in words them (its messages use repr).
    internal static class PyText
    {
        public static string Repr(object value)
        {
            if (value == null) return "None";
            if (value is bool) return (bool)value ? "True" : "False";
            var text = value as string;
            if (text != null)
            {
                char quote = text.Contains("'") && !text.Contains("\"") ? '"' : '\'';
                var result = new StringBuilder().Append(quote);
                foreach (char c in text)
                {
                    if (c == '\\') result.Append("\\\\");
                    else if (c == quote) result.Append('\\').Append(c);
                    else if (c == '\n') result.Append("\\n");
                    else if (c == '\r') result.Append("\\r");
                    else if (c == '\t') result.Append("\\t");
                    else result.Append(c);
                }
                return result.Append(quote).ToString();
            }
            if (value is double) return Json.Real((double)value);
            var map = value as JsonObject;
            if (map != null)
                return "{" + string.Join(", ", map.Keys.Select(k => Repr(k) + ": " + Repr(map.Get(k)))) + "}";
            var list = value as List<object>;
            if (list != null)
                return "[" + string.Join(", ", list.Select(Repr)) + "]";
            return Convert.ToString(value, CultureInfo.InvariantCulture);
        }

        // Python's "%s" of a value: None for null, the text itself for text.
        public static string Str(object value)
        {
            var text = value as string;
            return text ?? Repr(value);
        }

        public static string Int(long value)
        {
            return value.ToString(CultureInfo.InvariantCulture);
        }
    }

    // Paths taken apart and joined the way Python's os.path does on this platform, so that both
    // stand-ins name the same files.
    internal static class PyPath
    {
        public static string Abspath(string path)
        {
            string full = Path.GetFullPath(path);
            return full.Length > 1 ? full.TrimEnd('/') : full;
        }

        public static string Basename(string path)
        {
            return path.Substring(path.LastIndexOf('/') + 1);
        }

        public static string Dirname(string path)
        {
            string head = path.Substring(0, path.LastIndexOf('/') + 1);
            return head.Trim('/').Length > 0 ? head.TrimEnd('/') : head;
        }

        // os.path.splitext(path)[0]: the path without its last extension; leading dots of a
        // file name do not start an extension.
        public static string StripExtension(string path)
        {
            int separator = path.LastIndexOf('/'), dot = path.LastIndexOf('.');
            if (dot > separator)
                for (int k = separator + 1; k < dot; k++)
                    if (path[k] != '.') return path.Substring(0, dot);
            return path;
        }

        public static string Join(params string[] parts)
        {
            string result = parts[0];
            for (int k = 1; k < parts.Length; k++)
            {
                string part = parts[k];
                if (part.StartsWith("/")) result = part;
                else if (result.Length == 0 || result.EndsWith("/")) result += part;
                else result += "/" + part;
            }
            return result;
        }

        // shutil.copytree(source, target): target must not exist yet.
        public static void CopyTree(string source, string target)
        {
            if (Directory.Exists(target)) throw new IOException("[Errno 17] File exists: '" + target + "'");
            Directory.CreateDirectory(target);
            foreach (var file in Directory.GetFiles(source))
                File.Copy(file, Join(target, Basename(file)));
            foreach (var directory in Directory.GetDirectories(source))
                CopyTree(directory, Join(target, Basename(directory)));
        }
    }

    internal static class Assemblies
    {
        public const string Version = "24.1.0.0";

        public static string FullName(string name)
        {
            return name + ", Version=" + Version + ", Culture=neutral, PublicKeyToken=null";
        }

        // The SDK resolves some of its assemblies by name at run time: they must have been
        // loaded into the process before (the Python stand-in raises the same error).
        public static void Require(string name)
        {
            foreach (var assembly in AppDomain.CurrentDomain.GetAssemblies())
                if (assembly.GetName().Name == name) return;
            throw new FileNotFoundException("Could not load file or assembly '" + FullName(name) +
                                            "'. The system cannot find the file specified.");
        }
    }
}
