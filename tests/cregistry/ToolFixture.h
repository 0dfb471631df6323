// The fixture of the tool's tests: the cregistry tool run in-process on a real registry (a store file
// natively, Wine's registry in the Windows build), with command lines as a user types them and the
// registry checked through the seam.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/RegistrySandbox.h"
#include "tools/cregistry/Tool.h"

namespace cregistry::tool {
namespace {

namespace fs = std::filesystem;
using cregistry::testing::kHKCU;
using cregistry::testing::RegistrySandbox;

struct Outcome {
  int status;
  std::string out, err;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

class ToolTest : public ::testing::Test {
 protected:
  ToolTest() {
    dir = fs::temp_directory_path() / ("cregistry-tool-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    key = "HKCU\\" + box.base;
    full = "HKEY_CURRENT_USER\\" + box.base;
  }
  ~ToolTest() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  // Runs a command line; the store (natively) is the sandbox's.
  Outcome Tool(std::vector<std::string> args, std::shared_ptr<RegistryApi> api = nullptr) {
    if (!box.storePath.empty() && !api) args.insert(args.begin(), {"--store", box.storePath});
    std::ostringstream out, err;
    int status = api ? RunTool(args, api, out, err) : RunTool(args, out, err);
    return {status, out.str(), err.str()};
  }
  // The same with the answers to the tool's questions.
  Outcome Tool(std::vector<std::string> args, const std::string& answers) {
    if (!box.storePath.empty()) args.insert(args.begin(), {"--store", box.storePath});
    std::istringstream in(answers);
    std::ostringstream out, err;
    int status = RunTool(args, nullptr, in, out, err);
    return {status, out.str(), err.str()};
  }
  std::string File(const std::string& name) const { return (dir / name).string(); }

  // Every key below path (itself included) with its values, as lines "path|name|type|data-hex"; values
  // sorted by name (Wine's registry lists them sorted, the store in creation order).
  std::vector<std::string> Dump(const std::string& path) {
    std::vector<std::string> lines;
    KeyHandle k(*box.api);
    if (box.api->OpenKey(RootHandle(kHKCU), path.c_str(), 0x20019, k.out()) != 0) return lines;
    lines.push_back(path);
    std::vector<std::string> values;
    char name[70000];
    for (std::uint32_t i = 0;; ++i) {
      std::uint32_t len = sizeof name;
      if (box.api->EnumValue(k.get(), i, name, len) != 0) break;
      std::uint32_t type;
      std::string data;
      EXPECT_TRUE(box.GetRaw(kHKCU, path, std::string(name, len), type, data));
      std::string hex;
      for (unsigned char c : data) hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
      values.push_back(path + "|" + std::string(name, len) + "|" + std::to_string(type) + "|" + hex);
    }
    std::sort(values.begin(), values.end());
    lines.insert(lines.end(), values.begin(), values.end());
    std::vector<std::string> children;
    for (std::uint32_t i = 0;; ++i) {
      char child[1100];
      if (box.api->EnumKey(k.get(), i, child, sizeof child) != 0) break;
      children.emplace_back(child);
    }
    for (const auto& child : children) {
      auto sub = Dump(path + "\\" + child);
      lines.insert(lines.end(), sub.begin(), sub.end());
    }
    return lines;
  }

  static void ExpectOneErrorLine(const Outcome& run, const std::string& what) {
    EXPECT_EQ(run.status, 1) << what;
    EXPECT_EQ(run.err.rfind("cregistry: ", 0), 0u) << what << ": " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << what << ": " << run.err;
  }

  RegistrySandbox box;
  fs::path dir;
  std::string key, full;
};

}  // namespace
}  // namespace cregistry::tool
