// Dblinkr32.dll: the database requester. The eight DB...Ex calls travel over one TCP link
// per server to the package database service, as the frames of plx/proto.h.
//
// The services are named in DBLINKR32.INI beside this DLL:
//
//   [Servers]
//   SRV=127.0.0.1:7001        ; server name = host:port of its database service
//   SRV2=dbhost.example:7001
//   SRV3=10.0.0.5:7310, 10.0.0.6:7310   ; replicas of one service (addresses.h)
//
// A server's link goes to one of its addresses: at first the one this process's spread
// number picks, and after a link to it failed (refused, reset or silent), the next one.
//
// Sessions and connections live only here: the service sees a stream of self-contained
// requests, and this library keeps, per connection and table, the position that a
// get-next continues from, and the rows it already holds (held_rows.h).
#include "dblinkr32.h"

#include <winsock2.h>
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "addresses.h"
#include "dllfile.h"
#include "held_rows.h"
#include "link.h"
#include "package_rows.h"
#include "plx/bytes.h"
#include "plx/proto.h"
#include "plx/records.h"

namespace {

using plx::proto::Reply;
using plx::proto::Request;
using requester::Held;
using requester::HeldPackage;
using requester::HeldRows;
using requester::Io;
using requester::Link;

// Statuses this library gives besides the service's.
constexpr int32_t kDbNotStarted = 10008;      // a call that needs DBInitRequesterEx first
constexpr int32_t kDbParamBlockSize = 10205;  // the parameter block is under 12 bytes
constexpr int32_t kDbNoPosition = 10606;      // get-next before any record was read there

constexpr uint32_t kDefaultRetries = 1;
constexpr uint32_t kDefaultTimeoutSec = 6;
// Longer than any wait a workstation would sit through; keeps the milliseconds in range.
constexpr uint32_t kMaxTimeoutSec = 3600;

// Rows asked for beyond the first when a walk starts: enough for the targeting rows of one
// package and kind, cheap when only the first row is wanted. A walk that goes on past what
// it holds asks for twice as many each time, up to what one reply carries.
constexpr uint32_t kFirstReadAhead = 4;

// Room for a server's value in the INI file: a few dozen replicas' addresses.
constexpr size_t kMaxServersValue = 2048;

// The last record read on one table of a connection, as a get-next needs it.
struct Position {
  uint32_t keyNo = 0;
  std::string record;
  uint32_t rowId = 0;
};

struct Connection {
  uint32_t session = 0;
  std::string server;                      // upper case
  std::map<uint32_t, Position> positions;  // by table
  std::map<uint32_t, HeldRows> held;       // by table
  std::map<uint32_t, HeldPackage> packages;  // by table
};

// Handles carry their kind in the top byte, so that a session is never taken for a
// connection, and a count below it, so that a handle already closed can be told from one
// never given out.
constexpr uint32_t kSessionTag = 0x53000000;     // 'S'
constexpr uint32_t kConnectionTag = 0x43000000;  // 'C'
constexpr uint32_t kTagMask = 0xFF000000;

struct Requester {
  std::mutex lock;
  bool winsock = false;
  bool started = false;
  uint32_t retries = kDefaultRetries;
  uint32_t timeoutSec = kDefaultTimeoutSec;
  std::map<std::string, Link> links;                   // by upper-case server name
  std::map<std::string, uint32_t> turns;               // address index of each server's next link
  bool spreadSet = false;
  uint32_t spread = 0;  // picks the address each server's first link tries
  std::map<uint32_t, std::vector<uint32_t>> sessions;  // session -> its connections
  std::map<uint32_t, Connection> connections;
  uint32_t issued = 0;  // handles given out so far

