// What a workstation may write: its status rows, history rows and history texts, each
// coming back as stored with the ids the database gave it; nothing of the administrator's.
// These run against a service of their own (SCRATCH) so that the readers' rows stay as
// seeded.
#include <gtest/gtest.h>

#include <string.h>

#include "support.h"

using namespace rt;

namespace {

class Writes : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(DBInitRequesterEx("SCRATCH", Params(1, 5).get()), 0);
    ASSERT_EQ(DBInitSessionEx(&session), 0);
    ASSERT_EQ(DBConnectEx(session, "SCRATCH", "", "", "KVR610", 0, &conn), 0);
  }
  void TearDown() override {
    EXPECT_EQ(DBTerminateSessionEx(session), 0);
    EXPECT_EQ(DBTerminateRequesterEx("SCRATCH"), 0);
  }

  template <class R> static std::string Bytes(const R& r, uint32_t table) {
    std::string b(plx::RecordLength(table), '\0');
    plx::Encode(r, reinterpret_cast<uint8_t*>(&b[0]));
    return b;
  }
  Result Insert(uint32_t table, const std::string& rec) {
    return Op(conn, table, plx::kClassInsert, plx::kOpInsert, 0, NumberKey({0}), &rec);
  }
  Result Rewrite(uint32_t recordId, const std::string& rec) {
    return Op(conn, plx::kTableUserPackage, plx::kClassRewrite, plx::kOpGetEqual, 0, NumberKey({recordId}), &rec);
  }
  plx::UserPackageRecord Row(uint32_t recordId) {
    Result r = Read(conn, plx::kTableUserPackage, plx::kOpGetEqual, 0, NumberKey({recordId}));
    EXPECT_EQ(r.status, 0) << recordId;
    plx::UserPackageRecord u;
    plx::Decode(reinterpret_cast<const uint8_t*>(r.record.data()), u);
    return u;
  }

  uint32_t session = 0, conn = 0;
};

plx::UserPackageRecord StatusRow(const char* user) {
  plx::UserPackageRecord r;
  r.ServerId = 1;
  r.PackageId = 2;
  r.Scheduled = 0;
  r.PackageStatus = 0;
  r.TargetKind = 6;
  plx::CopyText(r.TargetName, sizeof r.TargetName, user);
  plx::CopyText(r.Counterpart, sizeof r.Counterpart, "00A0C9123456");
  r.SourceRef = 502;
  r.RowFlags = 1;
  return r;
}

}  // namespace

TEST_F(Writes, StatusRowsGetTheirIds) {
  plx::UserPackageRecord sent = StatusRow("BOB");
  Result first = Insert(plx::kTableUserPackage, Bytes(sent, plx::kTableUserPackage));
  ASSERT_EQ(first.status, 0);
  plx::UserPackageRecord got;
  plx::Decode(reinterpret_cast<const uint8_t*>(first.record.data()), got);
  EXPECT_GT(got.RecordId, 7u) << "after the seeded rows";
  EXPECT_EQ(got.PackageUserId, got.RecordId);
  // Apart from the ids, the row is stored as sent.
  plx::UserPackageRecord expect = sent;
  expect.RecordId = got.RecordId;
  expect.PackageUserId = got.PackageUserId;
  EXPECT_EQ(Fields(plx::kTableUserPackage, first.record), Fields(plx::kTableUserPackage, Bytes(expect, plx::kTableUserPackage)));
  Result again = Read(conn, plx::kTableUserPackage, plx::kOpGetEqual, 0, NumberKey({got.RecordId}));
  ASSERT_EQ(again.status, 0);
  EXPECT_EQ(again.record, first.record);

  Result second = Insert(plx::kTableUserPackage, Bytes(StatusRow("CAROL"), plx::kTableUserPackage));
  ASSERT_EQ(second.status, 0);
  plx::UserPackageRecord got2;
  plx::Decode(reinterpret_cast<const uint8_t*>(second.record.data()), got2);
  EXPECT_GT(got2.RecordId, got.RecordId);
  EXPECT_STREQ(got2.TargetName, "CAROL");
}

