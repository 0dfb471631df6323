// Listings of values and sub-keys, and file-type associations, on a real registry.
#include <gtest/gtest.h>

#include <algorithm>
#include <new>

#include <cregistry/cRegistry.h>
#include "support/ForwardingApi.h"
#include "support/Raised.h"
#include "support/RegistrySandbox.h"

using namespace cregistry;
using cregistry::testing::ForwardingApi;
using cregistry::testing::RecordingApi;
using cregistry::testing::Raised;
using cregistry::testing::RegistrySandbox;

namespace {

constexpr std::int32_t kHKCU = cregistry::testing::kHKCU;
constexpr std::int32_t kHKCR = cregistry::testing::kHKCR;
constexpr std::int32_t kHKLM = cregistry::testing::kHKLM;
using Names = std::vector<std::string>;

class Listing : public ::testing::Test {
 protected:
  Listing() : counting(std::make_shared<ForwardingApi>(sandbox.api)), reg(counting) {
    reg.ClassKey(HKEY_CURRENT_USER);
    reg.SectionKey(sandbox.base);
  }
  ~Listing() override { EXPECT_EQ(counting->opened, counting->closed); }

  void Key(const std::string& sub) {
    KeyHandle key(*sandbox.api);
    ASSERT_EQ(sandbox.api->CreateKey(RootHandle(kHKCU), (sandbox.base + sub).c_str(), 0x3F, key.out()), 0) << sub;
  }

  RegistrySandbox sandbox;
  std::shared_ptr<ForwardingApi> counting;
  cRegistry reg;
  Names names{"stale"};
  std::int32_t count = -1;
};

}  // namespace

TEST_F(Listing, MissingKeyGivesAnEmptyListAndTrue) {
  reg.SectionKey(sandbox.base + "\\missing");
  EXPECT_EQ(reg.EnumerateValues(names, count).raw(), -1);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(names.empty());
  names = {"stale"};
  EXPECT_EQ(reg.EnumerateSections(names, count).raw(), -1);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(names.empty());
}

TEST_F(Listing, ValuesAndSubKeysAreListedApart) {
  sandbox.PutRaw(kHKCU, sandbox.base + "\\vals", "First", REG_SZ, std::string("1\0", 2));
  sandbox.PutRaw(kHKCU, sandbox.base + "\\vals", "", REG_SZ, std::string("d\0", 2));
  sandbox.PutRaw(kHKCU, sandbox.base + "\\vals", "a longer value name", REG_DWORD, "1234");
  Key("\\keys\\Beta");
  Key("\\keys\\alpha");
  Key("\\keys\\Gamma\\deeper");

  reg.SectionKey(sandbox.base + "\\vals");
  EXPECT_TRUE(reg.EnumerateValues(names, count));
  EXPECT_EQ(count, 3);
#ifdef _WIN32
  // Windows lists values in creation order; Wine's registry lists them sorted by name.
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (Names{"", "First", "a longer value name"}));
#else
  EXPECT_EQ(names, (Names{"First", "", "a longer value name"})) << "values list in creation order";
#endif
  EXPECT_TRUE(reg.EnumerateSections(names, count));
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(names.empty());

  reg.SectionKey(sandbox.base + "\\keys");
  EXPECT_TRUE(reg.EnumerateSections(names, count));
  EXPECT_EQ(count, 3);
  EXPECT_EQ(names, (Names{"alpha", "Beta", "Gamma"})) << "sub-keys list in name order, case kept";
  EXPECT_TRUE(reg.EnumerateValues(names, count));
  EXPECT_EQ(count, 0);
}

TEST_F(Listing, EmptySectionListsTheRootAndMachinePlaysNoPart) {
  Key("");
  reg.SectionKey("");
  reg.Machine("unreachable.invalid");
  EXPECT_TRUE(reg.EnumerateSections(names, count));
  bool software = false;
  for (const auto& n : names) software = software || n == "Software" || n == "SOFTWARE";
  EXPECT_TRUE(software) << "HKEY_CURRENT_USER lists its Software key";
  EXPECT_EQ(static_cast<std::size_t>(count), names.size());
  EXPECT_EQ(counting->connects, 0);
}

