// CopyTree, CopyFileByMode and FileExists on real trees, and faults injected by wrapping the seam.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include "Support.h"
#include "install/Module1.h"
#include "install/platform/Platform.h"

namespace install::test {
namespace {

using platform::EntryKind;
using platform::MatchResult;
const std::string kB = "From: b\r\n\r\nBB";

// Two files at the root (a.eml 50 hours old), one two levels down, an empty folder.
void MakePackage(const TempDir& src) {
  fs::create_directories(src / "Business" / "Invoices");
  fs::create_directories(src / "Empty");
  WriteFile(src / "a.eml", "From: a\r\n\r\nA");
  WriteFile(src / "b.eml", kB);
  WriteFile(src / "Business" / "Invoices" / "inv.eml", std::string(300000, 'i'));
  fs::last_write_time(src / "a.eml", fs::last_write_time(src / "a.eml") - std::chrono::hours(50));
}

// Counts the seam calls the logic makes and lets a test break or hook into them.
struct Spy : platform::ForwardingPlatform {
  Spy() : ForwardingPlatform(platform::Default()) {}
  int queries = 0, copies = 0;
  bool allUnknown = false;   // the enumeration cannot tell any kind
  std::string failQueryFor;  // the attribute query of this name fails
  std::string failListOf;    // the enumeration of a folder whose path ends with this fails
  std::function<void(const std::string&)> afterMatch;
  std::function<bool(const std::string&, const std::string&, bool)> copy;

