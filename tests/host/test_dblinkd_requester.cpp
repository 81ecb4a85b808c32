// The requester protocol against a running dblinkd: every key and operation the agent uses,
// in typed key order, with the records it imported.
#include <gtest/gtest.h>

#include <cstring>

#include "plx/bytes.h"
#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;
namespace proto = plx::proto;

namespace {

class Requester : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    daemon = new Daemon;
    Json seed = SampleSeed();
    ASSERT_TRUE(daemon->Start(&seed)) << ReadFile(daemon->log);
  }
  static void TearDownTestSuite() {
    delete daemon;
    daemon = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(c.Connect(daemon->port)); }

  // Reads with `first` (201, 202 or 207), then 204 from each row read, until 10612.
  // Returns the row ids in the order read, and the records.
  std::vector<uint32_t> Walk(uint32_t table, uint32_t keyNo, uint32_t first, const std::string& key,
                             std::vector<std::string>* records = nullptr) {
    std::vector<uint32_t> ids;
    std::string rec;
    uint32_t rowId = 0;
    int32_t s = c.Op(table, kClassRead, first, keyNo, key, "", &rec, &rowId);
    for (int guard = 0; s == kDbOk && guard < 100; ++guard) {
      EXPECT_EQ(rec.size(), RecordLength(table));
      ids.push_back(rowId);
      if (records) records->push_back(rec);
      s = c.Op(table, kClassRead, kOpGetNext, keyNo, KeyBytes(table, keyNo, rec), "", &rec, &rowId, rowId);
    }
    EXPECT_EQ(s, kDbNotFound) << "a walk ends with 10612";
    return ids;
  }

  std::string Key7(uint32_t srv, uint32_t pkg, uint32_t kind, const char* name) {
    UserPackageRecord r;
    r.ServerId = srv; r.PackageId = pkg; r.TargetKind = kind;
    CopyText(r.TargetName, sizeof r.TargetName, name);
    return KeyBytes(kTableUserPackage, 7, Bytes(r, kTableUserPackage));
  }

  static Daemon* daemon;
  Client c;
};
Daemon* Requester::daemon = nullptr;

TEST_F(Requester, HelloChecksTheVersion) {
  proto::Request q;
  proto::Reply r;
  q.call = proto::kCallHello;
  ASSERT_TRUE(c.Call(q, r));
  EXPECT_EQ(r.status, kDbOk);
  q.version = 2;
  ASSERT_TRUE(c.Call(q, r));
  EXPECT_EQ(r.status, kDbInitFailed);
  q.call = 99;  // an unknown call is answered, and the connection stays usable
  ASSERT_TRUE(c.Call(q, r));
  EXPECT_EQ(r.status, kDbInvalidOperation);
  q.call = proto::kCallHello;
  q.version = proto::kVersion;
  ASSERT_TRUE(c.Call(q, r));
  EXPECT_EQ(r.status, kDbOk);
}

TEST_F(Requester, ConnectKnowsServersAndTheProduct) {
  auto connect = [&](const std::string& server, const std::string& product) {
    proto::Request q;
    proto::Reply r;
    q.call = proto::kCallConnect;
    q.key = server;
    q.data = product;
    EXPECT_TRUE(c.Call(q, r));
    return r.status;
  };
  EXPECT_EQ(connect("SRV", "KVR610"), kDbOk);
  EXPECT_EQ(connect("srv", "kvr610"), kDbOk);
  EXPECT_EQ(connect(std::string("SRV\0junk", 8), std::string("KVR610\0", 7)), kDbOk);
  EXPECT_EQ(connect("PATHONLY", "KVR610"), kDbOk);  // known through an installed path only
  EXPECT_EQ(connect("NOWHERE", "KVR610"), kDbServerInitFailed);
  EXPECT_EQ(connect("SRV", "WORD"), kDbProductUnknown);
  EXPECT_EQ(connect("", "KVR610"), kDbNoServerName);
  EXPECT_EQ(connect("SRV", ""), kDbNoProductName);
}

