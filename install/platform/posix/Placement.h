// The placement of a copy on Linux: its data written into a temporary file in the destination's
// folder (or the destination root), which is then given its name without replacing anything.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include "install/platform/posix/FolderWalk.h"

namespace install::platform {

// Copies the open regular file `in` (whose fstat is `st`) to the name `to`, as SafeCopyFile
// promises; its permission bits are the source's less the process's umask.
bool PlaceCopy(int in, const struct stat& st, Place to, bool replace);

}  // namespace install::platform
