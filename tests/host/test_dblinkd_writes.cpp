// What workstations may write: status rows, history and history texts, with ids assigned
// by the database; and what they may not, which leaves the database as it was.
#include <gtest/gtest.h>

#include <cstring>

#include "plx/bytes.h"
#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;

namespace {

class Writes : public ::testing::Test {
 protected:
  void SetUp() override {
    Json seed = SampleSeed();
    ASSERT_TRUE(d.Start(&seed)) << ReadFile(d.log);
    ASSERT_TRUE(c.Connect(d.port));
  }

  UserPackageRecord StatusRow(const char* name) {
    UserPackageRecord r;
    r.RecordId = 777;       // ignored: the database assigns ids
    r.PackageUserId = 888;
    r.ServerId = 1;
    r.PackageId = 20;
    r.Scheduled = 0;
    r.PackageStatus = 0;
    r.TargetKind = 8;
    CopyText(r.TargetName, sizeof r.TargetName, name);
    CopyText(r.Counterpart, sizeof r.Counterpart, "alice");
    r.SourceRef = 49;
    r.RowFlags = 1;
    return r;
  }

  Daemon d;
  Client c;
};

TEST_F(Writes, StatusRowInsertGetsItsIds) {
  std::string rec;
  uint32_t rowId = 0;
  ASSERT_EQ(c.Op(kTableUserPackage, kClassInsert, kOpInsert, 0, U32(0),
                 Bytes(StatusRow("MACHINE00002"), kTableUserPackage), &rec, &rowId), kDbOk);
  auto u = Rec<UserPackageRecord>(rec);
  EXPECT_EQ(u.RecordId, 9u);  // one past the highest imported id
  EXPECT_EQ(u.PackageUserId, u.RecordId);
  EXPECT_EQ(rowId, u.RecordId);
  EXPECT_STREQ(u.TargetName, "MACHINE00002");
  EXPECT_EQ(u.SourceRef, 49u);
  EXPECT_EQ(u.RowFlags, 1u);

  // Read back by key 0 and found by name with key 7.
  std::string back;
  ASSERT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetEqual, 0, U32(u.RecordId), "", &back), kDbOk);
  EXPECT_EQ(back, rec);
  ASSERT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetGreaterEq, 7, KeyBytes(kTableUserPackage, 7, rec), "", &back), kDbOk);
  EXPECT_EQ(Rec<UserPackageRecord>(back).RecordId, u.RecordId);

  ASSERT_EQ(c.Op(kTableUserPackage, kClassInsert, kOpInsert, 0, U32(0),
                 Bytes(StatusRow("MACHINE00003"), kTableUserPackage), &rec, &rowId), kDbOk);
  EXPECT_EQ(Rec<UserPackageRecord>(rec).RecordId, 10u);
  EXPECT_EQ(CountRows(d.db, "package_users", "Scheduled=0"), 4);
}

TEST_F(Writes, HistoryTextAndEntry) {
  HistoryTextRecord t;
  t.TextId = 4242;  // ignored
  t.ServerId = 1;
  CopyText(t.Text, sizeof t.Text, "Package Office 97 installed successfully.");
  std::string rec;
  uint32_t rowId = 0;
  ASSERT_EQ(c.Op(kTableHistoryText, kClassInsert, kOpInsert, 0, U32(0), Bytes(t, kTableHistoryText), &rec, &rowId), kDbOk);
  auto text = Rec<HistoryTextRecord>(rec);
  EXPECT_EQ(text.TextId, 1u);
  EXPECT_EQ(rowId, 1u);
  EXPECT_STREQ(text.Text, t.Text);
  ASSERT_EQ(c.Op(kTableHistoryText, kClassInsert, kOpInsert, 0, U32(0), Bytes(t, kTableHistoryText), &rec), kDbOk);
  EXPECT_EQ(Rec<HistoryTextRecord>(rec).TextId, 2u);

  HistoryRecord h;
  h.ServerId = 1;
  h.TextId = text.TextId;
  h.PackageId = 10;
  h.PackageUserId = 1005;
  memcpy(h.Date, "19980307", 8);  // the full field, no terminator
  CopyText(h.Time, sizeof h.Time, "090503");
  CopyText(h.UserName, sizeof h.UserName, "alice");
  CopyText(h.ServerName, sizeof h.ServerName, "SRV");
  CopyText(h.NetNumber, sizeof h.NetNumber, "0000ABCD");
  CopyText(h.NodeAddress, sizeof h.NodeAddress, "00A0C9112233");
  std::string sent = Bytes(h, kTableHistory);
  ASSERT_EQ(c.Op(kTableHistory, kClassInsert, kOpInsert, 0, U32(0), sent, &rec, &rowId), kDbOk);
  EXPECT_EQ(rec, sent);  // nothing assigned in a history row
  EXPECT_EQ(rowId, 1u);
  EXPECT_EQ(CountRows(d.db, "history", "Date='19980307' AND Time='090503' AND TextId=1"), 1);

  // Texts are read back by key 0.
  ASSERT_EQ(c.Op(kTableHistoryText, kClassRead, kOpGetEqual, 0, U32(1), "", &rec), kDbOk);
  EXPECT_STREQ(Rec<HistoryTextRecord>(rec).Text, "Package Office 97 installed successfully.");

  std::string body;
  ASSERT_EQ(AdminRequest(d.adminPort, "GET", "/history", Daemon::kToken, "", body), 200);
  Json j = Json::parse(body);
  ASSERT_EQ(j["history"].size(), 1u);
  EXPECT_EQ(j["history"][0]["Text"], "Package Office 97 installed successfully.");
  EXPECT_EQ(j["history"][0]["NodeAddress"], "00A0C9112233");
}

