// CopyTree, CopyFileByMode and FileExists on real trees, and the faults injected by wrapping the
// platform seam.
#include <gtest/gtest.h>

#include <functional>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/resource.h>
#endif

#include "Support.h"
#include "install/Module1.h"
#include "install/platform/Platform.h"

namespace install::test {
namespace {

using platform::EntryKind;
using platform::MatchResult;

// A package: two files at the root, one two levels down, an empty folder.
void MakePackage(const TempDir& src) {
  fs::create_directories(src / "Business" / "Invoices");
  fs::create_directories(src / "Empty");
  WriteFile(src / "a.eml", "From: a\r\n\r\nA");
  WriteFile(src / "b.eml", "From: b\r\n\r\nBB");
  WriteFile(src / "Business" / "Invoices" / "inv.eml", std::string(300000, 'i'));
  fs::last_write_time(src / "a.eml", fs::last_write_time(src / "a.eml") - std::chrono::hours(50));
}

// Counts the seam calls the logic makes, and lets a test hook into them.
class Spy : public platform::ForwardingPlatform {
 public:
  Spy() : ForwardingPlatform(platform::Default()) {}
  int queries = 0, copies = 0, folders = 0;
  bool allUnknown = false;
  std::string failQueryFor;                         // name whose attribute query fails
  std::function<void(const std::string&)> onMatch;  // runs after FileExists' look-up
  std::function<bool(const std::string&, const std::string&, bool)> copy;

