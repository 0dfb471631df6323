// regdiff_runner: runs a batch of command-line cases against one registry tool (Wine's reg.exe, or
// cregistry natively or under Wine) and writes what each left behind, so that a script can compare
// two tools case by case. Starting a Windows process under Wine costs far less from inside Wine than
// from the shell, so the whole batch runs in one process of this program.
//
//   regdiff_runner PROGRAM CASES RESULTS
//
// Every text in both files is hex-encoded UTF-8 ("-" for the empty text). A case:
//   case ID
//   tree ROOT PATH                     the case's tree is ROOT\PATH (ROOT hex code), not the default
//                                      HKCU\Software\regdiff: setup, the start and the result are there
//   program NAME                       run NAME rather than PROGRAM for this case
//   key SUBPATH                        setup: create TREE\SUBPATH
//   value SUBPATH NAME TYPE DATA       setup: set a value there (TYPE decimal, DATA the raw bytes)
//   file NAME BYTES                    write a file into the working folder before the run
//   collect NAME                       read that file back after the run, then remove it
//   probe ROOT SUBPATH NAME            read a value outside the tree after the run (ROOT hex code)
//   run ARG...                         the arguments after PROGRAM
//   end
// A result: case ID / status N / out BYTES / err BYTES / bk, bv (the tree before the run) / k PATH /
// v PATH NAME TYPE DATA / probe RC TYPE DATA / file RC BYTES / end. The tree (k, v lines) is the case's tree, read
// through the registry seam; a case starts with that key, HKCU\Software\regdiff and every probed value gone.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cregistry/regdiff/Spawn.h"
#include "registry/RegistryWalk.h"
#include "tools/cregistry/Tool.h"

using namespace cregistry;
using namespace cregistry::tool;

