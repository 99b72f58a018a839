#include "binding/functions.h"

namespace korvex {

Ref addStudy(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

Ref addPipingStudy(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

Ref addStructureStudy(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

}  // namespace korvex
