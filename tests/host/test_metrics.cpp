// dblinkd's /metrics as a monitoring system scrapes it: every line well formed, and the
// numbers those of a known sequence of requester requests, connections and failures.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <iterator>
#include <map>
#include <regex>
#include <thread>

#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;
namespace proto = plx::proto;

namespace {

// One sample line: its name, its labels rendered back as `k="v",...` in the order given,
// and its value.
struct Sample {
  std::string name, labels;
  double value = 0;
};

// Parses the text exposition format; every line must be a HELP, a TYPE or a sample of a
// family whose TYPE came before it. why says which line is wrong.
bool ParseExposition(const std::string& text, std::vector<Sample>& out, std::string& why) {
  static const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) .+)");
  static const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram))");
  static const std::regex sample(
      R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{((?:[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\.)*",?)*)\})? ([-+0-9.eE]+|\+Inf|NaN))");
  if (text.empty() || text.back() != '\n') return why = "no final newline", false;
  std::map<std::string, std::string> types;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = text.substr(start, end - start);
    std::smatch m;
    if (std::regex_match(line, m, type)) {
      if (!types.emplace(m[1], m[2]).second) return why = "second TYPE: " + line, false;
    } else if (std::regex_match(line, m, help)) {
    } else if (std::regex_match(line, m, sample)) {
      std::string name = m[1], family = name;
      for (const char* suffix : {"_bucket", "_sum", "_count"})
        if (!types.count(family) && family.size() > strlen(suffix) &&
            family.compare(family.size() - strlen(suffix), std::string::npos, suffix) == 0)
          family.resize(family.size() - strlen(suffix));
      if (!types.count(family)) return why = "sample before its TYPE: " + line, false;
      out.push_back(Sample{name, m[2], m[3] == "+Inf" ? HUGE_VAL : std::stod(m[3])});
    } else {
      return why = "malformed: " + line, false;
    }
  }
  return true;
}

struct Scrape {
  int status = -1;
  std::string contentType, body;
  std::vector<Sample> samples;
  // The value of a series, or -1 when it is not there.
  double Get(const std::string& name, const std::string& labels = "") const {
    for (const Sample& s : samples)
      if (s.name == name && s.labels == labels) return s.value;
    return -1;
  }
};

Scrape GetMetrics(uint16_t port, const std::string& token = Daemon::kToken) {
  Scrape s;
  httplib::Client c("127.0.0.1", port);
  c.set_read_timeout(10);
  httplib::Headers h;
  if (!token.empty()) h.emplace("Authorization", "Bearer " + token);
  httplib::Result r = c.Get("/metrics", h);
  if (!r) return s;
  s.status = r->status;
  s.contentType = r->get_header_value("Content-Type");
  s.body = r->body;
  std::string why;
  if (s.status == 200) {
    EXPECT_TRUE(ParseExposition(s.body, s.samples, why)) << why << "\n" << s.body;
  }
  return s;
}

proto::Request CallOf(uint16_t call, std::string key = "", std::string data = "", uint16_t version = proto::kVersion) {
  proto::Request q;
  q.call = call;
  q.version = version;
  q.key = std::move(key);
  q.data = std::move(data);
  return q;
}

proto::Request OpOf(uint32_t table, uint32_t cls, uint32_t op, uint32_t keyNo, std::string key, std::string data = "") {
  proto::Request q = CallOf(proto::kCallOperation, std::move(key), std::move(data));
  q.table = table; q.cls = cls; q.op = op; q.keyNo = keyNo;
  q.recordLength = RecordLength(table);
  return q;
}

// Waits until the gauge reads `want` (closes reach the service a moment after the client's).
bool GaugeReaches(uint16_t port, const char* name, double want) {
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5); std::chrono::steady_clock::now() < end;) {
    if (GetMetrics(port).Get(name) == want) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

class Metrics : public ::testing::Test {
 protected:
  void SetUp() override {
    Json seed = SampleSeed();
    ASSERT_TRUE(d.Start(&seed, true, extra)) << d.Log();
  }
  std::vector<std::string> extra;
  Daemon d;
};

TEST_F(Metrics, OnlyTheBearerTokenOpensIt) {
  const struct { std::string token; int status; } cases[] = {
      {"", 401}, {"wrong-token-0123456789", 401}, {std::string(Daemon::kToken) + "x", 401}, {Daemon::kToken, 200}};
  for (const auto& k : cases) {
    Scrape s = GetMetrics(d.adminPort, k.token);
    EXPECT_EQ(s.status, k.status) << k.token;
    if (k.status == 200) {
      EXPECT_EQ(s.contentType.rfind("text/plain; version=0.0.4", 0), 0u) << s.contentType;
    } else {
      EXPECT_EQ(s.body.find("dblinkd_"), std::string::npos);
    }
  }
}

// Each request with the operation and status it is counted under; the counts are worked
// out from this table, not from the service.
TEST_F(Metrics, RequestsAreCountedByOperationAndStatusAndTimed) {
  Scrape before = GetMetrics(d.adminPort);
  EXPECT_EQ(before.Get("dblinkd_request_duration_seconds_count"), 0);
  EXPECT_EQ(before.body.find("dblinkd_requests_total{"), std::string::npos) << before.body;

  HistoryTextRecord text;
  CopyText(text.Text, sizeof text.Text, "hello");
  const struct { proto::Request q; const char* op; int32_t status; } cases[] = {
      {CallOf(proto::kCallHello), "hello", kDbOk},
      {CallOf(proto::kCallHello, "", "", 2), "hello", kDbInitFailed},
      {CallOf(proto::kCallConnect, "SRV", "KVR610"), "connect", kDbOk},
      {CallOf(proto::kCallConnect, "NOWHERE", "KVR610"), "connect", kDbServerInitFailed},
      {CallOf(proto::kCallGetPath, "SRV", "KVR610"), "get_path", kDbOk},
      {OpOf(kTableServer, kClassRead, kOpGetEqual, 3, Key({}, "srv", 48)), "read", kDbOk},
      {OpOf(kTablePackage, kClassRead, kOpGetEqual, 5, Key({2, 10})), "read", kDbOk},
      {OpOf(kTableServer, kClassRead, kOpGetEqual, 3, Key({}, "NOPE", 48)), "read", kDbNotFound},
      {OpOf(999, kClassRead, kOpGetFirst, 0, U32(0)), "read", kDbInvalidTable},
      // Workstations never write packages: refused, nothing stored.
      {OpOf(kTablePackage, kClassInsert, kOpInsert, 0, U32(0), std::string(RecordLength(kTablePackage), 'x')),
       "insert", kDbReadOnly},
      {OpOf(kTableHistoryText, kClassInsert, kOpInsert, 0, U32(0), Bytes(text, kTableHistoryText)), "insert", kDbOk},
      {CallOf(99), "invalid", kDbInvalidOperation},
  };
  std::map<std::string, int> want;
  Client c;
  ASSERT_TRUE(c.Connect(d.port));
  for (const auto& k : cases) {
    proto::Reply r;
    ASSERT_TRUE(c.Call(k.q, r)) << k.op;
    ASSERT_EQ(r.status, k.status) << k.op;
    ++want[std::string("operation=\"") + k.op + "\",status=\"" + std::to_string(k.status) + "\""];
  }
  // A frame too short to be one: answered 10602 and hung up.
  Client bad;
  ASSERT_TRUE(bad.Connect(d.port));
  ASSERT_TRUE(bad.Send(std::string("\x05\0\0\0hello", 9)));
  proto::Reply r;
  ASSERT_TRUE(bad.ReadReply(r));
  EXPECT_EQ(r.status, kDbInvalidOperation);
  ++want["operation=\"invalid\",status=\"10602\""];
  const double total = double(std::size(cases) + 1);

  Scrape s = GetMetrics(d.adminPort);
  std::map<std::string, int> got;
  for (const Sample& x : s.samples)
    if (x.name == "dblinkd_requests_total") got[x.labels] = int(x.value);
  EXPECT_EQ(got, want) << s.body;

  // Buckets: le rising, counts cumulative, the last +Inf and equal to _count.
  double lastLe = 0, lastCount = 0;
  int buckets = 0;
  for (const Sample& x : s.samples) {
    if (x.name != "dblinkd_request_duration_seconds_bucket") continue;
    ++buckets;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(x.labels, m, std::regex(R"(le="([^"]+)\")"))) << x.labels;
    double le = m[1] == "+Inf" ? HUGE_VAL : std::stod(m[1]);
    EXPECT_GT(le, lastLe) << x.labels;
    EXPECT_GE(x.value, lastCount) << x.labels;
    lastLe = le;
    lastCount = x.value;
  }
  EXPECT_GE(buckets, 10);
  EXPECT_EQ(lastLe, HUGE_VAL);
  EXPECT_EQ(lastCount, total);
  EXPECT_EQ(s.Get("dblinkd_request_duration_seconds_count"), total);
  // Loopback requests: each took something, none near a second.
  double sum = s.Get("dblinkd_request_duration_seconds_sum");
  EXPECT_GT(sum, 0);
  EXPECT_LT(sum, total * 0.5);
  EXPECT_EQ(s.Get("dblinkd_database_errors_total"), 0);
}

class MetricsCapped : public Metrics {
 protected:
  MetricsCapped() { extra = {"--max-per-address", "3"}; }
};

TEST_F(MetricsCapped, OpenConnectionsFollowConnectsAndClosesAndRefusalsAreCounted) {
  EXPECT_EQ(GetMetrics(d.adminPort).Get("dblinkd_open_connections"), 0);
  Client c[3];
  for (Client& x : c) {
    ASSERT_TRUE(x.Connect(d.port));
    proto::Reply r;
    ASSERT_TRUE(x.Call(CallOf(proto::kCallHello), r));
  }
  Scrape s = GetMetrics(d.adminPort);
  EXPECT_EQ(s.Get("dblinkd_open_connections"), 3);
  EXPECT_EQ(s.Get("dblinkd_refused_connections_total"), 0);
  Client fourth;  // over the cap: reset at once
  ASSERT_TRUE(fourth.Connect(d.port));
  ASSERT_TRUE(fourth.PeerClosed());
  s = GetMetrics(d.adminPort);
  EXPECT_EQ(s.Get("dblinkd_open_connections"), 3);
  EXPECT_EQ(s.Get("dblinkd_refused_connections_total"), 1);
  c[0].Close();
  c[2].Close();
  EXPECT_TRUE(GaugeReaches(d.adminPort, "dblinkd_open_connections", 1));
}

// A table taken away under the running service: its next read and write fail in the
// database, each once, and say so in their status.
TEST_F(Metrics, FailedStatementsAreCounted) {
  sqlite3* h = nullptr;
  ASSERT_EQ(sqlite3_open(d.db.c_str(), &h), SQLITE_OK);
  sqlite3_busy_timeout(h, 5000);
  ASSERT_EQ(sqlite3_exec(h, "DROP TABLE tasks; DROP TABLE history_texts", nullptr, nullptr, nullptr), SQLITE_OK)
      << sqlite3_errmsg(h);
  sqlite3_close(h);
  HistoryTextRecord text;
  CopyText(text.Text, sizeof text.Text, "lost");
  Client c;
  ASSERT_TRUE(c.Connect(d.port));
  proto::Reply r;
  ASSERT_TRUE(c.Call(OpOf(kTableTask, kClassRead, kOpGetEqual, kKeyOfPackage, Key({1, 10})), r));
  EXPECT_EQ(r.status, kDbReadFailure);
  ASSERT_TRUE(c.Call(OpOf(kTableHistoryText, kClassInsert, kOpInsert, 0, U32(0), Bytes(text, kTableHistoryText)), r));
  EXPECT_EQ(r.status, kDbWriteFailure);
  Scrape s = GetMetrics(d.adminPort);
  EXPECT_EQ(s.Get("dblinkd_database_errors_total"), 2) << d.Log();
  EXPECT_EQ(s.Get("dblinkd_requests_total", "operation=\"read\",status=\"10613\""), 1);
  EXPECT_EQ(s.Get("dblinkd_requests_total", "operation=\"insert\",status=\"10614\""), 1);
}

}  // namespace

namespace {

// A site with a known number of status rows per status, and targeting rows that are never
// counted; then a workstation's rewrite moves one row from failed to installed.
TEST(MetricsStatusRows, FollowTheDocumentAndTheWorkstationsWrites) {
  // Per status, in status order: pending, installed, refused, refused permanently, failed,
  // failed (may retry).
  const int perStatus[] = {3, 2, 1, 0, 4, 1};
  const char* const names[] = {"pending", "installed", "refused", "refused_permanently", "failed", "failed_retry"};
  Json rows = Json::array();
  for (int kind : {kKindUser, kKindGroup})  // targeting rows
    rows.push_back({{"ServerId", 1}, {"PackageId", 1}, {"Scheduled", 1}, {"TargetKind", kind}, {"TargetName", "all"}});
  int n = 0;
  for (int status = 0; status <= kStatusLast; ++status)
    for (int i = 0; i < perStatus[status]; ++i, ++n)
      rows.push_back({{"RecordId", 100 + n}, {"PackageUserId", 100 + n}, {"ServerId", 1}, {"PackageId", 1 + n % 2},
                      {"Scheduled", 0}, {"PackageStatus", status}, {"TargetKind", kKindMachine},
                      {"TargetName", "WS" + std::to_string(n)}, {"Counterpart", "user"}});
  Json seed = {{"servers", {{{"ServerId", 1}, {"ServerName", "SRV"}}}},
               {"packages", {{{"PackageId", 1}, {"ServerId", 1}, {"Name", "One"}},
                             {{"PackageId", 2}, {"ServerId", 1}, {"Name", "Two"}}}},
               {"package_users", rows}};
  Daemon d;
  ASSERT_TRUE(d.Start(&seed)) << d.Log();
  auto expect = [&](const int (&want)[6]) {
    Scrape s = GetMetrics(d.adminPort);
    for (int status = 0; status <= kStatusLast; ++status)
      EXPECT_EQ(s.Get("dblinkd_status_rows", std::string("status=\"") + names[status] + "\""), want[status])
          << names[status] << "\n" << s.body;
  };
  expect(perStatus);

  // The first failed row (RecordId 100 + pending + installed + refused) becomes installed.
  uint32_t id = 100 + 3 + 2 + 1;
  Client c;
  ASSERT_TRUE(c.Connect(d.port));
  std::string rec;
  ASSERT_EQ(c.Read(kTableUserPackage, kOpGetEqual, 0, U32(id), &rec), kDbOk);
  UserPackageRecord u = Rec<UserPackageRecord>(rec);
  ASSERT_EQ(u.PackageStatus, kStatusFailed);
  u.PackageStatus = kStatusCompleted;
  ASSERT_EQ(c.Op(kTableUserPackage, kClassRewrite, kOpGetEqual, 0, U32(id), Bytes(u, kTableUserPackage)), kDbOk);
  const int after[] = {3, 3, 1, 0, 3, 1};
  expect(after);
}

}  // namespace
