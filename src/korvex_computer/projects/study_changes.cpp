#include "binding/functions.h"

namespace korvex {

Ref removeStudy(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

Ref duplicateStudy(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

}  // namespace korvex
