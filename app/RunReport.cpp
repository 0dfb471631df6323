// run-report: what scripts/run.sh prints after install-templates has run (the program itself says
// nothing). It asks the same routines the program uses where the Documents folder is and which host
// folders are in use, and counts how many files of the package are now in each template folder.
//   run-report <package folder>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "install/Form1.h"
#include "install/modGetDirs2.h"
#include "install/modMain.h"

namespace fs = std::filesystem;

namespace {

bool Hidden(const fs::path& p) { return p.filename().string().starts_with("."); }

// The package's ordinary files, relative to its folder (dot-names and what lies under them left out,
// as the program leaves them out).
std::vector<fs::path> PackageFiles(const fs::path& package) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(package, ec), end; !ec && it != end; it.increment(ec)) {
    if (Hidden(it->path())) {
      if (it->is_directory(ec)) it.disable_recursion_pending();
      continue;
    }
    if (it->is_regular_file(ec)) files.push_back(fs::relative(it->path(), package, ec));
  }
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: run-report <package folder>\n");
    return 2;
  }
  const std::vector<fs::path> package = PackageFiles(argv[1]);
  install::Form1 form;
  const std::string documents = install::GetDocumentsFolder(form);
  if (documents.empty()) {
    std::printf("No Documents folder found (HOME is not set and the user has no home folder).\n");
    return 0;
  }
  std::printf("Documents folder: %s\n", documents.c_str());

  bool anyInUse = false;
  for (std::string_view host : install::kHostFolders) {
    const fs::path folder = fs::path(documents) / host / "template";
    bool inUse = false;
    try {
      inUse = install::HasTemplates(host, form);
    } catch (const install::TemplatesLookupFailed&) {
      std::printf("%.*s: %s cannot be read\n", int(host.size()), host.data(), folder.c_str());
      continue;
    }
    if (!inUse) {
      std::printf("%.*s: not in use (no .eml file in %s)\n", int(host.size()), host.data(), folder.c_str());
      continue;
    }
    anyInUse = true;
    std::size_t present = 0;
    std::error_code ec;
    for (const fs::path& file : package) present += fs::is_regular_file(folder / file, ec) ? 1 : 0;
    std::printf("%.*s: in use; %zu of %zu package files are now in %s\n", int(host.size()), host.data(), present,
                package.size(), folder.c_str());
  }
  if (!anyInUse) {
    std::printf(
        "No Marrowquill template folder is in use, so nothing was installed. To make one, put a\n"
        "template of your own (any .eml file) into\n"
        "  %s/Marrowquill3/template\n"
        "and run scripts/run.sh again; scripts/run.sh --demo shows the job done in a throw-away folder.\n",
        documents.c_str());
  }
  form.Unload();
  return 0;
}
