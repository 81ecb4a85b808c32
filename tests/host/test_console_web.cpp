// The administrator's web console through HTTP against the real dblinkd: sign-in and its
// cookie, the session and CSRF gates, the pages on a small hand-made site, re-offering.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <cstring>
#include <regex>

#include "console_pages.h"
#include "console_routes.h"
#include "console_sessions.h"
#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;
using dblink::ConsoleSessions;

namespace {

const char kScriptMachine[] = "WS<script>alert(\"x\")</script>'";

// Packages 20 (three failures), 10 (one of each status), 40 and 30, and 50 with 60 rows
// for pagination. Status rows carry their id as PackageUserId, which history entries name.
Json Site() {
  Json seed = {{"servers", {{{"ServerId", 1}, {"ServerName", "SRV"}}}}, {"packages", Json::array()},
               {"package_users", Json::array()}};
  for (auto [id, name] : std::vector<std::pair<int, const char*>>{
           {10, "Office 97"}, {20, "Viewer"}, {30, "Zip tool"}, {40, "Alpha"}, {50, "Many"}})
    seed["packages"].push_back({{"PackageId", id}, {"ServerId", 1}, {"Name", name}, {"Status", "A"}});
  auto row = [&](int id, int pkg, int scheduled, int kind, const std::string& name, const char* other, int status) {
    seed["package_users"].push_back({{"RecordId", id}, {"PackageUserId", id}, {"ServerId", 1}, {"PackageId", pkg},
                                     {"Scheduled", scheduled}, {"PackageStatus", status}, {"TargetKind", kind},
                                     {"TargetName", name}, {"Counterpart", other}, {"FailureCount", status >= 4 ? 2 : 0}});
  };
  row(101, 20, 0, kKindMachine, kScriptMachine, "bob", kStatusFailed);
  row(102, 20, 0, kKindMachine, "WS-B", "carol", kStatusFailed);
  row(103, 20, 0, kKindUser, "dave", "WS-C", kStatusFailedRetry);
  row(104, 20, 0, kKindMachine, "WS-C", "dave", kStatusCompleted);
  row(111, 10, 0, kKindMachine, "WS-A", "alice", kStatusCompleted);
  row(112, 10, 0, kKindUser, "alice", "WS-A", kStatusCompleted);
  row(113, 10, 0, kKindMachine, "WS-B", "carol", kStatusFailed);
  row(114, 10, 0, kKindMachine, "WS-C", "dave", kStatusRefused);
  row(115, 10, 0, kKindUser, "dave", "WS-C", kStatusRefusedPermanently);
  row(116, 10, 0, kKindMachine, "WS-D", "erin", kStatusPending);
  row(1, 10, 1, kKindUser, "alice", "", 0);
  row(2, 10, 1, kKindGroup, "PLX_EVERYONE", "", 0);
  row(121, 30, 0, kKindMachine, "WS-A", "alice", kStatusCompleted);
  row(122, 30, 0, kKindMachine, "WS-B", "carol", kStatusCompleted);
  row(131, 40, 0, kKindMachine, "WS-D", "erin", kStatusPending);
  for (int i = 1; i <= 60; ++i) {
    char name[16];
    snprintf(name, sizeof name, "WS%04d", i);
    row(200 + i, 50, 0, kKindMachine, name, "", kStatusCompleted);
  }
  return seed;
}

// History as workstations write it: a text, then the entry naming it.
void WriteHistory(Client& c, uint32_t pkg, uint32_t row, const char* date, const char* time, const char* user,
                  const char* text) {
  HistoryTextRecord t;
  t.ServerId = 1;
  CopyText(t.Text, sizeof t.Text, text);
  std::string rec;
  ASSERT_EQ(c.Op(kTableHistoryText, kClassInsert, kOpInsert, 0, U32(0), Bytes(t, kTableHistoryText), &rec), kDbOk);
  HistoryRecord h;
  h.ServerId = 1;
  h.TextId = Rec<HistoryTextRecord>(rec).TextId;
  h.PackageId = pkg;
  h.PackageUserId = row;
  memcpy(h.Date, date, 8);
  memcpy(h.Time, time, 6);
  CopyText(h.UserName, sizeof h.UserName, user);
  CopyText(h.ServerName, sizeof h.ServerName, "SRV");
  ASSERT_EQ(c.Op(kTableHistory, kClassInsert, kOpInsert, 0, U32(0), Bytes(h, kTableHistory)), kDbOk);
}

std::vector<std::string> All(const std::string& text, const std::string& pattern) {
  std::vector<std::string> out;
  std::regex re(pattern);
  for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it)
    out.push_back((*it).size() > 1 ? (*it)[1].str() : (*it)[0].str());
  return out;
}

