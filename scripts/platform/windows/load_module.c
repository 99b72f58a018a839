/* Loads an extension module the way the interpreter does on Windows and finds its init
   function, without calling it: run under Wine by scripts/check_windows, from a folder that
   holds it and the stand-in python311.dll, as an interpreter's folder does.
   Usage: load_module MODULE.pyd INIT_FUNCTION */
#include <stdio.h>
#include <windows.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: load_module MODULE.pyd INIT_FUNCTION\n");
        return 2;
    }
    /* The flags the interpreter loads extension modules with: dependencies are looked for in
       the module's folder, the program's folder and the system folders only. */
    HMODULE module = LoadLibraryExA(
        argv[1], NULL, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR);
    if (!module) {
        fprintf(stderr, "cannot load %s: Windows error %lu\n", argv[1], GetLastError());
        return 1;
    }
    if (!GetProcAddress(module, argv[2])) {
        fprintf(stderr, "%s has no %s: Windows error %lu\n", argv[1], argv[2], GetLastError());
        return 1;
    }
    printf("loaded %s and found %s\n", argv[1], argv[2]);
    return 0;
}
