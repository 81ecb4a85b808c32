#include "read_ahead.h"

#include <algorithm>

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

// Reads every row of the package p names and of the packages after it, walking the first
// package key, as long as whole packages fit one reply; then the first row beyond them in
// each package key. False when the first package alone does not fit or a read failed: the
// requester then gets the read's own row only.
bool Gather(Store& store, const plx::TableDef& t, const std::vector<const plx::KeyDef*>& keys,
            plx::proto::PackageRows& p) {
  const plx::FieldDef& serverField = *keys[0]->fields[0];
  const plx::FieldDef& packageField = *keys[0]->fields[1];
  const plx::KeyDef& walk = *keys[0];
  const uint32_t capacity = plx::proto::PackageRowsCapacity(t.recordLength);
  uint32_t server = p.serverId, package = p.packageId;
  size_t packageStart = 0;  // where the rows of (server, package) begin
  Row row;
  int32_t s = store.Read(t, walk, Seek::GreaterEq, {Number(server), Number(package)}, 0, row);
  for (; s == plx::kDbOk;
       s = store.Read(t, walk, Seek::After, DecodeKey(walk, plx::KeyOf(walk, reinterpret_cast<const uint8_t*>(row.bytes.data()))),
                      row.rowId, row)) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(row.bytes.data());
    uint32_t rs = FieldNumber(serverField, b), rp = FieldNumber(packageField, b);
    if (rs != server || rp != package) {
      server = rs;
      package = rp;
      packageStart = p.rows.size();
    }
    if (p.rows.size() == capacity) {
      if (packageStart == 0) return false;
      p.rows.resize(packageStart);  // whole packages only
      break;
    }
    p.rows.push_back({row.rowId, row.bytes});
  }
  if (s != plx::kDbOk && s != plx::kDbNotFound) return false;
  p.toTheEnd = s == plx::kDbNotFound;
  p.endServerId = p.toTheEnd ? 0 : server;
  p.endPackageId = p.toTheEnd ? 0 : package;

  for (const plx::KeyDef* k : keys) {
    plx::proto::RowAfter a;
    a.keyNo = k->keyNo;
    s = p.toTheEnd ? plx::kDbNotFound : store.Read(t, *k, Seek::GreaterEq, {Number(server), Number(package)}, 0, row);
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
