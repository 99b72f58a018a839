// Project folders: plain directories that hold projects, created and removed on disk alone.
#include "binding/functions.h"
#include "projects/projects.h"

namespace korvex {

Ref addProjectFolder(Call& c, Args a) {
    const Ref& directory = a[0];
    const Ref& folderName = a[1];

    c.at(611);
    Ref folder = call(os_path("join"), directory, folderName);
    c.at(612);
    if (truth(call(os_path("exists"), folder))) return text("");
    c.at(614);
    call(attr(global("os"), "makedirs"), folder);
    return folder;
}

Ref removeProjectFolder(Call& c, Args a) {
    const Ref& folderDirectory = a[0];
    remove_directory_tree(c, folderDirectory, 626);
    return none();
}

void remove_directory_tree(Call& c, const Ref& path, int first_line) {
    // The path is made absolute once, against the working directory of the caller, and that
    // one path serves for the tests, the parent and the deletion: after the change of working
    // directory below, a relative path would name another directory.
    c.at(first_line);
    Ref directory = call(os_path("abspath"), path);
    c.at(first_line + 1);
    if (!truth(call(os_path("exists"), directory))) return;
    c.at(first_line + 2);
    if (!truth(call(os_path("isdir"), directory))) return;

    except_exception([&] {
        c.at(first_line + 3);
        Ref parentDirectory = call(os_path("dirname"), directory);
        c.at(first_line + 4);
        // A root is its own parent: never delete a whole drive or file system.
        if (equals(parentDirectory.get(), directory.get())) return;
        c.at(first_line + 5);
        call(attr(global("os"), "chdir"), parentDirectory);
        // rmtree refuses a symbolic link (or junction) to a directory, so a linked directory's
        // contents are never deleted through the link.
        c.at(first_line + 6);
        call(attr(global("shutil"), "rmtree"), directory);
    });
}

}  // namespace korvex
