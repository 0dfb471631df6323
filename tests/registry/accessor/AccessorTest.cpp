// The accessor's object, keys and values, on a real registry: the registry store natively, Wine's
// registry for the Windows build.
#include <gtest/gtest.h>

#include <cregistry/cRegistry.h>
#ifndef _WIN32
#include <cregistry/Store.h>
#endif
#include "support/ForwardingApi.h"
#include "support/Raised.h"
#include "support/RegistrySandbox.h"

using namespace cregistry;
using cregistry::testing::ForwardingApi;
using cregistry::testing::Raised;
using cregistry::testing::RegistrySandbox;

namespace {

constexpr std::int32_t kHKCU = cregistry::testing::kHKCU;
constexpr std::int32_t kHKLM = cregistry::testing::kHKLM;

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

class Accessor : public ::testing::Test {
 protected:
  Accessor() : counting(std::make_shared<ForwardingApi>(sandbox.api)), reg(counting) {
    reg.ClassKey(HKEY_CURRENT_USER);
    reg.SectionKey(sandbox.base);
  }
  ~Accessor() override {
    // Every operation closes what it opened, on success and on failure.
    EXPECT_EQ(counting->opened, counting->closed);
  }

  std::uint32_t StoredType(const std::string& name) {
    std::uint32_t type = 0;
    std::string data;
    EXPECT_TRUE(sandbox.GetRaw(kHKCU, sandbox.base, name, type, data)) << name;
    return type;
  }
  std::string StoredData(const std::string& name) {
    std::uint32_t type = 0;
    std::string data;
    EXPECT_TRUE(sandbox.GetRaw(kHKCU, sandbox.base, name, type, data)) << name;
    return data;
  }
  Variant Write(const std::string& name, RegistryValueType type, const Variant& v) {
    reg.ValueKey(name);
    reg.ValueType(type);
    reg.Value(v);
    return v;
  }

  RegistrySandbox sandbox;
  std::shared_ptr<ForwardingApi> counting;
  cRegistry reg;
};

}  // namespace

TEST(AccessorObject, NewObjectStartsEmptyAndTestsNoKey) {
  RegistrySandbox sandbox;
  cRegistry reg(sandbox.api);
  EXPECT_EQ(reg.ClassKey(), 0);
  EXPECT_EQ(reg.SectionKey(), "");
  EXPECT_EQ(reg.ValueKey(), "");
  EXPECT_EQ(reg.Machine(), "");
  EXPECT_EQ(reg.ValueType(), 0);
  EXPECT_TRUE(reg.Default().IsEmpty());
  EXPECT_EQ(reg.KeyExists().raw(), 0);

  reg.SectionKey("Software\\x");
  RegistryError e = Raised([&] { reg.CreateKey(); });
  EXPECT_EQ(e.number(), 26001);
  EXPECT_EQ(e.description(), "Failed to create registry Key: 'Software\\x");
}

TEST(AccessorObject, MachineIsStoredWithTwoLeadingBackslashes) {
  RegistrySandbox sandbox;
  cRegistry reg(sandbox.api);
  const std::pair<const char*, const char*> cases[] = {
      {"srv", "\\\\srv"},         {"\\\\srv", "\\\\srv"}, {"ab", ""},       {"\\\\", ""},
      {"x", ""},                  {"", ""},               {"\\ab", "\\\\\\ab"}, {"\\\\\\x", "\\\\\\x"},
  };
  for (auto [in, out] : cases) {
    reg.Machine("previous");
    reg.Machine(in);
    EXPECT_EQ(reg.Machine(), out) << "written as " << in;
  }
}