  uint32_t NewHandle(uint32_t tag) {
    issued = (issued + 1) & ~kTagMask;
    if (issued == 0) issued = 1;
    return tag | issued;
  }
  bool WasIssued(uint32_t handle, uint32_t tag) const {
    uint32_t n = handle & ~kTagMask;
    return (handle & kTagMask) == tag && n != 0 && n <= issued;
  }
  uint64_t TimeoutMs() const { return uint64_t(timeoutSec) * 1000; }
};

// Never destroyed: the links close with the process, and nothing runs at unload time that
// could touch Winsock after it went away.
Requester& State() {
  static Requester* r = new Requester;
  return *r;
}

std::string Upper(const char* s) {
  std::string u = s ? s : "";
  if (!u.empty()) CharUpperBuffA(&u[0], DWORD(u.size()));
  return u;
}

// The addresses of a server's service from the INI file. False when it is not listed, or
// the value is no list of host:port or too long to be read whole.
bool ServiceAddresses(const std::string& server, std::vector<requester::ServiceAddress>& list) {
  char ini[MAX_PATH];
  if (!plxdll::FileBesideModule(reinterpret_cast<const void*>(&DBInitRequesterEx), "DBLINKR32.INI", ini,
                                sizeof ini))
    return false;
  char value[kMaxServersValue];
  DWORD n = GetPrivateProfileStringA("Servers", server.c_str(), "", value, sizeof value, ini);
  if (n + 1 >= sizeof value) return false;
  return requester::ParseServiceAddresses(std::string(value, n), list);
}

// Where a server's next link goes first, as an index into its addresses (the list may
// have changed in the INI file since, hence the modulo at each use). The first link of the
// process starts from its spread number.
uint32_t& Turn(Requester& r, const std::string& server) {
  if (!r.spreadSet) {
    r.spread = requester::SpreadNumber(GetCurrentProcessId(), GetTickCount());
    r.spreadSet = true;
  }
  auto t = r.turns.find(server);
  if (t == r.turns.end()) t = r.turns.emplace(server, r.spread).first;
  return t->second;
}

// A link to the current address failed: the next link tries the address after it.
void MoveOn(Requester& r, const std::string& server) { ++Turn(r, server); }

enum class Open { kOk, kUnknownServer, kVersionRefused, kFailed };

// Connect to one address and greet its service before the deadline.
Open Greet(Requester& r, const requester::ServiceAddress& a, Link& link, uint64_t deadline) {
  if (!link.Connect(a.host, a.port, deadline, uint32_t(r.TimeoutMs()))) return Open::kFailed;
  Request hello;
  hello.call = plx::proto::kCallHello;
  Reply reply;
  if (link.Exchange(plx::proto::EncodeRequest(hello), reply, deadline) != Io::kOk) return Open::kFailed;
  if (reply.status == plx::kDbOk) {
    link.SetFeatures(reply.rowId);
    return Open::kOk;
  }
  link.Close();
  return reply.status == plx::kDbInitFailed ? Open::kVersionRefused : Open::kFailed;
}

// One attempt at a link, in one window of the time-out: the server's addresses in turn,
// from the current one, each with an even share of what is left of the window, so that an
// address that refuses costs nothing and one that hangs leaves time for the others (one
// address has the whole window, as ever). When none answered, the attempt waits out the
// rest of its window, so that a service that is down costs the caller retries times the
// time-out, as the agent's options promise, and not a burst of refused connects.
Open OpenAttempt(Requester& r, const std::string& server, Link& link, uint64_t deadline) {
  std::vector<requester::ServiceAddress> list;
  if (!ServiceAddresses(server, list)) return Open::kUnknownServer;
  uint32_t& turn = Turn(r, server);
  for (size_t tried = 0; tried < list.size(); ++tried) {
    uint64_t now = requester::Now();
    uint64_t share = now < deadline ? (deadline - now) / (list.size() - tried) : 0;
    Open o = Greet(r, list[turn % list.size()], link, now + share);
    if (o != Open::kFailed) return o;
    turn = turn % list.size() + 1;
  }
  uint64_t now = requester::Now();
  if (now < deadline) Sleep(DWORD(deadline - now));
  return Open::kFailed;
}

int32_t OpenStatus(Open o) {
  return o == Open::kOk ? plx::kDbOk : o == Open::kVersionRefused ? plx::kDbInitFailed : plx::kDbServerInitFailed;
}

// Sends one request to a server's service and reads the reply, opening the link first when
// it is closed. The library's retries count time windows of the time-out each: opening a
// link takes one, and so does a reply that never came on a link that was already open. A
// link that broke while idle (the service was restarted) is simply opened again.
//
// A read, Connect or GetPath changes nothing, so after a failure it is sent again within
// the retries. A write is never sent again once its frame went out, nor sent on an idle
// link that may be dead: the service may have stored it before the link broke, and a
// second insert would duplicate the row. Such a write answers 10100; nothing is known of
// its fate.
//
// A package-rows request goes out as the read-ahead `fallback` (when given) to a service
// that did not offer package rows, and either goes out as the plain read to a service that
// offered neither; `answered` gets the call the reply answers.
int32_t Call(Requester& r, const std::string& server, const Request& q, Reply& reply, bool resendable,
             uint16_t* answered = nullptr, const Request* fallback = nullptr) {
  auto feature = [](uint16_t call) {
    return call == plx::proto::kCallReadAhead     ? plx::proto::kFeatureReadAhead
           : call == plx::proto::kCallPackageRows ? plx::proto::kFeaturePackageRows
                                                  : 0;
  };
  Request plain = q;
  if (feature(q.call)) {
    plain.call = plx::proto::kCallOperation;
    plain.data.clear();
  }
  uint32_t windows = r.retries;
  for (;;) {
    Link& link = r.links[server];
    const bool wasOpen = link.IsOpen();
    bool reused = wasOpen && (resendable || link.StillUp());
    if (wasOpen && !reused) MoveOn(r, server);  // it broke while idle: that replica went away
    uint64_t deadline = requester::Now() + r.TimeoutMs();
    if (!reused) {
      if (windows == 0) return plx::kDbServerInitFailed;
      --windows;
      Open o = OpenAttempt(r, server, link, deadline);
      if (o == Open::kFailed) continue;
      if (o != Open::kOk) return OpenStatus(o);
    }
    // What this link's service offers decides the form, anew after every reconnect.
    const uint32_t offered = link.Features();
    const Request& form = !feature(q.call) || (offered & feature(q.call)) ? q
                          : fallback && (offered & feature(fallback->call)) ? *fallback
                                                                            : plain;
    if (answered) *answered = form.call;
    Io io = link.Exchange(plx::proto::EncodeRequest(form), reply, deadline);
    if (io == Io::kOk) return plx::kDbOk;
    MoveOn(r, server);  // the link is closed; whatever comes next goes to the next replica
    if (io == Io::kBadReply) return plx::kDbUnknownError;
    if (io != Io::kNotSent && !resendable) return plx::kDbServerInitFailed;
    if (reused && io == Io::kTimedOut) {
      if (windows == 0) return plx::kDbServerInitFailed;
      --windows;
    }
  }
}

bool StartWinsock(Requester& r) {
  if (r.winsock) return true;
  WSADATA data;
  r.winsock = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  return r.winsock;
}

bool IsRead(uint32_t cls) { return cls == plx::kClassRead; }

// Gives the caller a row (no more than its buffer holds) and, for a read, makes the row the
// table's position, as the service would after the same read.
void GiveRow(Connection& conn, uint32_t table, uint32_t keyNo, const plx::proto::BatchRow& row, void* record,
             uint32_t recordLength, bool positions = true) {
  memcpy(record, row.record.data(), row.record.size() < recordLength ? row.record.size() : recordLength);
  if (!positions) return;
  Position& pos = conn.positions[table];
  pos.keyNo = keyNo;
  pos.record = row.record;
  pos.rowId = row.rowId;
}

}  // namespace