// Each table row's cells of one class, in order.
std::vector<std::string> Cells(const std::string& html, const std::string& cls) {
  return All(html, "<td class=\"" + cls + "\">(.*?)</td>");
}

std::string Joined(const std::vector<std::string>& v) {
  std::string s;
  for (size_t i = 0; i < v.size(); ++i) s += (i ? "," : "") + v[i];
  return s;
}

struct Web {
  // Paths go as written, encoded the way a browser encodes them.
  explicit Web(uint16_t port) : http("127.0.0.1", port) {
    http.set_read_timeout(10);
    http.set_url_encode(false);
  }
  httplib::Result Get(const std::string& path, const httplib::Headers& h = {}) {
    httplib::Headers all = h;
    if (!cookie.empty()) all.emplace("Cookie", cookie);
    auto r = http.Get(path.c_str(), all);
    if (r) served += r->body;
    return r;
  }
  httplib::Result Post(const std::string& path, const std::string& form, const httplib::Headers& h = {}) {
    httplib::Headers all = h;
    if (!cookie.empty()) all.emplace("Cookie", cookie);
    auto r = http.Post(path.c_str(), all, form, "application/x-www-form-urlencoded");
    if (r) served += r->body;
    return r;
  }
  // Signs in; the session's CSRF token from the overview's sign-out form.
  bool SignIn(const std::string& token = Daemon::kToken) {
    auto r = Post("/console/signin", "token=" + dblink::UrlPart(token));
    if (!r || r->status != 303) return false;
    cookie = r->get_header_value("Set-Cookie").substr(0, r->get_header_value("Set-Cookie").find(';'));
    auto page = Get("/console/");
    std::vector<std::string> c = page ? All(page->body, "name=\"csrf\" value=\"([0-9a-f]+)\"") : std::vector<std::string>{};
    csrf = c.empty() ? "" : c[0];
    return !csrf.empty();
  }
  httplib::Client http;
  std::string cookie, csrf, served;
};

class ConsoleWeb : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    d = new Daemon;
    Json site = Site();
    ASSERT_TRUE(d->Start(&site)) << d->Log();
    Client c;
    ASSERT_TRUE(c.Connect(d->port));
    WriteHistory(c, 20, 101, "20240105", "093000", "bob", "Setup failed: disk full");
    WriteHistory(c, 20, 102, "20240106", "101500", "carol", "Setup failed: access denied");
    WriteHistory(c, 10, 111, "20231231", "235959", "alice", "Installed.");
    WriteHistory(c, 10, 114, "20240106", "101500", "dave", "Refused by the user <b>now</b>");
  }
  static void TearDownTestSuite() {
    delete d;
    d = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(web.SignIn()) << d->Log(); }
  static Daemon* d;
  Web web{d->adminPort};
};
Daemon* ConsoleWeb::d = nullptr;

