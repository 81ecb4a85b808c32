// The package database as the service sees it: tables of packed records, read by key in
// typed key order. SqliteStore is the embedded engine, PgStore the one for a database
// server; an engine only has to keep these calls and their statuses.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "console_data.h"
#include "plx/records.h"

namespace dblink {

// One key field's value, decoded from key bytes: a number or a text.
struct KeyPart {
  bool isText = false;
  uint32_t number = 0;
  std::string text;
};

// A record as stored: its packed bytes (the table's record length) and its row id.
struct Row {
  std::string bytes;
  uint32_t rowId = 0;
};

enum class Seek {
  First,      // first row in key order
  Equal,      // first row whose key equals the parts
  GreaterEq,  // first row whose leading key fields are >= the parts
  After,      // first row whose (key, row id) is > (parts, afterRowId)
};

// An installed-product answer: package path and configuration file for "KVR610", the site
// name in `second` for "SISITE", the on-demand directory for "PLXONDEMAND".
struct InstalledPath {
  std::string server;
  std::string item;
  std::string path;
  std::string second;
};

// Everything an import brings: rows per table (packed bytes) and installed paths.
struct Document {
  struct Table {
    const plx::TableDef* def = nullptr;
    std::vector<std::string> rows;
  };
  std::vector<Table> tables;
  std::vector<InstalledPath> installed;
};

// A row filter for listings: one numeric field equal to a value.
struct Filter {
  const char* field = nullptr;
  uint32_t value = 0;
};

// A write's outcome, given once its commit is durable (or it failed): the status and the
// stored record. Called on the store's writer thread; it must not block.
using WriteDone = std::function<void(int32_t status, const Row& stored)>;

// Decides a rewrite from the stored row and the record sent, inside the write's
// transaction: kDbOk lets it through, any other status refuses it with nothing changed.
using RewriteCheck = std::function<int32_t(const std::string& stored, const std::string& record)>;

class RoundStore;

class Store {
 public:
  virtual ~Store() = default;

  // Reads return kDbOk with the row, kDbNotFound, or kDbReadFailure.
  virtual int32_t Read(const plx::TableDef& t, const plx::KeyDef& k, Seek seek,
                       const std::vector<KeyPart>& parts, uint32_t afterRowId, Row& out) = 0;

  // Inserts the record; an id field (the field of key 0) given as 0 is assigned by the
  // database. done gets the stored record: kDbOk or kDbWriteFailure.
  virtual void Insert(const plx::TableDef& t, std::string record, WriteDone done) = 0;

  // Rewrites the `writable` fields of the row whose id (key 0) is `id` from `record`, only
  // when every other field of `record` (the id aside) equals the stored row's and check
  // agrees. done gets kDbOk, kDbNotFound, kDbReadOnly (another field differs), check's
  // refusal or kDbWriteFailure.
  virtual void Rewrite(const plx::TableDef& t, uint32_t id, std::string record,
                       std::vector<std::string> writable, RewriteCheck check, WriteDone done) = 0;

  // kDbOk when known, kDbNotFound when not, kDbReadFailure when the database failed.
  virtual int32_t ServerKnown(const std::string& server) = 0;
  virtual int32_t FindInstalled(const std::string& server, const std::string& item,
                                InstalledPath& out) = 0;

  // All rows of a table in row order (optionally filtered). False on a database failure.
  virtual bool Scan(const plx::TableDef& t, const Filter* filter, std::vector<Row>& out) = 0;
  virtual bool ScanInstalled(std::vector<InstalledPath>& out) = 0;

  // Adds or replaces the document's rows in one transaction: all or nothing. error says
  // what failed. Waits for the commit.
  virtual bool Import(const Document& doc, std::string& error) = 0;

  // The store as one thread that answers requests in rounds sees it (see RoundStore).
  // Opened and used on that thread.
  virtual std::unique_ptr<RoundStore> OpenRounds() = 0;

  // What the administrator's console reads, and its one write.
  virtual ConsoleData& Console() = 0;

  // Statements that failed so far, reads and writes.
  virtual uint64_t EngineErrors() const = 0;
};

// Reads made between two EndRound calls share one read transaction: one snapshot and one
// lock for the lot instead of one per read. A read then sees every write acknowledged
// before the round's first read, and nothing committed after it (the requester server
// hands out writes' replies in a round of their own, so a connection reads its own
// writes). Writes and listings go to the store as usual. A call from another thread (a rewrite's check
// runs on the writer) is served by the store itself.
class RoundStore : public Store {
 public:
  explicit RoundStore(Store& store) : store_(store) {}
  virtual void EndRound() = 0;
  std::unique_ptr<RoundStore> OpenRounds() override { return nullptr; }

  // Writes and listings are the store's own.
  void Insert(const plx::TableDef& t, std::string record, WriteDone done) override {
    store_.Insert(t, std::move(record), std::move(done));
  }
  void Rewrite(const plx::TableDef& t, uint32_t id, std::string record, std::vector<std::string> writable,
               RewriteCheck check, WriteDone done) override {
    store_.Rewrite(t, id, std::move(record), std::move(writable), std::move(check), std::move(done));
  }
  bool Scan(const plx::TableDef& t, const Filter* filter, std::vector<Row>& out) override {
    return store_.Scan(t, filter, out);
  }
  bool ScanInstalled(std::vector<InstalledPath>& out) override { return store_.ScanInstalled(out); }
  bool Import(const Document& doc, std::string& error) override { return store_.Import(doc, error); }
  ConsoleData& Console() override { return store_.Console(); }
  uint64_t EngineErrors() const override { return store_.EngineErrors(); }

 protected:
  Store& store_;
};

}  // namespace dblink