TEST_F(Requester, GetPathAnswersTheInstalledItems) {
  auto path = [&](const std::string& server, const std::string& item, std::string& a, std::string& b) {
    proto::Request q;
    proto::Reply r;
    q.call = proto::kCallGetPath;
    q.key = server;
    q.data = item;
    EXPECT_TRUE(c.Call(q, r));
    if (r.status == kDbOk) {
      EXPECT_TRUE(proto::DecodePathAnswer(r.data, a, b));
    }
    return r.status;
  };
  std::string a, b;
  ASSERT_EQ(path("SRV", "KVR610", a, b), kDbOk);
  EXPECT_EQ(a, "SYS:\\APPS\\PLIVEX");
  EXPECT_EQ(b, "PLIVEX.CFG");
  ASSERT_EQ(path("srv", "SISITE", a, b), kDbOk);
  EXPECT_EQ(a, "");
  EXPECT_EQ(b, "SITE-A");
  ASSERT_EQ(path("SRV", "PLXONDEMAND", a, b), kDbOk);
  EXPECT_EQ(a, "SYS:\\PLIVEX\\ONDEMAND");
  EXPECT_EQ(path("OTHER", "KVR610", a, b), kDbProductUnknown);
  EXPECT_EQ(path("SRV", "NOTHING", a, b), kDbProductUnknown);
}

TEST_F(Requester, ServerByName) {
  ServerRecord k;
  CopyText(k.ServerName, sizeof k.ServerName, "srv");
  std::string rec;
  ASSERT_EQ(c.Op(kTableServer, kClassRead, kOpGetEqual, 3, KeyBytes(kTableServer, 3, Bytes(k, kTableServer)), "", &rec), kDbOk);
  auto s = Rec<ServerRecord>(rec);
  EXPECT_EQ(s.ServerId, 1u);
  EXPECT_STREQ(s.ServerName, "SRV");
  CopyText(k.ServerName, sizeof k.ServerName, "NOPE");
  EXPECT_EQ(c.Op(kTableServer, kClassRead, kOpGetEqual, 3, KeyBytes(kTableServer, 3, Bytes(k, kTableServer)), ""), kDbNotFound);
}

TEST_F(Requester, PackageWalkByKey4IsUnsignedOrderThenRowId) {
  std::vector<std::string> recs;
  std::vector<uint32_t> ids = Walk(kTablePackage, 4, kOpGetFirst, U32(0), &recs);
  ASSERT_EQ(ids.size(), 5u);
  std::vector<std::pair<uint32_t, uint32_t>> got;
  for (auto& r : recs) got.push_back({Rec<PackageRecord>(r).PackageId, Rec<PackageRecord>(r).ServerId});
  std::vector<std::pair<uint32_t, uint32_t>> want = {{10, 1}, {10, 2}, {20, 1}, {30, 1}, {3000000000u, 1}};
  EXPECT_EQ(got, want);
  EXPECT_LT(ids[0], ids[1]);  // equal keys come in row id order
}