TEST(ConsolePure, EscapingParsingDates) {
  struct { std::string in, want; } html[] = {
      {kScriptMachine, "WS&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;&#39;"},
      {"a&b", "a&amp;b"},
      {"caf\xE9 \x80\x81", "caf\xC3\xA9 \xE2\x82\xAC\xEF\xBF\xBD"},  // Windows-1252: é, euro, unassigned
      {"caf\xC3\xA9", "caf\xC3\xA9"},         // UTF-8 as it is
      {std::string("x\0y", 3), "x\xEF\xBF\xBDy"},
  };
  for (auto& c : html) EXPECT_EQ(dblink::Html(c.in), c.want) << c.in;
  EXPECT_EQ(dblink::UrlPart("a b/<%>é"), "a%20b%2F%3C%25%3E%C3%A9");

  auto form = dblink::ParseForm("token=a%2Bb+c&csrf=&token=second&bad=%zz&flag");
  EXPECT_EQ(form["token"], "a+b c");
  EXPECT_EQ(form["csrf"], "");
  EXPECT_EQ(form["bad"], "%zz");
  EXPECT_EQ(form.count("flag"), 1u);

  struct { const char* in; bool ok; const char* want; } days[] = {
      {"2024-02-29", true, "20240229"}, {"2023-02-29", false, ""}, {"1900-02-29", false, ""},
      {"2000-02-29", true, "20000229"}, {"2024-04-31", false, ""}, {"2024-13-01", false, ""},
      {"2024-00-10", false, ""},        {"2024-1-01", false, ""},  {"2024/01/01", false, ""},
      {"20240101", false, ""},          {"", false, ""},
  };
  for (auto& c : days) {
    std::string out;
    EXPECT_EQ(dblink::ParseDay(c.in, out), c.ok) << c.in;
    if (c.ok) {
      EXPECT_EQ(out, c.want);
    }
  }
  struct { const char* in; uint32_t want; } pages[] = {{"", 1}, {"0", 1}, {"x", 1}, {"-2", 1}, {"3", 3},
                                                        {"99999999999", 1}, {"4000000000", 1000000}};
  for (auto& c : pages) EXPECT_EQ(dblink::PageNumber(c.in), c.want) << c.in;
  EXPECT_EQ(dblink::When("20240105", "093000"), "2024-01-05 09:30:00");
  EXPECT_EQ(dblink::When("2024", "9"), "2024 9");
  EXPECT_EQ(dblink::CookieValue("a=1; plx_session=abc ;b=2", "plx_session"), "abc");
  EXPECT_EQ(dblink::CookieValue("xplx_session=abc; plx_session2=d", "plx_session"), "");
}

TEST(ConsolePure, SessionsExpireAndFailuresWait) {
  using std::chrono::minutes;
  dblink::SessionLimits limits;
  limits.maxSessions = 3;
  ConsoleSessions s(limits);
  auto t0 = ConsoleSessions::Clock::now();
  std::string id[4], csrf[4], got;
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(s.Create(t0 + minutes(i), id[i], csrf[i]));
  EXPECT_EQ(id[1].size(), 64u);
  EXPECT_NE(id[1], csrf[1]);
  EXPECT_FALSE(s.Find(id[0], t0 + minutes(4), got)) << "the oldest went when a fourth came";
  EXPECT_TRUE(s.Find(id[1], t0 + minutes(4), got));
  EXPECT_EQ(got, csrf[1]);
  EXPECT_FALSE(s.Find(id[1].substr(0, 63) + "x", t0 + minutes(4), got));
  // Idle: 30 minutes without use; absolute: 12 hours however busy.
  EXPECT_FALSE(s.Find(id[2], t0 + minutes(2 + 30), got));
  for (int m = 25; m < 12 * 60; m += 25) ASSERT_TRUE(s.Find(id[1], t0 + minutes(1 + m), got)) << m;
  EXPECT_FALSE(s.Find(id[1], t0 + minutes(1 + 12 * 60), got));
  s.End(id[3]);
  EXPECT_FALSE(s.Find(id[3], t0 + minutes(4), got));

  for (int i = 0; i < 10; ++i) {
    EXPECT_FALSE(s.Blocked("10.0.0.1", t0)) << i;
    s.Failed("10.0.0.1", t0);
  }
  EXPECT_TRUE(s.Blocked("10.0.0.1", t0 + std::chrono::seconds(59)));
  EXPECT_FALSE(s.Blocked("10.0.0.2", t0));
  EXPECT_FALSE(s.Blocked("10.0.0.1", t0 + std::chrono::seconds(60)));
}

