// The console's queries on the SQLite store. The overview reads a table of counts kept by
// triggers, so it costs what the number of packages costs, not the number of status rows;
// every other listing is an index search cut to one page with LIMIT/OFFSET, in an order
// that ends with a row id so that pages never overlap or skip.
//
// A package is named by its PackageId alone (the console's links carry no server): where
// several servers hold the same PackageId, the console shows the one of the lowest
// ServerId, with the status rows and counts of all of them.
#include <future>
#include <unordered_map>

#include "console_plans.h"
#include "fields.h"
#include "sqlite_conn.h"

namespace dblink {

using plx::TableDef;

namespace {

constexpr const char* kReofferUser = "console";
constexpr const char* kReofferText = "Offered again from the console";

// Schema objects the console needs besides the tables. Created at every open when absent;
// a database made before them gets them (and its counts) in the same transaction.
const char* const kConsoleIndexes[] = {
    // A package's status rows by status and name (package page, its filters).
    "CREATE INDEX IF NOT EXISTS package_users_by_status ON package_users "
    "(PackageId, Scheduled, PackageStatus, TargetName)",
    // A machine's or user's rows, by the name they target or the one they were written for.
    "CREATE INDEX IF NOT EXISTS package_users_by_target ON package_users (TargetName, Scheduled, TargetKind)",
    "CREATE INDEX IF NOT EXISTS package_users_by_counterpart ON package_users "
    "(Counterpart COLLATE NOCASE, Scheduled, TargetKind)",
    // The status row a history entry belongs to.
    "CREATE INDEX IF NOT EXISTS package_users_by_user_id ON package_users (PackageUserId, Scheduled)",
    "CREATE INDEX IF NOT EXISTS history_by_row ON history (PackageUserId, Date, Time)",
    "CREATE INDEX IF NOT EXISTS history_by_user ON history (UserName COLLATE NOCASE, Date, Time)",
    "CREATE INDEX IF NOT EXISTS history_by_package ON history (PackageId, Date, Time)",
    "CREATE INDEX IF NOT EXISTS history_by_date ON history (Date, Time)",
    "CREATE INDEX IF NOT EXISTS history_by_text ON history (TextId)",
};

// Counts of status rows per package and status. A REPLACE deletes the row it replaces;
// the writer runs with recursive triggers so that the delete trigger sees it.
const char* const kCountsTable =
    "CREATE TABLE console_counts (PackageId INTEGER NOT NULL, PackageStatus INTEGER NOT NULL, "
    "Rows INTEGER NOT NULL, PRIMARY KEY (PackageId, PackageStatus)) WITHOUT ROWID";
const char* const kCountsFill =
    "INSERT INTO console_counts (PackageId, PackageStatus, Rows) SELECT PackageId, PackageStatus, COUNT(*) "
    "FROM package_users WHERE Scheduled=0 GROUP BY PackageId, PackageStatus";
const char* const kCountsTriggers[] = {
    "CREATE TRIGGER IF NOT EXISTS console_counts_insert AFTER INSERT ON package_users WHEN NEW.Scheduled=0 "
    "BEGIN INSERT INTO console_counts (PackageId, PackageStatus, Rows) VALUES (NEW.PackageId, NEW.PackageStatus, 1) "
    "ON CONFLICT (PackageId, PackageStatus) DO UPDATE SET Rows=Rows+1; END",
    "CREATE TRIGGER IF NOT EXISTS console_counts_delete AFTER DELETE ON package_users WHEN OLD.Scheduled=0 "
    "BEGIN UPDATE console_counts SET Rows=Rows-1 WHERE PackageId=OLD.PackageId AND PackageStatus=OLD.PackageStatus; "
    "END",
    "CREATE TRIGGER IF NOT EXISTS console_counts_update AFTER UPDATE OF PackageId, Scheduled, PackageStatus "
    "ON package_users WHEN OLD.Scheduled=0 OR NEW.Scheduled=0 BEGIN "
    "UPDATE console_counts SET Rows=Rows-1 WHERE OLD.Scheduled=0 AND PackageId=OLD.PackageId "
    "AND PackageStatus=OLD.PackageStatus; "
    "INSERT INTO console_counts (PackageId, PackageStatus, Rows) SELECT NEW.PackageId, NEW.PackageStatus, 1 "
    "WHERE NEW.Scheduled=0 ON CONFLICT (PackageId, PackageStatus) DO UPDATE SET Rows=Rows+1; END",
};

// History texts searchable by any substring of three characters or more, any case.
const char* const kTextSearch =
    "CREATE VIRTUAL TABLE history_text_search USING fts5(Text, content='history_texts', "
    "content_rowid='TextId', tokenize='trigram')";
const char* const kTextSearchFill = "INSERT INTO history_text_search (history_text_search) VALUES ('rebuild')";
const char* const kTextSearchTriggers[] = {
    "CREATE TRIGGER IF NOT EXISTS history_text_search_insert AFTER INSERT ON history_texts "
    "BEGIN INSERT INTO history_text_search (rowid, Text) VALUES (NEW.TextId, NEW.Text); END",
    "CREATE TRIGGER IF NOT EXISTS history_text_search_delete AFTER DELETE ON history_texts "
    "BEGIN INSERT INTO history_text_search (history_text_search, rowid, Text) VALUES ('delete', OLD.TextId, OLD.Text); "
    "END",
    "CREATE TRIGGER IF NOT EXISTS history_text_search_update AFTER UPDATE ON history_texts BEGIN "
    "INSERT INTO history_text_search (history_text_search, rowid, Text) VALUES ('delete', OLD.TextId, OLD.Text); "
    "INSERT INTO history_text_search (rowid, Text) VALUES (NEW.TextId, NEW.Text); END",
};

// True when the schema already has an object of that name; false (and ok false) on failure.
bool HasObject(SqliteConn& w, const char* name, bool& ok) {
  sqlite3_stmt* s = w.Prepare("SELECT 1 FROM sqlite_master WHERE name=?");
  StmtUse u(s);
  if (!s) return ok = false;
  sqlite3_bind_text(s, 1, name, -1, SQLITE_STATIC);
  int rc = w.Step(s);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) ok = false;
  return rc == SQLITE_ROW;
}

// A named value a statement may use (":package"); statements that lack it ignore it.
struct Arg {
  const char* name;
  bool isText;
  int64_t number;
  std::string text;
};
Arg Num(const char* name, int64_t v) { return Arg{name, false, v, {}}; }
Arg Text(const char* name, std::string v) { return Arg{name, true, 0, std::move(v)}; }

// One console statement: its SQL and its values.
struct Query {
  std::string sql;
  std::vector<Arg> args;
};

void Bind(sqlite3_stmt* s, const std::vector<Arg>& args) {
  for (const Arg& a : args) {
    int i = sqlite3_bind_parameter_index(s, a.name);
    if (i == 0) continue;
    if (a.isText) sqlite3_bind_text(s, i, a.text.data(), int(a.text.size()), SQLITE_TRANSIENT);
    else sqlite3_bind_int64(s, i, a.number);
  }
}

// Runs q, handing each row to onRow. False on a database failure.
template <class OnRow> bool Run(SqliteConn& c, const Query& q, OnRow onRow) {
  sqlite3_stmt* s = c.Prepare(q.sql);
  StmtUse u(s);
  if (!s) return false;
  Bind(s, q.args);
  int rc;
  while ((rc = c.Step(s)) == SQLITE_ROW) onRow(s);
  if (rc == SQLITE_DONE) return true;
  fprintf(stderr, "dblinkd: console query failed: %s\n", sqlite3_errstr(rc));
  return false;
}

// LIMIT one more than the page: that row only says whether another page follows.
void AddPage(Query& q, const Page& page) {
  q.sql += " LIMIT :limit OFFSET :offset";
  q.args.push_back(Num(":limit", int64_t(page.limit) + 1));
  q.args.push_back(Num(":offset", page.offset));
}

std::string N(uint32_t v) { return std::to_string(v); }

// Both failed statuses, as an SQL list.
std::string FailedStatuses() { return "(" + N(plx::kStatusFailed) + "," + N(plx::kStatusFailedRetry) + ")"; }

uint32_t U32(sqlite3_stmt* s, int i) { return uint32_t(sqlite3_column_int64(s, i)); }

// The name of a package (of the row's own server when it has one there).
std::string PackageNameOf(const char* row) {
  std::string r(row);
  return "COALESCE((SELECT Name FROM packages WHERE ServerId=" + r + ".ServerId AND PackageId=" + r +
         ".PackageId), (SELECT Name FROM packages WHERE PackageId=" + r + ".PackageId ORDER BY ServerId LIMIT 1),'')";
}

// Status rows listed from a subquery k of their row ids, in k's order.
std::string StatusRowsFrom(const std::string& keys, const std::string& order) {
  return "SELECT r.RecordId, r.PackageId, " + PackageNameOf("r") +
         ", r.TargetKind, r.TargetName, r.Counterpart, r.PackageStatus, r.FailureCount, r.RefusalCount, "
         "COALESCE((SELECT (SELECT Text FROM history_texts WHERE TextId=h.TextId) FROM history h "
         "WHERE h.PackageUserId=r.PackageUserId ORDER BY h.Date DESC, h.Time DESC, h.rowid DESC LIMIT 1),'') "
         "FROM (" + keys + ") AS k JOIN package_users r ON r.rowid=k.rid ORDER BY " + order;
}

void ReadStatusRow(sqlite3_stmt* s, StatusRowView& v) {
  v.recordId = U32(s, 0);
  v.packageId = U32(s, 1);
  v.packageName = Column(s, 2);
  v.kind = U32(s, 3);
  v.targetName = Column(s, 4);
  v.counterpart = Column(s, 5);
  v.status = uint16_t(sqlite3_column_int(s, 6));
  v.failures = U32(s, 7);
  v.refusals = U32(s, 8);
  v.lastText = Column(s, 9);
}

// One page of status rows from a query that selects them as ReadStatusRow reads them.
bool StatusPage(SqliteConn& c, const Query& q, const Page& page, Paged<StatusRowView>& out) {
  bool ok = Run(c, q, [&](sqlite3_stmt* s) {
    out.rows.emplace_back();
    ReadStatusRow(s, out.rows.back());
  });
  EndPage(out, page);
  return ok;
}

// ---------------------------------------------------------------------------------------
// The statements.

Query OverviewQuery(const Page& page) {
  Query q;
  q.sql =
      "SELECT p.PackageId, p.ServerId, p.Name, "
      "COALESCE((SELECT ServerName FROM servers WHERE ServerId=p.ServerId ORDER BY rowid LIMIT 1),''), "
      "COALESCE(c.pending,0), COALESCE(c.installed,0), COALESCE(c.refused,0), COALESCE(c.permanent,0), "
      "COALESCE(c.failed,0) FROM packages p LEFT JOIN (SELECT PackageId, "
      "SUM(CASE WHEN PackageStatus=" + N(plx::kStatusPending) + " THEN Rows END) AS pending, "
      "SUM(CASE WHEN PackageStatus=" + N(plx::kStatusCompleted) + " THEN Rows END) AS installed, "
      "SUM(CASE WHEN PackageStatus=" + N(plx::kStatusRefused) + " THEN Rows END) AS refused, "
      "SUM(CASE WHEN PackageStatus=" + N(plx::kStatusRefusedPermanently) + " THEN Rows END) AS permanent, "
      "SUM(CASE WHEN PackageStatus IN " + FailedStatuses() + " THEN Rows END) AS failed "
      "FROM console_counts GROUP BY PackageId) AS c "
      "ON c.PackageId=p.PackageId "
      "WHERE p.rowid=(SELECT rowid FROM packages WHERE PackageId=p.PackageId ORDER BY ServerId, rowid LIMIT 1) "
      "ORDER BY COALESCE(c.failed,0) DESC, p.Name COLLATE NOCASE, p.PackageId";
  AddPage(q, page);
  return q;
}

Query PackageQuery(uint32_t packageId) {
  return Query{"SELECT p.PackageId, p.ServerId, p.Name, "
               "COALESCE((SELECT ServerName FROM servers WHERE ServerId=p.ServerId ORDER BY rowid LIMIT 1),'') "
               "FROM packages p WHERE p.PackageId=:package ORDER BY p.ServerId, p.rowid LIMIT 1",
               {Num(":package", packageId)}};
}

Query CountsQuery(uint32_t packageId) {
  return Query{"SELECT PackageStatus, Rows FROM console_counts WHERE PackageId=:package", {Num(":package", packageId)}};
}

Query TargetsQuery(uint32_t packageId) {
  return Query{"SELECT RecordId, TargetKind, TargetName FROM package_users WHERE PackageId=:package AND Scheduled=1 "
               "ORDER BY TargetKind, TargetName, RecordId",
               {Num(":package", packageId)}};
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
  q.args.push_back(Num(":package", packageId));
  std::string keys =
      "SELECT rowid AS rid, PackageStatus IN " + FailedStatuses() + " AS bad, TargetName AS tn FROM package_users "
      "WHERE PackageId=:package AND Scheduled=0";
  if (f.status == plx::kStatusFailed) {
    keys += " AND PackageStatus IN " + FailedStatuses();
  } else if (f.status >= 0) {
    keys += " AND PackageStatus=:status";
    q.args.push_back(Num(":status", f.status));
  }
  if (f.kind != 0) {
    keys += " AND TargetKind=:kind";
    q.args.push_back(Num(":kind", f.kind));
  }
  if (!f.name.empty()) {
    // LIKE is case-insensitive as the column; with a literal prefix it is an index range.
    keys += " AND TargetName LIKE :prefix ESCAPE '\\'";
    q.args.push_back(Text(":prefix", PrefixPattern(f.name)));
  }
  keys += " ORDER BY bad DESC, tn COLLATE NOCASE, rid";
  AddPage(q, page);
  keys += " LIMIT :limit OFFSET :offset";
  q.sql = StatusRowsFrom(keys, "k.bad DESC, k.tn COLLATE NOCASE, k.rid");
  return q;
}

// The status rows of a machine (kind 8 named after it, kind 6 written on it) or of a user
// (kind 6 named after them, kind 8 written for them), by package name.
std::string OfName(uint32_t ownKind, uint32_t otherKind) {
  return "Scheduled=0 AND ((TargetKind=" + N(ownKind) + " AND TargetName=:name) OR (TargetKind=" + N(otherKind) +
         " AND Counterpart=:name COLLATE NOCASE))";
}

Query NameStatusQuery(uint32_t ownKind, uint32_t otherKind, const std::string& name, const Page& page) {
  Query q;
  q.args.push_back(Text(":name", name));
  std::string keys = "SELECT m.rowid AS rid, " + PackageNameOf("m") + " AS pn FROM package_users m WHERE " +
                     OfName(ownKind, otherKind) + " ORDER BY pn COLLATE NOCASE, rid";
  AddPage(q, page);
  keys += " LIMIT :limit OFFSET :offset";
  q.sql = StatusRowsFrom(keys, "k.pn COLLATE NOCASE, k.rid");
  return q;
}

// The text as one FTS phrase: quotes doubled, so that nothing in it is query syntax.
std::string Phrase(const std::string& text) {
  std::string p = "\"";
  for (char ch : text) p += ch == '"' ? std::string("\"\"") : std::string(1, ch);
  return p + "\"";
}

// A history listing's columns, from its entries h.
std::string HistoryColumns() {
  return "SELECT h.rowid, h.PackageId, " + PackageNameOf("h") +
         ", h.PackageUserId, h.Date, h.Time, h.UserName, h.ServerName, "
         "COALESCE((SELECT CASE WHEN TargetKind=" + N(plx::kKindMachine) + " THEN TargetName ELSE Counterpart END "
         "FROM package_users "
         "WHERE PackageUserId=h.PackageUserId ORDER BY Scheduled, rowid LIMIT 1),''), "
         "COALESCE((SELECT Text FROM history_texts WHERE TextId=h.TextId),'')";
}

// A history search. The most selective field given leads (a machine's rows, a user, a
// package, a text, then dates); the others filter, with "+" keeping the planner on the
// leading field's index.
Query HistoryQueryOf(const HistoryQuery& hq, const Page& page) {
  Query q;
  std::vector<std::string> conds;
  bool led = false;
  auto lead = [&](const std::string& indexed) {
    std::string c = led ? "+" + indexed : indexed;
    led = true;
    return c;
  };
  if (!hq.machine.empty()) {
    conds.push_back(lead("h.PackageUserId") + " IN (SELECT PackageUserId FROM package_users WHERE " +
                    OfName(plx::kKindMachine, plx::kKindUser) + ")");
    q.args.push_back(Text(":name", hq.machine));
  }
  if (!hq.user.empty()) {
    conds.push_back(lead("h.UserName") + "=:user COLLATE NOCASE");
    q.args.push_back(Text(":user", hq.user));
  }
  if (hq.packageId != 0) {
    conds.push_back(lead("h.PackageId") + "=:package");
    q.args.push_back(Num(":package", hq.packageId));
  }
  if (!hq.text.empty()) {
    conds.push_back(lead("h.TextId") +
                    " IN (SELECT rowid FROM history_text_search WHERE history_text_search MATCH :text)");
    q.args.push_back(Text(":text", Phrase(hq.text)));
  }
  if (!hq.from.empty() || !hq.to.empty() || !led) {
    // Without any other field the date range leads, open ends included.
    conds.push_back("h.Date BETWEEN :from AND :to");
    q.args.push_back(Text(":from", hq.from));
    q.args.push_back(Text(":to", hq.to.empty() ? "99999999" : hq.to));
  }
  q.sql = HistoryColumns() + " FROM history h WHERE ";
  for (size_t i = 0; i < conds.size(); ++i) q.sql += (i ? " AND " : "") + conds[i];
  q.sql += " ORDER BY h.Date DESC, h.Time DESC, h.rowid DESC";
  AddPage(q, page);
  return q;
}

// A text search alone, for a text found often, walks the newest entries first and checks
// each one's text: a common text ("failed") fills a page from there at once, where taking
// its every match from the text index and sorting them all by date would cost as many as
// there are. A text found fewer times than the walk is long goes through the text index
// straight away. The walk stops after `walk` entries; a page it cannot fill by then is no
// answer, and the search goes through the text index too. (The walk's check, LIKE, folds
// ASCII letters only, as the console's other name comparisons do.)
bool WalksForText(const HistoryQuery& hq) {
  return !hq.text.empty() && hq.machine.empty() && hq.user.empty() && hq.packageId == 0;
}

std::vector<Arg> DateRange(const HistoryQuery& hq) {
  return {Text(":from", hq.from), Text(":to", hq.to.empty() ? "99999999" : hq.to)};
}

// How often the text is found, counted up to `walk`.
Query TextMatches(const HistoryQuery& hq, uint32_t walk) {
  return Query{"SELECT COUNT(*) FROM (SELECT rowid FROM history_text_search WHERE history_text_search MATCH :text "
               "LIMIT :walk)",
               {Text(":text", Phrase(hq.text)), Num(":walk", walk)}};
}

// Where the walk ends: the entry `walk` places down (date, time, row id).
Query WalkEnd(const HistoryQuery& hq, uint32_t walk) {
  return Query{"SELECT Date, Time, rowid FROM history WHERE Date BETWEEN :from AND :to "
               "ORDER BY Date DESC, Time DESC, rowid DESC LIMIT 1 OFFSET :walk",
               [&] {
                 std::vector<Arg> a = DateRange(hq);
                 a.push_back(Num(":walk", walk));
                 return a;
               }()};
}

// end.date empty: the range holds fewer entries than a walk, which then sees them all.
Query HistoryTextWalk(const HistoryQuery& hq, const WalkEndEntry& end, const Page& page) {
  Query q;
  q.args = DateRange(hq);
  q.args.push_back(Text(":pattern", "%" + PrefixPattern(hq.text)));
  // The end as the lower bound of the index range itself, so that the walk stops there.
  if (end.date.empty()) {
    q.sql = HistoryColumns() + " FROM history h WHERE h.Date BETWEEN :from AND :to";
  } else {
    q.sql = HistoryColumns() + " FROM history h WHERE (h.Date, h.Time, h.rowid) >= (:endDate, :endTime, :endRow) "
                               "AND h.Date <= :to";
    q.args.push_back(Text(":endDate", end.date));
    q.args.push_back(Text(":endTime", end.time));
    q.args.push_back(Num(":endRow", end.rowId));
  }
  q.sql += " AND EXISTS (SELECT 1 FROM history_texts t WHERE t.TextId=h.TextId AND t.Text LIKE :pattern ESCAPE '\\') "
           "ORDER BY h.Date DESC, h.Time DESC, h.rowid DESC";
  AddPage(q, page);
  return q;
}

Query TotalsQuery() {
  return Query{"SELECT PackageStatus, SUM(Rows) FROM console_counts GROUP BY PackageStatus", {}};
}

bool Digits(const std::string& s, size_t n) {
  if (s.size() != n) return false;
  for (char ch : s)
    if (ch < '0' || ch > '9') return false;
  return true;
}

// The re-offer on the writer, inside its savepoint: the row back to pending, then the
// history text and the entry that names it.
int32_t ReofferOn(SqliteConn& w, uint32_t recordId, const std::string& date, const std::string& time) {
  uint32_t serverId = 0, packageId = 0, packageUserId = 0;
  bool found = false;
  if (!Run(w, Query{"SELECT ServerId, PackageId, PackageUserId FROM package_users WHERE rowid=:row AND Scheduled=0",
                    {Num(":row", recordId)}},
           [&](sqlite3_stmt* s) {
             found = true;
             serverId = U32(s, 0);
             packageId = U32(s, 1);
             packageUserId = U32(s, 2);
           }))
    return plx::kDbWriteFailure;
  if (!found) return plx::kDbNotFound;
  if (!Run(w, Query{"UPDATE package_users SET PackageStatus=0 WHERE rowid=:row", {Num(":row", recordId)}},
           [](sqlite3_stmt*) {}))
    return plx::kDbWriteFailure;
  std::string serverName;
  if (!Run(w, Query{"SELECT ServerName FROM servers WHERE ServerId=:server ORDER BY rowid LIMIT 1",
                    {Num(":server", serverId)}},
           [&](sqlite3_stmt* s) { serverName = Column(s, 0); }))
    return plx::kDbWriteFailure;

  const TableDef& tt = *plx::FindTable(plx::kTableHistoryText);
  std::string text(tt.recordLength, '\0');
  uint8_t* t = reinterpret_cast<uint8_t*>(&text[0]);
  SetFieldNumber(*tt.Field("ServerId"), serverId, t);
  SetFieldText(*tt.Field("Text"), kReofferText, t);
  Row storedText;
  std::string error;
  if (!AddRow(w, tt, text, false, &storedText, error)) {
    fprintf(stderr, "dblinkd: re-offer text failed: %s\n", error.c_str());
    return plx::kDbWriteFailure;
  }
  uint32_t textId = FieldNumber(*tt.Field("TextId"), reinterpret_cast<const uint8_t*>(storedText.bytes.data()));

  const TableDef& ht = *plx::FindTable(plx::kTableHistory);
  std::string entry(ht.recordLength, '\0');
  uint8_t* e = reinterpret_cast<uint8_t*>(&entry[0]);
  SetFieldNumber(*ht.Field("ServerId"), serverId, e);
  SetFieldNumber(*ht.Field("TextId"), textId, e);
  SetFieldNumber(*ht.Field("PackageId"), packageId, e);
  SetFieldNumber(*ht.Field("PackageUserId"), packageUserId, e);
  bool filled = SetFieldText(*ht.Field("Date"), date, e) && SetFieldText(*ht.Field("Time"), time, e) &&
                SetFieldText(*ht.Field("UserName"), kReofferUser, e) &&
                SetFieldText(*ht.Field("ServerName"), serverName, e);
  if (!filled || !AddRow(w, ht, entry, false, nullptr, error)) {
    fprintf(stderr, "dblinkd: re-offer history entry failed: %s\n", error.c_str());
    return plx::kDbWriteFailure;
  }
  return plx::kDbOk;
}


}  // namespace

