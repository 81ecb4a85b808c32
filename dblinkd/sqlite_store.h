// The embedded engine: one SQLite file in WAL mode with synchronous=FULL, so that a row is
// on disk before its write is acknowledged. Reads use a pool of query-only connections and
// never wait for writes. Writes go to one writer thread that commits in groups: every
// write that arrived while the last commit synced goes into the next commit, each in a
// savepoint of its own so that one failing write leaves the others and nothing half done.
#pragma once
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "store.h"
#include "write_queue.h"

namespace dblink {

class SqliteConn;

class SqliteStore : public Store, public ConsoleData, private WriteEngine<SqliteConn> {
 public:
  // Opens or creates the database and its tables. Null with error set on failure.
  static std::unique_ptr<SqliteStore> Open(const std::string& path, std::string& error);
  // Finishes the writes already queued, then closes.
  ~SqliteStore() override;

  int32_t Read(const plx::TableDef& t, const plx::KeyDef& k, Seek seek,
               const std::vector<KeyPart>& parts, uint32_t afterRowId, Row& out) override;
  void Insert(const plx::TableDef& t, std::string record, WriteDone done) override;
  void Rewrite(const plx::TableDef& t, uint32_t id, std::string record, std::vector<std::string> writable,
               RewriteCheck check, WriteDone done) override;
  int32_t ServerKnown(const std::string& server) override;
  int32_t FindInstalled(const std::string& server, const std::string& item,
                        InstalledPath& out) override;
  bool Scan(const plx::TableDef& t, const Filter* filter, std::vector<Row>& out) override;
  bool ScanInstalled(std::vector<InstalledPath>& out) override;
  bool Import(const Document& doc, std::string& error) override;
  std::unique_ptr<RoundStore> OpenRounds() override;
  ConsoleData& Console() override { return *this; }

  // The console's reads and its re-offer (sqlite_console.cpp).
  bool Overview(const Page& page, Paged<PackageCounts>& out) override;
  bool Package(uint32_t packageId, bool& found, PackageCounts& counts, std::vector<TargetView>& targets) override;
  bool PackageStatus(uint32_t packageId, const StatusFilter& filter, const Page& page,
                     Paged<StatusRowView>& out) override;
  bool MachineStatus(const std::string& machine, const Page& page, Paged<StatusRowView>& out) override;
  bool UserStatus(const std::string& user, const Page& page, Paged<StatusRowView>& out) override;
  bool History(const HistoryQuery& query, const Page& page, Paged<HistoryView>& out) override;
  bool Totals(StatusTotals& out) override;
  int32_t Reoffer(uint32_t recordId, const std::string& date, const std::string& time) override;

  // How many of the newest history entries a search by text alone walks before it asks the
  // text index instead (see sqlite_console.cpp); tests set it to take either way.
  static constexpr uint32_t kTextWalk = 1000;
  void SetTextWalk(uint32_t entries) { textWalk_.store(entries); }

  // The query plan of every console statement: one text each, its name and then the
  // plan's lines, for checking that no query reads a whole big table.
  bool ConsolePlans(std::vector<std::string>& out);

  // Fault seam for tests: every statement step (reads and writes alike) is counted, and
  // the step whose number is set here fails as a database error would. 0: none fails.
  uint64_t EngineCalls() const { return calls_.load(); }
  void FailEngineCall(uint64_t n) { failAt_.store(n); }
  // Statements that failed so far, reads and writes.
  uint64_t EngineErrors() const override { return errors_.load(std::memory_order_relaxed); }
  // Commits so far (one per group of writes).
  uint64_t Commits() const { return writes_.Commits(); }

 private:
  explicit SqliteStore(std::string path);

  // One write as the writer thread runs it, inside its own savepoint.
  struct Job {
    WriteQueue<SqliteConn>::Work run;
    WriteDone done;
  };
  void Submit(Job job) { writes_.Submit(std::move(job.run), std::move(job.done)); }

  // The writer's side (see write_queue.h).
  SqliteConn* Writer() override { return writer_.get(); }
  const char* BeginSql() const override { return "BEGIN IMMEDIATE"; }
  bool Control(SqliteConn& c, const char* sql) override;
  bool Recover(SqliteConn& c, const char* sql) override;
  void Committed() override;

  // A reader connection borrowed from the pool for one call.
  class Reader;
  class Rounds;
  std::unique_ptr<SqliteConn> TakeReader();
  void GiveBack(std::unique_ptr<SqliteConn> c);

  std::string path_;
  std::atomic<uint64_t> calls_{0}, failAt_{0}, errors_{0};
  std::atomic<uint32_t> textWalk_{kTextWalk};
  std::unique_ptr<SqliteConn> writer_;  // used by the writer thread only (and Open)
  WriteQueue<SqliteConn> writes_{*this};
  bool checkpointWanted_ = false;  // writer thread only
  std::mutex poolMutex_;
  std::vector<std::unique_ptr<SqliteConn>> readers_;
};

}  // namespace dblink