TEST(AccessorObject, PropertiesAreStoredUnchangedAndDefaultIsCopied) {
  RegistrySandbox sandbox;
  cRegistry reg(sandbox.api);
  reg.SectionKey(" \\Mixed Case\\ ");
  reg.ValueKey(" v ");
  reg.ValueType(static_cast<RegistryValueType>(42));
  reg.ClassKey(static_cast<RegistryRootKey>(7));
  EXPECT_EQ(reg.SectionKey(), " \\Mixed Case\\ ");
  EXPECT_EQ(reg.ValueKey(), " v ");
  EXPECT_EQ(reg.ValueType(), 42);
  EXPECT_EQ(reg.ClassKey(), 7);

  Variant original(std::vector<std::uint8_t>{1, 2, 3}, 1);
  reg.Default(original);
  Variant copy = reg.Default();
  EXPECT_EQ(copy, original);
  EXPECT_EQ(copy.AsByteArray().lower, 1);
  EXPECT_EQ(copy.AsByteArray().upper(), 3);
}

TEST(AccessorObject, ErrorsCarryTheExecutableNameAndTheirNumber) {
  RegistrySandbox sandbox;
  cRegistry reg(sandbox.api);
  reg.ClassKey(HKEY_LOCAL_MACHINE);
  reg.SectionKey("Software\\cregistry-tests\\no such key");
  RegistryError e = Raised([&] { reg.DeleteKey(); });
  EXPECT_EQ(e.number(), 26001);
  EXPECT_EQ(e.description(), "Failed to delete registry Key: '-2147483646',Section: 'Software\\cregistry-tests\\no such key");
  EXPECT_EQ(e.source(), "registry_accessor_tests.cRegistry");

  reg.ClassKey(HKEY_CLASSES_ROOT);
  e = Raised([&] { reg.DeleteKey(); });
  EXPECT_EQ(e.description(), "Failed to delete registry Key: '-2147483648',Section: 'Software\\cregistry-tests\\no such key");
}

TEST(AccessorObject, VariantConvertsToTextAndRefusesMismatches) {
  EXPECT_EQ(Variant().ToText(), "");
  EXPECT_EQ(Variant(std::int16_t{-5}).ToText(), "-5");
  EXPECT_EQ(Variant(std::int32_t{-2147483647 - 1}).ToText(), "-2147483648");
  EXPECT_EQ(Variant(5.5).ToText(), "5.5");
  EXPECT_EQ(Variant(true).ToText(), "True");
  EXPECT_EQ(Variant(false).ToText(), "False");
  EXPECT_EQ(Variant("a\0b").ToText(), "a");
  EXPECT_EQ(Variant(std::string("a\0b", 3)).ToText().size(), 3u);

  RegistryError e = Raised([] { (void)Variant(std::vector<std::uint8_t>{1}).ToText(); });
  EXPECT_EQ(e.number(), 13);
  EXPECT_EQ(e.description(), "Type mismatch");
  EXPECT_EQ(Raised([] { (void)Variant("5").AsLong(); }).number(), 13);
  EXPECT_EQ(Variant(std::int16_t{1}).kind(), Variant::Kind::Integer);
  EXPECT_EQ(Variant(std::int32_t{1}).kind(), Variant::Kind::Long);
}

TEST_F(Accessor, KeyTestsCreationAndDeletion) {
  reg.SectionKey("");
  EXPECT_EQ(reg.KeyExists().raw(), -1) << "an empty section addresses the root itself";

  reg.SectionKey(sandbox.base + "\\a\\b\\c");
  EXPECT_FALSE(reg.KeyExists());
  EXPECT_EQ(reg.CreateKey().raw(), -1);
  EXPECT_TRUE(reg.KeyExists());
  EXPECT_TRUE(sandbox.Exists(kHKCU, sandbox.base + "\\a\\b"));
  EXPECT_TRUE(reg.CreateKey()) << "creating an existing key answers true";

  reg.SectionKey(sandbox.base + "\\a");
  RegistryError e = Raised([&] { reg.DeleteKey(); });
  EXPECT_EQ(e.number(), 26001);
  EXPECT_EQ(e.description(), "Failed to delete registry Key: '-2147483647',Section: '" + sandbox.base + "\\a");
  EXPECT_TRUE(sandbox.Exists(kHKCU, sandbox.base + "\\a\\b\\c")) << "a key with sub-keys stays with them";

  reg.SectionKey(sandbox.base + "\\a\\b\\c");
  EXPECT_EQ(reg.DeleteKey().raw(), -1);
  EXPECT_FALSE(reg.KeyExists());
  EXPECT_TRUE(sandbox.Exists(kHKCU, sandbox.base + "\\a\\b"));
}

