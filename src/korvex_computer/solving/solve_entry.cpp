// Solving a model file in one call, in its own directory or in a sandbox copy under the
// temporary directory, and the lifetime of the one current solution and sandbox.
#include "binding/functions.h"

namespace korvex {

namespace {


Ref base_name(const Ref& path) { return call(os_path(STR("basename")), path); }

Ref directory_name(const Ref& path) { return call(os_path(STR("dirname")), path); }

// `shutil.copy(source, os.path.join(directory, os.path.basename(source)))`
void copy_into(const Ref& directory, const Ref& source) {
    Ref copy = attr(global(STR("shutil")), STR("copy"));
    Ref join = os_path(STR("join"));
    call(copy, source, call(join, directory, base_name(source)));
}

// A fresh directory path under the temporary directory, named by a random UUID.
Ref new_sandbox_path() {
    Ref join = os_path(STR("join"));
    Ref temporary = call_method(global(STR("tempfile")), STR("gettempdir"));
    Ref uuid = call_method(global(STR("uuid")), STR("uuid4"));
    return call(join, temporary, Ref::steal(PyObject_Str(uuid.get())));
}

}  // namespace

// solve(filename, solvername, sandbox)
Ref solve(Call& c, Args a) {
    const Ref& filename = a[0];
    const Ref& solvername = a[1];
    const Ref& sandbox = a[2];

    c.at(277);
    if (!path_exists(filename)) {
        c.at(278);
        print(text(STR("Invalid filename")));
        return none();
    }

    c.at(281);
    call(global(STR("disposeSolution")));

    Ref quarlFilename = filename;

    // The solver input files next to the model: its own .fre, else conception.fre.
    c.at(284);
    Ref splitext = os_path(STR("splitext"));
    Ref frefilename = add(item_at(call(splitext, filename), 0), text(STR(".fre")));
    c.at(285);
    if (!path_exists(frefilename)) {
        c.at(286);
        Ref join = os_path(STR("join"));
        frefilename = call(join, directory_name(filename), text(STR("conception.fre")));
    }
    c.at(287);
    Ref find_first_file = global(STR("find_first_file"));
    Ref thffile = call(find_first_file, directory_name(filename), text(STR(".thf")));

    c.at(288);
    Ref directory = truth(sandbox) ? new_sandbox_path() : directory_name(filename);

    c.at(289);
    if (!path_exists(directory)) {
        c.at(290);
        call(attr(global(STR("os")), STR("makedirs")), directory);
        // A sandbox that could not be filled is recorded all the same, so that the next
        // disposeSolution removes it instead of leaving it behind in the temporary directory.
        try_finally(
            c, 298,
            [&] {
                c.at(292);
                Ref join = os_path(STR("join"));
                quarlFilename = call(join, directory, base_name(filename));
                c.at(293);
                call(attr(global(STR("shutil")), STR("copy")), filename, quarlFilename);
                c.at(294);
                if (path_exists(frefilename)) {
                    c.at(295);
                    copy_into(directory, frefilename);
                }
                c.at(296);
                if (path_exists(thffile)) {
                    c.at(297);
                    copy_into(directory, thffile);
                }
            },
            [&] { set_global(STR("_tempDirectory_"), directory); });
    }

    c.at(300);
    Ref quarl = call(global(STR("loadQuarl")), quarlFilename);
    c.at(301);
    if (!not_equals_none(quarl)) {
        c.at(313);
        print(text(STR("Invalid quarl")));
        return none();
    }
    load_assemblies(c, 302, STR("Korvex.Velmora.Core.dll"));
    c.at(303);
    const auto [PipingCode, StructureCode] = from_import(STR("Korvex.Velmora.Core"), STR("PipingCode"), STR("StructureCode"));

    c.at(304);
    if (is_instance(attr(quarl, STR("CalculationCode")), PipingCode)) {
        c.at(305);
        call(global(STR("solvePipingModel")), quarl, quarlFilename, solvername, directory);
        c.at(306);
        return global(STR("_Solution_"));
    }
    c.at(307);
    if (is_instance(attr(quarl, STR("CalculationCode")), StructureCode)) {
        c.at(308);
        call(global(STR("solveStructureModel")), quarl, quarlFilename, directory);
        c.at(309);
        return global(STR("_Solution_"));
    }
    return none();
}

// disposeSolution()
Ref disposeSolution(Call& c, Args) {
    c.at(321);
    if (not_equals_none(global(STR("_Solution_")))) {
        c.at(322);
        call_method(global(STR("_Solution_")), STR("Dispose"));
        c.at(323);
        set_global(STR("_Solution_"), none());
    }

    // The solution is released first: its files may live in the sandbox.
    except_exception(
        [&] {
            c.at(326);
            if (truth(global(STR("_tempDirectory_"))) &&
                truth(call(os_path(STR("isdir")), global(STR("_tempDirectory_"))))) {
                c.at(327);
                call(attr(global(STR("shutil")), STR("rmtree")), global(STR("_tempDirectory_")));
            }
        },
        [&](const Ref& error) {
            c.at(329);
            print(text(STR("Impossible to delete temp directory :")), error);
        });
    return none();
}

}  // namespace korvex
