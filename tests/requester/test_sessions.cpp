// Starting the requester, sessions, connections, installed paths, and the links to the
// user's further servers.
#include <gtest/gtest.h>

#include <string.h>

#include "support.h"

using namespace rt;

namespace {

uint32_t NewSession() {
  uint32_t s = 0;
  EXPECT_EQ(DBInitSessionEx(&s), 0);
  return s;
}

uint32_t Connect(uint32_t session, const char* server) {
  uint32_t c = 0;
  EXPECT_EQ(DBConnectEx(session, server, "", "", "KVR610", 0, &c), 0) << server;
  return c;
}

std::string ServerName(uint32_t connection, const char* name) {
  Result r = Read(connection, plx::kTableServer, plx::kOpGetEqual, 3, NameKey({}, name, 48));
  if (r.status) return "status " + std::to_string(r.status);
  plx::ServerRecord s;
  plx::Decode(reinterpret_cast<const uint8_t*>(r.record.data()), s);
  return std::to_string(s.ServerId) + " " + s.ServerName;
}

}  // namespace

TEST(InitRequester, RefusesBadParameters) {
  const uint32_t small[3] = {8, 1, 5};
  EXPECT_EQ(DBInitRequesterEx("SRV", nullptr), 10204);
  EXPECT_EQ(DBInitRequesterEx(nullptr, Params(1, 5).get()), 10204);
  EXPECT_EQ(DBInitRequesterEx("SRV", small), 10205);
  EXPECT_EQ(DBInitRequesterEx("", Params(1, 5).get()), 10206);
  Stopwatch w;
  EXPECT_EQ(DBInitRequesterEx("NOSUCH", Params(3, 5).get()), 10100);
  EXPECT_LT(w.Seconds(), 1.0) << "a server the INI does not list is refused at once";
  EXPECT_EQ(DBInitRequesterEx("srv", Params(1, 5).get()), 0) << "INI names are found without regard to case";
  EXPECT_EQ(DBTerminateRequesterEx("SRV"), 0);
}

TEST(InitRequester, ServiceDownTakesRetriesTimesTheTimeOut) {
  Stopwatch two;
  EXPECT_EQ(DBInitRequesterEx("DOWN", Params(2, 1).get()), 10100);
  double s = two.Seconds();
  EXPECT_GE(s, 1.8);
  EXPECT_LE(s, 3.5);

  Stopwatch one;
  EXPECT_EQ(DBInitRequesterEx("DOWN", Params(1, 1).get()), 10100);
  s = one.Seconds();
  EXPECT_GE(s, 0.8);
  EXPECT_LE(s, 2.0);
}

TEST(InitRequester, LaterServersOpenWithTheLibrarySettings) {
  ASSERT_EQ(DBInitRequesterEx("SRV", Params(2, 1).get()), 0);
  uint32_t session = NewSession();
  uint32_t c = 77;
  char path[256], second[256];
  Stopwatch w;
  EXPECT_EQ(DBConnectEx(session, "DOWN", "", "", "KVR610", 0, &c), 10100);
  double s = w.Seconds();
  EXPECT_GE(s, 1.8);
  EXPECT_LE(s, 3.5);
  EXPECT_EQ(c, 0u);
  Stopwatch w2;
  EXPECT_EQ(DBGetPathAppInstalledEx("DOWN", "KVR610", path, second), 10100);
  EXPECT_GE(w2.Seconds(), 1.8);
  EXPECT_EQ(DBTerminateSessionEx(session), 0);
  EXPECT_EQ(DBTerminateRequesterEx("SRV"), 0);
}

