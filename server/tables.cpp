#include "tables.h"

#include <string.h>
#include <windows.h>

#include <vector>

#include "agent_codes.h"
#include "corvnet.h"
#include "dblinkr32.h"
#include "messages.h"
#include "plx/bytes.h"
#include "run_state.h"

using plx::DependencyRecord;
using plx::PackageRecord;
using plx::UserPackageRecord;

namespace {

constexpr char kEveryone[] = "PLX_EVERYONE";
constexpr char kUsersTable[] = "PUD.DBF";
constexpr char kDependencyTable[] = "PDD.DBF";
constexpr char kPackageTable[] = "PKG.DBF";
constexpr size_t kMachineIdLength = 12;
constexpr size_t kCounterpartWritten = 13;
constexpr size_t kTargetNameChars = sizeof(UserPackageRecord::TargetName) - 1;  // 210
constexpr size_t kServerNameChars = 48;
constexpr size_t kNodeTextSize = kCounterpartWritten;

// What a read told a decision: a row, no (more) rows, or nothing known.
enum class Lookup { kFound, kNone, kFailed };

bool Eligible(uint16_t status) {
  return status == kStatusPending || status == kStatusRefused || status == kStatusFailedRetry;
}
bool Ends(uint16_t status) {
  return status == kStatusCompleted || status == kStatusRefusedPermanently || status == kStatusFailed;
}
bool SameName(const char* a, const char* b) { return _stricmp(a, b) == 0; }

// The wrappers' result: 1 read, 0 nothing (more), else the status.
int ReadResult(int32_t status) { return status == 0 ? 1 : status == plx::kDbNotFound ? 0 : status; }

// Key 7: server, package, kind, then the name field.
std::vector<uint8_t> NameKey(uint32_t serverId, uint32_t packageId, uint32_t kind, const char* name, size_t n) {
  std::vector<uint8_t> key = NumberKey({serverId, packageId, kind});
  const size_t at = key.size();
  key.resize(at + kTargetNameChars, 0);
  memcpy(&key[at], name, strnlen(name, n < kTargetNameChars ? n : kTargetNameChars));
  return key;
}

// A read that neither found a row nor reached the end of the index (the link was lost, the
// service refused): reported with the table's name, so that no decision is taken on it.
bool ReadFailed(int32_t status, const char* table) {
  if (status == 0 || status == plx::kDbNotFound) return false;
  ReportDatabaseError(0, status, table);
  return true;
}

// Walks the rows of one key 7 prefix (server, package, kind, name): every row whose first
// three fields and whole name match. f returns false to stop early. False when a read failed.
template <class F>
bool ForEachNamedRow(uint32_t serverId, uint32_t packageId, uint32_t kind, const char* name, size_t keyChars, F f) {
  std::vector<uint8_t> key = NameKey(serverId, packageId, kind, name, keyChars);
  std::vector<uint8_t> buf;
  int32_t st = ReadRecord(gContext.hConnection, plx::kTableUserPackage, plx::kOpGetGreaterEq, kKeyTargetName, key, buf);
  while (st == 0) {
    UserPackageRecord row;
    plx::Decode(buf.data(), row);
    if (row.ServerId != serverId || row.PackageId != packageId || row.TargetKind != kind) return true;
    if (_strnicmp(row.TargetName, name, keyChars) != 0) return true;
    if (SameName(row.TargetName, name) && !f(row)) return true;
    st = ReadRecord(gContext.hConnection, plx::kTableUserPackage, plx::kOpGetNext, kKeyTargetName, key, buf);
  }
  return !ReadFailed(st, kUsersTable);
}

// The machine row of a package for this machine (key 7, kind 8), if there is one.
Lookup FindMachineRow(uint32_t serverId, uint32_t packageId, const char* machineId, UserPackageRecord& out) {
  std::vector<uint8_t> key = NameKey(serverId, packageId, kKindMachine, machineId, kMachineIdLength);
  std::vector<uint8_t> buf;
  int32_t st = ReadRecord(gContext.hConnection, plx::kTableUserPackage, plx::kOpGetGreaterEq, kKeyTargetName, key, buf);
  if (st != 0) return ReadFailed(st, kUsersTable) ? Lookup::kFailed : Lookup::kNone;
  plx::Decode(buf.data(), out);
  return out.ServerId == serverId && out.PackageId == packageId && out.TargetKind == kKindMachine &&
                 SameName(out.TargetName, machineId)
             ? Lookup::kFound
             : Lookup::kNone;
}

// The node address text the user rows carry until they are tied to a machine id.
bool NodeAddressText(char* out, size_t size) {
  char addr[kNetAddrSize] = {};
  if (getNetAddr(addr) != 0) return false;
  plx::CopyText(out, size, addr + 9);
  return true;
}

// Copies at most n bytes of text into a field, zero-filling the rest of those n bytes.
void PutCounterpart(char* field, const char* text, size_t n) {
  size_t len = strnlen(text, n);
  memcpy(field, text, len);
  memset(field + len, 0, n - len);
}

// The first targeting row of one kind for the package that `matches` accepts.
template <class Match>
Lookup FindTargetRow(uint32_t kind, const PackageRecord& pkg, Match matches, UserPackageRecord& found) {
  int32_t cursor = -1;
  for (int r; (r = NextTargetRow(kind, pkg.PackageId, pkg.ServerId, cursor, found)) != -1;) {
    if (r != 0) return Lookup::kFailed;
    if (matches(found)) return Lookup::kFound;
  }
  return Lookup::kNone;
}

struct MachineSide {
  bool failed = false;  // a read failed: nothing may be decided
  bool applies = false;
  bool done = false;
  uint16_t doneStatus = 0;
};

MachineSide DecideMachineSide(const PackageRecord& pkg, const char* machineId, const char* siteName) {
  StatusRowState& rs = gContext.rows;
  MachineSide m;
  UserPackageRecord row;
  Lookup site = Lookup::kNone, everyone = Lookup::kNone;
  if (siteName[0])
    site = FindTargetRow(kKindSite, pkg, [&](const UserPackageRecord& r) { return SameName(r.TargetName, siteName); }, row);
  // Packages of no server take no group or everyone rows.
  if (site != Lookup::kFailed && pkg.ServerId != 0)
    everyone = FindTargetRow(kKindGroup, pkg, [](const UserPackageRecord& r) { return SameName(r.TargetName, kEveryone); }, row);
  if (everyone == Lookup::kFound) rs.nPendingSourceRef = row.SourceRef;
  Lookup machine = site == Lookup::kFailed || everyone == Lookup::kFailed
                       ? Lookup::kFailed
                       : FindMachineRow(pkg.ServerId, pkg.PackageId, machineId, row);
  if (machine == Lookup::kFailed) {
    m.failed = true;
    return m;
  }
  const bool machineRow = machine == Lookup::kFound;
  const bool targeted = site == Lookup::kFound || everyone == Lookup::kFound;
  if (machineRow) {
    rs.MachineRowId = int32_t(row.RecordId);
    rs.RefusalCount = row.RefusalCount;
    rs.FailureCount = row.FailureCount;
    if (row.SourceRef) rs.nPendingSourceRef = row.SourceRef;
  }
  m.applies = targeted || machineRow;
  if (machineRow && !Eligible(row.PackageStatus)) {
    m.done = true;
    m.doneStatus = row.PackageStatus;
    m.applies = false;
  }
  if (targeted && !machineRow) {
    rs.MachineRowId = InsertStatusRow(pkg.PackageId, kKindMachine, machineId, gContext.szLoginName, nullptr,
                                      kStatusPending, 0, 0);
    if (rs.MachineRowId < 0) m.applies = false;
  }
  return m;
}

struct UserSide {
  bool failed = false;  // a read failed: nothing may be decided
  bool applies = false;
  bool done = false;
  bool hasStatus = false;  // done because of this machine's own row
  uint16_t doneStatus = 0;
};

UserSide DecideUserSide(const PackageRecord& pkg, const char* machineId, const char* userName) {
  StatusRowState& rs = gContext.rows;
  UserSide u;
  UserPackageRecord row;
  Lookup group = Lookup::kNone;
  if (pkg.ServerId != 0)
    group = FindTargetRow(kKindGroup, pkg, [&](const UserPackageRecord& r) {
      return !SameName(r.TargetName, kEveryone) && IsUserInGroup(r.TargetName, userName, gContext.szServerName);
    }, row);
  if (group == Lookup::kFound) rs.nPendingSourceRef = row.SourceRef;
  bool user = false;
  u.failed = group == Lookup::kFailed ||
             !ForEachNamedRow(pkg.ServerId, pkg.PackageId, kKindUser, userName, kTargetNameChars,
                              [&](const UserPackageRecord& r) {
                                if (pkg.ServerId == 0 && r.SourceRef != 0) return true;
                                if (r.Scheduled == 1) user = true;
                                return !user;
                              });
  if (u.failed || (group != Lookup::kFound && !user)) return u;
  u.applies = true;

  // A row still naming this workstation by its node address now names it by its id.
  char node[kNodeTextSize];
  if (NodeAddressText(node, sizeof node)) {
    u.failed = !ForEachNamedRow(pkg.ServerId, pkg.PackageId, kKindUser, userName, kTargetNameChars,
                                [&](const UserPackageRecord& r) {
      if (!node[0] || strcmp(r.Counterpart, node) != 0) return true;
      if (!UpdateStatusRow(int32_t(r.RecordId), kKindUser, machineId, r.PackageStatus, r.FailureCount,
                           r.RefusalCount))
        ReportMessage(0, 156);
      return false;
    });
  } else {
    // Without a network address the new row is tied to the machine id at once.
    plx::CopyText(node, sizeof node, machineId);
  }

  bool mine = false, endedAnywhere = false;
  UserPackageRecord own, blank;
  bool haveBlank = false;
  u.failed = u.failed || !ForEachNamedRow(pkg.ServerId, pkg.PackageId, kKindUser, userName, kTargetNameChars,
                                          [&](const UserPackageRecord& r) {
    if (!mine && SameName(r.Counterpart, machineId)) {
      mine = true;
      own = r;
    } else if (!haveBlank && r.Counterpart[0] == '\0') {
      haveBlank = true;
      blank = r;
    }
    if (Ends(r.PackageStatus)) endedAnywhere = true;
    return true;
  });
  if (u.failed) {
    u.applies = false;
    return u;
  }
  if (mine) {
    rs.UserRowId = int32_t(own.RecordId);
    rs.RefusalCount = own.RefusalCount;
    rs.FailureCount = own.FailureCount;
  } else if (haveBlank) {
    rs.UserRowId = int32_t(blank.RecordId);
  }
  if (!(pkg.Options & kOptionPerWorkstation) && endedAnywhere) {
    u.done = true;
    u.applies = false;
  }
  if (mine && !Eligible(own.PackageStatus)) {
    u.done = true;
    u.hasStatus = true;
    u.doneStatus = own.PackageStatus;
    u.applies = false;
  }
  if (u.applies && rs.UserRowId == -1) {
    rs.UserRowId = InsertStatusRow(pkg.PackageId, kKindUser, machineId, userName, node, kStatusPending, 0, 0);
    if (rs.UserRowId < 0) u.applies = false;
  }
  return u;
}

// The user row of a package for this user on this machine (for the dependency check).
Lookup FindUserRow(uint32_t serverId, uint32_t packageId, const char* userName, const char* machineId,
                   UserPackageRecord& out) {
  bool found = false;
  bool read = ForEachNamedRow(serverId, packageId, kKindUser, userName, kTargetNameChars, [&](const UserPackageRecord& r) {
    if (!SameName(r.Counterpart, machineId)) return true;
    out = r;
    found = true;
    return false;
  });
  return !read ? Lookup::kFailed : found ? Lookup::kFound : Lookup::kNone;
}

// Stores a status on this package's row of one kind: the row is rewritten, or inserted
// when there is none; rowId gets the row's id (-1 when an insert failed). User rows name
// this machine; machine rows name the user. False when the status could not be stored
// (reported by the write that failed).
bool StoreStatus(uint32_t kind, int32_t& rowId, uint32_t packageId, const char* machineId, const char* userName,
                 uint16_t status) {
  const StatusRowState& rs = gContext.rows;
  if (rowId != -1)
    return UpdateStatusRow(rowId, kind, kind == kKindUser ? machineId : userName, status, rs.FailureCount,
                           rs.RefusalCount);
  rowId = InsertStatusRow(packageId, kind, machineId, userName, kind == kKindUser ? machineId : nullptr, status,
                          rs.FailureCount, rs.RefusalCount);
  return rowId != -1;
}

}  // namespace

