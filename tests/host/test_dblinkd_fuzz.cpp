// Malformed and forbidden frames: the service answers or hangs up, never crashes, never
// stalls, never writes, and still serves a good request afterwards.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <sstream>
#include <thread>

#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;
namespace proto = plx::proto;

namespace {

std::string RandomBytes(std::mt19937& rng, size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = char(rng() & 0xFF);
  return s;
}

// Any read with random fields: the service must answer it (it cannot write).
proto::Request RandomRead(std::mt19937& rng) {
  proto::Request q;
  q.call = uint16_t(rng() % 6);
  q.version = uint16_t(rng() % 3);
  q.table = uint32_t(rng() % 3 ? 300 + rng() % 12 : rng());
  q.cls = rng() % 4 ? uint32_t(kClassRead) : uint32_t(rng());
  const uint32_t ops[] = {kOpGetFirst, kOpGetNext, kOpGetEqual, kOpGetGreaterEq, uint32_t(rng())};
  q.op = ops[rng() % 5];
  q.keyNo = rng() % 10;
  q.key = RandomBytes(rng, rng() % 2 ? rng() % 260 : 4 * (rng() % 5));
  q.recordLength = rng() % 2 ? RecordLength(q.table) : rng() % 600;
  q.posRowId = rng() % 2 ? rng() % 20 : rng();
  if (q.call == proto::kCallConnect || q.call == proto::kCallGetPath) q.data = RandomBytes(rng, rng() % 20);
  return q;
}

bool GoodRequestWorks(uint16_t port) {
  Client c;
  std::string rec;
  return c.Connect(port) && c.Read(kTablePackage, kOpGetFirst, 4, U32(0), &rec) == kDbOk &&
         Rec<PackageRecord>(rec).PackageId == 10;
}

class Fuzz : public ::testing::Test {
 protected:
  void SetUp() override {
    Json seed = SampleSeed();
    ASSERT_TRUE(d.Start(&seed)) << d.Log();
    before = DatabaseDigest(d.db);
  }
  void TearDown() override {
    EXPECT_TRUE(d.Alive()) << d.Log();
    EXPECT_TRUE(GoodRequestWorks(d.port));
    EXPECT_EQ(DatabaseDigest(d.db), before);
  }
  Daemon d;
  std::string before;
};

// Every frame of the corpus (frames that once failed, and edges), each on a connection of
// its own: its status, then the connection open or closed as the line says.
TEST_F(Fuzz, CorpusFramesGetTheirAnswer) {
  std::istringstream in(ReadFile(PLX_TEST_DATA_DIR "/corpus/frames.txt"));
  int frames = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream ls(line);
    std::string hex, closes, frame;
    int32_t status = 0;
    ls >> hex >> status >> closes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) frame += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    Client c;
    proto::Reply r;
    ASSERT_TRUE(c.Connect(d.port) && c.Send(frame) && c.ReadReply(r)) << line;
    EXPECT_EQ(r.status, status) << line;
    EXPECT_EQ(c.PeerClosed(closes == "close" ? 3000 : 100), closes == "close") << line;
    ++frames;
  }
  EXPECT_GT(frames, 10);
}

// Random bytes, frames cut anywhere, and whole random reads on one long connection:
// nothing may crash, stall or write (the fixture checks), and every whole read is answered.
TEST_F(Fuzz, RandomBytesTruncatedFramesAndReads) {
  std::mt19937 rng(20240612);
  for (int i = 0; i < 800; ++i) {
    Client c;
    ASSERT_TRUE(c.Connect(d.port));
    std::string frame = i % 2 ? RandomBytes(rng, 1 + rng() % 300) : proto::EncodeRequest(RandomRead(rng));
    if (i % 2 == 0) frame.resize(rng() % frame.size());
    c.Send(frame);
  }
  // The hang-ups reach the per-address count a little later.
  for (int i = 0; i < 100 && !GoodRequestWorks(d.port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Client c;
  ASSERT_TRUE(c.Connect(d.port));
  for (int i = 0; i < 1000; ++i) {
    proto::Reply r;
    ASSERT_TRUE(c.Call(RandomRead(rng), r)) << i;
  }
}

}  // namespace