TEST(Sessions, HandlesAreNonZeroAndDistinct) {
  ASSERT_EQ(DBInitRequesterEx("SRV", Params(1, 5).get()), 0);
  uint32_t s1 = NewSession(), s2 = NewSession();
  EXPECT_NE(s1, 0u);
  EXPECT_NE(s2, 0u);
  EXPECT_NE(s1, s2);
  uint32_t c1 = Connect(s1, "SRV"), c2 = Connect(s1, "SRV"), c3 = Connect(s2, "SRV");
  EXPECT_NE(c1, 0u);
  EXPECT_NE(c1, c2);
  EXPECT_NE(c2, c3);
  EXPECT_NE(c1, s1);
  // A session is no connection and a connection no session.
  EXPECT_EQ(Read(s1, plx::kTableServer, plx::kOpGetEqual, 3, NameKey({}, "SRV", 48)).status, 10202);
  uint32_t c = 77;
  EXPECT_EQ(DBConnectEx(c1, "SRV", "", "", "KVR610", 0, &c), 10201);
  EXPECT_EQ(c, 0u);
  EXPECT_EQ(DBTerminateSessionEx(s1), 0);
  EXPECT_EQ(DBTerminateSessionEx(s2), 0);
  EXPECT_EQ(DBTerminateRequesterEx("SRV"), 0);
}

TEST(Sessions, ConnectChecksSessionServerAndProduct) {
  ASSERT_EQ(DBInitRequesterEx("SRV", Params(1, 5).get()), 0);
  uint32_t s = NewSession(), c = 77;
  EXPECT_EQ(DBConnectEx(0, "SRV", "", "", "KVR610", 0, &c), 10201);
  EXPECT_EQ(DBConnectEx(s, "SRV", "", "", "KVR610", 0, nullptr), 10204);
  EXPECT_EQ(DBConnectEx(s, nullptr, "", "", "KVR610", 0, &c), 10204);
  EXPECT_EQ(DBConnectEx(s, "", "", "", "KVR610", 0, &c), 10206);
  EXPECT_EQ(DBConnectEx(s, "SRV", "", "", "", 0, &c), 10207);
  // GHOST's address is in the INI, but its service has no such server.
  EXPECT_EQ(DBConnectEx(s, "GHOST", "", "", "KVR610", 0, &c), 10100);
  EXPECT_EQ(DBConnectEx(s, "SRV", "", "", "NOTKVR", 0, &c), 10301);
  EXPECT_EQ(c, 0u);
  EXPECT_EQ(DBConnectEx(s, "srv", "", "", "kvr610", 0, &c), 0) << "names without regard to case";
  EXPECT_NE(c, 0u);
  EXPECT_EQ(ServerName(c, "SRV"), "1 SRV");
  EXPECT_EQ(DBTerminateSessionEx(s), 0);
  EXPECT_EQ(DBTerminateRequesterEx("SRV"), 0);
}

TEST(Sessions, DisconnectAndTerminateAreHarmlessWhenRepeated) {
  ASSERT_EQ(DBInitRequesterEx("SRV", Params(1, 5).get()), 0);
  uint32_t s = NewSession();
  uint32_t c = Connect(s, "SRV");
  EXPECT_EQ(DBDisconnectEx(c), 0);
  EXPECT_EQ(DBDisconnectEx(c), 0);
  EXPECT_EQ(Read(c, plx::kTableServer, plx::kOpGetEqual, 3, NameKey({}, "SRV", 48)).status, 10202);
  EXPECT_EQ(DBDisconnectEx(0), 10202);

  uint32_t a = Connect(s, "SRV"), b = Connect(s, "SRV");
  EXPECT_EQ(ServerName(a, "SRV"), "1 SRV");
  EXPECT_EQ(DBTerminateSessionEx(s), 0);
  EXPECT_EQ(Read(a, plx::kTableServer, plx::kOpGetEqual, 3, NameKey({}, "SRV", 48)).status, 10202);
  EXPECT_EQ(Read(b, plx::kTableServer, plx::kOpGetEqual, 3, NameKey({}, "SRV", 48)).status, 10202);
  EXPECT_EQ(DBTerminateSessionEx(s), 0);
  EXPECT_EQ(DBDisconnectEx(a), 0) << "closed with its session";
  uint32_t c2 = 77;
  EXPECT_EQ(DBConnectEx(s, "SRV", "", "", "KVR610", 0, &c2), 10201);
  EXPECT_EQ(DBTerminateSessionEx(0), 10201);
  EXPECT_EQ(DBTerminateRequesterEx("SRV"), 0);
  EXPECT_EQ(DBTerminateRequesterEx("SRV"), 0);
  EXPECT_EQ(DBTerminateRequesterEx(nullptr), 10204);
}

