// Value reads against a value that changes between the size and the data query, reads and writes at the
// limits of sizes and types, the machine name's characters, and the accessor's rules that each need a
// refused call or an odd value to show.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include <cregistry/cRegistry.h>
#ifndef _WIN32
#include <cregistry/Store.h>
#endif
#include "support/ForwardingApi.h"
#include "support/Raised.h"
#include "support/RegistrySandbox.h"

namespace cregistry {
bool NarrowTextIsUtf8();  // the platform's (Process.cpp)
}  // namespace cregistry

using namespace cregistry;
using namespace cregistry::testing;

namespace {

// Rewrites a value just before chosen data queries reach the registry, as another process would, and can
// scribble over the buffer of a query answered "more data" (Windows leaves it undefined) or fail the
// expansion of environment references.
class ChangingApi : public ForwardingApi {
 public:
  ChangingApi(std::shared_ptr<RegistryApi> inner, RegistrySandbox& sandbox) : ForwardingApi(std::move(inner)), sandbox_(sandbox) {}

  long QueryValue(RegHandle key, const char* name, std::uint32_t* type, std::uint8_t* data,
                  std::uint32_t* size) override {
    if (data != nullptr) {
      ++dataQueries;
      if (!changes.empty()) {
        sandbox_.PutRaw(kHKCU, sandbox_.base, name, changes.front().first, changes.front().second);
        changes.erase(changes.begin());
      }
    }
    const std::uint32_t capacity = size != nullptr ? *size : 0;
    long rc = ForwardingApi::QueryValue(key, name, type, data, size);
    if (rc == 234 && data != nullptr && scribble) std::memset(data, 0xAB, capacity);
    return rc;
  }
  std::uint32_t ExpandEnvironment(const char* src, char* dst, std::uint32_t size) override {
    return failExpansion ? 0 : ForwardingApi::ExpandEnvironment(src, dst, size);
  }

  // Type and data written before each of the next data queries.
  std::vector<std::pair<std::uint32_t, std::string>> changes;
  bool scribble = false;
  bool failExpansion = false;
  int dataQueries = 0;

 private:
  RegistrySandbox& sandbox_;
};

class ValueHardening : public ::testing::Test {
 protected:
  ValueHardening() : api(std::make_shared<ChangingApi>(sandbox.api, sandbox)), reg(api) {
    reg.ClassKey(HKEY_CURRENT_USER);
    reg.SectionKey(sandbox.base);
    reg.Default(Variant("<default>"));
  }
  ~ValueHardening() override { EXPECT_EQ(api->opened, api->closed); }

  Variant Read(const std::string& name) {
    reg.ValueKey(name);
    return reg.Value();
  }

  RegistrySandbox sandbox;
  std::shared_ptr<ChangingApi> api;
  cRegistry reg;
};

std::string Sz(const std::string& text) { return text + std::string(1, '\0'); }

}  // namespace

TEST_F(ValueHardening, AValueThatShrinksOrGrowsBetweenTheTwoQueriesIsReadAgainWhole) {
  sandbox.PutRaw(kHKCU, sandbox.base, "v", REG_SZ, Sz("a rather long old text"));
  api->changes = {{REG_SZ, Sz("short")}};
  EXPECT_EQ(Read("v").AsString(), "short") << "never the new text padded to the old length";
  EXPECT_EQ(api->dataQueries, 2);

  api->changes = {{REG_SZ, Sz("grown well beyond the size first answered")}};
  api->dataQueries = 0;
  EXPECT_EQ(Read("v").AsString(), "grown well beyond the size first answered");
  EXPECT_EQ(api->dataQueries, 2);

  // Another type of the same size, then back: the answer is of one type and its own data.
  sandbox.PutRaw(kHKCU, sandbox.base, "d", REG_DWORD, std::string("\x01\0\0\0", 4));
  api->changes = {{REG_BINARY, std::string("\x02\0\0\0", 4)}};
  Variant changed = Read("d");
  ASSERT_EQ(changed.kind(), Variant::Kind::ByteArray);
  EXPECT_EQ(changed.AsByteArray().bytes, (std::vector<std::uint8_t>{2, 0, 0, 0}));
  EXPECT_EQ(reg.ValueType(), REG_BINARY);
}

TEST_F(ValueHardening, AValueThatKeepsChangingReadsAsTheDefault) {
  sandbox.PutRaw(kHKCU, sandbox.base, "v", REG_SZ, Sz("x"));
  for (int i = 0; i < 20; ++i) api->changes.push_back({REG_SZ, Sz(std::string(static_cast<std::size_t>(i % 2 == 0 ? 30 : 1), 'y'))});
  EXPECT_EQ(Read("v").AsString(), "<default>");
  EXPECT_GT(api->dataQueries, 1);
  EXPECT_LT(api->dataQueries, 20) << "the read gives up after a few rounds";
}

