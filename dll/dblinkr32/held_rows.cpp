#include "held_rows.h"

namespace requester {

namespace {

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Where (key, rowId) stands among the held rows of index k, or -1. The row id alone is
// not enough: the caller's copy of that row may have other key values than the held one.
long Find(const HeldRows& h, const plx::KeyDef& k, const std::string& key, uint32_t rowId) {
  if (h.keyNo != k.keyNo) return -1;
  for (size_t i = 0; i < h.rows.size(); ++i)
    if (h.rows[i].rowId == rowId && plx::KeyOf(k, Bytes(h.rows[i].record)) == key) return long(i);
  return -1;
}

}  // namespace

Held NextHeld(const HeldRows& h, const plx::KeyDef& k, const std::string& key, uint32_t rowId,
              const plx::proto::BatchRow*& out) {
  long i = Find(h, k, key, rowId);
  if (i < 0) return Held::kMiss;
  if (size_t(i) + 1 < h.rows.size()) {
    out = &h.rows[size_t(i) + 1];
    return Held::kRow;
  }
  return h.indexEnds ? Held::kEnd : Held::kMiss;
}

const plx::proto::BatchRow* HeldById(const HeldRows& h, const plx::KeyDef& key0, const std::string& key) {
  if (key0.keyNo != 0 || key.size() != key0.length) return nullptr;
  for (const plx::proto::BatchRow& r : h.rows)
    if (plx::KeyOf(key0, Bytes(r.record)) == key) return &r;
  return nullptr;
}

bool AtLastHeld(const HeldRows& h, const plx::KeyDef& k, const std::string& key, uint32_t rowId) {
  long i = Find(h, k, key, rowId);
  return i >= 0 && size_t(i) + 1 == h.rows.size();
}

}  // namespace requester
