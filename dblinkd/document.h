// The JSON form of the package database, used by --seed, POST /import, the listings and
// pkgadmin. A document is an object of arrays named after the tables ("servers",
// "packages", "package_users", "dependencies", "tasks", plus "installed"); each element is
// an object keyed by the record's field names. Absent fields are zero or empty.
#pragma once
#include <string>

#include <nlohmann/json.hpp>

#include "store.h"

namespace dblink {

using Json = nlohmann::ordered_json;

// The largest document the admin API takes, and pkgadmin sends.
constexpr size_t kMaxDocumentBytes = size_t(64) << 20;

// Array name of a table in documents and listings ("packages" for 302).
const char* ArrayName(uint32_t table);

// Fills doc from a parsed document. False with error naming the array, element and field.
bool ParseDocument(const Json& j, Document& doc, std::string& error);

// The whole content of a file (a document, a token). False when it cannot be read.
bool ReadTextFile(const std::string& path, std::string& out);

// Parses JSON text; on a syntax error, error gives the line and column.
bool ParseJsonText(const std::string& text, Json& out, std::string& error);

// Converts one element: the object's fields into record bytes (where = "packages[3]").
bool RecordFromJson(const plx::TableDef& t, const Json& obj, const std::string& where,
                    std::string& rec, std::string& error);
Json RecordToJson(const plx::TableDef& t, const std::string& rec);
Json InstalledToJson(const InstalledPath& p);

}  // namespace dblink
