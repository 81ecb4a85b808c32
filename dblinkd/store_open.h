// The store a --db value names: a PostgreSQL connection URI, or else a SQLite file.
#pragma once
#include <memory>
#include <string>

#include "store.h"

namespace dblink {

// Null with error set when the database cannot be opened.
std::unique_ptr<Store> OpenStore(const std::string& db, std::string& error);

// The --db value as the log may show it: a password in a PostgreSQL URI (user:password@,
// or a password= parameter) is replaced by "***".
std::string DatabaseForLog(const std::string& db);

}  // namespace dblink
