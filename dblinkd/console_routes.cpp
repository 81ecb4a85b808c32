#include "console_routes.h"

#include <httplib.h>

#include <cstdio>
#include <ctime>

#include "console/assets.h"
#include "console_pages.h"
#include "plx/records.h"

namespace dblink {

namespace {

using Clock = ConsoleSessions::Clock;

const char kCookie[] = "plx_session";
const char kSigninPath[] = "/console/signin";
const std::string kConsolePrefix = "/console/";
const std::string kStaticPrefix = "/console/static/";
const char kHtml[] = "text/html; charset=utf-8";
const char kWrongToken[] = "Wrong token.";
const char kTooManyFailures[] = "Too many failed sign-ins from this address; try again in a minute.";
const char kDatabaseFailed[] = "The database could not be read; the service's log says why.";

void SecurityHeaders(httplib::Response& res) {
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Frame-Options", "DENY");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Content-Security-Policy", "default-src 'self'");
  res.set_header("Referrer-Policy", "no-referrer");
}

void Send(httplib::Response& res, int status, const std::string& html) {
  res.status = status;
  res.set_content(html, kHtml);
}

void SeeOther(httplib::Response& res, const std::string& to) {
  res.status = 303;
  res.set_header("Location", to);
  res.set_content("", kHtml);
}

std::string Param(const httplib::Request& req, const char* name) {
  return req.has_param(name) ? req.get_param_value(name) : "";
}

Page PageOf(uint32_t number) { return Page{(number - 1) * kConsolePageRows, kConsolePageRows}; }

// The service's local time, as workstations write theirs into the history.
void LocalNow(std::string& date, std::string& time) {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char d[9], h[7];
  strftime(d, sizeof d, "%Y%m%d", &tm);
  strftime(h, sizeof h, "%H%M%S", &tm);
  date = d;
  time = h;
}

const char* ContentType(const std::string& name) {
  auto ends = [&](const char* ext) {
    std::string e(ext);
    return name.size() > e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0;
  };
  if (ends(".css")) return "text/css; charset=utf-8";
  if (ends(".js")) return "text/javascript; charset=utf-8";
  if (ends(".svg")) return "image/svg+xml";
  if (ends(".png")) return "image/png";
  return "application/octet-stream";
}

// The filter's choices as the form names them.
struct Choice { const char* name; int value; };
const Choice kStatusChoices[] = {{"pending", plx::kStatusPending},
                                 {"installed", plx::kStatusCompleted},
                                 {"refused", plx::kStatusRefused},
                                 {"refused-permanently", plx::kStatusRefusedPermanently},
                                 {"failed", plx::kStatusFailed}};
const Choice kKindChoices[] = {{"machine", plx::kKindMachine}, {"user", plx::kKindUser}};

template <size_t N>
bool Choose(const Choice (&choices)[N], const std::string& name, int& value) {
  for (const Choice& c : choices)
    if (name == c.name) { value = c.value; return true; }
  return false;
}

}  // namespace

std::string CookieValue(const std::string& header, const std::string& name) {
  size_t i = 0;
  while (i < header.size()) {
    size_t end = header.find(';', i);
    if (end == std::string::npos) end = header.size();
    size_t a = header.find_first_not_of(" \t", i);
    if (a < end) {
      size_t eq = header.find('=', a);
      if (eq < end && header.compare(a, eq - a, name) == 0 && eq - a == name.size()) {
        size_t z = header.find_last_not_of(" \t", end - 1);
        return header.substr(eq + 1, z + 1 - (eq + 1));
      }
    }
    i = end + 1;
  }
  return "";
}

bool IsConsolePath(const std::string& path) {
  return path == "/console" || path.compare(0, kConsolePrefix.size(), kConsolePrefix) == 0;
}

struct Console::Impl {
  Store& store;
  ConsoleData& data;
  std::string token;
  bool tls;
  ConsoleSessions sessions;

  Impl(Store& s, std::string t, bool secure, SessionLimits limits)
      : store(s), data(s.Console()), token(std::move(t)), tls(secure), sessions(limits) {}

