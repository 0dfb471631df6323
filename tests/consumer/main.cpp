// A caller of the installed cregistry: writes a key with values and sub-keys, reads it back and lists
// it, and removes it again, each step a separate run so that what is checked has been through the real
// registry (Windows) or the store file (Linux).
//   consumer write|check|remove [store-file]      (Linux: the store file is required)
// Prints one line per step; exits 1 with the reason at the first difference, 2 on a registry error.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <cregistry/cRegistry.h>
#ifndef _WIN32
#include <cregistry/Store.h>
#endif

using namespace cregistry;

namespace {

const char* const kKey = "Software\\cregistry consumer check";
const std::vector<std::uint8_t> kBlob = {0x00, 0x01, 0xfe, 0xff};

int failures = 0;

void Expect(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  if (!ok) ++failures;
}

void At(cRegistry& reg, const std::string& section, const char* value = "", RegistryValueType type = REG_SZ) {
  reg.ClassKey(HKEY_CURRENT_USER);
  reg.SectionKey(section);
  reg.ValueKey(value);
  reg.ValueType(type);
}

std::string Join(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& n : names) text += (text.empty() ? "" : ",") + n;
  return text;
}

void Write(cRegistry& reg) {
  At(reg, kKey);
  reg.CreateKey();
  At(reg, kKey, "Name");
  reg.Value(Variant("consumer"));
  At(reg, kKey, "Size", REG_DWORD);
  reg.Value(Variant(std::int32_t{42}));
  At(reg, kKey, "Blob", REG_BINARY);
  reg.Value(Variant(kBlob));
  for (const char* sub : {"Beta", "alpha"}) {
    At(reg, std::string(kKey) + "\\" + sub);
    reg.CreateKey();
  }
  At(reg, kKey);
  Expect(bool(reg.KeyExists()), "key written");
}

void Check(cRegistry& reg) {
  At(reg, kKey, "Name");
  Variant name = reg.Value();
  Expect(name.kind() == Variant::Kind::String && name.AsString() == "consumer", "Name reads back \"consumer\"");
  At(reg, kKey, "Size", REG_DWORD);
  Variant size = reg.Value();
  Expect(size.kind() == Variant::Kind::Long && size.AsLong() == 42, "Size reads back 42");
  At(reg, kKey, "Blob", REG_BINARY);
  Variant blob = reg.Value();
  Expect(blob.kind() == Variant::Kind::ByteArray && blob.AsByteArray().bytes == kBlob, "Blob reads back 00 01 fe ff");

  At(reg, kKey);
  std::vector<std::string> names;
  std::int32_t count = -1;
  reg.EnumerateValues(names, count);
  // Windows and the store list values in creation order, Wine's registry in name order: compared as a set.
  std::sort(names.begin(), names.end());
  Expect(count == 3 && Join(names) == "Blob,Name,Size", "values listed: " + Join(names));
  reg.EnumerateSections(names, count);
  Expect(count == 2 && Join(names) == "alpha,Beta", "sub-keys listed in name order: " + Join(names));
}

void Remove(cRegistry& reg) {
  for (const char* sub : {"alpha", "Beta"}) {
    At(reg, std::string(kKey) + "\\" + sub);
    reg.DeleteKey();
  }
  At(reg, kKey);
  reg.DeleteKey();
  Expect(!reg.KeyExists(), "key removed");
}

}  // namespace

int main(int argc, char** argv) {
  const std::string step = argc > 1 ? argv[1] : "";
#ifdef _WIN32
  cRegistry reg;
#else
  if (argc < 3) {
    std::fprintf(stderr, "usage: consumer write|check|remove <store-file>\n");
    return 2;
  }
  cRegistry reg(OpenRegistryStore(argv[2]));
#endif
  try {
    if (step == "write") {
      Write(reg);
    } else if (step == "check") {
      Check(reg);
    } else if (step == "remove") {
      Remove(reg);
    } else {
      std::fprintf(stderr, "usage: consumer write|check|remove [store-file]\n");
      return 2;
    }
  } catch (const RegistryError& e) {
    std::printf("FAIL registry error %d: %s\n", static_cast<int>(e.number()), e.what());
    return 2;
  }
  return failures == 0 ? 0 : 1;
}