TEST_F(Listing, ASubKeyNameOf255CharactersEndsTheListing) {
#ifdef _WIN32
  GTEST_SKIP() << "Wine's registry refuses key names of more than 252 characters (code 234), Windows takes 255";
#endif
  Key("\\long\\a");
  Key("\\long\\b");
  Key("\\long\\m" + std::string(254, 'x'));
  Key("\\long\\m" + std::string(253, 'x'));
  Key("\\long\\z");
  reg.SectionKey(sandbox.base + "\\long");
  EXPECT_TRUE(reg.EnumerateSections(names, count));
  // 254 characters still fit the 255-character buffer with their terminator; 255 do not.
  EXPECT_EQ(count, 3);
  EXPECT_EQ(names, (Names{"a", "b", "m" + std::string(253, 'x')}));
}

namespace {
class ThrowingApi : public ForwardingApi {
 public:
  using ForwardingApi::ForwardingApi;
  long EnumKey(RegHandle key, std::uint32_t index, char* name, std::uint32_t nameSize) override {
    if (index == failAt) throw std::bad_alloc();
    return ForwardingApi::EnumKey(key, index, name, nameSize);
  }
  std::uint32_t failAt = 1;
};
}  // namespace

TEST(ListingFaults, AnInternalFailureOfTheSubKeyListingIsRaisedWithItsDescription) {
  RegistrySandbox sandbox;
  auto api = std::make_shared<ThrowingApi>(sandbox.api);
  sandbox.PutRaw(kHKCU, sandbox.base + "\\k1", "v", REG_SZ, std::string("1\0", 2));
  sandbox.PutRaw(kHKCU, sandbox.base + "\\k2", "v", REG_SZ, std::string("1\0", 2));
  cRegistry reg(api);
  reg.ClassKey(HKEY_CURRENT_USER);
  reg.SectionKey(sandbox.base);
  Names names;
  std::int32_t count = 0;
  RegistryError e = Raised([&] { reg.EnumerateSections(names, count); });
  EXPECT_EQ(e.number(), static_cast<std::int32_t>(0x800469AAu));
  EXPECT_EQ(e.description(), "Out of memory");
  EXPECT_EQ(e.source().substr(e.source().size() - 10), ".cRegistry");
  EXPECT_EQ(count, 1) << "the count keeps what it had reached";
  EXPECT_EQ(names, (Names{"k1"}));
  EXPECT_EQ(api->opened, api->closed);
}

// --- File-type associations ----------------------------------------------------------------------------

namespace {

class Association : public ::testing::Test {
 protected:
  Association() : recording(std::make_shared<RecordingApi>(sandbox.api)), reg(recording) {
    ext = sandbox.UniqueClassName("ext");
    cls = sandbox.UniqueClassName("Test.Document");
  }

  // The unnamed value of a class-root key, as the accessor reads it.
  std::string Row(std::int32_t root, const std::string& sub) {
    cRegistry reader(sandbox.api);
    reader.ClassKey(static_cast<RegistryRootKey>(root));
    reader.SectionKey(root == kHKLM ? "SOFTWARE\\Classes\\" + sub : sub);
    reader.Default(Variant("<missing>"));
    return reader.Value().ToText();
  }

  // The stores made, as "path=data" in order.
  Names Stores() const {
    Names out;
    for (const auto& s : recording->stores) out.push_back(s.key + "=" + s.data.substr(0, s.data.size() - 1));
    return out;
  }

  RegistrySandbox sandbox;
  std::shared_ptr<RecordingApi> recording;
  cRegistry reg;
  std::string ext;
  std::string cls;
};

}  // namespace

