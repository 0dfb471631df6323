// Owners for SQLite's connection and statement objects, so that neither can leak on an error path.
#pragma once

#include <sqlite3.h>

#include <memory>

namespace cregistry::store {

struct ConnectionCloser {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
using DbPtr = std::unique_ptr<sqlite3, ConnectionCloser>;

struct StatementFinalizer {
  void operator()(sqlite3_stmt* stmt) const noexcept { sqlite3_finalize(stmt); }
};
using StmtPtr = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

struct ValueFreer {
  void operator()(sqlite3_value* value) const noexcept { sqlite3_value_free(value); }
};
using ValuePtr = std::unique_ptr<sqlite3_value, ValueFreer>;

// One use of a cached prepared statement: resets it and clears its bindings when the use ends, so the
// next use starts clean and no read lock stays held by a half-stepped statement.
class StatementUse {
 public:
  explicit StatementUse(sqlite3_stmt* stmt) : stmt_(stmt) {}
  StatementUse(const StatementUse&) = delete;
  StatementUse& operator=(const StatementUse&) = delete;
  ~StatementUse() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_;
};

}  // namespace cregistry::store
