#include "binding/functions.h"

namespace korvex {

Ref loadQuarl(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

Ref saveQuarl(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

Ref getQuarl(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

}  // namespace korvex
