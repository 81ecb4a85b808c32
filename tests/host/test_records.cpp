#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "plx/bytes.h"
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

// Offsets worked out by hand from the record layout; little-endian numbers.
TEST(Records, PackageRecordBytesSitAtTheirOffsets) {
  PackageRecord p;
  p.PackageId = 0x01020304;
  p.ServerId = 7;
  strcpy(p.Name, "Office");
  p.Status = 'A';
  p.StartDate[0] = 97;
  strcpy(p.InstallPath, "C:\\APPS");
  p.MaxFailures = 3;
  p.Options = 0x8000;
  p.TimeTo[0] = 23;
  p.TargetOs = 4;
  p.Flags = 0x0800;
  std::vector<uint8_t> b(395, 0xEE);
  Encode(p, b.data());
  const std::pair<size_t, uint32_t> u32s[] = {{0, 0}, {4, 0x01020304}, {12, 7}, {365, 3}, {369, 0x8000}, {387, 4}, {391, 0x0800}};
  for (auto [at, v] : u32s) EXPECT_EQ(GetU32(&b[at]), v) << at;
  EXPECT_EQ(b[4], 0x04);
  EXPECT_STREQ(reinterpret_cast<char*>(&b[16]), "Office");
  EXPECT_EQ(b[96], 'A');
  EXPECT_EQ(b[97], 97);
  EXPECT_STREQ(reinterpret_cast<char*>(&b[104]), "C:\\APPS");
  EXPECT_EQ(b[384], 23);
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
