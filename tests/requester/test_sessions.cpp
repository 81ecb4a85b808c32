// Starting the requester, its time-outs and retries, handles, installed paths, and the links
// to the user's further servers.
#include <gtest/gtest.h>

#include <functional>

#include "support.h"

using namespace rt;

namespace {

uint32_t Connect(uint32_t session, const char* server) {
  uint32_t c = 0;
  EXPECT_EQ(DBConnectEx(session, server, "", "", "KVR610", 0, &c), 0) << server;
  return c;
}

int32_t ReadServer(uint32_t connection) {
  return Read(connection, plx::kTableServer, plx::kOpGetEqual, 3, NameKey({}, "SRV", 48)).status;
}

}  // namespace

TEST(InitRequester, RefusesBadParametersAndUnlistedServersAtOnce) {
  const uint32_t small[3] = {8, 1, 5};
  const struct {
    const char* server;
    const uint32_t* params;
    int32_t status;
  } cases[] = {{"SRV", nullptr, 10204}, {nullptr, Params(1, 5).get(), 10204}, {"SRV", small, 10205},
               {"", Params(1, 5).get(), 10206}, {"NOSUCH", Params(3, 5).get(), 10100}};
  Stopwatch w;
  for (const auto& k : cases) EXPECT_EQ(DBInitRequesterEx(k.server, k.params), k.status);
  EXPECT_LT(w.Seconds(), 1.0) << "nothing there to wait for";
  EXPECT_EQ(DBInitRequesterEx("srv", Params(1, 5).get()), 0) << "INI names are found without regard to case";
  EXPECT_EQ(DBTerminateRequesterEx("SRV"), 0);
}

// Nobody listens on DOWN: each call waits out retries times the time-out, the settings of
// DBInitRequesterEx, also for servers opened later.
TEST(InitRequester, AServiceThatIsDownTakesRetriesTimesTheTimeOut) {
  ASSERT_EQ(DBInitRequesterEx("SRV", Params(2, 1).get()), 0);
  uint32_t session = 0, c = 77;
  ASSERT_EQ(DBInitSessionEx(&session), 0);
  char path[256], second[256];
  const struct {
    const char* what;
    std::function<int32_t()> call;
    double least, most;
  } cases[] = {
      {"init 2 x 1 s", [] { return DBInitRequesterEx("DOWN", Params(2, 1).get()); }, 1.8, 3.5},
      {"connect", [&] { return DBConnectEx(session, "DOWN", "", "", "KVR610", 0, &c); }, 1.8, 3.5},
      {"get path", [&] { return DBGetPathAppInstalledEx("DOWN", "KVR610", path, second); }, 1.8, 3.5},
      {"init 1 x 1 s", [] { return DBInitRequesterEx("DOWN", Params(1, 1).get()); }, 0.8, 2.0},
  };
  for (const auto& k : cases) {
    Stopwatch w;
    EXPECT_EQ(k.call(), 10100) << k.what;
    EXPECT_GE(w.Seconds(), k.least) << k.what;
    EXPECT_LE(w.Seconds(), k.most) << k.what;
  }
  EXPECT_EQ(c, 0u);
  EXPECT_EQ(DBTerminateSessionEx(session), 0);
  EXPECT_EQ(DBTerminateRequesterEx("SRV"), 0);
}