TEST_F(Requester, PackageFieldsAreTheImportedValues) {
  PackageRecord k;
  k.ServerId = 1;
  k.PackageId = 10;
  std::string rec;
  ASSERT_EQ(c.Op(kTablePackage, kClassRead, kOpGetEqual, 5, KeyBytes(kTablePackage, 5, Bytes(k, kTablePackage)), "", &rec), kDbOk);
  ASSERT_EQ(rec.size(), 395u);
  auto p = Rec<PackageRecord>(rec);
  EXPECT_STREQ(p.Name, "Office 97");
  EXPECT_EQ(p.Status, 'A');
  EXPECT_EQ(p.StartDate[0], 97); EXPECT_EQ(p.StartDate[1], 11); EXPECT_EQ(p.StartDate[2], 4);
  EXPECT_EQ(p.ForceDate[0], 98); EXPECT_EQ(p.ForceDate[1], 3); EXPECT_EQ(p.ForceDate[2], 7);
  EXPECT_STREQ(p.InstallPath, "C:\\OFFICE");
  EXPECT_EQ(p.MaxRefusals, 3u);
  EXPECT_EQ(p.MaxFailures, 2u);
  EXPECT_EQ(p.Options, 0xA000u);
  EXPECT_EQ(p.TimeFrom[0], 8); EXPECT_EQ(p.TimeFrom[1], 0); EXPECT_EQ(p.TimeFrom[2], 0);
  EXPECT_EQ(p.TimeTo[0], 17); EXPECT_EQ(p.TimeTo[1], 30); EXPECT_EQ(p.TimeTo[2], 15);
  EXPECT_EQ(p.TargetOs, 6u);
  EXPECT_EQ(p.Flags, 0x200u);
  // Bytes the layout does not use stay zero.
  for (int i : {0, 1, 2, 3, 8, 11, 100, 103, 373, 380}) EXPECT_EQ(rec[size_t(i)], 0) << i;

  k.ServerId = 2;
  ASSERT_EQ(c.Op(kTablePackage, kClassRead, kOpGetEqual, 5, KeyBytes(kTablePackage, 5, Bytes(k, kTablePackage)), "", &rec), kDbOk);
  EXPECT_STREQ(Rec<PackageRecord>(rec).Name, "Other ten");
  k.ServerId = 1;
  k.PackageId = 3000000000u;
  ASSERT_EQ(c.Op(kTablePackage, kClassRead, kOpGetEqual, 5, KeyBytes(kTablePackage, 5, Bytes(k, kTablePackage)), "", &rec), kDbOk);
  EXPECT_STREQ(Rec<PackageRecord>(rec).Name, "Big id");
  k.ServerId = 3;
  EXPECT_EQ(c.Op(kTablePackage, kClassRead, kOpGetEqual, 5, KeyBytes(kTablePackage, 5, Bytes(k, kTablePackage)), ""), kDbNotFound);
}

TEST_F(Requester, UserPackageByRecordId) {
  std::string rec;
  uint32_t rowId = 0;
  ASSERT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetEqual, 0, U32(5), "", &rec, &rowId), kDbOk);
  auto u = Rec<UserPackageRecord>(rec);
  EXPECT_EQ(rowId, 5u);
  EXPECT_EQ(u.RecordId, 5u);
  EXPECT_EQ(u.PackageUserId, 1005u);
  EXPECT_EQ(u.Scheduled, 0u);
  EXPECT_EQ(u.PackageStatus, 1);
  EXPECT_EQ(u.TargetKind, 8u);
  EXPECT_STREQ(u.TargetName, "MACHINE00001");
  EXPECT_STREQ(u.Counterpart, "alice");
  EXPECT_EQ(u.SourceRef, 35u);
  EXPECT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetEqual, 0, U32(99), ""), kDbNotFound);
}

TEST_F(Requester, TargetingRowsByKey6) {
  UserPackageRecord k;
  k.ServerId = 1; k.PackageId = 10; k.Scheduled = 1; k.TargetKind = 6;
  std::string key = KeyBytes(kTableUserPackage, 6, Bytes(k, kTableUserPackage));
  // (ServerId, PackageId, Scheduled, TargetKind, row id) order across the whole index.
  EXPECT_EQ(Walk(kTableUserPackage, 6, kOpGetEqual, key), (std::vector<uint32_t>{1, 2, 4, 6, 7}));
  k.TargetKind = 9;
  EXPECT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetEqual, 6, KeyBytes(kTableUserPackage, 6, Bytes(k, kTableUserPackage)), ""), kDbNotFound);
  EXPECT_EQ(Walk(kTableUserPackage, 6, kOpGetFirst, std::string(16, '\0')), (std::vector<uint32_t>{8, 5, 3, 1, 2, 4, 6, 7}));
}

