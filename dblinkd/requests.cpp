#include "requests.h"

#include <cstring>

#include "fields.h"
#include "plx/bytes.h"
#include "read_ahead.h"

namespace dblink {

using namespace plx;
using proto::Reply;
using proto::Request;

namespace {

// The product the agent connects for; the only one this service knows. Compared ignoring
// case, like server names.
const char kProduct[] = "KVR610";

Reply Status(int32_t s) {
  Reply r;
  r.status = s;
  return r;
}

Reply FromRow(int32_t status, const Row& row) {
  Reply r;
  r.status = status;
  if (status == kDbOk) {
    r.rowId = row.rowId;
    r.data = row.bytes;
  }
  return r;
}

bool IsRead(const Request& q) { return q.cls == kClassRead; }

bool KnownOperation(const Request& q) {
  if (q.cls == kClassRead)
    return q.op == kOpGetFirst || q.op == kOpGetNext || q.op == kOpGetEqual || q.op == kOpGetGreaterEq;
  if (q.cls == kClassInsert) return q.op == kOpInsert;
  if (q.cls == kClassRewrite) return q.op == kOpGetEqual;
  return false;
}

// The shape checks, in the order the statuses are given. The key def is returned for
// reads and rewrites; inserts carry key 0 (4 bytes) whatever keys the table has.
int32_t Validate(const Request& q, const TableDef*& t, const KeyDef*& k) {
  t = FindTable(q.table);
  if (!t) return kDbInvalidTable;
  if (!KnownOperation(q)) return kDbInvalidOperation;
  k = nullptr;
  if (q.cls == kClassInsert) {
    if (q.keyNo != 0) return kDbInvalidKey;
    if (q.key.size() != 4) return kDbInvalidFieldLength;
  } else {
    k = t->Key(q.keyNo);
    // A rewrite names its row by id, so only key 0 serves it.
    if (!k || (q.cls == kClassRewrite && q.keyNo != 0)) return kDbInvalidKey;
    bool partial = q.op == kOpGetGreaterEq;
    if (partial ? q.key.size() > k->length : q.key.size() != k->length) return kDbInvalidFieldLength;
  }
  if (q.recordLength != t->recordLength) return kDbRecordBufferTooSmall;
  size_t want = IsRead(q) ? 0 : t->recordLength;
  if (q.data.size() != want) return kDbInvalidOperation;
  return kDbOk;
}

uint32_t RecordField(const TableDef& t, const std::string& rec, const char* name) {
  const FieldDef* f = t.Field(name);
  return f ? FieldNumber(*f, reinterpret_cast<const uint8_t*>(rec.data())) : 0;
}

Reply DoRead(Store& store, const Request& q, const TableDef& t, const KeyDef& k) {
  Seek seek = Seek::First;
  switch (q.op) {
    case kOpGetFirst: seek = Seek::First; break;
    case kOpGetEqual: seek = Seek::Equal; break;
    case kOpGetGreaterEq: seek = Seek::GreaterEq; break;
    default: seek = Seek::After; break;
  }
  Row row;
  int32_t s = store.Read(t, k, seek, DecodeKey(k, q.key), q.posRowId, row);
  return FromRow(s, row);
}

// Workstations add status rows (303, never targeting rows), history rows and history
// texts; the database assigns RecordId/PackageUserId (303) and TextId (305).
Reply DoInsert(Store& store, const Request& q, const TableDef& t) {
  bool allowed = t.id == kTableHistory || t.id == kTableHistoryText ||
                 (t.id == kTableUserPackage && RecordField(t, q.data, "Scheduled") == 0);
  if (!allowed) return Status(kDbReadOnly);
  std::string rec = q.data;
  uint8_t* r = reinterpret_cast<uint8_t*>(&rec[0]);
  // Ids given as 0 are assigned by the database; a workstation never chooses its own.
  // PackageUserId of a status row becomes its RecordId (see AddRow in sqlite_store.cpp).
  if (t.id == kTableUserPackage) {
    SetFieldNumber(*t.Field("RecordId"), 0, r);
    SetFieldNumber(*t.Field("PackageUserId"), 0, r);
  } else if (t.id == kTableHistoryText) {
    SetFieldNumber(*t.Field("TextId"), 0, r);
  }
  Row row;
  return FromRow(store.Insert(t, rec, row), row);
}

// A workstation may rewrite the outcome of a package-user row and nothing else: status,
// counts and the workstation it names. The agent keeps a user's status on the
// administrator's row for that user when it is the first workstation to use it, so
// targeting rows take these rewrites too; who or what is targeted cannot change.
Reply DoRewrite(Store& store, const Request& q, const TableDef& t) {
  static const std::vector<std::string> kOutcome = {"PackageStatus", "RefusalCount", "FailureCount",
                                                    "Counterpart"};
  if (t.id != kTableUserPackage) return Status(kDbReadOnly);
  uint32_t id = GetU32(reinterpret_cast<const uint8_t*>(q.key.data()));
  Row row;
  return FromRow(store.Rewrite(t, id, q.data, kOutcome, row), row);
}

Reply DoConnect(Store& store, const Request& q) {
  std::string server = ArgText(q.key), product = ArgText(q.data);
  if (server.empty()) return Status(kDbNoServerName);
  if (product.empty()) return Status(kDbNoProductName);
  if (!store.ServerKnown(server)) return Status(kDbServerInitFailed);
  if (!EqualNoCase(product, kProduct)) return Status(kDbProductUnknown);
  return Status(kDbOk);
}

Reply DoGetPath(Store& store, const Request& q) {
  InstalledPath p;
  if (!store.FindInstalled(ArgText(q.key), ArgText(q.data), p)) return Status(kDbProductUnknown);
  Reply r;
  r.data = proto::EncodePathAnswer(p.path, p.second);
  return r;
}

}  // namespace

std::string ArgText(const std::string& bytes) {
  return bytes.substr(0, bytes.find('\0'));
}

std::vector<KeyPart> DecodeKey(const KeyDef& k, const std::string& bytes) {
  std::vector<KeyPart> parts;
  const uint8_t* b = reinterpret_cast<const uint8_t*>(bytes.data());
  size_t pos = 0;
  for (const FieldDef* f : k.fields) {
    if (pos + f->width > bytes.size()) break;
    KeyPart p;
    if (IsNumeric(*f)) {
      p.number = f->width == 2 ? GetU16(b + pos) : GetU32(b + pos);
    } else {
      p.isText = true;
      p.text.assign(reinterpret_cast<const char*>(b + pos), strnlen(reinterpret_cast<const char*>(b + pos), f->width));
    }
    parts.push_back(std::move(p));
    pos += f->width;
  }
  return parts;
}

// Each frame stands alone: Hello checks the version but opens nothing, so a requester that
// reconnects (or reaches another replica) can go on where it was.
Reply HandleRequest(Store& store, const Request& q) {
  switch (q.call) {
    case proto::kCallHello: {
      Reply r = Status(q.version == proto::kVersion ? kDbOk : kDbInitFailed);
      r.rowId = proto::kFeatureReadAhead;  // what this service offers
      return r;
    }
    case proto::kCallConnect: return DoConnect(store, q);
    case proto::kCallGetPath: return DoGetPath(store, q);
    case proto::kCallOperation: break;
    case proto::kCallReadAhead: return HandleReadAhead(store, q);
    default: return Status(kDbInvalidOperation);
  }
  const TableDef* t = nullptr;
  const KeyDef* k = nullptr;
  int32_t s = Validate(q, t, k);
  if (s != kDbOk) return Status(s);
  if (q.cls == kClassRead) return DoRead(store, q, *t, *k);
  if (q.cls == kClassInsert) return DoInsert(store, q, *t);
  return DoRewrite(store, q, *t);
}

}  // namespace dblink
