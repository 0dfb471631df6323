// A registry seam that passes every call to another one: the base of wrappers that change a few calls
// (the tool's registry views, the tests' fault injection and counting). EnumValueData keeps the seam's
// own default, so that it goes through the wrapper's EnumValue and QueryValue.
#pragma once

#include <memory>
#include <utility>

#include <cregistry/RegistryApi.h>

namespace cregistry {

class ForwardingRegistryApi : public RegistryApi {
 public:
  explicit ForwardingRegistryApi(std::shared_ptr<RegistryApi> inner) : inner_(std::move(inner)) {}

  long OpenKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) override {
    return inner_->OpenKey(parent, subKey, access, out);
  }
  long CreateKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) override {
    return inner_->CreateKey(parent, subKey, access, out);
  }
  long CloseKey(RegHandle key) override { return inner_->CloseKey(key); }
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
    return inner_->ConnectRegistry(machine, root, out);
  }
  std::uint32_t ExpandEnvironment(const char* src, char* dst, std::uint32_t size) override {
    return inner_->ExpandEnvironment(src, dst, size);
  }

  RegistryApi& inner() { return *inner_; }

 protected:
  std::shared_ptr<RegistryApi> inner_;
};

}  // namespace cregistry
