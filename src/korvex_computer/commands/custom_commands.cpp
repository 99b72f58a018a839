#include "binding/functions.h"

namespace korvex {

Ref createCommand(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

Ref executeCommand(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

}  // namespace korvex
