#include "binding/functions.h"

namespace korvex {

Ref load_dll(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

Ref load_dll_c(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

}  // namespace korvex
