// modMain: the program's run.
#pragma once

#include <stdexcept>
#include <string_view>

#include "install/Form1.h"
#include "install/platform/Platform.h"

namespace install {

inline constexpr std::string_view kHostFolders[] = {"Marrowquill2", "Marrowquill3"};

// Raised by HasTemplates when the template folder cannot be read (as opposed to holding no match).
class TemplatesLookupFailed : public std::runtime_error {
 public:
  TemplatesLookupFailed() : std::runtime_error("template folder cannot be read") {}
};

// True when the host's template folder under the Documents folder directly holds an ordinary
// "*.eml" file. False when the Documents folder is unknown: nothing is looked for elsewhere.
// Throws TemplatesLookupFailed when the folder cannot be read.
bool HasTemplates(std::string_view sHostFolder, Form1& form,
                  platform::Platform& p = platform::Default());

// The install pass: for each host version in use, copy the package beside the executable
// ("content") into its template folder without replacing anything; then destroy Form1 and end the
// process (through the platform, so that a test's platform can let it return), with status 1 when
// the Documents folder is unknown, a package folder could not be listed, or a folder creation or
// file copy was attempted and failed, else 0.
void Main(platform::Platform& p = platform::Default());

}  // namespace install
