// A caller that includes <windows.h>, before or after the accessor's header, still selects roots and
// types by their usual names.
#ifdef _WIN32
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include <cregistry/cRegistry.h>
#include "support/RegistrySandbox.h"

using namespace cregistry;

TEST(WindowsHeaders, RootAndTypeNamesWorkWhateverTheIncludeOrder) {
  cregistry::testing::RegistrySandbox sandbox;
  cregistry::cRegistry reg(sandbox.api);
  reg.ClassKey(HKEY_CURRENT_USER);
  reg.ValueType(REG_EXPAND_SZ);
  EXPECT_EQ(static_cast<std::uint32_t>(reg.ClassKey()), 0x80000001u);
  EXPECT_EQ(reg.ValueType(), 2);
  reg.ClassKey(HKEY_LOCAL_MACHINE);
  reg.ValueType(REG_DWORD_BIG_ENDIAN);
  EXPECT_EQ(static_cast<std::uint32_t>(reg.ClassKey()), 0x80000002u);
  EXPECT_EQ(reg.ValueType(), 5);
}
