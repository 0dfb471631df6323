// Names compare as Windows compares them: every letter without regard to case, not only ASCII ones
// (UTF-8 names; on Windows the test programs run under the UTF-8 code page).
#include <algorithm>

#include "SeamFixture.h"

namespace cregistry::seamtest {
namespace {

using namespace win32;
using Names = std::vector<std::string>;

#ifdef _WIN32
bool Utf8CodePage() { return GetACP() == CP_UTF8; }
#else
bool Utf8CodePage() { return true; }
#endif

class NameFold : public SeamTest {
 protected:
  void SetUp() override {
    SeamTest::SetUp();
    if (!Utf8CodePage()) GTEST_SKIP() << "the program does not run under the UTF-8 code page";
  }
  bool SameKey(const std::string& created, const std::string& opened) {
    Key("fold\\" + created);
    KeyHandle h(api());
    return api().OpenKey(base_, ("fold\\" + opened).c_str(), kKeyQueryValue, h.out()) == 0;
  }
};

TEST_F(NameFold, LettersBeyondAsciiCompareWithoutCase) {
  EXPECT_TRUE(SameKey("K\xC3\xA4se", "K\xC3\x84SE"));                       // Käse, KÄSE
  EXPECT_TRUE(SameKey("\xC3\xA9t\xC3\xA9", "\xC3\x89T\xC3\x89"));           // été, ÉTÉ
  EXPECT_TRUE(SameKey("\xCE\xB1\xCE\xB2\xCE\xB3", "\xCE\x91\xCE\x92\xCE\x93"));  // αβγ, ΑΒΓ
  EXPECT_TRUE(SameKey("\xD0\xB4\xD0\xBE\xD0\xBC", "\xD0\x94\xD0\x9E\xD0\x9C"));  // дом, ДОМ
  // Latin Extended-A pairs its letters upper then lower, from an even code point (Ă U+0102, ă U+0103)
  // and, in its middle block, from an odd one (Ł U+0141, ł U+0142; ŀ U+0140 is Ŀ's).
  EXPECT_TRUE(SameKey("\xC5\x82\xC3\xB3" "d\xC5\xBA \xC4\x83", "\xC5\x81\xC3\x93" "D\xC5\xB9 \xC4\x82"));  // łódź ă, ŁÓDŹ Ă
  EXPECT_FALSE(SameKey("\xC5\x80", "\xC5\x81"));                                         // ŀ, Ł
  // ß has no single upper-case letter: Grüße and GRÜßE are one name, GRÜSSE another.
  EXPECT_TRUE(SameKey("Gr\xC3\xBC\xC3\x9F" "e", "GR\xC3\x9C\xC3\x9F" "E"));
  EXPECT_FALSE(SameKey("Stra\xC3\x9F" "e", "STRASSE"));
  Key("fold\\K\xC3\x84SE");
  KeyHandle fold(api());
  ASSERT_EQ(api().OpenKey(base_, "fold", kKeyEnumerateSubKeys, fold.out()), 0);
  Names names = SubKeys(fold.get());
  EXPECT_EQ(std::count(names.begin(), names.end(), "K\xC3\xA4se"), 1) << "created once, with its first spelling";
  EXPECT_EQ(std::count(names.begin(), names.end(), "K\xC3\x84SE"), 0);
}

TEST_F(NameFold, ValueNamesFoldTheSameWay) {
  ASSERT_EQ(SetDword(base_, "Gr\xC3\xBC\xC3\x9F" "e", 1), 0);
  ASSERT_EQ(SetDword(base_, "GR\xC3\x9C\xC3\x9F" "E", 2), 0);
  EXPECT_EQ(Values(base_), Names{"Gr\xC3\xBC\xC3\x9F" "e"});
  std::uint32_t type = 0;
  std::string data;
  ASSERT_EQ(Get(base_, "gr\xC3\xBC\xC3\x9F" "e", type, data), 0);
  EXPECT_EQ(data, std::string("\x02\0\0\0", 4));
  EXPECT_EQ(api().DeleteValue(base_, "GR\xC3\x9C\xC3\x9F" "E"), 0);
  EXPECT_EQ(Values(base_), Names{});
}

TEST_F(NameFold, SubKeysListInTheOrderOfTheirUpperCaseForms) {
  for (const char* name : {"zebra", "\xC3\xA4pfel", "Apple", "\xCE\xA9mega", "\xC3\x96l", "Mango"}) Key(name);
  // APPLE, MANGO, ZEBRA, ÄPFEL (U+00C4), ÖL (U+00D6), ΩMEGA (U+03A9).
  EXPECT_EQ(SubKeys(base_), (Names{"Apple", "Mango", "zebra", "\xC3\xA4pfel", "\xC3\x96l", "\xCE\xA9mega"}));
}

}  // namespace
}  // namespace cregistry::seamtest
