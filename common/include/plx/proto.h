// Frames of the requester protocol between Dblinkr32.dll and dblinkd.
//
// Request: u32 length of what follows, then a fixed 36-byte header
//   u16 call, u16 version, u32 table, u32 class, u32 operation, u32 key number,
//   u32 key length, u32 record length, u32 position row id, u32 data length,
// then the key bytes and the data bytes. Reply: u32 length of what follows, then
//   i32 status, u32 row id, and the record (or text) bytes.
// All integers little-endian. One frame is one send; the service keeps no state between
// frames, so get-next carries its position (the last key value and row id) with it.
//
// Read-ahead: the reply to Hello carries in its row id the features the service offers (an
// older service sends 0). A requester that was offered kFeatureReadAhead may send a read as
// kCallReadAhead, its data a u32: how many of the rows that follow in the same index it
// would like as well. The reply's row id and status are those of the read; its data is a
// batch (EncodeBatch): u32 flags, u32 row count, then per row a u32 row id and the record.
// A requester that never asks gets the replies it always got.
//
// Package rows: a requester offered kFeaturePackageRows may send a read of a table whose
// key starts with (ServerId, PackageId) as kCallPackageRows, no data. The reply's row id and
// status are those of the read; its data (EncodePackageRows) is every row of that package
// and of the packages after it (in (ServerId, PackageId) order) as far as one reply holds
// whole packages, in the order of the first such key, and for each such key the first row
// beyond them (or that the index ends there), so that the requester can answer those
// packages' other reads by those keys itself. When the package alone has more rows than
// one reply carries, the data is only the read's own row, marked incomplete.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plx {
struct KeyDef;
struct TableDef;
}  // namespace plx

namespace plx::proto {

constexpr uint16_t kVersion = 1;
constexpr uint32_t kHeaderSize = 36;
constexpr uint32_t kReplyHeaderSize = 8;
constexpr uint32_t kMaxKey = 512;
constexpr uint32_t kMaxData = 4096;
constexpr uint32_t kMaxFrame = kHeaderSize + kMaxKey + kMaxData;
// A read-ahead reply may be longer than one record; nothing else is.
constexpr uint32_t kMaxBatch = 32768;
constexpr uint32_t kMaxReplyData = kMaxBatch;
// Rows one read-ahead reply carries at most, however small they are: bounds the service's
// work per frame.
constexpr uint32_t kMaxBatchRows = 64;

// Feature bits of a Hello reply.
constexpr uint32_t kFeatureReadAhead = 0x1;
constexpr uint32_t kFeaturePackageRows = 0x2;
// Batch flag: the index ends after the batch's last row.
constexpr uint32_t kBatchIndexEnds = 0x1;

enum Call : uint16_t {
  kCallHello = 1,      // first exchange on a TCP connection: version check
  kCallConnect = 2,    // key = server name, data = product code; checks the service knows both
  kCallGetPath = 3,    // key = server name, data = item ("KVR610", "SISITE", "PLXONDEMAND")
  kCallOperation = 4,  // DBOperationEx
  kCallReadAhead = 5,  // a read of DBOperationEx, answered with the rows that follow it
  kCallPackageRows = 6,  // a read of DBOperationEx, answered with all rows of its package
};

struct Request {
  uint16_t call = 0;
  uint16_t version = kVersion;
  uint32_t table = 0;
  uint32_t cls = 0;
  uint32_t op = 0;
  uint32_t keyNo = 0;
  uint32_t recordLength = 0;  // the caller's record length; data carries the bytes of a write
  uint32_t posRowId = 0;      // get-next: row id of the record read last
  std::string key;
  std::string data;
};

struct Reply {
  int32_t status = 0;
  uint32_t rowId = 0;
  std::string data;
};

// Encoded frames include their length prefix.
std::string EncodeRequest(const Request& r);
std::string EncodeReply(const Reply& r);

// Decode the body of a frame (after the length prefix). False when the body is not a
// well-formed frame: lengths disagree or exceed the limits.
bool DecodeRequest(const uint8_t* body, size_t n, Request& out);
bool DecodeReply(const uint8_t* body, size_t n, Reply& out);

// One row of a read-ahead batch.
struct BatchRow {
  uint32_t rowId = 0;
  std::string record;
};

struct Batch {
  bool indexEnds = false;  // nothing follows the last row in that index
  std::vector<BatchRow> rows;
};

// Every record of a batch has the table's record length; DecodeBatch refuses anything else.
std::string EncodeBatch(const Batch& b);
bool DecodeBatch(const std::string& data, uint32_t recordLength, Batch& out);

// How many rows a read-ahead reply of a table may carry: the read's own and those after it.
uint32_t BatchCapacity(uint32_t recordLength);

// The rows of one package (ServerId, PackageId) in one table.
struct RowAfter {
  uint32_t keyNo = 0;
  bool indexEnds = false;  // no row follows the package in that key
  BatchRow row;            // else the first row after it
};

struct PackageRows {
  bool complete = false;  // false: `rows` holds only the read's own row (or none)
  // Every row from package (serverId, packageId) up to, not including, package
  // (endServerId, endPackageId), or to the end of the table.
  uint32_t serverId = 0, packageId = 0;
  bool toTheEnd = false;
  uint32_t endServerId = 0, endPackageId = 0;
  std::vector<BatchRow> rows;
  std::vector<RowAfter> after;  // one per key that starts with (ServerId, PackageId)
};

std::string EncodePackageRows(const PackageRows& p);
bool DecodePackageRows(const std::string& data, uint32_t recordLength, PackageRows& out);

// The keys of a table that start with (ServerId, PackageId), by key number: those whose
// reads package rows answer.
std::vector<const KeyDef*> PackageKeys(const TableDef& t);

// Rows a package-rows reply may carry: room is left for the rows after them in two keys.
uint32_t PackageRowsCapacity(uint32_t recordLength);

// A get-path answer carries two texts, each ended by a zero byte.
std::string EncodePathAnswer(const std::string& first, const std::string& second);
bool DecodePathAnswer(const std::string& data, std::string& first, std::string& second);

}  // namespace plx::proto
