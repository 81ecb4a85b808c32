// The store under failure: every database step of a realistic run is made to fail in
// turn; each failure gives its error status and leaves nothing half written. Writes that
// arrive together are committed together, and one failing write leaves the others.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>

#include "document.h"
#include "requests.h"
#include "sqlite_store.h"
#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;
namespace proto = plx::proto;

namespace {

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

dblink::Document Doc(const Json& j) {
  dblink::Document doc;
  std::string error;
  EXPECT_TRUE(dblink::ParseDocument(Json::parse(j.dump()), doc, error)) << error;
  return doc;
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    auto store = dblink::SqliteStore::Open(seeded, error);
    ASSERT_TRUE(store && store->Import(Doc(SampleSeed()), error)) << error;
  }
  std::unique_ptr<dblink::SqliteStore> Fresh(const std::string& path) {
    std::filesystem::copy_file(seeded, path);
    std::string error;
    return dblink::SqliteStore::Open(path, error);
  }
  std::string dir = TempDir(), seeded = dir + "/seeded.db";
};

// An agent's run on one connection, then an administrator's import; the store's nth
// engine call fails (0: none). Each step gives the status a database failure must give;
// the number of steps that failed.
int AgentRun(dblink::SqliteStore& store, const std::string& db, uint64_t failAt) {
  UserPackageRecord m;
  m.ServerId = 1; m.PackageId = 20; m.TargetKind = 8;
  CopyText(m.TargetName, sizeof m.TargetName, "WS0000000001");
  HistoryTextRecord text;
  CopyText(text.Text, sizeof text.Text, "done");
  dblink::ConnectionState conn;
  if (failAt) store.FailEngineCall(store.EngineCalls() + failAt);
  int failures = 0;
  auto step = [&](const proto::Request& q, int32_t failure) {
    std::string before = DatabaseDigest(db);
    std::promise<proto::Reply> p;
    dblink::HandleRequest(store, conn, q, [&p](proto::Reply r) { p.set_value(std::move(r)); });
    proto::Reply r = p.get_future().get();
    if (r.status == failure) {
      ++failures;
      EXPECT_EQ(DatabaseDigest(db), before) << "half written at " << failAt;
    } else {
      EXPECT_TRUE(r.status == kDbOk || r.status == kDbNotFound) << r.status << " at " << failAt;
    }
    return r;
  };
  step(Call(proto::kCallConnect, "SRV", "KVR610"), kDbReadFailure);
  step(Call(proto::kCallGetPath, "SRV", "SISITE"), kDbReadFailure);
  step(Op(kTablePackage, kClassRead, kOpGetFirst, 4, U32(0)), kDbReadFailure);
  step(Op(kTableUserPackage, kClassRead, kOpGetEqual, 6, Key({1, 10, 1, 6})), kDbReadFailure);
  proto::Reply r = step(Op(kTableUserPackage, kClassInsert, kOpInsert, 0, U32(0), Bytes(m, kTableUserPackage)), kDbWriteFailure);
  if (r.status == kDbOk) m = Rec<UserPackageRecord>(r.data);
  step(Op(kTableUserPackage, kClassRead, kOpGetEqual, 0, U32(m.RecordId)), kDbReadFailure);
  m.PackageStatus = 1;
  step(Op(kTableUserPackage, kClassRewrite, kOpGetEqual, 0, U32(m.RecordId), Bytes(m, kTableUserPackage)), kDbWriteFailure);
  step(Op(kTableHistoryText, kClassInsert, kOpInsert, 0, U32(0), Bytes(text, kTableHistoryText)), kDbWriteFailure);
  std::string before = DatabaseDigest(db), error;
  Json more = {{"packages", {{{"PackageId", 40}, {"ServerId", 1}, {"Name", "Forty"}}}},
               {"package_users", {{{"ServerId", 1}, {"PackageId", 40}, {"Scheduled", 1}, {"TargetKind", 6}, {"TargetName", "dan"}}}}};
  if (!store.Import(Doc(more), error)) {
    ++failures;
    EXPECT_EQ(DatabaseDigest(db), before) << "import half done at " << failAt;
  }
  return failures;
}

TEST_F(Faults, EveryFailingStepGivesItsStatusAndWritesNothingHalf) {
  auto clean = Fresh(dir + "/db0");
  ASSERT_TRUE(clean);
  uint64_t start = clean->EngineCalls();
  ASSERT_EQ(AgentRun(*clean, dir + "/db0", 0), 0);
  uint64_t calls = clean->EngineCalls() - start;
  ASSERT_GT(calls, 20u);
  for (uint64_t n = 1; n <= calls; ++n) {
    std::string db = dir + "/db" + std::to_string(n);
    auto store = Fresh(db);
    ASSERT_TRUE(store);
    EXPECT_EQ(AgentRun(*store, db, n), 1) << "call " << n << " of " << calls;
  }
}

TEST_F(Faults, WritesArrivingTogetherShareACommit) {
  auto store = Fresh(dir + "/group.db");
  HistoryTextRecord h;
  CopyText(h.Text, sizeof h.Text, "x");
  for (uint64_t failAt : {uint64_t(0), uint64_t(57)}) {
    if (failAt) store->FailEngineCall(store->EngineCalls() + failAt);
    uint64_t commits = store->Commits();
    std::vector<std::promise<int32_t>> done(100);
    for (auto& p : done)
      store->Insert(*FindTable(kTableHistoryText), Bytes(h, kTableHistoryText), [&p](int32_t s, const dblink::Row&) { p.set_value(s); });
    int failed = 0;
    for (auto& p : done) failed += p.get_future().get() != kDbOk;
    EXPECT_LT(store->Commits() - commits, 50u) << "one commit per write";
    EXPECT_EQ(failed, failAt ? 1 : 0);
  }
  store.reset();
  EXPECT_EQ(CountRows(dir + "/group.db", "history_texts"), 199);
}

}  // namespace
