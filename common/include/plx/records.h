// The package database records as the agent and the service exchange them: packed,
// little-endian, no gaps. Each record's layout is written once, in its Visit function; the
// codec, the service's schema and the admin tool's JSON all derive from it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plx {

enum TableId : uint32_t {
  kTableServer = 300,
  kTablePackage = 302,
  kTableUserPackage = 303,
  kTableHistory = 304,
  kTableHistoryText = 305,
  kTableDependency = 307,
  kTableTask = 310,
};

// The status a package user or machine row stores.
enum PackageStatus : uint16_t {
  kStatusPending = 0,
  kStatusCompleted = 1,
  kStatusRefused = 2,             // ask again next time
  kStatusRefusedPermanently = 3,
  kStatusFailed = 4,
  kStatusFailedRetry = 5,         // failed, but may be tried again
  kStatusLast = kStatusFailedRetry,
};

// What a package user row targets.
enum TargetKind : uint32_t { kKindGroup = 5, kKindUser = 6, kKindSite = 7, kKindMachine = 8 };

// Key numbers of the requester reads.
enum KeyNumber : uint32_t {
  kKeyRecordId = 0,       // any table: the row's RecordId
  kKeyServerName = 3,     // servers: the name
  kKeyPackageWalk = 4,    // packages: all, in index order
  kKeyPackageId = 5,      // packages: server, package
  kKeyTargeting = 6,      // package users: server, package, 1, kind
  kKeyTargetName = 7,     // package users: server, package, kind, name
  kKeyOfPackage = 8,      // dependencies and tasks: server, package
};

// Requester classes and operations.
enum : uint32_t {
  kClassRead = 100, kClassInsert = 101, kClassRewrite = 103,
  kOpInsert = 200, kOpGetEqual = 201, kOpGetFirst = 202, kOpGetNext = 204, kOpGetGreaterEq = 207,
};

// Requester statuses the system tests by value or that the service gives.
enum : int32_t {
  kDbOk = 0,
  kDbInitFailed = 10006,        // version mismatch at the first exchange
  kDbServerInitFailed = 10100,  // service did not answer within retries and time-out
  kDbInvalidSession = 10201,
  kDbInvalidHandle = 10202,
  kDbInvalidTable = 10203,
  kDbNullPointer = 10204,
  kDbNoServerName = 10206,
  kDbNoProductName = 10207,
  kDbProductUnknown = 10301,
  kDbUnknownError = 10600,
  kDbReadOnly = 10601,
  kDbInvalidOperation = 10602,
  kDbInvalidKey = 10604,
  kDbInvalidFieldLength = 10610,
  kDbNotFound = 10612,
  kDbReadFailure = 10613,
  kDbWriteFailure = 10614,
  kDbRecordBufferTooSmall = 10617,
  kDbLocked = 10619,
};

// ---------------------------------------------------------------------------------------
// Records. Text members are one byte longer than their field so that they always end.

struct ServerRecord {               // table 300, 62 bytes
  uint32_t ServerId = 0;
  char ServerName[49] = {};
};

struct PackageRecord {              // table 302 "PKG.DBF", 395 bytes
  uint32_t PackageId = 0;
  uint32_t ServerId = 0;
  char Name[81] = {};
  uint8_t Status = 0;               // 'A' active
  uint8_t StartDate[3] = {};        // year - 1900, month, day
  char InstallPath[255] = {};
  uint8_t ForceDate[3] = {};
  uint32_t MaxRefusals = 0;
  uint32_t MaxFailures = 0;
  uint32_t Options = 0;
  uint8_t TimeFrom[3] = {};         // hour, minute, second
  uint8_t TimeTo[3] = {};
  uint32_t TargetOs = 0;
  uint32_t Flags = 0;
};

struct UserPackageRecord {          // table 303 "PUD.DBF", 277 bytes
  uint32_t RecordId = 0;
  uint32_t PackageUserId = 0;
  uint32_t ServerId = 0;
  uint32_t PackageId = 0;
  uint32_t Scheduled = 0;
  uint16_t PackageStatus = 0;
  uint32_t TargetKind = 0;
  char TargetName[211] = {};
  char Counterpart[22] = {};
  uint32_t SourceRef = 0;
  uint32_t RefusalCount = 0;
  uint32_t FailureCount = 0;
  uint32_t RowFlags = 0;
};

struct HistoryRecord {              // table 304, 326 bytes
  uint32_t ServerId = 0;
  uint32_t TextId = 0;
  uint32_t PackageId = 0;
  uint32_t PackageUserId = 0;
  char Date[9] = {};                // "YYYYMMDD", no terminator in the record
  char Time[7] = {};                // "HHMMSS"
  char UserName[211] = {};
  char ServerName[49] = {};
  char NetNumber[10] = {};
  char NodeAddress[14] = {};
};

struct HistoryTextRecord {          // table 305, 274 bytes
  uint32_t TextId = 0;
  uint32_t ServerId = 0;
  char Text[259] = {};
};

struct DependencyRecord {           // table 307 "PDD.DBF", 24 bytes
  uint32_t RequiredServerId = 0;
  uint32_t PackageId = 0;
  uint32_t RequiredPackageId = 0;
};

struct PackageTaskRecord {          // table 310, 478 bytes
  uint32_t RecordId = 0;
  uint32_t ServerId = 0;
  uint32_t PackageId = 0;
  uint32_t TaskType = 0;
  char TaskName[231] = {};
  char TaskArgs[221] = {};
  uint32_t TaskFlags = 0;
};

// ---------------------------------------------------------------------------------------
// Field layouts. A visitor gets each field with its name, offset and width.

enum class FieldType : uint8_t { U8, U16, U32, Text, Date, Time };