  bool Session(const httplib::Request& req, Frame& frame) {
    std::string id = CookieValue(req.get_header_value("Cookie"), kCookie);
    return !id.empty() && sessions.Find(id, Clock::now(), frame.csrf);
  }

  // A form posted with the session's CSRF token; otherwise the answer is 403 already.
  bool Posted(const httplib::Request& req, httplib::Response& res, Frame& frame,
              std::map<std::string, std::string>& form) {
    form = ParseForm(req.body);
    if (!Session(req, frame)) {
      Send(res, 403, MessagePage(nullptr, "Refused", "Sign in first."));
      return false;
    }
    auto it = form.find("csrf");
    if (it == form.end() || !SameToken(it->second, frame.csrf)) {
      Send(res, 403, MessagePage(&frame, "Refused", "This form did not come from this session's pages; reload the page and try again."));
      return false;
    }
    return true;
  }

  void Cookie(httplib::Response& res, const std::string& value, long maxAge) {
    res.set_header("Set-Cookie", std::string(kCookie) + "=" + value + "; Path=/console/; HttpOnly; SameSite=Strict; Max-Age=" +
                                     std::to_string(maxAge) + (tls ? "; Secure" : ""));
  }

  void SignIn(const httplib::Request& req, httplib::Response& res) {
    const std::string& from = req.remote_addr;
    if (sessions.Blocked(from, Clock::now())) {
      res.set_header("Retry-After", std::to_string(sessions.WindowSeconds()));
      return Send(res, 429, SigninPage(kTooManyFailures));
    }
    std::map<std::string, std::string> form = ParseForm(req.body);
    auto it = form.find("token");
    if (it == form.end() || !SameToken(it->second, token)) {
      sessions.Failed(from, Clock::now());
      fprintf(stderr, "dblinkd: console: wrong token from %s\n", from.c_str());
      return Send(res, 401, SigninPage(kWrongToken));
    }
    std::string id, csrf;
    if (!sessions.Create(Clock::now(), id, csrf))
      return Send(res, 503, SigninPage("No session could be made: the system has no randomness to give."));
    fprintf(stderr, "dblinkd: console: signed in from %s\n", from.c_str());
    Cookie(res, id, sessions.MaxAgeSeconds());
    SeeOther(res, "/console/");
  }

  void SignOut(const httplib::Request& req, httplib::Response& res) {
    Frame f;
    std::map<std::string, std::string> form;
    if (!Posted(req, res, f, form)) return;
    sessions.End(CookieValue(req.get_header_value("Cookie"), kCookie));
    Cookie(res, "", 0);
    SeeOther(res, kSigninPath);
  }

  void Overview(const httplib::Request& req, httplib::Response& res, const Frame& f) {
    uint32_t page = PageNumber(Param(req, "page"));
    Paged<PackageCounts> rows;
    if (!data.Overview(PageOf(page), rows)) return Send(res, 500, MessagePage(&f, "Database failure", kDatabaseFailed));
    Send(res, 200, OverviewPage(f, rows, page));
  }

  void Package(const httplib::Request& req, httplib::Response& res, const Frame& f) {
    uint32_t id = 0;
    bool found = false;
    PackageCounts counts;
    std::vector<TargetView> targets;
    if (!ParseId(req.matches[1], id)) return Send(res, 404, MessagePage(&f, "Not found", "No such package."));
    if (!data.Package(id, found, counts, targets))
      return Send(res, 500, MessagePage(&f, "Database failure", kDatabaseFailed));
    if (!found) return Send(res, 404, MessagePage(&f, "Not found", "No such package."));
    PackageFilterForm form;
    StatusFilter filter;
    int v = 0;
    if (Choose(kStatusChoices, Param(req, "status"), v)) { form.status = Param(req, "status"); filter.status = v; }
    if (Choose(kKindChoices, Param(req, "kind"), v)) { form.kind = Param(req, "kind"); filter.kind = uint32_t(v); }
    form.name = filter.name = Param(req, "name");
    uint32_t page = PageNumber(Param(req, "page"));
    Paged<StatusRowView> rows;
    if (!data.PackageStatus(id, filter, PageOf(page), rows))
      return Send(res, 500, MessagePage(&f, "Database failure", kDatabaseFailed));
    Send(res, 200, PackagePage(f, counts, targets, rows, form, page));
  }

