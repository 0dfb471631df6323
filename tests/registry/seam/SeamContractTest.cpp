// The contract of the registry seam, checked on both implementations: the registry store natively and
// advapi32 as the Windows build (Wine's registry when run here).
#include <cstring>

#include "SeamFixture.h"

namespace cregistry::seamtest {
namespace {

using namespace win32;

using Names = std::vector<std::string>;

TEST_F(SeamTest, NamesCompareWithoutCaseAndKeepTheCaseTheyWereCreatedWith) {
  Key("MixedCase\\Child");
  KeyHandle h(api());
  EXPECT_EQ(api().OpenKey(base_, "mIXEDcASE\\CHILD", kKeyQueryValue, h.out()), 0);
  Key("MIXEDCASE");
  EXPECT_EQ(SubKeys(base_), Names{"MixedCase"});

  ASSERT_EQ(SetDword(base_, "Size", 1), 0);
  ASSERT_EQ(SetDword(base_, "SIZE", 2), 0);
  EXPECT_EQ(Values(base_), Names{"Size"});
  std::uint32_t type = 0;
  std::string data;
  ASSERT_EQ(Get(base_, "size", type, data), 0);
  EXPECT_EQ(data, std::string("\x02\0\0\0", 4));
}

TEST_F(SeamTest, CreateMakesEveryMissingKeyOfThePathAndOpensAnExistingOne) {
  KeyHandle h(api());
  ASSERT_EQ(api().CreateKey(base_, "a\\b\\c", kAll, h.out()), 0);
  ASSERT_EQ(SetDword(h.get(), "v", 7), 0);
  KeyHandle again(api());
  ASSERT_EQ(api().CreateKey(base_, "A\\B\\C", kAll, again.out()), 0);
  std::uint32_t type = 0;
  std::string data;
  EXPECT_EQ(Get(again.get(), "v", type, data), 0) << "the existing key, not a new one";
  EXPECT_EQ(SubKeys(base_), Names{"a"});
  KeyHandle b(api());
  EXPECT_EQ(api().OpenKey(base_, "a\\b", kAll, b.out()), 0);
  EXPECT_EQ(SubKeys(b.get()), Names{"c"});
}

TEST_F(SeamTest, OpenAnswersNotFoundForAMissingKeyAndBadPathForALeadingBackslash) {
  RegHandle h = 0;
  EXPECT_EQ(api().OpenKey(base_, "missing", kAll, h), kFileNotFound);
  EXPECT_EQ(api().OpenKey(base_, "missing\\deeper", kAll, h), kFileNotFound);
  Key("there");
  EXPECT_EQ(api().OpenKey(base_, "\\there", kAll, h), kBadPathname);
  EXPECT_EQ(api().CreateKey(base_, "\\there", kAll, h), kBadPathname);
  KeyHandle t(api());
  EXPECT_EQ(api().OpenKey(base_, "there\\", kAll, t.out()), 0) << "a trailing backslash is allowed";
}

TEST_F(SeamTest, AnEmptyPathOpensANewHandleToTheParentItself) {
  ASSERT_EQ(SetDword(base_, "v", 1), 0);
  KeyHandle self(api());
  ASSERT_EQ(api().OpenKey(base_, "", kKeyQueryValue, self.out()), 0);
  EXPECT_NE(self.get(), base_);
  std::uint32_t type = 0;
  std::string data;
  EXPECT_EQ(Get(self.get(), "v", type, data), 0);
  KeyHandle root(api());
  EXPECT_EQ(api().OpenKey(kHKCU, "", kKeyQueryValue, root.out()), 0);
}

TEST_F(SeamTest, AKeyNameComponentOfMoreThan256CharactersIsRefused) {
  Key(std::string(255, 'k'));
  KeyHandle h(api());
  EXPECT_EQ(api().OpenKey(base_, std::string(255, 'K').c_str(), kAll, h.out()), 0);
  RegHandle out = 0;
  EXPECT_EQ(api().CreateKey(base_, std::string(257, 'k').c_str(), kAll, out), kInvalidParameter);
  EXPECT_EQ(api().OpenKey(base_, std::string(257, 'k').c_str(), kAll, out), kInvalidParameter);
  EXPECT_EQ(SubKeys(base_), Names{std::string(255, 'k')});
  EXPECT_EQ(api().CreateKey(base_, ("p\\" + std::string(258, 'k')).c_str(), kAll, out), kInvalidParameter);
  // The store checks the whole path first; Wine creates "p" before it meets the long component.
  if (!UnderWine()) {
    EXPECT_EQ(SubKeys(base_), Names{std::string(255, 'k')}) << "nothing of a refused path is made";
  }
}

TEST_F(SeamTest, AKeyNameComponentOf256CharactersIsRefused) {
  if (UnderWine()) GTEST_SKIP() << "Wine takes 256 characters; the documented limit is 255";
  RegHandle out = 0;
  EXPECT_EQ(api().CreateKey(base_, std::string(256, 'k').c_str(), kAll, out), kInvalidParameter);
  // Counted in UTF-16 units: a character beyond the Basic Multilingual Plane (U+1F600) counts two.
  std::string astral;
  for (int i = 0; i < 127; ++i) astral += "\xF0\x9F\x98\x80";
  EXPECT_EQ(api().CreateKey(base_, (astral + "k").c_str(), kAll, out), 0) << "255 units";
  api().CloseKey(out);
  EXPECT_EQ(api().CreateKey(base_, (astral + "\xF0\x9F\x98\x80").c_str(), kAll, out), kInvalidParameter) << "256 units";
}

TEST_F(SeamTest, AValueNameOfMoreThan16383CharactersIsRefused) {
  std::string longest(16383, 'v');
  EXPECT_EQ(SetDword(base_, longest, 1), 0);
  std::uint32_t type = 0;
  std::string data;
  EXPECT_EQ(Get(base_, longest, type, data), 0);
  EXPECT_EQ(SetDword(base_, longest + "v", 1), kInvalidParameter);
  EXPECT_EQ(Get(base_, longest + "v", type, data), kFileNotFound);
  // Counted in UTF-16 units: 8,192 characters beyond the Basic Multilingual Plane are 16,384 of them.
  std::string astral;
  for (int i = 0; i < 8192; ++i) astral += "\xF0\x9F\x98\x80";
  EXPECT_EQ(SetDword(base_, astral, 1), kInvalidParameter);
  EXPECT_EQ(Values(base_), Names{longest});
}

// KEY_WOW64_32KEY reaches the 32-bit view, as 64-bit Windows (7 and later) redirects it: HKLM\SOFTWARE
// into SOFTWARE\Wow6432Node, the COM keys of Classes (of HKLM and of HKCU) into Classes\Wow6432Node,
// and the keys Windows shares (the rest of Classes, Policies, some below Microsoft) where they are;
// KEY_WOW64_64KEY and no flag reach the 64-bit view.
TEST_F(SeamTest, TheThirtyTwoBitViewIsWhereWindowsRedirectsIt) {
  const std::string name = UniqueName("cregistry-view-");
  struct Case {
    RegHandle root;
    std::string logical, physical;  // the path asked for in the 32-bit view, and where it lands
    bool wineDiffers;               // Wine redirects Classes whole and leaves HKCU alone
  };
  const Case cases[] = {
      {kHKLM, "Software\\" + name + "\\k", "Software\\Wow6432Node\\" + name + "\\k", false},
      {kHKLM, "Software\\Wow6432Node\\" + name + "\\w", "Software\\Wow6432Node\\" + name + "\\w", false},
      {kHKLM, "Software\\Classes\\CLSID\\" + name, "Software\\Classes\\Wow6432Node\\CLSID\\" + name, false},
      {kHKLM, "Software\\Classes\\." + name, "Software\\Classes\\." + name, true},
      {kHKCU, "Software\\Classes\\Interface\\" + name, "Software\\Classes\\Wow6432Node\\Interface\\" + name, true},
      {kHKLM, "Software\\Microsoft\\" + name, "Software\\Wow6432Node\\Microsoft\\" + name, false},
      {kHKLM, "Software\\Policies\\" + name, "Software\\Policies\\" + name, true},
      {kHKLM, "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\" + name,
       "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\" + name, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logical);
    if (c.wineDiffers && UnderWine()) continue;
    KeyHandle made(api());
    ASSERT_EQ(api().CreateKey(c.root, c.logical.c_str(), kAll | win32::kKeyWow64_32Key, made.out()), 0);
    ASSERT_EQ(SetDword(made.get(), "v", 32), 0);
    KeyHandle seen(api());
    EXPECT_EQ(api().OpenKey(c.root, c.physical.c_str(), kAll, seen.out()), 0) << "not where the view keeps it";
    KeyHandle again(api());
    EXPECT_EQ(api().OpenKey(c.root, c.logical.c_str(), kAll | win32::kKeyWow64_32Key, again.out()), 0);
    for (std::uint32_t view : {0u, win32::kKeyWow64_64Key}) {
      KeyHandle native(api());
      EXPECT_EQ(api().OpenKey(c.root, c.logical.c_str(), kAll | view, native.out()) == 0, c.logical == c.physical)
          << "the 64-bit view sees it, view " << view;
    }
  }
  for (const std::string& top : {"Software\\Wow6432Node\\" + name, "Software\\Classes\\Wow6432Node\\CLSID\\" + name,
                                 "Software\\Classes\\." + name, "Software\\Wow6432Node\\Microsoft\\" + name,
                                 "Software\\Policies\\" + name,
                                 "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\" + name}) {
    RemoveTree(api(), kHKLM, top);
  }
  RemoveTree(api(), kHKCU, "Software\\Classes\\Wow6432Node\\Interface\\" + name);
}

TEST_F(SeamTest, SubKeysListInCaseInsensitiveOrder) {
  for (const char* name : {"delta", "Bravo", "charlie", "ALPHA", "b1", "Echo2", "echo10"}) Key(name);
  EXPECT_EQ(SubKeys(base_), (Names{"ALPHA", "b1", "Bravo", "charlie", "delta", "echo10", "Echo2"}));
}

TEST_F(SeamTest, SubKeysWithPunctuationSortAsUpperCase) {
  if (UnderWine()) GTEST_SKIP() << "Wine compares names folded to lower case, Windows to upper case";
  for (const char* name : {"_under", "abc", "[bracket", "Zed"}) Key(name);
  EXPECT_EQ(SubKeys(base_), (Names{"abc", "Zed", "[bracket", "_under"}));
}

TEST_F(SeamTest, ValuesListInCreationOrderAndKeepTheirPlaceWhenSetAgain) {
  if (UnderWine()) GTEST_SKIP() << "Wine lists values sorted by name, Windows in creation order";
  for (const char* name : {"zulu", "Alpha", "mike", ""}) ASSERT_EQ(SetDword(base_, name, 1), 0);
  ASSERT_EQ(SetDword(base_, "ALPHA", 2), 0);
  ASSERT_EQ(api().DeleteValue(base_, "mike"), 0);
  ASSERT_EQ(SetDword(base_, "Mike", 3), 0);
  EXPECT_EQ(Values(base_), (Names{"zulu", "Alpha", "", "Mike"}));
}

TEST_F(SeamTest, AKeyWithSubKeysIsNotDeleted) {
  Key("parent\\child");
  EXPECT_EQ(api().DeleteKey(base_, "parent"), kAccessDenied);
  KeyHandle h(api());
  EXPECT_EQ(api().OpenKey(base_, "parent\\child", kAll, h.out()), 0);
  EXPECT_EQ(api().DeleteKey(base_, "parent\\child"), 0);
  EXPECT_EQ(api().DeleteKey(base_, "PARENT"), 0);
  EXPECT_EQ(api().DeleteKey(base_, "parent"), kFileNotFound);
  EXPECT_TRUE(SubKeys(base_).empty());
}

TEST_F(SeamTest, AHandleToADeletedKeyAnswersKeyDeleted) {
  Key("victim");
  KeyHandle h(api());
  ASSERT_EQ(api().OpenKey(base_, "victim", kAll, h.out()), 0);
  ASSERT_EQ(SetDword(h.get(), "v", 1), 0);
  ASSERT_EQ(api().DeleteKey(base_, "victim"), 0);
  std::uint32_t type = 0;
  std::string data;
  EXPECT_EQ(Get(h.get(), "v", type, data), kKeyDeleted);
  EXPECT_EQ(SetDword(h.get(), "w", 1), kKeyDeleted);
  EXPECT_EQ(api().DeleteValue(h.get(), "v"), kKeyDeleted);
  char name[64];
  EXPECT_EQ(api().EnumKey(h.get(), 0, name, sizeof name), kKeyDeleted);
  std::uint32_t len = sizeof name;
  EXPECT_EQ(api().EnumValue(h.get(), 0, name, len), kKeyDeleted);
  std::uint32_t maxLen = 0;
  EXPECT_EQ(api().QueryInfoKey(h.get(), maxLen), kKeyDeleted);
  RegHandle sub = 0;
  EXPECT_EQ(api().CreateKey(h.get(), "sub", kAll, sub), kKeyDeleted);
  // A key of the same name made afterwards is another key: the old handle still answers 1018.
  Key("victim");
  EXPECT_EQ(Get(h.get(), "v", type, data), kKeyDeleted);
  EXPECT_EQ(api().CloseKey(h.release()), 0);
}

TEST_F(SeamTest, DataBytesAreStoredExactlyAsGiven) {
  const std::string binary("\0\xff\x01\0zz\x80", 7);
  ASSERT_EQ(SetBytes(base_, "bin", 3, binary), 0);
  ASSERT_EQ(SetBytes(base_, "empty", 3, ""), 0);
  ASSERT_EQ(SetBytes(base_, "odd", 0x12345678, "xyz"), 0);
  // Text without its NUL: the byte after the given size is not a NUL (Windows would count one).
  const char unterminated[] = {'a', 'b', 'c', 'd'};
  ASSERT_EQ(api().SetValue(base_, "sz", 1, reinterpret_cast<const std::uint8_t*>(unterminated), 3), 0);
  std::uint32_t type = 0;
  std::string data;
  ASSERT_EQ(Get(base_, "bin", type, data), 0);
  EXPECT_EQ(type, 3u);
  EXPECT_EQ(data, binary);
  ASSERT_EQ(Get(base_, "empty", type, data), 0);
  EXPECT_EQ(data, "");
  ASSERT_EQ(Get(base_, "odd", type, data), 0);
  EXPECT_EQ(type, 0x12345678u);
  EXPECT_EQ(data, "xyz");
  ASSERT_EQ(Get(base_, "sz", type, data), 0);
  EXPECT_EQ(data, "abc");
}

TEST_F(SeamTest, ASizeQueryAnswersTheSizeAndLeavesTheBufferUntouched) {
  ASSERT_EQ(SetBytes(base_, "v", 3, "hello"), 0);
  std::uint32_t type = 0, size = 0;
  EXPECT_EQ(api().QueryValue(base_, "v", &type, nullptr, &size), 0);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(type, 3u);
  std::uint8_t buffer[8];
  std::memset(buffer, 0xCC, sizeof buffer);
  size = 0;
  EXPECT_EQ(api().QueryValue(base_, "v", &type, buffer, &size), kMoreData);
  EXPECT_EQ(size, 5u);
  size = 4;
  EXPECT_EQ(api().QueryValue(base_, "v", &type, buffer, &size), kMoreData);
  EXPECT_EQ(size, 5u);
  for (std::uint8_t b : buffer) EXPECT_EQ(b, 0xCC);
  size = 5;
  EXPECT_EQ(api().QueryValue(base_, "v", &type, buffer, &size), 0);
  EXPECT_EQ(std::memcmp(buffer, "hello", 5), 0);
  EXPECT_EQ(buffer[5], 0xCC);
  EXPECT_EQ(api().QueryValue(base_, "v", &type, buffer, nullptr), kInvalidParameter);
  EXPECT_EQ(api().QueryValue(base_, "missing", &type, nullptr, &size), kFileNotFound);
}

TEST_F(SeamTest, TextReadIntoARoomierBufferGetsATerminatingNul) {
  const char unterminated[] = {'a', 'b', 'c', 'd'};
  ASSERT_EQ(api().SetValue(base_, "sz", 1, reinterpret_cast<const std::uint8_t*>(unterminated), 3), 0);
  ASSERT_EQ(api().SetValue(base_, "bin", 3, reinterpret_cast<const std::uint8_t*>(unterminated), 3), 0);
  std::uint8_t buffer[8];
  std::memset(buffer, 0xCC, sizeof buffer);
  std::uint32_t type = 0, size = sizeof buffer;
  ASSERT_EQ(api().QueryValue(base_, "sz", &type, buffer, &size), 0);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(buffer[3], 0);
  std::memset(buffer, 0xCC, sizeof buffer);
  size = sizeof buffer;
  ASSERT_EQ(api().QueryValue(base_, "bin", &type, buffer, &size), 0);
  EXPECT_EQ(buffer[3], 0xCC) << "binary data gets nothing added";
}

TEST_F(SeamTest, HandlesAnswerOnlyForTheRightsTheyWereOpenedWith) {
  Key("sub");
  ASSERT_EQ(SetDword(base_, "v", 1), 0);
  KeyHandle query(api());
  ASSERT_EQ(api().OpenKey(base_, "", kKeyQueryValue, query.out()), 0);
  EXPECT_EQ(SetDword(query.get(), "w", 1), kAccessDenied);
  EXPECT_EQ(api().DeleteValue(query.get(), "v"), kAccessDenied);
  char name[64];
  EXPECT_EQ(api().EnumKey(query.get(), 0, name, sizeof name), kAccessDenied);
  std::uint32_t type = 0;
  std::string data;
  EXPECT_EQ(Get(query.get(), "v", type, data), 0);

  KeyHandle enumerate(api());
  ASSERT_EQ(api().OpenKey(base_, "", kKeyEnumerateSubKeys, enumerate.out()), 0);
  EXPECT_EQ(Get(enumerate.get(), "v", type, data), kAccessDenied);
  EXPECT_EQ(api().EnumKey(enumerate.get(), 0, name, sizeof name), 0);
  EXPECT_STREQ(name, "sub");

  KeyHandle write(api());
  ASSERT_EQ(api().OpenKey(base_, "", 0x40000000 /* GENERIC_WRITE */, write.out()), 0);
  EXPECT_EQ(SetDword(write.get(), "w", 1), 0);
  EXPECT_EQ(Get(base_, "w", type, data), 0);
}

TEST_F(SeamTest, RootsAndUnknownHandles) {
  RegHandle out = 0;
  EXPECT_EQ(api().OpenKey(0, "Software", kAll, out), kInvalidHandle);
  EXPECT_EQ(api().CreateKey(0, "Software", kAll, out), kInvalidHandle);
  EXPECT_EQ(api().OpenKey(RootHandle(static_cast<std::int32_t>(0x80000007u)), "", kAll, out), kInvalidHandle);
  EXPECT_EQ(api().CloseKey(0), kInvalidHandle);
  EXPECT_EQ(api().CloseKey(0x7654320), kInvalidHandle);
  std::uint32_t size = 0;
  EXPECT_EQ(api().QueryValue(0x7654320, "v", nullptr, nullptr, &size), kInvalidHandle);
  EXPECT_EQ(api().DeleteKey(kHKCU, ""), kAccessDenied) << "a root is never deleted";
  EXPECT_EQ(api().CloseKey(kHKCU), 0);
  KeyHandle h(api());
  EXPECT_EQ(api().OpenKey(kHKCU, basePath_.c_str(), kAll, h.out()), 0) << "closing a root changes nothing";
  // A handle, once closed, is gone.
  RegHandle once = 0;
  ASSERT_EQ(api().OpenKey(base_, "", kAll, once), 0);
  EXPECT_EQ(api().CloseKey(once), 0);
  EXPECT_EQ(api().CloseKey(once), kInvalidHandle);
}

TEST_F(SeamTest, ClassesRootIsTheClassesKeyOfTheMachine) {
  std::string name = UniqueName("cregistry-seam-class-");
  {
    KeyHandle h(api());
    ASSERT_EQ(api().CreateKey(kHKCR, name.c_str(), kAll, h.out()), 0);
    ASSERT_EQ(SetBytes(h.get(), "", 1, std::string("text\0", 5)), 0);
  }
  KeyHandle machine(api());
  ASSERT_EQ(api().OpenKey(kHKLM, ("SOFTWARE\\Classes\\" + name).c_str(), kAll, machine.out()), 0);
  std::uint32_t type = 0;
  std::string data;
  EXPECT_EQ(Get(machine.get(), "", type, data), 0);
  EXPECT_EQ(data, std::string("text\0", 5));
  KeyHandle lead(api());
  EXPECT_EQ(api().OpenKey(kHKCR, ("\\" + name).c_str(), kAll, lead.out()), 0)
      << "the classes root takes a leading backslash";
  EXPECT_EQ(api().DeleteKey(kHKLM, ("SOFTWARE\\Classes\\" + name).c_str()), 0);
  RegHandle out = 0;
  EXPECT_EQ(api().OpenKey(kHKCR, name.c_str(), kAll, out), kFileNotFound);
}

TEST_F(SeamTest, QueryInfoKeyAnswersTheLongestValueName) {
  std::uint32_t longest = 99;
  ASSERT_EQ(api().QueryInfoKey(base_, longest), 0);
  EXPECT_EQ(longest, 0u);
  ASSERT_EQ(SetDword(base_, "", 1), 0);
  ASSERT_EQ(SetDword(base_, "four", 1), 0);
  ASSERT_EQ(SetDword(base_, "sixsix", 1), 0);
  ASSERT_EQ(api().QueryInfoKey(base_, longest), 0);
  EXPECT_EQ(longest, 6u);
  ASSERT_EQ(api().DeleteValue(base_, "SIXSIX"), 0);
  ASSERT_EQ(api().QueryInfoKey(base_, longest), 0);
  EXPECT_EQ(longest, 4u);
}

TEST_F(SeamTest, EnumerationAnswersMoreDataForSmallBuffersAndNoMoreItemsAtTheEnd) {
  Key("abc");
  ASSERT_EQ(SetDword(base_, "xyz", 1), 0);
  char name[8];
  std::memset(name, 'Z', sizeof name);
  EXPECT_EQ(api().EnumKey(base_, 0, name, 3), kMoreData);
  EXPECT_EQ(name[0], 'Z') << "a sub-key name that does not fit is not written";
  EXPECT_EQ(api().EnumKey(base_, 0, name, 4), 0);
  EXPECT_STREQ(name, "abc");
  EXPECT_EQ(api().EnumKey(base_, 1, name, sizeof name), kNoMoreItems);

  std::uint32_t len = 3;
  EXPECT_EQ(api().EnumValue(base_, 0, name, len), kMoreData);
  len = 4;
  EXPECT_EQ(api().EnumValue(base_, 0, name, len), 0);
  EXPECT_EQ(len, 3u);
  EXPECT_STREQ(name, "xyz");
  len = sizeof name;
  EXPECT_EQ(api().EnumValue(base_, 1, name, len), kNoMoreItems);
}

TEST_F(SeamTest, DeleteValueRemovesOnlyThatValue) {
  ASSERT_EQ(SetDword(base_, "", 1), 0);
  ASSERT_EQ(SetDword(base_, "kept", 1), 0);
  EXPECT_EQ(api().DeleteValue(base_, ""), 0) << "the unnamed value";
  EXPECT_EQ(api().DeleteValue(base_, ""), kFileNotFound);
  EXPECT_EQ(api().DeleteValue(base_, "missing"), kFileNotFound);
  EXPECT_EQ(Values(base_), Names{"kept"});
}

TEST_F(SeamTest, ExpandEnvironmentReplacesSetVariablesAndKeepsTheRest) {
#ifdef _WIN32
  SetEnvironmentVariableA("CREGISTRY_SEAM_X", "value");
#else
  setenv("CREGISTRY_SEAM_X", "value", 1);
#endif
  struct Case {
    const char* in;
    const char* out;
  };
  for (Case c : {Case{"%CREGISTRY_SEAM_X%", "value"}, Case{"a%cregistry_seam_x%b", "avalueb"},
                 Case{"%CREGISTRY_SEAM_NOPE%%CREGISTRY_SEAM_X%", "%CREGISTRY_SEAM_NOPE%value"},
                 Case{"100% of 50%", "100% of 50%"}, Case{"%%", "%%"}, Case{"%", "%"}, Case{"", ""}}) {
    std::uint32_t needed = api().ExpandEnvironment(c.in, nullptr, 0);
    EXPECT_EQ(needed, std::strlen(c.out) + 1) << c.in;
    std::string buffer(needed, 'Z');
    EXPECT_EQ(api().ExpandEnvironment(c.in, buffer.data(), needed), needed) << c.in;
    EXPECT_STREQ(buffer.c_str(), c.out) << c.in;
  }
}

TEST_F(SeamTest, AnUnknownMachineIsUnreachable) {
  RegHandle out = 0;
  EXPECT_EQ(api().ConnectRegistry("\\\\cregistry-no-such-machine", kHKLM, out), kBadNetPath);
}

}  // namespace
}  // namespace cregistry::seamtest
