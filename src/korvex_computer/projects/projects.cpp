#include "binding/functions.h"

namespace korvex {

Ref addProject(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

Ref addPipingProject(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

Ref addStructureProject(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

Ref removeProject(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

}  // namespace korvex
