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

using Lines_ = std::vector<std::string>;

Lines_ Sorted(Lines_ lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST(ListTree, EmptyMissingAndFlatRoots) {
  TempDir dir;
  EXPECT_EQ(ListTree(dir.str(), ""), "");
  EXPECT_EQ(ListTree((dir / "missing").string(), ""), "");
  WriteFile(dir / "a.eml", "a");
  WriteFile(dir / "B.txt", "b");
  const std::string listing = ListTree(dir.str(), "");
  EXPECT_EQ(Lines(listing, true), Sorted({R("\\B.txt"), R("\\a.eml")}));
  EXPECT_EQ(listing.size(), 2 * 2 + R("\\B.txt").size() + R("\\a.eml").size());  // nothing else
  EXPECT_EQ(ListTree(dir.str() + R("\\"), ""), listing);  // a trailing separator changes nothing
}

// A folder's own block (in enumeration order) comes first, then each sub-folder's listing in the
// order of its line; an empty folder has its line and nothing below it.
TEST(ListTree, OwnBlockThenSubFolderListingsInLineOrder) {
  TempDir dir;
  fs::create_directories(dir / "A" / "C");
  fs::create_directories(dir / "B");
  fs::create_directories(dir / "E");
  WriteFile(dir / "a.eml", "");
  WriteFile(dir / "A" / "a1", "");
  WriteFile(dir / "A" / "C" / "c1", "");
  WriteFile(dir / "B" / "b1", "");

  const auto lines = Lines(ListTree(dir.str(), ""));
  ASSERT_EQ(lines.size(), 8u);
  const Lines_ own(lines.begin(), lines.begin() + 4);
  EXPECT_EQ(Sorted(own), Sorted({R(">\\A"), R(">\\B"), R(">\\E"), R("\\a.eml")}));
  const auto at = [&](const char* line) { return std::find(lines.begin(), lines.end(), R(line)) - lines.begin(); };
  const bool aFirst = at(">\\A") < at(">\\B");
  // A's own block, then C's listing, together before or after B's listing as A's line stands.
  const auto aBlock = aFirst ? 4 : 5;
  EXPECT_EQ(Sorted({lines[aBlock], lines[aBlock + 1]}), Sorted({R(">\\A\\C"), R("\\A\\a1")}));
  EXPECT_EQ(at("\\A\\C\\c1"), aBlock + 2);
  EXPECT_EQ(at("\\B\\b1"), aFirst ? 7 : 4);

  EXPECT_EQ(Lines(ListTree(dir.str(), R("\\A")), true),
            Sorted({R(">\\A\\C"), R("\\A\\C\\c1"), R("\\A\\a1")}));
}

TEST(ListTree, HiddenAndSystemEntriesAreLeftOutAndNotCopied) {
  TempDir dir, dest;
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
  CopyTree(dir.str(), dest.str(), SkipExisting);
  EXPECT_EQ(Snap(dest.path).size(), 1u);
}

}  // namespace
}  // namespace install::test
