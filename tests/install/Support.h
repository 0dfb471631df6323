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

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  fs::path operator/(const fs::path& part) const { return path_ / part; }

 private:
  fs::path path_;
};

// A path with "\" written as the platform's separator: R("\\a\\b") is "/a/b" on Linux.
std::string R(std::string_view windowsForm);

void WriteFile(const fs::path& path, std::string_view content);
std::string ReadFile(const fs::path& path);
void SetHidden(const fs::path& path);  // the hidden attribute on Windows; Linux hides dot-names

// The lines of a listing; fails the test when a line does not end with CR LF.
std::vector<std::string> Lines(const std::string& listing);

// Everything below a folder: relative path -> (size, or -1 for a folder; modification time).
using Snapshot = std::map<std::string, std::pair<std::intmax_t, std::int64_t>>;
Snapshot Snap(const fs::path& root);

}  // namespace install::test