int32_t ReadRecord(uint32_t connection, uint32_t table, uint32_t op, uint32_t keyNo, std::vector<uint8_t>& key,
                   std::vector<uint8_t>& record) {
  record.assign(plx::RecordLength(table), 0);
  return DBOperationEx(connection, table, plx::kClassRead, op, keyNo, uint32_t(key.size()),
                       uint32_t(record.size()), key.data(), record.data());
}

int32_t WriteRecord(uint32_t table, uint32_t cls, uint32_t op, uint32_t rowId, std::vector<uint8_t>& record) {
  std::vector<uint8_t> key = NumberKey({rowId});
  return DBOperationEx(gContext.hConnection, table, cls, op, kKeyRecordId, 4, uint32_t(record.size()), key.data(),
                       record.data());
}

std::vector<uint8_t> NumberKey(std::initializer_list<uint32_t> values) {
  std::vector<uint8_t> key(values.size() * 4);
  size_t at = 0;
  for (uint32_t v : values) {
    plx::PutU32(&key[at], v);
    at += 4;
  }
  return key;
}

int GetFirstPackage(uint32_t connection, PackageRecord& rec) {
  std::vector<uint8_t> key(4, 0), buf;
  int32_t st = ReadRecord(connection, plx::kTablePackage, plx::kOpGetFirst, kKeyPackageWalk, key, buf);
  if (st == 0) plx::Decode(buf.data(), rec);
  return ReadResult(st);
}