TEST_F(ConsoleWeb, SignInCookieAndSignOut) {
  Web anon(d->adminPort);
  auto wrong = anon.Post("/console/signin", "token=not-the-token-xyzzy");
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->status, 401);
  EXPECT_NE(wrong->body.find("<p id=\"error\">Wrong token.</p>"), std::string::npos);
  EXPECT_EQ(wrong->body.find("xyzzy"), std::string::npos);
  EXPECT_TRUE(wrong->get_header_value("Set-Cookie").empty());

  auto right = anon.Post("/console/signin", std::string("token=") + Daemon::kToken);
  ASSERT_TRUE(right);
  EXPECT_EQ(right->status, 303);
  EXPECT_EQ(right->get_header_value("Location"), "/console/");
  EXPECT_TRUE(std::regex_match(right->get_header_value("Set-Cookie"),
                               std::regex("plx_session=[0-9a-f]{64}; Path=/console/; HttpOnly; SameSite=Strict; Max-Age=43200")))
      << right->get_header_value("Set-Cookie");

  auto out = web.Post("/console/signout", "csrf=" + web.csrf);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->status, 303);
  EXPECT_EQ(out->get_header_value("Location"), "/console/signin");
  auto after = web.Get("/console/");
  ASSERT_TRUE(after);
  EXPECT_EQ(after->status, 303);
}

// Every route refused without its credential, and each credential opens only its side.
TEST_F(ConsoleWeb, EveryRouteNeedsItsOwnCredential) {
  struct Route { const char* method; const char* path; bool console; };
  const Route routes[] = {
      {"GET", "/console/", true},           {"GET", "/console/package/10", true},   {"GET", "/console/machine/WS-A", true},
      {"GET", "/console/user/alice", true}, {"GET", "/console/history", true},      {"GET", "/console/reoffer?row=113", true},
      {"GET", "/console/nothing", true},    {"POST", "/console/reoffer", true},     {"POST", "/console/signout", true},
      {"GET", "/servers", false},           {"GET", "/packages", false},            {"GET", "/schedules", false},
      {"GET", "/status", false},            {"GET", "/dependencies", false},        {"GET", "/tasks", false},
      {"GET", "/installed", false},         {"GET", "/history", false},             {"GET", "/export", false},
      {"POST", "/import", false},
  };
  std::string before = DatabaseDigest(d->db);
  const httplib::Headers bearer = {{"Authorization", std::string("Bearer ") + Daemon::kToken}};
  for (const Route& r : routes) {
    bool get = std::string(r.method) == "GET";
    Web anon(d->adminPort);
    // Nothing; then the other side's credential.
    for (int withOther = 0; withOther < 2; ++withOther) {
      if (withOther && !r.console) anon.cookie = web.cookie;
      auto res = get ? anon.Get(r.path, withOther && r.console ? bearer : httplib::Headers{})
                     : anon.Post(r.path, "csrf=" + web.csrf + "&row=113", withOther && r.console ? bearer : httplib::Headers{});
      ASSERT_TRUE(res) << r.path;
      int want = !r.console ? 401 : get ? 303 : 403;
      EXPECT_EQ(res->status, want) << r.method << " " << r.path << " other credential " << withOther;
      if (want == 303) {
        EXPECT_EQ(res->get_header_value("Location"), "/console/signin");
      }
    }
    if (r.console && get) {  // with the session: the page, and its security headers
      auto res = web.Get(r.path);
      ASSERT_TRUE(res);
      EXPECT_EQ(res->status, std::string(r.path) == "/console/nothing" ? 404 : 200) << r.path;
      EXPECT_EQ(res->get_header_value("Content-Type"), "text/html; charset=utf-8");
      EXPECT_EQ(res->get_header_value("Cache-Control"), "no-store");
      EXPECT_EQ(res->get_header_value("X-Frame-Options"), "DENY");
      EXPECT_EQ(res->get_header_value("X-Content-Type-Options"), "nosniff");
      EXPECT_EQ(res->get_header_value("Content-Security-Policy"), "default-src 'self'");
      EXPECT_NE(res->body.find("id=\"signout-submit\""), std::string::npos);
      EXPECT_EQ(res->body.find(" style="), std::string::npos);
      EXPECT_EQ(res->body.find("<script>"), std::string::npos);
    }
  }
  EXPECT_EQ(DatabaseDigest(d->db), before);
  auto css = web.Get("/console/static/console.css");
  ASSERT_TRUE(css);
  EXPECT_EQ(css->status, 200);
  EXPECT_EQ(css->get_header_value("Content-Type"), "text/css; charset=utf-8");
  EXPECT_NE(css->body.find("rect.failed"), std::string::npos);
  EXPECT_EQ(web.Get("/console/static/none.css")->status, 404);
  EXPECT_EQ(web.served.find(Daemon::kToken), std::string::npos);
}

