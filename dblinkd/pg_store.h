// The engine for sites that outgrow one file: a PostgreSQL database that any number of
// dblinkd processes share. Reads borrow pooled connections and run READ COMMITTED; a
// round of reads shares one REPEATABLE READ snapshot. Writes go to one writer connection
// that commits in groups (write_queue.h); an id is MAX+1 under a transaction lock per
// table, so that two processes never hand out one id twice, and a rewrite locks its row.
#pragma once
#include <memory>
#include <string>

#include "pg_conn.h"
#include "pg_console.h"
#include "store.h"
#include "write_queue.h"

namespace dblink {

class PgStore : public Store, private WriteEngine<PgConn> {
 public:
  // Connects, checks the database's encoding and creates what is missing of the schema.
  // Null with error set on failure.
  static std::unique_ptr<PgStore> Open(const std::string& uri, std::string& error);
  // Finishes the writes already queued, then closes.
  ~PgStore() override;

  int32_t Read(const plx::TableDef& t, const plx::KeyDef& k, Seek seek, const std::vector<KeyPart>& parts,
               uint32_t afterRowId, Row& out) override;
  void Insert(const plx::TableDef& t, std::string record, WriteDone done) override;
  void Rewrite(const plx::TableDef& t, uint32_t id, std::string record, std::vector<std::string> writable,
               RewriteCheck check, WriteDone done) override;
  int32_t ServerKnown(const std::string& server) override;
  int32_t FindInstalled(const std::string& server, const std::string& item, InstalledPath& out) override;
  bool Scan(const plx::TableDef& t, const Filter* filter, std::vector<Row>& out) override;
  bool ScanInstalled(std::vector<InstalledPath>& out) override;
  bool Import(const Document& doc, std::string& error) override;
  std::unique_ptr<RoundStore> OpenRounds() override;
  ConsoleData& Console() override { return console_; }
  uint64_t EngineErrors() const override { return counters_.errors.load(std::memory_order_relaxed); }

  // Commits so far (one per group of writes).
  uint64_t Commits() const { return writes_.Commits(); }

  // A failure another try may pass: a serialization failure, a deadlock, a connection
  // that broke.
  static bool TransientFailure(const PgConn& c);

 private:
  explicit PgStore(std::string uri);

  // The writer's connection, connected afresh when the last one broke.
  PgConn* Connect(std::string& error);
  // The writer's side (see write_queue.h).
  PgConn* Writer() override;
  // A write transaction takes the id locks of every table first, always in one order: a
  // group holds them to its commit, so that another process's group, which would take
  // them too, waits for it instead of meeting it halfway in a deadlock. Groups of several
  // processes thus commit one after the other; each group holds every write that arrived
  // meanwhile.
  const char* BeginSql() const override { return begin_.c_str(); }
  // Savepoints are round trips: a group runs without them unless one of its writes fails.
  bool SavepointsCost() const override { return true; }
  bool Control(PgConn& c, const char* sql) override { return c.Run(sql); }
  bool Recover(PgConn& c, const char* sql) override { return c.RawRun(sql); }
  bool Transient(PgConn& c) override { return TransientFailure(c); }

  // Runs read(conn) on a pooled connection, again on another one while it fails in a way
  // another try may pass. fail is what a read that cannot be had returns.
  template <class R, class F> R WithReader(R fail, F read);

  class Rounds;

  std::string uri_;
  PgCounters counters_;
  PgPool pool_;
  PgConsole console_;
  std::string begin_;
  std::unique_ptr<PgConn> writer_;  // the writer thread's only (and Open's)
  WriteQueue<PgConn> writes_{*this};
};

}  // namespace dblink
