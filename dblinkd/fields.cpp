#include "fields.h"

#include <cstdio>
#include <cstring>

#include "plx/bytes.h"

namespace dblink {
namespace {

// Reads exactly "NN..N" digits at s[pos], count digits.
bool Digits(const std::string& s, size_t pos, size_t count, int& out) {
  if (pos + count > s.size()) return false;
  out = 0;
  for (size_t i = pos; i < pos + count; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    out = out * 10 + (s[i] - '0');
  }
  return true;
}

}  // namespace

std::string DateText(const uint8_t* p) {
  if (p[0] == 0 && p[1] == 0 && p[2] == 0) return "";
  char buf[32];
  snprintf(buf, sizeof buf, "%04d-%02d-%02d", 1900 + p[0], p[1], p[2]);
  return buf;
}

std::string TimeText(const uint8_t* p) {
  char buf[32];
  snprintf(buf, sizeof buf, "%02d:%02d:%02d", p[0], p[1], p[2]);
  return buf;
}

bool ParseDate(const std::string& s, uint8_t* p) {
  if (s.empty()) { p[0] = p[1] = p[2] = 0; return true; }
  int y, m, d;
  if (s.size() != 10 || s[4] != '-' || s[7] != '-' || !Digits(s, 0, 4, y) || !Digits(s, 5, 2, m) ||
      !Digits(s, 8, 2, d))
    return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1900 || y > 1900 + 255 || m < 1 || m > 12 || d < 1) return false;
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (d > kDays[m - 1] + (m == 2 && leap ? 1 : 0)) return false;
  p[0] = uint8_t(y - 1900); p[1] = uint8_t(m); p[2] = uint8_t(d);
  return true;
}

bool ParseTime(const std::string& s, uint8_t* p) {
  if (s.empty()) { p[0] = p[1] = p[2] = 0; return true; }
  int h, m, sec;
  if (s.size() != 8 || s[2] != ':' || s[5] != ':' || !Digits(s, 0, 2, h) || !Digits(s, 3, 2, m) ||
      !Digits(s, 6, 2, sec))
    return false;
  if (h > 23 || m > 59 || sec > 59) return false;
  p[0] = uint8_t(h); p[1] = uint8_t(m); p[2] = uint8_t(sec);
  return true;
}

bool IsNumeric(const plx::FieldDef& f) {
  return f.type == plx::FieldType::U16 || f.type == plx::FieldType::U32;
}

uint32_t FieldNumber(const plx::FieldDef& f, const uint8_t* rec) {
  switch (f.type) {
    case plx::FieldType::U16: return plx::GetU16(rec + f.offset);
    case plx::FieldType::U32: return plx::GetU32(rec + f.offset);
    case plx::FieldType::U8: return rec[f.offset];
    default: return 0;
  }
}

std::string FieldText(const plx::FieldDef& f, const uint8_t* rec) {
  const uint8_t* p = rec + f.offset;
  switch (f.type) {
    case plx::FieldType::Text: return std::string(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), f.width));
    case plx::FieldType::U8: return p[0] ? std::string(1, char(p[0])) : std::string();
    case plx::FieldType::Date: return DateText(p);
    case plx::FieldType::Time: return TimeText(p);
    default: return std::to_string(FieldNumber(f, rec));
  }
}

void SetFieldNumber(const plx::FieldDef& f, uint32_t v, uint8_t* rec) {
  switch (f.type) {
    case plx::FieldType::U16: plx::PutU16(rec + f.offset, uint16_t(v)); break;
    case plx::FieldType::U32: plx::PutU32(rec + f.offset, v); break;
    case plx::FieldType::U8: rec[f.offset] = uint8_t(v); break;
    default: break;
  }
}

bool SetFieldText(const plx::FieldDef& f, const std::string& v, uint8_t* rec) {
  uint8_t* p = rec + f.offset;
  switch (f.type) {
    case plx::FieldType::Text:
      if (v.size() > f.width || v.find('\0') != std::string::npos) return false;
      memset(p, 0, f.width);
      memcpy(p, v.data(), v.size());
      return true;
    case plx::FieldType::U8:
      if (v.size() > 1) return false;
      p[0] = v.empty() ? 0 : uint8_t(v[0]);
      return true;
    case plx::FieldType::Date: return ParseDate(v, p);
    case plx::FieldType::Time: return ParseTime(v, p);
    default: return false;
  }
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x -= 32;
    if (y >= 'a' && y <= 'z') y -= 32;
    if (x != y) return false;
  }
  return true;
}

}  // namespace dblink
