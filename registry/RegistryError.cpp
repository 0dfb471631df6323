#include <cregistry/RegistryError.h>

namespace cregistry {

// Defined per platform (win32/Process.cpp, store/Process.cpp): the running executable's full path.
std::string ExecutablePath();

RegistryError::RegistryError(std::int32_t number, std::string source, std::string description)
    : std::runtime_error(description.empty() ? "registry error " + std::to_string(number) : description),
      number_(number),
      source_(std::move(source)),
      description_(std::move(description)) {}

const std::string& RegistryError::ExecutableName() {
  // Never destroyed: another thread may raise an error while the process ends.
  static const std::string& name = *new std::string([] {
    std::string path = ExecutablePath();
    auto slash = path.find_last_of("/\\");
    std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
    auto dot = file.find_last_of('.');
    if (dot != std::string::npos && dot > 0) file.erase(dot);
    return file;
  }());
  return name;
}

std::string RegistryError::AccessorSource() { return ExecutableName() + ".cRegistry"; }

RegistryError RegistryError::SubscriptOutOfRange() {
  return RegistryError(kErrSubscriptOutOfRange, ExecutableName(), "Subscript out of range");
}

RegistryError RegistryError::TypeMismatch() {
  return RegistryError(kErrTypeMismatch, ExecutableName(), "Type mismatch");
}

}  // namespace cregistry