template <class V> void Visit(ServerRecord& r, V& v) {
  v.U32("ServerId", 4, r.ServerId);
  v.Text("ServerName", 12, 48, r.ServerName);
}

template <class V> void Visit(PackageRecord& r, V& v) {
  v.U32("PackageId", 4, r.PackageId);
  v.U32("ServerId", 12, r.ServerId);
  v.Text("Name", 16, 80, r.Name);
  v.U8("Status", 96, r.Status);
  v.Date("StartDate", 97, r.StartDate);
  v.Text("InstallPath", 104, 254, r.InstallPath);
  v.Date("ForceDate", 358, r.ForceDate);
  v.U32("MaxRefusals", 361, r.MaxRefusals);
  v.U32("MaxFailures", 365, r.MaxFailures);
  v.U32("Options", 369, r.Options);
  v.Time("TimeFrom", 381, r.TimeFrom);
  v.Time("TimeTo", 384, r.TimeTo);
  v.U32("TargetOs", 387, r.TargetOs);
  v.U32("Flags", 391, r.Flags);
}

template <class V> void Visit(UserPackageRecord& r, V& v) {
  v.U32("RecordId", 0, r.RecordId);
  v.U32("PackageUserId", 4, r.PackageUserId);
  v.U32("ServerId", 12, r.ServerId);
  v.U32("PackageId", 16, r.PackageId);
  v.U32("Scheduled", 20, r.Scheduled);
  v.U16("PackageStatus", 24, r.PackageStatus);
  v.U32("TargetKind", 26, r.TargetKind);
  v.Text("TargetName", 30, 210, r.TargetName);
  v.Text("Counterpart", 240, 21, r.Counterpart);
  v.U32("SourceRef", 261, r.SourceRef);
  v.U32("RefusalCount", 265, r.RefusalCount);
  v.U32("FailureCount", 269, r.FailureCount);
  v.U32("RowFlags", 273, r.RowFlags);
}

template <class V> void Visit(HistoryRecord& r, V& v) {
  v.U32("ServerId", 12, r.ServerId);
  v.U32("TextId", 16, r.TextId);
  v.U32("PackageId", 20, r.PackageId);
  v.U32("PackageUserId", 24, r.PackageUserId);
  v.Text("Date", 28, 8, r.Date);
  v.Text("Time", 36, 6, r.Time);
  v.Text("UserName", 42, 210, r.UserName);
  v.Text("ServerName", 252, 48, r.ServerName);
  v.Text("NetNumber", 300, 9, r.NetNumber);
  v.Text("NodeAddress", 309, 13, r.NodeAddress);
}

template <class V> void Visit(HistoryTextRecord& r, V& v) {
  v.U32("TextId", 4, r.TextId);
  v.U32("ServerId", 12, r.ServerId);
  v.Text("Text", 16, 258, r.Text);
}

template <class V> void Visit(DependencyRecord& r, V& v) {
  v.U32("RequiredServerId", 12, r.RequiredServerId);
  v.U32("PackageId", 16, r.PackageId);
  v.U32("RequiredPackageId", 20, r.RequiredPackageId);
}

template <class V> void Visit(PackageTaskRecord& r, V& v) {
  v.U32("RecordId", 0, r.RecordId);
  v.U32("ServerId", 12, r.ServerId);
  v.U32("PackageId", 16, r.PackageId);
  v.U32("TaskType", 20, r.TaskType);
  v.Text("TaskName", 24, 230, r.TaskName);
  v.Text("TaskArgs", 254, 220, r.TaskArgs);
  v.U32("TaskFlags", 474, r.TaskFlags);
}

// Encode writes the whole record (unused bytes zero); Decode reads it. The buffer must hold
// RecordLength(table) bytes.
void Encode(const ServerRecord& r, uint8_t* buf);
void Encode(const PackageRecord& r, uint8_t* buf);
void Encode(const UserPackageRecord& r, uint8_t* buf);
void Encode(const HistoryRecord& r, uint8_t* buf);
void Encode(const HistoryTextRecord& r, uint8_t* buf);
void Encode(const DependencyRecord& r, uint8_t* buf);
void Encode(const PackageTaskRecord& r, uint8_t* buf);
void Decode(const uint8_t* buf, ServerRecord& r);
void Decode(const uint8_t* buf, PackageRecord& r);
void Decode(const uint8_t* buf, UserPackageRecord& r);
void Decode(const uint8_t* buf, HistoryRecord& r);
void Decode(const uint8_t* buf, HistoryTextRecord& r);
void Decode(const uint8_t* buf, DependencyRecord& r);
void Decode(const uint8_t* buf, PackageTaskRecord& r);

// ---------------------------------------------------------------------------------------
// Table and key descriptions, for code that handles records generically (the service,
// the admin tool, the requester's currency).

struct FieldDef {
  const char* name;
  uint16_t offset;
  uint16_t width;
  FieldType type;
};

struct KeyDef {
  uint32_t keyNo;
  std::vector<const FieldDef*> fields;  // in key order
  uint32_t length;                      // sum of the field widths
};

struct TableDef {
  uint32_t id;
  const char* sqlName;     // table name in the service's database
  const char* reportName;  // name in database error reports ("" when none)
  uint32_t recordLength;
  std::vector<FieldDef> fields;
  std::vector<KeyDef> keys;
  const FieldDef* Field(const char* name) const;
  const KeyDef* Key(uint32_t keyNo) const;
};

const TableDef* FindTable(uint32_t id);
const std::vector<const TableDef*>& AllTables();
uint32_t RecordLength(uint32_t tableId);  // 0 for an unknown table

// The key value of a record under a key: the key's fields' bytes, concatenated.
std::string KeyOf(const KeyDef& key, const uint8_t* record);

}  // namespace plx
