// The console's reads and its re-offer on a real store of each engine (SQLite, and
// PostgreSQL when a test server is given), seeded with a small site whose every expected
// answer is worked out by hand below.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <array>
#include <atomic>
#include <future>
#include <sstream>
#include <thread>

#include "document.h"
#include "fields.h"
#include "pg_console.h"
#include "pg_store.h"
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
                 uint32_t status) { pu.push_back(PackageUserRow(id, pkg, sched, kind, name, cp, status)); };
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

// A status row's record (server 1, PackageUserId = RecordId).
std::string StatusRecord(uint32_t id, uint32_t package, uint32_t kind, const char* name, const char* counterpart,
                         uint16_t status) {
  UserPackageRecord r;
  r.RecordId = id; r.PackageUserId = id; r.ServerId = 1; r.PackageId = package; r.TargetKind = kind;
  r.PackageStatus = status;
  CopyText(r.TargetName, sizeof r.TargetName, name);
  CopyText(r.Counterpart, sizeof r.Counterpart, counterpart);
  std::string rec(RecordLength(kTableUserPackage), '\0');
  Encode(r, reinterpret_cast<uint8_t*>(&rec[0]));
  return rec;
}

// The console's counts on PostgreSQL, summed over the two parts they are kept in, that are
// not zero.
const char* const kCountsSql =
    "SELECT \"PackageId\", \"PackageStatus\", SUM(\"Rows\") FROM (SELECT * FROM console_counts UNION ALL "
    "SELECT * FROM console_count_changes) AS a GROUP BY 1, 2 HAVING SUM(\"Rows\")<>0 ORDER BY 1, 2";

template <class Call> int32_t Wait(Call call) {
  std::promise<int32_t> p;
  call([&p](int32_t s, const dblink::Row&) { p.set_value(s); });
  return p.get_future().get();
}

// A store under test: its console data, its fault seam and plans, and the database beside
// it as a test reads it.
class Engine {
 public:
  virtual ~Engine() = default;
  virtual dblink::Store& store() = 0;
  virtual dblink::ConsoleData& Data() = 0;
  virtual void SetTextWalk(uint32_t entries) = 0;
  virtual bool Plans(std::vector<std::string>& out) = 0;
  // Plan lines that read a whole big table.
  virtual std::vector<std::string> TableScans() = 0;
  // Fault seam: statements run so far; the one numbered n fails.
  virtual uint64_t Calls() = 0;
  virtual void FailCall(uint64_t n) = 0;
  virtual const std::string& db() const = 0;

  // A status row added by a workstation, its status rewritten, and the row replaced whole
  // by an import.
  int32_t Insert(const std::string& rec) {
    return Wait([&](dblink::WriteDone d) { store().Insert(*FindTable(kTableUserPackage), rec, d); });
  }
  int32_t Rewrite(uint32_t id, const std::string& rec) {
    return Wait([&](dblink::WriteDone d) {
      store().Rewrite(*FindTable(kTableUserPackage), id, rec, {"PackageStatus"}, nullptr, d);
    });
  }
  bool Replace(const std::string& rec) {
    dblink::Document d;
    d.tables.push_back({FindTable(kTableUserPackage), {rec}});
    std::string error;
    return store().Import(d, error);
  }
  // Rows one a line, columns ended by '|'.
  std::string Query(const std::string& sql) { return harness::Query(db(), sql); }
  // Every row, the console's counts too.
  std::string Digest() { return DatabaseDigest(db()) + Query(CountsSql()); }
  virtual const char* CountsSql() const = 0;
};

class SqliteEngine : public Engine {
 public:
  explicit SqliteEngine(const dblink::Document& seed) {
    std::string error;
    store_ = dblink::SqliteStore::Open(db_, error);
    EXPECT_TRUE(store_) << error;
    if (store_) {
      EXPECT_TRUE(store_->Import(seed, error)) << error;
    }
  }
  bool ok() const { return store_ != nullptr; }
  dblink::Store& store() override { return *store_; }
  dblink::ConsoleData& Data() override { return *store_; }
  void SetTextWalk(uint32_t entries) override { store_->SetTextWalk(entries); }
  bool Plans(std::vector<std::string>& out) override { return store_->ConsolePlans(out); }
  std::vector<std::string> TableScans() override {
    return {"SCAN package_users", "SCAN history", "SCAN history_texts", "SCAN r", "SCAN h"};
  }
  uint64_t Calls() override { return store_->EngineCalls(); }
  void FailCall(uint64_t n) override { store_->FailEngineCall(n); }
  const std::string& db() const override { return db_; }
  const char* CountsSql() const override { return "SELECT * FROM console_counts WHERE Rows<>0 ORDER BY 1, 2"; }
  dblink::SqliteStore& sqlite() { return *store_; }