TEST_F(Writes, StatusRowRewriteByRecordId) {
  std::string rec;
  ASSERT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetEqual, 0, U32(8), "", &rec), kDbOk);
  auto u = Rec<UserPackageRecord>(rec);
  u.PackageStatus = 4;
  u.FailureCount = 1;
  u.RefusalCount = 2;
  CopyText(u.Counterpart, sizeof u.Counterpart, "MACHINE00009");
  u.RecordId = 5;  // the key names the row, not the buffer
  std::string out;
  ASSERT_EQ(c.Op(kTableUserPackage, kClassRewrite, kOpGetEqual, 0, U32(8), Bytes(u, kTableUserPackage), &out), kDbOk);
  ASSERT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetEqual, 0, U32(8), "", &rec), kDbOk);
  EXPECT_EQ(rec, out);
  auto back = Rec<UserPackageRecord>(rec);
  EXPECT_EQ(back.RecordId, 8u);
  EXPECT_EQ(back.PackageStatus, 4);
  EXPECT_EQ(back.FailureCount, 1u);
  EXPECT_EQ(back.RefusalCount, 2u);
  EXPECT_STREQ(back.Counterpart, "MACHINE00009");
  // Row 5 was not touched.
  ASSERT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetEqual, 0, U32(5), "", &rec), kDbOk);
  EXPECT_STREQ(Rec<UserPackageRecord>(rec).TargetName, "MACHINE00001");
  EXPECT_EQ(c.Op(kTableUserPackage, kClassRewrite, kOpGetEqual, 0, U32(99), Bytes(u, kTableUserPackage)), kDbNotFound);
}