bool CreateConsoleSchema(SqliteConn& w) {
  bool ok = true;
  for (const char* sql : kConsoleIndexes) ok = ok && w.Exec(sql);
  bool hadCounts = HasObject(w, "console_counts", ok);
  if (ok && !hadCounts) ok = w.Exec(kCountsTable) && w.Exec(kCountsFill);
  for (const char* sql : kCountsTriggers) ok = ok && w.Exec(sql);
  bool hadSearch = HasObject(w, "history_text_search", ok);
  if (ok && !hadSearch) ok = w.Exec(kTextSearch) && w.Exec(kTextSearchFill);
  for (const char* sql : kTextSearchTriggers) ok = ok && w.Exec(sql);
  return ok;
}

bool SqliteStore::Overview(const Page& page, Paged<PackageCounts>& out) {
  out = {};
  Reader r(*this);
  if (!r) return false;
  bool ok = Run(r.conn(), OverviewQuery(page), [&](sqlite3_stmt* s) {
    PackageCounts c;
    c.packageId = U32(s, 0);
    c.serverId = U32(s, 1);
    c.name = Column(s, 2);
    c.serverName = Column(s, 3);
    c.pending = uint64_t(sqlite3_column_int64(s, 4));
    c.installed = uint64_t(sqlite3_column_int64(s, 5));
    c.refused = uint64_t(sqlite3_column_int64(s, 6));
    c.refusedPermanently = uint64_t(sqlite3_column_int64(s, 7));
    c.failed = uint64_t(sqlite3_column_int64(s, 8));
    out.rows.push_back(std::move(c));
  });
  EndPage(out, page);
  return ok;
}

