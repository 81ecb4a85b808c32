// PostgreSQL through libpq: a result that frees itself, a connection that keeps its
// statements prepared by a number the caller makes up, and a pool of connections borrowed
// for one call. Parameters and results travel as text: texts are the workstations' bytes
// (the database is SQL_ASCII, so the server stores them unchanged), numbers are decimal.
#pragma once
#include <libpq-fe.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace dblink {

class PgResult {
 public:
  PgResult() = default;
  explicit PgResult(PGresult* r) : r_(r) {}
  PgResult(PgResult&& o) noexcept : r_(o.r_) { o.r_ = nullptr; }
  PgResult& operator=(PgResult&& o) noexcept {
    if (this != &o) { PQclear(r_); r_ = o.r_; o.r_ = nullptr; }
    return *this;
  }
  PgResult(const PgResult&) = delete;
  PgResult& operator=(const PgResult&) = delete;
  ~PgResult() { PQclear(r_); }

  // A command that completed, with or without rows.
  bool Ok() const;
  int Rows() const { return r_ ? PQntuples(r_) : 0; }
  bool IsNull(int row, int col) const { return PQgetisnull(r_, row, col) != 0; }
  std::string Text(int row, int col) const {
    return std::string(PQgetvalue(r_, row, col), size_t(PQgetlength(r_, row, col)));
  }
  // A number column; 0 for null or text that is no number.
  int64_t Int(int row, int col) const;
  // The five-character SQLSTATE of a failure ("" when none), e.g. "40001", "23505".
  std::string SqlState() const;
  PGresult* get() const { return r_; }

 private:
  PGresult* r_ = nullptr;
};

// Statement parameters, as text; null when `isNull`.
class PgParams {
 public:
  PgParams& Add(const std::string& text) { values_.push_back(text); return *this; }
  PgParams& Add(int64_t number) { values_.push_back(std::to_string(number)); return *this; }
  size_t Size() const { return values_.size(); }
  // The arrays libpq takes, valid while this object is unchanged.
  void Arrays(std::vector<const char*>& values, std::vector<int>& lengths) const;

 private:
  std::vector<std::string> values_;
};

// What every connection of one store counts: calls (statements run), errors (statements
// that failed), and the fault seam of tests: the call whose number is in failAt fails
// unrun, as a database error would.
struct PgCounters {
  std::atomic<uint64_t> calls{0}, failAt{0}, errors{0};
};

class PgConn {
 public:
  // Connects with a libpq connection string or URI. Null with error set on failure.
  static std::unique_ptr<PgConn> Open(const std::string& conninfo, PgCounters* counters, std::string& error);
  ~PgConn();
  PgConn(const PgConn&) = delete;
  PgConn& operator=(const PgConn&) = delete;

  // Runs one statement (no parameters: several may stand in sql). A failure is logged.
  PgResult Exec(const std::string& sql);
  PgResult Exec(const std::string& sql, const PgParams& params);
  // The same statement kept prepared on this connection under a number the caller makes
  // up for its SQL, so that a hot statement is neither rebuilt as text nor parsed again.
  template <class MakeSql> PgResult ExecByCode(uint64_t code, MakeSql make, const PgParams& params) {
    auto it = prepared_.find(code);
    if (it == prepared_.end() && !Prepare(code, make())) return PgResult();
    return ExecPrepared(code, params);
  }
  // A command whose result does not matter beyond success (BEGIN, SAVEPOINT, COMMIT...).
  bool Run(const char* sql);
  // The same, not counted by the fault seam: recovery (ROLLBACK) after a failure.
  bool RawRun(const char* sql);

  // The connection is gone (server restarted, network): the pool drops it.
  bool Broken() const { return PQstatus(c_) != CONNECTION_OK; }
  // In a transaction (or a failed one) rather than idle.
  bool InTransaction() const { return PQtransactionStatus(c_) != PQTRANS_IDLE; }
  std::string LastError() const { return lastError_; }
  // The SQLSTATE of the last statement when it failed ("" when it passed or failed unrun).
  const std::string& LastSqlState() const { return lastState_; }
  PGconn* raw() const { return c_; }

 private:
  PgConn(PGconn* c, PgCounters* counters) : c_(c), counters_(counters) {}
  bool Prepare(uint64_t code, const std::string& sql);
  PgResult ExecPrepared(uint64_t code, const PgParams& params);
  // Counts the call; true when the fault seam says this one fails.
  bool Faulted();
  // The same, with the failure logged and counted as a database error would be.
  bool Injected(const std::string& what);
  PgResult Checked(PGresult* r, const std::string& what);

  PGconn* c_;
  PgCounters* counters_;
  std::unordered_map<uint64_t, std::string> prepared_;  // code -> statement name
  std::string lastError_;
  std::string lastState_;
};

// Connections borrowed for one call and given back; a broken one is dropped, and the next
// borrower connects afresh.
class PgPool {
 public:
  PgPool(std::string conninfo, PgCounters* counters) : conninfo_(std::move(conninfo)), counters_(counters) {}
  // Null (logged, error set) when no connection can be had.
  std::unique_ptr<PgConn> Take(std::string& error);
  void GiveBack(std::unique_ptr<PgConn> c);
  const std::string& conninfo() const { return conninfo_; }
  PgCounters& counters() { return *counters_; }

 private:
  std::string conninfo_;
  PgCounters* counters_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<PgConn>> idle_;
};

// A pooled connection for the length of a scope.
class PgLease {
 public:
  explicit PgLease(PgPool& pool) : pool_(pool) { c_ = pool.Take(error_); }
  ~PgLease() { if (c_) pool_.GiveBack(std::move(c_)); }
  PgLease(const PgLease&) = delete;
  PgLease& operator=(const PgLease&) = delete;
  explicit operator bool() const { return c_ != nullptr; }
  PgConn* operator->() { return c_.get(); }
  PgConn& conn() { return *c_; }
  const std::string& error() const { return error_; }

 private:
  PgPool& pool_;
  std::unique_ptr<PgConn> c_;
  std::string error_;
};

// A connection URI or string names PostgreSQL rather than a SQLite file.
bool IsPostgresUri(const std::string& db);

}  // namespace dblink
