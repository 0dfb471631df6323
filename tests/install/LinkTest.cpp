// Links in the trees of a copy (Linux symlinks; Windows junctions and symbolic links, under Wine its
// Unix symlinks), folders renamed between two copies, and what a killed copy leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "Support.h"
#include "install/Module1.h"

namespace install::test {
namespace {

#define LINK_OR_SKIP(target, link) \
  if (!MakeFolderLink(target, link)) GTEST_SKIP() << "this system does not let the test make links"

// A package with a nested folder: sub/b.eml, sub/deeper/c.eml, top.eml.
void MakePackage(const TempDir& src) {
  fs::create_directories(src / "sub" / "deeper");
  WriteFile(src / "top.eml", "top");
  WriteFile(src / "sub" / "b.eml", "b");
  WriteFile(src / "sub" / "deeper" / "c.eml", "c");
}

TEST(DestinationLinks, AFolderLinkBelowTheRootIsNeverWrittenThrough) {
  TempDir src, dest, outside;
  MakePackage(src);
  LINK_OR_SKIP(outside.path, dest / "sub");
  EXPECT_FALSE(CopyTree(src.str(), dest.str(), SkipExisting));  // sub's files could not go in
  EXPECT_TRUE(fs::is_empty(outside.path));
  EXPECT_EQ(ReadFile(dest / "top.eml"), "top");  // the rest is installed
  EXPECT_FALSE(CopyTree(src.str(), dest.str(), Overwrite));
  EXPECT_TRUE(fs::is_empty(outside.path));
}

TEST(DestinationLinks, ADanglingFolderLinkGetsNothingCreatedAtItsTarget) {
  TempDir src, dest, outside;
  MakePackage(src);
  LINK_OR_SKIP(outside / "made", dest / "sub");
  EXPECT_FALSE(CopyTree(src.str(), dest.str(), SkipExisting));
  EXPECT_FALSE(fs::exists(outside / "made"));
  EXPECT_TRUE(fs::is_empty(outside.path));
}

TEST(DestinationLinks, ALinkInTheMiddleOfADeepPathStopsEverythingBelowIt) {
  TempDir src, dest, outside;
  fs::create_directories(src / "a" / "b" / "c" / "d");
  WriteFile(src / "a" / "a.eml", "a");
  WriteFile(src / "a" / "b" / "c" / "d" / "f.eml", "f");
  fs::create_directories(dest / "a");
  fs::create_directories(outside / "c" / "d");  // what the package would fill through the link
  LINK_OR_SKIP(outside.path, dest / "a" / "b");
  EXPECT_FALSE(CopyTree(src.str(), dest.str(), SkipExisting));
  EXPECT_EQ(ReadFile(dest / "a" / "a.eml"), "a");
  EXPECT_FALSE(fs::exists(outside / "c" / "d" / "f.eml"));
  EXPECT_TRUE(fs::is_empty(outside / "c" / "d"));
  EXPECT_FALSE(FileExists((dest / "a" / "b" / "c" / "d" / "f.eml").string()));
}

TEST(DestinationLinks, TheDestinationRootItselfMayBeALink) {
  TempDir src, real, links;
  MakePackage(src);
  LINK_OR_SKIP(real.path, links / "template");
  EXPECT_TRUE(CopyTree(src.str(), (links / "template").string(), SkipExisting));
  EXPECT_EQ(ReadFile(real / "sub" / "deeper" / "c.eml"), "c");
  EXPECT_TRUE(CopyTree(src.str(), (links / "template").string(), SkipExisting));  // nothing new
}

TEST(SourceLinks, AFolderLinkInThePackageIsLeftOut) {
  TempDir src, dest, foreign;
  MakePackage(src);
  WriteFile(foreign / "foreign.eml", "not ours");
  LINK_OR_SKIP(foreign.path, src / "sub" / "elsewhere");
  LINK_OR_SKIP(src.path, src / "sub" / "loop");
  const auto lines = Lines(ListTree(src.str(), ""), true);
  std::vector<std::string> expected{R(">\\sub"), R(">\\sub\\deeper"), R("\\sub\\b.eml"),
                                    R("\\sub\\deeper\\c.eml"), R("\\top.eml")};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);
  EXPECT_TRUE(CopyTree(src.str(), dest.str(), SkipExisting));
  EXPECT_FALSE(fs::exists(dest / "sub" / "elsewhere"));
  EXPECT_FALSE(fs::exists(dest / "sub" / "loop"));
}

// A second copy acts on the folders that the paths name at that time, not on the ones that the
// first copy opened.
TEST(RenamedFolders, ANewDestinationFolderUnderTheOldNameIsFilled) {
  TempDir src, box;
  MakePackage(src);
  const fs::path dst = box / "dst";
  fs::create_directories(dst);
  EXPECT_TRUE(CopyTree(src.str(), dst.string(), SkipExisting));
  fs::rename(dst, box / "dst.old");
  fs::create_directories(dst);
  EXPECT_TRUE(CopyTree(src.str(), dst.string(), SkipExisting));
  EXPECT_EQ(ReadFile(dst / "top.eml"), "top");
  EXPECT_EQ(ReadFile(dst / "sub" / "deeper" / "c.eml"), "c");
  EXPECT_EQ(Snap(dst), Snap(box / "dst.old"));
}

TEST(RenamedFolders, ANewSourceFolderUnderTheOldNameIsRead) {
  TempDir box, dest;
  const fs::path src = box / "src";
  fs::create_directories(src / "sub");
  WriteFile(src / "top.eml", "old top");
  WriteFile(src / "sub" / "b.eml", "old b");
  EXPECT_TRUE(CopyTree(src.string(), dest.str(), Overwrite));
  fs::rename(src, box / "src.old");
  fs::create_directories(src / "sub");
  WriteFile(src / "top.eml", "new top");
  WriteFile(src / "sub" / "b.eml", "new b");
  EXPECT_TRUE(CopyTree(src.string(), dest.str(), Overwrite));
  EXPECT_EQ(ReadFile(dest / "top.eml"), "new top");
  EXPECT_EQ(ReadFile(dest / "sub" / "b.eml"), "new b");
}

#ifdef _WIN32
std::uint64_t StartTime(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
}
std::uint64_t deadStart = 0;  // the creation time of the process DeadProcessId made
#endif

// The id of a process that has ended.
unsigned long DeadProcessId() {
#ifdef _WIN32
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  char command[] = "cmd.exe /c exit 0";
  if (!::CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
    return 0;
  }
  ::WaitForSingleObject(pi.hProcess, 30000);
  deadStart = StartTime(pi.hProcess);
  const unsigned long pid = pi.dwProcessId;
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);  // the id is free once the last handle is closed
  return pid;
#else
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return static_cast<unsigned long>(pid);
#endif
}

