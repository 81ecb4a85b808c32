// What workstations may write: their own status rows (kind 6 and 8, status 0-5, the one
// workstation a connection names), history and history texts, with ids assigned by the
// database, at a bounded rate. Every refusal is 10601 and leaves the database as it was.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "plx/bytes.h"
#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;

namespace {

constexpr uint32_t kUser = 6, kMachine = 8;

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
  r.RowFlags = 1;
  return r;
}

class Writes : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> extra = {}) {
    Json seed = SampleSeed();
    ASSERT_TRUE(d.Start(&seed, true, extra)) << ReadFile(d.log);
  }
  // A write; when it is refused, nothing may have changed.
  int32_t Write(Client& c, bool insert, uint32_t id, const UserPackageRecord& u, std::string* out = nullptr) {
    std::string before = DatabaseDigest(d.db);
    int32_t s = insert ? c.Op(kTableUserPackage, kClassInsert, kOpInsert, 0, U32(0), Bytes(u, kTableUserPackage), out)
                       : c.Op(kTableUserPackage, kClassRewrite, kOpGetEqual, 0, U32(id), Bytes(u, kTableUserPackage), out);
    if (s != kDbOk) EXPECT_EQ(DatabaseDigest(d.db), before) << "a refused write changed the database";
    return s;
  }
  UserPackageRecord Stored(Client& c, uint32_t id) {
    std::string rec;
    EXPECT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetEqual, 0, U32(id), "", &rec), kDbOk);
    return Rec<UserPackageRecord>(rec);
  }
  Daemon d;
};

