#include "read_ahead.h"

#include <algorithm>
#include <limits>

#include "fields.h"
#include "plx/bytes.h"
#include "requests.h"

namespace dblink {

using plx::proto::Reply;
using plx::proto::Request;

void HandleReadAhead(Store& store, ConnectionState& conn, const Request& q, ReplyDone done) {
  Reply bad;
  bad.status = plx::kDbInvalidOperation;
  if (q.cls != plx::kClassRead || q.data.size() != 4) return done(bad);
  const uint32_t wanted = plx::GetU32(reinterpret_cast<const uint8_t*>(q.data.data()));

  // The read itself goes the ordinary way, with every check an ordinary read gets.
  Request read = q;
  read.call = plx::proto::kCallOperation;
  read.data.clear();
  // A read is answered at once, on this thread, so the reply is here when the call returns.
  Reply first;
  first.status = plx::kDbReadFailure;
  HandleRequest(store, conn, read, [&first](Reply r) { first = std::move(r); });
  if (first.status != plx::kDbOk) return done(std::move(first));

  // The ordinary read succeeded, so table and key are known ones.
  const plx::TableDef& t = *plx::FindTable(q.table);
  const plx::KeyDef& k = *t.Key(q.keyNo);
  uint32_t capacity = plx::proto::BatchCapacity(t.recordLength);
  uint32_t total = wanted < capacity - 1 ? wanted + 1 : capacity;

  plx::proto::Batch batch;
  batch.rows.push_back({first.rowId, first.data});
  while (batch.rows.size() < total) {
    const plx::proto::BatchRow& last = batch.rows.back();
    std::string key = plx::KeyOf(k, reinterpret_cast<const uint8_t*>(last.record.data()));
    Row row;
    int32_t s = store.Read(t, k, Seek::After, DecodeKey(k, key), last.rowId, row);
    if (s == plx::kDbNotFound) {
      batch.indexEnds = true;
      break;
    }
    // A failure further on is the requester's to meet when it gets there.
    if (s != plx::kDbOk) break;
    batch.rows.push_back({row.rowId, std::move(row.bytes)});
  }
  first.data = plx::proto::EncodeBatch(batch);
  done(std::move(first));
}

namespace {

KeyPart Number(uint32_t v) {
  KeyPart p;
  p.number = v;
  return p;
}

// Reads every row of the package p names, walking the first package key, and the first row
// after the package in each package key. False when the rows do not fit one reply or a read
// failed: the requester then gets the read's own row only.
bool Gather(Store& store, const plx::TableDef& t, const std::vector<const plx::KeyDef*>& keys,
            plx::proto::PackageRows& p) {
  const plx::FieldDef& serverField = *keys[0]->fields[0];
  const plx::FieldDef& packageField = *keys[0]->fields[1];
  auto inPackage = [&](const Row& r) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(r.bytes.data());
    return FieldNumber(serverField, b) == p.serverId && FieldNumber(packageField, b) == p.packageId;
  };
  const plx::KeyDef& walk = *keys[0];
  const uint32_t capacity = plx::proto::PackageRowsCapacity(t.recordLength);
  Row row;
  int32_t s = store.Read(t, walk, Seek::GreaterEq, {Number(p.serverId), Number(p.packageId)}, 0, row);
  for (; s == plx::kDbOk && inPackage(row);
       s = store.Read(t, walk, Seek::After, DecodeKey(walk, plx::KeyOf(walk, reinterpret_cast<const uint8_t*>(row.bytes.data()))),
                      row.rowId, row)) {
    if (p.rows.size() == capacity) return false;
    p.rows.push_back({row.rowId, row.bytes});
  }
  if (s != plx::kDbOk && s != plx::kDbNotFound) return false;

  // The next package in every package key: the first row at (server, package + 1) or beyond.
  constexpr uint32_t kLast = std::numeric_limits<uint32_t>::max();
  std::vector<KeyPart> next;
  if (p.packageId != kLast) next = {Number(p.serverId), Number(p.packageId + 1)};
  else if (p.serverId != kLast) next = {Number(p.serverId + 1)};
  for (const plx::KeyDef* k : keys) {
    plx::proto::RowAfter a;
    a.keyNo = k->keyNo;
    s = next.empty() ? plx::kDbNotFound : store.Read(t, *k, Seek::GreaterEq, next, 0, row);
    if (s == plx::kDbOk) a.row = {row.rowId, row.bytes};
    else if (s == plx::kDbNotFound) a.indexEnds = true;
    else return false;
    p.after.push_back(std::move(a));
  }
  return true;
}

bool Holds(const plx::proto::PackageRows& p, uint32_t rowId) {
  for (const plx::proto::BatchRow& r : p.rows)
    if (r.rowId == rowId) return true;
  for (const plx::proto::RowAfter& a : p.after)
    if (!a.indexEnds && a.row.rowId == rowId) return true;
  return false;
}

}  // namespace

void HandlePackageRows(Store& store, ConnectionState& conn, const Request& q, ReplyDone done) {
  Reply bad;
  bad.status = plx::kDbInvalidOperation;
  if (q.cls != plx::kClassRead || !q.data.empty()) return done(bad);

  Request read = q;
  read.call = plx::proto::kCallOperation;
  Reply first;
  first.status = plx::kDbReadFailure;
  HandleRequest(store, conn, read, [&first](Reply r) { first = std::move(r); });
  if (first.status != plx::kDbOk && first.status != plx::kDbNotFound) return done(std::move(first));

  // The ordinary read passed its checks, so table and key are known ones.
  const plx::TableDef& t = *plx::FindTable(q.table);
  const plx::KeyDef* k = t.Key(q.keyNo);
  std::vector<const plx::KeyDef*> keys = plx::proto::PackageKeys(t);
  plx::proto::PackageRows p;
  const uint8_t* key = reinterpret_cast<const uint8_t*>(q.key.data());
  bool usable = q.op != plx::kOpGetFirst && q.key.size() >= 8 && std::find(keys.begin(), keys.end(), k) != keys.end();
  if (usable) {
    p.serverId = plx::GetU32(key);
    p.packageId = plx::GetU32(key + 4);
    usable = Gather(store, t, keys, p) && (first.status != plx::kDbOk || Holds(p, first.rowId));
  }
  p.complete = usable;
  if (!usable) {
    p.rows.clear();
    p.after.clear();
    if (first.status == plx::kDbOk) p.rows.push_back({first.rowId, first.data});
  }
  first.data = plx::proto::EncodePackageRows(p);
  done(std::move(first));
}

}  // namespace dblink