namespace {

constexpr char kRootPath[] = "Software\\regdiff";
constexpr std::int32_t kCurrentUser = static_cast<std::int32_t>(0x80000001u);

std::string Hex(const std::string& bytes) {
  if (bytes.empty()) return "-";
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

std::string Unhex(const std::string& text) {
  std::string out;
  if (text == "-") return out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  return out;
}

struct Case {
  std::string id;
  std::int32_t root = kCurrentUser;  // the case's tree
  std::string path = kRootPath;
  std::string program;  // empty: PROGRAM
  std::vector<std::vector<std::string>> setup;  // {"key", path} or {"value", path, name, type, data}
  std::vector<std::pair<std::string, std::string>> files;
  std::vector<std::string> collect;
  std::vector<std::vector<std::string>> probes;  // {root, path, name}
  std::vector<std::string> args;
};

std::string Full(const Case& c, const std::string& sub) { return sub.empty() ? c.path : c.path + "\\" + sub; }

void Prepare(RegistryApi& api, const Case& c) {
  DeleteTree(api, RootHandle(kCurrentUser), kRootPath);
  DeleteTree(api, RootHandle(c.root), c.path);
  for (const auto& p : c.probes) {
    KeyHandle key(api);
    if (api.OpenKey(RootHandle(static_cast<std::int32_t>(std::stoul(p[0], nullptr, 16))), p[1].c_str(), 0xF003F,
                    key.out()) == 0)
      api.DeleteValue(key.get(), p[2].c_str());
  }
  for (const auto& s : c.setup) {
    KeyHandle key(api);
    if (api.CreateKey(RootHandle(c.root), Full(c, s[1]).c_str(), 0xF003F, key.out()) != 0) {
      std::cerr << "regdiff_runner: " << c.id << ": cannot create " << s[1] << "\n";
      continue;
    }
    if (s[0] == "value")
      api.SetValue(key.get(), s[2].c_str(), static_cast<std::uint32_t>(std::stoul(s[3])),
                   reinterpret_cast<const std::uint8_t*>(s[4].data()), static_cast<std::uint32_t>(s[4].size()));
  }
}

// The tree as k and v lines; before the run the same lines with a "b" in front.
void Tree(RegistryApi& api, const Case& c, std::ostream& out, const char* prefix) {
  KeyHandle root(api);
  if (api.OpenKey(RootHandle(c.root), c.path.c_str(), 0x20019, root.out()) == 0) {
    std::string failed;
    WalkTree(api, root.get(), [&](const std::string& relative, RegHandle key) -> long {
      out << prefix << "k " << Hex(relative) << "\n";
      std::vector<RawValue> values;
      if (long rc = ReadValues(api, key, values)) return rc;
      for (const auto& v : values) out << prefix << "v " << Hex(relative) << " " << Hex(v.name) << " " << v.type << " " << Hex(v.data) << "\n";
      return 0;
    }, failed);
  }
}

void Probe(RegistryApi& api, const Case& c, std::ostream& out) {
  for (const auto& p : c.probes) {
    KeyHandle key(api);
    RawValue value;
    long rc = api.OpenKey(RootHandle(static_cast<std::int32_t>(std::stoul(p[0], nullptr, 16))), p[1].c_str(), 0x20019,
                          key.out());
    if (rc == 0) rc = ReadValue(api, key.get(), p[2], value);
    out << "probe " << rc << " " << value.type << " " << Hex(rc == 0 ? value.data : "") << "\n";
  }
}

std::string ReadAll(const std::string& path, bool& found) {
  std::ifstream in(path, std::ios::binary);
  found = static_cast<bool>(in);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: regdiff_runner PROGRAM CASES RESULTS\n";
    return 2;
  }
  std::ifstream in(argv[2]);
  std::ofstream out(argv[3], std::ios::binary);
  if (!in || !out) {
    std::cerr << "regdiff_runner: cannot open " << argv[2] << " or " << argv[3] << "\n";
    return 2;
  }
  std::string line;
  Case c;
  std::size_t index = 0;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word == "case") {
      c = Case{};
      c.id = line.substr(5);
      continue;
    }
    std::vector<std::string> raw, rest;
    for (std::string w; words >> w;) {
      raw.push_back(w);
      rest.push_back(Unhex(w));
    }
    if (word == "key" || word == "value") {
      rest.insert(rest.begin(), word);
      if (word == "value") rest.at(3) = raw.at(2);  // the type, in decimal
      c.setup.push_back(rest);
    } else if (word == "file") {
      c.files.emplace_back(rest.at(0), rest.size() > 1 ? rest[1] : "");
    } else if (word == "collect") {
      c.collect.push_back(rest.at(0));
    } else if (word == "tree") {
      c.root = static_cast<std::int32_t>(std::stoul(raw.at(0), nullptr, 16));
      c.path = rest.at(1);
    } else if (word == "program") {
      c.program = rest.at(0);
    } else if (word == "probe") {
      rest.at(0) = raw.at(0);  // the root's code, in hex
      c.probes.push_back(rest);
    } else if (word == "run") {
      c.args = rest;
    } else if (word == "end") {
      const std::string scratch = ScratchStore(index++);
      ToolError error;
      const std::shared_ptr<RegistryApi> api = platform::OpenRegistry(scratch.empty() ? nullptr : &scratch, error);
      if (!api) {
        std::cerr << "regdiff_runner: " << error.ToString() << "\n";
        return 2;
      }
      Prepare(*api, c);
      for (const auto& [name, bytes] : c.files) std::ofstream(name, std::ios::binary) << bytes;
      std::ostringstream before;
      Tree(*api, c, before, "b");
      Output result = RunProgram(c.program.empty() ? argv[1] : c.program, c.args, scratch);
      out << "case " << c.id << "\nstatus " << result.status << "\nout " << Hex(result.out) << "\nerr "
          << Hex(result.err) << "\n" << before.str();
      Tree(*api, c, out, "");
      Probe(*api, c, out);
      for (const auto& name : c.collect) {
        bool found = false;
        std::string bytes = ReadAll(name, found);
        out << "file " << (found ? 0 : 2) << " " << Hex(bytes) << "\n";
        std::remove(name.c_str());
      }
      for (const auto& [name, bytes] : c.files) std::remove(name.c_str());
      out << "end\n";
      out.flush();
      DropScratchStore(scratch);
    }
  }
  return 0;
}
