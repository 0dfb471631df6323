// modGetDirs2: shell special folders as file-system paths.
#pragma once

#include <cstdint>
#include <string>

#include "install/Form1.h"
#include "install/platform/Platform.h"

namespace install {

inline constexpr std::int32_t kDocumentsFolderId = 5;  // CSIDL_PERSONAL: the Documents folder

// The path of the special folder lFolderId (a CSIDL number), asked anew on every call with Form1's
// window as the owner; the empty text when the folder has no path.
std::string GetSpecialFolder(std::int32_t lFolderId, Form1& form,
                             platform::Platform& p = platform::Default());

// GetSpecialFolder(kDocumentsFolderId).
std::string GetDocumentsFolder(Form1& form, platform::Platform& p = platform::Default());

}  // namespace install