bool SqliteStore::Package(uint32_t packageId, bool& found, PackageCounts& counts, std::vector<TargetView>& targets) {
  found = false;
  counts = {};
  targets.clear();
  Reader r(*this);
  if (!r) return false;
  // One read transaction, so that the counts and the targets are of the same moment.
  SqliteConn& c = r.conn();
  if (!c.Run("BEGIN")) return false;
  bool ok = Run(c, PackageQuery(packageId), [&](sqlite3_stmt* s) {
    found = true;
    counts.packageId = U32(s, 0);
    counts.serverId = U32(s, 1);
    counts.name = Column(s, 2);
    counts.serverName = Column(s, 3);
  });
  if (ok && found) {
    ok = Run(c, CountsQuery(packageId), [&](sqlite3_stmt* s) {
           AddCount(counts, sqlite3_column_int64(s, 0), uint64_t(sqlite3_column_int64(s, 1)));
         }) &&
         Run(c, TargetsQuery(packageId), [&](sqlite3_stmt* s) {
           targets.push_back(TargetView{U32(s, 0), U32(s, 1), Column(s, 2)});
         });
  }
  if (!c.Run("COMMIT")) c.RawExec("ROLLBACK");
  return ok;
}

bool SqliteStore::PackageStatus(uint32_t packageId, const StatusFilter& filter, const Page& page,
                                Paged<StatusRowView>& out) {
  out = {};
  Reader r(*this);
  return r && StatusPage(r.conn(), PackageStatusQuery(packageId, filter, page), page, out);
}

