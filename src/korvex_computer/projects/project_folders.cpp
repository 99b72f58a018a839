#include "binding/functions.h"

namespace korvex {

Ref addProjectFolder(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

Ref removeProjectFolder(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

}  // namespace korvex
