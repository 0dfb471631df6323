// Helpers of the install-run tests: real temporary folder trees and what to compare them by.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace install::test {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with its contents at the end.
struct TempDir {
  TempDir();
  ~TempDir();
  std::string str() const { return path.string(); }
  fs::path operator/(const fs::path& part) const { return path / part; }
  fs::path path;
};

std::string R(std::string_view windowsForm);  // "\" as the platform's separator
void WriteFile(const fs::path& path, std::string_view content);
std::string ReadFile(const fs::path& path);
void SetHidden(const fs::path& path);  // Windows' hidden attribute; Linux hides dot-names anyway
std::vector<std::string> Lines(const std::string& listing, bool sorted = false);

// Makes `link` a link to the folder `target`, which need not exist. Linux: a symlink. Windows: a
// directory symbolic link; under Wine a Unix symlink (made with ln), which Wine presents as a
// reparse point. False when the system refuses (Windows without the right to make links).
bool MakeFolderLink(const fs::path& target, const fs::path& link);

// True when this Windows build runs under Wine.
bool UnderWine();

// Everything below a folder: relative path -> (size, or -1 for a folder; modification time).
using Snapshot = std::map<std::string, std::pair<std::intmax_t, std::int64_t>>;
Snapshot Snap(const fs::path& root);

}  // namespace install::test