TEST_F(Requester, RowsByNameWithKey7IgnoreCase) {
  // "alice" (row 2) and "ALICE" (row 8) are equal names: row id breaks the tie.
  EXPECT_EQ(Walk(kTableUserPackage, 7, kOpGetGreaterEq, Key7(1, 10, 6, "ALICE")),
            (std::vector<uint32_t>{2, 8, 4, 1, 6, 5, 7}));
  std::string rec;
  ASSERT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetGreaterEq, 7, Key7(1, 10, 6, "bob"), "", &rec), kDbOk);
  EXPECT_STREQ(Rec<UserPackageRecord>(rec).TargetName, "Bob");
  ASSERT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetGreaterEq, 7, Key7(1, 10, 6, "ALICE1"), "", &rec), kDbOk);
  EXPECT_STREQ(Rec<UserPackageRecord>(rec).TargetName, "ALICE2");
  ASSERT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetGreaterEq, 7, Key7(1, 10, 9, ""), "", &rec), kDbOk);
  EXPECT_STREQ(Rec<UserPackageRecord>(rec).TargetName, "carol");
  EXPECT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetGreaterEq, 7, Key7(1, 20, 7, ""), ""), kDbNotFound);
  // A text never sorts by its bytes: "Bob" > "ALICE2" though 'B' < 'a'.
  ASSERT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetGreaterEq, 7, Key7(1, 10, 6, "B"), "", &rec), kDbOk);
  EXPECT_STREQ(Rec<UserPackageRecord>(rec).TargetName, "Bob");
}

TEST_F(Requester, PartialKey7ComparesOnlyWholeFields) {
  std::string full = Key7(1, 10, 6, "zzz");
  std::string rec;
  for (size_t len : {size_t(12), size_t(14), size_t(221)}) {
    // 12 bytes: three numbers; 14 and 221 cut into the name, which then takes no part.
    ASSERT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetGreaterEq, 7, full.substr(0, len), "", &rec), kDbOk) << len;
    EXPECT_STREQ(Rec<UserPackageRecord>(rec).TargetName, "alice") << len;
  }
  ASSERT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetGreaterEq, 7, full.substr(0, 8), "", &rec), kDbOk);
  EXPECT_STREQ(Rec<UserPackageRecord>(rec).TargetName, "PLX_EVERYONE");  // kind 5 sorts first
  ASSERT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetGreaterEq, 7, "", "", &rec), kDbOk);
  EXPECT_EQ(Rec<UserPackageRecord>(rec).RecordId, 3u);
  ASSERT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetGreaterEq, 7, full, "", &rec), kDbOk);
  EXPECT_STREQ(Rec<UserPackageRecord>(rec).TargetName, "SITE-A");  // the full key does take part
  EXPECT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetGreaterEq, 7, Key7(1, 20, 6, "zzz"), ""), kDbNotFound);
}

TEST_F(Requester, DependenciesAndTasksByKey8) {
  DependencyRecord d;
  d.RequiredServerId = 1; d.PackageId = 10;
  std::vector<std::string> recs;
  Walk(kTableDependency, 8, kOpGetEqual, KeyBytes(kTableDependency, 8, Bytes(d, kTableDependency)), &recs);
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(Rec<DependencyRecord>(recs[0]).RequiredPackageId, 30u);
  EXPECT_EQ(Rec<DependencyRecord>(recs[1]).RequiredPackageId, 20u);
  EXPECT_EQ(Rec<DependencyRecord>(recs[2]).PackageId, 20u);
  EXPECT_EQ(Rec<DependencyRecord>(recs[2]).RequiredPackageId, 10u);
  d.PackageId = 11;
  EXPECT_EQ(c.Op(kTableDependency, kClassRead, kOpGetEqual, 8, KeyBytes(kTableDependency, 8, Bytes(d, kTableDependency)), ""), kDbNotFound);

  PackageTaskRecord t;
  t.ServerId = 1; t.PackageId = 10;
  recs.clear();
  std::vector<uint32_t> ids = Walk(kTableTask, 8, kOpGetEqual, KeyBytes(kTableTask, 8, Bytes(t, kTableTask)), &recs);
  EXPECT_EQ(ids, (std::vector<uint32_t>{3, 5, 4}));
  ASSERT_EQ(recs.size(), 3u);
  auto first = Rec<PackageTaskRecord>(recs[0]);
  EXPECT_EQ(first.RecordId, 3u);
  EXPECT_EQ(first.TaskType, 3u);
  EXPECT_STREQ(first.TaskName, "SETUP.EXE");
  EXPECT_STREQ(first.TaskArgs, "/Q /NOREBOOT");
  EXPECT_EQ(first.TaskFlags, 3u);
  EXPECT_STREQ(Rec<PackageTaskRecord>(recs[1]).TaskName, "BASE.FST");
  EXPECT_EQ(Rec<PackageTaskRecord>(recs[2]).PackageId, 20u);
}