TEST_F(Association, WritesTheTreeUnderBothClassRoots) {
  reg.CreateEXEAssociation("C:\\Tools\\viewer.exe", cls, "Viewer document", ext, "", true, "", false, "", false, "", 0);
  const std::string p = "\"C:\\Tools\\viewer.exe\"";
  for (std::int32_t root : {kHKCR, kHKLM}) {
    EXPECT_EQ(Row(root, "." + ext), cls);
    EXPECT_EQ(Row(root, cls), "Viewer document");
    EXPECT_EQ(Row(root, cls + "\\shell\\open"), "&Open");
    EXPECT_EQ(Row(root, cls + "\\shell\\open\\command"), p + " \"%1\"");
    EXPECT_EQ(Row(root, cls + "\\shell\\print"), "&Print");
    EXPECT_EQ(Row(root, cls + "\\shell\\print\\command"), p + " /p \"%1\"");
    EXPECT_EQ(Row(root, cls + "\\DefaultIcon"), p + ",0");
    EXPECT_EQ(Row(root, cls + "\\shell\\new"), "<missing>");
  }
  EXPECT_EQ(reg.ClassKey(), HKEY_LOCAL_MACHINE);
  EXPECT_EQ(reg.SectionKey(), cls + "\\DefaultIcon");
  EXPECT_EQ(reg.ValueKey(), "");
  EXPECT_EQ(reg.ValueType(), REG_SZ);
}

TEST_F(Association, EveryOptionOffMakesEightStoresInRowOrder) {
  reg.CreateEXEAssociation("app.exe", cls, "Doc", ext);
  const std::string hklm = "HKLM\\SOFTWARE\\Classes\\";
  EXPECT_EQ(Stores(), (Names{
                          "HKCR\\." + ext + "=" + cls, hklm + "." + ext + "=" + cls,
                          "HKCR\\" + cls + "=Doc", hklm + cls + "=Doc",
                          "HKCR\\" + cls + "\\shell\\open=&Open", hklm + cls + "\\shell\\open=&Open",
                          "HKCR\\" + cls + "\\shell\\open\\command=\"app.exe\" \"%1\"",
                          hklm + cls + "\\shell\\open\\command=\"app.exe\" \"%1\"",
                      }));
  for (const auto& s : recording->stores) EXPECT_EQ(s.type, static_cast<std::uint32_t>(REG_SZ));
  EXPECT_EQ(reg.SectionKey(), cls + "\\shell\\open\\command");
}

TEST_F(Association, EveryOptionOnMakesTwentyTwoStoresWithInstallBeforeNew) {
  reg.CreateEXEAssociation("  \"C:\\a b\\x.exe\"  ", cls, "Doc", ext, "Op", true, "Pr", true, "Nw", true, "In", 3);
  Names hkcr;
  for (const auto& s : recording->stores)
    if (s.key.rfind("HKCR\\", 0) == 0) hkcr.push_back(s.key.substr(5) + "=" + s.data.substr(0, s.data.size() - 1));
  ASSERT_EQ(recording->stores.size(), 22u);
  const std::string p = "\"C:\\a b\\x.exe\"";
  EXPECT_EQ(hkcr, (Names{
                      "." + ext + "=" + cls, cls + "=Doc", cls + "\\shell\\open=Op",
                      cls + "\\shell\\open\\command=" + p + " \"%1\"", cls + "\\shell\\print=Pr",
                      cls + "\\shell\\print\\command=" + p + " /p \"%1\"", cls + "\\shell\\add=In",
                      cls + "\\shell\\add\\command=" + p + " /a \"%1\"", cls + "\\shell\\new=Nw",
                      cls + "\\shell\\new\\command=" + p + " /n \"%1\"", cls + "\\DefaultIcon=" + p + ",3",
                  }));
  for (std::size_t i = 0; i < recording->stores.size(); i += 2) {
    EXPECT_EQ(recording->stores[i + 1].key, "HKLM\\SOFTWARE\\Classes\\" + recording->stores[i].key.substr(5));
    EXPECT_EQ(recording->stores[i + 1].data, recording->stores[i].data);
  }
}

