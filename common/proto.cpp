#include "plx/proto.h"

#include "plx/bytes.h"
#include "plx/records.h"

#include <cstring>

namespace plx::proto {

std::string EncodeRequest(const Request& r) {
  const uint32_t body = kHeaderSize + uint32_t(r.key.size()) + uint32_t(r.data.size());
  std::string out(4 + kHeaderSize, '\0');
  uint8_t* p = reinterpret_cast<uint8_t*>(&out[0]);
  PutU32(p, body);
  PutU16(p + 4, r.call);
  PutU16(p + 6, r.version);
  PutU32(p + 8, r.table);
  PutU32(p + 12, r.cls);
  PutU32(p + 16, r.op);
  PutU32(p + 20, r.keyNo);
  PutU32(p + 24, uint32_t(r.key.size()));
  PutU32(p + 28, r.recordLength);
  PutU32(p + 32, r.posRowId);
  PutU32(p + 36, uint32_t(r.data.size()));
  out += r.key;
  out += r.data;
  return out;
}

bool DecodeRequest(const uint8_t* b, size_t n, Request& r) {
  if (n < kHeaderSize) return false;
  uint32_t keyLen = GetU32(b + 20), dataLen = GetU32(b + 32);
  if (keyLen > kMaxKey || dataLen > kMaxData || n != kHeaderSize + keyLen + dataLen) return false;
  r.call = GetU16(b);
  r.version = GetU16(b + 2);
  r.table = GetU32(b + 4);
  r.cls = GetU32(b + 8);
  r.op = GetU32(b + 12);
  r.keyNo = GetU32(b + 16);
  r.recordLength = GetU32(b + 24);
  r.posRowId = GetU32(b + 28);
  r.key.assign(reinterpret_cast<const char*>(b + kHeaderSize), keyLen);
  r.data.assign(reinterpret_cast<const char*>(b + kHeaderSize + keyLen), dataLen);
  return true;
}

std::string EncodeReply(const Reply& r) {
  std::string out(4 + kReplyHeaderSize, '\0');
  uint8_t* p = reinterpret_cast<uint8_t*>(&out[0]);
  PutU32(p, kReplyHeaderSize + uint32_t(r.data.size()));
  PutU32(p + 4, uint32_t(r.status));
  PutU32(p + 8, r.rowId);
  out += r.data;
  return out;
}

bool DecodeReply(const uint8_t* b, size_t n, Reply& r) {
  if (n < kReplyHeaderSize || n > kReplyHeaderSize + kMaxReplyData) return false;
  r.status = int32_t(GetU32(b));
  r.rowId = GetU32(b + 4);
  r.data.assign(reinterpret_cast<const char*>(b + kReplyHeaderSize), n - kReplyHeaderSize);
  return true;
}

std::string EncodeBatch(const Batch& b) {
  std::string out(8, '\0');
  uint8_t* p = reinterpret_cast<uint8_t*>(&out[0]);
  PutU32(p, b.indexEnds ? kBatchIndexEnds : 0);
  PutU32(p + 4, uint32_t(b.rows.size()));
  for (const BatchRow& r : b.rows) {
    uint8_t id[4];
    PutU32(id, r.rowId);
    out.append(reinterpret_cast<const char*>(id), 4);
    out += r.record;
  }
  return out;
}

bool DecodeBatch(const std::string& data, uint32_t recordLength, Batch& out) {
  if (data.size() < 8) return false;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(data.data());
  uint32_t flags = GetU32(p), count = GetU32(p + 4);
  const size_t each = 4 + size_t(recordLength);
  if (count == 0 || count > kMaxBatchRows || data.size() != 8 + each * count) return false;
  out.indexEnds = (flags & kBatchIndexEnds) != 0;
  out.rows.clear();
  out.rows.reserve(count);
  for (size_t at = 8; at < data.size(); at += each) {
    BatchRow r;
    r.rowId = GetU32(p + at);
    r.record.assign(data, at + 4, recordLength);
    out.rows.push_back(std::move(r));
  }
  return true;
}

uint32_t BatchCapacity(uint32_t recordLength) {
  uint32_t fit = (kMaxBatch - 8) / (4 + recordLength);
  return fit < kMaxBatchRows ? fit : kMaxBatchRows;
}

namespace {

void PutRow(std::string& out, const BatchRow& r) {
  uint8_t id[4];
  PutU32(id, r.rowId);
  out.append(reinterpret_cast<const char*>(id), 4);
  out += r.record;
}

void PutWord(std::string& out, uint32_t v) {
  uint8_t b[4];
  PutU32(b, v);
  out.append(reinterpret_cast<const char*>(b), 4);
}

// Reads what Put* wrote, refusing to run past the end.
struct Reader {
  const std::string& data;
  size_t at = 0;
  bool Word(uint32_t& v) {
    if (data.size() - at < 4) return false;
    v = GetU32(reinterpret_cast<const uint8_t*>(data.data()) + at);
    at += 4;
    return true;
  }
  bool Row(uint32_t recordLength, BatchRow& r) {
    if (!Word(r.rowId) || data.size() - at < recordLength) return false;
    r.record.assign(data, at, recordLength);
    at += recordLength;
    return true;
  }
};

constexpr uint32_t kRowsComplete = 0x1;
constexpr uint32_t kRowsToTheEnd = 0x2;
// Keys that start with (ServerId, PackageId): one table has two at most.
constexpr uint32_t kMaxPackageKeys = 2;

}  // namespace

std::string EncodePackageRows(const PackageRows& p) {
  std::string out;
  PutWord(out, (p.complete ? kRowsComplete : 0) | (p.toTheEnd ? kRowsToTheEnd : 0));
  PutWord(out, p.serverId);
  PutWord(out, p.packageId);
  PutWord(out, p.endServerId);
  PutWord(out, p.endPackageId);
  PutWord(out, uint32_t(p.rows.size()));
  for (const BatchRow& r : p.rows) PutRow(out, r);
  PutWord(out, uint32_t(p.after.size()));
  for (const RowAfter& a : p.after) {
    PutWord(out, a.keyNo);
    PutWord(out, a.indexEnds ? 1 : 0);
    if (!a.indexEnds) PutRow(out, a.row);
  }
  return out;
}

bool DecodePackageRows(const std::string& data, uint32_t recordLength, PackageRows& out) {
  Reader in{data};
  uint32_t flags = 0, count = 0, keys = 0;
  if (!in.Word(flags) || !in.Word(out.serverId) || !in.Word(out.packageId) || !in.Word(out.endServerId) ||
      !in.Word(out.endPackageId) || !in.Word(count))
    return false;
  if (count > PackageRowsCapacity(recordLength)) return false;
  out.complete = (flags & kRowsComplete) != 0;
  out.toTheEnd = (flags & kRowsToTheEnd) != 0;
  out.rows.assign(count, BatchRow{});
  for (BatchRow& r : out.rows)
    if (!in.Row(recordLength, r)) return false;
  if (!in.Word(keys) || keys > kMaxPackageKeys) return false;
  out.after.assign(keys, RowAfter{});
  for (RowAfter& a : out.after) {
    uint32_t ends = 0;
    if (!in.Word(a.keyNo) || !in.Word(ends) || ends > 1) return false;
    a.indexEnds = ends == 1;
    if (!a.indexEnds && !in.Row(recordLength, a.row)) return false;
  }
  return in.at == data.size();
}

std::vector<const KeyDef*> PackageKeys(const TableDef& t) {
  std::vector<const KeyDef*> out;
  for (const KeyDef& k : t.keys)
    if (k.fields.size() >= 2 && strcmp(k.fields[0]->name, "ServerId") == 0 &&
        strcmp(k.fields[1]->name, "PackageId") == 0 && k.fields[0]->width == 4 && k.fields[1]->width == 4)
      out.push_back(&k);
  if (out.size() > kMaxPackageKeys) out.resize(kMaxPackageKeys);
  return out;
}

uint32_t PackageRowsCapacity(uint32_t recordLength) {
  const uint32_t head = 24 + 4 + kMaxPackageKeys * (8 + 4 + recordLength);
  return head < kMaxBatch ? (kMaxBatch - head) / (4 + recordLength) : 0;
}

std::string EncodePathAnswer(const std::string& first, const std::string& second) {
  std::string out = first;
  out += '\0';
  out += second;
  out += '\0';
  return out;
}

bool DecodePathAnswer(const std::string& data, std::string& first, std::string& second) {
  size_t a = data.find('\0');
  if (a == std::string::npos) return false;
  size_t b = data.find('\0', a + 1);
  if (b == std::string::npos) return false;
  first = data.substr(0, a);
  second = data.substr(a + 1, b - a - 1);
  return true;
}

}  // namespace plx::proto
