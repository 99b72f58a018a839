#include "binding/functions.h"

namespace korvex {

Ref find_first_file(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

Ref copyDirectoryToTemp(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

}  // namespace korvex
