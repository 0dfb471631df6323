// Benchmark driver: makes the test trees and runs the install run's copy and listing on them.
//   install_bench gen-big DIR     20,000 files (1 KB to 2 MB, about 230 MB) in 500 folders
//   install_bench gen-small DIR   100,000 small files in 1,020 folders
//   install_bench copy SRC DEST   CopyTree(SRC, DEST, SkipExisting), as the install run does
//   install_bench list SRC        ListTree(SRC, ""), written to standard output
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "install/Module1.h"

namespace fs = std::filesystem;

namespace {

void WriteFile(const fs::path& path, std::size_t size, std::mt19937_64& random) {
  static std::vector<char> block;
  if (block.empty()) {
    block.resize(std::size_t{1} << 16);
    for (char& c : block) c = static_cast<char>('a' + random() % 26);
  }
  std::ofstream out(path, std::ios::binary);
  for (std::size_t done = 0; done < size;) {
    const std::size_t n = std::min(block.size(), size - done);
    out.write(block.data(), static_cast<std::streamsize>(n));
    done += n;
  }
}

// "prefix<n><suffix>", built by appending (GCC 12 warns falsely on "literal" + std::string in Release).
std::string Name(const char* prefix, int n, const char* suffix = "") {
  std::string name(prefix);
  name += std::to_string(n);
  name += suffix;
  return name;
}

// Folders: `top` at the root, each with `mid` sub-folders, each of those with `leaf` more.
std::vector<fs::path> MakeFolders(const fs::path& root, int top, int mid, int leaf) {
  std::vector<fs::path> folders;
  for (int t = 0; t < top; ++t) {
    const fs::path a = root / Name("dept", t);
    folders.push_back(a);
    for (int m = 0; m < mid; ++m) {
      const fs::path b = a / Name("group", m);
      folders.push_back(b);
      for (int l = 0; l < leaf; ++l) folders.push_back(b / Name("set", l));
    }
  }
  for (const auto& f : folders) fs::create_directories(f);
  return folders;
}

int GenBig(const fs::path& root) {
  std::mt19937_64 random(42);
  const auto folders = MakeFolders(root, 10, 7, 6);  // 500 folders
  // 80 large files of 1 to 2 MB; the rest from 1 KB to 16 KB, evenly on a log scale.
  std::uniform_real_distribution<double> logSmall(std::log(1024.0), std::log(16384.0));
  std::uniform_int_distribution<std::size_t> large(1u << 20, 2u << 20);
  std::uintmax_t total = 0;
  for (int i = 0; i < 20000; ++i) {
    const std::size_t size =
        i % 250 == 0 ? large(random) : static_cast<std::size_t>(std::exp(logSmall(random)));
    WriteFile(folders[static_cast<std::size_t>(i) % folders.size()] /
                  Name("template", i, ".eml"),
              size, random);
    total += size;
  }
  std::printf("%zu folders, 20000 files, %.1f MB\n", folders.size(), total / 1e6);
  return 0;
}

int GenSmall(const fs::path& root) {
  std::mt19937_64 random(7);
  const auto folders = MakeFolders(root, 20, 50, 0);  // 1,020 folders
  std::uniform_int_distribution<std::size_t> size(100, 2000);
  std::uintmax_t total = 0;
  for (int i = 0; i < 100000; ++i) {
    const std::size_t n = size(random);
    WriteFile(folders[static_cast<std::size_t>(i) % folders.size()] / Name("t", i, ".eml"),
              n, random);
    total += n;
  }
  std::printf("%zu folders, 100000 files, %.1f MB\n", folders.size(), total / 1e6);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "gen-big" && argc == 3) return GenBig(argv[2]);
  if (mode == "gen-small" && argc == 3) return GenSmall(argv[2]);
  if (mode == "copy" && argc == 4) {
    install::CopyTree(argv[2], argv[3], install::SkipExisting);
    return 0;
  }
  if (mode == "list" && argc == 3) {
    const std::string listing = install::ListTree(argv[2], "");
    std::fwrite(listing.data(), 1, listing.size(), stdout);
    return 0;
  }
  std::fprintf(stderr, "usage: install_bench gen-big|gen-small DIR | copy SRC DEST | list SRC\n");
  return 2;
}
