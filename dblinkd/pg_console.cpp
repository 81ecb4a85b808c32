// The console's queries on PostgreSQL: the same answers, orders and pages as on SQLite.
// The overview reads counts kept by triggers (in two parts: see console_count_changes), so
// it costs what the number of packages costs, not the number of status rows; every other
// listing is an index search cut to one page with LIMIT/OFFSET, in an order that ends
// with a row id. Names compare as every key text of this database does: lower(... COLLATE
// "C"), which folds ASCII letters only, the values given lowered the same way here first.
//
// A package is named by its PackageId alone: where several servers hold the same
// PackageId, the console shows the one of the lowest ServerId, with the status rows and
// counts of all of them.
#include "pg_console.h"

#include <cstdio>

#include "console_plans.h"
#include "plx/records.h"

namespace dblink {

namespace {

constexpr const char* kReofferUser = "console";
constexpr const char* kReofferText = "Offered again from the console";

std::string N(uint32_t v) { return std::to_string(v); }

// A key text column as every comparison and index of this database takes it.
std::string Low(const std::string& column) { return "lower(" + column + " COLLATE \"C\")"; }

// The value side of the same comparison: ASCII letters lowered, every other byte kept.
std::string AsciiLower(std::string s) {
  for (char& ch : s)
    if (ch >= 'A' && ch <= 'Z') ch = char(ch - 'A' + 'a');
  return s;
}

// Both failed statuses, as an SQL list.
std::string FailedStatuses() { return "(" + N(plx::kStatusFailed) + "," + N(plx::kStatusFailedRetry) + ")"; }

// Failures first: the leading part of the package page's order (and of its index).
std::string Bad(const std::string& row) { return "(" + row + ".\"PackageStatus\" IN " + FailedStatuses() + ")"; }

// ---------------------------------------------------------------------------------------
// Schema.

struct SchemaObject {
  const char* name;
  std::string sql;
};

std::vector<SchemaObject> ConsoleIndexes() {
  const std::string tn = Low("\"TargetName\"");
  return {
      // A package's status rows in the package page's order: failures first, then by name.
      {"package_users_by_status",
       "CREATE INDEX package_users_by_status ON package_users (\"PackageId\", \"Scheduled\", "
       "(\"PackageStatus\" IN " + FailedStatuses() + ") DESC, " + tn + ", rowid)"},
      // A machine's or user's rows, by the name they target or the one they were written for.
      {"package_users_by_target",
       "CREATE INDEX package_users_by_target ON package_users (" + tn + ", \"Scheduled\", \"TargetKind\")"},
      {"package_users_by_counterpart",
       "CREATE INDEX package_users_by_counterpart ON package_users (" + Low("\"Counterpart\"") +
           ", \"Scheduled\", \"TargetKind\")"},
      // The status row a history entry belongs to.
      {"package_users_by_user_id",
       "CREATE INDEX package_users_by_user_id ON package_users (\"PackageUserId\", \"Scheduled\", rowid)"},
      {"history_by_row", "CREATE INDEX history_by_row ON history (\"PackageUserId\", \"Date\", \"Time\", rowid)"},
      {"history_by_user",
       "CREATE INDEX history_by_user ON history (" + Low("\"UserName\"") + ", \"Date\", \"Time\", rowid)"},
      {"history_by_package", "CREATE INDEX history_by_package ON history (\"PackageId\", \"Date\", \"Time\", rowid)"},
      {"history_by_date", "CREATE INDEX history_by_date ON history (\"Date\", \"Time\", rowid)"},
      {"history_by_text", "CREATE INDEX history_by_text ON history (\"TextId\")"},
      // Texts searchable by any part of three characters or more, any case.
      {"history_texts_trigram",
       "CREATE INDEX history_texts_trigram ON history_texts USING gin (\"Text\" gin_trgm_ops)"},
      {"packages_by_id", "CREATE INDEX packages_by_id ON packages (\"PackageId\", \"ServerId\", rowid)"},
      {"servers_by_id", "CREATE INDEX servers_by_id ON servers (\"ServerId\", rowid)"},
  };
}

// Counts of status rows per package and status, in two parts: console_counts, folded, and
// console_count_changes, what writes added since. A write only appends its changes, so
// that writers of several services never wait for one another on a package's counts (nor
// deadlock over two of them); a reader sums both parts, and folds the changes in now and
// then (FoldCounts).
const char* const kCountsTable =
    "CREATE TABLE console_counts (\"PackageId\" BIGINT NOT NULL, \"PackageStatus\" BIGINT NOT NULL, "
    "\"Rows\" BIGINT NOT NULL, PRIMARY KEY (\"PackageId\", \"PackageStatus\"))";
const char* const kChangesTable =
    "CREATE TABLE console_count_changes (\"PackageId\" BIGINT NOT NULL, \"PackageStatus\" BIGINT NOT NULL, "
    "\"Rows\" BIGINT NOT NULL)";
const char* const kCountsFill =
    "INSERT INTO console_counts (\"PackageId\", \"PackageStatus\", \"Rows\") SELECT \"PackageId\", \"PackageStatus\", "
    "COUNT(*) FROM package_users WHERE \"Scheduled\"=0 GROUP BY 1, 2";

// Both parts of the counts as one relation of (PackageId, PackageStatus, Rows) rows; where
// narrows both the same way.
std::string AllCounts(const std::string& where = "") {
  return "(SELECT \"PackageId\", \"PackageStatus\", \"Rows\" FROM console_counts" + where +
         " UNION ALL SELECT \"PackageId\", \"PackageStatus\", \"Rows\" FROM console_count_changes" + where + ")";
}

// The changes folded into the counts, by one reader at a time (the others go on: the sums
// they read are the same before and after).
constexpr int64_t kFoldLock = 0x706c7863;  // "plxc"
const char* const kFoldChanges =
    "WITH moved AS (DELETE FROM console_count_changes RETURNING \"PackageId\", \"PackageStatus\", \"Rows\") "
    "INSERT INTO console_counts AS c (\"PackageId\", \"PackageStatus\", \"Rows\") "
    "SELECT \"PackageId\", \"PackageStatus\", SUM(\"Rows\") FROM moved GROUP BY 1, 2 ORDER BY 1, 2 "
    "ON CONFLICT (\"PackageId\", \"PackageStatus\") DO UPDATE SET \"Rows\"=c.\"Rows\"+EXCLUDED.\"Rows\"";

std::string AppendChanges(const std::string& changes) {
  return "INSERT INTO console_count_changes (\"PackageId\", \"PackageStatus\", \"Rows\") "
         "SELECT k, s, SUM(d) FROM (" + changes + ") AS v(k, s, d) GROUP BY k, s HAVING SUM(d)<>0;";
}

std::string CountsFunction() {
  const std::string oldRow = "SELECT OLD.\"PackageId\", OLD.\"PackageStatus\"::bigint, -1 WHERE OLD.\"Scheduled\"=0";
  const std::string newRow = "SELECT NEW.\"PackageId\", NEW.\"PackageStatus\"::bigint, 1 WHERE NEW.\"Scheduled\"=0";
  return "CREATE OR REPLACE FUNCTION console_counts_change() RETURNS trigger LANGUAGE plpgsql AS $f$ BEGIN "
         "IF TG_OP='INSERT' THEN " + AppendChanges(newRow) +
         " ELSIF TG_OP='DELETE' THEN " + AppendChanges(oldRow) +
         " ELSE " + AppendChanges(oldRow + " UNION ALL " + newRow) + " END IF; RETURN NULL; END $f$";
}

const SchemaObject kCountsTriggers[] = {
    {"console_counts_insert",
     "CREATE TRIGGER console_counts_insert AFTER INSERT ON package_users FOR EACH ROW "
     "WHEN (NEW.\"Scheduled\"=0) EXECUTE FUNCTION console_counts_change()"},
    {"console_counts_delete",
     "CREATE TRIGGER console_counts_delete AFTER DELETE ON package_users FOR EACH ROW "
     "WHEN (OLD.\"Scheduled\"=0) EXECUTE FUNCTION console_counts_change()"},
    {"console_counts_update",
     "CREATE TRIGGER console_counts_update AFTER UPDATE OF \"PackageId\", \"Scheduled\", \"PackageStatus\" "
     "ON package_users FOR EACH ROW WHEN ((OLD.\"Scheduled\"=0 OR NEW.\"Scheduled\"=0) AND "
     "(OLD.\"PackageId\", OLD.\"Scheduled\", OLD.\"PackageStatus\") IS DISTINCT FROM "
     "(NEW.\"PackageId\", NEW.\"Scheduled\", NEW.\"PackageStatus\")) EXECUTE FUNCTION console_counts_change()"},
};

// ---------------------------------------------------------------------------------------
// Statements: SQL with its parameters, numbered as they are added.

struct Query {
  std::string sql;
  PgParams params;
  size_t count = 0;
  std::string Param(const std::string& text) {
    params.Add(text);
    return "$" + std::to_string(++count);
  }
  std::string Param(int64_t number) {
    params.Add(number);
    return "$" + std::to_string(++count);
  }
};

// Runs q, handing the result to onRow row by row. False on a database failure.
template <class OnRow> bool Run(PgConn& c, const Query& q, OnRow onRow) {
  PgResult r = c.Exec(q.sql, q.params);
  if (!r.Ok()) return false;
  for (int i = 0; i < r.Rows(); ++i) onRow(r, i);
  return true;
}

// LIMIT one more than the page: that row only says whether another page follows.
std::string PageSql(Query& q, const Page& page) {
  std::string limit = q.Param(int64_t(page.limit) + 1);
  return " LIMIT " + limit + " OFFSET " + q.Param(int64_t(page.offset));
}

uint32_t U32(const PgResult& r, int row, int col) { return uint32_t(r.Int(row, col)); }

// The name of a package (of the row's own server when it has one there).
std::string PackageNameOf(const std::string& r) {
  return "COALESCE((SELECT \"Name\" FROM packages WHERE \"ServerId\"=" + r + ".\"ServerId\" AND \"PackageId\"=" + r +
         ".\"PackageId\" ORDER BY rowid LIMIT 1), (SELECT \"Name\" FROM packages WHERE \"PackageId\"=" + r +
         ".\"PackageId\" ORDER BY \"ServerId\", rowid LIMIT 1), '')";
}

std::string ServerNameOf(const std::string& serverId) {
  return "COALESCE((SELECT \"ServerName\" FROM servers WHERE \"ServerId\"=" + serverId + " ORDER BY rowid LIMIT 1),'')";
}

// Status rows listed from a subquery k of their row ids, in k's order.
std::string StatusRowsFrom(const std::string& keys, const std::string& order) {
  return "SELECT r.\"RecordId\", r.\"PackageId\", " + PackageNameOf("r") +
         ", r.\"TargetKind\", r.\"TargetName\", r.\"Counterpart\", r.\"PackageStatus\", r.\"FailureCount\", "
         "r.\"RefusalCount\", COALESCE((SELECT (SELECT \"Text\" FROM history_texts WHERE rowid=h.\"TextId\") "
         "FROM history h WHERE h.\"PackageUserId\"=r.\"PackageUserId\" "
         "ORDER BY h.\"Date\" DESC, h.\"Time\" DESC, h.rowid DESC LIMIT 1),'') "
         "FROM (" + keys + ") AS k JOIN package_users r ON r.rowid=k.rid ORDER BY " + order;
}

bool StatusPage(PgConn& c, const Query& q, const Page& page, Paged<StatusRowView>& out) {
  bool ok = Run(c, q, [&](const PgResult& r, int i) {
    StatusRowView v;
    v.recordId = U32(r, i, 0);
    v.packageId = U32(r, i, 1);
    v.packageName = r.Text(i, 2);
    v.kind = U32(r, i, 3);
    v.targetName = r.Text(i, 4);
    v.counterpart = r.Text(i, 5);
    v.status = uint16_t(r.Int(i, 6));
    v.failures = U32(r, i, 7);
    v.refusals = U32(r, i, 8);
    v.lastText = r.Text(i, 9);
    out.rows.push_back(std::move(v));
  });
  EndPage(out, page);
  return ok;
}

// Each package once (its row of the lowest ServerId), joined to its counts summed per
// status: both whole, so that the planner hashes them rather than sums counts per package.
Query OverviewQuery(const Page& page) {
  auto sum = [](const std::string& cond, const char* as) {
    return "SUM(CASE WHEN \"PackageStatus\"" + cond + " THEN \"Rows\" END) AS " + as;
  };
  Query q;
  q.sql = "SELECT p.\"PackageId\", p.\"ServerId\", p.\"Name\", " + ServerNameOf("p.\"ServerId\"") +
          ", COALESCE(c.pending,0), COALESCE(c.installed,0), COALESCE(c.refused,0), COALESCE(c.permanent,0), "
          "COALESCE(c.failed,0) FROM (SELECT DISTINCT ON (\"PackageId\") \"PackageId\", \"ServerId\", \"Name\" "
          "FROM packages ORDER BY \"PackageId\", \"ServerId\", rowid) AS p LEFT JOIN (SELECT \"PackageId\", " +
          sum("=" + N(plx::kStatusPending), "pending") + ", " + sum("=" + N(plx::kStatusCompleted), "installed") +
          ", " + sum("=" + N(plx::kStatusRefused), "refused") + ", " +
          sum("=" + N(plx::kStatusRefusedPermanently), "permanent") + ", " +
          sum(" IN " + FailedStatuses(), "failed") +
          " FROM " + AllCounts() + " AS a GROUP BY \"PackageId\") AS c ON c.\"PackageId\"=p.\"PackageId\" "
          "ORDER BY COALESCE(c.failed,0) DESC, " + Low("p.\"Name\"") + ", p.\"PackageId\"";
  q.sql += PageSql(q, page);
  return q;
}

Query PackageQuery(uint32_t packageId) {
  Query q;
  q.sql = "SELECT p.\"PackageId\", p.\"ServerId\", p.\"Name\", " + ServerNameOf("p.\"ServerId\"") +
          " FROM packages p WHERE p.\"PackageId\"=" + q.Param(packageId) + " ORDER BY p.\"ServerId\", p.rowid LIMIT 1";
  return q;
}

Query CountsQuery(uint32_t packageId) {
  Query q;
  q.sql = "SELECT \"PackageStatus\", SUM(\"Rows\") FROM " + AllCounts(" WHERE \"PackageId\"=" + q.Param(packageId)) +
          " AS a GROUP BY \"PackageStatus\"";
  return q;
}

Query TargetsQuery(uint32_t packageId) {
  Query q;
  q.sql = "SELECT \"RecordId\", \"TargetKind\", \"TargetName\" FROM package_users WHERE \"PackageId\"=" +
          q.Param(packageId) + " AND \"Scheduled\"=1 ORDER BY \"TargetKind\", " + Low("\"TargetName\"") +
          ", \"RecordId\"";
  return q;
}

// "abc" -> "abc%" with the pattern characters of the name itself taken literally.
std::string PrefixPattern(const std::string& prefix) {
  std::string p;
  for (char ch : prefix) {
    if (ch == '%' || ch == '_' || ch == '\\') p += '\\';
    p += ch;
  }
  return p + "%";
}

Query PackageStatusQuery(uint32_t packageId, const StatusFilter& f, const Page& page) {
  Query q;
  const std::string tn = Low("u.\"TargetName\"");
  std::string keys = "SELECT u.rowid AS rid, " + Bad("u") + " AS bad, " + tn + " AS tn FROM package_users u "
                     "WHERE u.\"PackageId\"=" + q.Param(packageId) + " AND u.\"Scheduled\"=0";
  if (f.status == plx::kStatusFailed) keys += " AND u.\"PackageStatus\" IN " + FailedStatuses();
  else if (f.status >= 0) keys += " AND u.\"PackageStatus\"=" + q.Param(f.status);
  if (f.kind != 0) keys += " AND u.\"TargetKind\"=" + q.Param(f.kind);
  // With C collation a literal prefix is an index range.
  if (!f.name.empty()) keys += " AND " + tn + " LIKE " + q.Param(PrefixPattern(AsciiLower(f.name)));
  keys += " ORDER BY " + Bad("u") + " DESC, " + tn + ", u.rowid" + PageSql(q, page);
  q.sql = StatusRowsFrom(keys, "k.bad DESC, k.tn, k.rid");
  return q;
}

// The status rows of a machine (kind 8 named after it, kind 6 written on it) or of a user
// (kind 6 named after them, kind 8 written for them).
std::string OfName(Query& q, const std::string& row, uint32_t ownKind, uint32_t otherKind, const std::string& name) {
  std::string v = q.Param(AsciiLower(name));
  return row + ".\"Scheduled\"=0 AND ((" + row + ".\"TargetKind\"=" + N(ownKind) + " AND " +
         Low(row + ".\"TargetName\"") + "=" + v + ") OR (" + row + ".\"TargetKind\"=" + N(otherKind) + " AND " +
         Low(row + ".\"Counterpart\"") + "=" + v + "))";
}

Query NameStatusQuery(uint32_t ownKind, uint32_t otherKind, const std::string& name, const Page& page) {
  Query q;
  std::string keys = "SELECT m.rowid AS rid, " + Low(PackageNameOf("m")) + " AS pn FROM package_users m WHERE " +
                     OfName(q, "m", ownKind, otherKind, name) + " ORDER BY pn, rid" + PageSql(q, page);
  q.sql = StatusRowsFrom(keys, "k.pn, k.rid");
  return q;
}

// A history listing's columns, from its entries h.
std::string HistoryColumns() {
  return "SELECT h.rowid, h.\"PackageId\", " + PackageNameOf("h") +
         ", h.\"PackageUserId\", h.\"Date\", h.\"Time\", h.\"UserName\", h.\"ServerName\", "
         "COALESCE((SELECT CASE WHEN \"TargetKind\"=" + N(plx::kKindMachine) +
         " THEN \"TargetName\" ELSE \"Counterpart\" END FROM package_users "
         "WHERE \"PackageUserId\"=h.\"PackageUserId\" ORDER BY \"Scheduled\", rowid LIMIT 1),''), "
         "COALESCE((SELECT \"Text\" FROM history_texts WHERE rowid=h.\"TextId\"),'')";
}

// "text" -> "%text%" for ILIKE, the text's own pattern characters taken literally. The
// database's C character type makes ILIKE fold ASCII letters only, as the other names.
std::string ContainsPattern(const std::string& text) { return "%" + PrefixPattern(text); }

std::string DateRange(Query& q, const HistoryQuery& hq) {
  std::string from = q.Param(hq.from);
  return "h.\"Date\" BETWEEN " + from + " AND " + q.Param(hq.to.empty() ? "99999999" : hq.to);
}

// A history search: the fields given, each a condition the planner may lead with. A
// machine leads always: its status rows' entries are read newest first from each row's
// index range, no more of each than the page needs, whatever the planner would guess.
Query HistoryQueryOf(const HistoryQuery& hq, const Page& page) {
  Query q;
  std::vector<std::string> conds;
  if (!hq.user.empty()) conds.push_back(Low("h.\"UserName\"") + "=" + q.Param(AsciiLower(hq.user)));
  if (hq.packageId != 0) conds.push_back("h.\"PackageId\"=" + q.Param(hq.packageId));
  if (!hq.text.empty())
    conds.push_back("h.\"TextId\" IN (SELECT rowid FROM history_texts WHERE \"Text\" ILIKE " +
                    q.Param(ContainsPattern(hq.text)) + ")");
  // Without any other field the date range leads, open ends included.
  if (!hq.from.empty() || !hq.to.empty() || (conds.empty() && hq.machine.empty())) conds.push_back(DateRange(q, hq));
  const std::string order = " ORDER BY h.\"Date\" DESC, h.\"Time\" DESC, h.rowid DESC";
  std::string from = "history h";
  if (!hq.machine.empty()) {
    from = "(SELECT DISTINCT m.\"PackageUserId\" AS pu FROM package_users m WHERE " +
           OfName(q, "m", plx::kKindMachine, plx::kKindUser, hq.machine) +
           ") AS s CROSS JOIN LATERAL (SELECT * FROM history h WHERE h.\"PackageUserId\"=s.pu";
    for (const std::string& c : conds) from += " AND " + c;
    from += order + " LIMIT " + q.Param(int64_t(page.offset) + page.limit + 1) + ") AS h";
    conds.clear();
  }
  q.sql = HistoryColumns() + " FROM " + from;
  for (size_t i = 0; i < conds.size(); ++i) q.sql += (i ? " AND " : " WHERE ") + conds[i];
  q.sql += order + PageSql(q, page);
  return q;
}

// A text search alone, for a text found often, walks the newest entries first and checks
// each one's text: a common text ("failed") fills a page from there at once, where taking
// its every match from the text index and sorting them all by date would cost as many as
// there are. A text found fewer times than the walk is long goes through the text index
// straight away. The walk stops after `walk` entries; a page it cannot fill by then is no
// answer, and the search goes through the text index too.
bool WalksForText(const HistoryQuery& hq) {
  return !hq.text.empty() && hq.machine.empty() && hq.user.empty() && hq.packageId == 0;
}

// How often the text is found, counted up to `walk`.
Query TextMatches(const HistoryQuery& hq, uint32_t walk) {
  Query q;
  q.sql = "SELECT COUNT(*) FROM (SELECT 1 FROM history_texts WHERE \"Text\" ILIKE " +
          q.Param(ContainsPattern(hq.text)) + " LIMIT " + q.Param(walk) + ") AS found";
  return q;
}

// Where the walk ends: the entry `walk` places down (date, time, row id).
Query WalkEnd(const HistoryQuery& hq, uint32_t walk) {
  Query q;
  q.sql = "SELECT h.\"Date\", h.\"Time\", h.rowid FROM history h WHERE " + DateRange(q, hq) +
          " ORDER BY h.\"Date\" DESC, h.\"Time\" DESC, h.rowid DESC LIMIT 1 OFFSET " + q.Param(walk);
  return q;
}

// end.date empty: the range holds fewer entries than a walk, which then sees them all.
Query HistoryTextWalk(const HistoryQuery& hq, const WalkEndEntry& end, const Page& page) {
  Query q;
  q.sql = HistoryColumns() + " FROM history h WHERE ";
  if (end.date.empty()) {
    q.sql += DateRange(q, hq);
  } else {
    // The end as the lower bound of the index range itself, so that the walk stops there.
    std::string d = q.Param(end.date), t = q.Param(end.time), r = q.Param(end.rowId);
    q.sql += "(h.\"Date\", h.\"Time\", h.rowid) >= (" + d + ", " + t + ", " + r + ") AND h.\"Date\" <= " +
             q.Param(hq.to.empty() ? "99999999" : hq.to);
  }
  q.sql += " AND EXISTS (SELECT 1 FROM history_texts t WHERE t.rowid=h.\"TextId\" AND t.\"Text\" ILIKE " +
           q.Param(ContainsPattern(hq.text)) + ") ORDER BY h.\"Date\" DESC, h.\"Time\" DESC, h.rowid DESC" +
           PageSql(q, page);
  return q;
}

Query TotalsQuery() {
  return Query{"SELECT \"PackageStatus\", SUM(\"Rows\") FROM " + AllCounts() + " AS a GROUP BY \"PackageStatus\"",
               {}, 0};
}

bool Digits(const std::string& s, size_t n) {
  if (s.size() != n) return false;
  for (char ch : s)
    if (ch < '0' || ch > '9') return false;
  return true;
}

// Adds a row whose id the database gives: the next id, under the id locks the transaction
// took first. idColumn, when given, holds the same id as the row id.
bool AddWithNextId(PgConn& c, const char* table, const char* idColumn,
                   const std::vector<std::pair<const char*, std::string>>& values, int64_t& id) {
  Query next{std::string("SELECT COALESCE(MAX(rowid),0)+1 FROM ") + table, {}, 0};
  id = 0;
  if (!Run(c, next, [&](const PgResult& r, int i) { id = r.Int(i, 0); }) || id <= 0 || id > int64_t(UINT32_MAX))
    return false;
  Query add;
  std::string columns = "rowid", params = add.Param(id);
  if (idColumn) {
    columns += std::string(", \"") + idColumn + "\"";
    params += ", " + add.Param(id);
  }
  for (const auto& [column, value] : values) {
    columns += std::string(", \"") + column + "\"";
    params += ", " + add.Param(value);
  }
  add.sql = std::string("INSERT INTO ") + table + " (" + columns + ") VALUES (" + params + ")";
  return Run(c, add, [](const PgResult&, int) {});
}

// The re-offer inside its transaction: the row locked and set back to pending, then the
// history text and the entry that names it.
int32_t ReofferIn(PgConn& c, uint32_t recordId, const std::string& date, const std::string& time) {
  Query row;
  row.sql = "SELECT \"ServerId\", \"PackageId\", \"PackageUserId\", " + ServerNameOf("u.\"ServerId\"") +
            " FROM package_users u WHERE rowid=" + row.Param(recordId) + " AND \"Scheduled\"=0 FOR UPDATE";
  bool found = false;
  std::string serverId, packageId, packageUserId, serverName;
  if (!Run(c, row, [&](const PgResult& r, int i) {
        found = true;
        serverId = r.Text(i, 0);
        packageId = r.Text(i, 1);
        packageUserId = r.Text(i, 2);
        serverName = r.Text(i, 3);
      }))
    return plx::kDbWriteFailure;
  if (!found) return plx::kDbNotFound;
  Query pending;
  pending.sql = "UPDATE package_users SET \"PackageStatus\"=" + N(plx::kStatusPending) +
                " WHERE rowid=" + pending.Param(recordId);
  int64_t textId = 0, entryId = 0;
  if (!Run(c, pending, [](const PgResult&, int) {}) ||
      !AddWithNextId(c, "history_texts", "TextId",
                     {{"ServerId", serverId}, {"Text", kReofferText}}, textId) ||
      !AddWithNextId(c, "history", nullptr,
                     {{"ServerId", serverId}, {"TextId", std::to_string(textId)}, {"PackageId", packageId},
                      {"PackageUserId", packageUserId}, {"Date", date}, {"Time", time}, {"UserName", kReofferUser},
                      {"ServerName", serverName}},
                     entryId))
    return plx::kDbWriteFailure;
  return plx::kDbOk;
}

// True when the schema has a relation (table, index) of that name.
bool HasRelation(PgConn& c, const char* name, bool& ok) {
  Query q;
  q.sql = "SELECT to_regclass(" + q.Param(name) + ") IS NOT NULL";
  bool has = false;
  ok = ok && Run(c, q, [&](const PgResult& r, int i) { has = r.Text(i, 0) == "t"; });
  return has;
}

bool HasCountsTrigger(PgConn& c, const char* name, bool& ok) {
  Query q;
  q.sql = "SELECT 1 FROM pg_trigger WHERE tgrelid='package_users'::regclass AND tgname=" + q.Param(name);
  bool has = false;
  ok = ok && Run(c, q, [&](const PgResult&, int) { has = true; });
  return has;
}

// Folds the counts' changes in, unless another reader is doing it. False on a failure.
bool FoldCounts(PgConn& c) {
  Query lock;
  lock.sql = "SELECT pg_try_advisory_xact_lock(" + lock.Param(kFoldLock) + ")";
  bool mine = false;
  if (!c.Run("BEGIN")) return false;
  bool ok = Run(c, lock, [&](const PgResult& r, int i) { mine = r.Text(i, 0) == "t"; }) &&
            (!mine || c.Run(kFoldChanges)) && c.Run("COMMIT");
  if (!ok) c.RawRun("ROLLBACK");
  return ok;
}

// Runs fn with a pooled connection inside a transaction that only reads, one snapshot for
// all its statements.
template <class Fn> bool ReadSnapshot(PgPool& pool, Fn fn) {
  PgLease c(pool);
  if (!c) return false;
  if (!c->Run("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")) return false;
  bool ok = fn(c.conn());
  if (!ok || !c->Run("COMMIT")) {
    c->RawRun("ROLLBACK");
    return false;
  }
  return true;
}


}  // namespace

bool PgConsole::CreateSchema(PgConn& c, std::string& error) {
  bool ok = c.Run("CREATE EXTENSION IF NOT EXISTS pg_trgm");
  for (const SchemaObject& ix : ConsoleIndexes())
    if (!HasRelation(c, ix.name, ok) && ok) ok = c.Exec(ix.sql).Ok();
  bool hadCounts = HasRelation(c, "console_counts", ok);
  if (ok && !hadCounts) ok = c.Run(kCountsTable);
  if (ok && !HasRelation(c, "console_count_changes", ok) && ok) ok = c.Run(kChangesTable);
  // Always: a database made by an older service gets today's way of counting.
  ok = ok && c.Exec(CountsFunction()).Ok();
  for (const SchemaObject& t : kCountsTriggers)
    if (!HasCountsTrigger(c, t.name, ok) && ok) ok = c.Exec(t.sql).Ok();
  // After the triggers: creating them locked out every writer of status rows, so that the
  // counts start from all rows written before, and the triggers count every one after.
  if (ok && !hadCounts) ok = c.Run(kCountsFill);
  if (!ok) error = "cannot create the console's schema: " + c.LastError();
  return ok;
}

bool PgConsole::Overview(const Page& page, Paged<PackageCounts>& out) {
  out = {};
  PgLease c(pool_);
  if (!c || !FoldCounts(c.conn())) return false;
  bool ok = Run(c.conn(), OverviewQuery(page), [&](const PgResult& r, int i) {
    PackageCounts p;
    p.packageId = U32(r, i, 0);
    p.serverId = U32(r, i, 1);
    p.name = r.Text(i, 2);
    p.serverName = r.Text(i, 3);
    p.pending = uint64_t(r.Int(i, 4));
    p.installed = uint64_t(r.Int(i, 5));
    p.refused = uint64_t(r.Int(i, 6));
    p.refusedPermanently = uint64_t(r.Int(i, 7));
    p.failed = uint64_t(r.Int(i, 8));
    out.rows.push_back(std::move(p));
  });
  EndPage(out, page);
  return ok;
}

bool PgConsole::Package(uint32_t packageId, bool& found, PackageCounts& counts, std::vector<TargetView>& targets) {
  found = false;
  counts = {};
  targets.clear();
  // One snapshot, so that the counts and the targets are of the same moment.
  return ReadSnapshot(pool_, [&](PgConn& c) {
    bool ok = Run(c, PackageQuery(packageId), [&](const PgResult& r, int i) {
      found = true;
      counts.packageId = U32(r, i, 0);
      counts.serverId = U32(r, i, 1);
      counts.name = r.Text(i, 2);
      counts.serverName = r.Text(i, 3);
    });
    if (!ok || !found) return ok;
    return Run(c, CountsQuery(packageId),
               [&](const PgResult& r, int i) { AddCount(counts, r.Int(i, 0), uint64_t(r.Int(i, 1))); }) &&
           Run(c, TargetsQuery(packageId), [&](const PgResult& r, int i) {
             targets.push_back(TargetView{U32(r, i, 0), U32(r, i, 1), r.Text(i, 2)});
           });
  });
}

bool PgConsole::PackageStatus(uint32_t packageId, const StatusFilter& filter, const Page& page,
                              Paged<StatusRowView>& out) {
  out = {};
  PgLease c(pool_);
  return c && StatusPage(c.conn(), PackageStatusQuery(packageId, filter, page), page, out);
}

bool PgConsole::MachineStatus(const std::string& machine, const Page& page, Paged<StatusRowView>& out) {
  out = {};
  PgLease c(pool_);
  return c && StatusPage(c.conn(), NameStatusQuery(plx::kKindMachine, plx::kKindUser, machine, page), page, out);
}

bool PgConsole::UserStatus(const std::string& user, const Page& page, Paged<StatusRowView>& out) {
  out = {};
  PgLease c(pool_);
  return c && StatusPage(c.conn(), NameStatusQuery(plx::kKindUser, plx::kKindMachine, user, page), page, out);
}

bool PgConsole::History(const HistoryQuery& query, const Page& page, Paged<HistoryView>& out) {
  out = {};
  // A text the index cannot search finds nothing; the console says why.
  if (!query.text.empty() && TextLength(query.text) < kMinSearchChars) return true;
  auto read = [&](const PgResult& r, int i) {
    HistoryView v;
    v.rowId = U32(r, i, 0);
    v.packageId = U32(r, i, 1);
    v.packageName = r.Text(i, 2);
    v.packageUserId = U32(r, i, 3);
    v.date = r.Text(i, 4);
    v.time = r.Text(i, 5);
    v.userName = r.Text(i, 6);
    v.serverName = r.Text(i, 7);
    v.machine = r.Text(i, 8);
    v.text = r.Text(i, 9);
    out.rows.push_back(std::move(v));
  };
  // The walk's statements see one snapshot, so that its end is where the listing finds it.
  return ReadSnapshot(pool_, [&](PgConn& c) {
    uint32_t walk = textWalk_.load(), matches = 0;
    if (WalksForText(query) &&
        !Run(c, TextMatches(query, walk), [&](const PgResult& r, int i) { matches = U32(r, i, 0); }))
      return false;
    if (WalksForText(query) && matches >= walk) {
      WalkEndEntry end;
      if (!Run(c, WalkEnd(query, walk),
               [&](const PgResult& r, int i) { end = WalkEndEntry{r.Text(i, 0), r.Text(i, 1), U32(r, i, 2)}; }) ||
          !Run(c, HistoryTextWalk(query, end, page), read))
        return false;
      if (end.date.empty() || out.rows.size() > page.limit) {
        EndPage(out, page);
        return true;
      }
      out.rows.clear();
    }
    bool ok = Run(c, HistoryQueryOf(query, page), read);
    EndPage(out, page);
    return ok;
  });
}

bool PgConsole::Totals(StatusTotals& out) {
  out = {};
  // The service's metrics ask for these often: the changes never pile up for long.
  PgLease c(pool_);
  if (!c || !FoldCounts(c.conn())) return false;
  return Run(c.conn(), TotalsQuery(), [&](const PgResult& r, int i) {
    int64_t status = r.Int(i, 0);
    if (status >= 0 && status <= plx::kStatusLast) out.byStatus[status] = uint64_t(r.Int(i, 1));
  });
}

int32_t PgConsole::Reoffer(uint32_t recordId, const std::string& date, const std::string& time) {
  if (!Digits(date, 8) || !Digits(time, 6)) return plx::kDbWriteFailure;
  PgLease c(pool_);
  // The id locks first, as every writer takes them, then the row's.
  if (!c || !c->Run(("BEGIN; " + PgIdLocksSql()).c_str())) return plx::kDbWriteFailure;
  int32_t s = ReofferIn(c.conn(), recordId, date, time);
  if (s == plx::kDbOk && c->Run("COMMIT")) return s;
  c->RawRun("ROLLBACK");
  return s == plx::kDbOk ? plx::kDbWriteFailure : s;
}

bool PgConsole::Plans(std::vector<std::string>& out) {
  out.clear();
  std::vector<std::pair<std::string, Query>> all = ConsoleQueryShapes(
      ConsoleSql<Query>{OverviewQuery, PackageQuery, CountsQuery, TargetsQuery, PackageStatusQuery, NameStatusQuery,
                        TotalsQuery, HistoryQueryOf, WalksForText, TextMatches, WalkEnd, HistoryTextWalk},
      kTextWalk);
  // With table scans priced out, a plan still scans a table only where no index serves:
  // on a small test database the planner would otherwise rightly scan everything.
  return ReadSnapshot(pool_, [&](PgConn& c) {
    if (!c.Run("SET LOCAL enable_seqscan = off")) return false;
    for (auto& [name, q] : all) {
      std::string plan = name + ":";
      q.sql = "EXPLAIN " + q.sql;
      if (!Run(c, q, [&](const PgResult& r, int i) { plan += "\n" + r.Text(i, 0); })) return false;
      out.push_back(plan);
    }
    return true;
  });
}

}  // namespace dblink
