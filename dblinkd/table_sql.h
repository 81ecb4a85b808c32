// How the record tables become SQL tables, whatever the engine: column names, the id
// field, the natural keys of an import, the rewrite rule and a stored row's bytes.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <cstring>
#include <string>
#include <vector>

#include "fields.h"
#include "plx/records.h"
#include "store.h"

namespace dblink {

std::string Quoted(const char* name);

// The table's id field: the single field of key 0 (RecordId, TextId), stored as the row
// id, or null for tables without one.
const plx::FieldDef* IdField(const plx::TableDef& t);

// A text field of some key: it compares case-insensitively (ASCII), in indexes as in
// every comparison.
bool IsKeyText(const plx::TableDef& t, const plx::FieldDef& f);

// "F1","F2",... in field order.
std::string ColumnList(const plx::TableDef& t);

// Fields that identify an imported row, so that importing the same document twice
// replaces rather than duplicates it (see table_sql.cpp).
std::vector<const char*> NaturalKey(uint32_t table);

// Puts an id the database assigned into the record: the id field, and a status row's
// PackageUserId given as 0, so that history entries name the status row they hang on.
void SetAssignedId(const plx::TableDef& t, uint32_t id, uint8_t* rec);

// The rewrite rule: every field but the id and the writable ones must already hold what
// the record says, compared exactly (not case-insensitively like keys); then the caller's
// check, when given, on the stored row. kDbOk with the fields to set, kDbReadOnly, or the
// check's refusal.
int32_t RewriteFields(const plx::TableDef& t, const std::string& stored, const std::string& record,
                      const std::vector<std::string>& writable, const RewriteCheck& check,
                      std::vector<const plx::FieldDef*>& sets);

// A stored row as packed bytes, its columns in field order read through number(i) and
// text(i) (i counting the fields from 0).
template <class Number, class Text>
void FillRow(const plx::TableDef& t, uint32_t rowId, Number number, Text text, Row& out) {
  out.rowId = rowId;
  out.bytes.assign(t.recordLength, '\0');
  uint8_t* rec = reinterpret_cast<uint8_t*>(&out.bytes[0]);
  int i = 0;
  for (const plx::FieldDef& f : t.fields) {
    if (IsNumeric(f)) {
      SetFieldNumber(f, uint32_t(number(i)), rec);
    } else if (!SetFieldText(f, text(i), rec)) {
      // Only validated values are ever stored; a value that no longer fits reads as zero.
      memset(rec + f.offset, 0, f.width);
    }
    ++i;
  }
}

// A workstation's insert as the writer runs it, with the engine's AddRow.
template <class Conn>
std::function<int32_t(Conn&, Row&)> InsertWork(const plx::TableDef& t, std::string record) {
  return [&t, record = std::move(record)](Conn& w, Row& out) {
    std::string error;
    if (AddRow(w, t, record, false, &out, error)) return int32_t(plx::kDbOk);
    fprintf(stderr, "dblinkd: insert into %s failed: %s\n", t.sqlName, error.c_str());
    return int32_t(plx::kDbWriteFailure);
  };
}

// Adds or replaces a document's rows on the writer, inside the caller's transaction, with
// the engine's AddRow and AddInstalled. why says which row failed.
template <class Conn>
int32_t ImportRows(Conn& w, const Document& doc, std::string& why) {
  for (const Document::Table& tab : doc.tables) {
    for (size_t i = 0; i < tab.rows.size(); ++i) {
      std::string e;
      if (tab.rows[i].size() != tab.def->recordLength) e = "wrong record length";
      else if (AddRow(w, *tab.def, tab.rows[i], true, nullptr, e)) continue;
      why = std::string(tab.def->sqlName) + "[" + std::to_string(i) + "]: " + e;
      return plx::kDbWriteFailure;
    }
  }
  for (size_t i = 0; i < doc.installed.size(); ++i) {
    std::string e;
    if (AddInstalled(w, doc.installed[i], e)) continue;
    why = "installed[" + std::to_string(i) + "]: " + e;
    return plx::kDbWriteFailure;
  }
  return plx::kDbOk;
}

}  // namespace dblink
