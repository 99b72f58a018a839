// find_first_file and copyDirectoryToTemp: file-system helpers that need no installation.
#include "binding/functions.h"

namespace korvex {

namespace {

// The line of find_first_file's one statement, which holds the walk over the listing.
constexpr int kWalkLine = 484;

// The inner walk: the first entry whose lower-cased name ends with ext and that names a
// regular file, joined to the directory; an empty Ref when none does. Entries after the first
// match are never looked at. An error while walking carries the walk's own traceback entry.
Ref first_matching_entry(Items& entries, const Ref& directory, const Ref& ext) {
    return in_scope("genexpr", kWalkLine, [&] {
        while (Ref f = entries.next()) {
            if (!lower_ends_with(f, ext)) continue;
            Ref isfile = os_path(STR("isfile"));
            if (!truth(call(isfile, call(os_path(STR("join")), directory, f)))) continue;
            return call(os_path(STR("join")), directory, f);
        }
        return Ref();
    });
}

}  // namespace

Ref find_first_file(Call& c, Args a) {
    const Ref& directory = a[0];
    const Ref& ext = a[1];

    c.at(kWalkLine);
    Ref listdir = attr(global(STR("os")), STR("listdir"));
    Items entries(call(listdir, directory));
    Ref found = first_matching_entry(entries, directory, ext);
    return found ? found : text(STR(""));
}

Ref copyDirectoryToTemp(Call& c, Args a) {
    const Ref& directory = a[0];

    c.at(490);
    Ref join = os_path(STR("join"));
    Ref temp_root = call(attr(global(STR("tempfile")), STR("gettempdir")));
    Ref unique_name = Ref::steal(PyObject_Str(call(attr(global(STR("uuid")), STR("uuid4"))).get()));
    Ref tempDirectory = call(join, temp_root, unique_name);

    c.at(492);
    bool copied = except_exception([&] {
        Ref copytree = attr(global(STR("shutil")), STR("copytree"));
        call_with_keywords(copytree, tuple(directory, tempDirectory),
                           {{STR("dirs_exist_ok"), boolean(true)}});
    });
    return copied ? tempDirectory : text(STR(""));
}

}  // namespace korvex