TEST_F(Accessor, DeleteValueReportsEachFailureAndDeletesTheUnnamedValue) {
  reg.SectionKey(sandbox.base + "\\missing");
  reg.ValueKey("v");
  RegistryError e = Raised([&] { reg.DeleteValue(); });
  EXPECT_EQ(e.description(), "Failed to open key '-2147483647',Section: '" + sandbox.base + "\\missing' for delete access");
  EXPECT_FALSE(sandbox.Exists(kHKCU, sandbox.base + "\\missing"));

  reg.SectionKey(sandbox.base);
  sandbox.PutRaw(kHKCU, sandbox.base, "", REG_SZ, Bytes({'d', 0}));
  sandbox.PutRaw(kHKCU, sandbox.base, "kept", REG_SZ, Bytes({'k', 0}));
  e = Raised([&] { reg.DeleteValue(); });
  EXPECT_EQ(e.number(), 26001);
  EXPECT_EQ(e.description(), "Failed to delete registry Key: '-2147483647',Section: '" + sandbox.base + "',Key: 'v");

  reg.ValueKey("");
  EXPECT_EQ(reg.DeleteValue().raw(), -1);
  std::uint32_t type;
  std::string data;
  EXPECT_FALSE(sandbox.GetRaw(kHKCU, sandbox.base, "", type, data));
  EXPECT_TRUE(sandbox.GetRaw(kHKCU, sandbox.base, "kept", type, data));
}

TEST_F(Accessor, ReadsEachTypeByItsRules) {
  sandbox.PutRaw(kHKCU, sandbox.base, "sz", REG_SZ, Bytes({'a', 'b', 'c', 0}));
  sandbox.PutRaw(kHKCU, sandbox.base, "sz3", REG_SZ, "abc");
  sandbox.PutRaw(kHKCU, sandbox.base, "nul", REG_SZ, Bytes({0}));
  sandbox.PutRaw(kHKCU, sandbox.base, "multi", REG_MULTI_SZ, Bytes({'a', 0, 'b', 0, 0}));
  sandbox.PutRaw(kHKCU, sandbox.base, "le", REG_DWORD, Bytes({0x78, 0x56, 0x34, 0x12}));
  sandbox.PutRaw(kHKCU, sandbox.base, "be", REG_DWORD_BIG_ENDIAN, Bytes({0x12, 0x34, 0x56, 0x78}));
  sandbox.PutRaw(kHKCU, sandbox.base, "short", REG_DWORD, Bytes({0x01, 0x02}));
  sandbox.PutRaw(kHKCU, sandbox.base, "odd", 11, Bytes({1, 2, 3, 4, 5, 6, 7, 8}));
  sandbox.PutRaw(kHKCU, sandbox.base, "bin", REG_BINARY, Bytes({0xFF, 0}));

  auto read = [&](const char* name) {
    reg.ValueKey(name);
    return reg.Value();
  };
  EXPECT_EQ(read("sz").AsString(), "abc");
  EXPECT_EQ(reg.ValueType(), REG_SZ);
  // The read drops the last byte that the registry hands over. The store hands over exactly the three
  // bytes stored; Wine's ANSI set also takes in a NUL that follows the given bytes in memory.
  const std::string raw3 = StoredData("sz3");
#ifndef _WIN32
  EXPECT_EQ(raw3, "abc");
#endif
  EXPECT_EQ(read("sz3").AsString(), raw3.substr(0, raw3.size() - 1));
  EXPECT_EQ(read("nul").AsString(), "");
  EXPECT_EQ(read("multi").AsString(), std::string("a\0b\0", 4));
  EXPECT_EQ(reg.ValueType(), REG_MULTI_SZ);
  EXPECT_EQ(read("le").AsLong(), 0x12345678);
  EXPECT_EQ(reg.ValueType(), REG_DWORD);
  EXPECT_EQ(read("be").AsLong(), 0x12345678);
  EXPECT_EQ(reg.ValueType(), REG_DWORD_BIG_ENDIAN);
  EXPECT_EQ(read("short").AsLong(), 0x0201);

  Variant odd = read("odd");
  EXPECT_EQ(reg.ValueType(), 11);
  ASSERT_EQ(odd.kind(), Variant::Kind::ByteArray);
  EXPECT_EQ(odd.AsByteArray().bytes.size(), 8u);
  EXPECT_EQ(odd.AsByteArray().lower, 0);
  EXPECT_EQ(odd.AsByteArray().upper(), 7);
  RegistryError e = Raised([&] { reg.Value(odd); });
  EXPECT_EQ(e.number(), static_cast<std::int32_t>(0x800469A9u));
  EXPECT_EQ(e.description(), "Failed to set registry value Key: '-2147483647',Section: '" + sandbox.base +
                                 "',Key: 'odd' to value: '01 02 03 04 05 06 07 08'");

  EXPECT_EQ(read("bin").AsByteArray().bytes, (std::vector<std::uint8_t>{0xFF, 0}));
}