 private:
  std::string db_ = TempDir() + "/console.db";
  std::unique_ptr<dblink::SqliteStore> store_;
};

// A fresh database on the test server, made by the store. The console is read through a
// PgConsole of the test's own on it, whose statements the test can make fail.
class PgEngine : public Engine {
 public:
  explicit PgEngine(const std::string& uri) : uri_(uri), pool_(uri, &counters_), console_(pool_) {}
  // Opens the store (it makes whatever of the schema is missing), importing seed if given.
  void Open(const dblink::Document* seed) {
    std::string error;
    store_.reset();
    store_ = dblink::PgStore::Open(uri_, error);
    ASSERT_TRUE(store_) << error;
    if (seed) {
      ASSERT_TRUE(store_->Import(*seed, error)) << error;
    }
  }
  dblink::Store& store() override { return *store_; }
  dblink::ConsoleData& Data() override { return console_; }
  void SetTextWalk(uint32_t entries) override { console_.SetTextWalk(entries); }
  bool Plans(std::vector<std::string>& out) override { return console_.Plans(out); }
  std::vector<std::string> TableScans() override {
    return {"Seq Scan on package_users", "Seq Scan on history", "Seq Scan on history_texts"};
  }
  uint64_t Calls() override { return counters_.calls.load(); }
  void FailCall(uint64_t n) override { counters_.failAt.store(n); }
  const std::string& db() const override { return uri_; }
  const char* CountsSql() const override { return kCountsSql; }

 private:
  std::string uri_;
  dblink::PgCounters counters_;
  dblink::PgPool pool_;
  dblink::PgConsole console_;
  std::unique_ptr<dblink::PgStore> store_;
};

enum class Kind { kSqlite, kPostgres };

class ConsoleData : public ::testing::TestWithParam<Kind> {
 protected:
  void SetUp() override {
    if (GetParam() == Kind::kSqlite) {
      engine.reset(new SqliteEngine(SeedDocument()));
    } else {
      std::string uri;
      if (!NewPgDatabase(uri)) GTEST_SKIP() << uri;
      auto pg = new PgEngine(uri);
      engine.reset(pg);
      dblink::Document seed = SeedDocument();
      pg->Open(&seed);
    }
    ASSERT_FALSE(HasFatalFailure());
    data = &engine->Data();
  }
  Counts PackageCounts(uint32_t id) {
    bool found = false;
    dblink::PackageCounts c;
    std::vector<dblink::TargetView> targets;
    EXPECT_TRUE(data->Package(id, found, c, targets));
    EXPECT_TRUE(found);
    return Of(c);
  }
  std::vector<uint32_t> OverviewIds() {
    Paged<dblink::PackageCounts> p;
    EXPECT_TRUE(data->Overview(Page{0, 50}, p));
    return Ids(p, [](const dblink::PackageCounts& c) { return c.packageId; });
  }
  std::unique_ptr<Engine> engine;
  dblink::ConsoleData* data = nullptr;
};

INSTANTIATE_TEST_SUITE_P(Engines, ConsoleData, ::testing::Values(Kind::kSqlite, Kind::kPostgres),
                         [](const ::testing::TestParamInfo<Kind>& i) {
                           return i.param == Kind::kSqlite ? "Sqlite" : "Postgres";
                         });

