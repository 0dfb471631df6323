// cregistry: reg's verbs and .reg import/export over the registry (Windows) or the registry store (Linux).
#include <iostream>
#include <string>
#include <vector>

#include "tools/cregistry/Tool.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return cregistry::tool::RunTool(args, std::cout, std::cerr);
  } catch (const std::exception& e) {
    std::cerr << "cregistry: " << e.what() << "\n";
    return 1;
  }
}