TEST_F(Accessor, MissingValuesFallBackToDefaultAndKeepTheType) {
  reg.ValueType(REG_BINARY);
  reg.ValueKey("absent");
  EXPECT_TRUE(reg.Value().IsEmpty());
  reg.Default(Variant("fallback"));
  EXPECT_EQ(reg.Value().AsString(), "fallback");
  reg.SectionKey(sandbox.base + "\\no key");
  EXPECT_EQ(reg.Value().AsString(), "fallback");
  reg.ClassKey(static_cast<RegistryRootKey>(0));
  EXPECT_EQ(reg.Value().AsString(), "fallback");
  EXPECT_EQ(reg.ValueType(), REG_BINARY);
}

TEST_F(Accessor, ExpandableTextIsExpandedOnReadAndStoredByThePercentRule) {
  cregistry::testing::SetEnv("CREGISTRY_TEST_DIR", "C:\\expanded");
  sandbox.PutRaw(kHKCU, sandbox.base, "path", REG_EXPAND_SZ, std::string("%CREGISTRY_TEST_DIR%\\x\0", 23));
  reg.ValueKey("path");
  Variant v = reg.Value();
  EXPECT_EQ(v.AsString(), "C:\\expanded\\x");
  EXPECT_EQ(reg.ValueType(), REG_EXPAND_SZ);
  reg.Value(v);
  EXPECT_EQ(StoredType("path"), static_cast<std::uint32_t>(REG_SZ)) << "no percent pair is left";
  EXPECT_EQ(reg.ValueType(), REG_EXPAND_SZ) << "a write does not change the type";

  const std::pair<const char*, std::uint32_t> cases[] = {
      {"%a%", REG_EXPAND_SZ}, {"100% of 50%", REG_EXPAND_SZ}, {"%%", REG_SZ}, {"a%", REG_SZ},
      {"plain", REG_SZ},      {"%x%y", REG_EXPAND_SZ},       {"%%%", REG_EXPAND_SZ},
  };
  for (auto [text, type] : cases) {
    Write("p", REG_SZ, Variant(text));
    EXPECT_EQ(StoredType("p"), type) << text;
    EXPECT_EQ(StoredData("p"), std::string(text) + '\0') << text;
  }
  Write("empty", REG_SZ, Variant(""));
  EXPECT_EQ(StoredData("empty"), std::string(1, '\0'));
}