  bool EnumerateFolder(const std::string& folder, const EntryVisitor& visit) override {
    if (!failListOf.empty() && folder.ends_with(failListOf)) return false;
    return inner_.EnumerateFolder(folder, [&](std::string_view name, EntryKind kind) {
      visit(name, allUnknown ? EntryKind::Unknown : kind);
    });
  }
  bool QueryAttributes(const std::string& path, std::uint32_t& attributes) override {
    ++queries;
    return (failQueryFor.empty() || !path.ends_with(failQueryFor)) && inner_.QueryAttributes(path, attributes);
  }
  MatchResult FirstMatch(const std::string& pattern, std::string& name) override {
    const MatchResult result = inner_.FirstMatch(pattern, name);
    if (afterMatch) afterMatch(pattern);
    return result;
  }
  bool SafeCopyFile(const std::string& s, const std::string& d, bool replace) override {
    ++copies;
    return copy ? copy(s, d, replace) : inner_.SafeCopyFile(s, d, replace);
  }
};

TEST(CopyTree, CopiesTreeWithContentTimesAndPermissions) {
  TempDir src, dest, trailing;
#ifndef _WIN32
  using fs::perms;
#endif
  MakePackage(src);
#ifndef _WIN32
  fs::permissions(src / "b.eml", perms::owner_read | perms::owner_write | perms::group_read);
  fs::permissions(src / "a.eml", perms::owner_read | perms::group_read | perms::others_read);
  fs::permissions(src / "Business" / "Invoices" / "inv.eml", perms::all);  // more than the umask lets
  // A copy's bits are the source's less the umask, as `cp` without -p makes them.
  const mode_t umask = ::umask(027);
#endif
  CopyTree(src.str(), dest.str(), SkipExisting);
  EXPECT_EQ(Snap(dest.path), Snap(src.path));  // entries, sizes, modification times
  EXPECT_EQ(ReadFile(dest / "b.eml"), kB);
  EXPECT_TRUE(ReadFile(dest / "Business" / "Invoices" / "inv.eml") == std::string(300000, 'i'));
#ifndef _WIN32
  const std::pair<const char*, perms> expected[] = {
      {"a.eml", perms::owner_read | perms::group_read},
      {"b.eml", perms::owner_read | perms::owner_write | perms::group_read},
      {"Business/Invoices/inv.eml", perms::owner_all | perms::group_read | perms::group_exec}};
  for (const auto& [file, bits] : expected) EXPECT_EQ(fs::status(dest / file).permissions(), bits) << file;
  CopyTree(src.str(), dest.str(), Overwrite);  // through named temporary files, replacing
  ::umask(umask);
  for (const auto& [file, bits] : expected) EXPECT_EQ(fs::status(dest / file).permissions(), bits) << file;
#endif
  CopyTree(src.str() + R("\\"), trailing.str() + R("\\"), SkipExisting);
  EXPECT_EQ(Snap(trailing.path), Snap(dest.path));
}

TEST(CopyTree, SkipExistingKeepsFilesAndSecondRunCopiesNothing) {
  TempDir src, dest;
  MakePackage(src);
  WriteFile(dest / "b.eml", "mine, longer than the source's");
  fs::last_write_time(dest / "b.eml", fs::last_write_time(dest / "b.eml") - std::chrono::hours(900));
  const auto mine = Snap(dest.path).at("b.eml");
  CopyTree(src.str(), dest.str(), SkipExisting);
  const auto after = Snap(dest.path);
  EXPECT_EQ(after.at("b.eml"), mine);  // size and time stamp
  EXPECT_EQ(ReadFile(dest / "b.eml"), "mine, longer than the source's");
  EXPECT_EQ(after.size(), Snap(src.path).size());  // everything else arrived, nothing more

  Spy spy;
  CopyTree(src.str(), dest.str(), SkipExisting, spy);
  EXPECT_EQ(spy.copies, 0);
  EXPECT_EQ(Snap(dest.path), after);
}

TEST(CopyTree, OverwriteReplacesAndOtherModesMakeFoldersOnly) {
  TempDir src, dest, other;
  MakePackage(src);
  WriteFile(dest / "b.eml", "old");
  CopyTree(src.str(), dest.str(), Overwrite);
  EXPECT_EQ(ReadFile(dest / "b.eml"), kB);
  EXPECT_EQ(Snap(dest.path).size(), Snap(src.path).size());
  CopyTree(src.str(), other.str(), 1);
  EXPECT_EQ(Snap(other.path), (Snapshot{{"Business", {-1, 0}}, {"Business/Invoices", {-1, 0}}, {"Empty", {-1, 0}}}));
}

TEST(CopyTree, PassesOverWhatCannotBeDone) {
  TempDir src, dest;
  MakePackage(src);
  fs::create_directory(dest / "a.eml");  // a folder holds a file's name
  CopyTree(src.str(), dest.str(), SkipExisting);
  EXPECT_TRUE(fs::is_directory(dest / "a.eml") && fs::is_empty(dest / "a.eml"));
  EXPECT_EQ(ReadFile(dest / "b.eml"), kB);
  EXPECT_EQ(Snap(dest.path).size(), Snap(src.path).size());
  CopyTree(src.str(), (dest / "missing").string(), SkipExisting);  // destination root missing
  EXPECT_FALSE(fs::exists(dest / "missing"));
}

TEST(FileExists, OnlyOrdinaryFilesCountAndOthersAreNeverReplaced) {
  TempDir dir, src;
  WriteFile(dir / "f.eml", "");
  fs::create_directory(dir / "d.eml");
  WriteFile(dir / ".h.eml", "hidden original");
  SetHidden(dir / ".h.eml");
  EXPECT_TRUE(FileExists((dir / "f.eml").string()));
  EXPECT_FALSE(FileExists((dir / "d.eml").string()));
  EXPECT_FALSE(FileExists((dir / ".h.eml").string()));
  EXPECT_FALSE(FileExists((dir / "none.eml").string()));
  EXPECT_FALSE(FileExists((dir / "none" / "f.eml").string()));
  // The hidden file does not count, so the copy is tried; placing it fails on the taken name.
  WriteFile(src / "new.eml", "new");
  CopyFileByMode((src / "new.eml").string(), (dir / ".h.eml").string(), SkipExisting);
  EXPECT_EQ(ReadFile(dir / ".h.eml"), "hidden original");
  EXPECT_EQ(Snap(dir.path).size(), 3u);  // no temporary file left behind
}

TEST(SeamFaults, FailingAttributeQueryMakesTheEntryAFolder) {
  TempDir src, dest;
  MakePackage(src);
  Spy direct, unknown, failing;
  const std::string expected = ListTree(src.str(), "", direct);
  EXPECT_EQ(direct.queries, 0);  // the enumeration told every kind: nothing asked again
  unknown.allUnknown = failing.allUnknown = true;
  EXPECT_EQ(ListTree(src.str(), "", unknown), expected);
  EXPECT_EQ(unknown.queries, 6);

  failing.failQueryFor = "b.eml";
  const auto lines = Lines(ListTree(src.str(), "", failing));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), R(">\\b.eml")), 1);
  EXPECT_EQ(lines.size(), 6u);  // its own listing comes out empty
  CopyTree(src.str(), dest.str(), SkipExisting, failing);
  EXPECT_TRUE(fs::is_directory(dest / "b.eml"));
  EXPECT_EQ(ReadFile(dest / "a.eml"), "From: a\r\n\r\nA");
}

