// Two dblinkd replicas on one PostgreSQL database and 200 workstations writing status rows
// through both at once, each on a connection of its own; mid-run one replica is killed with
// kill -9 and its workstations go on through the other. Then: no id given twice, every
// acknowledged insert and rewrite stored as it was acknowledged, and of the writes in
// flight at the kill, each stored whole or not at all.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;

namespace {

constexpr int kClients = 200, kWritesPerClient = 45, kInsertEvery = 3;
constexpr uint32_t kUsers = kTableUserPackage, kMachine = 8, kServer = 1, kPackage = 30;
constexpr uint16_t kStatusCount = 6;  // workstations write statuses 0-5

std::string MachineId(int client) {
  char id[16];
  snprintf(id, sizeof id, "RW%010d", client);
  return id;
}

// One workstation's writes as they ended.
struct Workstation {
  std::map<uint32_t, std::string> rows;  // id -> record as last acknowledged
  // A write whose link broke before its answer: an insert (id 0) or a rewrite of `id`,
  // with the record as it would be stored (ids aside for an insert).
  struct Doubt { uint32_t id; std::string record; };
  std::vector<Doubt> doubts;
  int moves = 0;       // links moved to the other replica
  int afterMove = 0;   // writes acknowledged since
  std::atomic<bool> finished{false};
};

void Write(int k, const uint16_t ports[2], Workstation& w, std::atomic<int>& acked, const std::atomic<bool>& killed) {
  Client c;
  int at = k % 2;
  if (!c.Connect(ports[at])) {
    ADD_FAILURE() << "workstation " << k << " found no replica";
    return;
  }
  const std::string machine = MachineId(k);
  for (int n = 0, serial = 0; n < kWritesPerClient; ++serial) {
    UserPackageRecord u;
    uint32_t id = 0;
    if (w.rows.empty() || serial % kInsertEvery == 0) {
      u.ServerId = kServer;
      u.PackageId = kPackage;
      u.TargetKind = kMachine;
      CopyText(u.TargetName, sizeof u.TargetName, machine.c_str());
      // Tells the rows of one workstation apart, also one whose insert was not answered.
      CopyText(u.Counterpart, sizeof u.Counterpart, ("w" + std::to_string(serial)).c_str());
    } else {
      auto row = w.rows.begin();
      std::advance(row, serial % w.rows.size());
      id = row->first;
      u = Rec<UserPackageRecord>(row->second);
      u.PackageStatus = uint16_t((u.PackageStatus + 1) % kStatusCount);
    }
    std::string sent = Bytes(u, kUsers), out;
    int32_t st = id ? c.Op(kUsers, kClassRewrite, kOpGetEqual, 0, U32(id), sent, &out)
                    : c.Op(kUsers, kClassInsert, kOpInsert, 0, U32(0), sent, &out);
    if (st == kDbOk) {
      w.rows[id ? id : Rec<UserPackageRecord>(out).RecordId] = out;
      ++n;
      ++acked;
      w.afterMove += w.moves > 0;
      continue;
    }
    if (st != -1) {
      ADD_FAILURE() << "workstation " << k << ": status " << st;
      break;
    }
    // The link broke: nothing is known of this write. The workstation goes on through the
    // other replica, as the requester would.
    w.doubts.push_back({id, sent});
    if (!killed) {
      ADD_FAILURE() << "workstation " << k << ": a write went unanswered (in 5 s) with both replicas up";
      break;
    }
    if (w.moves++ > 0 || !c.Connect(ports[at ^= 1])) {
      ADD_FAILURE() << "workstation " << k << " lost its link again, or could not move";
      break;
    }
  }
  w.finished = true;
}

// Every status row of the workstations RW..., walked by key 7 through a replica: id -> record.
std::map<uint32_t, std::string> StoredRows(uint16_t port) {
  std::map<uint32_t, std::string> out;
  Client c;
  EXPECT_TRUE(c.Connect(port));
  std::string rec;
  uint32_t rowId = 0;
  int32_t st = c.Read(kUsers, kOpGetGreaterEq, 7, Name7(kServer, kPackage, kMachine, "RW"), &rec, &rowId);
  while (st == kDbOk) {
    auto u = Rec<UserPackageRecord>(rec);
    if (u.TargetKind != kMachine || u.PackageId != kPackage || strncmp(u.TargetName, "RW", 2) != 0) break;
    EXPECT_TRUE(out.emplace(u.RecordId, rec).second) << "id " << u.RecordId << " twice";
    st = c.Op(kUsers, kClassRead, kOpGetNext, 7, Name7(kServer, kPackage, kMachine, u.TargetName), "", &rec, &rowId,
              rowId);
  }
  EXPECT_TRUE(st == kDbOk || st == kDbNotFound) << st;
  return out;
}

}  // namespace

