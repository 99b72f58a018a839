#include "binding/functions.h"

namespace korvex {

Ref solvePipingModel(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

Ref solveStructureModel(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

}  // namespace korvex
