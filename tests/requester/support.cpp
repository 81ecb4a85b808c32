#include "support.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "plx/bytes.h"

namespace rt {

namespace {

// Sets a record's fields from "Name=value" texts: numbers in decimal, dates as YYYY-MM-DD,
// times as HH:MM:SS, a one-byte field as its letter. Names not in the record are reported.
struct Assign {
  std::map<std::string, std::string> values;
  std::vector<std::string> taken;
  const std::string* Take(const char* name) {
    auto it = values.find(name);
    if (it == values.end()) return nullptr;
    taken.push_back(name);
    return &it->second;
  }
  void U8(const char* n, size_t, uint8_t& v) { if (auto s = Take(n)) v = s->empty() ? 0 : uint8_t((*s)[0]); }
  void U16(const char* n, size_t, uint16_t& v) { if (auto s = Take(n)) v = uint16_t(strtoul(s->c_str(), nullptr, 10)); }
  void U32(const char* n, size_t, uint32_t& v) { if (auto s = Take(n)) v = uint32_t(strtoul(s->c_str(), nullptr, 10)); }
  void Text(const char* n, size_t, size_t width, char* v) { if (auto s = Take(n)) plx::CopyText(v, width + 1, s->c_str()); }
  void Date(const char* n, size_t, uint8_t* v) {
    unsigned y = 0, m = 0, d = 0;
    if (auto s = Take(n)) {
      if (sscanf(s->c_str(), "%u-%u-%u", &y, &m, &d) == 3) {
        v[0] = uint8_t(y - 1900); v[1] = uint8_t(m); v[2] = uint8_t(d);
      }
    }
  }
  void Time(const char* n, size_t, uint8_t* v) {
    unsigned h = 0, m = 0, s = 0;
    if (auto t = Take(n)) {
      if (sscanf(t->c_str(), "%u:%u:%u", &h, &m, &s) == 3) {
        v[0] = uint8_t(h); v[1] = uint8_t(m); v[2] = uint8_t(s);
      }
    }
  }
};

struct Dump {
  std::vector<std::string> out;
  void Add(const char* n, const std::string& v) { out.push_back(std::string(n) + "=" + v); }
  void U8(const char* n, size_t, uint8_t& v) { Add(n, std::to_string(v)); }
  void U16(const char* n, size_t, uint16_t& v) { Add(n, std::to_string(v)); }
  void U32(const char* n, size_t, uint32_t& v) { Add(n, std::to_string(v)); }
  void Text(const char* n, size_t, size_t, char* v) { Add(n, v); }
  void Date(const char* n, size_t, uint8_t* v) {
    Add(n, std::to_string(v[0] + 1900) + "-" + std::to_string(v[1]) + "-" + std::to_string(v[2]));
  }
  void Time(const char* n, size_t, uint8_t* v) {
    Add(n, std::to_string(v[0]) + ":" + std::to_string(v[1]) + ":" + std::to_string(v[2]));
  }
};

template <class R> std::vector<std::string> DumpRecord(const std::string& bytes) {
  R r;
  plx::Decode(reinterpret_cast<const uint8_t*>(bytes.data()), r);
  Dump d;
  Visit(r, d);
  return d.out;
}

template <class R> bool BuildRecord(uint32_t table, Assign& a, std::string& bytes) {
  R r;
  Visit(r, a);
  bytes.assign(plx::RecordLength(table), '\0');
  plx::Encode(r, reinterpret_cast<uint8_t*>(&bytes[0]));
  return a.taken.size() == a.values.size();
}

bool Build(uint32_t table, Assign& a, std::string& bytes) {
  switch (table) {
    case plx::kTableServer: return BuildRecord<plx::ServerRecord>(table, a, bytes);
    case plx::kTablePackage: return BuildRecord<plx::PackageRecord>(table, a, bytes);
    case plx::kTableUserPackage: return BuildRecord<plx::UserPackageRecord>(table, a, bytes);
    case plx::kTableHistory: return BuildRecord<plx::HistoryRecord>(table, a, bytes);
    case plx::kTableHistoryText: return BuildRecord<plx::HistoryTextRecord>(table, a, bytes);
    case plx::kTableDependency: return BuildRecord<plx::DependencyRecord>(table, a, bytes);
    case plx::kTableTask: return BuildRecord<plx::PackageTaskRecord>(table, a, bytes);
  }
  return false;
}

std::vector<std::string> Split(const std::string& line, char sep) {
  std::vector<std::string> parts;
  std::stringstream ss(line);
  std::string p;
  while (std::getline(ss, p, sep)) parts.push_back(p);
  return parts;
}

// The runner's hand-over file: one line per row, tab-separated:
//   <table id or "installed">  Name=value  Name=value ...
Seed Load() {
  Seed seed;
  std::string path = Env("PLX_EXPECTED");
  std::ifstream in(path);
  std::string line;
  std::map<uint32_t, uint32_t> counts;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> parts = Split(line, '\t');
    if (parts.empty()) continue;
    Assign a;
    for (size_t i = 1; i < parts.size(); ++i) {
      size_t eq = parts[i].find('=');
      if (eq != std::string::npos) a.values[parts[i].substr(0, eq)] = parts[i].substr(eq + 1);
    }
    if (parts[0] == "installed") {
      seed.installed.push_back({a.values["Server"], a.values["Item"], a.values["Path"], a.values["Second"]});
      continue;
    }
    SeedRow row;
    row.table = uint32_t(strtoul(parts[0].c_str(), nullptr, 10));
    if (!Build(row.table, a, row.bytes)) {
      fprintf(stderr, "seed line not understood: %s\n", line.c_str());
      return Seed();
    }
    const plx::TableDef* t = plx::FindTable(row.table);
    const plx::KeyDef* id = t->Key(0);
    row.rowId = id && id->fields.size() == 1
                    ? plx::GetU32(reinterpret_cast<const uint8_t*>(row.bytes.data()) + id->fields[0]->offset)
                    : ++counts[row.table];
    seed.rows.push_back(row);
  }
  return seed;
}

int CompareText(const char* a, size_t na, const char* b, size_t nb) {
  // As the service orders names: ASCII capitals folded to small letters (so "_" sorts
  // before letters), shorter first on a common prefix.
  size_t n = na < nb ? na : nb;
  for (size_t i = 0; i < n; ++i) {
    int ca = tolower(static_cast<unsigned char>(a[i])), cb = tolower(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return na == nb ? 0 : na < nb ? -1 : 1;
}

}  // namespace

std::vector<SeedRow> Seed::Table(uint32_t table) const {
  std::vector<SeedRow> out;
  for (const SeedRow& r : rows)
    if (r.table == table) out.push_back(r);
  return out;
}

const Seed& Seeded() {
  static const Seed seed = Load();
  return seed;
}

std::vector<std::string> Fields(uint32_t table, const std::string& bytes) {
  if (bytes.size() != plx::RecordLength(table)) return {"record of " + std::to_string(bytes.size()) + " bytes"};
  switch (table) {
    case plx::kTableServer: return DumpRecord<plx::ServerRecord>(bytes);
    case plx::kTablePackage: return DumpRecord<plx::PackageRecord>(bytes);
    case plx::kTableUserPackage: return DumpRecord<plx::UserPackageRecord>(bytes);
    case plx::kTableHistory: return DumpRecord<plx::HistoryRecord>(bytes);
    case plx::kTableHistoryText: return DumpRecord<plx::HistoryTextRecord>(bytes);
    case plx::kTableDependency: return DumpRecord<plx::DependencyRecord>(bytes);
    case plx::kTableTask: return DumpRecord<plx::PackageTaskRecord>(bytes);
  }
  return {"unknown table"};
}

int CompareKey(const plx::KeyDef& k, const std::string& rowKey, const std::string& key) {
  size_t at = 0;
  for (const plx::FieldDef* f : k.fields) {
    if (at + f->width > key.size()) break;  // a partial key compares its whole fields only
    const char* a = rowKey.data() + at;
    const char* b = key.data() + at;
    int c = 0;
    if (f->type == plx::FieldType::Text) {
      c = CompareText(a, strnlen(a, f->width), b, strnlen(b, f->width));
    } else {
      uint32_t x = f->width == 2 ? plx::GetU16(reinterpret_cast<const uint8_t*>(a)) : plx::GetU32(reinterpret_cast<const uint8_t*>(a));
      uint32_t y = f->width == 2 ? plx::GetU16(reinterpret_cast<const uint8_t*>(b)) : plx::GetU32(reinterpret_cast<const uint8_t*>(b));
      c = x == y ? 0 : x < y ? -1 : 1;
    }
    if (c) return c;
    at += f->width;
  }
  return 0;
}

std::vector<SeedRow> InKeyOrder(uint32_t table, uint32_t keyNo) {
  std::vector<SeedRow> rows = Seeded().Table(table);
  const plx::KeyDef* k = plx::FindTable(table)->Key(keyNo);
  std::stable_sort(rows.begin(), rows.end(), [k](const SeedRow& a, const SeedRow& b) {
    std::string ka = plx::KeyOf(*k, reinterpret_cast<const uint8_t*>(a.bytes.data()));
    std::string kb = plx::KeyOf(*k, reinterpret_cast<const uint8_t*>(b.bytes.data()));
    int c = CompareKey(*k, ka, kb);
    return c ? c < 0 : a.rowId < b.rowId;
  });
  return rows;
}

std::string NumberKey(std::initializer_list<uint32_t> values) {
  std::string key(values.size() * 4, '\0');
  size_t at = 0;
  for (uint32_t v : values) {
    plx::PutU32(reinterpret_cast<uint8_t*>(&key[at]), v);
    at += 4;
  }
  return key;
}

std::string NameKey(std::initializer_list<uint32_t> values, const char* name, size_t width) {
  std::string key = NumberKey(values);
  std::string field(width, '\0');
  memcpy(&field[0], name, strnlen(name, width));
  return key + field;
}

Result Op(uint32_t connection, uint32_t table, uint32_t cls, uint32_t op, uint32_t keyNo, std::string key,
          const std::string* write) {
  Result r;
  r.record.assign(plx::RecordLength(table), '\0');
  if (write) r.record = *write;
  if (key.empty()) key.assign(1, '\0');  // never a null pointer: the call refuses those
  r.status = DBOperationEx(connection, table, cls, op, keyNo, uint32_t(key.size()), uint32_t(r.record.size()),
                           &key[0], &r.record[0]);
  return r;
}

bool Control(const std::string& command) {
  std::string dir = Env("PLX_CONTROL");
  if (dir.empty()) return false;
  std::string tmp = dir + "\\request.tmp", request = dir + "\\request.txt", done = dir + "\\done.txt";
  DeleteFileA(done.c_str());
  FILE* f = fopen(tmp.c_str(), "w");
  if (!f) return false;
  fputs(command.c_str(), f);
  fclose(f);
  if (!MoveFileExA(tmp.c_str(), request.c_str(), MOVEFILE_REPLACE_EXISTING)) return false;
  for (int i = 0; i < 600; ++i) {
    if (GetFileAttributesA(done.c_str()) != INVALID_FILE_ATTRIBUTES) {
      DeleteFileA(done.c_str());
      return true;
    }
    Sleep(50);
  }
  return false;
}

std::string Env(const char* name) {
  char buf[1024];
  DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
  return n && n < sizeof buf ? std::string(buf) : std::string();
}

}  // namespace rt
