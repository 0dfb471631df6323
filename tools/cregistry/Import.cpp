// import: applies a .reg file, whole or not at all.
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>

#include <cregistry/RegistryTransaction.h>
#include "registry/regfile/RegFileReader.h"
#include "registry/RegistryWalk.h"
#include "tools/cregistry/Verbs.h"

namespace cregistry::tool {

using namespace win32;
namespace rf = regfile;

namespace {

constexpr std::array kImportOptions{
    OptionSpec{"cp", "", "CODEPAGE",
               "the code page of a file without a UTF-16 byte order mark: 1252, 28591 (Latin-1) or 65001\n"
               "                      (UTF-8); by default UTF-8 when the file is, else 1252"},
};

// Opens the file to import; answers false with the error set.
bool OpenInput(Context& c, const std::string& file, std::ifstream& in) {
  in.open(file, std::ios::binary);
  if (in) return true;
  c.error.keyPath = file;
  c.error.detail = std::string("cannot open the file: ") + std::strerror(errno);
  return false;
}

// Reads the whole file once without acting on it; answers false with the error set.
bool CheckFile(Context& c, const std::string& file, rf::CodePage codePage) {
  std::ifstream in;
  if (!OpenInput(c, file, in)) return false;
  rf::Reader reader(in, file, codePage);
  rf::Record record;
  rf::Reader::Step step;
  while ((step = reader.Next(record)) == rf::Reader::Step::Record) {
  }
  if (step == rf::Reader::Step::Error) {
    c.error.file = *reader.error();
    c.error.detail = reader.error()->message;
    return false;
  }
  return true;
}

// Applies the records of a file through the seam; checked tells whether CheckFile has read it before.
long ApplyFile(Context& c, const std::string& file, bool checked, rf::CodePage codePage) {
  std::ifstream in;
  if (!OpenInput(c, file, in)) return kFileNotFound;
  rf::Reader reader(in, file, codePage);
  rf::Record record;
  KeyHandle current(c.api);
  std::string currentPath;
  rf::Reader::Step step;
  const auto fail = [&](long rc, std::string what) {
    c.error.code = rc;
    c.error.operation = std::move(what);
    c.error.file = rf::Error{"", record.position, file};
    return rc;
  };
  // The full name of the record's key, built only for a key line or a message (not for every value).
  const auto keyName = [&] {
    return std::string(rf::RootFullName(record.root)) + (record.keyPath.empty() ? "" : "\\" + record.keyPath);
  };
  while ((step = reader.Next(record)) == rf::Reader::Step::Record) {
    switch (record.kind) {
      case rf::Record::Kind::Key:
        currentPath = keyName();
        if (long rc = c.api.CreateKey(RootHandle(record.root), record.keyPath.c_str(), kKeyAllAccess, current.out()))
          return fail(rc, "cannot create " + currentPath);
        break;
      case rf::Record::Kind::DeleteKey:
        current.reset();
        if (long rc = DeleteTree(c.api, RootHandle(record.root), record.keyPath); rc && rc != kFileNotFound)
          return fail(rc, "cannot delete " + keyName());
        break;
      case rf::Record::Kind::Value:
        if (long rc = c.api.SetValue(current.get(), record.name.c_str(), record.type,
                                     reinterpret_cast<const std::uint8_t*>(record.data.data()),
                                     static_cast<std::uint32_t>(record.data.size())))
          return fail(rc, "cannot set value \"" + record.name + "\" of " + currentPath);
        break;
      case rf::Record::Kind::DeleteValue:
        if (long rc = c.api.DeleteValue(current.get(), record.name.c_str()); rc && rc != kFileNotFound)
          return fail(rc, "cannot delete value \"" + record.name + "\" of " + currentPath);
        break;
    }
  }
  if (step == rf::Reader::Step::Error) {
    c.error.file = *reader.error();
    c.error.detail = reader.error()->message;
    if (checked) c.error.detail += " (the file changed during the import)";
    return kInvalidData;
  }
  return kSuccess;
}

}  // namespace

const VerbSpec kImport{"import", "FILE", 1, 1,
                       "Applies a .reg file (version 5.00, REGEDIT4 or Windows 3.1's REGEDIT; UTF-16LE or UTF-8).",
                       kImportOptions, ""};

bool Import(Context& c, const std::string& file, const ParsedArgs& args) {
  rf::CodePage codePage = rf::CodePage::Auto;
  if (const std::string* name = args.Get("cp")) {
    const auto named = rf::CodePageFromName(*name);
    if (!named) {
      c.error.detail = "unknown code page " + *name + " (1252, 28591 or 65001)";
      return false;
    }
    codePage = *named;
  }
  // On the store the file is read once, inside one transaction that an error anywhere in it takes back
  // whole. Where calls land one by one (advapi32), the whole file is checked before the first call.
  const bool checked = !SupportsTransactions(c.api);
  if (checked && !CheckFile(c, file, codePage)) return false;
  long rc = RunAsOneTransaction(c.api, [&] { return ApplyFile(c, file, checked, codePage); });
  if (rc != kSuccess && c.error.code == 0 && c.error.detail.empty()) {
    c.error.code = rc;
    c.error.keyPath = file;
    c.error.operation = "cannot complete the import";
  }
  return rc == kSuccess;
}

}  // namespace cregistry::tool
