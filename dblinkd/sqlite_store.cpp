#include "sqlite_store.h"

#include <sqlite3.h>

#include <future>

#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "fields.h"
#include "sqlite_conn.h"
#include "table_sql.h"

namespace dblink {

using plx::FieldDef;
using plx::KeyDef;
using plx::TableDef;

namespace {

std::string CreateSql(const TableDef& t) {
  const FieldDef* id = IdField(t);
  std::string s = "CREATE TABLE IF NOT EXISTS " + std::string(t.sqlName) + " (";
  bool first = true;
  for (const FieldDef& f : t.fields) {
    if (!first) s += ", ";
    first = false;
    s += Quoted(f.name);
    if (&f == id) s += " INTEGER PRIMARY KEY";
    else if (IsNumeric(f)) s += " INTEGER NOT NULL DEFAULT 0";
    else s += " TEXT NOT NULL DEFAULT ''";
    // Name keys compare case-insensitively, in the index as in every comparison.
    if (IsKeyText(t, f)) s += " COLLATE NOCASE";
  }
  return s + ")";
}

std::vector<std::string> IndexSql(const TableDef& t) {
  std::vector<std::string> out;
  const FieldDef* id = IdField(t);
  for (const KeyDef& k : t.keys) {
    if (k.fields.size() == 1 && k.fields[0] == id) continue;  // the row id is its own index
    std::string cols;
    for (const FieldDef* f : k.fields) cols += (cols.empty() ? "" : ",") + Quoted(f->name);
    out.push_back("CREATE INDEX IF NOT EXISTS " + std::string(t.sqlName) + "_key" +
                  std::to_string(k.keyNo) + " ON " + t.sqlName + " (" + cols + ")");
  }
  return out;
}

void BindField(sqlite3_stmt* s, int idx, const FieldDef& f, const uint8_t* rec) {
  if (IsNumeric(f)) {
    sqlite3_bind_int64(s, idx, FieldNumber(f, rec));
  } else {
    std::string v = FieldText(f, rec);
    sqlite3_bind_text(s, idx, v.data(), int(v.size()), SQLITE_TRANSIENT);
  }
}

void BindPart(sqlite3_stmt* s, int idx, const KeyPart& p) {
  if (p.isText) sqlite3_bind_text(s, idx, p.text.data(), int(p.text.size()), SQLITE_TRANSIENT);
  else sqlite3_bind_int64(s, idx, p.number);
}

// Columns 0 (rowid) and 1.. (the fields) of a "SELECT rowid, <all fields>" row.
void ReadRow(sqlite3_stmt* s, const TableDef& t, Row& out) {
  FillRow(
      t, uint32_t(sqlite3_column_int64(s, 0)), [s](int i) { return sqlite3_column_int64(s, i + 1); },
      [s](int i) { return Column(s, i + 1); }, out);
}

std::string SelectAll(const TableDef& t) {
  return "SELECT rowid," + ColumnList(t) + " FROM " + t.sqlName;
}

std::string KeyOrder(const KeyDef& k) {
  std::string s = " ORDER BY ";
  for (const FieldDef* f : k.fields) s += Quoted(f->name) + ",";
  return s + "rowid";
}

std::string NaturalWhere(const std::vector<const char*>& nk) {
  std::string w;
  for (size_t i = 0; i < nk.size(); ++i) w += (i ? " AND " : "") + Quoted(nk[i]) + "=?";
  return w;
}


// Numbers for the statements a write runs, per table, so that they are found without
// building their SQL text (reads use codes below 2^48).
enum class WriteSql : uint64_t { NextId = 1, Insert, InsertOrReplace, InsertOrReplaceWithRowId, RowById };
uint64_t WriteCode(WriteSql kind, const TableDef& t) { return uint64_t(1) << 62 | uint64_t(kind) << 40 | t.id; }

sqlite3_stmt* RowByIdStatement(SqliteConn& c, const TableDef& t) {
  return c.PrepareByCode(WriteCode(WriteSql::RowById, t), [&] { return SelectAll(t) + " WHERE rowid=?"; });
}

}  // namespace

// Adds one row on the writer inside the caller's transaction. An id field given as 0 gets
// max + 1; a status row's PackageUserId given as 0 takes the same value as its RecordId,
// so that history entries name the status row they hang on. With replace, a row that has
// the same id or natural key is replaced.
bool AddRow(SqliteConn& c, const TableDef& t, std::string rec, bool replace, Row* out,
            std::string& error) {
  uint8_t* r = reinterpret_cast<uint8_t*>(&rec[0]);
  const FieldDef* id = IdField(t);
  std::vector<const char*> nk = replace ? NaturalKey(t.id) : std::vector<const char*>{};
  // A row replaced by its natural key keeps its row id, and so its place among equal keys.
  int64_t keep = 0;
  if (!nk.empty() && (!id || FieldNumber(*id, r) == 0)) {
    sqlite3_stmt* s = c.Prepare("SELECT rowid FROM " + std::string(t.sqlName) + " WHERE " + NaturalWhere(nk) + " LIMIT 1");
    StmtUse u(s);
    if (!s) { error = Err(c); return false; }
    for (size_t i = 0; i < nk.size(); ++i) BindField(s, int(i) + 1, *t.Field(nk[i]), r);
    int rc = c.Step(s);
    if (rc == SQLITE_ROW) keep = sqlite3_column_int64(s, 0);
    else if (rc != SQLITE_DONE) { error = Err(c); return false; }
  }
  if (id && FieldNumber(*id, r) == 0) {
    int64_t next = keep;
    if (!next) {
      sqlite3_stmt* s = c.PrepareByCode(WriteCode(WriteSql::NextId, t), [&] {
        return "SELECT COALESCE(MAX(rowid),0)+1 FROM " + std::string(t.sqlName);
      });
      StmtUse u(s);
      if (!s || c.Step(s) != SQLITE_ROW) { error = Err(c); return false; }
      next = sqlite3_column_int64(s, 0);
    }
    if (next > int64_t(UINT32_MAX)) { error = std::string("no free id left in ") + t.sqlName; return false; }
    SetAssignedId(t, uint32_t(next), r);
  }
  bool withRowId = !id && keep;
  WriteSql kind = !replace ? WriteSql::Insert : withRowId ? WriteSql::InsertOrReplaceWithRowId : WriteSql::InsertOrReplace;
  sqlite3_stmt* s = c.PrepareByCode(WriteCode(kind, t), [&] {
    std::string sql = std::string(replace ? "INSERT OR REPLACE" : "INSERT") + " INTO " + t.sqlName + " (" +
                      (withRowId ? "rowid," : "") + ColumnList(t) + ") VALUES (" + (withRowId ? "?," : "");
    for (size_t i = 0; i < t.fields.size(); ++i) sql += i ? ",?" : "?";
    return sql + ")";
  });
  {
    StmtUse u(s);
    if (!s) { error = Err(c); return false; }
    int idx = 1;
    if (withRowId) sqlite3_bind_int64(s, idx++, keep);
    for (const FieldDef& f : t.fields) BindField(s, idx++, f, r);
    if (c.Step(s) != SQLITE_DONE) { error = Err(c); return false; }
  }
  int64_t rowid = sqlite3_last_insert_rowid(c.db());
  if (rowid > int64_t(UINT32_MAX)) { error = std::string("row id out of range in ") + t.sqlName; return false; }
  if (!out) return true;
  sqlite3_stmt* q = RowByIdStatement(c, t);
  StmtUse uq(q);
  if (!q) { error = Err(c); return false; }
  sqlite3_bind_int64(q, 1, rowid);
  if (c.Step(q) != SQLITE_ROW) { error = Err(c); return false; }
  ReadRow(q, t, *out);
  return true;
}

bool AddInstalled(SqliteConn& w, const InstalledPath& p, std::string& error) {
  sqlite3_stmt* s = w.Prepare("INSERT INTO installed (server,item,path,second) VALUES (?,?,?,?) "
                              "ON CONFLICT (server,item) DO UPDATE SET path=excluded.path, second=excluded.second");
  StmtUse u(s);
  if (!s) { error = Err(w); return false; }
  const std::string* v[] = {&p.server, &p.item, &p.path, &p.second};
  for (int j = 0; j < 4; ++j) sqlite3_bind_text(s, j + 1, v[j]->data(), int(v[j]->size()), SQLITE_TRANSIENT);
  if (w.Step(s) == SQLITE_DONE) return true;
  error = Err(w);
  return false;
}

std::unique_ptr<SqliteStore> SqliteStore::Open(const std::string& path, std::string& error) {
  // No memory statistics: they take one lock for the whole process on every allocation,
  // which the reader threads would otherwise fight over.
  static const bool configured = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK || true;
  (void)configured;
  std::unique_ptr<SqliteStore> st(new SqliteStore(path));
  st->writer_ = SqliteConn::Open(path, true, &st->calls_, &st->failAt_, &st->errors_, error);
  if (!st->writer_) return nullptr;
  SqliteConn& w = *st->writer_;
  // A REPLACE deletes the row it replaces; only with recursive triggers do the delete
  // triggers (the console's counts and text search) see that.
  if (!w.Exec("PRAGMA recursive_triggers=1")) { error = "cannot set up database " + path; return nullptr; }
  if (!w.Exec("BEGIN IMMEDIATE")) { error = "cannot lock database " + path; return nullptr; }
  bool ok = true;
  for (const TableDef* t : plx::AllTables()) {
    ok = ok && w.Exec(CreateSql(*t).c_str());
    for (const std::string& ix : IndexSql(*t)) ok = ok && w.Exec(ix.c_str());
  }
  // Installed-product answers per server and item ("KVR610", "SISITE", "PLXONDEMAND").
  ok = ok && w.Exec(
      "CREATE TABLE IF NOT EXISTS installed (server TEXT NOT NULL COLLATE NOCASE, "
      "item TEXT NOT NULL COLLATE NOCASE, path TEXT NOT NULL DEFAULT '', "
      "second TEXT NOT NULL DEFAULT '', UNIQUE (server, item))");
  ok = ok && CreateConsoleSchema(w);
  if (!ok || !w.Exec("COMMIT")) {
    w.RawExec("ROLLBACK");
    error = "cannot create the tables in " + path;
    return nullptr;
  }
  st->writes_.Start();
  return st;
}

SqliteStore::SqliteStore(std::string path) : path_(std::move(path)) {}

SqliteStore::~SqliteStore() { writes_.Stop(); }

bool SqliteStore::Control(SqliteConn& c, const char* sql) { return c.Run(sql); }

bool SqliteStore::Recover(SqliteConn& c, const char* sql) { return c.RawExec(sql); }

void SqliteStore::Committed() {
  if (!checkpointWanted_) return;
  // After an import the WAL holds most of the database: copied back, the readers find
  // its pages in their mapping instead of reading them from the WAL a call at a time.
  // Passive: it never waits for a reader; what it leaves, the next checkpoint takes.
  checkpointWanted_ = false;
  sqlite3_wal_checkpoint_v2(writer_->db(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
}

std::unique_ptr<SqliteConn> SqliteStore::TakeReader() {
  {
    std::lock_guard<std::mutex> lock(poolMutex_);
    if (!readers_.empty()) {
      std::unique_ptr<SqliteConn> c = std::move(readers_.back());
      readers_.pop_back();
      return c;
    }
  }
  std::string error;
  std::unique_ptr<SqliteConn> c = SqliteConn::Open(path_, false, &calls_, &failAt_, &errors_, error);
  if (!c) fprintf(stderr, "dblinkd: %s\n", error.c_str());
  return c;
}

void SqliteStore::GiveBack(std::unique_ptr<SqliteConn> c) {
  std::lock_guard<std::mutex> lock(poolMutex_);
  readers_.push_back(std::move(c));
}

namespace {

// A read by key on connection c: the first row of the seek in key order.
int32_t ReadOn(SqliteConn& c, const TableDef& t, const KeyDef& k, Seek seek, const std::vector<KeyPart>& parts,
               uint32_t afterRowId, Row& out) {
  size_t n = seek == Seek::First ? 0 : parts.size();
  if (n > k.fields.size()) return plx::kDbReadFailure;
  auto makeSql = [&] {
    std::string sql = SelectAll(t);
    if (n > 0 || seek == Seek::After) {
      std::string lhs, rhs;
      for (size_t i = 0; i < n; ++i) {
        lhs += (i ? "," : "") + Quoted(k.fields[i]->name);
        rhs += i ? ",?" : "?";
      }
      if (seek == Seek::Equal) {
        sql += " WHERE ";
        for (size_t i = 0; i < n; ++i) sql += (i ? " AND " : "") + Quoted(k.fields[i]->name) + "=?";
      } else if (seek == Seek::GreaterEq) {
        sql += " WHERE (" + lhs + ")>=(" + rhs + ")";
      } else {
        sql += " WHERE (" + lhs + (n ? "," : "") + "rowid)>(" + rhs + (n ? "," : "") + "?)";
      }
    }
    return sql + KeyOrder(k) + " LIMIT 1";
  };
  uint64_t code = uint64_t(t.id) << 32 | uint64_t(k.keyNo) << 16 | uint64_t(seek) << 8 | n;
  sqlite3_stmt* s = c.PrepareByCode(code, makeSql);
  StmtUse u(s);
  if (!s) return plx::kDbReadFailure;
  for (size_t i = 0; i < n; ++i) BindPart(s, int(i) + 1, parts[i]);
  if (seek == Seek::After) sqlite3_bind_int64(s, int(n) + 1, afterRowId);
  int rc = c.Step(s);
  if (rc == SQLITE_DONE) return plx::kDbNotFound;
  if (rc != SQLITE_ROW) {
    fprintf(stderr, "dblinkd: read of %s failed: %s\n", t.sqlName, Err(c));
    return plx::kDbReadFailure;
  }
  ReadRow(s, t, out);
  return plx::kDbOk;
}

int32_t ServerKnownOn(SqliteConn& c, const std::string& server) {
  sqlite3_stmt* s = c.Prepare(
      "SELECT 1 FROM servers WHERE ServerName=?1 UNION ALL "
      "SELECT 1 FROM installed WHERE server=?1 LIMIT 1");
  StmtUse u(s);
  if (!s) return plx::kDbReadFailure;
  sqlite3_bind_text(s, 1, server.data(), int(server.size()), SQLITE_TRANSIENT);
  int rc = c.Step(s);
  return rc == SQLITE_ROW ? plx::kDbOk : rc == SQLITE_DONE ? plx::kDbNotFound : plx::kDbReadFailure;
}

int32_t FindInstalledOn(SqliteConn& c, const std::string& server, const std::string& item, InstalledPath& out) {
  sqlite3_stmt* s = c.Prepare("SELECT server,item,path,second FROM installed WHERE server=? AND item=?");
  StmtUse u(s);
  if (!s) return plx::kDbReadFailure;
  sqlite3_bind_text(s, 1, server.data(), int(server.size()), SQLITE_TRANSIENT);
  sqlite3_bind_text(s, 2, item.data(), int(item.size()), SQLITE_TRANSIENT);
  int rc = c.Step(s);
  if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? plx::kDbNotFound : plx::kDbReadFailure;
  out = InstalledPath{Column(s, 0), Column(s, 1), Column(s, 2), Column(s, 3)};
  return plx::kDbOk;
}

}  // namespace

int32_t SqliteStore::Read(const TableDef& t, const KeyDef& k, Seek seek, const std::vector<KeyPart>& parts,
                          uint32_t afterRowId, Row& out) {
  Reader r(*this);
  if (!r) return plx::kDbReadFailure;
  return ReadOn(r.conn(), t, k, seek, parts, afterRowId, out);
}

void SqliteStore::Insert(const TableDef& t, std::string record, WriteDone done) {
  if (record.size() != t.recordLength) return done(plx::kDbWriteFailure, Row{});
  writes_.Submit(InsertWork<SqliteConn>(t, std::move(record)), std::move(done));
}

namespace {

// The stored row of a rewrite, read on the writer inside the write's transaction.
int32_t StoredRow(SqliteConn& w, const TableDef& t, uint32_t id, Row& out) {
  sqlite3_stmt* q = RowByIdStatement(w, t);
  StmtUse uq(q);
  if (!q) return plx::kDbWriteFailure;
  sqlite3_bind_int64(q, 1, id);
  int rc = w.Step(q);
  if (rc == SQLITE_DONE) return plx::kDbNotFound;
  if (rc != SQLITE_ROW) return plx::kDbWriteFailure;
  ReadRow(q, t, out);
  return plx::kDbOk;
}

}  // namespace

void SqliteStore::Rewrite(const TableDef& t, uint32_t id, std::string record, std::vector<std::string> writable,
                          RewriteCheck check, WriteDone done) {
  const FieldDef* idf = IdField(t);
  if (!idf || record.size() != t.recordLength) return done(plx::kDbWriteFailure, Row{});
  auto run = [&t, id, record = std::move(record), writable = std::move(writable),
              check = std::move(check)](SqliteConn& w, Row& out) -> int32_t {
    Row stored;
    int32_t st = StoredRow(w, t, id, stored);
    if (st != plx::kDbOk) return st;
    std::vector<const FieldDef*> fields;
    st = RewriteFields(t, stored.bytes, record, writable, check, fields);
    if (st != plx::kDbOk) return st;
    const uint8_t* r = reinterpret_cast<const uint8_t*>(record.data());
    std::string sets;
    for (const FieldDef* f : fields) sets += (sets.empty() ? "" : ",") + Quoted(f->name) + "=?";
    sqlite3_stmt* s = w.Prepare(std::string("UPDATE ") + t.sqlName + " SET " + sets + " WHERE rowid=?");
    {
      StmtUse u(s);
      if (!s) return plx::kDbWriteFailure;
      int idx = 1;
      for (const FieldDef* f : fields) BindField(s, idx++, *f, r);
      sqlite3_bind_int64(s, idx, id);
      if (w.Step(s) != SQLITE_DONE) {
        fprintf(stderr, "dblinkd: rewrite of %s failed: %s\n", t.sqlName, Err(w));
        return plx::kDbWriteFailure;
      }
    }
    st = StoredRow(w, t, id, out);
    return st == plx::kDbOk ? st : plx::kDbWriteFailure;
  };
  writes_.Submit(std::move(run), std::move(done));
}

int32_t SqliteStore::ServerKnown(const std::string& server) {
  Reader r(*this);
  return r ? ServerKnownOn(r.conn(), server) : plx::kDbReadFailure;
}

int32_t SqliteStore::FindInstalled(const std::string& server, const std::string& item, InstalledPath& out) {
  Reader r(*this);
  return r ? FindInstalledOn(r.conn(), server, item, out) : plx::kDbReadFailure;
}

bool SqliteStore::Scan(const TableDef& t, const Filter* filter, std::vector<Row>& out) {
  const FieldDef* ff = filter ? t.Field(filter->field) : nullptr;
  if (filter && !ff) return false;
  std::string sql = SelectAll(t);
  if (ff) sql += " WHERE " + Quoted(ff->name) + "=?";
  sql += " ORDER BY rowid";
  Reader r(*this);
  if (!r) return false;
  sqlite3_stmt* s = r->Prepare(sql);
  StmtUse u(s);
  if (!s) return false;
  if (ff) sqlite3_bind_int64(s, 1, filter->value);
  out.clear();
  int rc;
  while ((rc = r->Step(s)) == SQLITE_ROW) {
    out.emplace_back();
    ReadRow(s, t, out.back());
  }
  return rc == SQLITE_DONE;
}

bool SqliteStore::ScanInstalled(std::vector<InstalledPath>& out) {
  Reader r(*this);
  if (!r) return false;
  sqlite3_stmt* s = r->Prepare("SELECT server,item,path,second FROM installed ORDER BY rowid");
  StmtUse u(s);
  if (!s) return false;
  out.clear();
  int rc;
  while ((rc = r->Step(s)) == SQLITE_ROW) out.push_back(InstalledPath{Column(s, 0), Column(s, 1), Column(s, 2), Column(s, 3)});
  return rc == SQLITE_DONE;
}

bool SqliteStore::Import(const Document& doc, std::string& error) {
  std::promise<int32_t> result;
  std::string why;
  auto run = [&doc, &why](SqliteConn& w, Row&) { return ImportRows(w, doc, why); };
  writes_.Submit(run, [this, &result](int32_t s, const Row&) {
    if (s == plx::kDbOk) checkpointWanted_ = true;  // a commit's outcome: on the writer thread
    result.set_value(s);
  });
  if (result.get_future().get() == plx::kDbOk) return true;
  error = why.empty() ? "commit failed" : why;
  return false;
}

// One thread's rounds of reads on a connection of its own, taken from the pool for as long
// as the thread answers requests. The round's transaction begins with its first read (a
// deferred BEGIN takes its snapshot there) and ends with EndRound. BEGIN and COMMIT are
// not counted by the fault seam: they are not reads a test could name.
class SqliteStore::Rounds : public RoundStore {
 public:
  explicit Rounds(SqliteStore& s) : RoundStore(s), engine_(s), conn_(s.TakeReader()), owner_(std::this_thread::get_id()) {
    if (conn_) {
      begin_ = conn_->Prepare("BEGIN");
      commit_ = conn_->Prepare("COMMIT");
    }
  }
  ~Rounds() override {
    EndRound();
    if (conn_) engine_.GiveBack(std::move(conn_));
  }

  void EndRound() override {
    // A failed statement may have ended the transaction already; SQLite knows.
    if (!conn_ || sqlite3_get_autocommit(conn_->db())) return;
    int rc = sqlite3_step(commit_);
    sqlite3_reset(commit_);
    if (rc != SQLITE_DONE) conn_->RawExec("ROLLBACK");
  }

  int32_t Read(const TableDef& t, const KeyDef& k, Seek seek, const std::vector<KeyPart>& parts,
               uint32_t afterRowId, Row& out) override {
    SqliteConn* c = Mine();
    return c ? ReadOn(*c, t, k, seek, parts, afterRowId, out) : engine_.Read(t, k, seek, parts, afterRowId, out);
  }
  int32_t ServerKnown(const std::string& server) override {
    SqliteConn* c = Mine();
    return c ? ServerKnownOn(*c, server) : engine_.ServerKnown(server);
  }
  int32_t FindInstalled(const std::string& server, const std::string& item, InstalledPath& out) override {
    SqliteConn* c = Mine();
    return c ? FindInstalledOn(*c, server, item, out) : engine_.FindInstalled(server, item, out);
  }

 private:
  // The thread's connection inside the round's transaction, or null when called from
  // another thread or the connection could not be had.
  SqliteConn* Mine() {
    if (!conn_ || !begin_ || !commit_ || std::this_thread::get_id() != owner_) return nullptr;
    if (sqlite3_get_autocommit(conn_->db())) {
      int rc = sqlite3_step(begin_);
      sqlite3_reset(begin_);
      if (rc != SQLITE_DONE) return nullptr;
    }
    return conn_.get();
  }

  SqliteStore& engine_;  // the store_ of RoundStore, as its own engine
  std::unique_ptr<SqliteConn> conn_;
  std::thread::id owner_;
  sqlite3_stmt* begin_ = nullptr;
  sqlite3_stmt* commit_ = nullptr;
};

std::unique_ptr<RoundStore> SqliteStore::OpenRounds() { return std::unique_ptr<RoundStore>(new Rounds(*this)); }

}  // namespace dblink
