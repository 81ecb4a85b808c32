// What a workstation reads from a running dblinkd: every call, key and operation the agent
// uses, in typed key order, and the statuses of requests that are wrong in shape.
#include <gtest/gtest.h>

#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;
namespace proto = plx::proto;

namespace {

constexpr uint32_t kUsers = kTableUserPackage;

class Reads : public SeededSuite {
 protected:
};

TEST_F(Reads, CallsOtherThanOperations) {
  struct Case { uint16_t call, version; std::string key, data; int32_t status; const char *first, *second; };
  const Case cases[] = {
      {proto::kCallHello, proto::kVersion, "", "", kDbOk, nullptr, nullptr},
      {proto::kCallHello, 2, "", "", kDbInitFailed, nullptr, nullptr},
      {99, proto::kVersion, "", "", kDbInvalidOperation, nullptr, nullptr},  // answered; the link lives on
      {proto::kCallConnect, 1, "srv", "kvr610", kDbOk, nullptr, nullptr},
      {proto::kCallConnect, 1, std::string("SRV\0junk", 8), std::string("KVR610\0", 7), kDbOk, nullptr, nullptr},
      {proto::kCallConnect, 1, "PATHONLY", "KVR610", kDbOk, nullptr, nullptr},  // known by an installed path
      {proto::kCallConnect, 1, "NOWHERE", "KVR610", kDbServerInitFailed, nullptr, nullptr},
      {proto::kCallConnect, 1, "SRV", "WORD", kDbProductUnknown, nullptr, nullptr},
      {proto::kCallConnect, 1, "", "KVR610", kDbNoServerName, nullptr, nullptr},
      {proto::kCallConnect, 1, "SRV", "", kDbNoProductName, nullptr, nullptr},
      {proto::kCallGetPath, 1, "SRV", "KVR610", kDbOk, "SYS:\\APPS\\PLIVEX", "PLIVEX.CFG"},
      {proto::kCallGetPath, 1, "srv", "SISITE", kDbOk, "", "SITE-A"},
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
      EXPECT_EQ(a + "|" + b, std::string(k.first) + "|" + k.second);
    }
  }
}

// The first read, then get-next from each row read until 10612 ends the index: the row
// ids in order (equal keys in row id order). One row id: a single read.
TEST_F(Reads, ReadsAndWalksFollowTypedKeyOrder) {
  const std::string full7 = Name7(1, 10, 6, "zzz");
  struct Case { uint32_t table, keyNo, op; std::string key; std::vector<uint32_t> rowIds; bool walk; };
  const Case cases[] = {
      {kTableServer, 3, kOpGetEqual, Key({}, "srv", 48), {1}, false},
      {kTableServer, 3, kOpGetEqual, Key({}, "NOPE", 48), {}, false},
      {kTablePackage, 5, kOpGetEqual, Key({2, 10}), {5}, false},
      {kTablePackage, 5, kOpGetEqual, Key({1, 3000000000u}), {3}, false},  // above 2^31: unsigned
      {kTablePackage, 5, kOpGetEqual, Key({3, 10}), {}, false},
      {kUsers, 0, kOpGetEqual, U32(5), {5}, false},
      {kUsers, 0, kOpGetEqual, U32(99), {}, false},
      {kUsers, 6, kOpGetEqual, Key({1, 10, 1, 9}), {}, false},
      {kUsers, 7, kOpGetGreaterEq, Name7(1, 10, 6, "bob"), {1}, false},  // names ignore case
      {kUsers, 7, kOpGetGreaterEq, Name7(1, 10, 6, "B"), {1}, false},    // "Bob" > "ALICE2" though 'B' < 'a'
      {kUsers, 7, kOpGetGreaterEq, Name7(1, 10, 9, ""), {7}, false},
      // A partial key compares only the fields it covers completely.
      {kUsers, 7, kOpGetGreaterEq, full7.substr(0, 14), {2}, false},
      {kUsers, 7, kOpGetGreaterEq, full7.substr(0, 8), {3}, false},  // kind 5 sorts first
      {kUsers, 7, kOpGetGreaterEq, "", {3}, false},
      {kUsers, 7, kOpGetGreaterEq, full7, {6}, false},
      {kUsers, 7, kOpGetGreaterEq, Name7(1, 20, 6, "zzz"), {}, false},
      {kTablePackage, 4, kOpGetFirst, U32(0), {2, 5, 4, 1, 3}, true},
      {kUsers, 6, kOpGetEqual, Key({1, 10, 1, 6}), {1, 2, 4, 6, 7}, true},
      {kUsers, 6, kOpGetFirst, Key({0, 0, 0, 0}), {8, 5, 3, 1, 2, 4, 6, 7}, true},
      {kUsers, 7, kOpGetGreaterEq, Name7(1, 10, 6, "ALICE"), {2, 8, 4, 1, 6, 5, 7}, true},
      {kTableDependency, 8, kOpGetEqual, Key({1, 10}), {1, 3, 2}, true},
      {kTableDependency, 8, kOpGetEqual, Key({1, 11}), {}, true},
      {kTableTask, 8, kOpGetEqual, Key({1, 10}), {3, 5, 4}, true},
  };
  for (const Case& k : cases) {
    std::vector<uint32_t> got;
    std::string rec;
    uint32_t rowId = 0;
    int32_t s = c.Read(k.table, k.op, k.keyNo, k.key, &rec, &rowId);
    for (int guard = 0; s == kDbOk && guard < 20; ++guard) {
      got.push_back(rowId);
      EXPECT_EQ(rec.size(), RecordLength(k.table));
      if (!k.walk) break;
      const std::string key = KeyOf(*FindTable(k.table)->Key(k.keyNo), reinterpret_cast<const uint8_t*>(rec.data()));
      s = c.Op(k.table, kClassRead, kOpGetNext, k.keyNo, key, "", &rec, &rowId, rowId);
    }
    if (k.walk || k.rowIds.empty()) EXPECT_EQ(s, kDbNotFound);
    EXPECT_EQ(got, k.rowIds) << k.table << "/" << k.keyNo << " " << k.key.size();
  }
}