TEST_P(ConsoleData, OverviewPackageAndTotals) {
  Paged<dblink::PackageCounts> p;
  ASSERT_TRUE(data->Overview(Page{0, 50}, p));
  // Failed first (Alpha 2, beta 1), then by name in any case: Delta before Gamma.
  ASSERT_EQ(OverviewIds(), (std::vector<uint32_t>{10, 20, 40, 30}));
  EXPECT_FALSE(p.more);
  EXPECT_EQ(Of(p.rows[0]), (Counts{1, 1, 1, 1, 2}));
  EXPECT_EQ(Of(p.rows[1]), (Counts{0, 2, 0, 0, 1}));
  EXPECT_EQ(Of(p.rows[2]), (Counts{0, 0, 0, 0, 0}));
  EXPECT_EQ(Of(p.rows[3]), (Counts{1, 0, 0, 0, 0}));
  EXPECT_EQ(p.rows[0].name, "Alpha");
  EXPECT_EQ(p.rows[0].serverName, "SRV");
  ASSERT_TRUE(data->Overview(Page{1, 2}, p));
  EXPECT_EQ(Ids(p, [](const dblink::PackageCounts& c) { return c.packageId; }), (std::vector<uint32_t>{20, 40}));
  EXPECT_TRUE(p.more);

  bool found = true;
  dblink::PackageCounts c;
  std::vector<dblink::TargetView> targets;
  ASSERT_TRUE(data->Package(30, found, c, targets));
  ASSERT_TRUE(found);
  EXPECT_EQ(c.name, "Gamma");
  // By kind: user 6 before site 7.
  ASSERT_EQ(targets.size(), 2u);
  EXPECT_EQ(targets[0].recordId, 4u);
  EXPECT_EQ(targets[0].name, "bob");
  EXPECT_EQ(targets[1].kind, uint32_t(kKindSite));
  ASSERT_TRUE(data->Package(99, found, c, targets));
  EXPECT_FALSE(found);

  dblink::StatusTotals t;
  ASSERT_TRUE(data->Totals(t));
  uint64_t expected[6] = {2, 3, 1, 1, 2, 1};
  for (int s = 0; s < 6; ++s) EXPECT_EQ(t.byStatus[s], expected[s]) << s;
}
TEST_P(ConsoleData, PackageStatusFiltersAndPages) {
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
    ASSERT_TRUE(data->PackageStatus(10, c.filter, c.page, p));
    EXPECT_EQ(RowIds(p), c.rows) << c.filter.status << "/" << c.filter.kind << "/" << c.filter.name << " @"
                                 << c.page.offset;
    EXPECT_EQ(p.more, c.more);
  }
  // Each row's fields, and its newest history text (by PackageUserId, not RecordId).
  Paged<dblink::StatusRowView> p;
  ASSERT_TRUE(data->PackageStatus(10, {}, Page{0, 50}, p));
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

TEST_P(ConsoleData, MachineAndUserRows) {
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
    ASSERT_TRUE(c.machine ? data->MachineStatus(c.name, c.page, p) : data->UserStatus(c.name, c.page, p));
    EXPECT_EQ(RowIds(p), c.rows) << c.name;
    EXPECT_EQ(p.more, c.more) << c.name;
  }
}

