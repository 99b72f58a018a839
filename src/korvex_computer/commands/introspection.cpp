#include "binding/functions.h"

namespace korvex {

Ref inspectClass(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

Ref findNameSpaceAndAssembly(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

}  // namespace korvex
