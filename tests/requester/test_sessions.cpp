// Starting the requester, its time-outs, handles, installed paths, and the links to the
// user's further servers.
#include <gtest/gtest.h>

#include <functional>

#include "support.h"

using namespace rt;

TEST(InitRequester, RefusesBadParametersAndUnlistedServersAtOnce) {
  const uint32_t small[3] = {8, 1, 5};
  const Params once(1, 5), thrice(3, 5);  // named: the table keeps pointers into them
  const struct { const char* server; const uint32_t* params; int32_t status; } cases[] = {
      {"SRV", nullptr, 10204}, {nullptr, once.get(), 10204}, {"SRV", small, 10205}, {"", once.get(), 10206},
      {"NOSUCH", thrice.get(), 10100},
      // One bad entry spoils a list of replicas as it spoils a single address.
      {"BADONE", thrice.get(), 10100}, {"BADTRAIL", thrice.get(), 10100}, {"BADEMPTY", thrice.get(), 10100},
      {"BADPORT", thrice.get(), 10100}, {"BADHOST", thrice.get(), 10100}};
  ULONGLONG start = GetTickCount64();
  for (const auto& k : cases) EXPECT_EQ(DBInitRequesterEx(k.server, k.params), k.status);
  EXPECT_LT(Seconds(start), 1.0) << "nothing there to wait for";
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
  const struct { std::function<int32_t()> call; double seconds; } cases[] = {
      {[] { return DBInitRequesterEx("DOWN", Params(2, 1).get()); }, 2},
      {[&] { return DBConnectEx(session, "DOWN", "", "", "KVR610", 0, &c); }, 2},
      {[&] { return DBGetPathAppInstalledEx("DOWN", "KVR610", path, second); }, 2},
      {[] { return DBInitRequesterEx("DOWN", Params(1, 1).get()); }, 1},
      // Two dead replicas take no longer than one.
      {[] { return DBInitRequesterEx("ALLDOWN", Params(2, 1).get()); }, 2},
  };
  for (const auto& k : cases) {
    ULONGLONG start = GetTickCount64();
    EXPECT_EQ(k.call(), 10100) << k.seconds;
    EXPECT_GE(Seconds(start), k.seconds - 0.2);
    EXPECT_LE(Seconds(start), k.seconds + 0.9);
  }
  EXPECT_EQ(c, 0u);
  EXPECT_EQ(DBTerminateSessionEx(session) + DBTerminateRequesterEx("SRV"), 0);
}

TEST(Sessions, HandlesAreDistinctAndOfTheirKind) {
  ASSERT_EQ(DBInitRequesterEx("SRV", Params(1, 5).get()), 0);
  uint32_t s1 = 0, s2 = 0, c1 = 0, c2 = 0, c3 = 0, c = 77;
  ASSERT_EQ(DBInitSessionEx(&s1) + DBInitSessionEx(&s2), 0);
  for (auto [s, out] : {std::pair{&s1, &c1}, {&s1, &c2}, {&s2, &c3}})
    ASSERT_EQ(DBConnectEx(*s, "SRV", "", "", "KVR610", 0, out), 0);
  std::vector<uint32_t> all = {s1, s2, c1, c2, c3};
  for (size_t i = 0; i < all.size(); ++i)
    for (size_t j = i + 1; j < all.size(); ++j) EXPECT_NE(all[i], all[j]);
  EXPECT_EQ(ReadServer(s1), 10202) << "a session is no connection";
  EXPECT_EQ(DBDisconnectEx(s2), 10202);
  EXPECT_EQ(DBTerminateSessionEx(c3), 10201) << "nor a connection a session";
  const struct { uint32_t session; const char *server, *product; uint32_t* out; int32_t status; } cases[] = {{c1, "SRV", "KVR610", &c, 10201}, {0, "SRV", "KVR610", &c, 10201}, {s1, "SRV", "KVR610", nullptr, 10204},
               {s1, nullptr, "KVR610", &c, 10204}, {s1, "", "KVR610", &c, 10206}, {s1, "SRV", "", &c, 10207}};
  for (const auto& k : cases) EXPECT_EQ(DBConnectEx(k.session, k.server, "", "", k.product, 0, k.out), k.status);
  EXPECT_EQ(c, 0u);

  // Closing: twice is harmless, and a closed handle is refused like one never given out.
  EXPECT_EQ(DBDisconnectEx(c1) + DBDisconnectEx(c1), 0);
  EXPECT_EQ(ReadServer(c1), 10202);
  EXPECT_EQ(ReadServer(c2), 0);
  EXPECT_EQ(DBDisconnectEx(0), 10202);
  EXPECT_EQ(DBTerminateSessionEx(s1), 0);
  EXPECT_EQ(ReadServer(c2), 10202) << "closed with its session";
  EXPECT_EQ(DBTerminateSessionEx(s1), 0);
  EXPECT_EQ(DBConnectEx(s1, "SRV", "", "", "KVR610", 0, &c), 10201);
  EXPECT_EQ(DBTerminateSessionEx(0), 10201);
  EXPECT_EQ(ReadServer(c3), 0);
  EXPECT_EQ(DBTerminateSessionEx(s2), 0);
  EXPECT_EQ(DBTerminateRequesterEx("SRV") + DBTerminateRequesterEx("SRV"), 0);
  EXPECT_EQ(DBTerminateRequesterEx(nullptr), 10204);
}

TEST(Sessions, GetPathFillsBothBuffersOrEmptiesThem) {
  ASSERT_EQ(DBInitRequesterEx("SRV", Params(1, 5).get()), 0);
  char path[300], second[300];
  EXPECT_EQ(DBGetPathAppInstalledEx("srv", "kvr610", path, second), 0);
  EXPECT_EQ(std::string(path) + "|" + second, "SYS:\\APPS\\PLIVEX|PLIVEX.CFG");
  EXPECT_EQ(DBGetPathAppInstalledEx("SRV", "NOPE", path, second), 10301);
  EXPECT_EQ(std::string(path) + "|" + second, "|");
  EXPECT_EQ(DBGetPathAppInstalledEx("SRV", "KVR610", nullptr, second), 10204);
  EXPECT_EQ(DBGetPathAppInstalledEx(nullptr, "KVR610", path, second), 10204);
  EXPECT_EQ(DBGetPathAppInstalledEx("", "KVR610", path, second), 10206);
  EXPECT_EQ(DBTerminateRequesterEx("SRV"), 0);
}

// The agent's run: the first server, then the user's next package server (SRV2, the same
// service), with no second DBInitRequesterEx, then the first again. Frames: the link
// DBInitRequesterEx opened carries connect and read; a new link first greets the service.
TEST(Sessions, ATerminatedServerAndFurtherServersOpenOnFirstUse) {
  ASSERT_EQ(DBInitRequesterEx("SRV", Params(1, 5).get()), 0);
  for (auto [server, frames] : {std::pair{"SRV", 2L}, {"SRV2", 3L}, {"SRV", 3L}}) {
    uint32_t s = 0, c = 0;
    ASSERT_EQ(DBInitSessionEx(&s), 0);
    long before = Served("MAIN");
    ASSERT_EQ(DBConnectEx(s, server, "", "", "KVR610", 0, &c), 0) << server;
    EXPECT_EQ(ReadServer(c), 0) << server;
    EXPECT_EQ(Served("MAIN") - before, frames) << server;
    EXPECT_EQ(DBTerminateSessionEx(s) + DBTerminateRequesterEx(server), 0);
  }
}
