// What the hive tests share: a fresh temporary folder, whole files as bytes, a look at a hive through
// libregf's regfexport (a reader that is not libhivex), and values read back through libhivex.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "registry/hive/HiveFile.h"

namespace cregistry::hive::test {

class HiveDir : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/cregistry-hive-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::size_t Entries(const std::string& folder) const {
    return std::distance(std::filesystem::directory_iterator(Path(folder)), {});
  }
  std::string dir_;
};

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
// A new file (not the old one truncated, which ext4 writes out on close).
inline void WriteAll(const std::string& path, const std::string& bytes) {
  std::filesystem::remove(path);
  std::ofstream(path, std::ios::binary) << bytes;
}

// regfexport's listing of the hive; empty when it could not read the whole file.
inline std::vector<std::string> RegfExport(const std::string& path) {
  // Into a file: regfexport writes line by line, which a pipe makes slow.
  const int status = std::system(("regfexport '" + path + "' >'" + path + ".txt' 2>/dev/null").c_str());
  std::istringstream text(ReadAll(path + ".txt"));
  std::filesystem::remove(path + ".txt");
  std::vector<std::string> lines;
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return status == 0 ? lines : std::vector<std::string>{};
}

// The data regfexport shows for value index of the key keyPath ("ROOT\\A\\B"): the text after "Data: ",
// or the bytes of its hex dump (empty when the value has no data).
inline std::string ExportedData(const std::vector<std::string>& lines, const std::string& keyPath, std::size_t index) {
  auto at = std::find(lines.begin(), lines.end(), "Key path: " + keyPath);
  const std::string value = "Value: " + std::to_string(index) + " ";
  at = std::find_if(at, lines.end(), [&](const std::string& line) { return line.rfind(value, 0) == 0; });
  if (at == lines.end()) return "<missing>";
  at = std::find_if(at, lines.end(), [](const std::string& l) { return l.empty() || l.rfind("Data:", 0) == 0; });
  if (at == lines.end() || at->empty()) return "";
  if (at->size() > 5) return at->substr(6);
  std::string bytes;
  for (++at; at != lines.end() && at->size() > 10 && (*at)[8] == ':'; ++at) {
    std::istringstream hex(at->substr(10, 49));
    for (std::string byte; hex >> byte;) bytes.push_back(static_cast<char>(std::stoi(byte, nullptr, 16)));
  }
  return bytes;
}

// The key at path ("A\\B", "" for the root) of an open hive, made when create says so; 0 when missing.
inline hive_node_h Key(const HiveFile& file, const std::string& path, bool create = false) {
  hive_node_h node = file.Root();
  for (std::size_t start = 0; node != 0 && start < path.size();) {
    const std::size_t end = std::min(path.find('\\', start), path.size());
    const std::string name = path.substr(start, end - start);
    const hive_node_h child = hivex_node_get_child(file.get(), node, name.c_str());
    node = child || !create ? child : hivex_node_add_child(file.get(), node, name.c_str());
    start = end + 1;
  }
  return node;
}

// A value's type and bytes, read through libhivex ({-1, "<missing>"} when it is not there).
inline std::pair<int, std::string> ValueOf(const HiveFile& file, const std::string& key, const std::string& name) {
  const hive_node_h node = Key(file, key);
  const hive_value_h value = node ? hivex_node_get_value(file.get(), node, name.c_str()) : 0;
  hive_type type{};
  std::size_t length = 0;
  char* data = value ? hivex_value_value(file.get(), value, &type, &length) : nullptr;
  std::pair<int, std::string> result{-1, "<missing>"};
  if (data) result = {static_cast<int>(type), std::string(data, length)};
  free(data);
  return result;
}

}  // namespace cregistry::hive::test
