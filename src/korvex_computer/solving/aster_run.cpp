// One Aster run on a loaded model: the worker's COM apartment and .NET culture, the solver's
// build and run, and the new solution in `_Solution_` when both succeed.
#include "binding/functions.h"
#include "installation/sdk_access.h"

namespace korvex {

// _AsterSolve(quarl, quarlFilename, directory)
Ref AsterSolve(Call& c, Args a) {
    const Ref& quarl = a[0];
    const Ref& quarlFilename = a[1];
    const Ref& directory = a[2];

    run_in_com_apartment(c, {453, 454, 478}, [&] {
        c.at(456);
        Ref thffile = call(global(STR("find_first_file")), directory, text(STR(".thf")));

        c.at(459);
        call_method(global(STR("clr")), STR("AddReference"), text(STR("mscorlib")));
        c.at(460);
        Ref Thread = from_import(STR("System.Threading"), STR("Thread"));
        // The solver formats numbers by the running thread's culture, so the worker takes
        // the module's culture before the solver classes are touched.
        apply_module_culture(c, Thread, {461, 462});

        c.at(464);
        Ref AsterSolver = from_import(STR("Korvex.Aster.Core"), STR("AsterSolver"));
        c.at(465);
        Ref Solution = from_import(STR("Korvex.Velmora.Core"), STR("Solution"));

        Ref keepDistantModels = boolean(false);
        c.at(468);
        Ref solver = call(AsterSolver, global(STR("_Aster_")), quarl, quarlFilename, thffile,
                          keepDistantModels);
        c.at(469);
        set_attr(solver, STR("IgnoreWarnings"), boolean(true));

        c.at(470);
        Ref built = call_method(solver, STR("BuildAnalysisModel"), keepDistantModels);
        if (less_than(built.get(), integer(0).get())) {
            c.at(471);
            call_method(solver, STR("Dispose"));
            return;
        }
        c.at(473);
        Ref run_result = call_method(solver, STR("Run"));
        if (equals(run_result.get(), integer(0).get())) {
            c.at(474);
            Ref solution = call(Solution, none(), solver);
            set_global(STR("_Solution_"), solution);
        } else {
            c.at(476);
            call_method(solver, STR("Dispose"));
        }
    });
    return none();
}

}  // namespace korvex
