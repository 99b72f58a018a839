// Solving a loaded model: the model checks, the solver's assemblies, and one run of
// `_PipeStressSolve` or `_AsterSolve` on a daemon worker thread that is joined at once.
#include "binding/functions.h"

namespace korvex {

namespace {

// Runs the module function `run_function` with (quarl, quarlFilename, directory) on a new
// daemon thread and waits for it. The steps carry `line` (the thread's creation) to line + 3.
// An exception inside the run ends the worker and is reported by the threading module's
// hook; it does not reach the caller.
void run_on_worker(Call& c, int line, const char* run_function, const Ref& quarl,
                   const Ref& quarlFilename, const Ref& directory) {
    c.at(line);
    Ref thread_class = attr(global("threading"), "Thread");
    Ref keywords = Ref::steal(PyDict_New());
    check(PyDict_SetItem(keywords.get(), name("target"), global(run_function).get()));
    Ref run_arguments = tuple(quarl, quarlFilename, directory);
    check(PyDict_SetItem(keywords.get(), name("args"), run_arguments.get()));
    Ref no_arguments = tuple();
    Ref sta_thread = call_object(thread_class.get(), no_arguments.get(), keywords.get());

    c.at(line + 1);
    call_method(sta_thread, "setDaemon", boolean(true));
    WorkerDepthHandoff depth(sta_thread);
    c.at(line + 2);
    call_method(sta_thread, "start");
    c.at(line + 3);
    call_method(sta_thread, "join");
}

// The model checks that come before anything else: a model at all, then of the expected kind.
// Both functions lay the steps out alike, from `line` (the None test) to line + 6.
void check_model(Call& c, const Ref& quarl, int line, const char* code_class,
                 const char* wrong_kind_message) {
    c.at(line);
    if (equals_none(quarl)) {
        c.at(line + 1);
        raise(PyExc_OSError, "Invalid quarl.");
    }
    c.at(line + 3);
    load_assembly("Korvex.Velmora.Core.dll");
    c.at(line + 4);
    Ref expected_code = from_import("Korvex.Velmora.Core", code_class);
    c.at(line + 5);
    if (!is_instance(attr(quarl, "CalculationCode"), expected_code)) {
        c.at(line + 6);
        raise(PyExc_OSError, wrong_kind_message);
    }
}

}  // namespace

// solvePipingModel(quarl, quarlFilename, solvername, directory)
Ref solvePipingModel(Call& c, Args a) {
    const Ref& quarl = a[0];
    const Ref& quarlFilename = a[1];
    const Ref& solvername = a[2];
    const Ref& directory = a[3];

    check_model(c, quarl, 344, "PipingCode", "The quarl is not a piping model.");

    c.at(352);
    set_global("_Solution_", none());

    c.at(353);
    if (equals(solvername.get(), name("Aster"))) {
        c.at(354);
        if (equals_none(global("_Aster_"))) return none();
        c.at(356);
        load_assembly("Korvex.SDK.dll");
        c.at(357);
        load_assembly("Korvex.Helper.dll");
        c.at(358);
        load_assembly("Korvex.Aster.Core.dll");
        run_on_worker(c, 360, "_AsterSolve", quarl, quarlFilename, directory);
        c.at(364);
        return global("_Solution_");
    }

    c.at(365);
    if (equals(solvername.get(), name("PipeStress"))) {
        c.at(366);
        if (equals_none(global("_PipeStress_"))) return none();
        c.at(368);
        load_assembly("Korvex.SDK.dll");
        c.at(369);
        load_assembly("Korvex.PipeStress.Core.dll");
        run_on_worker(c, 371, "_PipeStressSolve", quarl, quarlFilename, directory);
        c.at(375);
        return global("_Solution_");
    }

    c.at(377);
    print(text("Invalid solver name. use 'Aster' or 'PipeStress'."));
    return none();
}

// solveStructureModel(quarl, quarlFilename, directory)
Ref solveStructureModel(Call& c, Args a) {
    const Ref& quarl = a[0];
    const Ref& quarlFilename = a[1];
    const Ref& directory = a[2];

    check_model(c, quarl, 391, "StructureCode", "The quarl is not a structure model.");

    c.at(399);
    set_global("_Solution_", none());
    c.at(400);
    if (equals_none(global("_Aster_"))) return none();

    c.at(402);
    load_assembly("Korvex.SDK.dll");
    c.at(403);
    load_assembly("Korvex.Helper.dll");
    c.at(404);
    load_assembly("Korvex.Aster.Core.dll");
    run_on_worker(c, 406, "_AsterSolve", quarl, quarlFilename, directory);
    c.at(410);
    return global("_Solution_");
}

}  // namespace korvex