TEST(Sessions, GetPathAnswersTheInstalledItems) {
  ASSERT_EQ(DBInitRequesterEx("SRV", Params(1, 5).get()), 0);
  ASSERT_EQ(Seeded().installed.size(), 4u);
  for (const InstalledEntry& e : Seeded().installed) {
    char path[256], second[256];
    EXPECT_EQ(DBGetPathAppInstalledEx(e.server.c_str(), e.item.c_str(), path, second), 0) << e.item;
    EXPECT_EQ(path, e.path) << e.server << " " << e.item;
    EXPECT_EQ(second, e.second) << e.server << " " << e.item;
  }
  char path[300], second[300];
  EXPECT_EQ(DBGetPathAppInstalledEx("srv", "kvr610", path, second), 0);
  EXPECT_STREQ(path, "SYS:\\APPS\\PLIVEX");
  EXPECT_STREQ(second, "PLIVEX.CFG");
  EXPECT_EQ(DBGetPathAppInstalledEx("SRV", "SISITE", path, second), 0);
  EXPECT_STREQ(path, "");
  EXPECT_STREQ(second, "HEADOFFICE");
  EXPECT_EQ(DBGetPathAppInstalledEx("SRV", "PLXONDEMAND", path, second), 0);
  EXPECT_STREQ(path, "SYS:\\PLIVEX\\ONDEMAND");

  EXPECT_EQ(DBGetPathAppInstalledEx("SRV", "NOPE", path, second), 10301);
  EXPECT_STREQ(path, "");
  EXPECT_STREQ(second, "");
  EXPECT_EQ(DBGetPathAppInstalledEx("SRV", "KVR610", nullptr, second), 10204);
  EXPECT_EQ(DBGetPathAppInstalledEx(nullptr, "KVR610", path, second), 10204);
  EXPECT_EQ(DBGetPathAppInstalledEx("", "KVR610", path, second), 10206);
  EXPECT_EQ(DBTerminateRequesterEx("SRV"), 0);
}

TEST(Sessions, TerminatedServerAndFurtherServersOpenOnFirstUse) {
  // The agent's run: the first server, then the user's next package server, with no second
  // DBInitRequesterEx in between.
  ASSERT_EQ(DBInitRequesterEx("SRV", Params(1, 5).get()), 0);
  uint32_t s = NewSession();
  uint32_t c = Connect(s, "SRV");
  EXPECT_EQ(ServerName(c, "SRV2"), "2 SRV2");
  EXPECT_EQ(DBDisconnectEx(c), 0);
  EXPECT_EQ(DBTerminateSessionEx(s), 0);
  EXPECT_EQ(DBTerminateRequesterEx("SRV"), 0);
  EXPECT_EQ(DBTerminateRequesterEx("SRV"), 0);

  s = NewSession();
  c = Connect(s, "SRV2");
  char path[256], second[256];
  EXPECT_EQ(DBGetPathAppInstalledEx("SRV2", "KVR610", path, second), 0);
  EXPECT_STREQ(path, "DATA:\\DIST\\PLIVEX");
  EXPECT_STREQ(second, "SRV2.CFG");
  Result pkg = Read(c, plx::kTablePackage, plx::kOpGetEqual, 5, NumberKey({2, 11}));
  ASSERT_EQ(pkg.status, 0);
  plx::PackageRecord p;
  plx::Decode(reinterpret_cast<const uint8_t*>(pkg.record.data()), p);
  EXPECT_STREQ(p.Name, "Second server package");
  EXPECT_EQ(DBTerminateSessionEx(s), 0);
  EXPECT_EQ(DBTerminateRequesterEx("SRV2"), 0);

  // And back to the first one, whose link was closed.
  s = NewSession();
  c = Connect(s, "SRV");
  EXPECT_EQ(ServerName(c, "srv"), "1 SRV");
  EXPECT_EQ(DBTerminateSessionEx(s), 0);
  EXPECT_EQ(DBTerminateRequesterEx("SRV"), 0);
}