TEST_F(ConsoleWeb, PostsWithoutTheSessionsCsrfTokenChangeNothing) {
  std::string before = DatabaseDigest(d->db);
  for (const std::string& form : std::vector<std::string>{"row=113", "row=113&csrf=", "row=113&csrf=" + std::string(64, '0')}) {
    auto r = web.Post("/console/reoffer", form);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403) << form;
    auto out = web.Post("/console/signout", form);
    EXPECT_EQ(out->status, 403) << form;
  }
  EXPECT_EQ(DatabaseDigest(d->db), before);
  EXPECT_EQ(web.Get("/console/")->status, 200) << "the session lives on";
}

TEST_F(ConsoleWeb, OverviewPackageAndPagination) {
  auto o = web.Get("/console/");
  ASSERT_TRUE(o);
  EXPECT_EQ(Joined(All(o->body, "<tr class=\"package\" data-package-id=\"(\\d+)\"")), "20,10,40,50,30");
  EXPECT_EQ(Joined(Cells(o->body, "installed")), "1,2,0,60,2");
  EXPECT_EQ(Joined(Cells(o->body, "failed")), "3,1,0,0,0");
  EXPECT_EQ(Joined(Cells(o->body, "refused")), "0,1,0,0,0");
  EXPECT_EQ(Joined(Cells(o->body, "refused-permanently")), "0,1,0,0,0");
  EXPECT_EQ(Joined(Cells(o->body, "pending")), "0,1,1,0,0");
  EXPECT_NE(o->body.find("<a href=\"/console/package/20\">Viewer</a>"), std::string::npos);
  EXPECT_EQ(All(o->body, "id=\"(next|prev)-page\"").size(), 0u);

  auto p = web.Get("/console/package/10");
  ASSERT_TRUE(p);
  EXPECT_NE(p->body.find("<h1 id=\"package-name\">Office 97</h1>"), std::string::npos);
  EXPECT_NE(p->body.find("<a href=\"/console/history?package=10\" id=\"package-history\">"), std::string::npos);
  EXPECT_EQ(Joined(All(p->body, "<td class=\"kind\">(\\w+)</td>")), "group,user");
  EXPECT_EQ(Joined(All(p->body, "<tr class=\"status-row[^\"]*\" data-row-id=\"(\\d+)\"")), "113,112,115,111,114,116");
  EXPECT_EQ(All(p->body, "class=\"reoffer\"").size(), 5u) << "every row but the pending one";
  EXPECT_NE(p->body.find("<td class=\"status\">refused permanently</td>"), std::string::npos);
  struct { const char* query; const char* rows; } filters[] = {
      {"?status=failed", "113"},      {"?status=installed&kind=user", "112"}, {"?kind=machine&name=ws-c", "114"},
      {"?status=pending", "116"},     {"?name=nobody", ""},
  };
  for (auto& f : filters)
    EXPECT_EQ(Joined(All(web.Get(std::string("/console/package/10") + f.query)->body, "data-row-id=\"(\\d+)\"")),
              std::string("2,1") + (*f.rows ? "," : "") + f.rows) << f.query;  // the targets' rows first

  auto v = web.Get("/console/package/20");
  EXPECT_NE(v->body.find("Setup failed: disk full"), std::string::npos) << "a failure's history text";
  EXPECT_EQ(v->body.find("<script>alert"), std::string::npos);
  EXPECT_NE(v->body.find("WS&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;&#39;"), std::string::npos);
  EXPECT_NE(v->body.find("href=\"/console/machine/WS%3Cscript%3Ealert%28%22x%22%29%3C%2Fscript%3E%27\""), std::string::npos);

  auto p1 = web.Get("/console/package/50");
  EXPECT_EQ(All(p1->body, "class=\"status-row").size(), 50u);
  EXPECT_EQ(All(p1->body, "id=\"(next|prev)-page\"").size(), 1u);
  EXPECT_NE(p1->body.find("<a href=\"/console/package/50?page=2\" id=\"next-page\">"), std::string::npos);
  auto p2 = web.Get("/console/package/50?page=2");
  EXPECT_EQ(All(p2->body, "class=\"status-row").size(), 10u);
  EXPECT_NE(p2->body.find("<a href=\"/console/package/50\" id=\"prev-page\">"), std::string::npos);
  EXPECT_EQ(p2->body.find("next-page"), std::string::npos);
  EXPECT_EQ(All(web.Get("/console/package/50?name=WS005&kind=machine")->body, "class=\"status-row").size(), 10u);
  EXPECT_EQ(web.Get("/console/package/99")->status, 404);
  EXPECT_EQ(web.Get("/console/package/99999999999")->status, 404);
}

