// Solving a loaded model: the model checks, the solver's assemblies, and one run of
// `_PipeStressSolve` or `_AsterSolve` on a daemon worker thread that is joined at once.
#include "binding/functions.h"

namespace korvex {

namespace {

// The traceback lines of a run on a worker thread.
struct WorkerRunLines {
    int create, set_daemon, start, join;
};

// Runs the module function `run_function` with (quarl, quarlFilename, directory) on a new
// daemon thread and waits for it. An exception inside the run ends the worker and is reported
// by the threading module's hook; it does not reach the caller.
void run_on_worker(Call& c, const WorkerRunLines& line, Constant& run_function, const Ref& quarl,
                   const Ref& quarlFilename, const Ref& directory) {
    c.at(line.create);
    Ref thread_class = attr(global(STR("threading")), STR("Thread"));
    Ref sta_thread = call_with_keywords(
        thread_class, tuple(),
        {{STR("target"), global(run_function)}, {STR("args"), tuple(quarl, quarlFilename, directory)}});

    c.at(line.set_daemon);
    call_method(sta_thread, STR("setDaemon"), boolean(true));
    WorkerDepthHandoff depth(sta_thread);
    c.at(line.start);
    call_method(sta_thread, STR("start"));
    c.at(line.join);
    call_method(sta_thread, STR("join"));
}

// The traceback lines of the model checks.
struct ModelCheckLines {
    int none_test, raise_invalid, load, import_code, kind_test, raise_kind;
};

// The model checks that come before anything else: a model at all, then of the expected kind.
void check_model(Call& c, const Ref& quarl, const ModelCheckLines& line, Constant& code_class,
                 Constant& wrong_kind_message) {
    c.at(line.none_test);
    if (equals_none(quarl)) {
        c.at(line.raise_invalid);
        raise(PyExc_OSError, STR("Invalid quarl."));
    }
    load_assemblies(c, line.load, STR("Korvex.Velmora.Core.dll"));
    c.at(line.import_code);
    Ref expected_code = from_import(STR("Korvex.Velmora.Core"), code_class);
    c.at(line.kind_test);
    if (!is_instance(attr(quarl, STR("CalculationCode")), expected_code)) {
        c.at(line.raise_kind);
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

    check_model(c, quarl, {344, 345, 347, 348, 349, 350}, STR("PipingCode"),
                STR("The quarl is not a piping model."));

    c.at(352);
    set_global(STR("_Solution_"), none());

    c.at(353);
    if (equals(solvername.get(), name(STR("Aster")))) {
        c.at(354);
        if (equals_none(global(STR("_Aster_")))) return none();
        load_assemblies(c, 356, STR("Korvex.SDK.dll"), STR("Korvex.Helper.dll"),
                        STR("Korvex.Aster.Core.dll"));
        run_on_worker(c, {360, 361, 362, 363}, STR("_AsterSolve"), quarl, quarlFilename, directory);
        c.at(364);
        return global(STR("_Solution_"));
    }

    c.at(365);
    if (equals(solvername.get(), name(STR("PipeStress")))) {
        c.at(366);
        if (equals_none(global(STR("_PipeStress_")))) return none();
        load_assemblies(c, 368, STR("Korvex.SDK.dll"), STR("Korvex.PipeStress.Core.dll"));
        run_on_worker(c, {371, 372, 373, 374}, STR("_PipeStressSolve"), quarl, quarlFilename,
                      directory);
        c.at(375);
        return global(STR("_Solution_"));
    }

    c.at(377);
    print(text(STR("Invalid solver name. use 'Aster' or 'PipeStress'.")));
    return none();
}

// solveStructureModel(quarl, quarlFilename, directory)
Ref solveStructureModel(Call& c, Args a) {
    const Ref& quarl = a[0];
    const Ref& quarlFilename = a[1];
    const Ref& directory = a[2];

    check_model(c, quarl, {391, 392, 394, 395, 396, 397}, STR("StructureCode"),
                STR("The quarl is not a structure model."));

    c.at(399);
    set_global(STR("_Solution_"), none());
    c.at(400);
    if (equals_none(global(STR("_Aster_")))) return none();

    load_assemblies(c, 402, STR("Korvex.SDK.dll"), STR("Korvex.Helper.dll"),
                    STR("Korvex.Aster.Core.dll"));
    run_on_worker(c, {406, 407, 408, 409}, STR("_AsterSolve"), quarl, quarlFilename, directory);
    c.at(410);
    return global(STR("_Solution_"));
}

}  // namespace korvex
