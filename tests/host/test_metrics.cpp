// dblinkd's /metrics as a monitoring system scrapes it: every line well formed, and the
// numbers those of a known sequence of requester requests, connections and failures.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>

#include <chrono>
#include <cmath>
#include <map>
#include <regex>
#include <thread>

#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;
namespace proto = plx::proto;

namespace {

// A scrape: every line a HELP, a TYPE or a sample of a family typed before it; the
// samples by "name{labels}".
struct Scrape {
  int status = -1;
  std::string contentType, body;
  std::map<std::string, double> samples;
  double Get(const std::string& series) const {
    auto it = samples.find(series);
    return it == samples.end() ? -1 : it->second;
  }
};

bool Parse(const std::string& text, Scrape& out, std::string& why) {
  static const std::regex help(R"(# HELP [a-zA-Z_:][a-zA-Z0-9_:]* .+)");
  static const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram))");
  static const std::regex sample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*?)(_bucket|_sum|_count)?)"
                                 R"((\{(?:[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\.)*",?)*\})? ([-+0-9.eE]+|\+Inf))");
  if (text.empty() || text.back() != '\n') return why = "no final newline", false;
  std::map<std::string, std::string> types;
  std::smatch m;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = text.substr(start, end - start);
    if (std::regex_match(line, m, type)) {
      if (!types.emplace(m[1], m[2]).second) return why = "typed twice: " + line, false;
    } else if (std::regex_match(line, m, sample)) {
      std::string family = m[1], name = family + m[2].str();
      if (!types.count(name) && !(types.count(family) && types[family] == "histogram"))
        return why = "not typed before: " + line, false;
      out.samples[name + m[3].str()] = m[4] == "+Inf" ? HUGE_VAL : std::stod(m[4]);
    } else if (!std::regex_match(line, help)) {
      return why = "malformed: " + line, false;
    }
  }
  return true;
}

Scrape GetMetrics(uint16_t port, const std::string& token = Daemon::kToken) {
  Scrape s;
  httplib::Client c("127.0.0.1", port);
  httplib::Headers h;
  if (!token.empty()) h.emplace("Authorization", "Bearer " + token);
  if (httplib::Result r = c.Get("/metrics", h)) {
    s.status = r->status;
    s.contentType = r->get_header_value("Content-Type");
    s.body = r->body;
    std::string why;
    EXPECT_TRUE(s.status != 200 || Parse(s.body, s, why)) << why << "\n" << s.body;
  }
  return s;
}

proto::Request Req(uint16_t call, std::string key = "", std::string data = "", uint32_t table = 0, uint32_t cls = 0,
                   uint32_t op = 0, uint32_t keyNo = 0) {
  proto::Request q;
  q.call = call; q.key = std::move(key); q.data = std::move(data);
  q.table = table; q.cls = cls; q.op = op; q.keyNo = keyNo;
  q.recordLength = table ? RecordLength(table) : 0;
  return q;
}
proto::Request Read(uint32_t table, uint32_t keyNo, std::string key, uint32_t op = kOpGetEqual) {
  return Req(proto::kCallOperation, std::move(key), "", table, kClassRead, op, keyNo);
}
proto::Request Insert(uint32_t table, std::string record) {
  return Req(proto::kCallOperation, U32(0), std::move(record), table, kClassInsert, kOpInsert, 0);
}
std::string Text(const char* t) {
  HistoryTextRecord r;
  CopyText(r.Text, sizeof r.Text, t);
  return Bytes(r, kTableHistoryText);
}
std::string Series(const char* op, int32_t status) {
  return std::string("dblinkd_requests_total{operation=\"") + op + "\",status=\"" + std::to_string(status) + "\"}";
}

class Metrics : public ::testing::Test {
 protected:
  void SetUp() override {
    Json seed = SampleSeed();
    ASSERT_TRUE(d.Start(&seed, true, {"--max-per-address", "3"})) << d.Log();
  }
  Daemon d;
};

