// What a workstation reads from a running dblinkd: every call, key and operation the agent
// uses, in typed key order, and the statuses of requests that are wrong in shape.
#include <gtest/gtest.h>

#include "plx/bytes.h"
#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;
namespace proto = plx::proto;

namespace {

class Reads : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    daemon = new Daemon;
    Json seed = SampleSeed();
    ASSERT_TRUE(daemon->Start(&seed)) << ReadFile(daemon->log);
  }
  static void TearDownTestSuite() { delete daemon; }
  void SetUp() override { ASSERT_TRUE(c.Connect(daemon->port)); }
  static Daemon* daemon;
  Client c;
};
Daemon* Reads::daemon = nullptr;

template <class R> std::string KeyOfRec(uint32_t table, uint32_t keyNo, const R& r) {
  return KeyBytes(table, keyNo, Bytes(r, table));
}
std::string Key5(uint32_t srv, uint32_t pkg) {
  PackageRecord p;
  p.ServerId = srv; p.PackageId = pkg;
  return KeyOfRec(kTablePackage, 5, p);
}
std::string Key6(uint32_t srv, uint32_t pkg, uint32_t kind) {
  UserPackageRecord u;
  u.ServerId = srv; u.PackageId = pkg; u.Scheduled = 1; u.TargetKind = kind;
  return KeyOfRec(kTableUserPackage, 6, u);
}
std::string Key7(uint32_t srv, uint32_t pkg, uint32_t kind, const char* name) {
  UserPackageRecord u;
  u.ServerId = srv; u.PackageId = pkg; u.TargetKind = kind;
  CopyText(u.TargetName, sizeof u.TargetName, name);
  return KeyOfRec(kTableUserPackage, 7, u);
}
std::string Key8(uint32_t srv, uint32_t pkg) { return U32(srv) + U32(pkg); }
std::string ServerKey(const char* name) {
  ServerRecord s;
  CopyText(s.ServerName, sizeof s.ServerName, name);
  return KeyOfRec(kTableServer, 3, s);
}

TEST_F(Reads, CallsOtherThanOperations) {
  struct Case { uint16_t call, version; std::string key, data; int32_t status; const char* first; const char* second; };
  const Case cases[] = {
      {proto::kCallHello, proto::kVersion, "", "", kDbOk, nullptr, nullptr},
      {proto::kCallHello, 2, "", "", kDbInitFailed, nullptr, nullptr},
      {99, proto::kVersion, "", "", kDbInvalidOperation, nullptr, nullptr},  // answered; the link lives on
      {proto::kCallConnect, 1, "SRV", "KVR610", kDbOk, nullptr, nullptr},
      {proto::kCallConnect, 1, "srv", "kvr610", kDbOk, nullptr, nullptr},
      {proto::kCallConnect, 1, std::string("SRV\0junk", 8), std::string("KVR610\0", 7), kDbOk, nullptr, nullptr},
      {proto::kCallConnect, 1, "PATHONLY", "KVR610", kDbOk, nullptr, nullptr},  // known by an installed path
      {proto::kCallConnect, 1, "NOWHERE", "KVR610", kDbServerInitFailed, nullptr, nullptr},
      {proto::kCallConnect, 1, "SRV", "WORD", kDbProductUnknown, nullptr, nullptr},
      {proto::kCallConnect, 1, "", "KVR610", kDbNoServerName, nullptr, nullptr},
      {proto::kCallConnect, 1, "SRV", "", kDbNoProductName, nullptr, nullptr},
      {proto::kCallGetPath, 1, "SRV", "KVR610", kDbOk, "SYS:\\APPS\\PLIVEX", "PLIVEX.CFG"},
      {proto::kCallGetPath, 1, "srv", "SISITE", kDbOk, "", "SITE-A"},
      {proto::kCallGetPath, 1, "SRV", "PLXONDEMAND", kDbOk, "SYS:\\PLIVEX\\ONDEMAND", ""},
      {proto::kCallGetPath, 1, "OTHER", "KVR610", kDbProductUnknown, nullptr, nullptr},
      {proto::kCallGetPath, 1, "SRV", "NOTHING", kDbProductUnknown, nullptr, nullptr},
  };
  for (const Case& k : cases) {
    proto::Request q;
    q.call = k.call; q.version = k.version; q.key = k.key; q.data = k.data;
    proto::Reply r;
    ASSERT_TRUE(c.Call(q, r)) << k.call << " " << k.key;
    EXPECT_EQ(r.status, k.status) << k.call << " " << k.key << " " << k.data;
    std::string a, b;
    if (k.first) {
      ASSERT_TRUE(proto::DecodePathAnswer(r.data, a, b));
      EXPECT_EQ(a, k.first);
      EXPECT_EQ(b, k.second);
    }
  }
}

