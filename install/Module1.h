// Module1: the template tree listing and its copy.
//
// The listing is one text with a CR LF ended line per entry of the tree: ">" + relative path for a
// folder, the relative path alone for a file. Relative paths start with the separator ("\a.eml",
// "\img\x.png"; "/" on Linux). A folder's own block (its entries in enumeration order) comes first,
// then the listings of its sub-folders in the order of their lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "install/platform/Platform.h"

namespace install {

// Copy modes.
inline constexpr std::int16_t SkipExisting = -1;  // copy only when the destination has no such file
inline constexpr std::int16_t Overwrite = 0;      // always copy, replacing the destination file

// The listing of the folder sRoot joined with sRelPath (empty for the root itself; otherwise
// beginning with the separator). Every relative path in it starts from sRelPath. A folder that
// cannot be read gives no lines. Each folder is reached from its parent's (see
// Platform::BeginWalk), so no path length limits the depth.
std::string ListTree(std::string_view sRoot, std::string_view sRelPath,
                     platform::Platform& p = platform::Default());

// ListTree, with `complete` false when a folder in the tree (the root included) could not be read.
std::string ListTree(std::string_view sRoot, std::string_view sRelPath, bool& complete,
                     platform::Platform& p = platform::Default());

// Below this many files a copy runs on the calling thread alone (threads would cost more than they
// save); from it on, the files are shared out to CopyWorkers() threads.
inline constexpr std::size_t kParallelFrom = 32;

// Threads of a copy: one per core, at least 2, at most 8.
unsigned CopyWorkers();

// Copies the tree below sSource into the existing folder sDest: first every folder is created, in
// the listing's order; then the files go to CopyFileByMode with iMode, on several threads for a
// larger package (see kParallelFrom). Failing steps are skipped. Below sDest no link is followed (see
// Platform::BeginCopy). Returns false when a package folder could not be listed, or a folder
// creation or a file copy was attempted and failed (a folder or file that is there already is no
// failure), for the process's exit status.
bool CopyTree(std::string_view sSource, std::string_view sDest, std::int16_t iMode,
              platform::Platform& p = platform::Default());

// Copies one file according to iMode; any mode but SkipExisting and Overwrite copies nothing.
// False when a copy was attempted and failed.
bool CopyFileByMode(std::string_view sSourceFile, std::string_view sDestFile, std::int16_t iMode,
                    platform::Platform& p = platform::Default());

// True when an ordinary file (not a folder, not hidden, not system) exists at sPath.
bool FileExists(std::string_view sPath, platform::Platform& p = platform::Default());

}  // namespace install
