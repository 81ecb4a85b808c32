// kill -9 in the middle of a burst of inserts from several workstations: after a restart
// every acknowledged row is there, exactly once, as it was acknowledged.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <map>
#include <sstream>
#include <thread>

#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;

namespace {

struct Acked {
  uint32_t table, id;
  std::string name, record;
};

// An insert of a status row (a user row of workstation WS<t>) or a history text named `name`.
int32_t Insert(Client& c, bool text, const std::string& name, int t, std::string& rec) {
  HistoryTextRecord h;
  h.ServerId = 1;
  CopyText(h.Text, sizeof h.Text, name.c_str());
  UserPackageRecord u;
  u.ServerId = 1;
  u.PackageId = 10;
  u.TargetKind = 6;
  CopyText(u.TargetName, sizeof u.TargetName, name.c_str());
  CopyText(u.Counterpart, sizeof u.Counterpart, ("WS" + std::to_string(t)).c_str());
  return text ? c.Op(kTableHistoryText, kClassInsert, kOpInsert, 0, U32(0), Bytes(h, kTableHistoryText), &rec)
              : c.Op(kTableUserPackage, kClassInsert, kOpInsert, 0, U32(0), Bytes(u, kTableUserPackage), &rec);
}

// How often each name occurs in the database file.
std::map<std::string, int> NameCounts(const std::string& db) {
  std::map<std::string, int> out;
  std::istringstream rows(Query(db, "SELECT \"TargetName\" FROM package_users WHERE \"TargetName\" LIKE 'WS%' "
                                    "UNION ALL SELECT \"Text\" FROM history_texts"));
  for (std::string line; std::getline(rows, line);) out[line.substr(0, line.size() - 1)]++;
  return out;
}

TEST(DblinkdCrash, AcknowledgedInsertsSurviveKill9) {
  Daemon d;
  Json seed = SampleSeed();
  ASSERT_TRUE(d.Start(&seed, false)) << d.Log();
  constexpr int kThreads = 4, kMaxPerThread = 3000;  // a bound in case the kill comes late
  std::vector<std::vector<Acked>> acked(kThreads);
  std::atomic<int> total{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      Client c;
      for (int i = 0; i < kMaxPerThread && (i > 0 || c.Connect(d.port)); ++i, ++total) {
        std::string name = "WS" + std::to_string(t) + "-" + std::to_string(i), rec;
        bool text = i % 3 == 2;
        if (Insert(c, text, name, t, rec) != kDbOk) return;
        uint32_t id = text ? Rec<HistoryTextRecord>(rec).TextId : Rec<UserPackageRecord>(rec).RecordId;
        acked[t].push_back({text ? kTableHistoryText : kTableUserPackage, id, name, rec});
      }
    });
  // Kill once a good number of inserts were acknowledged, while they are still coming.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (total < 150 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  d.Signal(SIGKILL);
  for (auto& th : threads) th.join();
  EXPECT_EQ(d.Wait(), -1);  // ended by the signal
  ASSERT_GE(total.load(), 150);
  ASSERT_LT(total.load(), kThreads * kMaxPerThread) << "the burst ended before the kill";

  ASSERT_TRUE(d.Start(nullptr, false)) << d.Log();
  auto names = NameCounts(d.db);
  Client c;
  ASSERT_TRUE(c.Connect(d.port));
  size_t rows = 0;
  for (auto& list : acked)
    for (const Acked& a : list) {
      ASSERT_EQ(names[a.name], 1) << a.name;
      std::string rec;
      ASSERT_EQ(c.Read(a.table, kOpGetEqual, 0, U32(a.id), &rec), kDbOk) << a.name;
      EXPECT_EQ(rec, a.record) << a.name;
      ++rows;
    }
  // At most the one insert per connection that was in flight may have landed unacknowledged.
  EXPECT_LE(names.size(), rows + kThreads);
  for (auto& [name, n] : names) EXPECT_EQ(n, 1) << name;
  // Ids keep counting up after the restart.
  std::string rec;
  size_t statusRows = CountRows(d.db, "package_users");
  ASSERT_EQ(Insert(c, false, "WS0-after", 0, rec), kDbOk);
  EXPECT_EQ(Rec<UserPackageRecord>(rec).RecordId, statusRows + 1);
  if (!UsingPostgres()) EXPECT_EQ(CountRows(d.db, "pragma_integrity_check", "integrity_check='ok'"), 1);
}

}  // namespace