// One read each: the row id it finds, 0 for 10612.
TEST_F(Reads, OneReadFindsTheRowOfItsKey) {
  std::string full7 = Key7(1, 10, 6, "zzz");
  struct Case { uint32_t table, keyNo, op; std::string key; uint32_t rowId; };
  const Case cases[] = {
      {kTableServer, 3, kOpGetEqual, ServerKey("srv"), 1},
      {kTableServer, 3, kOpGetEqual, ServerKey("NOPE"), 0},
      {kTablePackage, 5, kOpGetEqual, Key5(1, 10), 2},
      {kTablePackage, 5, kOpGetEqual, Key5(2, 10), 5},
      {kTablePackage, 5, kOpGetEqual, Key5(1, 3000000000u), 3},  // above 2^31: unsigned
      {kTablePackage, 5, kOpGetEqual, Key5(3, 10), 0},
      {kTableUserPackage, 0, kOpGetEqual, U32(5), 5},
      {kTableUserPackage, 0, kOpGetEqual, U32(99), 0},
      {kTableUserPackage, 6, kOpGetEqual, Key6(1, 10, 9), 0},
      {kTableUserPackage, 7, kOpGetGreaterEq, Key7(1, 10, 6, "bob"), 1},     // names ignore case
      {kTableUserPackage, 7, kOpGetGreaterEq, Key7(1, 10, 6, "B"), 1},       // "Bob" > "ALICE2" though 'B' < 'a'
      {kTableUserPackage, 7, kOpGetGreaterEq, Key7(1, 10, 6, "ALICE1"), 4},
      {kTableUserPackage, 7, kOpGetGreaterEq, Key7(1, 10, 9, ""), 7},
      {kTableUserPackage, 7, kOpGetGreaterEq, Key7(1, 20, 7, ""), 0},
      // A partial key compares only the fields it covers completely.
      {kTableUserPackage, 7, kOpGetGreaterEq, full7.substr(0, 12), 2},
      {kTableUserPackage, 7, kOpGetGreaterEq, full7.substr(0, 14), 2},
      {kTableUserPackage, 7, kOpGetGreaterEq, full7.substr(0, 221), 2},
      {kTableUserPackage, 7, kOpGetGreaterEq, full7.substr(0, 8), 3},  // kind 5 sorts first
      {kTableUserPackage, 7, kOpGetGreaterEq, "", 3},
      {kTableUserPackage, 7, kOpGetGreaterEq, full7, 6},
      {kTableUserPackage, 7, kOpGetGreaterEq, Key7(1, 20, 6, "zzz"), 0},
      {kTableDependency, 8, kOpGetEqual, Key8(1, 11), 0},
  };
  for (const Case& k : cases) {
    uint32_t rowId = 0;
    std::string rec;
    int32_t s = c.Op(k.table, kClassRead, k.op, k.keyNo, k.key, "", &rec, &rowId);
    EXPECT_EQ(s, k.rowId ? kDbOk : kDbNotFound) << k.table << "/" << k.keyNo << " expecting row " << k.rowId;
    if (k.rowId) {
      EXPECT_EQ(rowId, k.rowId) << k.table << "/" << k.keyNo;
      EXPECT_EQ(rec.size(), RecordLength(k.table));
    }
  }
}

