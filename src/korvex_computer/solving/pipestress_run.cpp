#include "binding/functions.h"

namespace korvex {

Ref PipeStressSolve(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

}  // namespace korvex