TEST_F(Writes, WorkstationsCannotChangeWhatTheAdministratorOwns) {
  const std::string before = DatabaseDigest(d.db);
  ASSERT_FALSE(before.empty());
  PackageRecord p;
  p.PackageId = 99;
  p.ServerId = 1;
  CopyText(p.Name, sizeof p.Name, "Intruder");
  EXPECT_EQ(c.Op(kTablePackage, kClassInsert, kOpInsert, 0, U32(0), Bytes(p, kTablePackage)), kDbReadOnly);
  for (uint32_t table : {uint32_t(kTableServer), uint32_t(kTableDependency), uint32_t(kTableTask)})
    EXPECT_EQ(c.Op(table, kClassInsert, kOpInsert, 0, U32(0), std::string(RecordLength(table), '\0')), kDbReadOnly) << table;

  // A targeting row can be neither inserted nor rewritten, nor a status row turned into one.
  UserPackageRecord u = StatusRow("SNEAKY");
  u.Scheduled = 1;
  EXPECT_EQ(c.Op(kTableUserPackage, kClassInsert, kOpInsert, 0, U32(0), Bytes(u, kTableUserPackage)), kDbReadOnly);
  std::string rec;
  ASSERT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetEqual, 0, U32(1), "", &rec), kDbOk);
  auto target = Rec<UserPackageRecord>(rec);
  target.Scheduled = 0;  // even pretending it is a status row
  CopyText(target.TargetName, sizeof target.TargetName, "mallory");
  EXPECT_EQ(c.Op(kTableUserPackage, kClassRewrite, kOpGetEqual, 0, U32(1), Bytes(target, kTableUserPackage)), kDbReadOnly);
  ASSERT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetEqual, 0, U32(8), "", &rec), kDbOk);
  auto status = Rec<UserPackageRecord>(rec);
  status.Scheduled = 1;
  EXPECT_EQ(c.Op(kTableUserPackage, kClassRewrite, kOpGetEqual, 0, U32(8), Bytes(status, kTableUserPackage)), kDbReadOnly);

  // Rewrites elsewhere, by another key, or with a wrong length.
  EXPECT_EQ(c.Op(kTableTask, kClassRewrite, kOpGetEqual, 0, U32(3), std::string(478, '\0')), kDbReadOnly);
  EXPECT_EQ(c.Op(kTablePackage, kClassRewrite, kOpGetEqual, 4, U32(10), std::string(395, '\0')), kDbInvalidKey);
  EXPECT_EQ(c.Op(kTableUserPackage, kClassRewrite, kOpGetEqual, 6, std::string(16, '\0'), std::string(277, '\0')), kDbInvalidKey);
  status.Scheduled = 0;
  EXPECT_EQ(c.Op(kTableUserPackage, kClassRewrite, kOpGetEqual, 0, U32(8), Bytes(status, kTableUserPackage), nullptr, nullptr, 0, 276), kDbRecordBufferTooSmall);
  EXPECT_EQ(c.Op(kTableUserPackage, kClassInsert, kOpInsert, 0, U32(0), Bytes(StatusRow("X"), kTableUserPackage).substr(0, 270), nullptr, nullptr, 0, 270), kDbRecordBufferTooSmall);

  EXPECT_EQ(DatabaseDigest(d.db), before);
}

TEST_F(Writes, TargetingRowTakesOnlyAnOutcome) {
  std::string rec;
  ASSERT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetEqual, 0, U32(1), "", &rec), kDbOk);
  auto row = Rec<UserPackageRecord>(rec);
  ASSERT_EQ(row.Scheduled, 1u);
  const std::string name = row.TargetName;
  row.PackageStatus = 1;
  row.RefusalCount = 1;
  CopyText(row.Counterpart, sizeof row.Counterpart, "0123456789AB");
  ASSERT_EQ(c.Op(kTableUserPackage, kClassRewrite, kOpGetEqual, 0, U32(1), Bytes(row, kTableUserPackage)), kDbOk);
  ASSERT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetEqual, 0, U32(1), "", &rec), kDbOk);
  auto back = Rec<UserPackageRecord>(rec);
  EXPECT_EQ(back.Scheduled, 1u);
  EXPECT_EQ(back.TargetName, name);
  EXPECT_EQ(back.PackageStatus, 1);
  EXPECT_EQ(back.RefusalCount, 1u);
  EXPECT_STREQ(back.Counterpart, "0123456789AB");
  // The same name in other letters is still another name.
  std::string lower = name;
  for (char& ch : lower) ch = char(tolower(static_cast<unsigned char>(ch)));
  ASSERT_NE(lower, name);
  CopyText(row.TargetName, sizeof row.TargetName, lower.c_str());
  EXPECT_EQ(c.Op(kTableUserPackage, kClassRewrite, kOpGetEqual, 0, U32(1), Bytes(row, kTableUserPackage)), kDbReadOnly);
}

TEST_F(Writes, AdminApiNeedsTheToken) {
  std::string body;
  EXPECT_EQ(AdminRequest(d.adminPort, "GET", "/packages", "", "", body), 401);
  EXPECT_NE(body.find("\"error\""), std::string::npos);
  EXPECT_EQ(AdminRequest(d.adminPort, "GET", "/packages", "test-token-7f3", "", body), 401);
  EXPECT_EQ(AdminRequest(d.adminPort, "GET", "/packages", "test-token-7f3aX", "", body), 401);
  const std::string before = DatabaseDigest(d.db);
  EXPECT_EQ(AdminRequest(d.adminPort, "POST", "/import", "", R"({"packages":[{"PackageId":5}]})", body), 401);
  EXPECT_EQ(DatabaseDigest(d.db), before);
  ASSERT_EQ(AdminRequest(d.adminPort, "GET", "/packages", Daemon::kToken, "", body), 200);
  EXPECT_EQ(Json::parse(body)["packages"].size(), 5u);
  EXPECT_EQ(AdminRequest(d.adminPort, "GET", "/nothing", Daemon::kToken, "", body), 404);
}

}  // namespace