// Walks: the first read, then 204 from each row read until 10612, which ends every index.
// Equal keys come in row id order.
TEST_F(Reads, WalksFollowTypedKeyOrder) {
  struct Case { uint32_t table, keyNo, op; std::string key; std::vector<uint32_t> rowIds; };
  const Case cases[] = {
      {kTablePackage, 4, kOpGetFirst, U32(0), {2, 5, 4, 1, 3}},
      {kTableUserPackage, 6, kOpGetEqual, Key6(1, 10, 6), {1, 2, 4, 6, 7}},
      {kTableUserPackage, 6, kOpGetFirst, std::string(16, '\0'), {8, 5, 3, 1, 2, 4, 6, 7}},
      {kTableUserPackage, 7, kOpGetGreaterEq, Key7(1, 10, 6, "ALICE"), {2, 8, 4, 1, 6, 5, 7}},
      {kTableDependency, 8, kOpGetEqual, Key8(1, 10), {1, 3, 2}},
      {kTableTask, 8, kOpGetEqual, Key8(1, 10), {3, 5, 4}},
  };
  for (const Case& k : cases) {
    std::vector<uint32_t> got;
    std::string rec;
    uint32_t rowId = 0;
    int32_t s = c.Op(k.table, kClassRead, k.op, k.keyNo, k.key, "", &rec, &rowId);
    for (int guard = 0; s == kDbOk && guard < 20; ++guard) {
      got.push_back(rowId);
      s = c.Op(k.table, kClassRead, kOpGetNext, k.keyNo, KeyBytes(k.table, k.keyNo, rec), "", &rec, &rowId, rowId);
    }
    EXPECT_EQ(s, kDbNotFound);
    EXPECT_EQ(got, k.rowIds) << k.table << "/" << k.keyNo;
  }
}

TEST_F(Reads, RecordsCarryTheImportedValues) {
  std::string rec;
  ASSERT_EQ(c.Op(kTablePackage, kClassRead, kOpGetEqual, 5, Key5(1, 10), "", &rec), kDbOk);
  auto p = Rec<PackageRecord>(rec);
  EXPECT_STREQ(p.Name, "Office 97");
  EXPECT_EQ(p.Status, 'A');
  EXPECT_EQ(std::vector<int>(p.StartDate, p.StartDate + 3), (std::vector<int>{97, 11, 4}));
  EXPECT_EQ(std::vector<int>(p.ForceDate, p.ForceDate + 3), (std::vector<int>{98, 3, 7}));
  EXPECT_EQ(std::vector<int>(p.TimeTo, p.TimeTo + 3), (std::vector<int>{17, 30, 15}));
  EXPECT_STREQ(p.InstallPath, "C:\\OFFICE");
  EXPECT_EQ(p.MaxRefusals + 10 * p.MaxFailures, 23u);
  EXPECT_EQ(p.Options, 0xA000u);
  EXPECT_EQ(p.TargetOs, 6u);
  EXPECT_EQ(p.Flags, 0x200u);
  for (int i : {0, 1, 2, 3, 8, 11, 100, 103, 373, 380}) EXPECT_EQ(rec[size_t(i)], 0) << i;  // unused bytes

  ASSERT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetEqual, 0, U32(5), "", &rec), kDbOk);
  auto u = Rec<UserPackageRecord>(rec);
  EXPECT_EQ(u.PackageUserId, 1005u);
  EXPECT_EQ(u.PackageStatus, 1);
  EXPECT_STREQ(u.TargetName, "MACHINE00001");
  EXPECT_STREQ(u.Counterpart, "alice");
  EXPECT_EQ(u.SourceRef, 35u);

  ASSERT_EQ(c.Op(kTableTask, kClassRead, kOpGetEqual, 8, Key8(1, 10), "", &rec), kDbOk);
  auto t = Rec<PackageTaskRecord>(rec);
  EXPECT_STREQ(t.TaskName, "SETUP.EXE");
  EXPECT_STREQ(t.TaskArgs, "/Q /NOREBOOT");
  EXPECT_EQ(t.TaskType * 10 + t.TaskFlags, 33u);
}

