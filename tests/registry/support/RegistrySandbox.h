// A real registry for one test: on Windows the registry itself (Wine's, under the test runner), on
// Linux a registry store in a fresh temporary file. The test works below its own sub-key of
// HKEY_CURRENT_USER, and whatever it registered under the class roots is removed afterwards.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <cregistry/RegistryApi.h>

namespace cregistry::testing {

inline constexpr std::int32_t kHKCR = static_cast<std::int32_t>(0x80000000u);
inline constexpr std::int32_t kHKCU = static_cast<std::int32_t>(0x80000001u);
inline constexpr std::int32_t kHKLM = static_cast<std::int32_t>(0x80000002u);

// Sets a variable of the process environment, where the platform's expansion reads it.
void SetEnv(const char* name, const char* value);

class RegistrySandbox {
 public:
  RegistrySandbox();
  ~RegistrySandbox();
  RegistrySandbox(const RegistrySandbox&) = delete;
  RegistrySandbox& operator=(const RegistrySandbox&) = delete;

  std::shared_ptr<RegistryApi> api;
  // The store file behind api (Linux only), and the one that holds its HKEY_LOCAL_MACHINE (the same file,
  // or the machine store beside it when the suites run on two files: support/TestStore.h).
  std::string storePath;
  std::string machineStorePath;
  // A fresh sub-key path below HKEY_CURRENT_USER, unique to this test ("Software\...\t<n>").
  std::string base;
  // A unique name for things that must live elsewhere (extensions, class names); removed at the end
  // from HKEY_CLASSES_ROOT and HKEY_LOCAL_MACHINE\SOFTWARE\Classes.
  std::string UniqueClassName(const std::string& stem);

  // Stores raw data directly through the seam, as another program would.
  void PutRaw(std::int32_t root, const std::string& path, const std::string& name, std::uint32_t type,
              const std::string& data);
  // Reads raw data directly through the seam; false when missing.
  bool GetRaw(std::int32_t root, const std::string& path, const std::string& name, std::uint32_t& type,
              std::string& data);
  bool Exists(std::int32_t root, const std::string& path);

  // Deletes a key and everything below it.
  void RemoveTree(std::int32_t root, const std::string& path);

 private:
  std::string storeDir_;
  std::vector<std::string> classNames_;
};

}  // namespace cregistry::testing
