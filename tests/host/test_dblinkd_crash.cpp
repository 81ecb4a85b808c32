// kill -9 in the middle of a burst of inserts from several workstations: after a restart
// every acknowledged row is there, exactly once, as it was acknowledged.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <map>
#include <sstream>
#include <thread>

#include "plx/bytes.h"
#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;

namespace {

struct Acked {
  std::string name;
  uint32_t recordId;
  std::string record;
};

// How often each value of the query's one column occurs in the database file.
std::map<std::string, int> NameCounts(const std::string& db, const std::string& sql) {
  std::map<std::string, int> out;
  std::istringstream rows(Query(db, sql));
  for (std::string line; std::getline(rows, line);) out[line.substr(0, line.size() - 1)]++;
  return out;
}

TEST(DblinkdCrash, AcknowledgedInsertsSurviveKill9) {
  Daemon d;
  Json seed = SampleSeed();
  ASSERT_TRUE(d.Start(&seed, false)) << ReadFile(d.log);

  constexpr int kThreads = 4;
  constexpr int kMaxPerThread = 3000;  // a bound in case the kill comes late
  std::vector<std::vector<Acked>> acked(kThreads), texts(kThreads);
  std::atomic<int> total{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Client c;
      if (!c.Connect(d.port)) return;
      for (int i = 0; i < kMaxPerThread; ++i) {
        std::string name = "WS" + std::to_string(t) + "-" + std::to_string(i);
        std::string rec;
        if (i % 3 == 2) {
          HistoryTextRecord h;
          h.ServerId = 1;
          CopyText(h.Text, sizeof h.Text, name.c_str());
          if (c.Op(kTableHistoryText, kClassInsert, kOpInsert, 0, U32(0), Bytes(h, kTableHistoryText), &rec) != kDbOk) return;
          texts[t].push_back({name, Rec<HistoryTextRecord>(rec).TextId, rec});
        } else {
          UserPackageRecord u;
          u.ServerId = 1;
          u.PackageId = 10;
          u.TargetKind = 6;  // user rows of this connection's one workstation
          u.PackageStatus = uint16_t(i % 6);
          CopyText(u.TargetName, sizeof u.TargetName, name.c_str());
          CopyText(u.Counterpart, sizeof u.Counterpart, ("WS" + std::to_string(t)).c_str());
          if (c.Op(kTableUserPackage, kClassInsert, kOpInsert, 0, U32(0), Bytes(u, kTableUserPackage), &rec) != kDbOk) return;
          acked[t].push_back({name, Rec<UserPackageRecord>(rec).RecordId, rec});
        }
        ++total;
      }
    });
  }
  // Kill once a good number of inserts were acknowledged, while they are still coming.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (total < 150 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  d.Signal(SIGKILL);
  for (auto& th : threads) th.join();
  EXPECT_EQ(d.Wait(), -1);  // ended by the signal
  ASSERT_GE(total.load(), 150);
  ASSERT_LT(total.load(), kThreads * kMaxPerThread) << "the burst ended before the kill";

  ASSERT_TRUE(d.Restart(false)) << ReadFile(d.log);
  auto names = NameCounts(d.db, "SELECT TargetName FROM package_users WHERE TargetName LIKE 'WS%'");
  auto textNames = NameCounts(d.db, "SELECT Text FROM history_texts");
  Client c;
  ASSERT_TRUE(c.Connect(d.port));
  size_t rows = 0, textRows = 0;
  for (int t = 0; t < kThreads; ++t) {
    for (const Acked& a : acked[t]) {
      ASSERT_EQ(names[a.name], 1) << a.name;
      std::string rec;
      ASSERT_EQ(c.Op(kTableUserPackage, kClassRead, kOpGetEqual, 0, U32(a.recordId), "", &rec), kDbOk) << a.name;
      EXPECT_EQ(rec, a.record) << a.name;
    }
    for (const Acked& a : texts[t]) {
      ASSERT_EQ(textNames[a.name], 1) << a.name;
      std::string rec;
      ASSERT_EQ(c.Op(kTableHistoryText, kClassRead, kOpGetEqual, 0, U32(a.recordId), "", &rec), kDbOk) << a.name;
      EXPECT_EQ(rec, a.record) << a.name;
    }
    rows += acked[t].size();
    textRows += texts[t].size();
  }
  // At most the one insert per connection that was in flight may have landed unacknowledged.
  EXPECT_LE(names.size(), rows + kThreads);
  EXPECT_LE(textNames.size(), textRows + kThreads);
  for (auto& [name, n] : names) EXPECT_EQ(n, 1) << name;

  // Ids keep counting up after the restart.
  UserPackageRecord u;
  u.ServerId = 1;
  u.PackageId = 10;
  u.TargetKind = 6;
  std::string rec;
  ASSERT_EQ(c.Op(kTableUserPackage, kClassInsert, kOpInsert, 0, U32(0), Bytes(u, kTableUserPackage), &rec), kDbOk);
  EXPECT_EQ(Rec<UserPackageRecord>(rec).RecordId, 8 + names.size() + 1);
  EXPECT_EQ(CountRows(d.db, "pragma_integrity_check", "integrity_check='ok'"), 1);
}

}  // namespace
