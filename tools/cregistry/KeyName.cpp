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
  const auto refuse = [&](const char* why) -> std::optional<KeyName> {
    error.keyPath = text;
    error.detail = why;
    return std::nullopt;
  };
  if (text.empty()) return refuse("no key given");
  if (text.starts_with("\\\\")) return refuse("remote machines are not supported");
  const std::size_t slash = text.find('\\');
  auto root = rf::RootFromName(std::string_view(text).substr(0, slash));
  if (!root) return refuse("unknown root key (expected HKCR, HKCU, HKLM, HKU, HKCC or their full names)");
  KeyName key;
  key.asGiven = text;
  key.root = *root;
  if (slash != std::string::npos) {
    std::string_view rest = std::string_view(text).substr(slash + 1);
    // reg takes one "\" at the end of a path, but not two, and not a root with a "\" and nothing after.
    if (rest.ends_with('\\')) rest.remove_suffix(1);
    if (rest.empty() || rest.ends_with('\\')) return refuse("not a key path: a root and \\ alone, or \\\\ at the end");
    key.subPath = rest;
  }
  return key;
}

}  // namespace cregistry::tool
