#include "store_open.h"

#include "pg_conn.h"
#include "pg_store.h"
#include "sqlite_store.h"

namespace dblink {

std::unique_ptr<Store> OpenStore(const std::string& db, std::string& error) {
  if (IsPostgresUri(db)) return PgStore::Open(db, error);
  return SqliteStore::Open(db, error);
}

std::string DatabaseForLog(const std::string& db) {
  if (!IsPostgresUri(db)) return db;
  std::string out = db;
  size_t start = out.find("://") + 3;
  size_t at = out.find('@', start), end = out.find_first_of("/?", start);
  size_t colon = out.find(':', start);
  if (at != std::string::npos && (end == std::string::npos || at < end) && colon < at)
    out.replace(colon + 1, at - colon - 1, "***");
  for (size_t p = out.find("password="); p != std::string::npos; p = out.find("password=", p + 1)) {
    if (p > 0 && out[p - 1] != '?' && out[p - 1] != '&') continue;
    size_t v = p + 9, e = out.find('&', v);
    out.replace(v, (e == std::string::npos ? out.size() : e) - v, "***");
  }
  return out;
}

}  // namespace dblink
