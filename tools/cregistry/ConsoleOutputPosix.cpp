#include <iostream>

#include "tools/cregistry/ConsoleOutput.h"

namespace cregistry::tool {

std::ostream& StandardOutput() { return std::cout; }
std::ostream& StandardError() { return std::cerr; }

}  // namespace cregistry::tool