TEST_P(ConsoleData, HistorySearch) {
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
    engine->SetTextWalk(walk);
    Paged<dblink::HistoryView> p;
    ASSERT_TRUE(data->History(c.q, c.page, p));
    EXPECT_EQ(EntryIds(p), c.entries) << walk << ": " << c.q.text << "/" << c.q.packageId << "/" << c.q.machine << "/" << c.q.user
                                      << "/" << c.q.from << "-" << c.q.to;
    EXPECT_EQ(p.more, c.more);
  }
  Paged<dblink::HistoryView> p;
  ASSERT_TRUE(data->History(dblink::HistoryQuery{"copy", 0, "", "", "", ""}, Page{0, 50}, p));
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
TEST_P(ConsoleData, CountsFollowWritesAndReoffer) {
  ASSERT_EQ(engine->Insert(StatusRecord(401, 30, kKindMachine, "WS05", "", kStatusFailed)), kDbOk);
  EXPECT_EQ(PackageCounts(30), (Counts{1, 0, 0, 0, 1}));
  EXPECT_EQ(OverviewIds(), (std::vector<uint32_t>{10, 20, 30, 40}));

  // Row 202 (beta, WS02, failed) rewritten as installed.
  ASSERT_EQ(engine->Rewrite(202, StatusRecord(202, 20, kKindMachine, "WS02", "carol", kStatusCompleted)), kDbOk);
  EXPECT_EQ(PackageCounts(20), (Counts{0, 3, 0, 0, 0}));

  // An import replacing row 105 (refused) by the same id, now installed.
  ASSERT_TRUE(engine->Replace(StatusRecord(105, 10, kKindUser, "carol", "WS02", kStatusCompleted)));
  EXPECT_EQ(PackageCounts(10), (Counts{1, 2, 0, 1, 2}));

  // Re-offer of row 101 (failed twice): pending, its failures kept, one entry by the console.
  std::string entries = engine->Query("SELECT COUNT(*) FROM history");
  ASSERT_EQ(entries, "8|\n");
  ASSERT_EQ(data->Reoffer(101, "20261207", "141500"), kDbOk);
  EXPECT_EQ(PackageCounts(10), (Counts{2, 2, 0, 1, 1}));
  Paged<dblink::StatusRowView> rows;
  ASSERT_TRUE(data->PackageStatus(10, dblink::StatusFilter{kStatusPending, 0, "WS01"}, Page{0, 50}, rows));
  ASSERT_EQ(RowIds(rows), std::vector<uint32_t>{101});
  EXPECT_EQ(rows.rows[0].failures, 2u);
  EXPECT_EQ(rows.rows[0].lastText, "Offered again from the console");
  EXPECT_EQ(engine->Query("SELECT h.\"ServerId\", h.\"PackageId\", h.\"PackageUserId\", h.\"Date\", h.\"Time\", "
                          "h.\"UserName\", h.\"ServerName\", t.\"TextId\", t.\"ServerId\", t.\"Text\" FROM history h "
                          "JOIN history_texts t ON t.\"TextId\"=h.\"TextId\" ORDER BY h.rowid DESC LIMIT 1"),
            "1|10|9101|20261207|141500|console|SRV|9|1|Offered again from the console|\n");
  Paged<dblink::HistoryView> found;
  ASSERT_TRUE(data->History(dblink::HistoryQuery{"again from", 0, "ws01", "CONSOLE", "20261207", "20261207"},
                            Page{0, 50}, found));
  EXPECT_EQ(EntryIds(found), std::vector<uint32_t>{9});

  // Targeting rows and unknown rows are not re-offered, and nothing is written.
  for (uint32_t id : {1u, 4u, 999u}) EXPECT_EQ(data->Reoffer(id, "20261207", "141600"), kDbNotFound) << id;
  EXPECT_EQ(engine->Query("SELECT COUNT(*) FROM history"), "9|\n");
  EXPECT_EQ(data->Reoffer(104, "2026-12-07", "141600"), kDbWriteFailure);
}

// A failing database statement fails the read, and fails a re-offer with nothing of it
// kept: every statement of the re-offer is made to fail in turn until one goes through.
TEST_P(ConsoleData, FailuresLeaveNothingHalfDone) {
  dblink::StatusTotals t;
  ASSERT_TRUE(data->Totals(t));  // a connection in the pool: the failures below hit queries
  Paged<dblink::PackageCounts> o;
  engine->FailCall(engine->Calls() + 1);
  EXPECT_FALSE(data->Overview(Page{0, 50}, o));
  Paged<dblink::HistoryView> h;
  engine->FailCall(engine->Calls() + 1);
  EXPECT_FALSE(data->History(dblink::HistoryQuery{"failed", 0, "WS01", "", "", ""}, Page{0, 50}, h));
  engine->FailCall(engine->Calls() + 1);
  EXPECT_FALSE(data->Totals(t));

  std::string before = engine->Digest();
  int failures = 0;
  for (uint64_t n = 1;; ++n) {
    engine->FailCall(engine->Calls() + n);
    int32_t s = data->Reoffer(202, "20261207", "150000");
    if (s == kDbOk) break;
    ASSERT_EQ(s, kDbWriteFailure) << n;
    ASSERT_EQ(engine->Digest(), before) << n;
    ++failures;
  }
  engine->FailCall(0);
  EXPECT_GE(failures, 5);
  EXPECT_EQ(PackageCounts(20), (Counts{1, 2, 0, 0, 0}));
}

