#include "plx/records.h"

#include <cstring>

#include "plx/bytes.h"

namespace plx {
namespace {

struct Writer {
  uint8_t* buf;
  void U8(const char*, size_t off, const uint8_t& v) { buf[off] = v; }
  void U16(const char*, size_t off, const uint16_t& v) { PutU16(buf + off, v); }
  void U32(const char*, size_t off, const uint32_t& v) { PutU32(buf + off, v); }
  void Text(const char*, size_t off, size_t width, const char* v) { PutText(buf + off, width, v); }
  void Date(const char*, size_t off, const uint8_t* v) { memcpy(buf + off, v, 3); }
  void Time(const char* n, size_t off, const uint8_t* v) { Date(n, off, v); }
};

struct Reader {
  const uint8_t* buf;
  void U8(const char*, size_t off, uint8_t& v) { v = buf[off]; }
  void U16(const char*, size_t off, uint16_t& v) { v = GetU16(buf + off); }
  void U32(const char*, size_t off, uint32_t& v) { v = GetU32(buf + off); }
  void Text(const char*, size_t off, size_t width, char* v) { GetText(buf + off, width, v); }
  void Date(const char*, size_t off, uint8_t* v) { memcpy(v, buf + off, 3); }
  void Time(const char* n, size_t off, uint8_t* v) { Date(n, off, v); }
};

struct Collector {
  std::vector<FieldDef>& out;
  void Add(const char* n, size_t off, size_t w, FieldType t) {
    out.push_back(FieldDef{n, uint16_t(off), uint16_t(w), t});
  }
  void U8(const char* n, size_t off, uint8_t&) { Add(n, off, 1, FieldType::U8); }
  void U16(const char* n, size_t off, uint16_t&) { Add(n, off, 2, FieldType::U16); }
  void U32(const char* n, size_t off, uint32_t&) { Add(n, off, 4, FieldType::U32); }
  void Text(const char* n, size_t off, size_t w, char*) { Add(n, off, w, FieldType::Text); }
  void Date(const char* n, size_t off, uint8_t*) { Add(n, off, 3, FieldType::Date); }
  void Time(const char* n, size_t off, uint8_t*) { Add(n, off, 3, FieldType::Time); }
};

template <class R> void EncodeRecord(const R& r, uint8_t* buf, uint32_t len) {
  memset(buf, 0, len);
  Writer w{buf};
  Visit(const_cast<R&>(r), w);  // the writer only reads the members
}

template <class R> void DecodeRecord(const uint8_t* buf, R& r) {
  r = R{};
  Reader rd{buf};
  Visit(r, rd);
}

// Fills the table in place: the keys point into its field list, which must not move after.
template <class R>
void MakeTable(std::vector<TableDef>& tables, uint32_t id, const char* sql, const char* report, uint32_t len,
               std::vector<std::pair<uint32_t, std::vector<const char*>>> keys) {
  tables.push_back(TableDef{id, sql, report, len, {}, {}});
  TableDef& t = tables.back();
  R probe;
  Collector c{t.fields};
  Visit(probe, c);
  for (auto& [no, names] : keys) {
    KeyDef k{no, {}, 0};
    for (const char* n : names) {
      for (const FieldDef& f : t.fields)
        if (strcmp(f.name, n) == 0) { k.fields.push_back(&f); k.length += f.width; }
    }
    t.keys.push_back(k);
  }
}

// Built once; the field pointers inside the keys stay valid because the table list has its
// final size reserved up front and nothing changes after construction.
struct Catalogue {
  std::vector<TableDef> tables;
  std::vector<const TableDef*> all;
  Catalogue() {
    tables.reserve(7);
    MakeTable<ServerRecord>(tables, kTableServer, "servers", "", 62, {{3, {"ServerName"}}});
    MakeTable<PackageRecord>(tables, kTablePackage, "packages", "PKG.DBF", 395,
        {{4, {"PackageId"}}, {5, {"ServerId", "PackageId"}}});
    MakeTable<UserPackageRecord>(tables, kTableUserPackage, "package_users", "PUD.DBF", 277,
        {{0, {"RecordId"}},
         {6, {"ServerId", "PackageId", "Scheduled", "TargetKind"}},
         {7, {"ServerId", "PackageId", "TargetKind", "TargetName"}}});
    MakeTable<HistoryRecord>(tables, kTableHistory, "history", "", 326, {});
    MakeTable<HistoryTextRecord>(tables, kTableHistoryText, "history_texts", "", 274,
        {{0, {"TextId"}}});
    MakeTable<DependencyRecord>(tables, kTableDependency, "dependencies", "PDD.DBF", 24,
        {{8, {"RequiredServerId", "PackageId"}}});
    MakeTable<PackageTaskRecord>(tables, kTableTask, "tasks", "", 478,
        {{0, {"RecordId"}}, {8, {"ServerId", "PackageId"}}});
    for (const TableDef& t : tables) all.push_back(&t);
  }
};

const Catalogue& Tables() {
  static const Catalogue c;
  return c;
}

}  // namespace

const FieldDef* TableDef::Field(const char* name) const {
  for (const FieldDef& f : fields)
    if (strcmp(f.name, name) == 0) return &f;
  return nullptr;
}

const KeyDef* TableDef::Key(uint32_t keyNo) const {
  for (const KeyDef& k : keys)
    if (k.keyNo == keyNo) return &k;
  return nullptr;
}

const TableDef* FindTable(uint32_t id) {
  for (const TableDef* t : Tables().all)
    if (t->id == id) return t;
  return nullptr;
}

const std::vector<const TableDef*>& AllTables() { return Tables().all; }

uint32_t RecordLength(uint32_t tableId) {
  const TableDef* t = FindTable(tableId);
  return t ? t->recordLength : 0;
}

std::string KeyOf(const KeyDef& key, const uint8_t* record) {
  std::string k;
  k.reserve(key.length);
  for (const FieldDef* f : key.fields) k.append(reinterpret_cast<const char*>(record + f->offset), f->width);
  return k;
}

#define PLX_CODEC(R, table)                                                          \
  void Encode(const R& r, uint8_t* buf) { EncodeRecord(r, buf, RecordLength(table)); } \
  void Decode(const uint8_t* buf, R& r) { DecodeRecord(buf, r); }
PLX_CODEC(ServerRecord, kTableServer)
PLX_CODEC(PackageRecord, kTablePackage)
PLX_CODEC(UserPackageRecord, kTableUserPackage)
PLX_CODEC(HistoryRecord, kTableHistory)
PLX_CODEC(HistoryTextRecord, kTableHistoryText)
PLX_CODEC(DependencyRecord, kTableDependency)
PLX_CODEC(PackageTaskRecord, kTableTask)
#undef PLX_CODEC

}  // namespace plx
