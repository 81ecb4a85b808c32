// What workstations may write: their own status rows (kind 6 and 8, status 0-5, the one
// workstation a connection names), history and history texts, with ids assigned by the
// database, at a bounded rate. Every refusal is 10601 and leaves the database as it was.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;

namespace {

constexpr uint32_t kUser = 6, kMachine = 8, kUsers = kTableUserPackage;

UserPackageRecord StatusRow(uint32_t kind, const char* name, const char* counterpart, uint16_t status = 0) {
  UserPackageRecord r;
  r.RecordId = 777;  // ignored: the database assigns ids
  r.PackageUserId = 888;
  r.ServerId = 1;
  r.PackageId = 20;
  r.PackageStatus = status;
  r.TargetKind = kind;
  CopyText(r.TargetName, sizeof r.TargetName, name);
  CopyText(r.Counterpart, sizeof r.Counterpart, counterpart);
  r.SourceRef = 49;
  return r;
}

std::string Text(const char* text) {
  HistoryTextRecord t;
  t.TextId = 4242;  // ignored
  t.ServerId = 1;
  CopyText(t.Text, sizeof t.Text, text);
  return Bytes(t, kTableHistoryText);
}

class Writes : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> extra = {}) {
    Json seed = SampleSeed();
    ASSERT_TRUE(d.Start(&seed, false, extra)) << d.Log();
    ASSERT_TRUE(c.Connect(d.port));
  }
  // A write; when it is refused, nothing may have changed.
  int32_t Write(uint32_t table, uint32_t id, const std::string& rec, std::string* out = nullptr) {
    std::string before = DatabaseDigest(d.db);
    int32_t s = id ? c.Op(table, kClassRewrite, kOpGetEqual, 0, U32(id), rec, out)
                   : c.Op(table, kClassInsert, kOpInsert, 0, U32(0), rec, out);
    if (s != kDbOk) EXPECT_EQ(DatabaseDigest(d.db), before) << "a refused write changed the database";
    return s;
  }
  UserPackageRecord Stored(uint32_t id) {
    std::string rec;
    EXPECT_EQ(c.Read(kUsers, kOpGetEqual, 0, U32(id), &rec), kDbOk);
    return Rec<UserPackageRecord>(rec);
  }
  Daemon d;
  Client c;
};