TEST_F(Requester, MalformedShapesGetTheirStatus) {
  std::string rec;
  // table, class/op, key number, key length, record length, data length, in that order
  EXPECT_EQ(c.Op(301, kClassRead, kOpGetFirst, 4, U32(0), "", nullptr, nullptr, 0, 395), kDbInvalidTable);
  EXPECT_EQ(c.Op(kTablePackage, kClassRead, kOpInsert, 4, U32(0), ""), kDbInvalidOperation);
  EXPECT_EQ(c.Op(kTablePackage, 102, kOpGetFirst, 4, U32(0), ""), kDbInvalidOperation);
  EXPECT_EQ(c.Op(kTablePackage, kClassRewrite, kOpGetNext, 4, U32(0), std::string(395, '\0')), kDbInvalidOperation);
  EXPECT_EQ(c.Op(kTablePackage, kClassRead, kOpGetFirst, 6, U32(0), ""), kDbInvalidKey);
  EXPECT_EQ(c.Op(kTableHistory, kClassRead, kOpGetFirst, 0, U32(0), ""), kDbInvalidKey);
  EXPECT_EQ(c.Op(kTablePackage, kClassRead, kOpGetFirst, 4, std::string(3, '\0'), ""), kDbInvalidFieldLength);
  EXPECT_EQ(c.Op(kTablePackage, kClassRead, kOpGetEqual, 5, std::string(9, '\0'), ""), kDbInvalidFieldLength);
  EXPECT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetGreaterEq, 7, std::string(223, '\0'), ""), kDbInvalidFieldLength);
  EXPECT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetNext, 7, std::string(12, '\0'), ""), kDbInvalidFieldLength);
  EXPECT_EQ(c.Op(kTablePackage, kClassRead, kOpGetFirst, 4, U32(0), "", nullptr, nullptr, 0, 394), kDbRecordBufferTooSmall);
  EXPECT_EQ(c.Op(kTablePackage, kClassRead, kOpGetFirst, 4, U32(0), "x"), kDbInvalidOperation);
  EXPECT_EQ(c.Op(kTableHistory, kClassInsert, kOpInsert, 0, U32(0), std::string(325, '\0'), nullptr, nullptr, 0, 326), kDbInvalidOperation);
  EXPECT_EQ(c.Op(kTableHistory, kClassInsert, kOpInsert, 6, U32(0), std::string(326, '\0')), kDbInvalidKey);
  EXPECT_EQ(c.Op(kTableHistory, kClassInsert, kOpInsert, 0, "", std::string(326, '\0')), kDbInvalidFieldLength);
  // The connection survives all of that.
  EXPECT_EQ(c.Op(kTablePackage, kClassRead, kOpGetFirst, 4, U32(0), "", &rec), kDbOk);
  EXPECT_EQ(Rec<PackageRecord>(rec).PackageId, 10u);
}

TEST_F(Requester, ConnectionsAreServedInParallel) {
  // A client that has sent half a frame does not hold up the others.
  Client stalled;
  ASSERT_TRUE(stalled.Connect(daemon->port));
  proto::Request q;
  q.call = proto::kCallHello;
  std::string frame = proto::EncodeRequest(q);
  ASSERT_TRUE(stalled.Send(frame.substr(0, 10)));
  std::vector<Client> many(20);
  for (Client& m : many) ASSERT_TRUE(m.Connect(daemon->port));
  for (Client& m : many) EXPECT_EQ(m.Op(kTablePackage, kClassRead, kOpGetFirst, 4, U32(0), ""), kDbOk);
  ASSERT_TRUE(stalled.Send(frame.substr(10)));
  proto::Reply r;
  ASSERT_TRUE(stalled.ReadReply(r));
  EXPECT_EQ(r.status, kDbOk);
}

}  // namespace