// Checked in this order: table, class/operation, key number, key length, record length,
// data length. The connection survives them all.
TEST_F(Reads, WrongShapesGetTheirStatus) {
  struct Case { uint32_t table, cls, op, keyNo; std::string key, data; int32_t recLen, status; };
  const std::string rec395(395, '\0'), rec326(326, '\0'), rec277(277, '\0');
  const Case cases[] = {
      {301, kClassRead, kOpGetFirst, 4, U32(0), "", 395, kDbInvalidTable},
      {kTablePackage, kClassRead, kOpInsert, 4, U32(0), "", -1, kDbInvalidOperation},
      {kTablePackage, 102, kOpGetFirst, 4, U32(0), "", -1, kDbInvalidOperation},
      {kTablePackage, kClassRewrite, kOpGetNext, 4, U32(0), rec395, -1, kDbInvalidOperation},
      {kTablePackage, kClassRead, kOpGetFirst, 6, U32(0), "", -1, kDbInvalidKey},
      {kTableHistory, kClassRead, kOpGetFirst, 0, U32(0), "", -1, kDbInvalidKey},
      {kTablePackage, kClassRewrite, kOpGetEqual, 4, U32(10), rec395, -1, kDbInvalidKey},
      {kTableUserPackage, kClassRewrite, kOpGetEqual, 6, std::string(16, '\0'), rec277, -1, kDbInvalidKey},
      {kTableHistory, kClassInsert, kOpInsert, 6, U32(0), rec326, -1, kDbInvalidKey},
      {kTablePackage, kClassRead, kOpGetFirst, 4, std::string(3, '\0'), "", -1, kDbInvalidFieldLength},
      {kTablePackage, kClassRead, kOpGetEqual, 5, std::string(9, '\0'), "", -1, kDbInvalidFieldLength},
      {kTableUserPackage, kClassRead, kOpGetGreaterEq, 7, std::string(223, '\0'), "", -1, kDbInvalidFieldLength},
      {kTableUserPackage, kClassRead, kOpGetNext, 7, std::string(12, '\0'), "", -1, kDbInvalidFieldLength},
      {kTableHistory, kClassInsert, kOpInsert, 0, "", rec326, -1, kDbInvalidFieldLength},
      {kTablePackage, kClassRead, kOpGetFirst, 4, U32(0), "", 394, kDbRecordBufferTooSmall},
      {kTableUserPackage, kClassRewrite, kOpGetEqual, 0, U32(8), rec277, 276, kDbRecordBufferTooSmall},
      {kTablePackage, kClassRead, kOpGetFirst, 4, U32(0), "x", -1, kDbInvalidOperation},
      {kTableHistory, kClassInsert, kOpInsert, 0, U32(0), std::string(325, '\0'), 326, kDbInvalidOperation},
  };
  for (const Case& k : cases)
    EXPECT_EQ(c.Op(k.table, k.cls, k.op, k.keyNo, k.key, k.data, nullptr, nullptr, 0, k.recLen), k.status)
        << k.table << " " << k.cls << "/" << k.op << " key " << k.keyNo;
  uint32_t rowId = 0;
  EXPECT_EQ(c.Op(kTablePackage, kClassRead, kOpGetFirst, 4, U32(0), "", nullptr, &rowId), kDbOk);
  EXPECT_EQ(rowId, 2u);
}

}  // namespace
