// load_dll and load_dll_c: load a library of the installation by its file name, once per
// process, from the assembly directory or else from the installation directory.
#include "binding/functions.h"

namespace korvex {

namespace {

enum class Loader { DotNet, Native };

// The two functions are one algorithm; load_dll_c's traceback lines are 26 higher.
Ref load_library(Call& c, const Ref& dllname, Loader loader) {
    const int shift = loader == Loader::Native ? 26 : 0;
    auto at = [&](int line) { c.at(line + shift); };
    auto load = [&](const Ref& path) {
        if (loader == Loader::DotNet) call(attr(global("clr"), "AddReference"), path);
        else call(attr(global("ctypes"), "CDLL"), path);
    };

    at(106);
    if (contains(global("_dlls_"), dllname)) return none();

    at(109);
    Ref path = call(os_path("join"), global("_dllPath_"), dllname);
    at(110);
    if (truth(call(os_path("exists"), path))) {
        at(118);
        load(path);
        at(119);
        call_method(global("_dlls_"), "append", dllname);
    } else {
        at(111);
        path = call(os_path("join"), global("_exePath_"), dllname);
        at(112);
        if (!truth(call(os_path("exists"), path))) {
            at(113);
            raise(PyExc_FileNotFoundError, concat({name("DLL '"), dllname.get(), name("' not found.")}));
        }
        at(115);
        load(path);
        at(116);
        call_method(global("_dlls_"), "append", dllname);
    }
    at(120);
    print(concat({dllname.get(), name(" loaded")}));
    return none();
}

}  // namespace

Ref load_dll(Call& c, Args a) { return load_library(c, a[0], Loader::DotNet); }

Ref load_dll_c(Call& c, Args a) { return load_library(c, a[0], Loader::Native); }

}  // namespace korvex
