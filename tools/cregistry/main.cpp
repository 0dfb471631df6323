// cregistry: reg's verbs and .reg import/export over the registry (Windows) or the registry store (Linux).
#include <exception>
#include <iostream>
#include <ostream>
#include <string>
#include <vector>

#include "tools/cregistry/ConsoleOutput.h"
#include "tools/cregistry/Tool.h"

int main(int argc, char** argv) {
  cregistry::tool::platform::PrepareProcess();
  std::vector<std::string> args(argv + 1, argv + argc);
  std::ostream& out = cregistry::tool::StandardOutput();
  std::ostream& err = cregistry::tool::StandardError();
  int status = 1;
  try {
    status = cregistry::tool::RunTool(args, nullptr, std::cin, out, err);
  } catch (const std::exception& e) {
    err << "cregistry: " << e.what() << "\n";
  }
  out.flush();
  err.flush();
  return status;
}