// Each request with the operation and status it is counted under: the expected counts
// come from this table, not from the service.
TEST_F(Metrics, RequestsAreCountedByOperationAndStatusAndTimedBehindTheToken) {
  for (const std::string& token : {std::string(), std::string("wrong-token-0123456789"), Daemon::kToken + std::string("x")})
    EXPECT_EQ(GetMetrics(d.adminPort, token).status, 401) << token;
  Scrape s = GetMetrics(d.adminPort);
  ASSERT_EQ(s.status, 200);
  EXPECT_EQ(s.contentType.rfind("text/plain; version=0.0.4", 0), 0u) << s.contentType;
  EXPECT_EQ(s.Get("dblinkd_request_duration_seconds_count"), 0);

  proto::Request oldHello = Req(proto::kCallHello);
  oldHello.version = 2;
  const struct { proto::Request q; const char* op; int32_t status; } cases[] = {
      {Req(proto::kCallHello), "hello", kDbOk},
      {oldHello, "hello", kDbInitFailed},
      {Req(proto::kCallConnect, "SRV", "KVR610"), "connect", kDbOk},
      {Req(proto::kCallConnect, "NOWHERE", "KVR610"), "connect", kDbServerInitFailed},
      {Req(proto::kCallGetPath, "SRV", "KVR610"), "get_path", kDbOk},
      {Read(kTableServer, kKeyServerName, Key({}, "srv", 48)), "read", kDbOk},
      {Read(kTablePackage, kKeyPackageId, Key({2, 10})), "read", kDbOk},
      {Read(kTableServer, kKeyServerName, Key({}, "NOPE", 48)), "read", kDbNotFound},
      {Read(999, 0, U32(0), kOpGetFirst), "read", kDbInvalidTable},
      {Insert(kTablePackage, std::string(RecordLength(kTablePackage), 'x')), "insert", kDbReadOnly},
      {Insert(kTableHistoryText, Text("hello")), "insert", kDbOk},
      {Req(99), "invalid", kDbInvalidOperation},
  };
  std::map<std::string, double> want;
  Client c;
  ASSERT_TRUE(c.Connect(d.port));
  for (const auto& k : cases) {
    proto::Reply r;
    ASSERT_TRUE(c.Call(k.q, r)) << k.op;
    ASSERT_EQ(r.status, k.status) << k.op;
    ++want[Series(k.op, k.status)];
  }
  // A frame too short to be one: answered 10602 and hung up.
  proto::Reply r;
  ASSERT_TRUE(c.Send(std::string("\x05\0\0\0hello", 9)) && c.ReadReply(r));
  ++want[Series("invalid", kDbInvalidOperation)];

  s = GetMetrics(d.adminPort);
  std::map<std::string, double> got;
  for (const auto& [series, v] : s.samples)
    if (series.rfind("dblinkd_requests_total", 0) == 0) got[series] = v;
  EXPECT_EQ(got, want) << s.body;
  // Buckets: bounds rising, counts cumulative, the last +Inf, equal to _count.
  std::map<double, double> buckets;
  std::smatch m;
  for (const auto& [series, v] : s.samples)
    if (std::regex_match(series, m, std::regex(R"re(dblinkd_request_duration_seconds_bucket\{le="([^"]+)"\})re")))
      buckets[m[1] == "+Inf" ? HUGE_VAL : std::stod(m[1])] = v;
  ASSERT_GE(buckets.size(), 10u);
  double last = 0;
  for (const auto& [le, n] : buckets) {
    EXPECT_GE(n, last) << le;
    last = n;
  }
  const double total = double(std::size(cases) + 1);
  EXPECT_EQ(buckets.rbegin()->first, HUGE_VAL);
  EXPECT_EQ(last, total);
  EXPECT_EQ(s.Get("dblinkd_request_duration_seconds_count"), total);
  double sum = s.Get("dblinkd_request_duration_seconds_sum");  // loopback: none near a second
  EXPECT_TRUE(sum > 0 && sum < total * 0.5) << sum;
  EXPECT_EQ(s.Get("dblinkd_database_errors_total"), 0);
}

TEST_F(Metrics, OpenConnectionsFollowConnectsAndClosesAndRefusalsAreCounted) {
  EXPECT_EQ(GetMetrics(d.adminPort).Get("dblinkd_open_connections"), 0);
  Client c[4];
  proto::Reply r;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(c[i].Connect(d.port) && c[i].Call(Req(proto::kCallHello), r));
  ASSERT_TRUE(c[3].Connect(d.port) && c[3].PeerClosed());  // a fourth from the address: reset at once
  Scrape s = GetMetrics(d.adminPort);
  EXPECT_EQ(s.Get("dblinkd_open_connections"), 3);
  EXPECT_EQ(s.Get("dblinkd_refused_connections_total"), 1);
  c[0].Close();
  c[2].Close();
  // The service learns of a close a moment after the client.
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (GetMetrics(d.adminPort).Get("dblinkd_open_connections") != 1 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(GetMetrics(d.adminPort).Get("dblinkd_open_connections"), 1);
}

// Tables taken away under the running service: a read and a write fail in the database,
// one failed statement each, and say so in their status.
TEST_F(Metrics, FailedStatementsAreCounted) {
  sqlite3* h = nullptr;
  ASSERT_EQ(sqlite3_open(d.db.c_str(), &h), SQLITE_OK);
  sqlite3_busy_timeout(h, 5000);
  EXPECT_EQ(sqlite3_exec(h, "DROP TABLE tasks; DROP TABLE history_texts", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(h);
  Client c;
  proto::Reply r;
  ASSERT_TRUE(c.Connect(d.port) && c.Call(Read(kTableTask, kKeyOfPackage, Key({1, 10})), r));
  EXPECT_EQ(r.status, kDbReadFailure);
  ASSERT_TRUE(c.Call(Insert(kTableHistoryText, Text("lost")), r));
  EXPECT_EQ(r.status, kDbWriteFailure);
  Scrape s = GetMetrics(d.adminPort);
  EXPECT_EQ(s.Get("dblinkd_database_errors_total"), 2) << d.Log();
  EXPECT_EQ(s.Get(Series("read", kDbReadFailure)), 1);
  EXPECT_EQ(s.Get(Series("insert", kDbWriteFailure)), 1);
}

// A site with a known number of status rows per status, and targeting rows that are never
// counted; then a workstation's rewrite moves one row from failed to installed.
TEST(MetricsStatusRows, FollowTheDocumentAndTheWorkstationsWrites) {
  int want[] = {3, 2, 1, 0, 4, 1};  // by status number
  const char* const names[] = {"pending", "installed", "refused", "refused_permanently", "failed", "failed_retry"};
  Json rows = Json::array();
  for (int kind : {kKindUser, kKindGroup})
    rows.push_back({{"ServerId", 1}, {"PackageId", 1}, {"Scheduled", 1}, {"TargetKind", kind}, {"TargetName", "all"}});
  for (int status = 0, n = 0; status <= kStatusLast; ++status)
    for (int i = 0; i < want[status]; ++i, ++n)
      rows.push_back({{"RecordId", 100 + n}, {"ServerId", 1}, {"PackageId", 1 + n % 2}, {"Scheduled", 0},
                      {"PackageStatus", status}, {"TargetKind", kKindMachine}, {"TargetName", "WS" + std::to_string(n)}});
  Json seed = {{"servers", {{{"ServerId", 1}, {"ServerName", "SRV"}}}},
               {"packages", {{{"PackageId", 1}, {"ServerId", 1}, {"Name", "One"}},
                             {{"PackageId", 2}, {"ServerId", 1}, {"Name", "Two"}}}},
               {"package_users", rows}};
  Daemon d;
  ASSERT_TRUE(d.Start(&seed)) << d.Log();
  auto check = [&] {
    Scrape s = GetMetrics(d.adminPort);
    for (int status = 0; status <= kStatusLast; ++status)
      EXPECT_EQ(s.Get(std::string("dblinkd_status_rows{status=\"") + names[status] + "\"}"), want[status])
          << names[status] << "\n" << s.body;
  };
  check();

  uint32_t id = 100 + 3 + 2 + 1;  // the first failed row
  Client c;
  std::string rec;
  ASSERT_TRUE(c.Connect(d.port));
  ASSERT_EQ(c.Read(kTableUserPackage, kOpGetEqual, 0, U32(id), &rec), kDbOk);
  UserPackageRecord u = Rec<UserPackageRecord>(rec);
  ASSERT_EQ(u.PackageStatus, kStatusFailed);
  u.PackageStatus = kStatusCompleted;
  ASSERT_EQ(c.Op(kTableUserPackage, kClassRewrite, kOpGetEqual, 0, U32(id), Bytes(u, kTableUserPackage)), kDbOk);
  --want[kStatusFailed];
  ++want[kStatusCompleted];
  check();
}

}  // namespace