int GetNextPackage(uint32_t connection, PackageRecord& rec) {
  std::vector<uint8_t> key(4, 0), buf;
  int32_t st = ReadRecord(connection, plx::kTablePackage, plx::kOpGetNext, kKeyPackageWalk, key, buf);
  if (st == 0) plx::Decode(buf.data(), rec);
  return ReadResult(st);
}

int GetPackageByKey(uint32_t connection, uint32_t serverId, uint32_t packageId, PackageRecord& rec) {
  std::vector<uint8_t> key = NumberKey({serverId, packageId}), buf;
  int32_t st = ReadRecord(connection, plx::kTablePackage, plx::kOpGetEqual, kKeyPackageId, key, buf);
  if (st == 0) plx::Decode(buf.data(), rec);
  return ReadResult(st);
}

uint32_t FindServerId(uint32_t connection, const char* serverName) {
  std::vector<uint8_t> key(kServerNameChars, 0), buf;
  memcpy(key.data(), serverName, strnlen(serverName, kServerNameChars));
  if (ReadRecord(connection, plx::kTableServer, plx::kOpGetEqual, kKeyServerName, key, buf) != 0) return 0;
  plx::ServerRecord server;
  plx::Decode(buf.data(), server);
  return server.ServerId;
}

int GetPackageName(uint32_t serverId, uint32_t packageId, char* nameOut, size_t size) {
  uint32_t connection = 0;
  if (int32_t st = DBConnectEx(gContext.hSession, gContext.szServerName, "", "", "KVR610", 0, &connection)) {
    Trace("DBConnectEx failed trying to get package name\n");
    ReportDatabaseError(0, st, gContext.szServerName);
    return -1;
  }
  PackageRecord pkg;
  int read = GetPackageByKey(connection, serverId, packageId, pkg);
  // A read that failed counts as not found; it is reported, as no name was learnt from it.
  if (read != 0 && read != 1) ReadFailed(read, kPackageTable);
  int found = read == 1 ? 1 : 0;
  if (found) plx::CopyText(nameOut, size, pkg.Name);
  DBDisconnectEx(connection);
  return found;
}