// Every console statement searches an index (or the small tables: packages, servers,
// counts); none reads all status rows, history entries or texts.
TEST_P(ConsoleData, QueriesSearchIndexes) {
  std::vector<std::string> plans;
  ASSERT_TRUE(engine->Plans(plans));
  ASSERT_GT(plans.size(), 40u);
  for (const std::string& plan : plans) {
    std::istringstream lines(plan);
    for (std::string line; std::getline(lines, line);) {
      for (const std::string& scan : engine->TableScans()) {
        size_t at = line.find(scan);
        bool hit = at != std::string::npos && (line.size() == at + scan.size() || line[at + scan.size()] == ' ');
        EXPECT_FALSE(hit) << plan;
      }
    }
  }
}

// The console reaches the same data from a thread's rounds.
TEST(ConsoleDataSqlite, RoundsGiveTheStoresData) {
  SqliteEngine e(SeedDocument());
  ASSERT_TRUE(e.ok());
  EXPECT_EQ(&e.sqlite().OpenRounds()->Console(), static_cast<dblink::ConsoleData*>(&e.sqlite()));
}

// A database written before the console's schema: it gets its indexes, counts and text
// search at the next open, counting rows added while they were missing.
TEST(ConsoleDataSqlite, OlderDatabaseUpgraded) {
  std::string db = TempDir() + "/older.db";
  {
    std::string error;
    auto store = dblink::SqliteStore::Open(db, error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->Import(SeedDocument(), error)) << error;
  }
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

  std::string error;
  auto store = dblink::SqliteStore::Open(db, error);
  ASSERT_TRUE(store) << error;
  bool found = false;
  dblink::PackageCounts c;
  std::vector<dblink::TargetView> targets;
  ASSERT_TRUE(store->Package(40, found, c, targets));
  EXPECT_EQ(Of(c), (Counts{0, 0, 0, 0, 1}));
  ASSERT_TRUE(store->Package(10, found, c, targets));
  EXPECT_EQ(Of(c), (Counts{1, 1, 1, 1, 2}));
  EXPECT_EQ(Query(db, "SELECT rowid FROM history_text_search WHERE history_text_search MATCH '\"older serv\"'"),
            "50|\n");
}

// A PostgreSQL database written before the console's schema (or by a service that lost
// it): the next store to open it makes the schema again, counting the rows already there;
// opening it once more (every replica does at its start) changes nothing.
TEST(ConsoleDataPostgres, OlderDatabaseUpgraded) {
  std::string uri;
  if (!NewPgDatabase(uri)) GTEST_SKIP() << uri;
  PgEngine e(uri);
  dblink::Document seed = SeedDocument();
  ASSERT_NO_FATAL_FAILURE(e.Open(&seed));
  // The console's indexes, then its triggers.
  const std::string objects = "SELECT COUNT(*) FROM pg_indexes WHERE indexname LIKE '%\\_by\\_%' OR indexname LIKE "
                              "'%trigram' UNION ALL SELECT COUNT(*) FROM pg_trigger WHERE tgname LIKE 'console%'";
  EXPECT_EQ(e.Query(objects), "12|\n3|\n");
  std::string drops = "SET client_min_messages=warning; DROP TABLE console_counts, console_count_changes; "
                      "DROP FUNCTION console_counts_change() CASCADE;";
  std::istringstream names(e.Query("SELECT indexname FROM pg_indexes WHERE indexname LIKE '%\\_by\\_%' "
                                   "OR indexname LIKE '%trigram'"));
  for (std::string line; std::getline(names, line);) drops += "DROP INDEX " + line.substr(0, line.size() - 1) + ";";
  drops += "INSERT INTO package_users (rowid, \"RecordId\", \"PackageUserId\", \"ServerId\", \"PackageId\", "
           "\"Scheduled\", \"PackageStatus\", \"TargetKind\", \"TargetName\") VALUES (500, 500, 500, 1, 40, 0, 4, 8, "
           "'WS09');";
  EXPECT_EQ(e.Query(drops), "");
  EXPECT_EQ(e.Query(objects), "0|\n0|\n");

  ASSERT_NO_FATAL_FAILURE(e.Open(nullptr));
  const std::string seeded = "10|0|1|\n10|1|1|\n10|2|1|\n10|3|1|\n10|4|1|\n10|5|1|\n20|1|2|\n20|4|1|\n30|0|1|\n";
  EXPECT_EQ(e.Query(kCountsSql), seeded + "40|4|1|\n");
  EXPECT_EQ(e.Query(objects), "12|\n3|\n");
  std::string before = e.Digest();
  ASSERT_NO_FATAL_FAILURE(e.Open(nullptr));
  EXPECT_EQ(e.Digest(), before);
  EXPECT_EQ(e.Query(objects), "12|\n3|\n");
  // A row deleted by hand leaves the counts too.
  EXPECT_EQ(e.Query("DELETE FROM package_users WHERE rowid=500"), "");
  EXPECT_EQ(e.Query(kCountsSql), seeded);
  // The store's own console data answers as the test's.
  Paged<dblink::PackageCounts> o;
  ASSERT_TRUE(e.store().Console().Overview(Page{0, 50}, o));
  EXPECT_EQ(Ids(o, [](const dblink::PackageCounts& c) { return c.packageId; }),
            (std::vector<uint32_t>{10, 20, 40, 30}));
  Paged<dblink::HistoryView> p;
  ASSERT_TRUE(e.store().Console().History(dblink::HistoryQuery{"DISK F", 0, "", "", "", ""}, Page{0, 50}, p));
  EXPECT_EQ(EntryIds(p), std::vector<uint32_t>{1});
}