TEST(Replicas, TwoHundredWorkstationsWriteThroughTwoReplicasOneOfThemKilled) {
  if (!UsingPostgres()) GTEST_SKIP() << "replicas share a PostgreSQL database";
  const std::vector<std::string> many = {"--max-per-address", std::to_string(2 * kClients)};
  Daemon one, two;
  Json seed = SampleSeed();
  ASSERT_TRUE(one.Start(&seed, false, many)) << one.Log();
  two.db = one.db;
  ASSERT_TRUE(two.Start(nullptr, false, many)) << two.Log();
  const uint16_t ports[2] = {one.port, two.port};

  std::vector<Workstation> ws(kClients);
  std::atomic<int> acked{0};
  std::atomic<bool> killed{false};
  std::vector<std::thread> threads;
  for (int k = 0; k < kClients; ++k)
    threads.emplace_back(Write, k, ports, std::ref(ws[k]), std::ref(acked), std::cref(killed));
  constexpr int kKillAt = kClients * kWritesPerClient / 3;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  auto anyLeft = [&] {
    for (auto& w : ws)
      if (!w.finished) return true;
    return false;
  };
  while (acked < kKillAt && std::chrono::steady_clock::now() < deadline && anyLeft())
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  killed = true;
  one.Signal(SIGKILL);
  std::vector<int> mustMove;  // workstations of the killed replica with writes still to do
  for (int k = 0; k < kClients; k += 2)
    if (!ws[k].finished) mustMove.push_back(k);
  for (auto& t : threads) t.join();
  EXPECT_EQ(one.Wait(), -1);
  ASSERT_GE(mustMove.size(), size_t(kClients / 4)) << "the kill came too late to move many links";
  for (int k : mustMove) {
    EXPECT_EQ(ws[k].moves, 1) << "workstation " << k;
    EXPECT_GT(ws[k].afterMove, 0) << "workstation " << k;
  }

  std::map<uint32_t, std::string> stored = StoredRows(two.port);
  std::set<uint32_t> seen;  // ids acknowledged, each to one workstation only
  size_t doubtful = 0, ackedRows = 0, unanswered = 0;
  for (int k = 0; k < kClients; ++k) {
    Workstation& w = ws[k];
    EXPECT_LE(w.doubts.size(), 1u) << "workstation " << k;
    unanswered += w.doubts.size();
    for (auto& [id, rec] : w.rows) {
      ++ackedRows;
      EXPECT_TRUE(seen.insert(id).second) << "id " << id << " acknowledged twice";
      auto s = stored.find(id);
      ASSERT_NE(s, stored.end()) << "acknowledged row " << id << " of workstation " << k << " is lost";
      bool rewriteInDoubt = !w.doubts.empty() && w.doubts[0].id == id;
      EXPECT_TRUE(s->second == rec || (rewriteInDoubt && s->second == w.doubts[0].record))
          << "row " << id << " is neither its acknowledged form nor the rewrite in flight";
    }
    // An insert in flight is stored whole, under an id nobody was given, or not at all.
    for (auto& d : w.doubts) {
      if (d.id) continue;
      auto sent = Rec<UserPackageRecord>(d.record);
      for (auto& [id, rec] : stored) {
        auto u = Rec<UserPackageRecord>(rec);
        if (w.rows.count(id) || strcmp(u.TargetName, sent.TargetName) != 0) continue;
        ++doubtful;
        EXPECT_FALSE(seen.count(id)) << id;
        sent.RecordId = sent.PackageUserId = id;
        EXPECT_EQ(rec, Bytes(sent, kUsers)) << "the unanswered insert of workstation " << k << " is half stored";
      }
    }
  }
  // Nothing stored that no workstation wrote.
  EXPECT_EQ(stored.size(), ackedRows + doubtful);
  printf("%d workstations: %d writes acknowledged (%zu rows), %zu links moved, %zu writes unanswered, %zu of "
         "those inserts stored\n",
         kClients, acked.load(), ackedRows, mustMove.size(), unanswered, doubtful);
}
