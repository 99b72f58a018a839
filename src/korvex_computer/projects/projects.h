// Steps shared by the project and study functions.
#pragma once

#include "binding/statements.h"

namespace korvex {

// The traceback lines of the steps of remove_directory_tree.
struct RemovalLines {
    int exists, isdir, dirname, abspath, root_test, chdir, rmtree;
};

// Deletes the directory at `path` with everything in it, the working directory moving to its
// parent first; silent when the path is not a directory, its parent cannot become the working
// directory or the deletion fails.
void remove_directory_tree(Call& c, const Ref& path, const RemovalLines& line);

// The traceback lines of placement_point: x, y, then the point.
struct PlacementLines {
    int x, y, point;
};

// The top-left corner of a 300 by 400 window centred on a screen of the given size, as a
// System.Windows Point.
Ref placement_point(Call& c, const Ref& Point, const Ref& screenWidth, const Ref& screenheight,
                    const PlacementLines& line);

// The traceback lines of project_file_of: the project's name, then the join.
struct ProjectFileLines {
    int name, join;
};

// The project file of a project directory: <dir>/<N>.project, N being the directory's last
// component without its extension.
Ref project_file_of(Call& c, const Ref& projectDirectory, const ProjectFileLines& line);

}  // namespace korvex
