#include "requests.h"

#include <algorithm>
#include <cstring>
#include <memory>

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

// The same for a row read only to be answered: its bytes move into the reply.
Reply FromRow(int32_t status, Row&& row) {
  Reply r;
  r.status = status;
  if (status == kDbOk) {
    r.rowId = row.rowId;
    r.data = std::move(row.bytes);
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
  return FromRow(s, std::move(row));
}

// The write rule for status rows (table 303). A connection's writes may change the status
// rows of one workstation only, the one they name:
//  - workstations write rows of kind 6 (user) and 8 (machine) only, with PackageStatus 0-5;
//  - the machine id a row names is a machine row's TargetName, or a user row's Counterpart
//    when a machine row of the same package carries that name: a user row's Counterpart
//    holds either a machine id or the workstation's node address text, and the two cannot
//    be told apart by their form, so only a name the database knows as a machine counts;
//  - the first write on a connection that names a machine id binds the connection to it,
//    and every later write must name the same id (compared ignoring case);
//  - a rewrite keeps a row on its workstation: when the stored row names a machine id,
//    the rewritten row must name the same one.
// Anything else is 10601 with nothing changed. The id is declared by the writes, not
// proven (see README): the rule stops one workstation's mistakes and casual tampering
// from reaching another's rows, not an attacker who names the victim's id from the start.

// True when the package of rec has a machine row named `name`.
bool KnownMachine(Store& store, const TableDef& t, const std::string& rec, const std::string& name) {
  std::string probe = rec;
  uint8_t* p = reinterpret_cast<uint8_t*>(&probe[0]);
  SetFieldNumber(*t.Field("TargetKind"), kKindMachine, p);
  if (!SetFieldText(*t.Field("TargetName"), name, p)) return false;
  const KeyDef& k = *t.Key(kKeyTargetName);
  Row row;
  return store.Read(t, k, Seek::Equal, DecodeKey(k, plx::KeyOf(k, p)), 0, row) == kDbOk;
}

std::string RowMachine(Store& store, const TableDef& t, const std::string& rec) {
  const uint8_t* r = reinterpret_cast<const uint8_t*>(rec.data());
  uint32_t kind = FieldNumber(*t.Field("TargetKind"), r);
  if (kind == kKindMachine) return FieldText(*t.Field("TargetName"), r);
  std::string c = FieldText(*t.Field("Counterpart"), r);
  return c.empty() || !KnownMachine(store, t, rec, c) ? std::string() : c;
}

// The common part of the rule for a record about to be stored; `named` gets the machine
// id it names.
int32_t CheckStatusRecord(Store& store, const TableDef& t, const std::string& rec, const ConnectionState& conn,
                          std::string& named) {
  uint32_t kind = RecordField(t, rec, "TargetKind");
  if (kind != kKindUser && kind != kKindMachine) return kDbReadOnly;
  if (RecordField(t, rec, "PackageStatus") > kStatusLast) return kDbReadOnly;
  named = RowMachine(store, t, rec);
  if (kind == kKindMachine && named.empty()) return kDbReadOnly;
  if (!named.empty() && !conn.machineId.empty() && !EqualNoCase(named, conn.machineId)) return kDbReadOnly;
  return kDbOk;
}

// Takes one write from the connection's budget; false when it is spent.
bool TakeWrite(ConnectionState& c) {
  if (c.limit.perSecond <= 0) return true;
  auto now = std::chrono::steady_clock::now();
  if (c.tokens < 0) {
    c.tokens = c.limit.burst;
  } else {
    double add = std::chrono::duration<double>(now - c.refilled).count() * c.limit.perSecond;
    c.tokens = std::min(c.limit.burst, c.tokens + add);
  }
  c.refilled = now;
  if (c.tokens < 1) return false;
  c.tokens -= 1;
  return true;
}

// Binds the connection to the machine id a stored write named, once it is stored.
WriteDone Bind(ConnectionState& conn, std::shared_ptr<std::string> named, ReplyDone done) {
  return [&conn, named, done = std::move(done)](int32_t status, const Row& row) {
    if (status == kDbOk && conn.machineId.empty() && !named->empty()) conn.machineId = *named;
    done(FromRow(status, row));
  };
}

// Workstations add status rows (303, never targeting rows), history rows and history
// texts; the database assigns RecordId/PackageUserId (303) and TextId (305).
void DoInsert(Store& store, ConnectionState& conn, const Request& q, const TableDef& t, ReplyDone done) {
  bool allowed = t.id == kTableHistory || t.id == kTableHistoryText ||
                 (t.id == kTableUserPackage && RecordField(t, q.data, "Scheduled") == 0);
  if (!allowed || !TakeWrite(conn)) return done(Status(kDbReadOnly));
  auto named = std::make_shared<std::string>();
  if (t.id == kTableUserPackage) {
    int32_t s = CheckStatusRecord(store, t, q.data, conn, *named);
    if (s != kDbOk) return done(Status(s));
  }
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
  store.Insert(t, std::move(rec), Bind(conn, named, std::move(done)));
}

// A workstation may rewrite the outcome of a package-user row and nothing else: status,
// counts and the workstation it names. The agent keeps a user's status on the
// administrator's row for that user when it is the first workstation to use it, so
// targeting rows take these rewrites too; who or what is targeted cannot change.
void DoRewrite(Store& store, ConnectionState& conn, const Request& q, const TableDef& t, ReplyDone done) {
  static const std::vector<std::string> kOutcome = {"PackageStatus", "RefusalCount", "FailureCount",
                                                    "Counterpart"};
  if (t.id != kTableUserPackage || !TakeWrite(conn)) return done(Status(kDbReadOnly));
  auto named = std::make_shared<std::string>();
  int32_t s = CheckStatusRecord(store, t, q.data, conn, *named);
  if (s != kDbOk) return done(Status(s));
  uint32_t id = GetU32(reinterpret_cast<const uint8_t*>(q.key.data()));
  // Runs on the stored row inside the write: the row must stay on its workstation.
  RewriteCheck keepsOwner = [&store, &t, named](const std::string& stored, const std::string&) {
    std::string owner = RowMachine(store, t, stored);
    return owner.empty() || EqualNoCase(owner, *named) ? kDbOk : kDbReadOnly;
  };
  store.Rewrite(t, id, q.data, kOutcome, std::move(keepsOwner), Bind(conn, named, std::move(done)));
}

Reply DoConnect(Store& store, const Request& q) {
  std::string server = ArgText(q.key), product = ArgText(q.data);
  if (server.empty()) return Status(kDbNoServerName);
  if (product.empty()) return Status(kDbNoProductName);
  int32_t known = store.ServerKnown(server);
  if (known == kDbReadFailure) return Status(known);
  if (known != kDbOk) return Status(kDbServerInitFailed);
  if (!EqualNoCase(product, kProduct)) return Status(kDbProductUnknown);
  return Status(kDbOk);
}

Reply DoGetPath(Store& store, const Request& q) {
  InstalledPath p;
  int32_t s = store.FindInstalled(ArgText(q.key), ArgText(q.data), p);
  if (s == kDbReadFailure) return Status(s);
  if (s != kDbOk) return Status(kDbProductUnknown);
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
// reconnects (or reaches another replica) can go on where it was. Only the write rule
// remembers something of the connection.
void HandleRequest(Store& store, ConnectionState& conn, const Request& q, ReplyDone done) {
  switch (q.call) {
    case proto::kCallHello: {
      Reply r = Status(q.version == proto::kVersion ? kDbOk : kDbInitFailed);
      r.rowId = proto::kFeatureReadAhead | proto::kFeaturePackageRows;  // what this service offers
      return done(std::move(r));
    }
    case proto::kCallConnect: return done(DoConnect(store, q));
    case proto::kCallGetPath: return done(DoGetPath(store, q));
    case proto::kCallOperation: break;
    case proto::kCallReadAhead: return HandleReadAhead(store, conn, q, std::move(done));
    case proto::kCallPackageRows: return HandlePackageRows(store, conn, q, std::move(done));
    default: return done(Status(kDbInvalidOperation));
  }
  const TableDef* t = nullptr;
  const KeyDef* k = nullptr;
  int32_t s = Validate(q, t, k);
  if (s != kDbOk) return done(Status(s));
  if (q.cls == kClassRead) return done(DoRead(store, q, *t, *k));
  if (q.cls == kClassInsert) return DoInsert(store, conn, q, *t, std::move(done));
  DoRewrite(store, conn, q, *t, std::move(done));
}

}  // namespace dblink
