// The link to a service that goes away: restarted between requests, or hung (stopped with
// SIGSTOP by the runner, so that it accepts connections and answers nothing). The runner
// counts the frames sent to HUNG: one per attempt, a request or, on a new link, a greeting.
#include <gtest/gtest.h>

#include "support.h"

using namespace rt;

TEST(LinkFailures, AfterARestartARequestGoesOutOnceOnANewLink) {
  for (bool write : {false, true}) {
    Connection c("SCRATCH");
    ASSERT_EQ(ReadServer(c.conn), 0);
    ASSERT_EQ(Control("restart SCRATCH"), "done\n");
    std::string text = "after restart " + std::to_string(GetTickCount64());
    EXPECT_EQ(write ? InsertText(c.conn, text).status : ReadServer(c.conn), 0) << write;
    // The restarted service has seen a hello and the request: no second attempt, no
    // write sent on the dead link first.
    EXPECT_EQ(Served("SCRATCH"), 2) << write;
    EXPECT_EQ(CountTexts(c.conn, text), write ? 1 : 0);
  }
}

TEST(LinkFailures, AHungServiceEndsReadsAfterRetriesAttemptsOfATimeOutAndWritesAfterOne) {
  for (uint32_t retries : {1u, 3u}) {
    Connection c("HUNG", retries, 1);
    ASSERT_EQ(ReadServer(c.conn), 0);
    std::string text = "sent once " + std::to_string(GetTickCount64());
    ASSERT_EQ(Control("stop HUNG"), "done\n");
    for (bool write : {true, false}) {
      long before = Count("frames", "HUNG");
      ULONGLONG start = GetTickCount64();
      EXPECT_EQ(write ? InsertText(c.conn, text).status : ReadServer(c.conn), 10100);
      long attempts = write ? 1 : long(retries);  // a write that went out is never sent again
      EXPECT_EQ(Count("frames", "HUNG") - before, attempts) << write << " retries " << retries;
      EXPECT_GE(Seconds(start), 0.8 * double(attempts)) << "each attempt waits out the time-out";
    }
    ASSERT_EQ(Control("cont HUNG"), "done\n");
    EXPECT_EQ(ReadServer(c.conn), 0) << "the link is opened again once the service answers";
    // The service finds the write waiting when it wakes up and stores it, once.
    int n = 0;
    for (int i = 0; i < 40 && (n = CountTexts(c.conn, text)) == 0; ++i) Sleep(50);
    EXPECT_EQ(n, 1);
  }
}
