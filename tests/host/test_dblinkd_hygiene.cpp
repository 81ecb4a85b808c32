// A client that floods or stalls cannot lock others out: connections are capped per
// address and closed when idle or stalled inside a frame, and the admin API keeps
// answering while slow clients drip bytes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "plx/bytes.h"
#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;
using Clock = std::chrono::steady_clock;

namespace {

double MsSince(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

// Room for a few thousand sockets in this process.
void RaiseDescriptorLimit() {
  rlimit r{};
  getrlimit(RLIMIT_NOFILE, &r);
  r.rlim_cur = r.rlim_max;
  setrlimit(RLIMIT_NOFILE, &r);
}

// A non-blocking connect from a given loopback address; -1 when it fails at once.
int OpenFrom(const char* from, uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, from, &a.sin_addr);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) { if (fd >= 0) close(fd); return -1; }
  a.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  return fd;
}

// True when the peer reset or closed the connection.
bool Refused(int fd) {
  char c;
  ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

bool ServedFrom(const char* from, uint16_t port, double& ms) {
  auto t0 = Clock::now();
  Client c;
  bool ok = c.Connect(port, 2000, from) && c.Op(kTablePackage, kClassRead, kOpGetFirst, 4, U32(0), "") == kDbOk;
  ms = MsSince(t0);
  return ok;
}

TEST(Hygiene, FloodsFromOneAddressLeaveOthersServed) {
  RaiseDescriptorLimit();
  Daemon d;
  Json seed = SampleSeed();
  ASSERT_TRUE(d.Start(&seed, false, {"--max-per-address", "100"})) << ReadFile(d.log);
  plx::proto::Request hello;
  hello.call = plx::proto::kCallHello;
  const std::string half = plx::proto::EncodeRequest(hello).substr(0, 20);
  std::vector<int> fds;
  for (int i = 0; i < 4000; ++i) {
    int fd = OpenFrom("127.0.0.2", d.port);
    ASSERT_GE(fd, 0) << i;
    fds.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (size_t i = 1; i < fds.size(); i += 2) send(fds[i], half.data(), half.size(), MSG_NOSIGNAL);  // half-frames
  double ms = 0;
  EXPECT_TRUE(ServedFrom("127.0.0.3", d.port, ms)) << ReadFile(d.log);
  EXPECT_LT(ms, 1000);
  // Past the cap, refused at once: all but 100 are closed already.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  size_t refused = 0;
  for (int fd : fds) refused += Refused(fd);
  EXPECT_EQ(refused, fds.size() - 100);
  for (int fd : fds) close(fd);
  std::string log = ReadFile(d.log);
  size_t first = log.find("refusing connections from 127.0.0.2");
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("refusing connections from 127.0.0.2", first + 1), std::string::npos) << "logged once a minute";
  EXPECT_TRUE(ServedFrom("127.0.0.2", d.port, ms));  // the address is served again once its connections went
}

TEST(Hygiene, IdleAndStalledConnectionsAreClosed) {
  Daemon d;
  Json seed = SampleSeed();
  ASSERT_TRUE(d.Start(&seed, false, {"--idle-timeout", "2", "--frame-timeout", "1"}));
  Client idle, stalled, busy;
  ASSERT_TRUE(idle.Connect(d.port));
  ASSERT_TRUE(stalled.Connect(d.port));
  ASSERT_TRUE(busy.Connect(d.port));
  ASSERT_TRUE(stalled.Send(std::string("\x40\x00\x00\x00\x01", 5)));
  auto t0 = Clock::now();
  EXPECT_TRUE(stalled.PeerClosed(2500));
  EXPECT_GT(MsSince(t0), 700);
  for (int i = 0; i < 6; ++i) {  // a connection that keeps talking stays open
    EXPECT_EQ(busy.Op(kTablePackage, kClassRead, kOpGetFirst, 4, U32(0), ""), kDbOk);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  EXPECT_TRUE(idle.PeerClosed(100));
  EXPECT_EQ(busy.Op(kTablePackage, kClassRead, kOpGetFirst, 4, U32(0), ""), kDbOk);
}

TEST(Hygiene, AdminAnswersWhileSlowClientsDrip) {
  Daemon d;
  Json seed = SampleSeed();
  ASSERT_TRUE(d.Start(&seed));
  std::vector<int> drips;
  for (int i = 0; i < 50; ++i) {
    int fd = OpenFrom("127.0.0.1", d.adminPort);
    ASSERT_GE(fd, 0);
    drips.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::string head = "GET /packages HTTP/1.1\r\nHost: x\r\n";
  for (size_t b = 0; b < 8; ++b) {  // a byte each, now and then, from all fifty
    for (int fd : drips) send(fd, &head[b], 1, MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::string body;
  auto t0 = Clock::now();
  EXPECT_EQ(AdminRequest(d.adminPort, "GET", "/packages", Daemon::kToken, "", body), 200);
  EXPECT_LT(MsSince(t0), 1000);
  EXPECT_EQ(Json::parse(body)["packages"].size(), 5u);
  for (int fd : drips) close(fd);
  // The token is required, compared whole.
  for (const char* token : {"", "test-token-7f3a9c2", "test-token-7f3a9c21X"})
    EXPECT_EQ(AdminRequest(d.adminPort, "GET", "/packages", token, "", body), 401) << token;
  EXPECT_EQ(AdminRequest(d.adminPort, "GET", "/nothing", Daemon::kToken, "", body), 404);
}

}  // namespace
