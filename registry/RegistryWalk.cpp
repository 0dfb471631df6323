#include "registry/RegistryWalk.h"

#include "registry/RegistryModel.h"

namespace cregistry {

using namespace win32;

using model::kKeyNameBytes;

long ReadValue(RegistryApi& api, RegHandle key, const std::string& name, RawValue& out) {
  out.name = name;
  // First with the room the data had last time (at least 256 bytes): most values fit, and one call
  // answers both the size and the data.
  std::uint32_t size = static_cast<std::uint32_t>(out.data.capacity() < 256 ? 256 : out.data.capacity());
  for (int attempt = 0; attempt < 8; ++attempt) {
    out.data.resize(size);
    std::uint32_t got = size;
    long rc = api.QueryValue(key, name.c_str(), &out.type, reinterpret_cast<std::uint8_t*>(out.data.data()), &got);
    if (rc == kSuccess) {
      out.data.resize(got);
      return kSuccess;
    }
    if (rc != kMoreData) return rc;
    size = got > size ? got : size * 2;  // the size needed (or, if it grew meanwhile, more)
  }
  return kMoreData;
}

long ReadValues(RegistryApi& api, RegHandle key, std::vector<RawValue>& out) {
  out.clear();
  // No query of the longest name first (under Wine that is one more server call for every key): room
  // for most names, and a longer one takes the two-call path below, which makes room for it.
  std::string name(1024, '\0');
  std::string data(256, '\0');
  for (std::uint32_t index = 0;; ++index) {
    // One call for the name, type and data; when either does not fit, the index again in two calls.
    std::uint32_t len = static_cast<std::uint32_t>(name.size());
    std::uint32_t size = static_cast<std::uint32_t>(data.size());
    RawValue value;
    long rc = api.EnumValueData(key, index, name.data(), len, &value.type, reinterpret_cast<std::uint8_t*>(data.data()),
                                &size);
    if (rc == kSuccess) {
      value.name.assign(name.data(), len);
      value.data.assign(data.data(), size);
      out.push_back(std::move(value));
      continue;
    }
    if (rc == kNoMoreItems) return kSuccess;
    if (rc == kFileNotFound) continue;  // deleted between the two calls of the default EnumValueData
    if (rc != kMoreData) return rc;
    len = static_cast<std::uint32_t>(name.size());
    rc = api.EnumValue(key, index, name.data(), len);
    if (rc == kNoMoreItems) return kSuccess;
    if (rc == kMoreData) {
      // A name longer than the room (or one that grew meanwhile): this index again, with more room.
      name.assign(name.size() * 2, '\0');
      --index;
      continue;
    }
    if (rc != kSuccess) return rc;
    rc = ReadValue(api, key, std::string(name.data(), len), value);
    if (rc == kFileNotFound) continue;  // deleted meanwhile
    if (rc != kSuccess) return rc;
    // Room for data this large in the next one-call steps.
    if (value.data.size() > data.size()) data.assign(value.data.size(), '\0');
    out.push_back(std::move(value));
  }
}

long ListSubKeys(RegistryApi& api, RegHandle key, std::vector<std::string>& out) {
  out.clear();
  std::string name(kKeyNameBytes, '\0');
  for (std::uint32_t index = 0;; ++index) {
    long rc = api.EnumKey(key, index, name.data(), kKeyNameBytes);
    if (rc == kNoMoreItems) return kSuccess;
    if (rc != kSuccess) return rc;
    out.emplace_back(name.c_str());
  }
}

long DeleteTree(RegistryApi& api, RegHandle parent, const std::string& subKey) {
  {
    KeyHandle key(api);
    if (long rc = api.OpenKey(parent, subKey.c_str(), kKeyAllAccess, key.out())) return rc;
    std::vector<std::string> children;
    if (long rc = ListSubKeys(api, key.get(), children)) return rc;
    for (const auto& child : children) {
      long rc = DeleteTree(api, key.get(), child);
      if (rc != kSuccess && rc != kFileNotFound) return rc;
    }
  }
  return api.DeleteKey(parent, subKey.c_str());
}

namespace {

long Walk(RegistryApi& api, RegHandle key, const std::string& relative,
          const std::function<long(const std::string&, RegHandle)>& visit, std::string& failedPath) {
  if (long rc = visit(relative, key)) {
    failedPath = relative;
    return rc;
  }
  std::vector<std::string> children;
  if (long rc = ListSubKeys(api, key, children)) {
    failedPath = relative;
    return rc;
  }
  for (const auto& child : children) {
    std::string path = relative.empty() ? child : relative + "\\" + child;
    KeyHandle sub(api);
    long rc = api.OpenKey(key, child.c_str(), kKeyRead, sub.out());
    if (rc == kFileNotFound) continue;  // deleted meanwhile
    if (rc != kSuccess) {
      failedPath = path;
      return rc;
    }
    if ((rc = Walk(api, sub.get(), path, visit, failedPath))) return rc;
  }
  return kSuccess;
}

}  // namespace

long WalkTree(RegistryApi& api, RegHandle key,
              const std::function<long(const std::string& relative, RegHandle key)>& visit,
              std::string& failedPath) {
  return Walk(api, key, "", visit, failedPath);
}

}  // namespace cregistry
