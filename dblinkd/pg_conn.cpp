#include "pg_conn.h"

#include <cstdio>
#include <cstdlib>

namespace dblink {

bool PgResult::Ok() const {
  if (!r_) return false;
  ExecStatusType s = PQresultStatus(r_);
  return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
}

int64_t PgResult::Int(int row, int col) const {
  if (!r_ || row >= PQntuples(r_) || PQgetisnull(r_, row, col)) return 0;
  return strtoll(PQgetvalue(r_, row, col), nullptr, 10);
}

std::string PgResult::SqlState() const {
  const char* s = r_ ? PQresultErrorField(r_, PG_DIAG_SQLSTATE) : nullptr;
  return s ? s : "";
}

void PgParams::Arrays(std::vector<const char*>& values, std::vector<int>& lengths) const {
  values.clear();
  lengths.clear();
  for (const std::string& v : values_) {
    values.push_back(v.c_str());
    lengths.push_back(int(v.size()));
  }
}

bool IsPostgresUri(const std::string& db) {
  return db.compare(0, 13, "postgresql://") == 0 || db.compare(0, 11, "postgres://") == 0;
}

std::unique_ptr<PgConn> PgConn::Open(const std::string& conninfo, PgCounters* counters, std::string& error) {
  PGconn* c = PQconnectdb(conninfo.c_str());
  if (!c || PQstatus(c) != CONNECTION_OK) {
    error = std::string("cannot connect to PostgreSQL: ") + (c ? PQerrorMessage(c) : "out of memory");
    while (!error.empty() && error.back() == '\n') error.pop_back();
    PQfinish(c);
    return nullptr;
  }
  std::unique_ptr<PgConn> conn(new PgConn(c, counters));
  // Notices (an index that exists already...) are not the service's to print.
  PQsetNoticeProcessor(c, [](void*, const char*) {}, nullptr);
  return conn;
}

PgConn::~PgConn() { PQfinish(c_); }

bool PgConn::Faulted() {
  uint64_t n = counters_->calls.fetch_add(1) + 1;
  return counters_->failAt.load() == n;
}

PgResult PgConn::Checked(PGresult* r, const std::string& what) {
  PgResult res(r);
  lastState_ = res.SqlState();
  if (res.Ok()) return res;
  lastError_ = r ? PQresultErrorMessage(r) : PQerrorMessage(c_);
  while (!lastError_.empty() && lastError_.back() == '\n') lastError_.pop_back();
  fprintf(stderr, "dblinkd: SQL error %s in: %s\n", lastError_.c_str(), what.c_str());
  counters_->errors.fetch_add(1, std::memory_order_relaxed);
  return res;
}

bool PgConn::Injected(const std::string& what) {
  if (!Faulted()) return false;
  lastError_ = "(injected)";
  lastState_.clear();
  fprintf(stderr, "dblinkd: SQL error (injected) in: %s\n", what.c_str());
  counters_->errors.fetch_add(1, std::memory_order_relaxed);
  return true;
}

PgResult PgConn::Exec(const std::string& sql) {
  if (Injected(sql)) return PgResult();
  return Checked(PQexec(c_, sql.c_str()), sql);
}

PgResult PgConn::Exec(const std::string& sql, const PgParams& params) {
  if (Injected(sql)) return PgResult();
  std::vector<const char*> values;
  std::vector<int> lengths;
  params.Arrays(values, lengths);
  return Checked(PQexecParams(c_, sql.c_str(), int(values.size()), nullptr, values.data(), lengths.data(),
                              nullptr, 0),
                 sql);
}

bool PgConn::Prepare(uint64_t code, const std::string& sql) {
  std::string name = "s" + std::to_string(code);
  PgResult r = Checked(PQprepare(c_, name.c_str(), sql.c_str(), 0, nullptr), sql);
  if (!r.Ok()) return false;
  prepared_[code] = name;
  return true;
}

PgResult PgConn::ExecPrepared(uint64_t code, const PgParams& params) {
  const std::string& name = prepared_[code];
  if (Injected(name)) return PgResult();
  std::vector<const char*> values;
  std::vector<int> lengths;
  params.Arrays(values, lengths);
  return Checked(PQexecPrepared(c_, name.c_str(), int(values.size()), values.data(), lengths.data(), nullptr, 0),
                 name);
}

bool PgConn::Run(const char* sql) { return Exec(sql).Ok(); }

bool PgConn::RawRun(const char* sql) { return Checked(PQexec(c_, sql), sql).Ok(); }

std::unique_ptr<PgConn> PgPool::Take(std::string& error) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!idle_.empty()) {
      std::unique_ptr<PgConn> c = std::move(idle_.back());
      idle_.pop_back();
      if (!c->Broken()) return c;
    }
  }
  std::unique_ptr<PgConn> c = PgConn::Open(conninfo_, counters_, error);
  if (!c) fprintf(stderr, "dblinkd: %s\n", error.c_str());
  return c;
}

void PgPool::GiveBack(std::unique_ptr<PgConn> c) {
  // A connection left inside a transaction by a failed call is not handed on that way.
  if (c->InTransaction()) c->RawRun("ROLLBACK");
  if (c->Broken()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  idle_.push_back(std::move(c));
}

}  // namespace dblink