int NextTargetRow(uint32_t kind, uint32_t packageId, uint32_t serverId, int32_t& cursor, UserPackageRecord& rec) {
  std::vector<uint8_t> key6 = NumberKey({serverId, packageId, 1, kind}), buf;
  int32_t st;
  if (cursor == -1) {
    st = ReadRecord(gContext.hConnection, plx::kTableUserPackage, plx::kOpGetEqual, kKeyTargeting, key6, buf);
  } else {
    // Other reads on the table may have moved the position since: find our row again.
    std::vector<uint8_t> key0 = NumberKey({uint32_t(cursor)});
    st = ReadRecord(gContext.hConnection, plx::kTableUserPackage, plx::kOpGetEqual, kKeyRecordId, key0, buf);
    if (st == 0) st = ReadRecord(gContext.hConnection, plx::kTableUserPackage, plx::kOpGetNext, kKeyTargeting, key6, buf);
  }
  if (st != 0) return ReadFailed(st, kUsersTable) ? st : -1;
  plx::Decode(buf.data(), rec);
  if (rec.PackageId != packageId || rec.ServerId != serverId || rec.TargetKind != kind || rec.Scheduled != 1)
    return -1;
  cursor = int32_t(rec.RecordId);
  return 0;
}

int32_t InsertStatusRow(uint32_t packageId, uint32_t kind, const char* machineId, const char* userName,
                        const char* counterpart, uint16_t status, uint32_t failures, uint32_t refusals) {
  UserPackageRecord row;
  row.PackageId = packageId;
  row.Scheduled = 0;
  row.PackageStatus = status;
  row.FailureCount = failures;
  row.RefusalCount = refusals;
  row.TargetKind = kind;
  row.SourceRef = gContext.rows.nPendingSourceRef;
  gContext.rows.nPendingSourceRef = 0;
  if (kind == kKindUser) {
    plx::CopyText(row.TargetName, sizeof row.TargetName, userName);
    PutCounterpart(row.Counterpart, counterpart ? counterpart : "", kCounterpartWritten);
  } else {
    PutCounterpart(row.TargetName, machineId, kMachineIdLength);
    PutCounterpart(row.Counterpart, userName, kCounterpartWritten);
  }
  row.ServerId = gContext.currentPackage.ServerId;
  row.RowFlags = row.ServerId ? kRowFromServer : 0;
  std::vector<uint8_t> buf(plx::RecordLength(plx::kTableUserPackage));
  plx::Encode(row, buf.data());
  int32_t st = WriteRecord(plx::kTableUserPackage, plx::kClassInsert, plx::kOpInsert, 0, buf);
  if (st != 0) {
    if (st == plx::kDbLocked)
      ReportMessage(0, 162);
    else
      ReportDatabaseError(0, st, kUsersTable);  // the row may or may not be there: say so
    return -1;
  }
  plx::Decode(buf.data(), row);
  return int32_t(row.RecordId);
}

