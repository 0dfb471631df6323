// The registry seam under test, on a real registry: natively a registry store in a fresh temporary
// file; on Windows the advapi32 seam (under Wine when run here), inside a fresh sub-key of
// HKEY_CURRENT_USER\Software\cregistry-seam-tests that is removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <cregistry/RegistryApi.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <cregistry/Store.h>
#include "tests/registry/support/TestStore.h"
#endif

namespace cregistry::seamtest {

#ifndef _WIN32
using teststores::OpenTestStore;
#endif

inline constexpr RegHandle kHKCR = RootHandle(static_cast<std::int32_t>(0x80000000u));
inline constexpr RegHandle kHKCU = RootHandle(static_cast<std::int32_t>(0x80000001u));
inline constexpr RegHandle kHKLM = RootHandle(static_cast<std::int32_t>(0x80000002u));
inline constexpr std::uint32_t kAll = win32::kKeySpecificRights;

inline long ProcessId() {
#ifdef _WIN32
  return static_cast<long>(GetCurrentProcessId());
#else
  return static_cast<long>(getpid());
#endif
}

// True when the Windows build runs under Wine (whose registry differs from Windows in a few listed
// ways); false natively and on Windows itself.
inline bool UnderWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

inline std::string UniqueName(const std::string& stem) {
  static std::atomic<int> counter{0};
  return stem + std::to_string(ProcessId()) + "-" + std::to_string(counter++);
}

// Deletes a key and everything below it, each key through its parent's handle (Wine's narrow calls
// refuse paths of more than 260 characters).
inline void RemoveTree(RegistryApi& api, RegHandle parent, const std::string& name) {
  KeyHandle key(api);
  if (api.OpenKey(parent, name.c_str(), win32::kKeyEnumerateSubKeys, key.out()) != 0) return;
  std::vector<std::string> children;
  char child[300];
  for (std::uint32_t i = 0; api.EnumKey(key.get(), i, child, sizeof child) == 0; ++i) children.emplace_back(child);
  for (const auto& c : children) RemoveTree(api, key.get(), c);
  key.reset();
  api.DeleteKey(parent, name.c_str());
}

class SeamTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    api_ = DefaultRegistryApi();
#else
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/cregistry-seam-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    storePath_ = dir_ + "/registry.db";
    api_ = OpenTestStore(storePath_);
#endif
    basePath_ = "Software\\cregistry-seam-tests\\" + UniqueName("t");
    ASSERT_EQ(api_->CreateKey(kHKCU, basePath_.c_str(), 0xF003F, base_), 0);
  }

  void TearDown() override {
    if (base_ != 0) api_->CloseKey(base_);
    RemoveTree(*api_, kHKCU, basePath_);
    api_.reset();
#ifndef _WIN32
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
#endif
  }

  RegistryApi& api() { return *api_; }

  // Creates a sub-key of the test's key (and closes it).
  void Key(const std::string& path) {
    KeyHandle h(*api_);
    ASSERT_EQ(api_->CreateKey(base_, path.c_str(), kAll, h.out()), 0) << path;
  }
  long SetBytes(RegHandle key, const std::string& name, std::uint32_t type, const std::string& data) {
    return api_->SetValue(key, name.c_str(), type, reinterpret_cast<const std::uint8_t*>(data.data()),
                          static_cast<std::uint32_t>(data.size()));
  }
  long SetDword(RegHandle key, const std::string& name, std::uint32_t v) {
    return api_->SetValue(key, name.c_str(), 4, reinterpret_cast<const std::uint8_t*>(&v), 4);
  }
  // The value's type and bytes, or the failure code.
  long Get(RegHandle key, const std::string& name, std::uint32_t& type, std::string& data) {
    std::uint32_t size = 0;
    long rc = api_->QueryValue(key, name.c_str(), &type, nullptr, &size);
    if (rc != 0) return rc;
    data.assign(size + 1, '\x7f');
    rc = api_->QueryValue(key, name.c_str(), &type, reinterpret_cast<std::uint8_t*>(data.data()), &size);
    data.resize(size);
    return rc;
  }
  std::vector<std::string> SubKeys(RegHandle key) {
    std::vector<std::string> names;
    char name[300];
    for (std::uint32_t i = 0; api_->EnumKey(key, i, name, sizeof name) == 0; ++i) names.emplace_back(name);
    return names;
  }
  std::vector<std::string> Values(RegHandle key) {
    std::vector<std::string> names;
    std::vector<char> name(20000);
    for (std::uint32_t i = 0;; ++i) {
      auto len = static_cast<std::uint32_t>(name.size());
      if (api_->EnumValue(key, i, name.data(), len) != 0) break;
      names.emplace_back(name.data(), len);
    }
    return names;
  }

  std::shared_ptr<RegistryApi> api_;
  std::string dir_;
  std::string storePath_;
  std::string basePath_;
  RegHandle base_ = 0;
};

}  // namespace cregistry::seamtest
