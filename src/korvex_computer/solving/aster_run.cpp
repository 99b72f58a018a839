#include "binding/functions.h"

namespace korvex {

Ref AsterSolve(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

}  // namespace korvex
