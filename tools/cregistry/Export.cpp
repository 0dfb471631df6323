// export: a key and everything below it as a .reg file, as regedit writes it.
#include <array>
#include <vector>

#include <cregistry/RegistryTransaction.h>
#include "registry/regfile/RegFileWriter.h"
#include "tools/cregistry/OutputFile.h"
#include "registry/RegistryWalk.h"
#include "tools/cregistry/Verbs.h"

namespace cregistry::tool {

using namespace win32;
namespace rf = regfile;

namespace {

constexpr std::array kExportOptions{
    OptionSpec{"y", "", "", "replace FILE when it exists"},
    OptionSpec{"a", "ansi", "", "write REGEDIT4 (UTF-8) instead of version 5.00 (UTF-16LE)"},
};

}  // namespace

const VerbSpec kExport{"export", "KEY FILE", 2, 2,
                       "Writes KEY and everything below it to a .reg file, as regedit does.", kExportOptions,
                       "The file is written under a temporary name beside FILE and renamed when complete."};

bool Export(Context& c, const KeyName& key, const std::string& file, const ParsedArgs& args) {
  KeyHandle handle(c.api);
  if (OpenUserKey(c, key, kKeyRead, handle)) return false;
  const bool replace = args.Has("y");
  if (!replace && PathExists(file)) {
    c.error.keyPath = file;
    c.error.detail = "the file exists: add /y to replace it";
    return false;
  }
  OutputFile output;
  if (std::error_code ec = output.Open(file)) {
    c.error.keyPath = file;
    c.error.detail = "cannot create a file beside it: " + ec.message();
    return false;
  }
  rf::Writer writer(output.stream(), args.Has("a") ? rf::Format::Ansi : rf::Format::Unicode);
  std::string failedPath, badName;
  // On the store every read of the export sees one state, read in one read transaction.
  long rc = RunAsOneSnapshot(c.api, [&] { return WalkTree(c.api, handle.get(), [&](const std::string& relative, RegHandle k) -> long {
    std::string path = key.FullPath() + (relative.empty() ? "" : "\\" + relative);
    // A name with a line break would make a file that no .reg reader reads back as it was.
    const auto breaksLine = [](const std::string& name) { return name.find_first_of("\r\n") != std::string::npos; };
    if (breaksLine(path)) {
      badName = "its name holds a line break, which a .reg file cannot carry";
      return kInvalidData;
    }
    if (!writer.Key(path)) {
      badName = "its name is not UTF-8 text";
      return kInvalidData;
    }
    std::vector<RawValue> values;
    if (long got = ReadValues(c.api, k, values)) return got;
    for (const auto& value : values) {
      if (breaksLine(value.name)) {
        badName = "value \"" + value.name + "\" holds a line break, which a .reg file cannot carry";
        return kInvalidData;
      }
      if (!writer.Value(value.name, value.type, value.data)) {
        badName = "value \"" + value.name + "\" is not UTF-8 text";
        return kInvalidData;
      }
    }
    return kSuccess;
  }, failedPath); });
  if (rc != kSuccess) {
    c.error.keyPath = key.asGiven + (failedPath.empty() ? "" : "\\" + failedPath);
    if (!badName.empty()) {
      c.error.detail = "cannot export: " + badName;
    } else {
      c.error.code = rc;
      c.error.operation = "cannot read the key";
    }
    return false;
  }
  if (!writer.Finish() || !output.stream()) {
    c.error.keyPath = file;
    c.error.detail = "cannot write the file";
    return false;
  }
  if (std::error_code ec = output.Commit(replace)) {
    c.error.keyPath = file;
    c.error.detail = ec == std::errc::file_exists ? "the file exists: add /y to replace it"
                                                  : "cannot write the file: " + ec.message();
    return false;
  }
  return true;
}

}  // namespace cregistry::tool