DBLINKR32_API int32_t DBInitRequesterEx(const char* server, const uint32_t* params) {
  if (!params || !server) return plx::kDbNullPointer;
  if (params[0] < 12) return kDbParamBlockSize;
  if (!*server) return plx::kDbNoServerName;
  Requester& r = State();
  std::lock_guard<std::mutex> hold(r.lock);
  if (!StartWinsock(r)) return plx::kDbServerInitFailed;
  r.retries = params[1] ? params[1] : kDefaultRetries;
  r.timeoutSec = params[2] ? (params[2] < kMaxTimeoutSec ? params[2] : kMaxTimeoutSec) : kDefaultTimeoutSec;

  std::string name = Upper(server);
  Link& link = r.links[name];
  Open o = link.IsOpen() ? Open::kOk : Open::kFailed;
  for (uint32_t attempt = 0; attempt < r.retries && o == Open::kFailed; ++attempt)
    o = OpenAttempt(r, name, link, requester::Now() + r.TimeoutMs());
  // Later servers' links open on first use with these settings (the agent initialises
  // the requester once, for the first server).
  if (o == Open::kOk) r.started = true;
  return OpenStatus(o);
}

DBLINKR32_API int32_t DBInitSessionEx(uint32_t* session) {
  if (!session) return plx::kDbNullPointer;
  Requester& r = State();
  std::lock_guard<std::mutex> hold(r.lock);
  *session = 0;
  if (!r.started) return kDbNotStarted;
  uint32_t h = r.NewHandle(kSessionTag);
  r.sessions[h];
  *session = h;
  return plx::kDbOk;
}