  void Subject(const httplib::Request& req, httplib::Response& res, const Frame& f, uint32_t kind) {
    std::string name = req.matches[1];
    uint32_t page = PageNumber(Param(req, "page")), hpage = PageNumber(Param(req, "hpage"));
    Paged<StatusRowView> rows;
    Paged<HistoryView> history;
    HistoryQuery q;
    (kind == plx::kKindMachine ? q.machine : q.user) = name;
    bool ok = kind == plx::kKindMachine ? data.MachineStatus(name, PageOf(page), rows)
                                        : data.UserStatus(name, PageOf(page), rows);
    if (!ok || !data.History(q, PageOf(hpage), history))
      return Send(res, 500, MessagePage(&f, "Database failure", kDatabaseFailed));
    Send(res, 200, SubjectPage(f, kind, name, rows, page, history, hpage));
  }

  void Machine(const httplib::Request& req, httplib::Response& res, const Frame& f) {
    Subject(req, res, f, plx::kKindMachine);
  }
  void User(const httplib::Request& req, httplib::Response& res, const Frame& f) { Subject(req, res, f, plx::kKindUser); }
  void NotFound(const httplib::Request&, httplib::Response& res, const Frame& f) {
    Send(res, 404, MessagePage(&f, "Not found", "No such page."));
  }

  void History(const httplib::Request& req, httplib::Response& res, const Frame& f) {
    HistoryForm form{Param(req, "text"), Param(req, "package"), Param(req, "machine"),
                     Param(req, "user"), Param(req, "from"),    Param(req, "to")};
    HistoryQuery q;
    q.text = form.text;
    q.machine = form.machine;
    q.user = form.user;
    std::string error;
    if (!form.text.empty() && TextLength(form.text) < kMinSearchChars)
      error = "Search for a text of at least " + std::to_string(kMinSearchChars) + " characters.";
    else if ((!form.from.empty() && !ParseDay(form.from, q.from)) || (!form.to.empty() && !ParseDay(form.to, q.to)))
      error = "Dates are written YYYY-MM-DD and must be real days.";
    else if (!form.package.empty() && !ParseId(form.package, q.packageId))
      error = "A package is given by its number.";
    uint32_t page = PageNumber(Param(req, "page"));
    if (!error.empty()) return Send(res, 200, HistoryPage(f, form, error, nullptr, page));
    Paged<HistoryView> rows;
    if (!data.History(q, PageOf(page), rows)) return Send(res, 500, MessagePage(&f, "Database failure", kDatabaseFailed));
    Send(res, 200, HistoryPage(f, form, "", &rows, page));
  }

  // A workstation's status row by its id: kDbNotFound for targeting rows too, which are
  // never offered again.
  int32_t StatusRow(const std::string& text, plx::UserPackageRecord& row) {
    uint32_t id = 0;
    if (!ParseId(text, id)) return plx::kDbNotFound;
    const plx::TableDef* t = plx::FindTable(plx::kTableUserPackage);
    KeyPart part;
    part.number = id;
    Row r;
    int32_t s = store.Read(*t, *t->Key(0), Seek::Equal, {part}, 0, r);
    if (s != plx::kDbOk) return s;
    plx::Decode(reinterpret_cast<const uint8_t*>(r.bytes.data()), row);
    return row.Scheduled != 0 ? plx::kDbNotFound : plx::kDbOk;
  }

  void ReofferAsk(const httplib::Request& req, httplib::Response& res, const Frame& f) {
    plx::UserPackageRecord row;
    int32_t s = StatusRow(Param(req, "row"), row);
    if (s == plx::kDbNotFound) return Send(res, 404, MessagePage(&f, "Not found", "No such status row."));
    bool found = false;
    PackageCounts counts;
    std::vector<TargetView> targets;
    if (s != plx::kDbOk || !data.Package(row.PackageId, found, counts, targets))
      return Send(res, 500, MessagePage(&f, "Database failure", kDatabaseFailed));
    ReofferView v;
    v.rowId = row.RecordId;
    v.packageId = row.PackageId;
    v.kind = row.TargetKind;
    v.status = row.PackageStatus;
    v.packageName = counts.name;
    v.target = row.TargetName;
    Send(res, 200, ReofferPage(f, v));
  }

