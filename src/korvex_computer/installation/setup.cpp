#include "binding/functions.h"

namespace korvex {

Ref setup_korvex_computer(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

}  // namespace korvex
