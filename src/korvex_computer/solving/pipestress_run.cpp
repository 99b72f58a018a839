// One PipeStress run on a loaded model: the worker's COM apartment, the solver input files of
// the run directory, and the new solution in `_Solution_` when the run succeeds.
#include "binding/functions.h"
#include "installation/sdk_access.h"

namespace korvex {

// _PipeStressSolve(quarl, quarlFilename, directory)
Ref PipeStressSolve(Call& c, Args a) {
    const Ref& quarl = a[0];
    const Ref& quarlFilename = a[1];
    const Ref& directory = a[2];

    run_in_com_apartment(c, {421, 422, 442}, [&] {
        c.at(424);
        Ref splitext = os_path(STR("splitext"));
        Ref studyname =
            item_at(call(splitext, call(os_path(STR("basename")), quarlFilename)), 0);

        // The model's own input file first, then the one that writeFreFile names.
        c.at(425);
        Ref join = os_path(STR("join"));
        Ref frefile = call(join, directory, add(studyname, text(STR(".fre"))));
        c.at(426);
        if (!path_exists(frefile)) {
            c.at(427);
            frefile = call(os_path(STR("join")), directory, text(STR("conception.fre")));
        }
        c.at(428);
        if (!path_exists(frefile)) {
            c.at(429);
            call(global(STR("writeFreFile")), quarl, quarlFilename);
        }
        c.at(430);
        Ref thffile = call(global(STR("find_first_file")), directory, text(STR(".thf")));

        c.at(432);
        Ref PipeStressSolver =
            from_import(STR("Korvex.PipeStress.Core"), STR("PipeStressSolver"));
        c.at(433);
        Ref Solution = from_import(STR("Korvex.Velmora.Core"), STR("Solution"));

        c.at(434);
        Ref solver =
            call(PipeStressSolver, global(STR("_PipeStress_")), quarl, frefile, thffile);
        c.at(435);
        set_attr(solver, STR("IgnoreWarnings"), boolean(true));

        c.at(436);
        Ref run_result = call_method(solver, STR("Run"));
        if (equals(run_result.get(), integer(0).get())) {
            c.at(437);
            Ref analysis_model = call_method(solver, STR("GetAnalysisModel"));
            if (not_equals_none(analysis_model)) {
                c.at(438);
                Ref solution = call(Solution, none(), solver);
                set_global(STR("_Solution_"), solution);
            }
        } else {
            c.at(440);
            call_method(solver, STR("Dispose"));
        }
    });
    return none();
}

}  // namespace korvex
