// The shared record codec: offsets worked out by hand from the record layouts (lengths and
// keys are checked where the service refuses wrong ones).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "plx/bytes.h"
#include "plx/records.h"

using namespace plx;

TEST(Records, BytesSitAtTheirOffsets) {
  PackageRecord p;
  p.PackageId = 0x01020304;
  p.ServerId = 7;
  CopyText(p.Name, sizeof p.Name, "Office");
  p.Status = 'A';
  p.StartDate[0] = 97;
  CopyText(p.InstallPath, sizeof p.InstallPath, "C:\\APPS");
  p.MaxFailures = 3;
  p.Options = 0x8000;
  p.TimeTo[0] = 23;
  p.TargetOs = 4;
  p.Flags = 0x0800;
  std::vector<uint8_t> b(395, 0xEE);
  Encode(p, b.data());
  const std::pair<size_t, uint32_t> u32s[] = {{0, 0}, {4, 0x01020304}, {12, 7}, {365, 3}, {369, 0x8000}, {387, 4}, {391, 0x0800}};
  for (auto [at, v] : u32s) EXPECT_EQ(GetU32(&b[at]), v) << at;
  EXPECT_EQ(b[4], 0x04);  // little-endian
  EXPECT_STREQ(reinterpret_cast<char*>(&b[16]), "Office");
  EXPECT_EQ(b[96] + 0, 'A');
  EXPECT_EQ(b[97], 97);
  EXPECT_STREQ(reinterpret_cast<char*>(&b[104]), "C:\\APPS");
  EXPECT_EQ(b[384], 23);

  // A text that fills its field keeps no terminator and decodes bounded.
  HistoryRecord h;
  memcpy(h.Date, "19980307", 8);
  memcpy(h.Time, "090503", 6);
  std::vector<uint8_t> hb(326);
  Encode(h, hb.data());
  EXPECT_EQ(memcmp(&hb[28], "19980307090503", 15), 0);  // Date runs straight into Time
  HistoryRecord back;
  Decode(hb.data(), back);
  EXPECT_EQ(std::string(back.Date) + "|" + back.Time, "19980307|090503");
}