TEST(SeamFaults, AFolderThatCannotBeListedIsAFailedCopyAndTheRestIsCopied) {
  TempDir src, dest;
  MakePackage(src);
  Spy spy;
  spy.failListOf = R("Business\\");
  EXPECT_FALSE(CopyTree(src.str(), dest.str(), SkipExisting, spy));
  EXPECT_TRUE(fs::is_directory(dest / "Business") && fs::is_empty(dest / "Business"));
  EXPECT_EQ(ReadFile(dest / "b.eml"), kB);
  EXPECT_TRUE(fs::is_directory(dest / "Empty"));
  spy.failListOf.clear();
  EXPECT_TRUE(CopyTree(src.str(), dest.str(), SkipExisting, spy));  // the next run completes it
  EXPECT_EQ(Snap(dest.path), Snap(src.path));
  EXPECT_FALSE(CopyTree((src / "missing").string(), dest.str(), SkipExisting));  // no package at all
}

// Makes the real copy fail. Linux: a file-size limit stops it once part of the data is written, as
// a full disk would. Windows: the source is held open without sharing (Wine does not hold reads to
// byte-range locks, so a break in the middle of CopyFileA cannot be forced there).
bool CopyThatFails(const std::string& s, const std::string& d, bool replace) {
#ifdef _WIN32
  HANDLE h = ::CreateFileA(s.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  const bool ok = platform::Default().SafeCopyFile(s, d, replace);
  ::CloseHandle(h);
#else
  rlimit old{}, limited{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  limited = old;
  limited.rlim_cur = 100000;
  auto previous = ::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &limited);
  const bool ok = platform::Default().SafeCopyFile(s, d, replace);
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, previous);
#endif
  return ok;
}

TEST(SeamFaults, FailedCopyLeavesNothingUnderTheName) {
  TempDir src, dest;
  MakePackage(src);
  const fs::path invoices = dest / "Business" / "Invoices";
  fs::create_directories(invoices);
  WriteFile(invoices / "keep.eml", "k");
  Spy spy;
  int failed = 0;
  spy.copy = [&](const std::string& s, const std::string& d, bool replace) {
    if (!d.ends_with("inv.eml")) return platform::Default().SafeCopyFile(s, d, replace);
    const bool ok = CopyThatFails(s, d, replace);
    failed += !ok;
    return ok;
  };
  CopyTree(src.str(), dest.str(), SkipExisting, spy);
  EXPECT_EQ(Snap(invoices).size(), 1u);  // only keep.eml: no partial file, no temporary one
  EXPECT_EQ(ReadFile(dest / "b.eml"), kB);  // the rest went on
  WriteFile(invoices / "inv.eml", "old");
  CopyTree(src.str(), dest.str(), Overwrite, spy);
  EXPECT_TRUE(ReadFile(invoices / "inv.eml") == "old");  // a failed replacement keeps the old file
  EXPECT_EQ(Snap(invoices).size(), 2u);
  EXPECT_EQ(failed, 2);
}

TEST(SeamFaults, FileAppearingAfterTheExistenceTestIsNotReplaced) {
  TempDir src, dest;
  MakePackage(src);
  Spy spy;
  spy.afterMatch = [&](const std::string& pattern) {
    if (pattern.ends_with("a.eml")) WriteFile(dest / "a.eml", "arrived meanwhile");
  };
  CopyTree(src.str(), dest.str(), SkipExisting, spy);
  EXPECT_EQ(ReadFile(dest / "a.eml"), "arrived meanwhile");
  EXPECT_EQ(Snap(dest.path).size(), Snap(src.path).size());
}

}  // namespace
}  // namespace install::test
