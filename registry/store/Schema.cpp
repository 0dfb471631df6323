// The store's schema, its statements and its error codes.
#include "registry/store/Schema.h"

#include <cerrno>

#include <cregistry/Store.h>
#include "registry/store/RegistryStore.h"

namespace cregistry::store {

using namespace cregistry::win32;

const char* const kSchema = R"sql(
CREATE TABLE keys(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER NOT NULL,
  name TEXT NOT NULL,
  fpath TEXT NOT NULL UNIQUE
);
CREATE INDEX keys_by_parent ON keys(parent, fpath);
CREATE TABLE vals(
  id INTEGER PRIMARY KEY,
  key INTEGER NOT NULL,
  name TEXT NOT NULL,
  fname TEXT NOT NULL,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  UNIQUE(key, fname)
);
INSERT INTO keys(id, parent, name, fpath) VALUES
  (1, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE'),
  (2, 0, 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER'),
  (3, 0, 'HKEY_USERS', 'HKEY_USERS'),
  (4, 0, 'HKEY_CURRENT_CONFIG', 'HKEY_CURRENT_CONFIG'),
  (5, 1, 'SOFTWARE', 'HKEY_LOCAL_MACHINE\SOFTWARE'),
  (6, 5, 'Classes', 'HKEY_LOCAL_MACHINE\SOFTWARE\CLASSES');
PRAGMA application_id = 1666344295;
PRAGMA user_version = 2;
)sql";
static_assert(kApplicationId == 1666344295);
static_assert(kSchemaVersion == 2);

const char* const kOldIndexCount = "SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name = 'vals_by_key'";

const char* const kStatementText[kStatementCount] = {
    "SELECT EXISTS(SELECT 1 FROM keys WHERE id = ?1), (SELECT id FROM keys WHERE fpath = ?2)",
    "SELECT id FROM keys WHERE fpath = ?1",
    "SELECT 1 FROM keys WHERE id = ?1",
    "INSERT INTO keys(parent, name, fpath) VALUES (?1, ?2, ?3)",
    "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1",
    "DELETE FROM vals WHERE key = ?1",
    "DELETE FROM keys WHERE id = ?1",
    "SELECT type, data FROM vals WHERE key = ?1 AND fname = ?2",
    "UPDATE vals SET type = ?3, data = ?4 WHERE key = ?1 AND fname = ?2",
    "INSERT INTO vals(key, name, fname, type, data) SELECT ?1, ?2, ?3, ?4, ?5 "
    "WHERE EXISTS(SELECT 1 FROM keys WHERE id = ?1) "
    "ON CONFLICT(key, fname) DO UPDATE SET type = excluded.type, data = excluded.data",
    "DELETE FROM vals WHERE key = ?1 AND fname = ?2",
    "SELECT EXISTS(SELECT 1 FROM keys WHERE id = ?1), "
    "(SELECT max(length(CAST(name AS BLOB))) FROM vals WHERE key = ?1)",
    "SELECT name FROM vals WHERE key = ?1 ORDER BY id",
    "SELECT name, fpath FROM keys WHERE parent = ?1 ORDER BY fpath LIMIT 1 OFFSET ?2",
    "SELECT name, fpath FROM keys WHERE parent = ?1 AND fpath > ?2 ORDER BY fpath LIMIT 1",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "SAVEPOINT call",
    "RELEASE call",
    "ROLLBACK TO call",
    "PRAGMA user_version",
    "BEGIN",
    "SELECT name, fname, type, data FROM vals WHERE key = ?1 ORDER BY id",
    "INSERT INTO vals(key, name, fname, type, data) VALUES (?1, ?2, ?3, ?4, ?5) "
    "ON CONFLICT(key, fname) DO UPDATE SET type = excluded.type, data = excluded.data",
    "SELECT name, fpath, id FROM keys WHERE parent = ?1 ORDER BY fpath",
};

long FromSqlite(int rc) {
  switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return kSuccess;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return kAccessDenied;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return kBusy;
    case SQLITE_NOMEM:
      return kOutOfMemory;
    case SQLITE_FULL:
      return kDiskFull;
    case SQLITE_TOOBIG:  // a text or blob longer than the database takes
      return kInvalidParameter;
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
    case SQLITE_PROTOCOL:
    case SQLITE_NOLFS:
      return kRegistryIoFailed;
    default:  // SQLITE_CORRUPT, SQLITE_NOTADB, SQLITE_FORMAT, SQLITE_ERROR (a schema not ours), ...
      return kBadDb;
  }
}

long FromErrno(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
      return kAccessDenied;
    case ENOSPC:
    case EDQUOT:
      return kDiskFull;
    case ENOMEM:
      return kOutOfMemory;
    default:
      return kRegistryIoFailed;
  }
}

}  // namespace cregistry::store
