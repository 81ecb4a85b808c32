#include "table_sql.h"

namespace dblink {

using plx::FieldDef;
using plx::KeyDef;
using plx::TableDef;

std::string Quoted(const char* name) { return std::string("\"") + name + "\""; }

const FieldDef* IdField(const TableDef& t) {
  const KeyDef* k = t.Key(0);
  return k && k->fields.size() == 1 ? k->fields[0] : nullptr;
}

bool IsKeyText(const TableDef& t, const FieldDef& f) {
  if (f.type != plx::FieldType::Text) return false;
  for (const KeyDef& k : t.keys)
    for (const FieldDef* kf : k.fields)
      if (kf == &f) return true;
  return false;
}

std::string ColumnList(const TableDef& t) {
  std::string s;
  for (const FieldDef& f : t.fields) {
    if (!s.empty()) s += ",";
    s += Quoted(f.name);
  }
  return s;
}

// Rows with an id field given keep that identity; a targeting row or task given without
// one is the row with the same natural key (a status row of the same name is another row:
// Scheduled is part of the key). History rows are only ever added.
std::vector<const char*> NaturalKey(uint32_t table) {
  switch (table) {
    case plx::kTableServer: return {"ServerName"};
    case plx::kTablePackage: return {"ServerId", "PackageId"};
    case plx::kTableDependency: return {"RequiredServerId", "PackageId", "RequiredPackageId"};
    case plx::kTableUserPackage: return {"ServerId", "PackageId", "Scheduled", "TargetKind", "TargetName"};
    case plx::kTableTask: return {"ServerId", "PackageId", "TaskType", "TaskName", "TaskArgs"};
    default: return {};
  }
}

void SetAssignedId(const TableDef& t, uint32_t id, uint8_t* rec) {
  if (const FieldDef* f = IdField(t)) SetFieldNumber(*f, id, rec);
  const FieldDef* pu = t.id == plx::kTableUserPackage ? t.Field("PackageUserId") : nullptr;
  if (pu && FieldNumber(*pu, rec) == 0) SetFieldNumber(*pu, id, rec);
}

int32_t RewriteFields(const TableDef& t, const std::string& stored, const std::string& record,
                      const std::vector<std::string>& writable, const RewriteCheck& check,
                      std::vector<const FieldDef*>& sets) {
  const FieldDef* idf = IdField(t);
  const uint8_t* r = reinterpret_cast<const uint8_t*>(record.data());
  const uint8_t* o = reinterpret_cast<const uint8_t*>(stored.data());
  sets.clear();
  for (const FieldDef& f : t.fields) {
    if (&f == idf) continue;
    bool isWritable = false;
    for (const std::string& n : writable) isWritable = isWritable || n == f.name;
    if (isWritable) sets.push_back(&f);
    else if (IsNumeric(f) ? FieldNumber(f, r) != FieldNumber(f, o) : FieldText(f, r) != FieldText(f, o))
      return plx::kDbReadOnly;
  }
  if (sets.empty()) return plx::kDbReadOnly;
  return check ? check(stored, record) : plx::kDbOk;
}

}  // namespace dblink