TEST_F(ConsoleWeb, MachineUserAndHistory) {
  auto m = web.Get("/console/machine/WS-B");
  ASSERT_TRUE(m);
  EXPECT_NE(m->body.find("<h1 id=\"subject\">WS-B</h1>"), std::string::npos);
  EXPECT_EQ(Joined(All(m->body, "data-row-id=\"(\\d+)\"")), "113,102,122");  // by package name
  EXPECT_EQ(Joined(Cells(m->body, "when")), "2024-01-06 10:15:00");
  EXPECT_EQ(Joined(Cells(m->body, "text")), ",Setup failed: access denied,,Setup failed: access denied");

  auto s = web.Get("/console/machine/WS%3Cscript%3Ealert%28%22x%22%29%3C%2Fscript%3E%27");
  EXPECT_NE(s->body.find("<h1 id=\"subject\">WS&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;&#39;</h1>"),
            std::string::npos);
  EXPECT_EQ(Joined(Cells(s->body, "when")), "2024-01-05 09:30:00");

  auto u = web.Get("/console/user/dave");
  EXPECT_EQ(All(u->body, "class=\"status-row").size(), 4u);
  EXPECT_NE(u->body.find("Refused by the user &lt;b&gt;now&lt;/b&gt;"), std::string::npos);

  struct { const char* query; const char* when; bool error; } searches[] = {
      {"", "2024-01-06 10:15:00,2024-01-06 10:15:00,2024-01-05 09:30:00,2023-12-31 23:59:59", false},
      {"?text=SETUP+failed", "2024-01-06 10:15:00,2024-01-05 09:30:00", false},
      {"?from=2024-01-01&to=2024-01-05", "2024-01-05 09:30:00", false},
      {"?package=10&user=alice", "2023-12-31 23:59:59", false},
      {"?machine=WS-B", "2024-01-06 10:15:00", false},
      {"?text=se", "", true},
      {"?from=2024-02-30", "", true},
      {"?package=ten", "", true},
  };
  for (auto& q : searches) {
    auto h = web.Get(std::string("/console/history") + q.query);
    ASSERT_TRUE(h);
    EXPECT_EQ(Joined(Cells(h->body, "when")), q.when) << q.query;
    EXPECT_EQ(h->body.find("<p id=\"error\">") != std::string::npos, q.error) << q.query;
  }
  EXPECT_EQ(web.served.find(Daemon::kToken), std::string::npos);
}

