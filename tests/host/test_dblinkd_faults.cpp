// The store under failure: every database step of a realistic run is made to fail in
// turn; each failure gives its error status and leaves nothing half written. Writes that
// arrive together are committed together, and one failing write leaves the others.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>

#include "document.h"
#include "plx/bytes.h"
#include "requests.h"
#include "sqlite_store.h"
#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;
namespace proto = plx::proto;

namespace {

proto::Reply Ask(dblink::Store& s, dblink::ConnectionState& c, const proto::Request& q) {
  std::promise<proto::Reply> p;
  dblink::HandleRequest(s, c, q, [&p](proto::Reply r) { p.set_value(std::move(r)); });
  return p.get_future().get();
}

proto::Request Op(uint32_t table, uint32_t cls, uint32_t op, uint32_t keyNo, std::string key, std::string data = "") {
  proto::Request q;
  q.call = proto::kCallOperation;
  q.table = table; q.cls = cls; q.op = op; q.keyNo = keyNo;
  q.key = std::move(key);
  q.data = std::move(data);
  q.recordLength = RecordLength(table);
  return q;
}

proto::Request Call(uint16_t call, std::string key, std::string data) {
  proto::Request q;
  q.call = call;
  q.key = std::move(key);
  q.data = std::move(data);
  return q;
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = MakeTempDir();
    seeded = dir + "/seeded.db";
    std::string error;
    auto store = dblink::SqliteStore::Open(seeded, error);
    ASSERT_TRUE(store) << error;
    dblink::Document doc;
    ASSERT_TRUE(dblink::ParseDocument(Json::parse(SampleSeed().dump()), doc, error)) << error;
    ASSERT_TRUE(store->Import(doc, error)) << error;
  }
  void TearDown() override { RemoveTree(dir); }
  std::unique_ptr<dblink::SqliteStore> Fresh(const std::string& name) {
    std::filesystem::copy_file(seeded, dir + "/" + name);
    std::string error;
    return dblink::SqliteStore::Open(dir + "/" + name, error);
  }
  std::string dir, seeded;
};

// An agent's run on one connection, then an administrator's import. Each step gives the
// status a database failure must give.
TEST_F(Faults, EveryFailingStepGivesItsStatusAndWritesNothingHalf) {
  UserPackageRecord m;
  m.ServerId = 1; m.PackageId = 20; m.TargetKind = 8;
  CopyText(m.TargetName, sizeof m.TargetName, "WS0000000001");
  HistoryTextRecord text;
  CopyText(text.Text, sizeof text.Text, "done");
  dblink::Document doc;
  std::string error;
  Json more = {{"packages", {{{"PackageId", 40}, {"ServerId", 1}, {"Name", "Forty"}}}},
               {"package_users", {{{"ServerId", 1}, {"PackageId", 40}, {"Scheduled", 1}, {"TargetKind", 6}, {"TargetName", "dan"}}}}};
  ASSERT_TRUE(dblink::ParseDocument(Json::parse(more.dump()), doc, error));

  auto run = [&](dblink::SqliteStore& store, uint64_t failAt, int& failures) {
    dblink::ConnectionState conn;
    if (failAt) store.FailEngineCall(store.EngineCalls() + failAt);
    uint32_t newRow = 0;
    struct Step { proto::Request q; int32_t failure; };
    auto step = [&](const proto::Request& q, int32_t failure) {
      std::string before = DatabaseDigest(dir + "/db" + std::to_string(failAt));
      proto::Reply r = Ask(store, conn, q);
      if (r.status == failure) {
        ++failures;
        EXPECT_EQ(DatabaseDigest(dir + "/db" + std::to_string(failAt)), before) << "half written at " << failAt;
      } else {
        EXPECT_TRUE(r.status == kDbOk || r.status == kDbNotFound) << r.status << " at " << failAt;
      }
      return r;
    };
    step(Call(proto::kCallConnect, "SRV", "KVR610"), kDbReadFailure);
    step(Call(proto::kCallGetPath, "SRV", "SISITE"), kDbReadFailure);
    step(Op(kTablePackage, kClassRead, kOpGetFirst, 4, U32(0)), kDbReadFailure);
    step(Op(kTableUserPackage, kClassRead, kOpGetEqual, 6, U32(1) + U32(10) + U32(1) + U32(6)), kDbReadFailure);
    proto::Reply r = step(Op(kTableUserPackage, kClassInsert, kOpInsert, 0, U32(0), Bytes(m, kTableUserPackage)), kDbWriteFailure);
    UserPackageRecord done = m;
    if (r.status == kDbOk) done = Rec<UserPackageRecord>(r.data);
    newRow = done.RecordId;
    step(Op(kTableUserPackage, kClassRead, kOpGetEqual, 0, U32(newRow)), kDbReadFailure);
    done.PackageStatus = 1;
    step(Op(kTableUserPackage, kClassRewrite, kOpGetEqual, 0, U32(newRow), Bytes(done, kTableUserPackage)), kDbWriteFailure);
    step(Op(kTableHistoryText, kClassInsert, kOpInsert, 0, U32(0), Bytes(text, kTableHistoryText)), kDbWriteFailure);
    std::string before = DatabaseDigest(dir + "/db" + std::to_string(failAt));
    if (!store.Import(doc, error)) {
      ++failures;
      EXPECT_EQ(DatabaseDigest(dir + "/db" + std::to_string(failAt)), before) << "import half done at " << failAt;
    }
  };
  auto clean = Fresh("db0");
  ASSERT_TRUE(clean);
  uint64_t start = clean->EngineCalls();
  int failures = 0;
  run(*clean, 0, failures);
  ASSERT_EQ(failures, 0);
  uint64_t calls = clean->EngineCalls() - start;
  ASSERT_GT(calls, 20u);
  for (uint64_t n = 1; n <= calls; ++n) {
    auto store = Fresh("db" + std::to_string(n));
    ASSERT_TRUE(store);
    failures = 0;
    run(*store, n, failures);
    EXPECT_EQ(failures, 1) << "call " << n << " of " << calls;
  }
}

TEST_F(Faults, WritesArrivingTogetherShareACommit) {
  auto store = Fresh("group.db");
  const TableDef& t = *FindTable(kTableHistoryText);
  for (uint64_t failAt : {uint64_t(0), uint64_t(57)}) {
    if (failAt) store->FailEngineCall(store->EngineCalls() + failAt);
    uint64_t commits = store->Commits();
    std::vector<std::promise<int32_t>> done(100);
    for (auto& p : done) {
      HistoryTextRecord h;
      CopyText(h.Text, sizeof h.Text, "x");
      store->Insert(t, Bytes(h, kTableHistoryText), [&p](int32_t s, const dblink::Row&) { p.set_value(s); });
    }
    int ok = 0, failed = 0;
    for (auto& p : done) (p.get_future().get() == kDbOk ? ok : failed)++;
    EXPECT_LT(store->Commits() - commits, 50u) << "one commit per write";
    EXPECT_EQ(failed, failAt ? 1 : 0);
    EXPECT_EQ(ok + failed, 100);
  }
  store.reset();
  EXPECT_EQ(CountRows(dir + "/group.db", "history_texts"), 199);
}

}  // namespace