unsigned long OwnProcessId() {
#ifdef _WIN32
  return ::GetCurrentProcessId();
#else
  return static_cast<unsigned long>(::getpid());
#endif
}

TEST(Temporaries, ThoseOfADeadRunAreRemovedAndNothingElse) {
  TempDir src, dest;
  MakePackage(src);
  const unsigned long dead = DeadProcessId();
  ASSERT_NE(dead, 0u);
#ifdef _WIN32
  // Windows names carry the writer's creation time too: a process id is reused, the pair never.
  const std::string self = std::to_string(OwnProcessId()) + "." + std::to_string(StartTime(::GetCurrentProcess()));
  const std::string stale = ".install-templates." + std::to_string(dead) + "." + std::to_string(deadStart) + ".7.tmp";
  const std::string reused = ".install-templates." + std::to_string(OwnProcessId()) + ".12345.3.tmp";
  WriteFile(dest / reused, "a killed run whose id this process has now");
#else
  const std::string self = std::to_string(OwnProcessId());
  const std::string stale = ".install-templates." + std::to_string(dead) + ".7.tmp";
#endif
  const std::string live = ".install-templates." + self + ".9.tmp";
  WriteFile(dest / stale, std::string(100000, 'p'));  // a partial copy of a killed run
  WriteFile(dest / live, "being written");
  WriteFile(dest / ("x" + stale), "the user's");
  WriteFile(dest / ".install-templates.12x.tmp", "not a process id");
  fs::create_directories(dest / (".install-templates." + std::to_string(dead) + ".8.tmp"));
  fs::create_directories(dest / "sub");
  WriteFile(dest / "sub" / stale, "only the root is looked at");
  const auto before = Snap(dest.path);
  EXPECT_TRUE(CopyTree(src.str(), dest.str(), SkipExisting));
  const auto after = Snap(dest.path);
  EXPECT_FALSE(after.count(stale));
  std::size_t gone = 1;
#ifdef _WIN32
  EXPECT_FALSE(after.count(reused));
  gone = 2;
#endif
  EXPECT_EQ(after.size(), before.size() - gone + 4);  // the stale ones gone; top.eml, sub/b.eml, sub/deeper and its file in
  for (const auto& [path, entry] : before) {
    if (path != stale && (gone == 1 || path.find(".12345.") == std::string::npos)) {
      EXPECT_TRUE(after.count(path)) << path;
    }
  }
}

TEST(Temporaries, NoneIsLeftAndNoneIsVisible) {
  TempDir src, dest;
  MakePackage(src);
  WriteFile(dest / "top.eml", "mine");
  EXPECT_TRUE(CopyTree(src.str(), dest.str(), Overwrite));  // named temporary files, replacing
  EXPECT_TRUE(CopyTree(src.str(), dest.str(), SkipExisting));
  EXPECT_EQ(Snap(dest.path), Snap(src.path));
}

}  // namespace
}  // namespace install::test
