// Linux only: special files, symlinks, odd names and the XDG Documents folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "Support.h"
#include "install/Module1.h"
#include "install/modGetDirs2.h"

namespace install::test {
namespace {

TEST(PosixTree, SpecialFilesAndOddNamesAreNeverListedNorOpened) {
  TempDir src, dest;
  WriteFile(src / "a.eml", "a");
  ASSERT_EQ(::mkfifo((src / "pipe.eml").c_str(), 0600), 0);
  fs::create_symlink(src / "pipe.eml", src / "to-pipe.eml");
  fs::create_symlink(src / "gone", src / "dangling.eml");
  WriteFile(src / "line\r\nbreak", "x");
  EXPECT_EQ(ListTree(src.str(), ""), "/a.eml\r\n");
  CopyTree(src.str(), dest.str(), SkipExisting);  // would hang on opening the FIFO
  EXPECT_EQ(Snap(dest.path).size(), 1u);
  // Handed a FIFO directly, the copy refuses it at once.
  EXPECT_FALSE(platform::Default().SafeCopyFile((src / "pipe.eml").string(), (dest / "p").string(), false));
  EXPECT_FALSE(fs::exists(dest / "p"));
}

TEST(PosixTree, SymlinkedFoldersAreNotFollowedLinkedFilesAreCopied) {
  TempDir src, dest;
  fs::create_directories(src / "sub");
  WriteFile(src / "sub" / "real.eml", "real");
  fs::create_directory_symlink(src.path, src / "sub" / "loop");
  fs::create_directory_symlink("..", src / "sub" / "up");
  fs::create_symlink(src / "sub" / "real.eml", src / "linked.eml");
  const auto lines = Lines(ListTree(src.str(), ""));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], "/sub/real.eml");
  CopyTree(src.str(), dest.str(), SkipExisting);
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dest / "linked.eml")));
  EXPECT_EQ(ReadFile(dest / "linked.eml"), "real");
  EXPECT_EQ(Snap(dest.path).size(), 3u);
}

TEST(PosixTree, SymlinksAtTheDestinationAreNeverWrittenThrough) {
  TempDir src, dest, outside;
  WriteFile(src / "a.eml", "new a");
  WriteFile(src / "b.eml", "new b");
  WriteFile(outside / "target", "precious");
  fs::create_symlink(outside / "target", dest / "a.eml");   // to an existing file
  fs::create_symlink(outside / "created", dest / "b.eml");  // dangling
  CopyTree(src.str(), dest.str(), SkipExisting);
  EXPECT_TRUE(fs::is_symlink(dest / "a.eml") && fs::is_symlink(dest / "b.eml"));
  CopyTree(src.str(), dest.str(), Overwrite);  // replaces the links themselves
  EXPECT_EQ(ReadFile(dest / "a.eml"), "new a");
  EXPECT_FALSE(fs::is_symlink(dest / "b.eml"));
  EXPECT_EQ(ReadFile(outside / "target"), "precious");
  EXPECT_EQ(Snap(outside.path).size(), 1u);  // nothing created through the dangling link
}

TEST(PosixTree, WildcardCharactersInNamesAreLiteral) {
  TempDir src, dest;
  WriteFile(src / "a*.eml", "star");
  WriteFile(dest / "ab.eml", "other");
  EXPECT_FALSE(FileExists((dest / "a*.eml").string()));
  CopyTree(src.str(), dest.str(), SkipExisting);
  EXPECT_EQ(ReadFile(dest / "a*.eml"), "star");
}

TEST(PosixShell, DocumentsFolderComesFromTheXdgUserDirs) {
  TempDir home;
  const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  const char* oldConfig = std::getenv("XDG_CONFIG_HOME");
  const std::string savedConfig = oldConfig ? oldConfig : "";
  ::setenv("HOME", home.str().c_str(), 1);
  ::unsetenv("XDG_CONFIG_HOME");
  Form1 form;
  EXPECT_EQ(GetDocumentsFolder(form), home.str() + "/Documents");  // no user-dirs.dirs
  fs::create_directories(home / ".config");
  WriteFile(home / ".config" / "user-dirs.dirs",
            "# comment\nXDG_DESKTOP_DIR=\"$HOME/Desk\"\nXDG_DOCUMENTS_DIR=\"$HOME/My \\\"Docs\\\"\"\n");
  EXPECT_EQ(GetDocumentsFolder(form), home.str() + "/My \"Docs\"");
  EXPECT_EQ(GetSpecialFolder(0x10, form), home.str() + "/Desk");
  EXPECT_EQ(GetSpecialFolder(0x7ffe, form), "");

  ::setenv("XDG_CONFIG_HOME", (home / "cfg").c_str(), 1);
  fs::create_directories(home / "cfg");
  const std::string longPath = "/" + std::string(290, 'd') + "/docs";
  const std::pair<std::string, std::string> cases[] = {
      {longPath + "/", longPath}, {"/", "/"}, {"relative/docs", home.str() + "/Documents"}};
  for (const auto& [value, expected] : cases) {
    WriteFile(home / "cfg" / "user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"" + value + "\"\n");
    EXPECT_EQ(GetDocumentsFolder(form), expected) << value;
  }
  EXPECT_EQ(form.hWnd(), 0u);  // Linux's stand-in window
  ::setenv("HOME", oldHome.c_str(), 1);
  if (oldConfig) ::setenv("XDG_CONFIG_HOME", savedConfig.c_str(), 1);
}

}  // namespace
}  // namespace install::test