TEST(Sessions, HandlesAreDistinctAndOfTheirKind) {
  ASSERT_EQ(DBInitRequesterEx("SRV", Params(1, 5).get()), 0);
  uint32_t s1 = 0, s2 = 0;
  ASSERT_EQ(DBInitSessionEx(&s1), 0);
  ASSERT_EQ(DBInitSessionEx(&s2), 0);
  uint32_t c1 = Connect(s1, "SRV"), c2 = Connect(s1, "SRV"), c3 = Connect(s2, "SRV");
  std::vector<uint32_t> all = {s1, s2, c1, c2, c3};
  for (size_t i = 0; i < all.size(); ++i) {
    EXPECT_NE(all[i], 0u);
    for (size_t j = i + 1; j < all.size(); ++j) EXPECT_NE(all[i], all[j]);
  }
  EXPECT_EQ(ReadServer(s1), 10202) << "a session is no connection";
  uint32_t c = 77;
  const struct {
    uint32_t session;
    const char *server, *product;
    uint32_t* out;
    int32_t status;
  } cases[] = {{c1, "SRV", "KVR610", &c, 10201}, {0, "SRV", "KVR610", &c, 10201}, {s1, "SRV", "KVR610", nullptr, 10204},
               {s1, nullptr, "KVR610", &c, 10204}, {s1, "", "KVR610", &c, 10206}, {s1, "SRV", "", &c, 10207}};
  for (const auto& k : cases) EXPECT_EQ(DBConnectEx(k.session, k.server, "", "", k.product, 0, k.out), k.status);
  EXPECT_EQ(c, 0u);

  // Closing: twice is harmless, and a closed handle is refused like one never given out.
  EXPECT_EQ(DBDisconnectEx(c1), 0);
  EXPECT_EQ(DBDisconnectEx(c1), 0);
  EXPECT_EQ(ReadServer(c1), 10202);
  EXPECT_EQ(ReadServer(c2), 0);
  EXPECT_EQ(DBDisconnectEx(0), 10202);
  EXPECT_EQ(DBTerminateSessionEx(s1), 0);
  EXPECT_EQ(ReadServer(c2), 10202) << "closed with its session";
  EXPECT_EQ(DBDisconnectEx(c2), 0);
  EXPECT_EQ(DBTerminateSessionEx(s1), 0);
  EXPECT_EQ(DBConnectEx(s1, "SRV", "", "", "KVR610", 0, &c), 10201);
  EXPECT_EQ(DBTerminateSessionEx(0), 10201);
  EXPECT_EQ(ReadServer(c3), 0);
  EXPECT_EQ(DBTerminateSessionEx(s2), 0);
  EXPECT_EQ(DBTerminateRequesterEx("SRV"), 0);
  EXPECT_EQ(DBTerminateRequesterEx("SRV"), 0);
  EXPECT_EQ(DBTerminateRequesterEx(nullptr), 10204);
}

TEST(Sessions, GetPathFillsBothBuffersOrEmptiesThem) {
  ASSERT_EQ(DBInitRequesterEx("SRV", Params(1, 5).get()), 0);
  char path[300], second[300];
  EXPECT_EQ(DBGetPathAppInstalledEx("srv", "kvr610", path, second), 0);
  EXPECT_STREQ(path, "SYS:\\APPS\\PLIVEX");
  EXPECT_STREQ(second, "PLIVEX.CFG");
  EXPECT_EQ(DBGetPathAppInstalledEx("SRV", "NOPE", path, second), 10301);
  EXPECT_STREQ(path, "");
  EXPECT_STREQ(second, "");
  EXPECT_EQ(DBGetPathAppInstalledEx("SRV", "KVR610", nullptr, second), 10204);
  EXPECT_EQ(DBGetPathAppInstalledEx(nullptr, "KVR610", path, second), 10204);
  EXPECT_EQ(DBGetPathAppInstalledEx("", "KVR610", path, second), 10206);
  EXPECT_EQ(DBTerminateRequesterEx("SRV"), 0);
}

TEST(Sessions, ATerminatedServerAndFurtherServersOpenOnFirstUse) {
  // The agent's run: the first server, then the user's next package server (SRV2, the same
  // service), with no second DBInitRequesterEx, then the first again.
  ASSERT_EQ(DBInitRequesterEx("SRV", Params(1, 5).get()), 0);
  // Frames: the link DBInitRequesterEx opened carries connect and read; a new link first
  // greets the service.
  const struct {
    const char* server;
    long frames;
  } cases[] = {{"SRV", 2}, {"SRV2", 3}, {"SRV", 3}};
  for (const auto& k : cases) {
    const char* server = k.server;
    uint32_t s = 0;
    ASSERT_EQ(DBInitSessionEx(&s), 0);
    long before = Served("MAIN");
    uint32_t c = Connect(s, server);
    EXPECT_EQ(ReadServer(c), 0) << server;
    EXPECT_EQ(Served("MAIN") - before, k.frames) << server;
    EXPECT_EQ(DBTerminateSessionEx(s), 0);
    EXPECT_EQ(DBTerminateRequesterEx(server), 0);
  }
}
