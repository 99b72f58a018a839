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
    // Every decision is taken on the path as given: a path that is not an existing directory,
    // or whose parent cannot become the working directory (a bare name, "." or ".." have the
    // empty text as their parent), deletes nothing.
    c.at(first_line);
    if (!truth(call(os_path("exists"), path))) return;
    c.at(first_line + 1);
    if (!truth(call(os_path("isdir"), path))) return;

    except_exception([&] {
        c.at(first_line + 2);
        Ref parentDirectory = call(os_path("dirname"), path);
        // What is deleted is the directory that the path names now, before the change of
        // working directory: a relative path is never resolved a second time from the parent.
        c.at(first_line + 3);
        Ref directory = call(os_path("abspath"), path);
        c.at(first_line + 4);
        // A root is its own parent: never delete a whole drive or file system.
        if (equals(call(os_path("dirname"), directory).get(), directory.get())) return;
        c.at(first_line + 5);
        call(attr(global("os"), "chdir"), parentDirectory);
        // rmtree refuses a symbolic link (or junction) to a directory, so a linked directory's
        // contents are never deleted through the link.
        c.at(first_line + 6);
        call(attr(global("shutil"), "rmtree"), directory);
    });
}

}  // namespace korvex
