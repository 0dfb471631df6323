// Test wrappers of the registry seam: a forwarding base that passes every call to a real
// implementation, a counter of open and closed handles, and a recorder of the values stored.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <cregistry/RegistryApi.h>

namespace cregistry::testing {

class ForwardingApi : public RegistryApi {
 public:
  explicit ForwardingApi(std::shared_ptr<RegistryApi> inner) : inner_(std::move(inner)) {}

  long OpenKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) override {
    long rc = inner_->OpenKey(parent, subKey, access, out);
    if (rc == 0) ++opened;
    return rc;
  }
  long CreateKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) override {
    long rc = inner_->CreateKey(parent, subKey, access, out);
    if (rc == 0) ++opened;
    return rc;
  }
  long CloseKey(RegHandle key) override {
    ++closed;
    return inner_->CloseKey(key);
  }
  long QueryValue(RegHandle key, const char* name, std::uint32_t* type, std::uint8_t* data,
                  std::uint32_t* size) override {
    return inner_->QueryValue(key, name, type, data, size);
  }
  long SetValue(RegHandle key, const char* name, std::uint32_t type, const std::uint8_t* data,
                std::uint32_t size) override {
    return inner_->SetValue(key, name, type, data, size);
  }
  long DeleteKey(RegHandle parent, const char* subKey) override { return inner_->DeleteKey(parent, subKey); }
  long DeleteValue(RegHandle key, const char* name) override { return inner_->DeleteValue(key, name); }
  long QueryInfoKey(RegHandle key, std::uint32_t& maxValueNameLen) override {
    return inner_->QueryInfoKey(key, maxValueNameLen);
  }
  long EnumValue(RegHandle key, std::uint32_t index, char* name, std::uint32_t& nameLen) override {
    return inner_->EnumValue(key, index, name, nameLen);
  }
  long EnumKey(RegHandle key, std::uint32_t index, char* name, std::uint32_t nameSize) override {
    return inner_->EnumKey(key, index, name, nameSize);
  }
  long ConnectRegistry(const char* machine, RegHandle root, RegHandle& out) override {
    ++connects;
    long rc = inner_->ConnectRegistry(machine, root, out);
    if (rc == 0) ++opened;
    return rc;
  }
  std::uint32_t ExpandEnvironment(const char* src, char* dst, std::uint32_t size) override {
    return inner_->ExpandEnvironment(src, dst, size);
  }

  RegistryApi& inner() { return *inner_; }

  // Handles handed out and handles closed, for checking that nothing outlives an operation.
  int opened = 0;
  int closed = 0;
  int connects = 0;

 private:
  std::shared_ptr<RegistryApi> inner_;
};

// One value store as the accessor made it: under which parent handle's path, with what data.
struct Store {
  std::string key;  // the sub-key path the store went to, as opened by CreateKey
  std::string name;
  std::uint32_t type;
  std::string data;
  long result;
};

// Records every SetValue with the path of the key it went to, and lets a test refuse chosen stores.
class RecordingApi : public ForwardingApi {
 public:
  using ForwardingApi::ForwardingApi;

  long CreateKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) override {
    long rc = ForwardingApi::CreateKey(parent, subKey, access, out);
    if (rc == 0) paths_.push_back({out, RootName(parent) + "\\" + subKey});
    return rc;
  }
  long SetValue(RegHandle key, const char* name, std::uint32_t type, const std::uint8_t* data,
                std::uint32_t size) override {
    Store s{PathOf(key), name, type, std::string(reinterpret_cast<const char*>(data), size), 0};
    s.result = refuse && refuse(s) ? 5 : ForwardingApi::SetValue(key, name, type, data, size);
    stores.push_back(s);
    return s.result;
  }

  static std::string RootName(RegHandle root) {
    if (root == RootHandle(static_cast<std::int32_t>(0x80000000u))) return "HKCR";
    if (root == RootHandle(static_cast<std::int32_t>(0x80000001u))) return "HKCU";
    if (root == RootHandle(static_cast<std::int32_t>(0x80000002u))) return "HKLM";
    return "?";
  }

  std::vector<Store> stores;
  std::function<bool(const Store&)> refuse;

 private:
  std::string PathOf(RegHandle key) const {
    for (auto it = paths_.rbegin(); it != paths_.rend(); ++it)
      if (it->first == key) return it->second;
    return "?";
  }
  std::vector<std::pair<RegHandle, std::string>> paths_;
};

}  // namespace cregistry::testing
