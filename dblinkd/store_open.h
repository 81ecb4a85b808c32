// The store a --db value names: a PostgreSQL connection URI, or else a SQLite file.
#pragma once
#include <memory>
#include <string>

#include "store.h"

namespace dblink {

// Null with error set when the database cannot be opened.
std::unique_ptr<Store> OpenStore(const std::string& db, std::string& error);

}  // namespace dblink
