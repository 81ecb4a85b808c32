// The link to a service that goes away: restarted between requests, or hung (stopped with
// SIGSTOP by the runner, so that it accepts connections and answers nothing).
#include <gtest/gtest.h>

#include "support.h"

using namespace rt;

namespace {

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

TEST(LinkFailures, AfterARestartARequestGoesOutOnceOnANewLink) {
  for (bool write : {false, true}) {
    Connection c("SCRATCH");
    ASSERT_EQ(ReadServer(c.conn), 0);
    ASSERT_EQ(Control("restart SCRATCH"), "done\n");
    std::string text = Unique("after restart");
    EXPECT_EQ(write ? InsertText(c.conn, text).status : ReadServer(c.conn), 0) << write;
    // The restarted service has seen a hello and the request: no second attempt, no
    // write sent on the dead link first.
    EXPECT_EQ(Served("SCRATCH"), 2) << write;
    if (write) {
      EXPECT_EQ(CountTexts(c.conn, text), 1);
    }
  }
}

TEST(LinkFailures, AHungServiceEndsReadsAfterRetriesTimesTheTimeOutAndWritesAfterOne) {
  Connection c("HUNG", 3, 1);
  ASSERT_EQ(ReadServer(c.conn), 0);
  std::string text = Unique("sent once");
  ASSERT_EQ(Control("stop HUNG"), "done\n");
  const struct {
    bool write;
    double least, most;
  } cases[] = {{true, 0.8, 1.9}, {false, 2.8, 4.5}};
  for (const auto& k : cases) {
    Stopwatch w;
    EXPECT_EQ(k.write ? InsertText(c.conn, text).status : ReadServer(c.conn), 10100);
    EXPECT_GE(w.Seconds(), k.least) << k.write;
    EXPECT_LE(w.Seconds(), k.most) << k.write << ": a write that went out is never sent again";
  }
  ASSERT_EQ(Control("cont HUNG"), "done\n");
  EXPECT_EQ(ReadServer(c.conn), 0) << "the link is opened again once the service answers";
  // The service finds the write waiting when it wakes up and stores it, once.
  int n = 0;
  for (int i = 0; i < 40 && (n = CountTexts(c.conn, text)) == 0; ++i) Sleep(50);
  EXPECT_EQ(n, 1);
}
