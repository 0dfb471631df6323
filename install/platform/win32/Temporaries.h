// Temporary files of the Windows copy: ".install-templates.<pid>.<start>.<n>.tmp", hidden and
// temporary, where <start> is the writing process's creation time: process ids are reused (a fresh
// Wine server gives its first process the same id every time), an id with its creation time never
// is. A live writer holds its file open without sharing.
#pragma once

#include <string>

#include "install/platform/win32/Handles.h"

namespace install::platform {

// A new temporary file in `folder` (ending with "\\"), open for writing and shared with no one, and
// its path in `path`; null (and `path` empty) when none could be made.
UniqueHandle CreateTemporary(const std::string& folder, std::string& path);

// Removes from `folder` (ending with "\\") the temporary files of runs that are gone: only names of
// that kind, only files that are no link, only when the process of the id and creation time in the
// name is not running. A name without a creation time (".<pid>.<n>.tmp", an older version's) goes
// when no one holds it open: deleting a file its writer holds fails.
void RemoveStaleTemporaries(const std::string& folder);

}  // namespace install::platform