bool SqliteStore::MachineStatus(const std::string& machine, const Page& page, Paged<StatusRowView>& out) {
  out = {};
  Reader r(*this);
  return r && StatusPage(r.conn(), NameStatusQuery(plx::kKindMachine, plx::kKindUser, machine, page), page, out);
}

bool SqliteStore::UserStatus(const std::string& user, const Page& page, Paged<StatusRowView>& out) {
  out = {};
  Reader r(*this);
  return r && StatusPage(r.conn(), NameStatusQuery(plx::kKindUser, plx::kKindMachine, user, page), page, out);
}

bool SqliteStore::History(const HistoryQuery& query, const Page& page, Paged<HistoryView>& out) {
  out = {};
  // A text the index cannot search finds nothing; the console says why.
  if (!query.text.empty() && TextLength(query.text) < kMinSearchChars) return true;
  Reader r(*this);
  if (!r) return false;
  auto read = [&](sqlite3_stmt* s) {
    HistoryView v;
    v.rowId = U32(s, 0);
    v.packageId = U32(s, 1);
    v.packageName = Column(s, 2);
    v.packageUserId = U32(s, 3);
    v.date = Column(s, 4);
    v.time = Column(s, 5);
    v.userName = Column(s, 6);
    v.serverName = Column(s, 7);
    v.machine = Column(s, 8);
    v.text = Column(s, 9);
    out.rows.push_back(std::move(v));
  };
  uint32_t walk = textWalk_.load(), matches = 0;
  if (WalksForText(query) &&
      !Run(r.conn(), TextMatches(query, walk), [&](sqlite3_stmt* s) { matches = U32(s, 0); }))
    return false;
  if (WalksForText(query) && matches >= walk) {
    WalkEndEntry end;
    if (!Run(r.conn(), WalkEnd(query, walk), [&](sqlite3_stmt* s) {
          end = WalkEndEntry{Column(s, 0), Column(s, 1), U32(s, 2)};
        }) ||
        !Run(r.conn(), HistoryTextWalk(query, end, page), read))
      return false;
    if (end.date.empty() || out.rows.size() > page.limit) {
      EndPage(out, page);
      return true;
    }
    out.rows.clear();
  }
  bool ok = Run(r.conn(), HistoryQueryOf(query, page), read);
  EndPage(out, page);
  return ok;
}