int32_t ReadStatusRow(int32_t rowId, UserPackageRecord& rec) {
  std::vector<uint8_t> key = NumberKey({uint32_t(rowId)}), buf;
  int32_t st = ReadRecord(gContext.hConnection, plx::kTableUserPackage, plx::kOpGetEqual, kKeyRecordId, key, buf);
  if (st == 0) plx::Decode(buf.data(), rec);
  return st;
}

bool UpdateStatusRow(int32_t rowId, uint32_t kind, const char* counterpart, uint16_t status, uint32_t failures,
                     uint32_t refusals) {
  UserPackageRecord row;
  if (int32_t st = ReadStatusRow(rowId, row)) {
    ReportDatabaseError(0, st, kUsersTable);  // the outcome cannot be stored on a row not read
    return false;
  }
  row.RefusalCount = refusals;
  row.FailureCount = failures;
  row.PackageStatus = status;
  PutCounterpart(row.Counterpart, counterpart, kind == kKindUser ? kCounterpartWritten : kMachineIdLength);
  std::vector<uint8_t> buf(plx::RecordLength(plx::kTableUserPackage));
  plx::Encode(row, buf.data());
  int32_t st = WriteRecord(plx::kTableUserPackage, plx::kClassRewrite, plx::kOpGetEqual, uint32_t(rowId), buf);
  if (st != 0) ReportDatabaseError(0, st, kUsersTable);  // the outcome was not stored
  return st == 0;
}

