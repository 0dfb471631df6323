// RunAsOneTransaction on both seam implementations: where a transaction exists (the registry store) its
// calls land together or not at all; on advapi32 the body simply runs. The store's part uses a real
// store file, other connections, other threads and a writer process killed in the middle.
#include <stdexcept>
#include <string>
#include <vector>

#include <cregistry/RegistryTransaction.h>
#include "../support/ForwardingApi.h"
#include "SeamFixture.h"

namespace cregistry::seamtest {
namespace {

using namespace win32;

bool StoreBuild() {
#ifdef _WIN32
  return false;
#else
  return true;
#endif
}

TEST_F(SeamTest, TransactionsAreOfferedByTheStoreOnly) {
  EXPECT_EQ(SupportsTransactions(api()), StoreBuild());
  testing::ForwardingApi wrapper(api_);
  EXPECT_FALSE(SupportsTransactions(wrapper)) << "a wrapper cannot promise what it forwards";
}

TEST_F(SeamTest, ATransactionThatSucceedsKeepsEverythingAndANestedOneIsRefused) {
  long nested = -1;
  long rc = RunAsOneTransaction(api(), [&]() -> long {
    KeyHandle k(api());
    if (long r = api().CreateKey(base_, "tx\\child", kAll, k.out())) return r;
    if (long r = SetDword(k.get(), "v", 42)) return r;
    nested = RunAsOneTransaction(api(), [&]() -> long { return SetDword(k.get(), "nested", 1); });
    return SetDword(base_, "top", 7);
  });
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(nested, kInvalidParameter);
  KeyHandle k(api());
  ASSERT_EQ(api().OpenKey(base_, "tx\\child", kAll, k.out()), 0);
  std::uint32_t type = 0;
  std::string data;
  EXPECT_EQ(Get(k.get(), "v", type, data), 0);
  EXPECT_EQ(Get(k.get(), "nested", type, data), kFileNotFound) << "the nested body must not run";
  EXPECT_EQ(Get(base_, "top", type, data), 0);
  // The connection is free again for the next one.
  EXPECT_EQ(RunAsOneTransaction(api(), [&]() -> long { return SetDword(base_, "again", 1); }), 0);
  EXPECT_EQ(Get(base_, "again", type, data), 0);
}

TEST_F(SeamTest, AFailingBodyPassesItsCodeOnAndKeepsNothingWhereTransactionsExist) {
  ASSERT_EQ(SetDword(base_, "before", 1), 0);
  long rc = RunAsOneTransaction(api(), [&]() -> long {
    if (long r = SetDword(base_, "before", 2)) return r;
    if (long r = SetDword(base_, "during", 3)) return r;
    return kAccessDenied;
  });
  EXPECT_EQ(rc, kAccessDenied);
  std::uint32_t type = 0;
  std::string data;
  ASSERT_EQ(Get(base_, "before", type, data), 0);
  // advapi32 has no transaction: there, what the body did before failing stays.
  EXPECT_EQ(data, std::string(StoreBuild() ? "\x01" : "\x02", 1) + std::string(3, '\0'));
  EXPECT_EQ(Get(base_, "during", type, data), StoreBuild() ? kFileNotFound : kSuccess);

  EXPECT_THROW(RunAsOneTransaction(api(), [&]() -> long { throw std::runtime_error("thrown"); }),
               std::runtime_error);
  EXPECT_EQ(RunAsOneTransaction(api(), nullptr), kInvalidParameter);
}

}  // namespace
}  // namespace cregistry::seamtest