TEST_F(Writes, HistoryTextsAndRowsComeBackAsStored) {
  plx::HistoryTextRecord text;
  text.ServerId = 1;
  plx::CopyText(text.Text, sizeof text.Text, "INFORMATION 0150: Package installed successfully.");
  Result t1 = Insert(plx::kTableHistoryText, Bytes(text, plx::kTableHistoryText));
  Result t2 = Insert(plx::kTableHistoryText, Bytes(text, plx::kTableHistoryText));
  ASSERT_EQ(t1.status, 0);
  ASSERT_EQ(t2.status, 0);
  plx::HistoryTextRecord g1, g2;
  plx::Decode(reinterpret_cast<const uint8_t*>(t1.record.data()), g1);
  plx::Decode(reinterpret_cast<const uint8_t*>(t2.record.data()), g2);
  EXPECT_NE(g1.TextId, 0u);
  EXPECT_GT(g2.TextId, g1.TextId);
  EXPECT_EQ(g1.ServerId, 1u);
  EXPECT_STREQ(g1.Text, text.Text);

  plx::HistoryRecord h;
  h.ServerId = 1;
  h.TextId = g1.TextId;
  h.PackageId = 10;
  h.PackageUserId = 103;
  plx::CopyText(h.Date, sizeof h.Date, "19990115");
  plx::CopyText(h.Time, sizeof h.Time, "083000");
  plx::CopyText(h.UserName, sizeof h.UserName, "ALICE");
  plx::CopyText(h.ServerName, sizeof h.ServerName, "SRV");
  plx::CopyText(h.NetNumber, sizeof h.NetNumber, "0000ABCD");
  plx::CopyText(h.NodeAddress, sizeof h.NodeAddress, "00A0C912345");
  Result hr = Insert(plx::kTableHistory, Bytes(h, plx::kTableHistory));
  ASSERT_EQ(hr.status, 0);
  EXPECT_EQ(Fields(plx::kTableHistory, hr.record), Fields(plx::kTableHistory, Bytes(h, plx::kTableHistory)));
}

TEST_F(Writes, StatusRowRewrite) {
  Result ins = Insert(plx::kTableUserPackage, Bytes(StatusRow("DAVE"), plx::kTableUserPackage));
  ASSERT_EQ(ins.status, 0);
  plx::UserPackageRecord row;
  plx::Decode(reinterpret_cast<const uint8_t*>(ins.record.data()), row);
  row.PackageStatus = 5;
  row.FailureCount = 1;
  row.RefusalCount = 2;
  plx::CopyText(row.Counterpart, sizeof row.Counterpart, "WS0000000009");
  Result rw = Rewrite(row.RecordId, Bytes(row, plx::kTableUserPackage));
  ASSERT_EQ(rw.status, 0);
  EXPECT_EQ(Fields(plx::kTableUserPackage, rw.record), Fields(plx::kTableUserPackage, Bytes(row, plx::kTableUserPackage)));
  plx::UserPackageRecord back = Row(row.RecordId);
  EXPECT_EQ(back.PackageStatus, 5);
  EXPECT_EQ(back.FailureCount, 1u);
  EXPECT_EQ(back.RefusalCount, 2u);
  EXPECT_STREQ(back.Counterpart, "WS0000000009");
}

TEST_F(Writes, PackagesAndTargetingAreTheAdministratorsAlone) {
  plx::PackageRecord pkg;
  pkg.PackageId = 77;
  pkg.ServerId = 1;
  plx::CopyText(pkg.Name, sizeof pkg.Name, "Sneaked in");
  EXPECT_EQ(Insert(plx::kTablePackage, Bytes(pkg, plx::kTablePackage)).status, 10601);
  EXPECT_EQ(Read(conn, plx::kTablePackage, plx::kOpGetEqual, 5, NumberKey({1, 77})).status, 10612);

  plx::UserPackageRecord target = StatusRow("EVE");
  target.Scheduled = 1;
  EXPECT_EQ(Insert(plx::kTableUserPackage, Bytes(target, plx::kTableUserPackage)).status, 10601);

  // Row 1 is a targeting row: it may not be rewritten, not even as a status row.
  plx::UserPackageRecord one = Row(1);
  plx::UserPackageRecord changed = one;
  plx::CopyText(changed.TargetName, sizeof changed.TargetName, "EVERYBODY");
  EXPECT_EQ(Rewrite(1, Bytes(changed, plx::kTableUserPackage)).status, 10601);
  changed.Scheduled = 0;
  EXPECT_EQ(Rewrite(1, Bytes(changed, plx::kTableUserPackage)).status, 10601);
  EXPECT_STREQ(Row(1).TargetName, "STAFF");

  // Nor may a status row be turned into a targeting row.
  plx::UserPackageRecord four = Row(4);
  four.Scheduled = 1;
  EXPECT_EQ(Rewrite(4, Bytes(four, plx::kTableUserPackage)).status, 10601);
  EXPECT_EQ(Row(4).Scheduled, 0u);
}