bool SqliteStore::Totals(StatusTotals& out) {
  out = {};
  Reader r(*this);
  if (!r) return false;
  return Run(r.conn(), TotalsQuery(), [&](sqlite3_stmt* s) {
    int64_t status = sqlite3_column_int64(s, 0);
    if (status >= 0 && status <= plx::kStatusLast) out.byStatus[status] = uint64_t(sqlite3_column_int64(s, 1));
  });
}

int32_t SqliteStore::Reoffer(uint32_t recordId, const std::string& date, const std::string& time) {
  if (!Digits(date, 8) || !Digits(time, 6)) return plx::kDbWriteFailure;
  std::promise<int32_t> result;
  Submit(Job{[recordId, date, time](SqliteConn& w, Row&) { return ReofferOn(w, recordId, date, time); },
             [&result](int32_t s, const Row&) { result.set_value(s); }});
  return result.get_future().get();
}

bool SqliteStore::ConsolePlans(std::vector<std::string>& out) {
  out.clear();
  std::vector<std::pair<std::string, Query>> all = ConsoleQueryShapes(
      ConsoleSql<Query>{OverviewQuery, PackageQuery, CountsQuery, TargetsQuery, PackageStatusQuery, NameStatusQuery,
                        TotalsQuery, HistoryQueryOf, WalksForText, TextMatches, WalkEnd, HistoryTextWalk},
      kTextWalk);
  Reader r(*this);
  if (!r) return false;
  for (auto& [name, q] : all) {
    std::string plan = name + ":";
    q.sql = "EXPLAIN QUERY PLAN " + q.sql;
    std::unordered_map<int, int> depth;  // node id -> depth in the plan's tree
    if (!Run(r.conn(), q, [&](sqlite3_stmt* s) {
          int d = depth[sqlite3_column_int(s, 0)] = depth[sqlite3_column_int(s, 1)] + 1;
          plan += "\n" + std::string(size_t(d) * 2, ' ') + Column(s, 3);
        }))
      return false;
    out.push_back(plan);
  }
  return true;
}

}  // namespace dblink
