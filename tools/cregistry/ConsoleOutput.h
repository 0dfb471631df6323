// Standard output and standard error as the platform wants the tool's UTF-8 text. On Linux they are
// std::cout and std::cerr, unchanged. On Windows a console gets the text through WriteConsoleW, so any
// name shows whatever the console's code page; output redirected to a file or a pipe is converted to
// the console's output code page (the OEM code page unless changed with chcp), as reg writes it.
#pragma once

#include <ostream>

namespace cregistry::tool {

std::ostream& StandardOutput();
std::ostream& StandardError();

}  // namespace cregistry::tool
