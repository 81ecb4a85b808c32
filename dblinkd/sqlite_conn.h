// What the store's files share: the connection with its cached statements and the fault
// seam, and the helpers a write or a read on it uses.
#pragma once
#include <sqlite3.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>

#include "sqlite_store.h"

namespace dblink {

constexpr const char* kReaderMmap = "PRAGMA mmap_size=1073741824";

// One SQLite connection and its prepared statements, reused by SQL text.
class SqliteConn {
 public:
  // calls and failAt are the store's fault-seam counters (see FailEngineCall); errors
  // counts the statements that failed.
  static std::unique_ptr<SqliteConn> Open(const std::string& path, bool writer, std::atomic<uint64_t>* calls,
                                          std::atomic<uint64_t>* failAt, std::atomic<uint64_t>* errors,
                                          std::string& error) {
    sqlite3* db = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (writer ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
      error = "cannot open database " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
      sqlite3_close(db);
      return nullptr;
    }
    std::unique_ptr<SqliteConn> c(new SqliteConn(db, calls, failAt, errors));
    sqlite3_busy_timeout(db, 10000);
    // synchronous is per connection; FULL makes every commit reach the disk before the
    // insert is acknowledged to the workstation.
    // Readers map the file: a page is then read from memory, not copied by a system call.
    if (!c->Exec("PRAGMA synchronous=FULL") ||
        (!writer && (!c->Exec("PRAGMA query_only=1") || !c->Exec(kReaderMmap)))) {
      error = "cannot set up database " + path + ": " + sqlite3_errmsg(db);
      return nullptr;
    }
    if (writer) {
      sqlite3_stmt* s = c->Prepare("PRAGMA journal_mode=WAL");
      bool wal = s && c->Step(s) == SQLITE_ROW &&
                 strcmp(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), "wal") == 0;
      if (s) sqlite3_reset(s);
      if (!wal) {
        error = "cannot put database " + path + " in WAL mode: " + sqlite3_errmsg(db);
        return nullptr;
      }
    }
    return c;
  }

  ~SqliteConn() {
    for (auto& [sql, s] : stmts_) sqlite3_finalize(s);
    sqlite3_close(db_);
  }

  sqlite3* db() const { return db_; }

  // A cached statement, reset and unbound; null (and logged) when the SQL does not compile.
  sqlite3_stmt* Prepare(const std::string& sql) {
    auto it = stmts_.find(sql);
    if (it != stmts_.end()) return it->second;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), int(sql.size()), &s, nullptr) != SQLITE_OK) {
      fprintf(stderr, "dblinkd: SQL error %s in: %s\n", sqlite3_errmsg(db_), sql.c_str());
      Failed();
      return nullptr;
    }
    stmts_[sql] = s;
    return s;
  }

  // The same, found by a number the caller makes up for its SQL, so that a hot statement
  // is not rebuilt as text for every call.
  template <class MakeSql> sqlite3_stmt* PrepareByCode(uint64_t code, MakeSql make) {
    auto it = byCode_.find(code);
    if (it != byCode_.end()) return it->second;
    sqlite3_stmt* s = Prepare(make());
    if (s) byCode_[code] = s;
    return s;
  }

  // One counted step of a statement; the step the fault seam names fails unrun.
  int Step(sqlite3_stmt* s) {
    int rc = Faulted() ? SQLITE_IOERR : sqlite3_step(s);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) Failed();
    return rc;
  }

  bool Exec(const char* sql) {
    if (Faulted()) {
      fprintf(stderr, "dblinkd: SQL error (injected) in: %s\n", sql);
      Failed();
      return false;
    }
    return RawExec(sql);
  }

  // The same for a statement run once per write (transaction and savepoint control): kept
  // prepared, so it is not parsed again every time.
  bool Run(const char* sql) {
    sqlite3_stmt* s = Prepare(sql);
    if (!s) return false;
    bool faulted = Faulted();
    int rc = faulted ? SQLITE_IOERR : sqlite3_step(s);
    sqlite3_reset(s);
    if (rc == SQLITE_DONE) return true;
    fprintf(stderr, "dblinkd: SQL error %s in: %s\n", faulted ? "(injected)" : sqlite3_errmsg(db_), sql);
    Failed();
    return false;
  }

  // Recovery (ROLLBACK) is not counted: it is what a failure is checked against.
  bool RawExec(const char* sql) {
    char* msg = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
    fprintf(stderr, "dblinkd: SQL error %s in: %s\n", msg ? msg : "?", sql);
    sqlite3_free(msg);
    Failed();
    return false;
  }

 private:
  SqliteConn(sqlite3* db, std::atomic<uint64_t>* calls, std::atomic<uint64_t>* failAt, std::atomic<uint64_t>* errors)
      : db_(db), calls_(calls), failAt_(failAt), errors_(errors) {}
  void Failed() { errors_->fetch_add(1, std::memory_order_relaxed); }
  bool Faulted() {
    uint64_t n = calls_->fetch_add(1) + 1;
    return failAt_->load() == n;
  }
  sqlite3* db_;
  std::atomic<uint64_t>* calls_;
  std::atomic<uint64_t>* failAt_;
  std::atomic<uint64_t>* errors_;
  std::unordered_map<std::string, sqlite3_stmt*> stmts_;
  std::unordered_map<uint64_t, sqlite3_stmt*> byCode_;  // statements of stmts_
};

// Resets a cached statement when the call is done with it.
struct StmtUse {
  sqlite3_stmt* s;
  explicit StmtUse(sqlite3_stmt* st) : s(st) {}
  ~StmtUse() {
    if (s) { sqlite3_reset(s); sqlite3_clear_bindings(s); }
  }
};

inline std::string Column(sqlite3_stmt* s, int i) {
  const char* v = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
  return std::string(v ? v : "", size_t(sqlite3_column_bytes(s, i)));
}

inline const char* Err(SqliteConn& c) { return sqlite3_errmsg(c.db()); }

// Adds one row on the writer inside the caller's transaction (see sqlite_store.cpp).
bool AddRow(SqliteConn& c, const plx::TableDef& t, std::string rec, bool replace, Row* out, std::string& error);
bool AddInstalled(SqliteConn& c, const InstalledPath& p, std::string& error);

// Adds the console's indexes, counts and text search to an open database, filling what is
// new from the rows already there; on the writer inside the open's transaction.
bool CreateConsoleSchema(SqliteConn& w);

class SqliteStore::Reader {
 public:
  explicit Reader(SqliteStore& s) : store_(s), conn_(s.TakeReader()) {}
  ~Reader() { if (conn_) store_.GiveBack(std::move(conn_)); }
  SqliteConn* operator->() { return conn_.get(); }
  explicit operator bool() const { return conn_ != nullptr; }
  SqliteConn& conn() { return *conn_; }

 private:
  SqliteStore& store_;
  std::unique_ptr<SqliteConn> conn_;
};

}  // namespace dblink
