#include "binding/functions.h"

namespace korvex {

Ref FindSolverPaths(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

Ref FindDataProjectPaths(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

}  // namespace korvex
