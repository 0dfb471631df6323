// The conversion of stores that earlier code made, done by a writer's opening (StoreFile.cpp).
#include <sqlite3.h>

#include <string>
#include <string_view>

#include <cregistry/Store.h>
#include "registry/store/Connection.h"
#include "registry/store/RegistryStore.h"
#include "registry/store/Schema.h"

namespace cregistry::store {

using namespace cregistry::win32;

namespace {

// registry_fold(text): the name rule of the current schema, for the conversion's statements.
void FoldSql(sqlite3_context* context, int, sqlite3_value** args) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(args[0]));
  if (text == nullptr) {
    sqlite3_result_null(context);
    return;
  }
  const std::string folded = Fold(std::string_view(text, static_cast<std::size_t>(sqlite3_value_bytes(args[0]))));
  sqlite3_result_text(context, folded.data(), static_cast<int>(folded.size()), SQLITE_TRANSIENT);
}

}  // namespace

// Two conversions, in one transaction, so that another connection sees the store before or after them
// and a failure or a kill leaves it as it was:
// - The index that earlier stores kept of each key's values in creation order goes (RegistryStore.h
//   says why); the tables stay as they are, so that a reader of either layout reads both.
// - Schema 1 folded ASCII letters only; schema 2 folds every character (Fold). The folded columns are
//   computed again: folding the old folded text gives the same as folding the name (the new rule folds
//   ASCII letters as the old one did), and the new rule is idempotent, so a UNIQUE conflict can only be
//   two names that now fold together. Such a store is left at schema 1 and keeps the old rule: nothing
//   is lost, and the next opening tries again.
long RegistryStore::Convert(Connection& conn, std::int64_t& version) {
  int rc = sqlite3_create_function_v2(conn.db.get(), "registry_fold", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                      &FoldSql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return FromSqlite(rc);
  if (long brc = conn.Begin()) return brc;
  version = conn.QueryInt("PRAGMA user_version", rc);  // another process may have converted it meanwhile
  if (rc == SQLITE_OK) rc = conn.Exec("DROP INDEX IF EXISTS vals_by_key");
  if (rc == SQLITE_OK && version == 1) {
    rc = conn.Exec(
        "SAVEPOINT fold;"
        "UPDATE keys SET fpath = registry_fold(fpath) WHERE fpath <> registry_fold(fpath);"
        "UPDATE vals SET fname = registry_fold(fname) WHERE fname <> registry_fold(fname);"
        "PRAGMA user_version = 2;");
    if ((rc & 0xff) == SQLITE_CONSTRAINT) {
      rc = conn.Exec("ROLLBACK TO fold");  // names that fold together: stays at schema 1
    } else if (rc == SQLITE_OK) {
      version = 2;
    }
    if (rc == SQLITE_OK) rc = conn.Exec("RELEASE fold");
  }
  if (rc == SQLITE_OK) rc = conn.Exec("COMMIT");
  if (rc != SQLITE_OK) {
    if (sqlite3_get_autocommit(conn.db.get()) == 0) conn.Exec("ROLLBACK");
    return FromSqlite(rc);
  }
  return version >= 1 && version <= kSchemaVersion ? kSuccess : kBadDb;
}

}  // namespace cregistry::store
