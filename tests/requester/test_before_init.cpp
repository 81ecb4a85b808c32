// Before the requester is started. The runner gives these tests a process of their own:
// the library's state lives as long as the process does.
#include <gtest/gtest.h>

#include "support.h"

using rt::Params;

TEST(BeforeInit, SessionsConnectionsAndPathsWaitForTheRequester) {
  uint32_t session = 77, connection = 77;
  EXPECT_EQ(DBInitSessionEx(&session), 10008);
  EXPECT_EQ(DBConnectEx(1, "SRV", "", "", "KVR610", 0, &connection), 10008);
  EXPECT_EQ(session + connection, 0u);
  char path[256] = "x", second[256] = "y";
  EXPECT_EQ(DBGetPathAppInstalledEx("SRV", "KVR610", path, second), 10008);
  EXPECT_EQ(std::string(path) + second, "");
}

TEST(BeforeInit, HandlesNeverGivenOutAreRefused) {
  char key[4] = {}, record[62] = {};
  EXPECT_EQ(DBOperationEx(1, 300, 100, 201, 3, 4, 62, key, record), 10202);
  EXPECT_EQ(DBOperationEx(0xDEADBEEF, 300, 100, 201, 3, 4, 62, key, record), 10202);
  EXPECT_EQ(DBDisconnectEx(1), 10202);
  EXPECT_EQ(DBTerminateSessionEx(1), 10201);
  // Nothing to close, and nothing to complain about.
  EXPECT_EQ(DBTerminateRequesterEx("SRV"), 0);
}

TEST(BeforeInit, AFailedStartLeavesTheRequesterUnstarted) {
  EXPECT_EQ(DBInitRequesterEx("NOSUCH", Params(1, 1).get()), 10100);
  uint32_t session = 77;
  EXPECT_EQ(DBInitSessionEx(&session), 10008);
  EXPECT_EQ(DBInitRequesterEx("SRV", Params(1, 5).get()), 0);
  EXPECT_EQ(DBInitSessionEx(&session), 0);
  EXPECT_NE(session, 0u);
  EXPECT_EQ(DBTerminateSessionEx(session) + DBTerminateRequesterEx("SRV"), 0);
}