bool IsPackageForUserOrMachine(uint32_t packageId, uint32_t serverId, const char* machineId, const char* userName,
                               const char* siteName) {
  gContext.rows = StatusRowState{};
  const PackageRecord& pkg = gContext.currentPackage;
  MachineSide m = DecideMachineSide(pkg, machineId, siteName);
  if (m.failed) return false;  // reported; a package is never taken on rows that were not read
  UserSide u = DecideUserSide(pkg, machineId, userName);
  if (u.failed) return false;
  StatusRowState& rs = gContext.rows;
  rs.bMachineApplies = m.applies;
  rs.bUserApplies = u.applies;

  if (!m.applies && !u.applies) return false;
  if (!m.done && !u.done) return true;
  if (m.done) {
    rs.nDoneStatus = m.doneStatus;
    StoreStatus(kKindUser, rs.UserRowId, packageId, machineId, userName, m.doneStatus);
    return false;
  }
  // The user is done. Done on another workstation (no status of this machine's own): the
  // machine row is left as it is, so another user of this machine is still offered it.
  if (!u.hasStatus) return false;
  rs.nDoneStatus = u.doneStatus;
  StoreStatus(kKindMachine, rs.MachineRowId, packageId, machineId, userName, u.doneStatus);
  return false;
}

bool CheckDependencies(uint32_t packageId, uint32_t serverId, const char* machineId, const char* userName) {
  std::vector<uint8_t> key = NumberKey({serverId, packageId}), buf;
  int32_t st = ReadRecord(gContext.hConnection, plx::kTableDependency, plx::kOpGetEqual, kKeyOfPackage, key, buf);
  for (; st == 0; st = ReadRecord(gContext.hConnection, plx::kTableDependency, plx::kOpGetNext, kKeyOfPackage, key, buf)) {
    DependencyRecord dep;
    plx::Decode(buf.data(), dep);
    if (dep.PackageId != packageId || dep.RequiredServerId != serverId) return true;
    char required[sizeof(PackageRecord::Name)] = {};
    if (GetPackageName(dep.RequiredServerId, dep.RequiredPackageId, required, sizeof required) != 1) return false;
    UserPackageRecord machineRow, userRow;
    Lookup machine = FindMachineRow(serverId, dep.RequiredPackageId, machineId, machineRow);
    if (machine == Lookup::kFailed) return false;
    Lookup user = FindUserRow(dep.RequiredServerId, dep.RequiredPackageId, userName, machineId, userRow);
    if (user == Lookup::kFailed) return false;
    bool completed = (machine == Lookup::kFound && machineRow.PackageStatus == kStatusCompleted) ||
                     (user == Lookup::kFound && userRow.PackageStatus == kStatusCompleted);
    if (completed) continue;
    char dependent[sizeof(PackageRecord::Name)] = {};
    GetPackageName(serverId, packageId, dependent, sizeof dependent);
    bool scheduled = machine == Lookup::kFound || user == Lookup::kFound;
    ReportMessage(1, scheduled ? 230 : 231, dependent, required);
    return false;
  }
  // The end of the index: every dependency held. Anything else is a walk that broke off.
  return !ReadFailed(st, kDependencyTable);
}

bool WritePackageStatus(const char* machineId, const char* userName, uint16_t status) {
  const PackageRecord& pkg = gContext.currentPackage;
  StatusRowState& rs = gContext.rows;
  if (status == kStatusCompleted && (pkg.Options & kOptionRepeating)) status = kStatusPending;
  if (status == kStatusRefused || status == kStatusRefusedPermanently) rs.RefusalCount += 1;
  if (status == kStatusFailed || status == kStatusFailedRetry) rs.FailureCount += 1;
  if (status == kStatusFailed && (pkg.Options & kOptionRetryFailures) &&
      (rs.FailureCount < pkg.MaxFailures || pkg.MaxFailures == 0))
    status = kStatusFailedRetry;
  bool stored = true;
  if (rs.bUserApplies) stored = StoreStatus(kKindUser, rs.UserRowId, pkg.PackageId, machineId, userName, status);
  if (rs.bMachineApplies)
    stored = StoreStatus(kKindMachine, rs.MachineRowId, pkg.PackageId, machineId, userName, status) && stored;
  return stored;
}
