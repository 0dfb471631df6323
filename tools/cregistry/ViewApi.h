// The registry as a verb sees it with /reg:32 or /reg:64: every key it opens or creates carries the view
// flag (KEY_WOW64_32KEY or KEY_WOW64_64KEY), so that the registry (advapi32, or the store) redirects it
// as 64-bit Windows does; a key is deleted through its parent opened in that view. Transactions and
// snapshots, where the wrapped registry has them, are its own.
#pragma once

#include <cstdint>
#include <memory>

#include <cregistry/RegistryApi.h>
#include "registry/ForwardingRegistryApi.h"
#include "registry/TransactionalApi.h"

namespace cregistry::tool {

// The registry inner seen in view (kKeyWow64_32Key or kKeyWow64_64Key).
std::shared_ptr<RegistryApi> WithView(std::shared_ptr<RegistryApi> inner, std::uint32_t view);

class ViewApi : public ForwardingRegistryApi {
 public:
  ViewApi(std::shared_ptr<RegistryApi> inner, std::uint32_t view) : ForwardingRegistryApi(std::move(inner)), view_(view) {}

  long OpenKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) override;
  long CreateKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) override;
  long DeleteKey(RegHandle parent, const char* subKey) override;
  // The wrapped registry's own, which lists values with their data in one call where it can.
  long EnumValueData(RegHandle key, std::uint32_t index, char* name, std::uint32_t& nameLen, std::uint32_t* type,
                     std::uint8_t* data, std::uint32_t* size) override {
    return inner_->EnumValueData(key, index, name, nameLen, type, data, size);
  }

 private:
  std::uint32_t view_;
};

class TransactionalViewApi : public ViewApi, public TransactionalApi {
 public:
  TransactionalViewApi(std::shared_ptr<RegistryApi> inner, TransactionalApi& transactional, std::uint32_t view)
      : ViewApi(std::move(inner), view), transactional_(transactional) {}
  long BeginTransaction() override { return transactional_.BeginTransaction(); }
  long EndTransaction(bool commit) override { return transactional_.EndTransaction(commit); }
  long BeginSnapshot() override { return transactional_.BeginSnapshot(); }
  void EndSnapshot() override { transactional_.EndSnapshot(); }

 private:
  TransactionalApi& transactional_;
};

}  // namespace cregistry::tool
