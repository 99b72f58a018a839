#include "binding/functions.h"

namespace korvex {

Ref createQuarl(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

Ref createPipingQuarl(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

Ref createStructureQuarl(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

}  // namespace korvex
