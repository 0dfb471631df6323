// The registry calls over one hive file (OpenHiveFile): a transaction lands whole or not at all, in the
// file and in what the connection reads afterwards, and a read-only connection writes nothing.
#include <cregistry/RegistryTransaction.h>
#include <cregistry/Store.h>

#include "HiveTestSupport.h"

namespace cregistry::hive::test {
namespace {

using namespace win32;
const RegHandle kRoot = RootHandle(static_cast<std::int32_t>(0x80000002u));

class HiveApi : public HiveDir {};

long SetText(RegistryApi& api, RegHandle key, const char* name, const std::string& text) {
  return api.SetValue(key, name, 1, reinterpret_cast<const std::uint8_t*>(text.c_str()),
                      static_cast<std::uint32_t>(text.size() + 1));
}

TEST_F(HiveApi, TransactionLandsWholeOrNotAtAll) {
  HiveError error;
  auto empty = HiveFile::CreateEmpty(error);
  ASSERT_TRUE(empty) << error.message;
  ASSERT_EQ(empty->Commit(Path("h.hiv"), Replace::kNo, error), kSuccess) << error.message;
  const std::string before = ReadAll(Path("h.hiv"));
  auto api = OpenHiveFile(Path("h.hiv"), true);
  ASSERT_TRUE(api);

  // Taken back: neither the file nor the connection keeps any of it.
  EXPECT_EQ(RunAsOneTransaction(*api, [&]() -> long {
              KeyHandle key(*api);
              if (long rc = api->CreateKey(kRoot, "A\\B", kKeyAllAccess, key.out())) return rc;
              if (long rc = SetText(*api, key.get(), "v", "1")) return rc;
              return kAccessDenied;
            }),
            kAccessDenied);
  EXPECT_EQ(ReadAll(Path("h.hiv")), before);
  KeyHandle gone(*api);
  EXPECT_EQ(api->OpenKey(kRoot, "A", kKeyRead, gone.out()), kFileNotFound);

  // Landed: a refused call inside (a key with sub-keys is not deleted) changes nothing of the rest.
  EXPECT_EQ(RunAsOneTransaction(*api, [&]() -> long {
              KeyHandle key(*api);
              if (long rc = api->CreateKey(kRoot, "A\\B", kKeyAllAccess, key.out())) return rc;
              EXPECT_EQ(api->DeleteKey(kRoot, "A"), kAccessDenied);
              return SetText(*api, key.get(), "v", "2");
            }),
            kSuccess);
  auto reader = OpenHiveFile(Path("h.hiv"), false);
  ASSERT_TRUE(reader);
  KeyHandle key(*reader);
  ASSERT_EQ(reader->OpenKey(kRoot, "a\\b", kKeyRead, key.out()), kSuccess);
  char data[8] = {};
  std::uint32_t size = sizeof data, type = 0;
  EXPECT_EQ(reader->QueryValue(key.get(), "V", &type, reinterpret_cast<std::uint8_t*>(data), &size), kSuccess);
  EXPECT_EQ(std::string(data, size), std::string("2\0", 2));
  EXPECT_EQ(SetText(*reader, key.get(), "w", "3"), kAccessDenied);
}

}  // namespace
}  // namespace cregistry::hive::test
