// Linux only: special files, symlinks, odd names and the XDG Documents folder.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "Support.h"
#include "install/Form1.h"
#include "install/Module1.h"
#include "install/modGetDirs2.h"
#include "install/platform/Platform.h"

namespace install::test {
namespace {

TEST(PosixTree, SpecialFilesAreNeverListedNorOpened) {
  TempDir src, dest;
  WriteFile(src / "a.eml", "a");
  ASSERT_EQ(::mkfifo((src / "pipe.eml").c_str(), 0600), 0);
  fs::create_symlink(src / "pipe.eml", src / "to-pipe.eml");
  fs::create_symlink(src / "gone", src / "dangling.eml");
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = (src / "sock").string();
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  socketPath.copy(address.sun_path, socketPath.size());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  WriteFile(src / std::string("line\r\nbreak"), "x");

  EXPECT_EQ(ListTree(src.str(), ""), "/a.eml\r\n");
  CopyTree(src.str(), dest.str(), SkipExisting);  // would hang on opening the FIFO
  EXPECT_EQ(Snap(dest.path()).size(), 1u);
  // Handed a FIFO directly, the copy refuses it at once.
  EXPECT_FALSE(platform::Default().SafeCopyFile((src / "pipe.eml").string(),
                                                (dest / "p.eml").string(), false));
  EXPECT_FALSE(fs::exists(dest / "p.eml"));
  ::close(sock);
}

TEST(PosixTree, SymlinkedFoldersAreNotFollowedAndLinkedFilesAreCopied) {
  TempDir src, dest;
  fs::create_directories(src / "sub");
  WriteFile(src / "sub" / "real.eml", "real");
  fs::create_directory_symlink(src.path(), src / "sub" / "loop");
  fs::create_directory_symlink("..", src / "sub" / "up");
  fs::create_symlink(src / "sub" / "real.eml", src / "linked.eml");

  auto lines = Lines(ListTree(src.str(), ""));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], "/sub/real.eml");
  std::sort(lines.begin(), lines.begin() + 2);
  EXPECT_EQ(lines[0], "/linked.eml");
  EXPECT_EQ(lines[1], ">/sub");
  CopyTree(src.str(), dest.str(), SkipExisting);
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dest / "linked.eml")));
  EXPECT_EQ(ReadFile(dest / "linked.eml"), "real");
  EXPECT_EQ(Snap(dest.path()).size(), 3u);
}

TEST(PosixTree, SymlinksAtTheDestinationAreNeverWrittenThrough) {
  TempDir src, dest, outside;
  WriteFile(src / "a.eml", "new a");
  WriteFile(src / "b.eml", "new b");
  WriteFile(outside / "target", "precious");
  fs::create_symlink(outside / "target", dest / "a.eml");       // to an existing file
  fs::create_symlink(outside / "created", dest / "b.eml");      // dangling

  CopyTree(src.str(), dest.str(), SkipExisting);
  EXPECT_EQ(ReadFile(outside / "target"), "precious");
  EXPECT_FALSE(fs::exists(outside / "created"));
  EXPECT_TRUE(fs::is_symlink(dest / "a.eml"));
  EXPECT_TRUE(fs::is_symlink(dest / "b.eml"));

  CopyTree(src.str(), dest.str(), Overwrite);  // replaces the links themselves
  EXPECT_EQ(ReadFile(outside / "target"), "precious");
  EXPECT_FALSE(fs::exists(outside / "created"));
  EXPECT_EQ(ReadFile(dest / "a.eml"), "new a");
  EXPECT_FALSE(fs::is_symlink(dest / "b.eml"));
  EXPECT_EQ(Snap(outside.path()).size(), 1u);
}

TEST(PosixTree, WildcardCharactersInNamesAreLiteral) {
  TempDir src, dest;
  WriteFile(src / "a*.eml", "star");
  WriteFile(dest / "ab.eml", "other");
  EXPECT_FALSE(FileExists((dest / "a*.eml").string()));
  CopyTree(src.str(), dest.str(), SkipExisting);
  EXPECT_EQ(ReadFile(dest / "a*.eml"), "star");
}

// Sets environment variables for one test and restores them afterwards.
class Env {
 public:
  void Set(const char* name, const std::string& value) {
    Save(name);
    ::setenv(name, value.c_str(), 1);
  }
  void Unset(const char* name) {
    Save(name);
    ::unsetenv(name);
  }
  ~Env() {
    for (auto& [name, value] : saved_) {
      if (value) ::setenv(name.c_str(), value->c_str(), 1);
      else ::unsetenv(name.c_str());
    }
  }

 private:
  void Save(const char* name) {
    const char* v = std::getenv(name);
    saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(PosixShell, DocumentsFolderComesFromTheXdgUserDirs) {
  TempDir home;
  Env env;
  env.Set("HOME", home.str());
  env.Unset("XDG_CONFIG_HOME");
  Form1 form;
  EXPECT_EQ(GetDocumentsFolder(form), home.str() + "/Documents");  // no user-dirs.dirs

  fs::create_directories(home / ".config");
  WriteFile(home / ".config" / "user-dirs.dirs",
            "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desk\"\n"
            "XDG_DOCUMENTS_DIR=\"$HOME/My \\\"Docs\\\"\"\n");
  EXPECT_EQ(GetDocumentsFolder(form), home.str() + "/My \"Docs\"");
  EXPECT_EQ(GetSpecialFolder(0x10, form), home.str() + "/Desk");

  env.Set("XDG_CONFIG_HOME", (home / "cfg").string());
  fs::create_directories(home / "cfg");
  const std::string longPath = "/" + std::string(290, 'd') + "/docs";
  WriteFile(home / "cfg" / "user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"" + longPath + "/\"\n");
  EXPECT_EQ(GetDocumentsFolder(form), longPath);  // whole, without the trailing separator
  WriteFile(home / "cfg" / "user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"/\"\n");
  EXPECT_EQ(GetDocumentsFolder(form), "/");  // the root keeps its separator
  WriteFile(home / "cfg" / "user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"relative/docs\"\n");
  EXPECT_EQ(GetDocumentsFolder(form), home.str() + "/Documents");
  EXPECT_EQ(form.hWnd(), 0u);  // Linux's stand-in window
}

}  // namespace
}  // namespace install::test