  void Reoffer(const httplib::Request& req, httplib::Response& res) {
    Frame f;
    std::map<std::string, std::string> form;
    if (!Posted(req, res, f, form)) return;
    plx::UserPackageRecord row;
    int32_t s = StatusRow(form["row"], row);
    if (s == plx::kDbOk) {
      std::string date, time;
      LocalNow(date, time);
      s = data.Reoffer(row.RecordId, date, time);
    }
    if (s == plx::kDbNotFound) return Send(res, 404, MessagePage(&f, "Not found", "No such status row."));
    if (s != plx::kDbOk)
      return Send(res, 500, MessagePage(&f, "Database failure", "The package could not be offered again; the service's log says why."));
    fprintf(stderr, "dblinkd: console: status row %u of package %u offered again\n", unsigned(row.RecordId),
            unsigned(row.PackageId));
    SeeOther(res, "/console/package/" + std::to_string(row.PackageId));
  }

  void Static(const httplib::Request& req, httplib::Response& res) {
    const std::string name = req.matches[1];
    for (size_t i = 0; i < kConsoleAssetCount; ++i) {
      const ConsoleAsset& a = kConsoleAssets[i];
      if (name != a.name) continue;
      res.status = 200;
      res.set_content(reinterpret_cast<const char*>(a.data), a.size, ContentType(name));
      return;
    }
    Send(res, 404, MessagePage(nullptr, "Not found", "No such file."));
  }
};

Console::Console(Store& store, std::string token, bool tls, SessionLimits limits)
    : impl_(new Impl(store, std::move(token), tls, limits)) {}

Console::~Console() = default;

bool Console::Gate(const httplib::Request& req, httplib::Response& res) {
  SecurityHeaders(res);
  bool get = req.method == "GET" || req.method == "HEAD";
  if ((get || req.method == "POST") && req.path == kSigninPath) return false;
  if (get && req.path.compare(0, kStaticPrefix.size(), kStaticPrefix) == 0) return false;
  Frame f;
  if (impl_->Session(req, f)) return false;
  if (get) SeeOther(res, kSigninPath);
  else Send(res, 403, MessagePage(nullptr, "Refused", "Sign in first."));
  return true;
}

void Console::Register(httplib::Server& http) {
  Impl* c = impl_.get();
  using Req = const httplib::Request&;
  using Res = httplib::Response&;
  // A page's handler with its session; the gate let it through, but the session may have
  // ended since.
  auto page = [c](void (Impl::*fn)(Req, Res, const Frame&)) {
    return [c, fn](Req req, Res res) {
      Frame f;
      if (!c->Session(req, f)) return SeeOther(res, kSigninPath);
      (c->*fn)(req, res, f);
    };
  };
  http.Get(kSigninPath, [](Req, Res res) { Send(res, 200, SigninPage("")); });
  http.Post(kSigninPath, [c](Req req, Res res) { c->SignIn(req, res); });
  http.Post("/console/signout", [c](Req req, Res res) { c->SignOut(req, res); });
  http.Get("/console/static/([A-Za-z0-9._-]+)", [c](Req req, Res res) { c->Static(req, res); });
  http.Get("/console", [](Req, Res res) { SeeOther(res, "/console/"); });
  http.Get("/console/", page(&Impl::Overview));
  http.Get(R"(/console/package/(\d+))", page(&Impl::Package));
  http.Get("/console/machine/(.+)", page(&Impl::Machine));
  http.Get("/console/user/(.+)", page(&Impl::User));
  http.Get("/console/history", page(&Impl::History));
  http.Get("/console/reoffer", page(&Impl::ReofferAsk));
  http.Post("/console/reoffer", [c](Req req, Res res) { c->Reoffer(req, res); });
  // Anything else under /console/ is the console's own "not found", not the API's.
  http.Get("/console/.*", page(&Impl::NotFound));
  http.Post("/console/.*", [](Req, Res res) { Send(res, 404, MessagePage(nullptr, "Not found", "No such page.")); });
}

}  // namespace dblink
