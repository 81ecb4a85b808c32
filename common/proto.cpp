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
  if (n < kReplyHeaderSize || n > kReplyHeaderSize + kMaxData) return false;
  r.status = int32_t(GetU32(b));
  r.rowId = GetU32(b + 4);
  r.data.assign(reinterpret_cast<const char*>(b + kReplyHeaderSize), n - kReplyHeaderSize);
  return true;
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
