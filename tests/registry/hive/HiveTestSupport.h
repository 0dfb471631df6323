// What the hive tests share: a fresh temporary folder, whole files as bytes, a look at a hive through
// libregf's regfexport (a reader that is not libhivex), and values read back through libhivex.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

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
  void TearDown() override {
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add);
    std::filesystem::remove_all(dir_);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
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

// regfexport's listing of the hive (stdout), and whether it read the whole file.
struct Export {
  bool ok = false;
  std::vector<std::string> lines;
};
inline Export RegfExport(const std::string& path) {
  Export result;
  // Into a file: regfexport writes line by line, which a pipe makes slow.
  const int status = std::system(("regfexport '" + path + "' >'" + path + ".txt' 2>/dev/null").c_str());
  const std::string text = ReadAll(path + ".txt");
  std::filesystem::remove(path + ".txt");
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.lines.push_back(line);
  result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && text.find("Unable to export") == std::string::npos;
  return result;
}

// The data regfexport shows for value index of the key keyPath ("ROOT\\A\\B"): the text after "Data: ",
// or the bytes of its hex dump (empty when the value has no data).
inline std::string ExportedData(const Export& e, const std::string& keyPath, std::size_t index) {
  std::size_t i = 0;
  while (i < e.lines.size() && e.lines[i] != "Key path: " + keyPath) ++i;
  const std::string value = "Value: " + std::to_string(index) + " ";
  while (i < e.lines.size() && e.lines[i].rfind(value, 0) != 0) ++i;
  if (i == e.lines.size()) return "<missing>";
  while (i < e.lines.size() && !e.lines[i].empty() && e.lines[i].rfind("Data:", 0) != 0) ++i;
  if (i == e.lines.size() || e.lines[i].empty()) return "";  // no data, no "Data:" line
  if (e.lines[i].size() > 5) return e.lines[i].substr(6);
  std::string bytes;
  for (++i; i < e.lines.size() && e.lines[i].size() > 10 && e.lines[i][8] == ':'; ++i) {
    std::istringstream hex(e.lines[i].substr(10, 49));
    for (std::string byte; hex >> byte;) bytes.push_back(static_cast<char>(std::stoi(byte, nullptr, 16)));
  }
  return bytes;
}

// The key at path ("A\\B", "" for the root) of an open hive, 0 when missing.
inline hive_node_h Key(const HiveFile& file, const std::string& path) {
  hive_node_h node = file.Root();
  for (std::size_t start = 0; node != 0 && start < path.size();) {
    const std::size_t end = std::min(path.find('\\', start), path.size());
    node = hivex_node_get_child(file.get(), node, path.substr(start, end - start).c_str());
    start = end + 1;
  }
  return node;
}

// A value's type and bytes, read through libhivex ("<missing>" when it is not there).
inline std::pair<int, std::string> ValueOf(const HiveFile& file, const std::string& key, const std::string& name) {
  const hive_node_h node = Key(file, key);
  const hive_value_h value = node ? hivex_node_get_value(file.get(), node, name.c_str()) : 0;
  hive_type type{};
  std::size_t length = 0;
  char* data = value ? hivex_value_value(file.get(), value, &type, &length) : nullptr;
  if (!data) return {-1, "<missing>"};
  std::string bytes(data, length);
  free(data);
  return {static_cast<int>(type), bytes};
}

}  // namespace cregistry::hive::test
