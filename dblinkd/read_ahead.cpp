#include "read_ahead.h"

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

}  // namespace dblink
