// The console's reads and its re-offer on a real store, seeded with a small site whose
// every expected answer is worked out by hand below.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <array>
#include <future>
#include <sstream>

#include "document.h"
#include "fields.h"
#include "sqlite_store.h"
#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;
using dblink::Page;
using dblink::Paged;

namespace {

// Packages: 10 Alpha, 20 beta, 30 Gamma, 40 Delta (no rows). Status rows (id: package,
// kind, target, counterpart, status), row 101 with PackageUserId 9101:
//   101: 10 8 WS01 bob 4    102: 10 8 WS02 carol 1   103: 10 6 Bob WS01 5
//   104: 10 8 WS03 dave 0   105: 10 6 carol WS02 2   106: 10 8 ws04 - 3
//   201: 20 8 WS01 bob 1    202: 20 8 WS02 carol 4   203: 20 6 bob WS02 1
//   301: 30 8 WS01 - 0
// Targeting rows: 1 (10, group PLX_EVERYONE), 2 (10, machine WS01), 3 (30, site SITE-A),
// 4 (30, user bob).
Json Seed() {
  Json pu = Json::array();
  auto row = [&](uint32_t id, uint32_t pkg, uint32_t sched, uint32_t kind, const char* name, const char* cp,
                 uint32_t status) {
    pu.push_back({{"RecordId", id}, {"PackageUserId", id}, {"ServerId", 1}, {"PackageId", pkg}, {"Scheduled", sched},
                  {"PackageStatus", status}, {"TargetKind", kind}, {"TargetName", name}, {"Counterpart", cp}});
  };
  row(1, 10, 1, kKindGroup, "PLX_EVERYONE", "", 0);
  row(2, 10, 1, kKindMachine, "WS01", "", 0);
  row(3, 30, 1, kKindSite, "SITE-A", "", 0);
  row(4, 30, 1, kKindUser, "bob", "", 0);
  row(101, 10, 0, kKindMachine, "WS01", "bob", kStatusFailed);
  pu.back()["PackageUserId"] = 9101;
  pu.back()["FailureCount"] = 2;
  row(102, 10, 0, kKindMachine, "WS02", "carol", kStatusCompleted);
  row(103, 10, 0, kKindUser, "Bob", "WS01", kStatusFailedRetry);
  row(104, 10, 0, kKindMachine, "WS03", "dave", kStatusPending);
  row(105, 10, 0, kKindUser, "carol", "WS02", kStatusRefused);
  row(106, 10, 0, kKindMachine, "ws04", "", kStatusRefusedPermanently);
  row(201, 20, 0, kKindMachine, "WS01", "bob", kStatusCompleted);
  row(202, 20, 0, kKindMachine, "WS02", "carol", kStatusFailed);
  row(203, 20, 0, kKindUser, "bob", "WS02", kStatusCompleted);
  row(301, 30, 0, kKindMachine, "WS01", "", kStatusPending);
  return Json{{"servers", {{{"ServerId", 1}, {"ServerName", "SRV"}}}},
              {"packages",
               {{{"PackageId", 10}, {"ServerId", 1}, {"Name", "Alpha"}},
                {{"PackageId", 20}, {"ServerId", 1}, {"Name", "beta"}},
                {{"PackageId", 30}, {"ServerId", 1}, {"Name", "Gamma"}},
                {{"PackageId", 40}, {"ServerId", 1}, {"Name", "Delta"}}}},
              {"package_users", pu}};
}

// Documents take ids as unsigned numbers, as parsed from text.
Json Unsigned(const Json& j) { return Json::parse(j.dump()); }

// History entries 1-8 (row ids in this order): date, time, user, package, PackageUserId, text.
struct Entry {
  const char *date, *time, *user;
  uint32_t package, packageUserId;
  const char* text;
};
const Entry kHistory[] = {
    {"20261201", "090000", "bob", 10, 9101, "Install failed: disk full"},
    {"20261201", "090000", "bob", 10, 103, "Setup FAILED with code 5"},
    {"20261202", "100000", "carol", 20, 202, "Copy failed on WS02"},
    {"20261203", "110000", "carol", 10, 102, "Installed"},
    {"20261130", "080000", "dave", 10, 104, "Postponed by user"},
    {"20261204", "120000", "bob", 20, 201, "Installed"},
    {"20261205", "070000", "bob", 10, 9101, "Retry failed again"},
    {"20261206", "130000", "bob", 20, 203, "Installed by bob on WS02"},
};

dblink::Document SeedDocument() {
  dblink::Document doc;
  std::string error;
  EXPECT_TRUE(dblink::ParseDocument(Unsigned(Seed()), doc, error)) << error;
  const TableDef& tt = *FindTable(kTableHistoryText);
  const TableDef& ht = *FindTable(kTableHistory);
  dblink::Document::Table texts{&tt, {}}, entries{&ht, {}};
  uint32_t textId = 0;
  for (const Entry& e : kHistory) {
    std::string rec;
    ++textId;
    EXPECT_TRUE(dblink::RecordFromJson(tt, Unsigned({{"TextId", textId}, {"ServerId", 1}, {"Text", e.text}}), "t", rec, error));
    texts.rows.push_back(rec);
    EXPECT_TRUE(dblink::RecordFromJson(ht,
                                       Unsigned({{"ServerId", 1}, {"TextId", textId}, {"PackageId", e.package},
                                            {"PackageUserId", e.packageUserId}, {"Date", e.date}, {"Time", e.time},
                                            {"UserName", e.user}, {"ServerName", "SRV"}}),
                                       "h", rec, error))
        << error;
    entries.rows.push_back(rec);
  }
  doc.tables.push_back(texts);
  doc.tables.push_back(entries);
  return doc;
}

template <class T, class F> std::vector<uint32_t> Ids(const Paged<T>& p, F id) {
  std::vector<uint32_t> out;
  for (const T& r : p.rows) out.push_back(id(r));
  return out;
}
std::vector<uint32_t> RowIds(const Paged<dblink::StatusRowView>& p) {
  return Ids(p, [](const dblink::StatusRowView& r) { return r.recordId; });
}
std::vector<uint32_t> EntryIds(const Paged<dblink::HistoryView>& p) {
  return Ids(p, [](const dblink::HistoryView& r) { return r.rowId; });
}

// pending, installed, refused, refused permanently, failed
using Counts = std::array<uint64_t, 5>;
Counts Of(const dblink::PackageCounts& c) { return {c.pending, c.installed, c.refused, c.refusedPermanently, c.failed}; }

class ConsoleData : public ::testing::Test {
 protected:
  void SetUp() override { Open(); }
  void Open() {
    std::string error;
    store = dblink::SqliteStore::Open(db, error);
    ASSERT_TRUE(store) << error;
    if (fresh) {
      ASSERT_TRUE(store->Import(SeedDocument(), error)) << error;
    }
    fresh = false;
  }
  Counts PackageCounts(uint32_t id) {
    bool found = false;
    dblink::PackageCounts c;
    std::vector<dblink::TargetView> targets;
    EXPECT_TRUE(store->Package(id, found, c, targets));
    EXPECT_TRUE(found);
    return Of(c);
  }
  std::vector<uint32_t> OverviewIds() {
    Paged<dblink::PackageCounts> p;
    EXPECT_TRUE(store->Overview(Page{0, 50}, p));
    return Ids(p, [](const dblink::PackageCounts& c) { return c.packageId; });
  }
  std::string db = TempDir() + "/console.db";
  bool fresh = true;
  std::unique_ptr<dblink::SqliteStore> store;
};

TEST_F(ConsoleData, OverviewPackageAndTotals) {
  Paged<dblink::PackageCounts> p;
  ASSERT_TRUE(store->Overview(Page{0, 50}, p));
  // Failed first (Alpha 2, beta 1), then by name in any case: Delta before Gamma.
  ASSERT_EQ(OverviewIds(), (std::vector<uint32_t>{10, 20, 40, 30}));
  EXPECT_FALSE(p.more);
  EXPECT_EQ(Of(p.rows[0]), (Counts{1, 1, 1, 1, 2}));
  EXPECT_EQ(Of(p.rows[1]), (Counts{0, 2, 0, 0, 1}));
  EXPECT_EQ(Of(p.rows[2]), (Counts{0, 0, 0, 0, 0}));
  EXPECT_EQ(Of(p.rows[3]), (Counts{1, 0, 0, 0, 0}));
  EXPECT_EQ(p.rows[0].name, "Alpha");
  EXPECT_EQ(p.rows[0].serverName, "SRV");
  ASSERT_TRUE(store->Overview(Page{1, 2}, p));
  EXPECT_EQ(Ids(p, [](const dblink::PackageCounts& c) { return c.packageId; }), (std::vector<uint32_t>{20, 40}));
  EXPECT_TRUE(p.more);

  bool found = true;
  dblink::PackageCounts c;
  std::vector<dblink::TargetView> targets;
  ASSERT_TRUE(store->Package(30, found, c, targets));
  ASSERT_TRUE(found);
  EXPECT_EQ(c.name, "Gamma");
  // By kind: user 6 before site 7.
  ASSERT_EQ(targets.size(), 2u);
  EXPECT_EQ(targets[0].recordId, 4u);
  EXPECT_EQ(targets[0].name, "bob");
  EXPECT_EQ(targets[1].kind, uint32_t(kKindSite));
  ASSERT_TRUE(store->Package(99, found, c, targets));
  EXPECT_FALSE(found);

  dblink::StatusTotals t;
  ASSERT_TRUE(store->Totals(t));
  uint64_t expected[6] = {2, 3, 1, 1, 2, 1};
  for (int s = 0; s < 6; ++s) EXPECT_EQ(t.byStatus[s], expected[s]) << s;
}

TEST_F(ConsoleData, PackageStatusFiltersAndPages) {
  struct Case {
    dblink::StatusFilter filter;
    Page page;
    std::vector<uint32_t> rows;
    bool more;
  } cases[] = {
      // Failed (both statuses) first, then names in any case.
      {{-1, 0, ""}, {0, 50}, {103, 101, 105, 102, 104, 106}, false},
      {{-1, 0, ""}, {0, 4}, {103, 101, 105, 102}, true},
      {{-1, 0, ""}, {2, 4}, {105, 102, 104, 106}, false},
      {{kStatusFailed, 0, ""}, {0, 50}, {103, 101}, false},
      {{kStatusCompleted, 0, ""}, {0, 50}, {102}, false},
      {{kStatusRefusedPermanently, 0, ""}, {0, 50}, {106}, false},
      {{-1, kKindMachine, ""}, {0, 50}, {101, 102, 104, 106}, false},
      {{-1, kKindUser, ""}, {0, 50}, {103, 105}, false},
      {{-1, 0, "ws0"}, {0, 50}, {101, 102, 104, 106}, false},
      {{-1, 0, "B"}, {0, 50}, {103}, false},
      {{-1, 0, "W_"}, {0, 50}, {}, false},
      {{kStatusPending, kKindMachine, "WS"}, {0, 50}, {104}, false},
  };
  for (const Case& c : cases) {
    Paged<dblink::StatusRowView> p;
    ASSERT_TRUE(store->PackageStatus(10, c.filter, c.page, p));
    EXPECT_EQ(RowIds(p), c.rows) << c.filter.status << "/" << c.filter.kind << "/" << c.filter.name << " @"
                                 << c.page.offset;
    EXPECT_EQ(p.more, c.more);
  }
  // Each row's fields, and its newest history text (by PackageUserId, not RecordId).
  Paged<dblink::StatusRowView> p;
  ASSERT_TRUE(store->PackageStatus(10, {}, Page{0, 50}, p));
  const dblink::StatusRowView& r = p.rows[1];
  EXPECT_EQ(r.packageName, "Alpha");
  EXPECT_EQ(r.kind, uint32_t(kKindMachine));
  EXPECT_EQ(r.targetName, "WS01");
  EXPECT_EQ(r.counterpart, "bob");
  EXPECT_EQ(r.status, kStatusFailed);
  EXPECT_EQ(r.failures, 2u);
  EXPECT_EQ(r.lastText, "Retry failed again");
  EXPECT_EQ(p.rows[0].lastText, "Setup FAILED with code 5");
  EXPECT_EQ(p.rows[2].lastText, "");
}

TEST_F(ConsoleData, MachineAndUserRows) {
  struct Case {
    bool machine;
    const char* name;
    Page page;
    std::vector<uint32_t> rows;
    bool more;
  } cases[] = {
      // Machine rows named after it and user rows written on it; targeting rows never.
      {true, "ws01", {0, 50}, {101, 103, 201, 301}, false},
      {true, "WS02", {0, 50}, {102, 105, 202, 203}, false},
      {true, "WS01", {1, 2}, {103, 201}, true},
      {true, "WS99", {0, 50}, {}, false},
      {false, "BOB", {0, 50}, {101, 103, 201, 203}, false},
      {false, "carol", {0, 50}, {102, 105, 202}, false},
      {false, "dave", {0, 1}, {104}, false},
  };
  for (const Case& c : cases) {
    Paged<dblink::StatusRowView> p;
    ASSERT_TRUE(c.machine ? store->MachineStatus(c.name, c.page, p) : store->UserStatus(c.name, c.page, p));
    EXPECT_EQ(RowIds(p), c.rows) << c.name;
    EXPECT_EQ(p.more, c.more) << c.name;
  }
}

TEST_F(ConsoleData, HistorySearch) {
  struct Case {
    dblink::HistoryQuery q;
    Page page;
    std::vector<uint32_t> entries;
    bool more;
  } cases[] = {
      {{}, {0, 50}, {8, 7, 6, 4, 3, 2, 1, 5}, false},
      {{}, {3, 3}, {4, 3, 2}, true},
      {{}, {6, 3}, {1, 5}, false},
      {{"", 0, "ws01", "", "", ""}, {0, 50}, {7, 6, 2, 1}, false},
      {{"", 0, "WS02", "", "", ""}, {0, 50}, {8, 4, 3}, false},
      {{"", 0, "", "BOB", "", ""}, {0, 50}, {8, 7, 6, 2, 1}, false},
      {{"", 20, "", "", "", ""}, {0, 50}, {8, 6, 3}, false},
      {{"FAIL", 0, "", "", "", ""}, {0, 50}, {7, 3, 2, 1}, false},
      {{"fail", 0, "", "", "", ""}, {0, 2}, {7, 3}, true},
      {{"fail", 0, "", "", "", ""}, {1, 2}, {3, 2}, true},
      {{"fail", 0, "", "", "", ""}, {2, 2}, {2, 1}, false},
      {{"fail", 0, "", "", "20261201", "20261201"}, {0, 50}, {2, 1}, false},
      {{"installed", 0, "", "", "", ""}, {0, 2}, {8, 6}, true},
      {{"INSTALLED", 0, "", "", "", ""}, {2, 2}, {4}, false},
      {{"fa", 0, "", "", "", ""}, {0, 50}, {}, false},
      {{"", 0, "", "", "20261201", "20261202"}, {0, 50}, {3, 2, 1}, false},
      {{"", 0, "", "", "20261204", ""}, {0, 50}, {8, 7, 6}, false},
      {{"", 0, "", "", "", "20261130"}, {0, 50}, {5}, false},
      {{"failed", 10, "", "", "20261201", "20261201"}, {0, 50}, {2, 1}, false},
      {{"", 10, "", "bob", "", ""}, {0, 50}, {7, 2, 1}, false},
      {{"retry", 0, "WS01", "", "", ""}, {0, 50}, {7}, false},
      {{"on WS02", 0, "ws02", "bob", "", "20261231"}, {0, 1}, {8}, false},
  };
  // A text alone is searched through the text index when found less often than the walk is
  // long (1000), or by walking the newest entries (3: fills the first "installed" page; 2:
  // falls back, or sees a whole date range): every way gives the same answers.
  for (uint32_t walk : {dblink::SqliteStore::kTextWalk, 3u, 2u})
  for (const Case& c : cases) {
    store->SetTextWalk(walk);
    Paged<dblink::HistoryView> p;
    ASSERT_TRUE(store->History(c.q, c.page, p));
    EXPECT_EQ(EntryIds(p), c.entries) << walk << ": " << c.q.text << "/" << c.q.packageId << "/" << c.q.machine << "/" << c.q.user
                                      << "/" << c.q.from << "-" << c.q.to;
    EXPECT_EQ(p.more, c.more);
  }
  Paged<dblink::HistoryView> p;
  ASSERT_TRUE(store->History(dblink::HistoryQuery{"copy", 0, "", "", "", ""}, Page{0, 50}, p));
  ASSERT_EQ(p.rows.size(), 1u);
  const dblink::HistoryView& h = p.rows[0];
  EXPECT_EQ(h.packageId, 20u);
  EXPECT_EQ(h.packageName, "beta");
  EXPECT_EQ(h.packageUserId, 202u);
  EXPECT_EQ(h.date + h.time, "20261202100000");
  EXPECT_EQ(h.userName, "carol");
  EXPECT_EQ(h.serverName, "SRV");
  EXPECT_EQ(h.machine, "WS02");
  EXPECT_EQ(h.text, "Copy failed on WS02");
}

// Counts follow every way a status row changes: a workstation's insert and rewrite, an
// import that replaces a row, and a re-offer.
TEST_F(ConsoleData, CountsFollowWritesAndReoffer) {
  const TableDef& t = *FindTable(kTableUserPackage);
  auto wait = [](auto call) {
    std::promise<int32_t> p;
    call([&p](int32_t s, const dblink::Row&) { p.set_value(s); });
    return p.get_future().get();
  };
  UserPackageRecord m;
  m.ServerId = 1; m.PackageId = 30; m.TargetKind = kKindMachine; m.PackageStatus = kStatusFailed;
  CopyText(m.TargetName, sizeof m.TargetName, "WS05");
  std::string rec(t.recordLength, '\0');
  Encode(m, reinterpret_cast<uint8_t*>(&rec[0]));
  ASSERT_EQ(wait([&](dblink::WriteDone d) { store->Insert(t, rec, d); }), kDbOk);
  EXPECT_EQ(PackageCounts(30), (Counts{1, 0, 0, 0, 1}));
  EXPECT_EQ(OverviewIds(), (std::vector<uint32_t>{10, 20, 30, 40}));

  // Row 202 (beta, WS02, failed) rewritten as installed.
  std::string row202(t.recordLength, '\0');
  UserPackageRecord r;
  r.RecordId = 202; r.PackageUserId = 202; r.ServerId = 1; r.PackageId = 20; r.TargetKind = kKindMachine;
  r.PackageStatus = kStatusCompleted;
  CopyText(r.TargetName, sizeof r.TargetName, "WS02");
  CopyText(r.Counterpart, sizeof r.Counterpart, "carol");
  Encode(r, reinterpret_cast<uint8_t*>(&row202[0]));
  ASSERT_EQ(wait([&](dblink::WriteDone d) { store->Rewrite(t, 202, row202, {"PackageStatus"}, nullptr, d); }), kDbOk);
  EXPECT_EQ(PackageCounts(20), (Counts{0, 3, 0, 0, 0}));

  // An import replacing row 105 (refused) by the same id, now installed.
  Json doc = {{"package_users",
               {{{"RecordId", 105}, {"PackageUserId", 105}, {"ServerId", 1}, {"PackageId", 10}, {"PackageStatus", kStatusCompleted},
                 {"TargetKind", kKindUser}, {"TargetName", "carol"}, {"Counterpart", "WS02"}}}}};
  dblink::Document d;
  std::string error;
  ASSERT_TRUE(dblink::ParseDocument(Unsigned(doc), d, error)) << error;
  ASSERT_TRUE(store->Import(d, error)) << error;
  EXPECT_EQ(PackageCounts(10), (Counts{1, 2, 0, 1, 2}));

  // Re-offer of row 101 (failed twice): pending, its failures kept, one entry by the console.
  int64_t entries = CountRows(db, "history");
  ASSERT_EQ(store->Reoffer(101, "20261207", "141500"), kDbOk);
  EXPECT_EQ(PackageCounts(10), (Counts{2, 2, 0, 1, 1}));
  Paged<dblink::StatusRowView> rows;
  ASSERT_TRUE(store->PackageStatus(10, dblink::StatusFilter{kStatusPending, 0, "WS01"}, Page{0, 50}, rows));
  ASSERT_EQ(RowIds(rows), std::vector<uint32_t>{101});
  EXPECT_EQ(rows.rows[0].failures, 2u);
  EXPECT_EQ(rows.rows[0].lastText, "Offered again from the console");
  EXPECT_EQ(Query(db, "SELECT h.ServerId, h.PackageId, h.PackageUserId, h.Date, h.Time, h.UserName, h.ServerName, "
                      "t.ServerId, t.Text FROM history h JOIN history_texts t ON t.TextId=h.TextId "
                      "ORDER BY h.rowid DESC LIMIT 1"),
            "1|10|9101|20261207|141500|console|SRV|1|Offered again from the console|\n");
  Paged<dblink::HistoryView> found;
  ASSERT_TRUE(store->History(dblink::HistoryQuery{"again from", 0, "ws01", "CONSOLE", "20261207", "20261207"},
                             Page{0, 50}, found));
  EXPECT_EQ(found.rows.size(), 1u);

  // Targeting rows and unknown rows are not re-offered, and nothing is written.
  for (uint32_t id : {1u, 4u, 999u}) EXPECT_EQ(store->Reoffer(id, "20261207", "141600"), kDbNotFound) << id;
  EXPECT_EQ(CountRows(db, "history"), entries + 1);
  EXPECT_EQ(store->Reoffer(104, "2026-12-07", "141600"), kDbWriteFailure);
}

// A failing database step fails the read, and fails a re-offer with nothing of it kept:
// every step of the re-offer is made to fail in turn until one goes through.
TEST_F(ConsoleData, FailuresLeaveNothingHalfDone) {
  dblink::StatusTotals t;
  ASSERT_TRUE(store->Totals(t));  // a reader in the pool: the failures below hit queries
  Paged<dblink::PackageCounts> o;
  store->FailEngineCall(store->EngineCalls() + 1);
  EXPECT_FALSE(store->Overview(Page{0, 50}, o));
  Paged<dblink::HistoryView> h;
  store->FailEngineCall(store->EngineCalls() + 1);
  EXPECT_FALSE(store->History(dblink::HistoryQuery{"failed", 0, "WS01", "", "", ""}, Page{0, 50}, h));
  store->FailEngineCall(store->EngineCalls() + 1);
  EXPECT_FALSE(store->Totals(t));

  std::string before = DatabaseDigest(db);
  int failures = 0;
  for (uint64_t n = 1;; ++n) {
    store->FailEngineCall(store->EngineCalls() + n);
    int32_t s = store->Reoffer(202, "20261207", "150000");
    if (s == kDbOk) break;
    ASSERT_EQ(s, kDbWriteFailure) << n;
    ASSERT_EQ(DatabaseDigest(db), before) << n;
    ++failures;
  }
  store->FailEngineCall(0);
  EXPECT_GE(failures, 5);
  EXPECT_EQ(PackageCounts(20), (Counts{1, 2, 0, 0, 0}));
  // The console reaches the same data from a thread's rounds.
  EXPECT_EQ(&store->OpenRounds()->Console(), static_cast<dblink::ConsoleData*>(store.get()));
}

// A database written before the console's schema: it gets its indexes, counts and text
// search at the next open, counting rows added while they were missing.
TEST_F(ConsoleData, OlderDatabaseUpgraded) {
  store.reset();
  sqlite3* h = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
  std::string drops;
  std::istringstream names(Query(db, "SELECT type, name FROM sqlite_master WHERE type IN ('trigger','index') "
                                     "AND name NOT LIKE '%\\_key%' ESCAPE '\\' AND name NOT LIKE 'sqlite_%'"));
  for (std::string line; std::getline(names, line);) {
    size_t bar = line.find('|');
    drops += "DROP " + line.substr(0, bar) + " " + line.substr(bar + 1, line.size() - bar - 2) + ";";
  }
  drops += "DROP TABLE console_counts; DROP TABLE history_text_search;"
           "INSERT INTO package_users (RecordId, PackageUserId, ServerId, PackageId, Scheduled, PackageStatus, "
           "TargetKind, TargetName) VALUES (500, 500, 1, 40, 0, 4, 8, 'WS09');"
           "INSERT INTO history_texts (TextId, ServerId, Text) VALUES (50, 1, 'Written by an older service');";
  ASSERT_EQ(sqlite3_exec(h, drops.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(h);
  sqlite3_close(h);
  EXPECT_EQ(Query(db, "SELECT COUNT(*) FROM sqlite_master WHERE name LIKE '%console%' OR name LIKE '%\\_by\\_%' "
                      "ESCAPE '\\' OR type='trigger'"),
            "0|\n");

  Open();
  EXPECT_EQ(PackageCounts(40), (Counts{0, 0, 0, 0, 1}));
  EXPECT_EQ(PackageCounts(10), (Counts{1, 1, 1, 1, 2}));
  EXPECT_EQ(Query(db, "SELECT rowid FROM history_text_search WHERE history_text_search MATCH '\"older serv\"'"),
            "50|\n");
  EXPECT_EQ(OverviewIds(), (std::vector<uint32_t>{10, 20, 40, 30}));
}

// Every console statement searches an index (or the small tables: packages, servers,
// counts); none reads all status rows, history entries or texts.
TEST_F(ConsoleData, QueriesSearchIndexes) {
  std::vector<std::string> plans;
  ASSERT_TRUE(store->ConsolePlans(plans));
  ASSERT_GT(plans.size(), 40u);
  for (const std::string& plan : plans) {
    std::istringstream lines(plan);
    for (std::string line; std::getline(lines, line);) {
      for (const char* big : {"SCAN package_users", "SCAN history", "SCAN history_texts", "SCAN r", "SCAN h"}) {
        std::string b(big);
        bool hit = line.find(b) != std::string::npos &&
                   (line.size() == line.find(b) + b.size() || line[line.find(b) + b.size()] == ' ');
        EXPECT_FALSE(hit) << plan;
      }
    }
  }
}

}  // namespace
