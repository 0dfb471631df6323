#include "support/RegistrySandbox.h"

#include <atomic>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/TestStore.h"
#endif

namespace cregistry::testing {

namespace {
std::atomic<int> counter{0};

long ProcessId() {
#ifdef _WIN32
  return static_cast<long>(GetCurrentProcessId());
#else
  return static_cast<long>(getpid());
#endif
}
}  // namespace

void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
  SetEnvironmentVariableA(name, value);
#else
  setenv(name, value, 1);
#endif
}

RegistrySandbox::RegistrySandbox() {
  const std::string unique = std::to_string(ProcessId()) + "-" + std::to_string(counter++);
#ifdef _WIN32
  api = DefaultRegistryApi();
#else
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/cregistry-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  storeDir_ = pattern;
  storePath = storeDir_ + "/registry.db";
  api = teststores::OpenTestStore(storePath);
  machineStorePath = teststores::SplitStores() ? teststores::MachineStoreBeside(storePath) : storePath;
#endif
  base = "Software\\cregistry-tests\\t" + unique;
}

RegistrySandbox::~RegistrySandbox() {
  RemoveTree(kHKCU, base);
  for (const auto& name : classNames_) {
    RemoveTree(kHKCR, name);
    RemoveTree(kHKCR, "." + name);
    RemoveTree(kHKLM, "SOFTWARE\\Classes\\" + name);
    RemoveTree(kHKLM, "SOFTWARE\\Classes\\." + name);
  }
  api.reset();
#ifndef _WIN32
  std::error_code ec;
  std::filesystem::remove_all(storeDir_, ec);
#endif
}

std::string RegistrySandbox::UniqueClassName(const std::string& stem) {
  std::string name = stem + std::to_string(ProcessId()) + "x" + std::to_string(counter++);
  classNames_.push_back(name);
  return name;
}

void RegistrySandbox::PutRaw(std::int32_t root, const std::string& path, const std::string& name,
                             std::uint32_t type, const std::string& data) {
  KeyHandle key(*api);
  if (api->CreateKey(RootHandle(root), path.c_str(), win32::kKeySpecificRights, key.out()) != 0)
    throw std::runtime_error("cannot create " + path);
  if (api->SetValue(key.get(), name.c_str(), type, reinterpret_cast<const std::uint8_t*>(data.data()),
                    static_cast<std::uint32_t>(data.size())) != 0)
    throw std::runtime_error("cannot set " + name);
}

bool RegistrySandbox::GetRaw(std::int32_t root, const std::string& path, const std::string& name,
                             std::uint32_t& type, std::string& data) {
  KeyHandle key(*api);
  if (api->OpenKey(RootHandle(root), path.c_str(), win32::kKeyQueryValue, key.out()) != 0) return false;
  std::uint32_t size = 0;
  long rc = api->QueryValue(key.get(), name.c_str(), &type, nullptr, &size);
  if (rc != 0 && rc != win32::kMoreData) return false;
  data.assign(size, '\0');
  if (size > 0 &&
      api->QueryValue(key.get(), name.c_str(), &type, reinterpret_cast<std::uint8_t*>(data.data()), &size) != 0)
    return false;
  data.resize(size);
  return true;
}

bool RegistrySandbox::Exists(std::int32_t root, const std::string& path) {
  KeyHandle key(*api);
  return api->OpenKey(RootHandle(root), path.c_str(), win32::kKeyQueryValue, key.out()) == 0;
}

void RegistrySandbox::RemoveTree(std::int32_t root, const std::string& path) {
  std::vector<std::string> children;
  {
    KeyHandle key(*api);
    if (api->OpenKey(RootHandle(root), path.c_str(), win32::kKeyEnumerateSubKeys, key.out()) != 0) return;
    char name[256];
    for (std::uint32_t i = 0; api->EnumKey(key.get(), i, name, sizeof name) == 0; ++i) children.emplace_back(name);
  }
  for (const auto& child : children) RemoveTree(root, path + "\\" + child);
  api->DeleteKey(RootHandle(root), path.c_str());
}

}  // namespace cregistry::testing