TEST_F(ValueHardening, ADwordLongerThanFourBytesReadsAsZeroWhateverTheBufferHolds) {
  api->scribble = true;
  sandbox.PutRaw(kHKCU, sandbox.base, "wide", REG_DWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
  sandbox.PutRaw(kHKCU, sandbox.base, "wideBe", REG_DWORD_BIG_ENDIAN, std::string("\x01\x02\x03\x04\x05", 5));
  EXPECT_EQ(Read("wide").AsLong(), 0);
  EXPECT_EQ(reg.ValueType(), REG_DWORD);
  EXPECT_EQ(Read("wideBe").AsLong(), 0);
  EXPECT_EQ(reg.ValueType(), REG_DWORD_BIG_ENDIAN);
}

TEST_F(ValueHardening, TextOfNoBytesReadsAsEmptyTextNotAsTheDefault) {
  sandbox.PutRaw(kHKCU, sandbox.base, "empty", REG_SZ, "");
  reg.ValueType(REG_BINARY);
  Variant v = Read("empty");
  ASSERT_EQ(v.kind(), Variant::Kind::String);
  EXPECT_EQ(v.AsString(), "");
  EXPECT_EQ(reg.ValueType(), REG_SZ);
}

TEST_F(ValueHardening, AFailedExpansionLeavesTheTextAsItStands) {
  sandbox.PutRaw(kHKCU, sandbox.base, "path", REG_EXPAND_SZ, Sz("%SystemRoot%\\x"));
  api->failExpansion = true;
  EXPECT_EQ(Read("path").AsString(), "%SystemRoot%\\x");
}

TEST_F(ValueHardening, ValueExConvertsToTextOnlyForText) {
  RegistryRootKey root = HKEY_CURRENT_USER;
  std::string section = sandbox.base;
  std::string name = "bin";
  RegistryValueType type = REG_BINARY;
  Variant fallback(std::vector<std::uint8_t>{9});
  reg.ValueEx(root, section, name, type, fallback, Variant(std::vector<std::uint8_t>{1, 2, 3}));
  std::uint32_t stored = 0;
  std::string data;
  ASSERT_TRUE(sandbox.GetRaw(kHKCU, sandbox.base, "bin", stored, data));
  EXPECT_EQ(stored, static_cast<std::uint32_t>(REG_BINARY));
  EXPECT_EQ(data, std::string("\x01\x02\x03", 3));

  name = "dw";
  type = REG_DWORD;
  reg.ValueEx(root, section, name, type, fallback, Variant(std::int32_t{0}));
  ASSERT_TRUE(sandbox.GetRaw(kHKCU, sandbox.base, "dw", stored, data));
  EXPECT_EQ(data, std::string(4, '\0')) << "a zero is written, not replaced by the default";
}

TEST(AccessorMachine, TheThreeCharacterRuleCountsCharactersNotBytes) {
  if (!NarrowTextIsUtf8()) GTEST_SKIP() << "the ANSI code page is not UTF-8: a byte is a character";
  cRegistry reg(std::make_shared<ForwardingApi>(nullptr));
  reg.Machine("\xC3\xA9\xC3\xA9");  // two characters, four bytes
  EXPECT_EQ(reg.Machine(), "");
  reg.Machine("\xC3\xA9\xC3\xA9\xC3\xA9");
  EXPECT_EQ(reg.Machine(), "\\\\\xC3\xA9\xC3\xA9\xC3\xA9");
  reg.Machine("\\\xC3\xA9");
  EXPECT_EQ(reg.Machine(), "");
}

TEST(AccessorObject, ByteArrayBoundsAreDefinedAtTheEdgesOfTheIndexRange) {
  ByteArray high{{1, 2, 3}, INT32_MAX};
  EXPECT_EQ(high.upper(), std::int64_t{INT32_MAX} + 2);
  ByteArray low{{}, INT32_MIN};
  EXPECT_EQ(low.upper(), std::int64_t{INT32_MIN} - 1);
}

#ifndef _WIN32
// Sizes the database cannot bind are refused before any byte of the data is read (the buffer here is
// far smaller than the size claimed, as a caller's wrong size would be).
TEST(StoreSizes, ASizeBeyondWhatTheStoreBindsIsRefusedWith87AndStoresNothing) {
  RegistrySandbox sandbox;
  KeyHandle key(*sandbox.api);
  ASSERT_EQ(sandbox.api->CreateKey(RootHandle(kHKCU), sandbox.base.c_str(), 0x3F, key.out()), 0);
  const std::uint8_t small[8] = {};
  EXPECT_EQ(sandbox.api->SetValue(key.get(), "huge", REG_BINARY, small, 0x80000000u), 87);
  EXPECT_EQ(sandbox.api->SetValue(key.get(), "huge", REG_BINARY, small, 0xFFFFFFFFu), 87);
  EXPECT_EQ(sandbox.api->SetValue(key.get(), "huge", REG_BINARY, small, 1500000000u), 87);
  std::uint32_t size = 0;
  EXPECT_EQ(sandbox.api->QueryValue(key.get(), "huge", nullptr, nullptr, &size), 2);
}
#endif
