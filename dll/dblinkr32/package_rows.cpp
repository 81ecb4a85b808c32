#include "package_rows.h"

#include "plx/bytes.h"

namespace requester {

namespace {

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

uint8_t Lower(uint8_t c) { return c >= 'A' && c <= 'Z' ? uint8_t(c - 'A' + 'a') : c; }

size_t TextLength(const uint8_t* p, size_t width) {
  size_t n = 0;
  while (n < width && p[n]) ++n;
  return n;
}

// Names compare ignoring ASCII case, byte by byte, then by length, as the service does.
int CompareText(const uint8_t* a, size_t an, const uint8_t* b, size_t bn) {
  size_t n = an < bn ? an : bn;
  for (size_t i = 0; i < n; ++i) {
    uint8_t x = Lower(a[i]), y = Lower(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return an == bn ? 0 : an < bn ? -1 : 1;
}

bool Comparable(const plx::KeyDef& k) {
  for (const plx::FieldDef* f : k.fields)
    if (f->type != plx::FieldType::U16 && f->type != plx::FieldType::U32 && f->type != plx::FieldType::Text)
      return false;
  return true;
}

// A record's key fields against key bytes, over the fields the bytes cover whole.
int CompareKey(const plx::KeyDef& k, const uint8_t* rec, const std::string& key) {
  const uint8_t* kb = Bytes(key);
  size_t at = 0;
  for (const plx::FieldDef* f : k.fields) {
    if (at + f->width > key.size()) break;
    const uint8_t* r = rec + f->offset;
    int c = 0;
    if (f->type == plx::FieldType::Text) {
      c = CompareText(r, TextLength(r, f->width), kb + at, TextLength(kb + at, f->width));
    } else {
      uint32_t x = f->width == 2 ? plx::GetU16(r) : plx::GetU32(r);
      uint32_t y = f->width == 2 ? plx::GetU16(kb + at) : plx::GetU32(kb + at);
      c = x == y ? 0 : x < y ? -1 : 1;
    }
    if (c) return c;
    at += f->width;
  }
  return 0;
}

// Whether row a comes before row b in key k.
bool Before(const plx::KeyDef& k, const plx::proto::BatchRow& a, const plx::proto::BatchRow& b) {
  int c = CompareKey(k, Bytes(a.record), plx::KeyOf(k, Bytes(b.record)));
  return c < 0 || (c == 0 && a.rowId < b.rowId);
}

// Whether package (s, p) is among those whose rows are all held.
bool Covers(const plx::proto::PackageRows& h, uint32_t s, uint32_t p) {
  auto before = [](uint32_t s1, uint32_t p1, uint32_t s2, uint32_t p2) { return s1 < s2 || (s1 == s2 && p1 < p2); };
  if (before(s, p, h.serverId, h.packageId)) return false;
  return h.toTheEnd || before(s, p, h.endServerId, h.endPackageId);
}

}  // namespace

bool PackageOfKey(const plx::TableDef& t, const plx::KeyDef& k, const std::string& key, uint32_t& serverId,
                  uint32_t& packageId) {
  if (key.size() < 8) return false;
  for (const plx::KeyDef* p : plx::proto::PackageKeys(t))
    if (p == &k) {
      serverId = plx::GetU32(Bytes(key));
      packageId = plx::GetU32(Bytes(key) + 4);
      return true;
    }
  return false;
}

const plx::proto::BatchRow* PackageRowById(const plx::proto::PackageRows& p, uint32_t rowId) {
  for (const plx::proto::BatchRow& r : p.rows)
    if (r.rowId == rowId) return &r;
  for (const plx::proto::RowAfter& a : p.after)
    if (!a.indexEnds && a.row.rowId == rowId) return &a.row;
  return nullptr;
}

Held FromPackage(const HeldPackage& h, const plx::TableDef& t, const plx::KeyDef& k, uint32_t op,
                 const std::string& key, uint32_t posRowId, const plx::proto::BatchRow*& out) {
  const plx::proto::PackageRows& p = h.rows;
  if (!p.complete || !Comparable(k)) return Held::kMiss;

  // A re-read by id of a row held: ids are unique, so any held row that has it is the one.
  if (k.keyNo == 0) {
    if (op != plx::kOpGetEqual || key.size() != k.length) return Held::kMiss;
    for (const plx::FieldDef* f : k.fields)
      if (f->type == plx::FieldType::Text) return Held::kMiss;  // the bytes would not tell
    auto same = [&](const plx::proto::BatchRow& r) { return plx::KeyOf(k, Bytes(r.record)) == key; };
    out = nullptr;
    for (const plx::proto::BatchRow& r : p.rows)
      if (same(r)) out = &r;
    for (const plx::proto::RowAfter& a : p.after)
      if (!out && !a.indexEnds && same(a.row)) out = &a.row;
    return out ? Held::kRow : Held::kMiss;
  }

  uint32_t serverId = 0, packageId = 0;
  if (!PackageOfKey(t, k, key, serverId, packageId) || !Covers(p, serverId, packageId)) return Held::kMiss;
  // The shapes the service refuses are left to it.
  const bool equal = op == plx::kOpGetEqual, next = op == plx::kOpGetNext;
  if (equal || next ? key.size() != k.length : op != plx::kOpGetGreaterEq || key.size() > k.length)
    return Held::kMiss;

  out = nullptr;
  for (const plx::proto::BatchRow& r : p.rows) {
    int c = CompareKey(k, Bytes(r.record), key);
    bool fits = equal ? c == 0 : next ? c > 0 || (c == 0 && r.rowId > posRowId) : c >= 0;
    if (fits && (!out || Before(k, r, *out))) out = &r;
  }
  if (out) return Held::kRow;
  // Every row of the package is held, so none that equals the key is elsewhere; the first
  // row beyond them in this key is the one after the packages held.
  if (equal) return Held::kEnd;
  for (const plx::proto::RowAfter& a : p.after)
    if (a.keyNo == k.keyNo) {
      if (a.indexEnds) return Held::kEnd;
      out = &a.row;
      return Held::kRow;
    }
  return Held::kMiss;
}

}  // namespace requester
