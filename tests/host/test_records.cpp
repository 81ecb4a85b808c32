#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "plx/bytes.h"
#include "plx/proto.h"
#include "plx/records.h"

using namespace plx;

TEST(Records, LengthsAndKeysMatchTheLayouts) {
  const std::pair<uint32_t, uint32_t> lengths[] = {
      {300, 62}, {302, 395}, {303, 277}, {304, 326}, {305, 274}, {307, 24}, {310, 478}};
  for (auto [id, len] : lengths) {
    const TableDef* t = FindTable(id);
    ASSERT_NE(t, nullptr) << id;
    EXPECT_EQ(t->recordLength, len) << id;
    for (const FieldDef& f : t->fields) EXPECT_LE(f.offset + f.width, len) << t->sqlName << "." << f.name;
  }
  EXPECT_EQ(FindTable(301), nullptr);
  EXPECT_EQ(FindTable(300)->Key(3)->length, 48u);
  EXPECT_EQ(FindTable(302)->Key(4)->length, 4u);
  EXPECT_EQ(FindTable(302)->Key(5)->length, 8u);
  EXPECT_EQ(FindTable(303)->Key(0)->length, 4u);
  EXPECT_EQ(FindTable(303)->Key(6)->length, 16u);
  EXPECT_EQ(FindTable(303)->Key(7)->length, 222u);
  EXPECT_EQ(FindTable(307)->Key(8)->length, 8u);
  EXPECT_EQ(FindTable(310)->Key(8)->length, 8u);
}

TEST(Records, PackageRecordBytesSitAtTheirOffsets) {
  PackageRecord p;
  p.PackageId = 0x01020304;
  p.ServerId = 7;
  strcpy(p.Name, "Office");
  p.Status = 'A';
  p.StartDate[0] = 97; p.StartDate[1] = 11; p.StartDate[2] = 4;
  strcpy(p.InstallPath, "C:\\APPS");
  p.MaxFailures = 3;
  p.Options = 0x8000;
  p.TimeTo[0] = 23;
  p.TargetOs = 4;
  p.Flags = 0x0800;
  std::vector<uint8_t> b(395, 0xEE);
  Encode(p, b.data());
  EXPECT_EQ(GetU32(&b[0]), 0u);  // unused fields are zero
  EXPECT_EQ(GetU32(&b[4]), 0x01020304u);
  EXPECT_EQ(b[4], 0x04);         // little-endian
  EXPECT_EQ(GetU32(&b[12]), 7u);
  EXPECT_STREQ(reinterpret_cast<char*>(&b[16]), "Office");
  EXPECT_EQ(b[96], 'A');
  EXPECT_EQ(b[97], 97); EXPECT_EQ(b[98], 11); EXPECT_EQ(b[99], 4);
  EXPECT_STREQ(reinterpret_cast<char*>(&b[104]), "C:\\APPS");
  EXPECT_EQ(GetU32(&b[365]), 3u);
  EXPECT_EQ(GetU32(&b[369]), 0x8000u);
  EXPECT_EQ(b[384], 23);
  EXPECT_EQ(GetU32(&b[387]), 4u);
  EXPECT_EQ(GetU32(&b[391]), 0x0800u);
  PackageRecord back;
  Decode(b.data(), back);
  EXPECT_EQ(back.PackageId, p.PackageId);
  EXPECT_STREQ(back.InstallPath, "C:\\APPS");
  EXPECT_EQ(back.Flags, 0x0800u);
}

TEST(Records, FullWidthTextKeepsNoTerminatorAndDecodesBounded) {
  HistoryRecord h;
  memcpy(h.Date, "19980307", 8);
  memcpy(h.Time, "090503", 6);
  std::vector<uint8_t> b(326);
  Encode(h, b.data());
  EXPECT_EQ(memcmp(&b[28], "19980307090503", 14), 0);  // Date runs straight into Time
  EXPECT_EQ(b[42], 0);
  HistoryRecord back;
  Decode(b.data(), back);
  EXPECT_STREQ(back.Date, "19980307");
  EXPECT_STREQ(back.Time, "090503");
}

TEST(Records, KeySevenIsThreeNumbersThenTheName) {
  UserPackageRecord u;
  u.ServerId = 1; u.PackageId = 2; u.TargetKind = 8;
  strcpy(u.TargetName, "0123456789AB");
  std::vector<uint8_t> b(277);
  Encode(u, b.data());
  std::string k = KeyOf(*FindTable(303)->Key(7), b.data());
  ASSERT_EQ(k.size(), 222u);
  EXPECT_EQ(GetU32(reinterpret_cast<const uint8_t*>(k.data()) + 8), 8u);
  EXPECT_EQ(k.substr(12, 12), "0123456789AB");
  EXPECT_EQ(k[24], '\0');
}

TEST(Proto, RequestsAndRepliesRoundTripAndRejectBadLengths) {
  proto::Request r;
  r.call = proto::kCallOperation; r.table = 303; r.cls = 100; r.op = 204; r.keyNo = 7;
  r.recordLength = 277; r.posRowId = 42; r.key = std::string(222, 'k');
  std::string f = proto::EncodeRequest(r);
  ASSERT_EQ(f.size(), 4 + 36 + 222u);
  EXPECT_EQ(GetU32(reinterpret_cast<const uint8_t*>(f.data())), 36 + 222u);
  proto::Request back;
  ASSERT_TRUE(proto::DecodeRequest(reinterpret_cast<const uint8_t*>(f.data()) + 4, f.size() - 4, back));
  EXPECT_EQ(back.table, 303u); EXPECT_EQ(back.op, 204u); EXPECT_EQ(back.posRowId, 42u);
  EXPECT_EQ(back.key, r.key);
  EXPECT_FALSE(proto::DecodeRequest(reinterpret_cast<const uint8_t*>(f.data()) + 4, f.size() - 5, back));
  EXPECT_FALSE(proto::DecodeRequest(reinterpret_cast<const uint8_t*>(f.data()) + 4, 10, back));

  proto::Reply rep{10612, 9, "abc"};
  std::string g = proto::EncodeReply(rep);
  proto::Reply rb;
  ASSERT_TRUE(proto::DecodeReply(reinterpret_cast<const uint8_t*>(g.data()) + 4, g.size() - 4, rb));
  EXPECT_EQ(rb.status, 10612); EXPECT_EQ(rb.rowId, 9u); EXPECT_EQ(rb.data, "abc");

  std::string a, b2;
  EXPECT_TRUE(proto::DecodePathAnswer(proto::EncodePathAnswer("SYS:\\APPS\\PLIVEX", "x.cfg"), a, b2));
  EXPECT_EQ(a, "SYS:\\APPS\\PLIVEX"); EXPECT_EQ(b2, "x.cfg");
  EXPECT_FALSE(proto::DecodePathAnswer(std::string("abc", 3), a, b2));
}
