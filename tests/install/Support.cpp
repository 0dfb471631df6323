#include "Support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "install/platform/Platform.h"

namespace install::test {

namespace {
int ProcessId() {
#ifdef _WIN32
  return static_cast<int>(::GetCurrentProcessId());
#else
  return static_cast<int>(::getpid());
#endif
}
}  // namespace

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  path_ = fs::temp_directory_path() /
          ("it-test-" + std::to_string(ProcessId()) + "-" + std::to_string(++counter));
  fs::remove_all(path_);
  fs::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
#ifdef _WIN32
  // Read-only entries cannot be removed on Windows.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    ::SetFileAttributesA(it->path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
  }
#endif
  fs::remove_all(path_, ec);
}

std::string R(std::string_view windowsForm) {
  std::string out(windowsForm);
  for (char& c : out) {
    if (c == '\\') c = platform::kSep;
  }
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

void SetHidden(const fs::path& path) {
#ifdef _WIN32
  ASSERT_TRUE(::SetFileAttributesA(path.string().c_str(), FILE_ATTRIBUTE_HIDDEN)) << path;
#else
  (void)path;
#endif
}

std::vector<std::string> Lines(const std::string& listing) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < listing.size()) {
    const std::size_t eol = listing.find("\r\n", pos);
    EXPECT_NE(eol, std::string::npos) << "unterminated line in: " << listing;
    if (eol == std::string::npos) break;
    lines.push_back(listing.substr(pos, eol - pos));
    pos = eol + 2;
  }
  return lines;
}

Snapshot Snap(const fs::path& root) {
  Snapshot snap;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    std::error_code ignored;
    const bool folder = it->is_directory(ignored) && !it->is_symlink(ignored);
    const auto time = fs::last_write_time(it->path(), ignored).time_since_epoch().count();
    const bool link = it->is_symlink(ignored);
    snap[fs::relative(it->path(), root, ignored).generic_string()] = {
        folder ? -1 : link ? -2 : static_cast<std::intmax_t>(it->file_size(ignored)),
        folder ? 0 : static_cast<std::int64_t>(time)};
  }
  return snap;
}

}  // namespace install::test