// The service trusts a workstation with reads and with its own status and history rows, so
// the user name and password (empty from the agent) are not sent; reserved is not used.
DBLINKR32_API int32_t DBConnectEx(uint32_t session, const char* server, const char* user,
                                  const char* password, const char* product, uint32_t reserved,
                                  uint32_t* connection) {
  if (!connection || !server || !product) return plx::kDbNullPointer;
  *connection = 0;
  if (!*server) return plx::kDbNoServerName;
  if (!*product) return plx::kDbNoProductName;
  Requester& r = State();
  std::lock_guard<std::mutex> hold(r.lock);
  if (!r.started) return kDbNotStarted;
  auto s = r.sessions.find(session);
  if (s == r.sessions.end()) return plx::kDbInvalidSession;

  std::string name = Upper(server);
  Request q;
  q.call = plx::proto::kCallConnect;
  q.key = server;
  q.data = product;
  Reply reply;
  int32_t st = Call(r, name, q, reply, true);
  if (st != plx::kDbOk) return st;
  if (reply.status != plx::kDbOk) return reply.status;

  uint32_t h = r.NewHandle(kConnectionTag);
  Connection& c = r.connections[h];
  c.session = session;
  c.server = name;
  s->second.push_back(h);
  *connection = h;
  return plx::kDbOk;
}

DBLINKR32_API int32_t DBGetPathAppInstalledEx(const char* server, const char* item, char* path,
                                              char* second) {
  if (!server || !item || !path || !second) return plx::kDbNullPointer;
  path[0] = second[0] = '\0';
  if (!*server) return plx::kDbNoServerName;
  if (!*item) return plx::kDbNoProductName;
  Requester& r = State();
  std::lock_guard<std::mutex> hold(r.lock);
  if (!r.started) return kDbNotStarted;

  Request q;
  q.call = plx::proto::kCallGetPath;
  q.key = server;
  q.data = item;
  Reply reply;
  int32_t st = Call(r, Upper(server), q, reply, true);
  if (st != plx::kDbOk) return st;
  if (reply.status != plx::kDbOk) return reply.status;
  std::string first, rest;
  if (!plx::proto::DecodePathAnswer(reply.data, first, rest)) return plx::kDbUnknownError;
  plx::CopyText(path, 256, first.c_str());
  plx::CopyText(second, 256, rest.c_str());
  return plx::kDbOk;
}