TEST_F(ConsoleWeb, ReofferAfterConfirmation) {
  auto ask = web.Get("/console/reoffer?row=113");
  ASSERT_TRUE(ask);
  EXPECT_EQ(ask->status, 200);
  EXPECT_NE(ask->body.find("<form id=\"reoffer\" method=\"post\" action=\"/console/reoffer\">"), std::string::npos);
  EXPECT_NE(ask->body.find("Office 97"), std::string::npos);
  EXPECT_NE(ask->body.find("<span id=\"reoffer-target\"><a href=\"/console/machine/WS-B\">WS-B</a></span>, now "
                           "<span id=\"reoffer-status\">failed</span>"), std::string::npos);
  EXPECT_EQ(web.Get("/console/reoffer?row=1")->status, 404) << "a targeting row";
  EXPECT_EQ(web.Get("/console/reoffer?row=9999")->status, 404);
  EXPECT_EQ(web.Post("/console/reoffer", "row=9999&csrf=" + web.csrf)->status, 404);

  auto done = web.Post("/console/reoffer", "row=113&csrf=" + web.csrf);
  ASSERT_TRUE(done);
  EXPECT_EQ(done->status, 303);
  EXPECT_EQ(done->get_header_value("Location"), "/console/package/10");
  std::string json;
  ASSERT_EQ(AdminRequest(d->adminPort, "GET", "/status", Daemon::kToken, "", json), 200);
  int seen = 0;
  Json status = Json::parse(json);
  for (const Json& r : status["status"])
    if (r["RecordId"] == 113) {
      EXPECT_EQ(r["PackageStatus"], kStatusPending);
      EXPECT_EQ(r["FailureCount"], 2) << "counts kept";
      ++seen;
    }
  EXPECT_EQ(seen, 1);
  ASSERT_EQ(AdminRequest(d->adminPort, "GET", "/history", Daemon::kToken, "", json), 200);
  seen = 0;
  Json history = Json::parse(json);
  for (const Json& h : history["history"])
    if (h["Text"] == "Offered again from the console") {
      EXPECT_EQ(h["UserName"], "console");
      EXPECT_EQ(h["PackageId"], 10);
      EXPECT_EQ(h["PackageUserId"], 113);
      ++seen;
    }
  EXPECT_EQ(seen, 1);
  auto p = web.Get("/console/package/10?status=pending");
  EXPECT_EQ(Joined(All(p->body, "data-row-id=\"(\\d+)\"")), "2,1,113,116");
  EXPECT_EQ(d->Log().find(Daemon::kToken), std::string::npos);
}

// On a service of its own: the failure limit holds 127.0.0.1 for a minute.
TEST(ConsoleWebRestart, OldCookiesAndTooManyFailures) {
  Daemon d;
  Json site = Site();
  ASSERT_TRUE(d.Start(&site)) << d.Log();
  Web web(d.adminPort);
  ASSERT_TRUE(web.SignIn());
  d.Signal(SIGTERM);
  ASSERT_EQ(d.Wait(), 0) << d.Log();
  ASSERT_TRUE(d.Start()) << d.Log();
  Web again(d.adminPort);
  again.cookie = web.cookie;
  auto old = again.Get("/console/");
  ASSERT_TRUE(old);
  EXPECT_EQ(old->status, 303) << "a cookie from before the restart";
  EXPECT_EQ(again.Post("/console/reoffer", "row=113&csrf=" + web.csrf)->status, 403);

  Web anon(d.adminPort);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(anon.Post("/console/signin", "token=wrong")->status, 401) << i;
  auto blocked = anon.Post("/console/signin", std::string("token=") + Daemon::kToken);
  EXPECT_EQ(blocked->status, 429) << "even the right token waits out the minute";
  EXPECT_TRUE(blocked->get_header_value("Set-Cookie").empty());
  EXPECT_EQ(d.Log().find(Daemon::kToken), std::string::npos);
}

}  // namespace