// Each case runs on a connection of its own, its steps in order: the first write that
// names a machine id binds the connection to it. Rewrites edit the stored row.
TEST_F(Writes, StatusRowsOfOneWorkstationPerConnection) {
  Start();
  using Edit = std::function<void(UserPackageRecord&)>;
  struct Step { uint32_t id; UserPackageRecord row; Edit edit; int32_t status; };
  auto ins = [](UserPackageRecord r, int32_t st) { return Step{0, r, nullptr, st}; };
  auto rw = [](uint32_t id, Edit e, int32_t st) { return Step{id, {}, e, st}; };
  auto status = [](uint16_t s) { return [s](UserPackageRecord& u) { u.PackageStatus = s; }; };
  auto counterpart = [](const char* c) { return [c](UserPackageRecord& u) { CopyText(u.Counterpart, sizeof u.Counterpart, c); }; };
  struct Case { const char* what; std::vector<Step> steps; };
  const Case cases[] = {
      {"a machine row binds; its user rows follow; another machine's rows are refused",
       {ins(StatusRow(kMachine, "WS0000000001", "bob"), kDbOk), ins(StatusRow(kUser, "bob", "ws0000000001"), kDbOk),
        ins(StatusRow(kUser, "bob", "00A0C9123456"), kDbOk),  // a node address names no machine
        ins(StatusRow(kMachine, "WS0000000002", "bob"), kDbReadOnly),
        // MACHINE00001 is a machine the database knows for package 10.
        ins([] { auto r = StatusRow(kUser, "bob", "machine00001"); r.PackageId = 10; return r; }(), kDbReadOnly),
        rw(5, status(4), kDbReadOnly)}},
      {"status above 5, a machine row naming no machine",
       {ins(StatusRow(kMachine, "WS0000000003", "", 6), kDbReadOnly), rw(5, status(6), kDbReadOnly),
        rw(5, status(0xFFFF), kDbReadOnly), ins(StatusRow(kMachine, "", ""), kDbReadOnly),
        ins(StatusRow(kMachine, "WS0000000003", "", 5), kDbOk)}},
      {"a row stays on its workstation",
       {ins(StatusRow(kMachine, "WS0000000004", ""), kDbOk), rw(8, counterpart("WS0000000004"), kDbReadOnly)}},
      {"an unbound rewrite binds", {rw(8, status(4), kDbOk), rw(5, status(2), kDbOk),
                                    ins(StatusRow(kMachine, "WS0000000005", ""), kDbReadOnly),
                                    rw(8, counterpart("MACHINE00009"), kDbReadOnly), rw(8, counterpart(""), kDbReadOnly)}},
      {"only kinds 6 and 8", {ins(StatusRow(5, "PLX_EVERYONE", ""), kDbReadOnly), ins(StatusRow(7, "SITE-A", ""), kDbReadOnly),
                              rw(6, status(1), kDbReadOnly), rw(3, status(1), kDbReadOnly)}},
      {"a targeting row takes an outcome, never a new target",
       {rw(1, [](UserPackageRecord& u) { u.PackageStatus = 1; u.RefusalCount = 1; u.FailureCount = 2; CopyText(u.Counterpart, sizeof u.Counterpart, "0123456789AB"); }, kDbOk),
        rw(1, [](UserPackageRecord& u) { CopyText(u.TargetName, sizeof u.TargetName, "bob"); }, kDbReadOnly),  // case counts
        rw(1, [](UserPackageRecord& u) { u.Scheduled = 0; }, kDbReadOnly),
        rw(1, [](UserPackageRecord& u) { u.SourceRef = 1; }, kDbReadOnly)}},
      {"no targeting rows from workstations",
       {ins([] { auto r = StatusRow(kUser, "x", ""); r.Scheduled = 1; return r; }(), kDbReadOnly),
        rw(8, [](UserPackageRecord& u) { u.Scheduled = 1; }, kDbReadOnly), rw(99, status(1), kDbNotFound)}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    ASSERT_TRUE(c.Connect(d.port));
    for (size_t i = 0; i < k.steps.size(); ++i) {
      const Step& s = k.steps[i];
      UserPackageRecord u = s.id ? Stored(s.id == 99 ? 5 : s.id) : s.row;
      if (s.edit) s.edit(u);
      std::string out;
      EXPECT_EQ(Write(kUsers, s.id, Bytes(u, kUsers), &out), s.status) << "step " << i;
      if (s.status != kDbOk) continue;
      // The reply is the stored record: ids assigned on insert, the rest as sent.
      auto got = Rec<UserPackageRecord>(out);
      uint32_t id = s.id ? s.id : got.RecordId;
      EXPECT_EQ(Bytes(Stored(id), kUsers), out);
      if (!s.id) EXPECT_GT(id, 8u);
      u.RecordId = id;
      u.PackageUserId = s.id ? u.PackageUserId : id;  // a status row's PackageUserId is its RecordId
      EXPECT_EQ(out, Bytes(u, kUsers));
    }
  }
}

TEST_F(Writes, AdministratorsTablesAreReadOnlyHistoryIsAppended) {
  Start();
  for (uint32_t table : {uint32_t(kTableServer), uint32_t(kTablePackage), uint32_t(kTableDependency), uint32_t(kTableTask)})
    EXPECT_EQ(Write(table, 0, std::string(RecordLength(table), '\0')), kDbReadOnly) << table;
  EXPECT_EQ(Write(kTableTask, 3, std::string(RecordLength(kTableTask), '\0')), kDbReadOnly);
  EXPECT_EQ(Write(kTableHistoryText, 1, Text("x")), kDbReadOnly);
  std::string rec;
  uint32_t rowId = 0;
  for (uint32_t want : {1u, 2u}) {
    ASSERT_EQ(c.Op(kTableHistoryText, kClassInsert, kOpInsert, 0, U32(0), Text("Installed."), &rec, &rowId), kDbOk);
    EXPECT_EQ(Rec<HistoryTextRecord>(rec).TextId * 10 + rowId, want * 11);
  }
  HistoryRecord h;
  h.ServerId = 1;
  h.TextId = 1;
  h.PackageId = 10;
  memcpy(h.Date, "19980307", 8);  // the full field, no terminator
  CopyText(h.NodeAddress, sizeof h.NodeAddress, "00A0C9112233");
  ASSERT_EQ(c.Op(kTableHistory, kClassInsert, kOpInsert, 0, U32(0), Bytes(h, kTableHistory), &rec), kDbOk);
  EXPECT_EQ(rec, Bytes(h, kTableHistory));  // nothing assigned in a history row
}

TEST_F(Writes, AFloodPastTheLimitIsRefused) {
  Start({"--write-rate", "2", "--write-burst", "20"});
  Client other;
  ASSERT_TRUE(other.Connect(d.port));
  auto text = [](Client& on) { return on.Op(kTableHistoryText, kClassInsert, kOpInsert, 0, U32(0), Text("flood")); };
  for (int i = 0; i < 20; ++i) ASSERT_EQ(text(c), kDbOk) << i;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(text(c), kDbReadOnly);
  EXPECT_EQ(c.Op(kUsers, kClassInsert, kOpInsert, 0, U32(0), Bytes(StatusRow(kMachine, "WS0000000001", "", 1), kUsers)), kDbReadOnly);
  UserPackageRecord row5 = Stored(5);
  row5.PackageStatus = 3;
  EXPECT_EQ(c.Op(kUsers, kClassRewrite, kOpGetEqual, 0, U32(5), Bytes(row5, kUsers)), kDbReadOnly);
  EXPECT_EQ(CountRows(d.db, "history_texts") * 100 + CountRows(d.db, "package_users"), 2008);
  EXPECT_EQ(Stored(5).PackageStatus, 1);
  EXPECT_EQ(text(other), kDbOk);  // per connection
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // the budget refills
  EXPECT_EQ(text(c), kDbOk);
}

// Reads answered in rounds share a snapshot, yet a read sent right behind a write on the
// same connection (without waiting for its reply) finds it, and so does another
// connection's read once the write is acknowledged, while other readers keep every
// worker's rounds busy.
TEST_F(Writes, ReadsSeeTheWritesAcknowledgedBeforeThem) {
  Start();
  std::atomic<bool> stop{false};
  std::atomic<int> readerFailures{0};
  // Stopped and joined on every way out, an assertion's early return too.
  struct Readers {
    std::atomic<bool>& stop;
    std::vector<std::thread> threads;
    void Join() {
      stop = true;
      for (auto& t : threads)
        if (t.joinable()) t.join();
    }
    ~Readers() { Join(); }
  } readers{stop, {}};
  for (int i = 0; i < 4; ++i)
    readers.threads.emplace_back([&] {
      Client r;
      if (!r.Connect(d.port)) { readerFailures++; return; }
      while (!stop)
        if (r.Read(kTablePackage, kOpGetFirst, 4, U32(0)) != kDbOk) readerFailures++;
    });
  Client other;
  ASSERT_TRUE(other.Connect(d.port));
  auto request = [](uint32_t cls, uint32_t op, const std::string& key, const std::string& data) {
    proto::Request q;
    q.call = proto::kCallOperation;
    q.table = kTableHistoryText;
    q.cls = cls;
    q.op = op;
    q.key = key;
    q.data = data;
    q.recordLength = RecordLength(kTableHistoryText);
    return proto::EncodeRequest(q);
  };
  std::string rec;
  ASSERT_EQ(c.Op(kTableHistoryText, kClassInsert, kOpInsert, 0, U32(0), Text("first"), &rec), kDbOk);
  uint32_t id = Rec<HistoryTextRecord>(rec).TextId;
  for (int i = 0; i < 40; ++i) {
    std::string text = "write " + std::to_string(i);
    ++id;  // ids are max + 1, and only this test writes
    ASSERT_TRUE(c.Send(request(kClassInsert, kOpInsert, U32(0), Text(text.c_str())) +
                       request(kClassRead, kOpGetEqual, U32(id), "")));
    proto::Reply wrote, read;
    ASSERT_TRUE(c.ReadReply(wrote) && c.ReadReply(read));
    ASSERT_EQ(wrote.status, kDbOk);
    ASSERT_EQ(Rec<HistoryTextRecord>(wrote.data).TextId, id);
    EXPECT_EQ(read.status, kDbOk) << "own write, pipelined, step " << i;
    EXPECT_EQ(read.data, wrote.data);
    EXPECT_EQ(other.Read(kTableHistoryText, kOpGetEqual, 0, U32(id), &rec), kDbOk) << "other connection, step " << i;
    EXPECT_EQ(Rec<HistoryTextRecord>(rec).Text, text);
  }
  readers.Join();
  EXPECT_EQ(readerFailures, 0);
}

}  // namespace
