// Korvex.Helper: small services shared by the other assemblies
// (standin/korvex_standin/sdk/helper.py).
using System.Collections.Generic;
using System.Globalization;
using System.Reflection;

[assembly: AssemblyVersion("24.1.0.0")]

namespace Korvex.Helper
{
    public class StudyNames
    {
        // The name of a copy of `name` that clashes with none of `existingNames`:
        // "S1 - Copy", then "S1 - Copy (2)", ...
        public static string CopyName(string name, string[] existingNames)
        {
            var existing = new HashSet<string>(existingNames ?? new string[0]);
            string candidate = name + " - Copy";
            for (int number = 2; existing.Contains(candidate); number++)
                candidate = name + " - Copy (" + number.ToString(CultureInfo.InvariantCulture) + ")";
            return candidate;
        }
    }
}
