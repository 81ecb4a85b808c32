// The embedded engine: one SQLite file in WAL mode with synchronous=FULL, so that a row is
// on disk before its insert is acknowledged. Writes go through one connection under a mutex;
// reads use a pool of query-only connections and run in parallel.
#pragma once
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "store.h"

struct sqlite3;

namespace dblink {

class SqliteConn;

class SqliteStore : public Store {
 public:
  // Opens or creates the database and its tables. Null with error set on failure.
  static std::unique_ptr<SqliteStore> Open(const std::string& path, std::string& error);
  ~SqliteStore() override;

  int32_t Read(const plx::TableDef& t, const plx::KeyDef& k, Seek seek,
               const std::vector<KeyPart>& parts, uint32_t afterRowId, Row& out) override;
  int32_t Insert(const plx::TableDef& t, const std::string& record, Row& out) override;
  int32_t Rewrite(const plx::TableDef& t, uint32_t id, const std::string& record,
                  const std::vector<std::string>& writable, Row& out) override;
  bool ServerKnown(const std::string& server) override;
  bool FindInstalled(const std::string& server, const std::string& item,
                     InstalledPath& out) override;
  bool Scan(const plx::TableDef& t, const Filter* filter, std::vector<Row>& out) override;
  bool ScanInstalled(std::vector<InstalledPath>& out) override;
  bool Import(const Document& doc, std::string& error) override;

 private:
  explicit SqliteStore(std::string path);

  // A reader connection borrowed from the pool for one call.
  class Reader;
  std::unique_ptr<SqliteConn> TakeReader();
  void GiveBack(std::unique_ptr<SqliteConn> c);

  std::string path_;
  std::mutex writeMutex_;
  std::unique_ptr<SqliteConn> writer_;
  std::mutex poolMutex_;
  std::vector<std::unique_ptr<SqliteConn>> readers_;
};

}  // namespace dblink
