// load_dll and load_dll_c: load a library of the installation by its file name, once per
// process, from the assembly directory or else from the installation directory.
#include "binding/functions.h"

namespace korvex {

namespace {

enum class Loader { DotNet, Native };

// The traceback lines of the steps of a library load; the two functions are one algorithm.
struct LoadLines {
    int membership;
    int join_assemblies, exists_in_assemblies, load_from_assemblies, append_from_assemblies;
    int join_installation, exists_in_installation, raise_missing;
    int load_from_installation, append_from_installation;
    int print;
};
constexpr LoadLines kLoadDllLines{106, 109, 110, 118, 119, 111, 112, 113, 115, 116, 120};
constexpr LoadLines kLoadDllCLines{132, 135, 136, 144, 145, 137, 138, 139, 141, 142, 146};

// The steps after the membership test, for a library not loaded yet.
Ref load_missing_library(Call& c, const Ref& dllname, Loader loader, const LoadLines& line) {
    auto load = [&](const Ref& path) {
        if (loader == Loader::DotNet) call(attr(global(STR("clr")), STR("AddReference")), path);
        else call(attr(global(STR("ctypes")), STR("CDLL")), path);
    };

    c.at(line.join_assemblies);
    Ref path = call(os_path(STR("join")), global(STR("_dllPath_")), dllname);
    c.at(line.exists_in_assemblies);
    if (truth(call(os_path(STR("exists")), path))) {
        c.at(line.load_from_assemblies);
        load(path);
        c.at(line.append_from_assemblies);
        call_method(global(STR("_dlls_")), STR("append"), dllname);
    } else {
        c.at(line.join_installation);
        path = call(os_path(STR("join")), global(STR("_exePath_")), dllname);
        c.at(line.exists_in_installation);
        if (!truth(call(os_path(STR("exists")), path))) {
            c.at(line.raise_missing);
            raise(PyExc_FileNotFoundError,
                  concat({name(STR("DLL '")), dllname.get(), name(STR("' not found."))}));
        }
        c.at(line.load_from_installation);
        load(path);
        c.at(line.append_from_installation);
        call_method(global(STR("_dlls_")), STR("append"), dllname);
    }
    c.at(line.print);
    print(concat({dllname.get(), name(STR(" loaded"))}));
    return none();
}

// The membership test, the common case, is compiled into each caller; the rest is shared.
template <Loader loader>
Ref load_library(Call& c, const Ref& dllname) {
    constexpr const LoadLines& line = loader == Loader::DotNet ? kLoadDllLines : kLoadDllCLines;
    c.at(line.membership);
    if (global_contains(STR("_dlls_"), dllname)) return none();
    return load_missing_library(c, dllname, loader, line);
}

}  // namespace

Ref load_dll(Call& c, Args a) { return load_library<Loader::DotNet>(c, a[0]); }

Ref load_dll_c(Call& c, Args a) { return load_library<Loader::Native>(c, a[0]); }

}  // namespace korvex
