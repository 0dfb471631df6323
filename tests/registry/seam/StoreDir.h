// A fresh temporary folder for a test that works on registry store files (natively), with the small
// steps those tests share: text values set and read back through the seam, sub-key listings, and a
// look at the file with SQLite itself.
#pragma once

#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <cregistry/Store.h>
#include "SeamFixture.h"

namespace cregistry::seamtest {

class StoreDir : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/cregistry-store-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/registry.db";
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // A REG_SZ value below HKEY_CURRENT_USER (or root), its key created as needed.
  static long PutText(RegistryApi& api, const std::string& path, const std::string& name, const std::string& text,
                      RegHandle root = kHKCU) {
    KeyHandle key(api);
    if (long rc = api.CreateKey(root, path.c_str(), kAll, key.out())) return rc;
    return api.SetValue(key.get(), name.c_str(), 1, reinterpret_cast<const std::uint8_t*>(text.c_str()),
                        static_cast<std::uint32_t>(text.size() + 1));
  }
  // A value's text, or "<code>" when it cannot be read.
  static std::string FetchText(RegistryApi& api, const std::string& path, const std::string& name,
                               RegHandle root = kHKCU) {
    KeyHandle key(api);
    if (long rc = api.OpenKey(root, path.c_str(), win32::kKeyQueryValue, key.out())) return "<" + std::to_string(rc) + ">";
    char data[256] = {};
    std::uint32_t type = 0, size = sizeof data - 1;
    if (long rc = api.QueryValue(key.get(), name.c_str(), &type, reinterpret_cast<std::uint8_t*>(data), &size)) {
      return "<" + std::to_string(rc) + ">";
    }
    return data;
  }
  // The sub-keys of a key below HKEY_CURRENT_USER, in listing order; {"<missing>"} when it cannot be opened.
  static std::vector<std::string> SubKeyNames(RegistryApi& api, const std::string& path, RegHandle root = kHKCU) {
    KeyHandle key(api);
    std::vector<std::string> names;
    if (api.OpenKey(root, path.c_str(), win32::kKeyEnumerateSubKeys, key.out()) != 0) return {"<missing>"};
    char name[300];
    for (std::uint32_t i = 0; api.EnumKey(key.get(), i, name, sizeof name) == 0; ++i) names.emplace_back(name);
    return names;
  }
  // The first line of SQLite's own integrity check of the file ("ok" for a sound file).
  static std::string IntegrityCheck(const std::string& path) { return SqlAnswer(path, "PRAGMA integrity_check"); }
  // The first column of the first row that SQL answers on the file, as text.
  static std::string SqlAnswer(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    std::string answer = "<cannot open>";
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
      sqlite3_stmt* check = nullptr;
      if (sqlite3_prepare_v2(db, sql, -1, &check, nullptr) == SQLITE_OK && sqlite3_step(check) == SQLITE_ROW) {
        answer = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
      }
      sqlite3_finalize(check);
    }
    sqlite3_close(db);
    return answer;
  }
  // A truncating checkpoint by another connection that does not wait at all: it finishes only when no
  // connection holds a read snapshot or a write lock.
  int TruncateNow(int& busy) const {
    sqlite3* db = nullptr;
    if (sqlite3_open(path_.c_str(), &db) != SQLITE_OK) return -1;
    // A first read opens the log (a connection that has read nothing does not know the file is in WAL
    // mode, and its checkpoint would do nothing).
    if (sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) != SQLITE_OK) return -1;
    int log = -1, done = -1;
    int rc = sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_TRUNCATE, &log, &done);
    busy = rc == SQLITE_BUSY || log < 0 || done != log;
    sqlite3_close(db);
    return rc;
  }
  long FileSize(const std::string& path) const {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
  }

  std::string dir_;
  std::string path_;
};

}  // namespace cregistry::seamtest