// Two services on one database flip status rows of two packages between pending and
// failed at once, each thread through both packages: every write lands (none lost to two
// writers locking the same counts in opposite orders) and the counts match the rows.
TEST(ConsoleDataPostgres, CountsHoldUnderTwoWriters) {
  std::string uri;
  if (!NewPgDatabase(uri)) GTEST_SKIP() << uri;
  constexpr uint32_t kRows = 40, kThreads = 4, kFlips = 15;
  // A thread takes every kThreads-th row, of the two packages by turns.
  auto package = [&](uint32_t id) -> uint32_t { return (id - 1) / kThreads % 2 ? 20 : 10; };
  Json rows = Json::array();
  for (uint32_t id = 1; id <= kRows; ++id)
    rows.push_back(PackageUserRow(id, package(id), 0, kKindMachine, "WS" + std::to_string(id), "", 0));
  Json seed = {{"servers", {{{"ServerId", 1}, {"ServerName", "SRV"}}}},
               {"packages", {{{"PackageId", 10}, {"ServerId", 1}, {"Name", "A"}},
                             {{"PackageId", 20}, {"ServerId", 1}, {"Name", "B"}}}},
               {"package_users", rows}};
  dblink::Document doc;
  std::string error;
  ASSERT_TRUE(dblink::ParseDocument(Unsigned(seed), doc, error)) << error;
  PgEngine one(uri), two(uri);
  ASSERT_NO_FATAL_FAILURE(one.Open(&doc));
  ASSERT_NO_FATAL_FAILURE(two.Open(nullptr));
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      PgEngine& e = t % 2 ? two : one;
      // Threads of the two services start on opposite statuses.
      for (uint32_t flip = 0; flip < kFlips; ++flip)
        for (uint32_t id = t + 1; id <= kRows; id += kThreads) {
          uint16_t to = (flip + id / kThreads) % 2 ? kStatusPending : kStatusFailed;
          if (flip + 1 == kFlips) to = kStatusFailed;
          std::string rec = StatusRecord(id, package(id), kKindMachine, ("WS" + std::to_string(id)).c_str(), "", to);
          if (e.Rewrite(id, rec) != kDbOk) ++failed;
        }
    });
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(failed.load(), 0);
  // Every row ends failed: 20 of each package, nothing else.
  EXPECT_EQ(one.Query(kCountsSql), "10|4|20|\n20|4|20|\n");
  // Folded, the same.
  dblink::StatusTotals totals;
  ASSERT_TRUE(one.Data().Totals(totals));
  EXPECT_EQ(totals.byStatus[kStatusFailed], 2 * 20u);
  EXPECT_EQ(one.Query("SELECT COUNT(*) FROM console_count_changes"), "0|\n");
  EXPECT_EQ(one.Query(kCountsSql), "10|4|20|\n20|4|20|\n");
}

}  // namespace
