#include "plx/proto.h"

#include "plx/bytes.h"

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
