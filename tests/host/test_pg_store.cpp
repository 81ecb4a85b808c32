// Where PostgreSQL differs from the embedded file: several processes share one database,
// its connections can be cut under the service, and its encoding is the database's own.
// The store is used directly against the throw-away server of the test run.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

#include "pg_conn.h"
#include "pg_store.h"
#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;

namespace {

// A database of its own; skips the test when the run has no PostgreSQL server.
#define FRESH_DATABASE(uri)                                                  \
  std::string uri;                                                           \
  if (PgServerUri().empty()) GTEST_SKIP() << "no PostgreSQL test server"; \
  ASSERT_TRUE(NewPgDatabase(uri)) << uri

std::unique_ptr<dblink::PgStore> OpenOn(const std::string& uri) {
  std::string error;
  std::unique_ptr<dblink::PgStore> s = dblink::PgStore::Open(uri, error);
  EXPECT_TRUE(s) << error;
  return s;
}

// Waits for the replies of the writes it hands out.
struct Replies {
  std::mutex m;
  std::condition_variable cv;
  size_t pending = 0;
  std::vector<std::pair<int32_t, dblink::Row>> got;

  dblink::WriteDone Expect() {
    std::lock_guard<std::mutex> lock(m);
    ++pending;
    return [this](int32_t status, const dblink::Row& row) {
      std::lock_guard<std::mutex> lock(m);
      got.emplace_back(status, row);
      --pending;
      cv.notify_all();
    };
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return pending == 0; });
  }
};

std::string TextRow(const std::string& text) {
  HistoryTextRecord h;
  h.ServerId = 1;
  CopyText(h.Text, sizeof h.Text, text.c_str());
  return Bytes(h, kTableHistoryText);
}

std::string StatusRow(const std::string& user) {
  UserPackageRecord u;
  u.ServerId = 1;
  u.PackageId = 10;
  u.TargetKind = kKindUser;
  CopyText(u.TargetName, sizeof u.TargetName, user.c_str());
  return Bytes(u, kTableUserPackage);
}

// Two services on one database insert into two tables at once, each in groups of its own:
// every insert is acknowledged and the ids of each table are 1..n, none twice, whichever
// order the two took the tables' locks in.
TEST(PgStore, TwoStoresOnOneDatabaseNeverAssignAnIdTwice) {
  FRESH_DATABASE(uri);
  auto a = OpenOn(uri), b = OpenOn(uri);
  ASSERT_TRUE(a && b);
  const TableDef& texts = *FindTable(kTableHistoryText);
  const TableDef& users = *FindTable(kTableUserPackage);
  constexpr int kEach = 150;
  Replies replies;
  for (int i = 0; i < kEach; ++i) {
    // The two stores take the tables in opposite orders.
    a->Insert(texts, TextRow("a" + std::to_string(i)), replies.Expect());
    a->Insert(users, StatusRow("A" + std::to_string(i)), replies.Expect());
    b->Insert(users, StatusRow("B" + std::to_string(i)), replies.Expect());
    b->Insert(texts, TextRow("b" + std::to_string(i)), replies.Expect());
  }
  replies.Wait();
  std::map<uint32_t, std::set<uint32_t>> ids;  // by record length: one table each
  for (auto& [status, row] : replies.got) {
    ASSERT_EQ(status, kDbOk);
    if (row.bytes.size() == users.recordLength) {
      UserPackageRecord u = Rec<UserPackageRecord>(row.bytes);
      EXPECT_EQ(u.PackageUserId, u.RecordId);
      EXPECT_EQ(row.rowId, u.RecordId);
    } else {
      EXPECT_EQ(row.rowId, Rec<HistoryTextRecord>(row.bytes).TextId);
    }
    EXPECT_TRUE(ids[uint32_t(row.bytes.size())].insert(row.rowId).second) << "id " << row.rowId << " twice";
  }
  for (const TableDef* t : {&texts, &users}) {
    const std::set<uint32_t>& got = ids[t->recordLength];
    ASSERT_EQ(got.size(), 2u * kEach) << t->sqlName;
    EXPECT_EQ(*got.begin(), 1u) << t->sqlName;
    EXPECT_EQ(*got.rbegin(), 2u * kEach) << t->sqlName;
    EXPECT_EQ(CountRows(uri, t->sqlName), 2 * kEach) << t->sqlName;
  }
}

// A server restart or an administrator's pg_terminate_backend cuts every connection; the
// next read and write connect again instead of failing, in rounds as outside them.
TEST(PgStore, CutConnectionsAreReplaced) {
  FRESH_DATABASE(uri);
  auto s = OpenOn(uri);
  ASSERT_TRUE(s);
  const TableDef& texts = *FindTable(kTableHistoryText);
  auto round = s->OpenRounds();
  auto cutAll = [&] {
    EXPECT_NE(Query(uri, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                         "WHERE datname = current_database() AND pid <> pg_backend_pid()"),
              "?");
  };
  dblink::Row row;
  for (int i = 1; i <= 3; ++i) {
    Replies replies;
    s->Insert(texts, TextRow("after cut " + std::to_string(i)), replies.Expect());
    replies.Wait();
    ASSERT_EQ(replies.got.at(0).first, kDbOk) << i;
    EXPECT_EQ(replies.got.at(0).second.rowId, uint32_t(i));
    dblink::KeyPart id;
    id.number = uint32_t(i);
    EXPECT_EQ(s->Read(texts, *texts.Key(0), dblink::Seek::Equal, {id}, 0, row), kDbOk) << i;
    EXPECT_EQ(round->Read(texts, *texts.Key(0), dblink::Seek::Equal, {id}, 0, row), kDbOk) << i;
    round->EndRound();
    cutAll();
  }
  EXPECT_EQ(CountRows(uri, texts.sqlName), 3);
}

