// Thousands of malformed and forbidden frames: the service answers or hangs up, never
// crashes, never stalls, never writes, and still serves a good request afterwards.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <random>
#include <thread>

#include "plx/bytes.h"
#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;
namespace proto = plx::proto;

namespace {

constexpr uint32_t kSeed = 20240611;

std::string RandomBytes(std::mt19937& rng, size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = char(rng() & 0xFF);
  return s;
}

// A request that the service must refuse, and the status it must give. Writes to the
// tables workstations may write are always broken in one way, so none can succeed.
proto::Request Forbidden(std::mt19937& rng, int32_t& expect) {
  proto::Request q;
  q.call = proto::kCallOperation;
  const uint32_t tables[] = {300, 302, 303, 304, 305, 307, 310};
  q.table = tables[rng() % 7];
  const TableDef* t = FindTable(q.table);
  bool insert = rng() % 2 == 0;
  q.cls = insert ? kClassInsert : kClassRewrite;
  q.op = insert ? kOpInsert : kOpGetEqual;
  q.keyNo = 0;
  q.key = U32(rng() % 12);
  q.recordLength = t->recordLength;
  q.data = RandomBytes(rng, t->recordLength);
  bool writable = q.table == kTableUserPackage || (insert && (q.table == kTableHistory || q.table == kTableHistoryText));
  if (!insert && !t->Key(0)) { expect = kDbInvalidKey; return q; }
  switch (writable ? rng() % 5 : 5) {
    case 0: q.recordLength += 1 + rng() % 50; expect = kDbRecordBufferTooSmall; break;
    case 1: q.data.resize(rng() % t->recordLength); expect = kDbInvalidOperation; break;
    case 2: q.key.resize(rng() % 4); expect = kDbInvalidFieldLength; break;
    case 3: q.keyNo = 1 + rng() % 10; expect = kDbInvalidKey; break;
    case 4:
      if (q.table == kTableUserPackage) {
        PutU32(reinterpret_cast<uint8_t*>(&q.data[20]), 1 + rng() % 5);  // Scheduled != 0
        expect = kDbReadOnly;
      } else {
        q.recordLength -= 1;
        expect = kDbRecordBufferTooSmall;
      }
      break;
    default: expect = kDbReadOnly; break;
  }
  return q;
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
  if (!c.Connect(port, 3000)) return false;
  std::string rec;
  return c.Op(kTablePackage, kClassRead, kOpGetFirst, 4, U32(0), "", &rec) == kDbOk &&
         Rec<PackageRecord>(rec).PackageId == 10;
}

class Fuzz : public ::testing::Test {
 protected:
  void SetUp() override {
    Json seed = SampleSeed();
    ASSERT_TRUE(d.Start(&seed)) << ReadFile(d.log);
    before = DatabaseDigest(d.db);
  }
  void TearDown() override {
    EXPECT_TRUE(d.Alive()) << ReadFile(d.log);
    EXPECT_TRUE(GoodRequestWorks(d.port));
    EXPECT_EQ(DatabaseDigest(d.db), before);
  }
  Daemon d;
  std::string before;
};

// Every frame of the corpus, each on a connection of its own: its status, then the
// connection open or closed as the line says.
TEST_F(Fuzz, CorpusFramesGetTheirAnswer) {
  std::istringstream in(ReadFile(PLX_CORPUS_DIR "/frames.txt"));
  std::string line;
  int frames = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream ls(line);
    std::string hex, closes;
    int32_t status = 0;
    ls >> hex >> status >> closes;
    std::string frame;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) frame += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    Client c;
    ASSERT_TRUE(c.Connect(d.port));
    ASSERT_TRUE(c.Send(frame)) << line;
    proto::Reply r;
    ASSERT_TRUE(c.ReadReply(r)) << line;
    EXPECT_EQ(r.status, status) << line;
    EXPECT_EQ(c.PeerClosed(closes == "close" ? 3000 : 100), closes == "close") << line;
    ++frames;
  }
  EXPECT_GT(frames, 10);
}

// Random bytes and frames cut anywhere, then a hang-up: nothing may crash or stall.
TEST_F(Fuzz, RandomBytesAndTruncatedFrames) {
  std::mt19937 rng(kSeed + 1);
  for (int i = 0; i < 800; ++i) {
    Client c;
    ASSERT_TRUE(c.Connect(d.port));
    std::string frame = i % 2 ? RandomBytes(rng, 1 + rng() % 300) : proto::EncodeRequest(RandomRead(rng));
    if (i % 2 == 0) frame.resize(rng() % frame.size());
    c.Send(frame);
  }
  ASSERT_TRUE(GoodRequestWorks(d.port));
}

TEST_F(Fuzz, ForbiddenWritesAndRandomReadsOnLongConnections) {
  // Four connections at once, each sending a long series on one connection.
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0), answered(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(kSeed + 10 + t);
      Client c;
      if (!c.Connect(d.port)) { failures[t]++; return; }
      for (int i = 0; i < 600; ++i) {
        proto::Reply r;
        int32_t expect = 0;
        bool forbidden = i % 2 == 0;
        proto::Request q = forbidden ? Forbidden(rng, expect) : RandomRead(rng);
        if (!c.Call(q, r)) { failures[t]++; return; }
        answered[t]++;
        if (forbidden && r.status != expect) {
          ADD_FAILURE() << "table " << q.table << " cls " << q.cls << " key " << q.keyNo << "/" << q.key.size()
                        << " len " << q.recordLength << "/" << q.data.size() << ": " << r.status << " != " << expect;
          failures[t]++;
        }
        if (!forbidden && q.call == proto::kCallOperation && q.cls != kClassRead && r.status == kDbOk) failures[t]++;
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t) {
    EXPECT_EQ(failures[t], 0) << t;
    EXPECT_EQ(answered[t], 600) << t;
  }
}

}  // namespace
