// The store's schema and its prepared statements, and the translation of SQLite's and the system's
// error codes into the Win32 codes that the registry calls answer.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <string_view>

namespace cregistry::store {

inline constexpr int kApplicationId = 0x63526567;  // "cReg"

// The statements that lay out a new, empty store: tables, indexes, the fixed keys, the file's marks.
extern const char* const kSchema;

// How many indexes of earlier layouts the store still has (Convert drops them).
extern const char* const kOldIndexCount;

// The prepared statements every connection keeps, by number.
enum Statement {
  kFindChild,
  kFindPath,
  kKeyExists,
  kInsertKey,
  kHasChildren,
  kDeleteKeyValues,
  kDeleteKeyRow,
  kGetValue,
  kUpdateValue,
  kUpsertValue,
  kDeleteValue,
  kMaxNameLen,
  kValueNames,
  kEnumKey,
  kEnumKeyAfter,
  kBegin,
  kCommit,
  kRollback,
  kSavepoint,
  kRelease,
  kRollbackTo,
  kUserVersion,
  kBeginRead,
  kKeyValues,
  kInsertValue,
  kSubKeys,
  kStatementCount
};
extern const char* const kStatementText[kStatementCount];

// How long a write waits for other writers before it gives up with kBusy.
inline constexpr auto kBusyLimit = std::chrono::seconds(60);

long FromSqlite(int rc);
long FromErrno(int err);

inline void BindText(sqlite3_stmt* s, int i, std::string_view text) {
  sqlite3_bind_text(s, i, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

}  // namespace cregistry::store
