#include "Support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#ifdef _WIN32
#include <windows.h>
#define getpid GetCurrentProcessId
#else
#include <unistd.h>
#endif

#include "install/platform/Platform.h"

namespace install::test {

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  path = fs::temp_directory_path() / ("it-test-" + std::to_string(getpid()) + "-" +
                                      std::to_string(++counter));
  fs::remove_all(path);
  fs::create_directories(path);
}

TempDir::~TempDir() {
  std::error_code ec;
#ifdef _WIN32
  for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::end(it); it.increment(ec)) {
    ::SetFileAttributesA(it->path().string().c_str(), FILE_ATTRIBUTE_NORMAL);  // read-only blocks removal
  }
#endif
  fs::remove_all(path, ec);
}

std::string R(std::string_view windowsForm) {
  std::string out(windowsForm);
  std::replace(out.begin(), out.end(), '\\', platform::kSep);
  return out;
}

void WriteFile(const fs::path& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.good()) << path;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

void SetHidden([[maybe_unused]] const fs::path& path) {
#ifdef _WIN32
  ASSERT_TRUE(::SetFileAttributesA(path.string().c_str(), FILE_ATTRIBUTE_HIDDEN)) << path;
#endif
}

std::vector<std::string> Lines(const std::string& listing, bool sorted) {
  std::vector<std::string> lines;
  for (std::size_t pos = 0, eol; pos < listing.size(); pos = eol + 2) {
    eol = listing.find("\r\n", pos);
    if (eol == std::string::npos) {
      ADD_FAILURE() << "line without CR LF at the end of: " << listing;
      break;
    }
    lines.push_back(listing.substr(pos, eol - pos));
  }
  if (sorted) std::sort(lines.begin(), lines.end());
  return lines;
}

Snapshot Snap(const fs::path& root) {
  Snapshot snap;
  std::error_code ec, e;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it); it.increment(ec)) {
    const bool folder = it->is_directory(e) && !it->is_symlink(e);
    const auto size = it->is_symlink(e) ? -2 : folder ? -1 : static_cast<std::intmax_t>(it->file_size(e));
    const auto time = folder ? 0 : fs::last_write_time(it->path(), e).time_since_epoch().count();
    snap[fs::relative(it->path(), root, e).generic_string()] = {size, static_cast<std::int64_t>(time)};
  }
  return snap;
}

}  // namespace install::test
