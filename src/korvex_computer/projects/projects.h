// Steps shared by the project and study functions.
#pragma once

#include "binding/core.h"

namespace korvex {

// Deletes the directory at `path` with everything in it, the working directory moving to its
// parent first; silent when the path is not a directory, its parent cannot become the working
// directory or the deletion fails. Its steps take the traceback lines first_line, first_line + 1,
// ... up to first_line + 6.
void remove_directory_tree(Call& c, const Ref& path, int first_line);

// The top-left corner of a 300 by 400 window centred on a screen of the given size, as a
// System.Windows Point; x at line `line`, y at line + 1, the point at line + 2.
Ref placement_point(Call& c, const Ref& Point, const Ref& screenWidth, const Ref& screenheight,
                    int line);

// The project file of a project directory: <dir>/<N>.project, N being the directory's last
// component without its extension. The name at line `line`, the join at line + 1.
Ref project_file_of(Call& c, const Ref& projectDirectory, int line);

}  // namespace korvex
