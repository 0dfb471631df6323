// The Windows copy of one file: its content and times written to a temporary file, flushed by the
// caller, then given its final name without replacing a file that took the name meanwhile.
#pragma once

#include <string>

#include "install/platform/Platform.h"
#include "install/platform/win32/Handles.h"

namespace install::platform {

// A copy written to its temporary file, not yet named.
struct Pending {
  std::string temp;
  UniqueHandle out;  // null: failed
  DWORD attributes = 0;
  // Closes and deletes the temporary file, if any.
  void Discard();
};

// Writes the content and times of `source` into a new temporary file in `folder` (ending with
// "\\"), left open in p.out.
bool WriteTemporary(const std::string& source, const std::string& folder, Pending& p);

// Gives the flushed temporary file its name. Without `replace`: a hard link to the temporary
// file, which fails at once when the name is taken (Wine's MoveFileEx without replacing checks
// the name and then renames, so a file made in between would be replaced), then the temporary
// name goes; MoveFileEx only where the file system has no links.
bool Place(const FileCopy& copy, Pending& p);

}  // namespace install::platform