TEST_F(Association, QuotesPathsAndFillsEmptyMenuTexts) {
  const std::pair<const char*, const char*> paths[] = {
      {"C:\\A\\b.exe", "\"C:\\A\\b.exe\""},     {"\"C:\\A\\b.exe\"", "\"C:\\A\\b.exe\""},
      {"  C:\\A\\b.exe ", "\"C:\\A\\b.exe\""},  {"C:\\A\\b.exe\"", "\"C:\\A\\b.exe\""},
      {"", "\""},                               {"   ", "\""},
  };
  for (auto [given, quoted] : paths) {
    recording->stores.clear();
    reg.CreateEXEAssociation(given, cls, "Doc", ext, "", true, "", true, "", true, "", -2);
    EXPECT_EQ(Row(kHKCR, cls + "\\shell\\open\\command"), std::string(quoted) + " \"%1\"") << given;
  }
  EXPECT_EQ(Row(kHKCR, cls + "\\shell\\open"), "&Open");
  EXPECT_EQ(Row(kHKCR, cls + "\\shell\\print"), "&Print");
  EXPECT_EQ(Row(kHKCR, cls + "\\shell\\new"), "&New");
  EXPECT_EQ(Row(kHKCR, cls + "\\shell\\add"), "&Install " + ext);
  EXPECT_EQ(Row(kHKCR, cls + "\\DefaultIcon"), "<missing>") << "a negative icon index writes no icon";
  EXPECT_EQ(recording->stores.size(), 20u);
}

TEST_F(Association, AnExtensionWithADotKeepsIt) {
  reg.CreateEXEAssociation("a.exe", cls, "Doc", "." + ext);
  EXPECT_EQ(recording->stores.front().key, "HKCR\\.." + ext);
  sandbox.RemoveTree(kHKCR, ".." + ext);
  sandbox.RemoveTree(kHKLM, "SOFTWARE\\Classes\\.." + ext);
}

TEST_F(Association, AdditionalVerbsFollowTheClassJustRegistered) {
  reg.CreateEXEAssociation("C:\\v.exe", cls, "Doc", ext);
  recording->stores.clear();
  reg.CreateAdditionalEXEAssociations(
      cls, {Variant("edit"), Variant("&Edit"), Variant("\"C:\\v.exe\" /e \"%1\""), Variant("play"),
            Variant(std::int32_t{5}), Variant("go")});
  EXPECT_EQ(recording->stores.size(), 8u);
  for (std::int32_t root : {kHKCR, kHKLM}) {
    EXPECT_EQ(Row(root, cls + "\\shell\\edit"), "&Edit");
    EXPECT_EQ(Row(root, cls + "\\shell\\edit\\command"), "\"C:\\v.exe\" /e \"%1\"");
    EXPECT_EQ(Row(root, cls + "\\shell\\play"), "5");
    EXPECT_EQ(Row(root, cls + "\\shell\\play\\command"), "go");
  }
  EXPECT_EQ(reg.ClassKey(), HKEY_LOCAL_MACHINE);
  EXPECT_EQ(reg.SectionKey(), cls + "\\shell\\play\\command");
}

TEST_F(Association, AdditionalVerbsCheckTheirArgumentsBeforeWriting) {
  reg.ClassKey(HKEY_CURRENT_USER);
  reg.SectionKey("kept");
  RegistryError e = Raised([&] {
    reg.CreateAdditionalEXEAssociations(cls, {Variant("a"), Variant("b"), Variant("c"), Variant("d")});
  });
  EXPECT_EQ(e.number(), -2147194452);
  EXPECT_EQ(e.description(), "Invalid parameter list passed to CreateAdditionalEXEAssociations - expected Name/Text/Command");
  EXPECT_EQ(reg.SectionKey(), "kept");
  EXPECT_EQ(reg.ClassKey(), HKEY_CURRENT_USER);

  e = Raised([&] { reg.CreateAdditionalEXEAssociations(cls, {Variant("a"), Variant("b"), Variant("c")}); });
  EXPECT_EQ(e.number(), -2147194451);
  EXPECT_EQ(e.description(), "Error - attempt to create additional associations before class defined.");
  EXPECT_EQ(reg.SectionKey(), cls);
  EXPECT_TRUE(recording->stores.empty());

  sandbox.PutRaw(kHKCR, cls, "", REG_SZ, std::string("Doc\0", 4));
  reg.ValueKey("v");
  reg.CreateAdditionalEXEAssociations(cls);
  EXPECT_TRUE(recording->stores.empty());
  EXPECT_EQ(reg.ClassKey(), HKEY_CLASSES_ROOT);
  EXPECT_EQ(reg.SectionKey(), cls);
  EXPECT_EQ(reg.ValueKey(), "v");
}

