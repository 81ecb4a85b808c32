// The package database as the service sees it: tables of packed records, read by key in
// typed key order. SqliteStore is the embedded engine; another engine only has to keep
// these calls and their statuses.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

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

class Store {
 public:
  virtual ~Store() = default;

  // Reads return kDbOk with the row, kDbNotFound, or kDbReadFailure.
  virtual int32_t Read(const plx::TableDef& t, const plx::KeyDef& k, Seek seek,
                       const std::vector<KeyPart>& parts, uint32_t afterRowId, Row& out) = 0;

  // Inserts the record; an id field (the field of key 0) given as 0 is assigned by the
  // database. out gets the stored record. kDbOk or kDbWriteFailure.
  virtual int32_t Insert(const plx::TableDef& t, const std::string& record, Row& out) = 0;

  // Rewrites the `writable` fields of the row whose id (key 0) is `id` from `record`, only
  // when every other field of `record` (the id aside) equals the stored row's, byte for
  // byte. kDbOk, kDbNotFound, kDbReadOnly (another field differs) or kDbWriteFailure.
  virtual int32_t Rewrite(const plx::TableDef& t, uint32_t id, const std::string& record,
                          const std::vector<std::string>& writable, Row& out) = 0;

  virtual bool ServerKnown(const std::string& server) = 0;
  virtual bool FindInstalled(const std::string& server, const std::string& item,
                             InstalledPath& out) = 0;

  // All rows of a table in row order (optionally filtered). False on a database failure.
  virtual bool Scan(const plx::TableDef& t, const Filter* filter, std::vector<Row>& out) = 0;
  virtual bool ScanInstalled(std::vector<InstalledPath>& out) = 0;

  // Adds or replaces the document's rows in one transaction: all or nothing. error says
  // what failed.
  virtual bool Import(const Document& doc, std::string& error) = 0;
};

}  // namespace dblink
