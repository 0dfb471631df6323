// Shell special folders on Linux: the XDG user directories.
#pragma once

#include <cstdint>
#include <string>

namespace install::platform {

// The path for a CSIDL number: the Documents folder (5) is XDG_DOCUMENTS_DIR from
// $XDG_CONFIG_HOME/user-dirs.dirs (default ~/.config), else $HOME/Documents; the other numbers
// with an XDG counterpart map the same way. False for numbers without one, or without a home.
bool SpecialFolderPath(std::int32_t folderId, std::string& path);

}  // namespace install::platform
