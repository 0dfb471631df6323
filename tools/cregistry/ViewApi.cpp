#include "tools/cregistry/ViewApi.h"

#include <string>

namespace cregistry::tool {

using namespace win32;

std::shared_ptr<RegistryApi> WithView(std::shared_ptr<RegistryApi> inner, std::uint32_t view) {
  if (auto* transactional = dynamic_cast<TransactionalApi*>(inner.get())) {
    return std::make_shared<TransactionalViewApi>(std::move(inner), *transactional, view);
  }
  return std::make_shared<ViewApi>(std::move(inner), view);
}

long ViewApi::OpenKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) {
  return inner_->OpenKey(parent, subKey, access | view_, out);
}

long ViewApi::CreateKey(RegHandle parent, const char* subKey, std::uint32_t access, RegHandle& out) {
  return inner_->CreateKey(parent, subKey, access | view_, out);
}

long ViewApi::DeleteKey(RegHandle parent, const char* subKey) {
  const std::string path = subKey == nullptr ? "" : subKey;
  const std::string::size_type slash = path.find_last_of('\\');
  if (slash == std::string::npos) {
    // The parent handle names its own place already; a root's direct sub-key goes through the root
    // opened in the view.
    RegHandle root = 0;
    if (long rc = inner_->OpenKey(parent, "", kKeyAllAccess | view_, root)) return rc;
    long rc = inner_->DeleteKey(root, subKey);
    inner_->CloseKey(root);
    return rc;
  }
  RegHandle above = 0;
  if (long rc = inner_->OpenKey(parent, path.substr(0, slash).c_str(), kKeyAllAccess | view_, above)) return rc;
  long rc = inner_->DeleteKey(above, path.c_str() + slash + 1);
  inner_->CloseKey(above);
  return rc;
}

}  // namespace cregistry::tool