TEST_F(Accessor, IntegersAreStoredAsLittleEndianDwords) {
  Write("minus", REG_DWORD, Variant(std::int16_t{-1}));
  EXPECT_EQ(StoredData("minus"), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(StoredType("minus"), static_cast<std::uint32_t>(REG_DWORD));

  Write("big", REG_DWORD_BIG_ENDIAN, Variant(std::int32_t{1}));
  EXPECT_EQ(StoredType("big"), static_cast<std::uint32_t>(REG_DWORD));
  EXPECT_EQ(StoredData("big"), Bytes({1, 0, 0, 0}));
  reg.ValueKey("big");
  EXPECT_EQ(reg.Value().AsLong(), 1);
  EXPECT_EQ(reg.ValueType(), REG_DWORD);

  // Not an integer: nothing is written and nothing is raised.
  for (const Variant& v : {Variant("5"), Variant(5.5), Variant(true), Variant()}) {
    Write("skipped", REG_DWORD, v);
    std::uint32_t type;
    std::string data;
    EXPECT_FALSE(sandbox.GetRaw(kHKCU, sandbox.base, "skipped", type, data)) << v.ToText();
  }
}

TEST_F(Accessor, ByteArraysAreStoredInIndexOrder) {
  Write("bin", REG_BINARY, Variant(std::vector<std::uint8_t>{7, 8, 9}, 1));
  EXPECT_EQ(StoredData("bin"), Bytes({7, 8, 9}));
  EXPECT_EQ(StoredType("bin"), static_cast<std::uint32_t>(REG_BINARY));

  RegistryError e = Raised([&] { Write("text", REG_BINARY, Variant("abc")); });
  EXPECT_EQ(e.number(), 26001);
  e = Raised([&] { Write("none", REG_BINARY, Variant(std::vector<std::uint8_t>{})); });
  EXPECT_EQ(e.number(), 9);
  std::uint32_t type;
  std::string data;
  EXPECT_FALSE(sandbox.GetRaw(kHKCU, sandbox.base, "none", type, data));
}

TEST_F(Accessor, UnwritableTypesRaiseButLeaveTheNewKey) {
  for (std::int32_t type : {0, 6, 7, 11}) {
    reg.SectionKey(sandbox.base + "\\new" + std::to_string(type));
    RegistryError e = Raised([&] { Write("v", static_cast<RegistryValueType>(type), Variant("x")); });
    EXPECT_EQ(e.number(), -2147194455);
    EXPECT_EQ(e.description(), "Failed to set registry value Key: '-2147483647',Section: '" + sandbox.base + "\\new" +
                                   std::to_string(type) + "',Key: 'v' to value: 'x'");
    EXPECT_EQ(e.source().substr(e.source().size() - 10), ".cRegistry");
    EXPECT_TRUE(reg.KeyExists()) << type;
  }
}

TEST_F(Accessor, ValueExSetsTheSelectionAndSubstitutesTheDefaultForEmptyText) {
  RegistryRootKey root = HKEY_CURRENT_USER;
  std::string section = sandbox.base + "\\ex";
  std::string name = "n";
  RegistryValueType type = REG_SZ;
  Variant fallback("x");
  reg.ValueEx(root, section, name, type, fallback, Variant(""));
  EXPECT_EQ(reg.SectionKey(), section);
  EXPECT_EQ(reg.ValueKey(), "n");
  EXPECT_EQ(reg.Default().AsString(), "x");

  RegistryRootKey root2 = HKEY_CURRENT_USER;
  std::string name2 = "n";
  RegistryValueType asDword = REG_DWORD;
  Variant none;
  EXPECT_EQ(reg.ValueEx(root2, section, name2, asDword, none).AsString(), "x");
  EXPECT_EQ(reg.ValueType(), REG_SZ) << "the type found replaces the argument";

  type = REG_EXPAND_SZ;
  reg.ValueEx(root, section, name, type, fallback, Variant(""));
  EXPECT_EQ(reg.ValueEx(root2, section, name2, asDword, none).AsString(), "");
}

TEST_F(Accessor, UnreachableMachineReadsTheDefaultAndWritesNothingOnce) {
  reg.Machine("no-such-machine.invalid");
  reg.ValueKey("v");
  reg.ValueType(REG_SZ);
  reg.Default(Variant("d"));
  sandbox.PutRaw(kHKCU, sandbox.base, "v", REG_SZ, Bytes({'l', 0}));
  EXPECT_EQ(reg.Value().AsString(), "d");
  EXPECT_EQ(counting->connects, 1);
  reg.Value(Variant("remote"));
  EXPECT_EQ(counting->connects, 2);
  EXPECT_EQ(StoredData("v"), Bytes({'l', 0})) << "the local value is untouched";
  // Key operations stay local whatever Machine holds.
  EXPECT_TRUE(reg.KeyExists());
}

#ifndef _WIN32
TEST(AccessorRemote, ARegisteredMachineServesValueReadsAndWritesOnly) {
  RegistrySandbox local;
  RegistrySandbox remote;
  RegisterMachineStore("farhost", remote.machineStorePath);
  cRegistry reg(local.api);
  reg.Machine("farhost");
  reg.ClassKey(HKEY_LOCAL_MACHINE);
  reg.SectionKey(local.base);
  reg.ValueKey("v");
  reg.ValueType(REG_SZ);
  reg.Value(Variant("on farhost"));
  EXPECT_EQ(reg.Value().AsString(), "on farhost");

  std::uint32_t type = 0;
  std::string data;
  EXPECT_TRUE(remote.GetRaw(kHKLM, local.base, "v", type, data));
  EXPECT_EQ(data, std::string("on farhost\0", 11));
  EXPECT_FALSE(local.Exists(kHKLM, local.base)) << "nothing is written locally";
  EXPECT_FALSE(reg.KeyExists()) << "key operations stay local";

  // A machine that serves no such root is unreachable: the read falls back, the write does nothing.
  reg.ClassKey(HKEY_CURRENT_USER);
  reg.Default(Variant("d"));
  EXPECT_EQ(reg.Value().AsString(), "d");
  reg.Value(Variant("x"));
  RegisterMachineStore("farhost", "");
  reg.ClassKey(HKEY_LOCAL_MACHINE);
  EXPECT_EQ(reg.Value().AsString(), "d") << "an unregistered machine is unreachable";
}
#endif

namespace {
// Refuses chosen calls, as a registry does under a policy or on a full disk.
class RefusingApi : public ForwardingApi {
 public:
  using ForwardingApi::ForwardingApi;
  long CreateKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) override {
    return refuseCreate ? 5 : ForwardingApi::CreateKey(parent, subKey, access, out);
  }
  long SetValue(RegHandle key, const char* name, std::uint32_t type, const std::uint8_t* data,
                std::uint32_t size) override {
    return refuseSet ? 5 : ForwardingApi::SetValue(key, name, type, data, size);
  }
  bool refuseCreate = false;
  bool refuseSet = false;
};
}  // namespace