  bool EnumerateFolder(const std::string& folder, const EntryVisitor& visit) override {
    return inner_.EnumerateFolder(folder, [&](std::string_view name, EntryKind kind) {
      visit(name, allUnknown ? EntryKind::Unknown : kind);
    });
  }
  bool QueryAttributes(const std::string& path, std::uint32_t& attributes) override {
    ++queries;
    if (!failQueryFor.empty() && path.ends_with(failQueryFor)) return false;
    return inner_.QueryAttributes(path, attributes);
  }
  MatchResult FirstMatch(const std::string& pattern, std::string& name) override {
    const MatchResult result = inner_.FirstMatch(pattern, name);
    if (onMatch) onMatch(pattern);
    return result;
  }
  bool CreateFolder(const std::string& path) override {
    ++folders;
    return inner_.CreateFolder(path);
  }
  bool SafeCopyFile(const std::string& s, const std::string& d, bool replace) override {
    ++copies;
    return copy ? copy(s, d, replace) : inner_.SafeCopyFile(s, d, replace);
  }
};

TEST(CopyTree, CopiesTheWholeTreeWithContentTimesAndPermissions) {
  TempDir src, dest;
  MakePackage(src);
#ifndef _WIN32
  using fs::perms;
  fs::permissions(src / "b.eml", perms::owner_read | perms::owner_write | perms::group_read);
  fs::permissions(src / "a.eml", perms::owner_read | perms::group_read | perms::others_read);
  fs::permissions(src / "Business" / "Invoices" / "inv.eml", perms::all);  // more than the umask lets
#endif
  CopyTree(src.str(), dest.str(), SkipExisting);
  EXPECT_EQ(Snap(dest.path()), Snap(src.path()));  // same entries, sizes and modification times
  EXPECT_EQ(ReadFile(dest / "b.eml"), "From: b\r\n\r\nBB");
  EXPECT_TRUE(ReadFile(dest / "Business" / "Invoices" / "inv.eml") == std::string(300000, 'i'));
  EXPECT_TRUE(fs::is_directory(dest / "Empty"));
#ifndef _WIN32
  for (const char* file : {"a.eml", "b.eml", "Business/Invoices/inv.eml"}) {
    EXPECT_EQ(fs::status(dest / file).permissions(), fs::status(src / file).permissions()) << file;
  }
#endif
}

TEST(CopyTree, TrailingSeparatorsGiveTheSameCopy) {
  TempDir src, plain, trailing;
  MakePackage(src);
  CopyTree(src.str(), plain.str(), SkipExisting);
  CopyTree(src.str() + R("\\"), trailing.str() + R("\\"), SkipExisting);
  EXPECT_EQ(Snap(trailing.path()), Snap(plain.path()));
}

TEST(CopyTree, SkipExistingKeepsTheDestinationAndASecondRunDoesNothing) {
  TempDir src, dest;
  MakePackage(src);
  WriteFile(dest / "b.eml", "mine, longer than the source's");
  fs::last_write_time(dest / "b.eml", fs::last_write_time(dest / "b.eml") - std::chrono::hours(900));
  const auto mine = Snap(dest.path());

  CopyTree(src.str(), dest.str(), SkipExisting);
  auto after = Snap(dest.path());
  EXPECT_EQ(after.at("b.eml"), mine.at("b.eml"));  // size and time stamp
  EXPECT_EQ(ReadFile(dest / "b.eml"), "mine, longer than the source's");
  EXPECT_EQ(after.size(), Snap(src.path()).size());  // everything else arrived, nothing more

  Spy spy;
  CopyTree(src.str(), dest.str(), SkipExisting, spy);
  EXPECT_EQ(spy.copies, 0);
  EXPECT_EQ(Snap(dest.path()), after);
}

TEST(CopyTree, OverwriteReplacesAndOtherModesCreateOnlyFolders) {
  TempDir src, dest, other;
  MakePackage(src);
  WriteFile(dest / "b.eml", "old");
  CopyTree(src.str(), dest.str(), Overwrite);
  EXPECT_EQ(ReadFile(dest / "b.eml"), "From: b\r\n\r\nBB");
  EXPECT_EQ(Snap(dest.path()).size(), Snap(src.path()).size());

  CopyTree(src.str(), other.str(), 1);
  EXPECT_EQ(Snap(other.path()), (Snapshot{{"Business", {-1, 0}},
                                          {"Business/Invoices", {-1, 0}},
                                          {"Empty", {-1, 0}}}));
}

TEST(CopyTree, PassesOverWhatCannotBeDone) {
  TempDir src, dest;
  MakePackage(src);
  // A folder holds a file's name at the destination: that file is passed over, the rest copied.
  fs::create_directory(dest / "a.eml");
  CopyTree(src.str(), dest.str(), SkipExisting);
  EXPECT_TRUE(fs::is_directory(dest / "a.eml"));
  EXPECT_TRUE(fs::is_empty(dest / "a.eml"));
  EXPECT_EQ(ReadFile(dest / "b.eml"), "From: b\r\n\r\nBB");
  EXPECT_EQ(Snap(dest.path()).size(), Snap(src.path()).size());

  // A destination root that does not exist: nothing is created anywhere.
  CopyTree(src.str(), (dest / "missing").string(), SkipExisting);
  EXPECT_FALSE(fs::exists(dest / "missing"));
}

TEST(FileExists, OnlyOrdinaryFilesCount) {
  TempDir dir;
  WriteFile(dir / "f.eml", "");
  fs::create_directory(dir / "d.eml");
  WriteFile(dir / ".h.eml", "");
  SetHidden(dir / ".h.eml");
  EXPECT_TRUE(FileExists((dir / "f.eml").string()));
  EXPECT_FALSE(FileExists((dir / "d.eml").string()));
  EXPECT_FALSE(FileExists((dir / ".h.eml").string()));
  EXPECT_FALSE(FileExists((dir / "none.eml").string()));
  EXPECT_FALSE(FileExists((dir / "none" / "f.eml").string()));
}

// A hidden destination file does not count as existing, so the copy is attempted; placing it
// without replacing fails, and the hidden file is left as it was.
TEST(FileExists, HiddenDestinationIsTriedButNeverReplaced) {
  TempDir src, dest;
  WriteFile(src / "t.eml", "new");
  WriteFile(dest / "t.eml", "hidden original");
  SetHidden(dest / "t.eml");
#ifdef _WIN32
  EXPECT_FALSE(FileExists((dest / "t.eml").string()));
#endif
  CopyFileByMode((src / "t.eml").string(), (dest / "t.eml").string(), SkipExisting);
  EXPECT_EQ(ReadFile(dest / "t.eml"), "hidden original");
  EXPECT_EQ(Snap(dest.path()).size(), 1u);  // no temporary file left behind
}

TEST(SeamFaults, FailingAttributeQueryMakesTheEntryAFolder) {
  TempDir src, dest;
  MakePackage(src);
  Spy direct;
  const std::string expected = ListTree(src.str(), "", direct);
  EXPECT_EQ(direct.queries, 0);  // the enumeration told every kind: nothing asked again

  Spy unknown;
  unknown.allUnknown = true;
  EXPECT_EQ(ListTree(src.str(), "", unknown), expected);
  EXPECT_EQ(unknown.queries, 6);

  Spy failing;
  failing.allUnknown = true;
  failing.failQueryFor = "b.eml";
  const auto lines = Lines(ListTree(src.str(), "", failing));
  EXPECT_NE(std::find(lines.begin(), lines.end(), R(">\\b.eml")), lines.end());
  EXPECT_EQ(std::find(lines.begin(), lines.end(), R("\\b.eml")), lines.end());
  EXPECT_EQ(lines.size(), 6u);  // its own listing comes out empty
  CopyTree(src.str(), dest.str(), SkipExisting, failing);
  EXPECT_TRUE(fs::is_directory(dest / "b.eml"));
  EXPECT_EQ(ReadFile(dest / "a.eml"), "From: a\r\n\r\nA");
}

// Makes the real copy fail. Linux: a file-size limit stops it once part of the data is written, as
// a full disk would. Windows: the source is held open without sharing, so the copy cannot read it
// (Wine does not hold reads to byte-range locks, so a break in the middle cannot be forced there).
bool CopyThatFails(platform::Platform& real, const std::string& s, const std::string& d,
                   bool replace) {
#ifdef _WIN32
  HANDLE h = ::CreateFileA(s.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  const bool ok = real.SafeCopyFile(s, d, replace);
  ::CloseHandle(h);
#else
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  auto previous = ::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = old;
  limited.rlim_cur = 100000;
  ::setrlimit(RLIMIT_FSIZE, &limited);
  const bool ok = real.SafeCopyFile(s, d, replace);
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, previous);
#endif
  return ok;
}

TEST(SeamFaults, FailedCopyLeavesNothingUnderTheName) {
  TempDir src, dest;
  MakePackage(src);
  fs::create_directories(dest / "Business" / "Invoices");
  WriteFile(dest / "Business" / "Invoices" / "keep.eml", "k");
  Spy spy;
  bool failed = false;
  spy.copy = [&](const std::string& s, const std::string& d, bool replace) {
    if (!d.ends_with("inv.eml")) return platform::Default().SafeCopyFile(s, d, replace);
    failed = !CopyThatFails(platform::Default(), s, d, replace);
    return !failed;
  };
  CopyTree(src.str(), dest.str(), SkipExisting, spy);
  EXPECT_TRUE(failed);
  EXPECT_EQ(Snap(dest / "Business" / "Invoices").size(), 1u);  // only keep.eml: no part, no temp
  EXPECT_EQ(ReadFile(dest / "b.eml"), "From: b\r\n\r\nBB");      // the rest goes on

  // Overwrite that fails keeps the old file whole.
  WriteFile(dest / "Business" / "Invoices" / "inv.eml", "old");
  CopyTree(src.str(), dest.str(), Overwrite, spy);
  EXPECT_TRUE(ReadFile(dest / "Business" / "Invoices" / "inv.eml") == "old");
  EXPECT_EQ(Snap(dest / "Business" / "Invoices").size(), 2u);
}

TEST(SeamFaults, FileAppearingAfterTheExistenceTestIsNotReplaced) {
  TempDir src, dest;
  MakePackage(src);
  Spy spy;
  spy.onMatch = [&](const std::string& pattern) {
    if (pattern.ends_with("a.eml")) WriteFile(dest / "a.eml", "arrived meanwhile");
  };
  CopyTree(src.str(), dest.str(), SkipExisting, spy);
  EXPECT_EQ(ReadFile(dest / "a.eml"), "arrived meanwhile");
  EXPECT_EQ(ReadFile(dest / "b.eml"), "From: b\r\n\r\nBB");
  EXPECT_EQ(Snap(dest.path()).size(), Snap(src.path()).size());
}

}  // namespace
}  // namespace install::test
