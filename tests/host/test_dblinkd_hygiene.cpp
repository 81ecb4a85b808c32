// A client that floods or stalls cannot lock others out: connections are capped per
// address and closed when idle or stalled inside a frame, and the admin API keeps
// answering while slow clients drip bytes.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <memory>
#include <thread>

#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;
using Clock = std::chrono::steady_clock;

namespace {

double MsSince(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }
void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Connects from `from` and reads; the time it took, or -1 when it was not served.
double ServedMs(const char* from, uint16_t port) {
  auto t0 = Clock::now();
  Client c;
  bool ok = c.Connect(port, from) && c.Read(kTablePackage, kOpGetFirst, 4, U32(0)) == kDbOk;
  return ok ? MsSince(t0) : -1;
}

// Many connections at once, opened without waiting.
std::vector<std::unique_ptr<Client>> Open(int n, const char* from, uint16_t port) {
  std::vector<std::unique_ptr<Client>> all;
  for (int i = 0; i < n; ++i) {
    all.push_back(std::make_unique<Client>());
    EXPECT_TRUE(all.back()->Connect(port, from, false)) << i;
  }
  return all;
}

TEST(Hygiene, FloodsFromOneAddressLeaveOthersServed) {
  rlimit r{};
  getrlimit(RLIMIT_NOFILE, &r);
  r.rlim_cur = r.rlim_max;  // room for a few thousand sockets here
  setrlimit(RLIMIT_NOFILE, &r);
  Daemon d;
  Json seed = SampleSeed();
  ASSERT_TRUE(d.Start(&seed, false, {"--max-per-address", "100"})) << d.Log();
  plx::proto::Request hello;
  hello.call = plx::proto::kCallHello;
  const std::string half = plx::proto::EncodeRequest(hello).substr(0, 20);
  auto flood = Open(4000, "127.0.0.2", d.port);  // 2,000 idle, 2,000 sending half a frame
  Pause(300);
  for (size_t i = 1; i < flood.size(); i += 2) flood[i]->Send(half);
  double ms = ServedMs("127.0.0.3", d.port);
  EXPECT_GE(ms, 0) << d.Log();
  EXPECT_LT(ms, 1000);
  // Past the cap, refused at once: all but 100 are closed already.
  Pause(300);
  size_t refused = 0;
  for (auto& c : flood) refused += c->PeerClosed(0);
  EXPECT_EQ(refused, flood.size() - 100);
  flood.clear();
  std::string log = d.Log();
  size_t first = log.find("refusing connections from 127.0.0.2");
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("refusing connections from 127.0.0.2", first + 1), std::string::npos) << "logged once a minute";
  Pause(200);
  EXPECT_GE(ServedMs("127.0.0.2", d.port), 0);  // served again once its connections went
}

TEST(Hygiene, IdleAndStalledConnectionsAreClosed) {
  Daemon d;
  Json seed = SampleSeed();
  ASSERT_TRUE(d.Start(&seed, false, {"--idle-timeout", "2", "--frame-timeout", "1"}));
  Client idle, stalled, busy;
  ASSERT_TRUE(idle.Connect(d.port) && stalled.Connect(d.port) && busy.Connect(d.port));
  ASSERT_TRUE(stalled.Send(std::string("\x40\x00\x00\x00\x01", 5)));
  auto t0 = Clock::now();
  EXPECT_TRUE(stalled.PeerClosed(2500));
  EXPECT_GT(MsSince(t0), 700);
  for (int i = 0; i < 6; ++i, Pause(500))  // a connection that keeps talking stays open
    EXPECT_EQ(busy.Read(kTablePackage, kOpGetFirst, 4, U32(0)), kDbOk);
  EXPECT_TRUE(idle.PeerClosed(100));
  EXPECT_EQ(busy.Read(kTablePackage, kOpGetFirst, 4, U32(0)), kDbOk);
}

TEST(Hygiene, AdminAnswersWhileSlowClientsDrip) {
  Daemon d;
  Json seed = SampleSeed();
  ASSERT_TRUE(d.Start(&seed));
  auto drips = Open(50, nullptr, d.adminPort);
  Pause(100);
  const std::string head = "GET /packages HTTP/1.1\r\nHost: x\r\n";
  for (size_t b = 0; b < 8; ++b, Pause(50))  // a byte each, now and then, from all fifty
    for (auto& c : drips) c->Send(head.substr(b, 1));
  std::string body;
  auto t0 = Clock::now();
  EXPECT_EQ(AdminRequest(d.adminPort, "GET", "/packages", Daemon::kToken, "", body), 200);
  EXPECT_LT(MsSince(t0), 1000);
  EXPECT_EQ(Json::parse(body)["packages"].size(), 5u);
  // The token is required, compared whole.
  for (const char* token : {"", "test-token-7f3a9c2", "test-token-7f3a9c21X"})
    EXPECT_EQ(AdminRequest(d.adminPort, "GET", "/packages", token, "", body), 401) << token;
  EXPECT_EQ(AdminRequest(d.adminPort, "GET", "/nothing", Daemon::kToken, "", body), 404);
}

}  // namespace