// Each case runs on a connection of its own, its steps in order: the first write that
// names a machine id binds the connection to it.
TEST_F(Writes, StatusRowsOfOneWorkstationPerConnection) {
  Start();
  using Edit = std::function<void(UserPackageRecord&)>;
  struct Step { bool insert; uint32_t id; UserPackageRecord row; Edit edit; int32_t status; };
  auto ins = [](UserPackageRecord r, int32_t st) { return Step{true, 0, r, nullptr, st}; };
  auto rw = [](uint32_t id, Edit e, int32_t st) { return Step{false, id, {}, e, st}; };
  auto status = [](uint16_t s) { return [s](UserPackageRecord& u) { u.PackageStatus = s; }; };
  auto counterpart = [](const char* c) { return [c](UserPackageRecord& u) { CopyText(u.Counterpart, sizeof u.Counterpart, c); }; };
  struct Case { const char* what; std::vector<Step> steps; };
  const Case cases[] = {
      {"a machine row binds; its user rows follow; another machine's rows are refused",
       {ins(StatusRow(kMachine, "WS0000000001", "bob"), kDbOk), ins(StatusRow(kUser, "bob", "WS0000000001"), kDbOk),
        ins(StatusRow(kUser, "bob", "00A0C9123456"), kDbOk),  // a node address names no machine
        ins(StatusRow(kMachine, "WS0000000002", "bob"), kDbReadOnly),
        // MACHINE00001 is a machine the database knows for package 10.
        ins([] { auto r = StatusRow(kUser, "bob", "machine00001"); r.PackageId = 10; return r; }(), kDbReadOnly),
        rw(5, status(4), kDbReadOnly)}},
      {"status above 5, a machine row naming no machine",
       {ins(StatusRow(kMachine, "WS0000000003", "", 6), kDbReadOnly), rw(5, status(6), kDbReadOnly),
        rw(5, status(0xFFFF), kDbReadOnly), ins(StatusRow(kMachine, "", ""), kDbReadOnly)}},
      {"a row stays on its workstation",
       {ins(StatusRow(kMachine, "WS0000000004", ""), kDbOk), rw(8, counterpart("WS0000000004"), kDbReadOnly)}},
      {"an unbound rewrite binds", {rw(8, status(4), kDbOk), rw(5, status(2), kDbOk),
                                    ins(StatusRow(kMachine, "WS0000000005", ""), kDbReadOnly),
                                    rw(8, counterpart("MACHINE00009"), kDbReadOnly), rw(8, counterpart(""), kDbReadOnly)}},
      {"only kinds 6 and 8", {ins(StatusRow(5, "PLX_EVERYONE", ""), kDbReadOnly), ins(StatusRow(7, "SITE-A", ""), kDbReadOnly),
                              rw(6, status(1), kDbReadOnly), rw(3, status(1), kDbReadOnly)}},
      {"a targeting row takes an outcome, never a new target",
       {rw(1, [](UserPackageRecord& u) { u.PackageStatus = 1; u.RefusalCount = 1; CopyText(u.Counterpart, sizeof u.Counterpart, "0123456789AB"); }, kDbOk),
        rw(1, [](UserPackageRecord& u) { CopyText(u.TargetName, sizeof u.TargetName, "bob"); }, kDbReadOnly),  // case counts
        rw(1, [](UserPackageRecord& u) { u.Scheduled = 0; }, kDbReadOnly),
        rw(1, [](UserPackageRecord& u) { u.SourceRef = 1; }, kDbReadOnly)}},
      {"no targeting rows from workstations",
       {ins([] { auto r = StatusRow(kUser, "x", ""); r.Scheduled = 1; return r; }(), kDbReadOnly),
        rw(8, [](UserPackageRecord& u) { u.Scheduled = 1; }, kDbReadOnly), rw(99, status(1), kDbNotFound)}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    Client c;
    ASSERT_TRUE(c.Connect(d.port));
    for (size_t i = 0; i < k.steps.size(); ++i) {
      const Step& s = k.steps[i];
      UserPackageRecord u = s.insert ? s.row : (s.id == 99 ? Stored(c, 5) : Stored(c, s.id));
      if (s.edit) s.edit(u);
      std::string out;
      EXPECT_EQ(Write(c, s.insert, s.id, u, &out), s.status) << "step " << i;
      if (s.status != kDbOk) continue;
      // The reply is the stored record: ids assigned on insert, kept on rewrite.
      auto got = Rec<UserPackageRecord>(out);
      uint32_t id = s.insert ? got.RecordId : s.id;
      EXPECT_EQ(Bytes(Stored(c, id), kTableUserPackage), out);
      if (s.insert) {
        EXPECT_GT(id, 8u);
        EXPECT_EQ(got.PackageUserId, id);
        EXPECT_EQ(got.SourceRef, 49u);
      } else {
        EXPECT_EQ(got.RecordId, s.id);
        EXPECT_EQ(got.PackageStatus, u.PackageStatus);
        EXPECT_STREQ(got.Counterpart, u.Counterpart);
      }
    }
  }
}

TEST_F(Writes, AdministratorsTablesAreReadOnly) {
  Start();
  Client c;
  ASSERT_TRUE(c.Connect(d.port));
  const std::string before = DatabaseDigest(d.db);
  for (uint32_t table : {uint32_t(kTableServer), uint32_t(kTablePackage), uint32_t(kTableDependency), uint32_t(kTableTask)})
    EXPECT_EQ(c.Op(table, kClassInsert, kOpInsert, 0, U32(0), std::string(RecordLength(table), '\0')), kDbReadOnly) << table;
  EXPECT_EQ(c.Op(kTableTask, kClassRewrite, kOpGetEqual, 0, U32(3), std::string(478, '\0')), kDbReadOnly);
  EXPECT_EQ(DatabaseDigest(d.db), before);
}

TEST_F(Writes, HistoryTextAndEntry) {
  Start();
  Client c;
  ASSERT_TRUE(c.Connect(d.port));
  HistoryTextRecord t;
  t.TextId = 4242;  // ignored
  t.ServerId = 1;
  CopyText(t.Text, sizeof t.Text, "Package Office 97 installed successfully.");
  std::string rec;
  uint32_t rowId = 0;
  for (uint32_t want : {1u, 2u}) {
    ASSERT_EQ(c.Op(kTableHistoryText, kClassInsert, kOpInsert, 0, U32(0), Bytes(t, kTableHistoryText), &rec, &rowId), kDbOk);
    EXPECT_EQ(Rec<HistoryTextRecord>(rec).TextId, want);
    EXPECT_EQ(rowId, want);
  }
  HistoryRecord h;
  h.ServerId = 1;
  h.TextId = 1;
  h.PackageId = 10;
  memcpy(h.Date, "19980307", 8);  // the full field, no terminator
  CopyText(h.Time, sizeof h.Time, "090503");
  CopyText(h.NodeAddress, sizeof h.NodeAddress, "00A0C9112233");
  std::string sent = Bytes(h, kTableHistory);
  ASSERT_EQ(c.Op(kTableHistory, kClassInsert, kOpInsert, 0, U32(0), sent, &rec), kDbOk);
  EXPECT_EQ(rec, sent);  // nothing assigned in a history row
}

TEST_F(Writes, AFloodPastTheLimitIsRefused) {
  Start({"--write-rate", "2", "--write-burst", "20"});
  Client c, other;
  ASSERT_TRUE(c.Connect(d.port));
  ASSERT_TRUE(other.Connect(d.port));
  HistoryTextRecord t;
  CopyText(t.Text, sizeof t.Text, "flood");
  std::string text = Bytes(t, kTableHistoryText);
  for (int i = 0; i < 20; ++i) ASSERT_EQ(c.Op(kTableHistoryText, kClassInsert, kOpInsert, 0, U32(0), text), kDbOk) << i;
  const std::string before = DatabaseDigest(d.db);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(c.Op(kTableHistoryText, kClassInsert, kOpInsert, 0, U32(0), text), kDbReadOnly);
  EXPECT_EQ(Write(c, true, 0, StatusRow(kMachine, "WS0000000001", "")), kDbReadOnly);
  EXPECT_EQ(DatabaseDigest(d.db), before);
  EXPECT_EQ(c.Op(kTablePackage, kClassRead, kOpGetFirst, 4, U32(0), ""), kDbOk);  // reads go on
  EXPECT_EQ(other.Op(kTableHistoryText, kClassInsert, kOpInsert, 0, U32(0), text), kDbOk);  // per connection
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // the budget refills
  EXPECT_EQ(c.Op(kTableHistoryText, kClassInsert, kOpInsert, 0, U32(0), text), kDbOk);
}

}  // namespace
