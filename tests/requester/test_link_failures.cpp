// The link to a service that goes away: restarted between requests, or hung (stopped with
// SIGSTOP by the runner, so that it accepts connections and answers nothing).
#include <gtest/gtest.h>

#include "support.h"

using namespace rt;

namespace {

struct Connection {
  uint32_t session = 0, conn = 0;
  Connection(const char* server, uint32_t retries, uint32_t timeout) {
    EXPECT_EQ(DBInitRequesterEx(server, Params(retries, timeout).get()), 0) << server;
    EXPECT_EQ(DBInitSessionEx(&session), 0);
    EXPECT_EQ(DBConnectEx(session, server, "", "", "KVR610", 0, &conn), 0) << server;
  }
  ~Connection() { DBTerminateSessionEx(session); }
};

int32_t ReadServer(uint32_t conn) {
  return Read(conn, plx::kTableServer, plx::kOpGetEqual, 3, NameKey({}, "SRV", 48)).status;
}

Result InsertText(uint32_t conn, const std::string& text) {
  plx::HistoryTextRecord r;
  r.ServerId = 1;
  plx::CopyText(r.Text, sizeof r.Text, text.c_str());
  std::string bytes(plx::RecordLength(plx::kTableHistoryText), '\0');
  plx::Encode(r, reinterpret_cast<uint8_t*>(&bytes[0]));
  return Op(conn, plx::kTableHistoryText, plx::kClassInsert, plx::kOpInsert, 0, NumberKey({0}), &bytes);
}

// How many history texts read exactly `text`; -1 when the table cannot be read.
int CountTexts(uint32_t conn, const std::string& text) {
  int n = 0;
  Result r = Read(conn, plx::kTableHistoryText, plx::kOpGetFirst, 0, NumberKey({0}));
  for (; r.status == 0; r = Read(conn, plx::kTableHistoryText, plx::kOpGetNext, 0, NumberKey({0}))) {
    plx::HistoryTextRecord t;
    plx::Decode(reinterpret_cast<const uint8_t*>(r.record.data()), t);
    if (text == t.Text) ++n;
  }
  return r.status == 10612 ? n : -1;
}

std::string Unique(const char* what) { return std::string(what) + " " + std::to_string(GetTickCount64()); }

}  // namespace

TEST(LinkFailures, ReadsGoOnAfterTheServiceRestarted) {
  Connection c("SCRATCH", 1, 5);
  ASSERT_EQ(ReadServer(c.conn), 0);
  ASSERT_TRUE(Control("restart SCRATCH"));
  // The old link is dead; a new one is opened at once, without waiting out a time-out.
  Stopwatch w;
  EXPECT_EQ(ReadServer(c.conn), 0);
  EXPECT_LT(w.Seconds(), 1.0);
  DBTerminateRequesterEx("SCRATCH");
}

TEST(LinkFailures, AWriteAfterARestartGoesOutOnceOnANewLink) {
  Connection c("SCRATCH", 1, 5);
  ASSERT_EQ(ReadServer(c.conn), 0);
  ASSERT_TRUE(Control("restart SCRATCH"));
  std::string text = Unique("after restart");
  Result r = InsertText(c.conn, text);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(CountTexts(c.conn, text), 1);
  DBTerminateRequesterEx("SCRATCH");
}

TEST(LinkFailures, ReadsFromAHungServiceEndAfterRetriesTimesTheTimeOut) {
  Connection c("HUNG", 2, 1);
  ASSERT_EQ(ReadServer(c.conn), 0);
  ASSERT_TRUE(Control("stop HUNG"));
  Stopwatch w;
  EXPECT_EQ(ReadServer(c.conn), 10100);
  double s = w.Seconds();
  EXPECT_GE(s, 1.8);
  EXPECT_LE(s, 3.5);
  ASSERT_TRUE(Control("cont HUNG"));
  EXPECT_EQ(ReadServer(c.conn), 0) << "the link is opened again once the service answers";
  DBTerminateRequesterEx("HUNG");
}

TEST(LinkFailures, AWriteToAHungServiceIsNeverSentTwice) {
  Connection c("HUNG", 3, 1);
  ASSERT_EQ(ReadServer(c.conn), 0);
  std::string text = Unique("sent once");
  ASSERT_TRUE(Control("stop HUNG"));
  Stopwatch w;
  EXPECT_EQ(InsertText(c.conn, text).status, 10100);
  double s = w.Seconds();
  // One time-out, not three: the frame went out, so it is not sent again.
  EXPECT_GE(s, 0.8);
  EXPECT_LE(s, 1.9);
  ASSERT_TRUE(Control("cont HUNG"));
  // The service finds the frame waiting when it wakes up and stores it, once.
  int n = 0;
  for (int i = 0; i < 40 && (n = CountTexts(c.conn, text)) == 0; ++i) Sleep(50);
  EXPECT_EQ(n, 1);
  DBTerminateRequesterEx("HUNG");
}
