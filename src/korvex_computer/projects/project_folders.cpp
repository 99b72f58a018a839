// Project folders: plain directories that hold projects, created and removed on disk alone.
#include "binding/functions.h"
#include "projects/projects.h"

namespace korvex {

Ref addProjectFolder(Call& c, Args a) {
    const Ref& directory = a[0];
    const Ref& folderName = a[1];

    c.at(611);
    Ref folder = call(os_path(STR("join")), directory, folderName);
    c.at(612);
    if (truth(call(os_path(STR("exists")), folder))) return text(STR(""));
    c.at(614);
    call(attr(global(STR("os")), STR("makedirs")), folder);
    return folder;
}

Ref removeProjectFolder(Call& c, Args a) {
    const Ref& folderDirectory = a[0];
    remove_directory_tree(c, folderDirectory, {626, 627, 628, 629, 630, 631, 632});
    return none();
}

void remove_directory_tree(Call& c, const Ref& path, const RemovalLines& line) {
    // Every decision is taken on the path as given: a path that is not an existing directory,
    // or whose parent cannot become the working directory (a bare name, "." or ".." have the
    // empty text as their parent), deletes nothing.
    c.at(line.exists);
    if (!truth(call(os_path(STR("exists")), path))) return;
    c.at(line.isdir);
    if (!truth(call(os_path(STR("isdir")), path))) return;

    except_exception([&] {
        c.at(line.dirname);
        Ref parentDirectory = call(os_path(STR("dirname")), path);
        // What is deleted is the directory that the path names now, before the change of
        // working directory: a relative path is never resolved a second time from the parent.
        c.at(line.abspath);
        Ref directory = call(os_path(STR("abspath")), path);
        c.at(line.root_test);
        // A root is its own parent: never delete a whole drive or file system.
        if (equals(call(os_path(STR("dirname")), directory).get(), directory.get())) return;
        c.at(line.chdir);
        call(attr(global(STR("os")), STR("chdir")), parentDirectory);
        // rmtree refuses a symbolic link (or junction) to a directory, so a linked directory's
        // contents are never deleted through the link.
        c.at(line.rmtree);
        call(attr(global(STR("shutil")), STR("rmtree")), directory);
    });
}

}  // namespace korvex
