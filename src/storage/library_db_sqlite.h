// Inside the library database: the connection with its cache of prepared statements, and a
// statement handle that binds, steps and reads columns. Included by library_db*.cpp only.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <unordered_map>

namespace librarydb {

// How long a statement waits for another process's lock before it fails.
inline constexpr int kBusyTimeoutMs = 5000;

// The open connection. Statements are prepared once and kept until Close; each use resets
// them, so the behaviour is the same as preparing and finalizing within every call.
struct Connection {
  sqlite3* db = nullptr;
  std::unordered_map<const char*, sqlite3_stmt*> statements;  // keyed by the SQL constant

  explicit Connection(sqlite3* handle) : db(handle) {}
  ~Connection() {
    for (auto& [sql, stmt] : statements) sqlite3_finalize(stmt);
    sqlite3_close_v2(db);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
};

// One use of a cached statement: binds (1-based, text bound as copies), steps and reads; on
// destruction the statement is reset and its bindings cleared, which ends any read or write it
// began. `ok()` is false when the statement could not be prepared.
class Statement {
 public:
  Statement(Connection& c, const char* sql) {
    auto it = c.statements.find(sql);
    if (it != c.statements.end()) {
      stmt_ = it->second;
      return;
    }
    if (sqlite3_prepare_v2(c.db, sql, -1, &stmt_, nullptr) != SQLITE_OK || !stmt_) {
      sqlite3_finalize(stmt_);
      stmt_ = nullptr;
      return;
    }
    c.statements.emplace(sql, stmt_);
  }
  ~Statement() { Reset(); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }

  Statement& Bind(int i, const std::string& text) {
    sqlite3_bind_text64(stmt_, i, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    return *this;
  }
  Statement& Bind(int i, int value) {
    sqlite3_bind_int(stmt_, i, value);
    return *this;
  }
  Statement& Bind(int i, int64_t value) {
    sqlite3_bind_int64(stmt_, i, value);
    return *this;
  }
  Statement& Bind(int i, double value) {
    sqlite3_bind_double(stmt_, i, value);
    return *this;
  }

  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return sqlite3_step(stmt_); }
  // Ready for the next row of bindings (keeps the statement).
  void Reset() {
    if (!stmt_) return;
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }

  int Int(int col) const { return sqlite3_column_int(stmt_, col); }
  int64_t Int64(int col) const { return sqlite3_column_int64(stmt_, col); }
  double Double(int col) const { return sqlite3_column_double(stmt_, col); }
  // A NULL column reads as an empty string.
  std::string Text(int col) const {
    const unsigned char* p = sqlite3_column_text(stmt_, col);
    if (!p) return {};
    return std::string(reinterpret_cast<const char*>(p),
                       static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col)));
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace librarydb
