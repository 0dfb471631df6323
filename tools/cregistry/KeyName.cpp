#include "tools/cregistry/KeyName.h"

#include <string_view>

#include "registry/regfile/RegFile.h"

namespace cregistry::tool {

namespace rf = regfile;

std::string KeyName::FullPath() const {
  std::string path(rf::RootFullName(root));
  if (!subPath.empty()) path += "\\" + subPath;
  return path;
}

std::optional<KeyName> ParseKey(const std::string& text, ToolError& error) {
  KeyName key;
  key.asGiven = text;
  std::string_view rest(text);
  while (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
  if (rest.starts_with("\\\\")) {
    error.keyPath = text;
    error.detail = "remote machines are not supported";
    return std::nullopt;
  }
  std::size_t slash = rest.find('\\');
  auto root = rf::RootFromName(rest.substr(0, slash));
  if (!root) {
    error.keyPath = text;
    error.detail = "unknown root key (expected HKCR, HKCU, HKLM, HKU, HKCC or their full names)";
    return std::nullopt;
  }
  key.root = *root;
  if (slash != std::string_view::npos) key.subPath = rest.substr(slash + 1);
  return key;
}

}  // namespace cregistry::tool
