// ListTree on real folder trees: the listing's exact text, its order and what it leaves out.
#include <gtest/gtest.h>

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#endif

#include "Support.h"
#include "install/Module1.h"

namespace install::test {
namespace {

using Set = std::vector<std::string>;

Set Sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

Set Of(std::vector<std::string> lines) { return Sorted(std::move(lines)); }

Set Slice(const std::vector<std::string>& lines, std::size_t from, std::size_t to) {
  return Sorted(Set(lines.begin() + static_cast<std::ptrdiff_t>(from),
                    lines.begin() + static_cast<std::ptrdiff_t>(to)));
}

std::size_t IndexOf(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<std::size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

TEST(ListTree, EmptyAndMissingRootsGiveTheEmptyText) {
  TempDir dir;
  EXPECT_EQ(ListTree(dir.str(), ""), "");
  EXPECT_EQ(ListTree((dir / "missing").string(), ""), "");
}

TEST(ListTree, FilesOfTheRootAreOneTerminatedLineEach) {
  TempDir dir;
  WriteFile(dir / "a.eml", "a");
  WriteFile(dir / "B.txt", "b");
  const std::string listing = ListTree(dir.str(), "");
  EXPECT_EQ(Sorted(Lines(listing)), Of({R("\\B.txt"), R("\\a.eml")}));
  EXPECT_EQ(listing.size(), 2 * 2 + R("\\B.txt").size() + R("\\a.eml").size());
  // The same tree given with a trailing separator lists the same.
  EXPECT_EQ(ListTree(dir.str() + R("\\"), ""), listing);
}

// Own block first, in enumeration order; then each sub-folder's listing, in the order of its line.
TEST(ListTree, OwnBlockComesBeforeTheSubFolderListings) {
  TempDir dir;
  WriteFile(dir / "a.eml", "a");
  WriteFile(dir / "b.eml", "b");
  fs::create_directories(dir / "img" / "sm");
  WriteFile(dir / "img" / "x.png", "x");
  WriteFile(dir / "img" / "sm" / "y.png", "y");
  fs::create_directory(dir / "empty");

  const auto lines = Lines(ListTree(dir.str(), ""));
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(Slice(lines, 0, 4), Of({R(">\\empty"), R(">\\img"), R("\\a.eml"), R("\\b.eml")}));
  EXPECT_EQ(Slice(lines, 4, 6), Of({R(">\\img\\sm"), R("\\img\\x.png")}));
  EXPECT_EQ(lines[6], R("\\img\\sm\\y.png"));

  // Listing a sub-folder directly: relative paths start from it.
  EXPECT_EQ(Sorted(Lines(ListTree(dir.str(), R("\\img")))),
            Of({R(">\\img\\sm"), R("\\img\\sm\\y.png"), R("\\img\\x.png")}));
}

TEST(ListTree, NestedListingStaysBetweenItsFolderAndTheNextSibling) {
  TempDir dir;
  fs::create_directories(dir / "A" / "C");
  fs::create_directories(dir / "B");
  WriteFile(dir / "A" / "a1", "");
  WriteFile(dir / "A" / "C" / "c1", "");
  WriteFile(dir / "B" / "b1", "");

  const auto lines = Lines(ListTree(dir.str(), ""));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(Slice(lines, 0, 2), Of({R(">\\A"), R(">\\B")}));
  const std::size_t c1 = IndexOf(lines, R("\\A\\C\\c1"));
  const std::size_t b1 = IndexOf(lines, R("\\B\\b1"));
  const std::size_t ownA = std::max(IndexOf(lines, R(">\\A\\C")), IndexOf(lines, R("\\A\\a1")));
  ASSERT_LT(c1, lines.size());
  ASSERT_LT(b1, lines.size());
  EXPECT_GT(c1, ownA);  // C's entries follow A's own block
  if (lines[0] == R(">\\A")) {
    EXPECT_EQ(ownA, 3u);
    EXPECT_EQ(c1, 4u);  // ... and come before B's entries
    EXPECT_EQ(b1, 5u);
  } else {
    EXPECT_EQ(b1, 2u);  // B enumerated first: its listing comes first
    EXPECT_EQ(ownA, 4u);
    EXPECT_EQ(c1, 5u);
  }
}

TEST(ListTree, HiddenAndSystemEntriesAndTheirContentsAreLeftOut) {
  TempDir dir;
  WriteFile(dir / "shown.eml", "s");
  WriteFile(dir / ".dot.eml", "d");
  fs::create_directories(dir / ".dotdir");
  WriteFile(dir / ".dotdir" / "inside.eml", "i");
#ifdef _WIN32
  WriteFile(dir / "hidden.eml", "h");
  SetHidden(dir / "hidden.eml");
  WriteFile(dir / "system.eml", "y");
  ASSERT_TRUE(::SetFileAttributesA((dir / "system.eml").string().c_str(), FILE_ATTRIBUTE_SYSTEM));
  fs::create_directories(dir / "hiddendir");
  WriteFile(dir / "hiddendir" / "inside.eml", "i");
  SetHidden(dir / "hiddendir");
#endif
  EXPECT_EQ(ListTree(dir.str(), ""), R("\\shown.eml") + "\r\n");

  TempDir dest;
  CopyTree(dir.str(), dest.str(), SkipExisting);
  EXPECT_EQ(Snap(dest.path()).size(), 1u);
  EXPECT_TRUE(fs::exists(dest / "shown.eml"));
}

}  // namespace
}  // namespace install::test
