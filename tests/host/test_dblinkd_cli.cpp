// dblinkd's command line, start-up and shutdown.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;

namespace {

TEST(DblinkdCli, HelpAndBadArguments) {
  std::string out, err;
  EXPECT_EQ(RunProgram({PLX_DBLINKD_BIN, "--help"}, &out, &err), 0);
  EXPECT_NE(out.find("--port-file"), std::string::npos);
  EXPECT_EQ(RunProgram({PLX_DBLINKD_BIN, "--db", "/tmp/x.db"}, &out, &err), 2);
  EXPECT_NE(err.find("--listen is required"), std::string::npos) << err;
  EXPECT_EQ(RunProgram({PLX_DBLINKD_BIN, "--db", "/tmp/x.db", "--listen", "127.0.0.1"}, &out, &err), 2);
  EXPECT_NE(err.find("expected HOST:PORT"), std::string::npos) << err;
  EXPECT_EQ(RunProgram({PLX_DBLINKD_BIN, "--db", "/tmp/x.db", "--listen", "127.0.0.1:70000"}, &out, &err), 2);
  EXPECT_EQ(RunProgram({PLX_DBLINKD_BIN, "--bogus"}, &out, &err), 2);
  EXPECT_NE(err.find("unknown argument '--bogus'"), std::string::npos) << err;
  EXPECT_EQ(RunProgram({PLX_DBLINKD_BIN, "--db", "/tmp/x.db", "--listen", "127.0.0.1:0",
                        "--admin-listen", "127.0.0.1:0"}, &out, &err), 2);
  EXPECT_NE(err.find("--admin-token-file"), std::string::npos) << err;
}

TEST(DblinkdCli, BadSeedStopsTheStartNamingTheElement) {
  std::string dir = MakeTempDir();
  WriteFile(dir + "/seed.json", R"({"packages": [{"PackageId": 1}, {"PackageId": 2, "Colour": "red"}]})");
  std::string out, err;
  EXPECT_EQ(RunProgram({PLX_DBLINKD_BIN, "--db", dir + "/db", "--listen", "127.0.0.1:0", "--seed",
                        dir + "/seed.json", "--port-file", dir + "/ports"}, &out, &err), 1);
  EXPECT_NE(err.find("packages[1].Colour: unknown field"), std::string::npos) << err;
  EXPECT_TRUE(ReadFile(dir + "/ports").empty());  // never listened
  EXPECT_EQ(CountRows(dir + "/db", "packages"), 0);  // and imported nothing
  RemoveTree(dir);
}

TEST(DblinkdCli, PortFileAndCleanStopOnSigterm) {
  Daemon d;
  Json seed = SampleSeed();
  ASSERT_TRUE(d.Start(&seed, false));
  EXPECT_EQ(ReadFile(d.dir + "/ports"), "requester=" + std::to_string(d.port) + "\nadmin=0\n");
  Client c;
  ASSERT_TRUE(c.Connect(d.port));
  ASSERT_EQ(c.Op(kTablePackage, kClassRead, kOpGetFirst, 4, U32(0), ""), kDbOk);
  d.Signal(SIGTERM);
  EXPECT_EQ(d.Wait(), 0);
  EXPECT_TRUE(c.PeerClosed());  // the idle connection was closed
  EXPECT_NE(ReadFile(d.log).find("stopped"), std::string::npos);

  // The database is there on the next start, without a seed; SIGINT stops it as well.
  ASSERT_TRUE(d.Restart(true));
  EXPECT_NE(d.adminPort, 0);
  ASSERT_TRUE(c.Connect(d.port));
  std::string rec;
  ASSERT_EQ(c.Op(kTablePackage, kClassRead, kOpGetFirst, 4, U32(0), "", &rec), kDbOk);
  EXPECT_STREQ(Rec<PackageRecord>(rec).Name, "Office 97");
  d.Signal(SIGINT);
  EXPECT_EQ(d.Wait(), 0);
}

TEST(DblinkdCli, SigtermUnderLoadStopsCleanly) {
  Daemon d;
  Json seed = SampleSeed();
  ASSERT_TRUE(d.Start(&seed, true));
  std::atomic<bool> stop{false};
  std::atomic<int> ok{0}, bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      Client c;
      if (!c.Connect(d.port)) return;
      // Bounded: the service goes away within a second or so.
      for (int i = 0; i < 200000 && !stop; ++i) {
        std::string rec;
        int32_t s = c.Op(kTablePackage, kClassRead, kOpGetFirst, 4, U32(0), "", &rec);
        if (s == -1) return;  // closed by the stop
        (s == kDbOk && rec.size() == 395 ? ok : bad)++;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  d.Signal(SIGTERM);
  EXPECT_EQ(d.Wait(5000), 0) << ReadFile(d.log);
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_GT(ok.load(), 0);
  EXPECT_EQ(bad.load(), 0);
  Client late;
  EXPECT_FALSE(late.Connect(d.port, 500));  // nothing listens any more
}

TEST(DblinkdCli, ImportingTheSameSeedTwiceReplacesRows) {
  Daemon d;
  Json seed = SampleSeed();
  ASSERT_TRUE(d.Start(&seed, true));
  std::string body;
  ASSERT_EQ(AdminRequest(d.adminPort, "POST", "/import", Daemon::kToken, seed.dump(), body), 200) << body;
  EXPECT_EQ(CountRows(d.db, "packages"), 5);
  EXPECT_EQ(CountRows(d.db, "package_users"), 8);
  EXPECT_EQ(CountRows(d.db, "dependencies"), 3);
  EXPECT_EQ(CountRows(d.db, "servers"), 2);
  EXPECT_EQ(CountRows(d.db, "installed"), 4);
}

}  // namespace
