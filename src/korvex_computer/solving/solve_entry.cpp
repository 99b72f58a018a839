#include "binding/functions.h"

namespace korvex {

Ref solve(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

Ref disposeSolution(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

}  // namespace korvex
