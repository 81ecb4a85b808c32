#include "document.h"

#include <fstream>
#include <sstream>

#include "fields.h"

namespace dblink {

bool ReadTextFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream ss;
  ss << in.rdbuf();
  out = ss.str();
  return !in.bad();
}

using plx::FieldDef;
using plx::TableDef;

namespace {

struct ArrayDef {
  const char* name;
  uint32_t table;
};

// The arrays an import accepts, in the order they are stored. History is only ever written
// by workstations, so it is listed and exported but not imported.
const ArrayDef kImportArrays[] = {
    {"servers", plx::kTableServer},       {"packages", plx::kTablePackage},
    {"package_users", plx::kTableUserPackage}, {"dependencies", plx::kTableDependency},
    {"tasks", plx::kTableTask},
};

const char* TypeName(const FieldDef& f) {
  switch (f.type) {
    case plx::FieldType::U16: return "a number 0-65535";
    case plx::FieldType::U32: return "a number 0-4294967295";
    case plx::FieldType::U8: return "a one-letter text";
    case plx::FieldType::Date: return "a date \"YYYY-MM-DD\" or \"\"";
    case plx::FieldType::Time: return "a time \"HH:MM:SS\" or \"\"";
    default: return "a text";
  }
}

bool InstalledFromJson(const Json& obj, const std::string& where, InstalledPath& p,
                       std::string& error) {
  if (!obj.is_object()) { error = where + ": expected an object"; return false; }
  for (auto it = obj.begin(); it != obj.end(); ++it) {
    const std::string& k = it.key();
    std::string* dst = k == "Server" ? &p.server : k == "Item" ? &p.item
                     : k == "Path" ? &p.path : k == "Second" ? &p.second : nullptr;
    if (!dst) { error = where + "." + k + ": unknown field"; return false; }
    if (!it.value().is_string()) { error = where + "." + k + ": expected a text"; return false; }
    *dst = it.value().get<std::string>();
    // The requester's answer buffers hold 256 characters with their terminator.
    if (dst->size() > 255 || dst->find('\0') != std::string::npos) {
      error = where + "." + k + ": longer than 255 characters";
      return false;
    }
  }
  if (p.server.empty()) { error = where + ".Server: missing"; return false; }
  if (p.item.empty()) { error = where + ".Item: missing"; return false; }
  return true;
}

}  // namespace

const char* ArrayName(uint32_t table) {
  switch (table) {
    case plx::kTableServer: return "servers";
    case plx::kTablePackage: return "packages";
    case plx::kTableUserPackage: return "package_users";
    case plx::kTableHistory: return "history";
    case plx::kTableHistoryText: return "history_texts";
    case plx::kTableDependency: return "dependencies";
    case plx::kTableTask: return "tasks";
    default: return "";
  }
}

bool RecordFromJson(const TableDef& t, const Json& obj, const std::string& where,
                    std::string& rec, std::string& error) {
  if (!obj.is_object()) { error = where + ": expected an object"; return false; }
  rec.assign(t.recordLength, '\0');
  uint8_t* r = reinterpret_cast<uint8_t*>(&rec[0]);
  for (auto it = obj.begin(); it != obj.end(); ++it) {
    const FieldDef* f = t.Field(it.key().c_str());
    std::string at = where + "." + it.key();
    if (!f) { error = at + ": unknown field"; return false; }
    const Json& v = it.value();
    if (IsNumeric(*f)) {
      uint64_t max = f->type == plx::FieldType::U16 ? 0xFFFFu : 0xFFFFFFFFu;
      if (!v.is_number_unsigned() || v.get<uint64_t>() > max) {
        error = at + ": expected " + TypeName(*f);
        return false;
      }
      SetFieldNumber(*f, uint32_t(v.get<uint64_t>()), r);
    } else {
      if (!v.is_string()) { error = at + ": expected " + TypeName(*f); return false; }
      const std::string s = v.get<std::string>();
      if (!SetFieldText(*f, s, r)) {
        if (f->type == plx::FieldType::Text)
          error = at + ": longer than " + std::to_string(f->width) + " characters";
        else
          error = at + ": expected " + TypeName(*f) + ", got \"" + s + "\"";
        return false;
      }
    }
  }
  return true;
}

bool ParseDocument(const Json& j, Document& doc, std::string& error) {
  doc = Document{};
  if (!j.is_object()) { error = "document: expected an object of arrays"; return false; }
  for (auto it = j.begin(); it != j.end(); ++it) {
    bool known = it.key() == "installed";
    for (const ArrayDef& a : kImportArrays) known = known || it.key() == a.name;
    if (!known) { error = it.key() + ": unknown array"; return false; }
    if (!it.value().is_array()) { error = it.key() + ": expected an array"; return false; }
  }
  for (const ArrayDef& a : kImportArrays) {
    auto it = j.find(a.name);
    if (it == j.end()) continue;
    Document::Table tab;
    tab.def = plx::FindTable(a.table);
    for (size_t i = 0; i < it->size(); ++i) {
      std::string rec;
      if (!RecordFromJson(*tab.def, (*it)[i], std::string(a.name) + "[" + std::to_string(i) + "]", rec, error))
        return false;
      tab.rows.push_back(std::move(rec));
    }
    doc.tables.push_back(std::move(tab));
  }
  auto inst = j.find("installed");
  if (inst != j.end()) {
    for (size_t i = 0; i < inst->size(); ++i) {
      InstalledPath p;
      if (!InstalledFromJson((*inst)[i], "installed[" + std::to_string(i) + "]", p, error)) return false;
      doc.installed.push_back(std::move(p));
    }
  }
  return true;
}

bool ParseJsonText(const std::string& text, Json& out, std::string& error) {
  try {
    out = Json::parse(text);
    return true;
  } catch (const Json::parse_error& e) {
    // e.byte is one past the offending character, counted from 1.
    size_t upto = e.byte ? std::min<size_t>(e.byte - 1, text.size()) : 0;
    size_t line = 1, col = 1;
    for (size_t i = 0; i < upto; ++i) {
      if (text[i] == '\n') { ++line; col = 1; } else { ++col; }
    }
    std::string what = e.what();
    size_t cut = what.find("syntax error");
    error = "line " + std::to_string(line) + ", column " + std::to_string(col) + ": " +
            (cut == std::string::npos ? what : what.substr(cut));
    return false;
  }
}

Json RecordToJson(const TableDef& t, const std::string& rec) {
  Json o = Json::object();
  const uint8_t* r = reinterpret_cast<const uint8_t*>(rec.data());
  for (const FieldDef& f : t.fields) {
    if (IsNumeric(f)) o[f.name] = FieldNumber(f, r);
    else o[f.name] = FieldText(f, r);
  }
  return o;
}

Json InstalledToJson(const InstalledPath& p) {
  return Json{{"Server", p.server}, {"Item", p.item}, {"Path", p.path}, {"Second", p.second}};
}

}  // namespace dblink