DBLINKR32_API int32_t DBOperationEx(uint32_t connection, uint32_t table, uint32_t cls, uint32_t op,
                                    uint32_t keyNo, uint32_t keyLength, uint32_t recordLength,
                                    void* key, void* record) {
  if (!key || !record) return plx::kDbNullPointer;
  Requester& r = State();
  std::lock_guard<std::mutex> hold(r.lock);
  auto c = r.connections.find(connection);
  if (c == r.connections.end()) return plx::kDbInvalidHandle;
  const plx::TableDef* t = plx::FindTable(table);
  if (!t) return plx::kDbInvalidTable;
  if (keyLength > plx::proto::kMaxKey) return plx::kDbInvalidFieldLength;
  if (recordLength > plx::proto::kMaxData) return plx::kDbRecordBufferTooSmall;

  const bool read = IsRead(cls);
  const bool next = read && op == plx::kOpGetNext;
  Connection& conn = c->second;
  Request q;
  q.call = plx::proto::kCallOperation;
  q.table = table;
  q.cls = cls;
  q.op = op;
  q.keyNo = keyNo;
  q.recordLength = recordLength;
  const plx::KeyDef* k = t->Key(keyNo);
  if (next) {
    auto p = conn.positions.find(table);
    if (p == conn.positions.end()) return kDbNoPosition;
    // A record sits at one place in every index of its table, so get-next continues from
    // the last record read in the index the caller names; a number that is no key of this
    // table means the index last used. (The agent re-reads a row by its id, key 0, and then
    // goes on through key 6 from there.)
    if (!k) k = t->Key(p->second.keyNo);
    if (!k) return plx::kDbInvalidKey;
    q.keyNo = k->keyNo;
    q.key = plx::KeyOf(*k, reinterpret_cast<const uint8_t*>(p->second.record.data()));
    q.posRowId = p->second.rowId;
  } else {
    q.key.assign(static_cast<const char*>(key), keyLength);
  }
  if (!read) q.data.assign(static_cast<const char*>(record), recordLength);

  Link& link = r.links[conn.server];
  auto held = conn.held.find(table);
  const bool holding = read && held != conn.held.end() && link.IsOpen() &&
                       held->second.linkSerial == link.Serial() && recordLength == t->recordLength && k;
  auto package = conn.packages.find(table);
  const bool packageHeld = read && package != conn.packages.end() && link.IsOpen() &&
                           package->second.linkSerial == link.Serial() && recordLength == t->recordLength && k;
  if (packageHeld) {
    const plx::proto::BatchRow* row = nullptr;
    Held h = FromPackage(package->second, *t, *k, op, q.key, q.posRowId, row);
    if (h == Held::kEnd) {
      // As the service answers: a search that found nothing leaves no position; the end
      // of an index keeps it.
      if (!next) conn.positions.erase(table);
      return plx::kDbNotFound;
    }
    if (h == Held::kRow) {
      GiveRow(conn, table, q.keyNo, *row, record, recordLength);
      return plx::kDbOk;
    }
  }
  if (holding) {
    const plx::proto::BatchRow* row = nullptr;
    Held h = Held::kMiss;
    if (next) {
      h = NextHeld(held->second, *k, q.key, q.posRowId, row);
    } else if (op == plx::kOpGetEqual && (row = HeldById(held->second, *k, q.key)) != nullptr) {
      h = Held::kRow;
    }
    if (h == Held::kEnd) return plx::kDbNotFound;  // the end of an index keeps the position
    if (h == Held::kRow) {
      GiveRow(conn, table, q.keyNo, *row, record, recordLength);
      return plx::kDbOk;
    }
  }

  uint32_t ask = 0;
  if (read && k && !(op == plx::kOpGetEqual && k->keyNo == 0)) {
    // A re-read by id has no use for the rows after it in id order.
    ask = kFirstReadAhead;
    if (next && holding && AtLastHeld(held->second, *k, q.key, q.posRowId) && held->second.asked * 2 > ask)
      ask = held->second.asked * 2;
    uint32_t most = plx::proto::BatchCapacity(t->recordLength) - 1;
    if (ask > most) ask = most;
  }
  // A read by a package key of a package not held asks for the rows of that package and
  // the packages after it, unless that package was found too large to send whole.
  uint32_t serverId = 0, packageId = 0;
  const bool wholePackage =
      read && k && (op == plx::kOpGetEqual || op == plx::kOpGetGreaterEq) &&
      requester::PackageOfKey(*t, *k, q.key, serverId, packageId) &&
      !(packageHeld && !package->second.rows.complete && package->second.rows.serverId == serverId &&
        package->second.rows.packageId == packageId);
  Request ahead = q;
  if (ask) {
    ahead.call = plx::proto::kCallReadAhead;
    ahead.data.assign(4, '\0');
    plx::PutU32(reinterpret_cast<uint8_t*>(&ahead.data[0]), ask);
  }
  if (wholePackage) q.call = plx::proto::kCallPackageRows;
  else if (ask) q = ahead;
  // Whatever a write changes, rows held anywhere may show it wrong.
  if (!read)
    for (auto& other : r.connections) {
      other.second.held.clear();
      other.second.packages.clear();
    }

  Reply reply;
  uint16_t answered = 0;
  int32_t st = Call(r, conn.server, q, reply, read, &answered, wholePackage && ask ? &ahead : nullptr);
  if (st != plx::kDbOk) return st;
  if (read) conn.held.erase(table);
  const bool batched = answered == plx::proto::kCallReadAhead;
  if (answered == plx::proto::kCallPackageRows && (reply.status == plx::kDbOk || reply.status == plx::kDbNotFound)) {
    HeldPackage fresh;
    fresh.linkSerial = link.Serial();
    if (!plx::proto::DecodePackageRows(reply.data, t->recordLength, fresh.rows)) return plx::kDbUnknownError;
    if (reply.status == plx::kDbOk) {
      const plx::proto::BatchRow* got = requester::PackageRowById(fresh.rows, reply.rowId);
      if (!got) return plx::kDbUnknownError;
      GiveRow(conn, table, q.keyNo, *got, record, recordLength);
    } else {
      conn.positions.erase(table);  // a search that found nothing leaves no position
    }
    conn.packages[table] = std::move(fresh);
    return reply.status;
  }
  if (reply.status == plx::kDbOk) {
    HeldRows fresh;
    if (batched) {
      plx::proto::Batch batch;
      if (!plx::proto::DecodeBatch(reply.data, t->recordLength, batch)) return plx::kDbUnknownError;
      fresh.indexEnds = batch.indexEnds;
      fresh.rows = std::move(batch.rows);
    } else {
      // The position is cut from the record by field offsets, so it must be a whole one.
      if (reply.data.size() != t->recordLength) return plx::kDbUnknownError;
      fresh.rows.push_back({reply.rowId, reply.data});
    }
    const plx::proto::BatchRow& got = fresh.rows.front();
    // Reads give the record; inserts and rewrites give it back as stored, with its ids.
    GiveRow(conn, table, q.keyNo, got, record, recordLength, read);
    if (read) {
      fresh.linkSerial = link.Serial();
      fresh.keyNo = q.keyNo;
      fresh.asked = ask;
      conn.held[table] = std::move(fresh);
    }
    // A write leaves the read position where it was.
  } else if (reply.status == plx::kDbNotFound && read && !next) {
    // A search that found nothing leaves no position, so that a get-next after it cannot
    // quietly go on from an older row. The end of an index keeps it: get-next stays at 10612.
    conn.positions.erase(table);
  }
  return reply.status;
}

