#include "store_open.h"

#include "pg_conn.h"
#include "pg_store.h"
#include "sqlite_store.h"

namespace dblink {

std::unique_ptr<Store> OpenStore(const std::string& db, std::string& error) {
  if (IsPostgresUri(db)) return PgStore::Open(db, error);
  return SqliteStore::Open(db, error);
}

}  // namespace dblink