TEST_F(Reads, RecordsCarryTheImportedValues) {
  std::string rec;
  ASSERT_EQ(c.Read(kTablePackage, kOpGetEqual, 5, Key({1, 10}), &rec), kDbOk);
  auto p = Rec<PackageRecord>(rec);
  EXPECT_STREQ(p.Name, "Office 97");
  EXPECT_STREQ(p.InstallPath, "C:\\OFFICE");
  // Worked by hand: dates as year-of-century, month, day; 3 refusals and 2 failures; options 0xA000.
  const int got[] = {p.Status, p.StartDate[0], p.StartDate[1], p.StartDate[2], p.ForceDate[0], p.ForceDate[2],
                     p.TimeTo[0], p.TimeTo[1], p.TimeTo[2], int(p.MaxRefusals), int(p.MaxFailures), int(p.Options),
                     int(p.TargetOs), int(p.Flags)};
  EXPECT_EQ(std::vector<int>(std::begin(got), std::end(got)),
            (std::vector<int>{'A', 97, 11, 4, 98, 7, 17, 30, 15, 3, 2, 0xA000, 6, 0x200}));
  for (int i : {0, 1, 2, 3, 8, 11, 100, 103, 373, 380}) EXPECT_EQ(rec[size_t(i)], 0) << i;  // unused bytes

  ASSERT_EQ(c.Read(kUsers, kOpGetEqual, 0, U32(5), &rec), kDbOk);
  auto u = Rec<UserPackageRecord>(rec);
  EXPECT_EQ(u.PackageUserId + u.PackageStatus + u.SourceRef, 1005u + 1 + 35);
  EXPECT_EQ(std::string(u.TargetName) + "/" + u.Counterpart, "MACHINE00001/alice");

  ASSERT_EQ(c.Read(kTableTask, kOpGetEqual, 8, Key({1, 10}), &rec), kDbOk);
  auto t = Rec<PackageTaskRecord>(rec);
  EXPECT_EQ(std::string(t.TaskName) + "|" + t.TaskArgs, "SETUP.EXE|/Q /NOREBOOT");
  EXPECT_EQ(t.TaskType * 10 + t.TaskFlags, 33u);
}

// Checked in this order: table, class/operation, key number, key length, record length,
// data length. The connection survives them all.
TEST_F(Reads, WrongShapesGetTheirStatus) {
  struct Case { uint32_t table, cls, op, keyNo; std::string key; size_t data; int32_t recLen, status; };
  const Case cases[] = {
      {301, kClassRead, kOpGetFirst, 4, U32(0), 0, 395, kDbInvalidTable},
      {kTablePackage, kClassRead, kOpInsert, 4, U32(0), 0, -1, kDbInvalidOperation},
      {kTablePackage, 102, kOpGetFirst, 4, U32(0), 0, -1, kDbInvalidOperation},
      {kTablePackage, kClassRewrite, kOpGetNext, 4, U32(0), 395, -1, kDbInvalidOperation},
      {kTablePackage, kClassRead, kOpGetFirst, 6, U32(0), 0, -1, kDbInvalidKey},
      {kTableHistory, kClassRead, kOpGetFirst, 0, U32(0), 0, -1, kDbInvalidKey},
      {kTablePackage, kClassRewrite, kOpGetEqual, 4, U32(10), 395, -1, kDbInvalidKey},
      {kUsers, kClassRewrite, kOpGetEqual, 6, Key({0, 0, 0, 0}), 277, -1, kDbInvalidKey},
      {kTableHistory, kClassInsert, kOpInsert, 6, U32(0), 326, -1, kDbInvalidKey},
      {kTablePackage, kClassRead, kOpGetFirst, 4, std::string(3, '\0'), 0, -1, kDbInvalidFieldLength},
      {kTablePackage, kClassRead, kOpGetEqual, 5, std::string(9, '\0'), 0, -1, kDbInvalidFieldLength},
      {kUsers, kClassRead, kOpGetGreaterEq, 7, std::string(223, '\0'), 0, -1, kDbInvalidFieldLength},
      {kUsers, kClassRead, kOpGetNext, 7, std::string(12, '\0'), 0, -1, kDbInvalidFieldLength},
      {kTableHistory, kClassInsert, kOpInsert, 0, "", 326, -1, kDbInvalidFieldLength},
      {kTablePackage, kClassRead, kOpGetFirst, 4, U32(0), 0, 394, kDbRecordBufferTooSmall},
      {kUsers, kClassRewrite, kOpGetEqual, 0, U32(8), 277, 276, kDbRecordBufferTooSmall},
      {kTablePackage, kClassRead, kOpGetFirst, 4, U32(0), 1, -1, kDbInvalidOperation},
      {kTableHistory, kClassInsert, kOpInsert, 0, U32(0), 325, 326, kDbInvalidOperation},
  };
  for (const Case& k : cases)
    EXPECT_EQ(c.Op(k.table, k.cls, k.op, k.keyNo, k.key, std::string(k.data, '\0'), nullptr, nullptr, 0, k.recLen),
              k.status) << k.table << " " << k.cls << "/" << k.op << " key " << k.keyNo;
  uint32_t rowId = 0;
  EXPECT_EQ(c.Read(kTablePackage, kOpGetFirst, 4, U32(0), nullptr, &rowId), kDbOk);
  EXPECT_EQ(rowId, 2u);
}

}  // namespace