TEST(AccessorFaults, RefusedWritesRaiseTheirErrorsAndCloseTheKey) {
  RegistrySandbox sandbox;
  auto api = std::make_shared<RefusingApi>(sandbox.api);
  cRegistry reg(api);
  reg.ClassKey(HKEY_CURRENT_USER);
  reg.SectionKey(sandbox.base);
  reg.ValueKey("v");
  reg.ValueType(REG_DWORD);

  api->refuseSet = true;
  RegistryError e = Raised([&] { reg.Value(Variant(std::int32_t{7})); });
  EXPECT_EQ(e.number(), -2147194455);
  EXPECT_EQ(e.description(), "Failed to set registry value Key: '-2147483647',Section: '" + sandbox.base +
                                 "',Key: 'v' to value: '7'");
  EXPECT_EQ(api->opened, api->closed);

  api->refuseSet = false;
  api->refuseCreate = true;
  e = Raised([&] { reg.Value(Variant(std::int32_t{7})); });
  EXPECT_EQ(e.number(), 26001);
  EXPECT_EQ(e.description(), "Failed to set registry value Key: '-2147483647',Section: '" + sandbox.base +
                                 "',Key: 'v' to value: '7'");
  e = Raised([&] { reg.CreateKey(); });
  EXPECT_EQ(e.description(), "Failed to create registry Key: '" + sandbox.base);
  EXPECT_EQ(api->opened, api->closed);
}
