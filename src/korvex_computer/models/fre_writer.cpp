#include "binding/functions.h"

namespace korvex {

Ref writeFreFile(Call&, Args) {
    raise(PyExc_NotImplementedError, "not available yet");
}

}  // namespace korvex
