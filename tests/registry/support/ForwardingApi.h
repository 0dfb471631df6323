// Test wrappers of the registry seam: a forwarding base that passes every call to a real
// implementation, a counter of open and closed handles, and a recorder of the values stored.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <cregistry/RegistryApi.h>
#include "registry/ForwardingRegistryApi.h"

namespace cregistry::testing {

// Counts the handles it hands out and closes, and the remote connections.
class ForwardingApi : public ForwardingRegistryApi {
 public:
  using ForwardingRegistryApi::ForwardingRegistryApi;

  long OpenKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) override {
    long rc = ForwardingRegistryApi::OpenKey(parent, subKey, access, out);
    if (rc == 0) ++opened;
    return rc;
  }
  long CreateKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) override {
    long rc = ForwardingRegistryApi::CreateKey(parent, subKey, access, out);
    if (rc == 0) ++opened;
    return rc;
  }
  long CloseKey(RegHandle key) override {
    ++closed;
    return ForwardingRegistryApi::CloseKey(key);
  }
  long ConnectRegistry(const char* machine, RegHandle root, RegHandle& out) override {
    ++connects;
    long rc = ForwardingRegistryApi::ConnectRegistry(machine, root, out);
    if (rc == 0) ++opened;
    return rc;
  }

  // Handles handed out and handles closed, for checking that nothing outlives an operation.
  int opened = 0;
  int closed = 0;
  int connects = 0;
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
