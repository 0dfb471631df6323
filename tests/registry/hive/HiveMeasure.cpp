// Builds a large hive (about 31,000 keys and 72,000 values, 13 MB) with CreateEmpty and libhivex, commits
// it, then times Open (with its walk of the whole tree; 9 times) and Commit (3 times), and prints the peak
// resident size. Not a test: run by hand, e.g. registry_hive_measure /tmp/big.hiv ("--keep" after the path
// measures an existing hive instead).
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "registry/hive/HiveFile.h"

using namespace cregistry::hive;

namespace {

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

bool Build(const std::string& path, int fanOut, int valuesPerThree) {
  HiveError error;
  auto file = HiveFile::CreateEmpty(error);
  if (!file) return std::fprintf(stderr, "%s\n", error.message.c_str()), false;
  hive_h* h = file->get();
  std::vector<hive_node_h> level{file->Root()};
  int keys = 0, values = 0;
  std::vector<char> data(400);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  for (int depth = 0; depth < 3; ++depth) {
    std::vector<hive_node_h> next;
    for (hive_node_h parent : level) {
      for (int i = 0; i < fanOut; ++i) {
        const std::string name = "Key" + std::to_string(depth) + "_" + std::to_string(i);
        const hive_node_h child = hivex_node_add_child(h, parent, name.c_str());
        if (child == 0) return std::perror("hivex_node_add_child"), false;
        ++keys;
        std::vector<std::string> names;
        std::vector<hive_set_value> set;
        const int count = (keys % 3 == 0) ? valuesPerThree - 2 * (valuesPerThree / 3) : valuesPerThree / 3;
        for (int v = 0; v < count; ++v) names.push_back("Value" + std::to_string(v));
        for (int v = 0; v < count; ++v) {
          const std::size_t length = (v == 0) ? 4 : 16 + (keys * 37 + v * 101) % 120;
          set.push_back({names[v].data(), v == 0 ? hive_t_REG_DWORD : hive_t_REG_SZ, length, data.data()});
        }
        if (hivex_node_set_values(h, child, set.size(), set.data(), 0) != 0) return std::perror("set"), false;
        values += count;
        next.push_back(child);
      }
    }
    level = std::move(next);
  }
  if (file->Commit(path, Replace::kYes, error)) return std::fprintf(stderr, "%s\n", error.message.c_str()), false;
  std::printf("built %s: %d keys, %d values\n", path.c_str(), keys, values);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "/tmp/registry_hive_measure.hiv";
  if ((argc <= 2 || std::string(argv[2]) != "--keep") && !Build(path, 31, 7)) return 1;
  HiveError error;
  std::vector<double> opens, commits;
  for (int round = 0; round < 9; ++round) {
    const auto start = std::chrono::steady_clock::now();
    auto file = HiveFile::Open(path, Access::kWrite, error);
    opens.push_back(Since(start));
    if (!file) return std::fprintf(stderr, "%s\n", error.message.c_str()), 1;
    if (round % 3 != 0) continue;
    const auto commitStart = std::chrono::steady_clock::now();
    if (file->Commit(path, Replace::kYes, error)) return std::fprintf(stderr, "%s\n", error.message.c_str()), 1;
    commits.push_back(Since(commitStart));
  }
  std::sort(opens.begin(), opens.end());
  std::sort(commits.begin(), commits.end());
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("open+walk: min %.1f ms, median %.1f ms; commit: min %.1f ms, median %.1f ms; peak RSS %ld KiB\n",
              opens.front(), opens[opens.size() / 2], commits.front(), commits[commits.size() / 2], usage.ru_maxrss);
  return 0;
}