DBLINKR32_API int32_t DBDisconnectEx(uint32_t connection) {
  Requester& r = State();
  std::lock_guard<std::mutex> hold(r.lock);
  auto c = r.connections.find(connection);
  if (c == r.connections.end())
    return r.WasIssued(connection, kConnectionTag) ? plx::kDbOk : plx::kDbInvalidHandle;
  auto s = r.sessions.find(c->second.session);
  if (s != r.sessions.end()) {
    std::vector<uint32_t>& list = s->second;
    for (size_t i = 0; i < list.size(); ++i)
      if (list[i] == connection) { list.erase(list.begin() + i); break; }
  }
  r.connections.erase(c);
  return plx::kDbOk;
}

DBLINKR32_API int32_t DBTerminateSessionEx(uint32_t session) {
  Requester& r = State();
  std::lock_guard<std::mutex> hold(r.lock);
  auto s = r.sessions.find(session);
  if (s == r.sessions.end()) return r.WasIssued(session, kSessionTag) ? plx::kDbOk : plx::kDbInvalidSession;
  for (uint32_t c : s->second) r.connections.erase(c);
  r.sessions.erase(s);
  return plx::kDbOk;
}

// Closes the server's link. The library stays initialised: the agent goes on to the user's
// next package server without initialising again, and a second terminate of the same
// server finds nothing left to close.
DBLINKR32_API int32_t DBTerminateRequesterEx(const char* server) {
  if (!server) return plx::kDbNullPointer;
  Requester& r = State();
  std::lock_guard<std::mutex> hold(r.lock);
  r.links.erase(Upper(server));
  return plx::kDbOk;
}