// The workstations' texts are bytes stored unchanged: a database that would convert them
// is refused, with the command that makes a right one.
TEST(PgStore, ADatabaseInAnotherEncodingIsRefused) {
  if (PgServerUri().empty()) GTEST_SKIP() << "no PostgreSQL test server";
  std::string name = "plx_utf8_" + std::to_string(getpid());
  std::string server = PgServerUri();
  ASSERT_NE(Query(server, "CREATE DATABASE " + name + " ENCODING 'UTF8' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0"),
            "?");
  std::string uri = server.substr(0, server.rfind('/') + 1) + name, error;
  EXPECT_FALSE(dblink::PgStore::Open(uri, error));
  EXPECT_NE(error.find("UTF8"), std::string::npos) << error;
  EXPECT_NE(error.find("createdb -E SQL_ASCII -l C -T template0 " + name), std::string::npos) << error;
  EXPECT_EQ(Query(uri, "SELECT count(*) FROM pg_tables WHERE schemaname = 'public'"), "0|\n") << "nothing created";
}

// A walk along a key in one round, row after row, from the first row, from a lower bound
// and from every row, over the fetches ahead of it: each read answers the row after the one named, ties by row id, and
// the key's end as not found. A walk continued in the next round sees the rows written
// between the two.
TEST(PgStore, WalksAlongAKeyMeetEveryRowInKeyOrder) {
  FRESH_DATABASE(uri);
  auto s = OpenOn(uri);
  ASSERT_TRUE(s);
  const TableDef& users = *FindTable(kTableUserPackage);
  const KeyDef& key = *users.Key(6);  // ServerId, PackageId, Scheduled, TargetKind
  constexpr uint32_t kRows = 40, kPackages = 20;
  auto package = [](uint32_t i) { return (i * 7) % kPackages + 1; };  // each twice, out of order
  auto insert = [&](uint32_t pkg) {
    UserPackageRecord u;
    u.ServerId = 1;
    u.PackageId = pkg;
    u.TargetKind = kKindUser;
    Replies replies;
    s->Insert(users, Bytes(u, kTableUserPackage), replies.Expect());
    replies.Wait();
    ASSERT_EQ(replies.got.at(0).first, kDbOk);
  };
  for (uint32_t i = 0; i < kRows; ++i) insert(package(i));
  // Key order: packages 1..20, each package's two rows by row id (insert order, from 1).
  std::vector<std::pair<uint32_t, uint32_t>> order;  // (package, row id)
  for (uint32_t p = 1; p <= kPackages; ++p)
    for (uint32_t i = 0; i < kRows; ++i)
      if (package(i) == p) order.emplace_back(p, i + 1);
  auto parts = [](uint32_t pkg) {
    std::vector<dblink::KeyPart> k(4);
    k[0].number = 1;
    k[1].number = pkg;
    k[3].number = kKindUser;
    return k;
  };
  auto round = s->OpenRounds();
  dblink::Row row;
  auto walkOn = [&](size_t from) {
    for (size_t i = from + 1; i < order.size(); ++i) {
      ASSERT_EQ(round->Read(users, key, dblink::Seek::After, parts(order[i - 1].first), order[i - 1].second, row), kDbOk)
          << "from " << from << " row " << i;
      EXPECT_EQ(row.rowId, order[i].second) << "from " << from << " row " << i;
    }
    EXPECT_EQ(round->Read(users, key, dblink::Seek::After, parts(order.back().first), order.back().second, row),
              kDbNotFound) << "from " << from;
  };
  // From the first row, then from each package's lower bound (server and package only).
  for (uint32_t pkg = 0; pkg <= kPackages; ++pkg) {
    std::vector<dblink::KeyPart> bound(2);
    bound[0].number = 1;
    bound[1].number = pkg;
    ASSERT_EQ(pkg ? round->Read(users, key, dblink::Seek::GreaterEq, bound, 0, row)
                  : round->Read(users, key, dblink::Seek::First, {}, 0, row), kDbOk) << "package " << pkg;
    size_t from = pkg ? (pkg - 1) * 2 : 0;
    EXPECT_EQ(row.rowId, order[from].second) << "package " << pkg;
    walkOn(from);
    round->EndRound();
  }
  for (size_t from = 0; from < order.size(); ++from) {
    walkOn(from);
    // A read that names another position than the walk's last row is answered for it.
    std::pair<uint32_t, uint32_t> other(order[from].first + 1, order[from].second);
    auto next = std::upper_bound(order.begin(), order.end(), other);
    ASSERT_EQ(round->Read(users, key, dblink::Seek::After, parts(other.first), other.second, row),
              next == order.end() ? kDbNotFound : kDbOk) << "from " << from;
    if (next != order.end()) {
      EXPECT_EQ(row.rowId, next->second) << "from " << from;
    }
    round->EndRound();
  }
  // Half-way through package 19, the round ends and a row of package 19 is added.
  const size_t half = order.size() - 4;
  ASSERT_EQ(round->Read(users, key, dblink::Seek::After, parts(order[half - 1].first), order[half - 1].second, row), kDbOk);
  ASSERT_EQ(row.rowId, order[half].second);
  round->EndRound();
  insert(19);
  ASSERT_EQ(round->Read(users, key, dblink::Seek::After, parts(19), order[half].second, row), kDbOk);
  EXPECT_EQ(row.rowId, order[half + 1].second);
  ASSERT_EQ(round->Read(users, key, dblink::Seek::After, parts(19), order[half + 1].second, row), kDbOk);
  EXPECT_EQ(row.rowId, kRows + 1) << "the row added between the rounds";
  round->EndRound();
}

}  // namespace
