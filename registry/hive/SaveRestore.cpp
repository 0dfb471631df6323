// A key's tree to a new hive file and back (RegSaveKey, RegRestoreKey), and the public calls of
// <cregistry/Store.h> for hive files.
#include <cstdio>
#include <vector>

#include <cregistry/RegistryTransaction.h>
#include <cregistry/Store.h>
#include "registry/ForwardingRegistryApi.h"
#include "registry/RegistryWalk.h"
#include "registry/hive/Fd.h"
#include "registry/hive/HiveRegistryApi.h"
#include "registry/hive/LoadedHives.h"
#include "registry/hive/ValueText.h"

namespace cregistry {

using namespace win32;

namespace {

// Windows nests keys 512 deep at most; a deeper tree is refused rather than walked on the stack.
constexpr int kMaxDepth = 512;

// key's values and sub-keys, read through api, into node.
long CopyOut(RegistryApi& api, RegHandle key, hive_h* h, hive_node_h node, int depth, std::string& message) {
  if (depth > kMaxDepth) return kInvalidParameter;
  std::vector<RawValue> read;
  if (long rc = ReadValues(api, key, read)) return rc;
  std::vector<hive_set_value> values;
  for (RawValue& v : read) {
    v.data = hive::ToHive(v.type, v.data);
    values.push_back(hive_set_value{v.name.data(), static_cast<hive_type>(v.type), v.data.size(), v.data.data()});
  }
  if (!values.empty() && hivex_node_set_values(h, node, values.size(), values.data(), 0) != 0) {
    message = "cannot write the values of a key into the hive";
    return kOutOfMemory;
  }
  std::vector<std::string> children;
  if (long rc = ListSubKeys(api, key, children)) return rc;
  for (const std::string& name : children) {
    KeyHandle child(api);
    if (long o = api.OpenKey(key, name.c_str(), kKeyRead, child.out())) return o;
    const hive_node_h added = hivex_node_add_child(h, node, name.c_str());
    if (added == 0) {
      message = "cannot add the key " + name + " to the hive";
      return kOutOfMemory;
    }
    if (long c = CopyOut(api, child.get(), h, added, depth + 1, message)) return c;
  }
  return kSuccess;
}

// node's values and sub-keys, from the hive, into key through api.
long CopyIn(hive_h* h, hive_node_h node, RegistryApi& api, RegHandle key, int depth) {
  if (depth > kMaxDepth) return kBadDb;
  hive::Malloced<hive_value_h> values(hivex_node_values(h, node));
  if (!values) return kBadDb;
  for (hive_value_h* v = values.get(); *v != 0; ++v) {
    hive::Malloced<char> name(hivex_value_key(h, *v));
    hive_type t{};
    std::size_t length = 0;
    hive::Malloced<char> data(hivex_value_value(h, *v, &t, &length));
    if (!name || !data) return kBadDb;
    const std::string narrow = hive::ToNarrow(static_cast<std::uint32_t>(t), std::string_view(data.get(), length));
    if (long rc = api.SetValue(key, name.get(), static_cast<std::uint32_t>(t),
                               reinterpret_cast<const std::uint8_t*>(narrow.data()),
                               static_cast<std::uint32_t>(narrow.size()))) {
      return rc;
    }
  }
  hive::Malloced<hive_node_h> children(hivex_node_children(h, node));
  if (!children) return kBadDb;
  for (hive_node_h* c = children.get(); *c != 0; ++c) {
    hive::Malloced<char> name(hivex_node_name(h, *c));
    if (!name) return kBadDb;
    KeyHandle child(api);
    if (long rc = api.CreateKey(key, name.get(), kKeyAllAccess, child.out())) return rc;
    if (long rc = CopyIn(h, *c, api, child.get(), depth + 1)) return rc;
  }
  return kSuccess;
}

// Empties key: its values, and its sub-keys with everything below them.
long Clear(RegistryApi& api, RegHandle key) {
  std::vector<RawValue> values;
  if (long rc = ReadValues(api, key, values)) return rc;
  for (const RawValue& v : values) {
    if (long rc = api.DeleteValue(key, v.name.c_str())) return rc;
  }
  std::vector<std::string> children;
  if (long rc = ListSubKeys(api, key, children)) return rc;
  for (const std::string& child : children) {
    if (long rc = DeleteTree(api, key, child); rc != kSuccess && rc != kFileNotFound) return rc;
  }
  return kSuccess;
}

// The connection with loaded hives behind api and the wrappers around it, if any.
hive::LoadedHivesApi* LoadedHivesOf(RegistryApi& api) {
  RegistryApi* at = &api;
  while (at != nullptr) {
    if (auto* loaded = dynamic_cast<hive::LoadedHivesApi*>(at)) return loaded;
    auto* forwarding = dynamic_cast<ForwardingRegistryApi*>(at);
    at = forwarding != nullptr ? &forwarding->inner() : nullptr;
  }
  return nullptr;
}

void Say(std::string* message, const std::string& text) {
  if (message != nullptr) *message = text;
}

}  // namespace

std::shared_ptr<RegistryApi> OpenHiveFile(const std::string& path, bool writable, std::string* message) {
  hive::HiveError error;
  std::string warning;
  auto api = hive::HiveRegistryApi::Open(path, writable ? hive::Access::kWrite : hive::Access::kRead, error, &warning);
  Say(message, api ? warning : error.message);
  return api;
}

long SaveHive(RegistryApi& api, RegHandle key, const std::string& path, bool replace, std::string* message) {
  hive::HiveError error;
  auto file = hive::HiveFile::CreateEmpty(error);
  if (!file) {
    Say(message, error.message);
    return error.code;
  }
  std::string why;
  // On the store every read of the save sees one state.
  long rc = RunAsOneSnapshot(api, [&] { return CopyOut(api, key, file->get(), file->Root(), 0, why); });
  if (rc != kSuccess) {
    Say(message, why);
    return rc;
  }
  rc = file->Commit(path, replace ? hive::Replace::kYes : hive::Replace::kNo, error);
  if (rc != kSuccess) Say(message, error.message);
  return rc;
}

long RestoreHive(RegistryApi& api, RegHandle key, const std::string& path, std::string* message) {
  hive::HiveError error;
  std::string warning;
  auto file = hive::HiveFile::Open(path, hive::Access::kRead, error, &warning);
  if (!file) {
    Say(message, error.message);
    return error.code;
  }
  if (!warning.empty()) std::fprintf(stderr, "cregistry: %s\n", warning.c_str());
  return RunAsOneTransaction(api, [&]() -> long {
    if (long rc = Clear(api, key)) return rc;
    return CopyIn(file->get(), file->Root(), api, key, 0);
  });
}

long LoadHive(RegistryApi& api, RegHandle root, const std::string& name, const std::string& path,
              std::string* message) {
  hive::LoadedHivesApi* loaded = LoadedHivesOf(api);
  if (loaded == nullptr) {
    Say(message, "hives load into a connection of the registry store only");
    return kInvalidParameter;
  }
  std::string why;
  const long rc = loaded->Load(root, name, path, why);
  Say(message, why);
  return rc;
}

long UnloadHive(RegistryApi& api, RegHandle root, const std::string& name, std::string* message) {
  hive::LoadedHivesApi* loaded = LoadedHivesOf(api);
  if (loaded == nullptr) {
    Say(message, "hives load into a connection of the registry store only");
    return kInvalidParameter;
  }
  std::string why;
  const long rc = loaded->Unload(root, name, why);
  Say(message, why);
  return rc;
}

}  // namespace cregistry
