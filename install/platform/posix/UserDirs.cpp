#include "install/platform/posix/UserDirs.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "install/platform/posix/UniqueFd.h"

namespace install::platform {

namespace {

std::string Home() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir) {
    return found->pw_dir;
  }
  return {};
}

// An XDG base directory: the variable when it holds an absolute path, else home + fallback.
std::string BaseDir(const char* variable, const std::string& home, std::string_view fallback) {
  if (const char* value = std::getenv(variable); value && value[0] == '/') return value;
  if (home.empty()) return {};
  return home + std::string(fallback);
}

// The value of `key` in user-dirs.dirs: lines of the form KEY="$HOME/sub" or KEY="/abs/path".
// The last valid line wins, as when the file is sourced by a shell.
// The file is read only when it is a regular file, and then at most its first 64 KiB: a FIFO, a
// device or a link to one counts as no file (it could block for ever or never end).
constexpr std::size_t kUserDirsLimit = 64 * 1024;

bool ReadSmallRegularFile(const std::string& file, std::string& text) {
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  text.resize(kUserDirsLimit);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  text.resize(done);
  return true;
}

bool ReadUserDir(const std::string& file, std::string_view key, const std::string& home,
                 std::string& path) {
  std::string text;
  if (!ReadSmallRegularFile(file, text)) return false;
  bool found = false;
  for (std::size_t pos = 0; pos < text.size();) {
    std::size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string_view rest(text.data() + pos, eol - pos);
    pos = eol + 1;
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    if (!rest.starts_with(key) || rest.substr(key.size()).substr(0, 2) != "=\"") continue;
    rest.remove_prefix(key.size() + 2);
    std::string value;
    bool closed = false;
    for (std::size_t i = 0; i < rest.size(); ++i) {
      if (rest[i] == '\\' && i + 1 < rest.size()) {
        value.push_back(rest[++i]);
      } else if (rest[i] == '"') {
        closed = true;
        break;
      } else {
        value.push_back(rest[i]);
      }
    }
    if (!closed) continue;
    if (value.starts_with("$HOME") && (value.size() == 5 || value[5] == '/')) {
      if (home.empty()) continue;
      value = home + value.substr(5);
    } else if (!value.starts_with("/")) {
      continue;  // relative paths are not allowed there
    }
    path = std::move(value);
    found = true;
  }
  return found;
}

std::string UserDir(std::string_view key, std::string_view fallback, const std::string& home) {
  std::string path;
  const std::string config = BaseDir("XDG_CONFIG_HOME", home, "/.config");
  if (!config.empty() && ReadUserDir(config + "/user-dirs.dirs", key, home, path)) return path;
  if (home.empty()) return {};
  return home + "/" + std::string(fallback);
}

}  // namespace

bool SpecialFolderPath(std::int32_t folderId, std::string& path) {
  const std::string home = Home();
  switch (folderId) {
    case 0x00:  // CSIDL_DESKTOP
    case 0x10:  // CSIDL_DESKTOPDIRECTORY
      path = UserDir("XDG_DESKTOP_DIR", "Desktop", home);
      break;
    case 0x05:  // CSIDL_PERSONAL
      path = UserDir("XDG_DOCUMENTS_DIR", "Documents", home);
      break;
    case 0x0d:  // CSIDL_MYMUSIC
      path = UserDir("XDG_MUSIC_DIR", "Music", home);
      break;
    case 0x0e:  // CSIDL_MYVIDEO
      path = UserDir("XDG_VIDEOS_DIR", "Videos", home);
      break;
    case 0x15:  // CSIDL_TEMPLATES
      path = UserDir("XDG_TEMPLATES_DIR", "Templates", home);
      break;
    case 0x27:  // CSIDL_MYPICTURES
      path = UserDir("XDG_PICTURES_DIR", "Pictures", home);
      break;
    case 0x28:  // CSIDL_PROFILE
      path = home;
      break;
    case 0x1a:  // CSIDL_APPDATA
      path = BaseDir("XDG_CONFIG_HOME", home, "/.config");
      break;
    case 0x1c:  // CSIDL_LOCAL_APPDATA
      path = BaseDir("XDG_DATA_HOME", home, "/.local/share");
      break;
    default:
      path.clear();
  }
  // Paths come without a trailing separator, except the root itself.
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return !path.empty();
}

}  // namespace install::platform