TEST_F(Association, ARefusedMachineWideStoreDoesNotStopTheVerbs) {
  sandbox.PutRaw(kHKCR, cls, "", REG_SZ, std::string("Doc\0", 4));
  recording->refuse = [&](const cregistry::testing::Store& s) {
    return s.key == "HKLM\\SOFTWARE\\Classes\\" + cls + "\\shell\\one";
  };
  reg.CreateAdditionalEXEAssociations(cls, {Variant("one"), Variant("1"), Variant("c1"),
                                            Variant(std::vector<std::uint8_t>{1}), Variant("x"), Variant("y"),
                                            Variant("two"), Variant("2"), Variant("c2")});
  EXPECT_EQ(Row(kHKCR, cls + "\\shell\\one"), "1");
  EXPECT_EQ(Row(kHKCR, cls + "\\shell\\one\\command"), "c1");
  EXPECT_EQ(Row(kHKLM, cls + "\\shell\\one\\command"), "c1");
  EXPECT_EQ(Row(kHKCR, cls + "\\shell\\two\\command"), "c2");
  EXPECT_EQ(Row(kHKLM, cls + "\\shell\\two"), "2");
  // A name without a text form names no verb: nothing of its triple is written anywhere.
  EXPECT_EQ(recording->stores.size(), 8u);
  for (const auto& s : recording->stores) EXPECT_NE(s.data, std::string("x\0", 2));
}

TEST_F(Association, ARefusedStoreEndsTheRegistrationWithTheWritesError) {
  // The machine-wide copy of the class description is refused.
  recording->refuse = [&](const cregistry::testing::Store& s) { return s.key == "HKLM\\SOFTWARE\\Classes\\" + cls; };
  RegistryError e = Raised([&] { reg.CreateEXEAssociation("C:\\v.exe", cls, "Doc", ext); });
  EXPECT_EQ(e.number(), static_cast<std::int32_t>(0x800469A9u));
  EXPECT_EQ(e.description(), "Failed to set registry value Key: '-2147483646',Section: 'SOFTWARE\\Classes\\" + cls +
                                 "',Key: '' to value: 'Doc'");
  ASSERT_EQ(recording->stores.size(), 4u) << "rows 1 twice, row 2 once under each root; nothing after";
  EXPECT_EQ(recording->stores[3].result, 5);
  EXPECT_FALSE(sandbox.Exists(kHKCR, cls + "\\shell")) << "the open verb is not written after the failure";
  EXPECT_EQ(reg.ClassKey(), HKEY_LOCAL_MACHINE);
  EXPECT_EQ(reg.SectionKey(), "SOFTWARE\\Classes\\" + cls);

  // Refused at the very first store: the selection is that of the first write.
  recording->stores.clear();
  recording->refuse = [](const cregistry::testing::Store&) { return true; };
  Raised([&] { reg.CreateEXEAssociation("C:\\v.exe", cls, "Doc", ext); });
  EXPECT_EQ(recording->stores.size(), 1u);
  EXPECT_EQ(reg.ClassKey(), HKEY_CLASSES_ROOT);
  EXPECT_EQ(reg.SectionKey(), "." + ext);
}
