#include "console_pages.h"

#include <cstdio>

#include "plx/records.h"

namespace dblink {

namespace {

constexpr uint32_t kMaxPage = 1000000;  // 50 million rows deep: far past any site
const char kReplacement[] = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence at s[i], 0 when none starts there.
size_t Utf8At(const std::string& s, size_t i) {
  unsigned char c = uint8_t(s[i]);
  size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  uint32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
  for (size_t k = 1; k < n; ++k) {
    unsigned char d = uint8_t(s[i + k]);
    if ((d & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (d & 0x3F);
  }
  static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

// A byte that is not UTF-8 is read as Windows-1252, the code page the workstations write
// in; 0 for its five unassigned bytes.
uint32_t Cp1252(unsigned char c) {
  static const uint16_t k80[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                   0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                   0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                   0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
  return c >= 0xA0 ? c : c >= 0x80 ? k80[c - 0x80] : 0;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string FormDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    int hi, lo;
    if (s[i] == '+') out += ' ';
    else if (s[i] == '%' && i + 2 < s.size() && (hi = HexValue(s[i + 1])) >= 0 && (lo = HexValue(s[i + 2])) >= 0) {
      out += char(hi * 16 + lo);
      i += 2;
    } else out += s[i];
  }
  return out;
}

std::string Num(uint64_t v) { return std::to_string(v); }

std::string Link(const std::string& href, const std::string& text, const std::string& attrs = "") {
  return "<a href=\"" + Html(href) + "\"" + attrs + ">" + Html(text) + "</a>";
}

std::string PackageHref(uint32_t id) { return "/console/package/" + Num(id); }
std::string MachineHref(const std::string& m) { return "/console/machine/" + UrlPart(m); }
std::string UserHref(const std::string& u) { return "/console/user/" + UrlPart(u); }

std::string CsrfInput(const Frame& f) { return "<input type=\"hidden\" name=\"csrf\" value=\"" + Html(f.csrf) + "\">"; }

std::string Head(const std::string& title) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
         "<title>" + Html(title) + " - dblinkd console</title>"
         "<link rel=\"stylesheet\" href=\"/console/static/console.css\">"
         "<script src=\"/console/static/console.js\" defer></script></head>\n<body>";
}

std::string Top(const Frame& f, const std::string& title) {
  return Head(title) +
         "<header><nav><a id=\"nav-overview\" href=\"/console/\">Overview</a> "
         "<a id=\"nav-history\" href=\"/console/history\">History</a></nav>"
         "<form id=\"signout\" method=\"post\" action=\"/console/signout\">" + CsrfInput(f) +
         "<button id=\"signout-submit\" type=\"submit\">Sign out</button></form></header>\n<main>";
}

const char kBottom[] = "</main></body></html>\n";

std::string Query(const Params& params) {
  std::string q;
  for (const auto& p : params) {
    if (p.second.empty()) continue;
    q += (q.empty() ? "?" : "&") + p.first + "=" + UrlPart(p.second);
  }
  return q;
}

// Previous and next links for a listing; `param` is the page's query name, `keep` the
// other parameters of the page, `idSuffix` tells the links of two listings apart.
std::string Pager(const std::string& base, Params keep, const char* param, uint32_t page, bool more,
                  const char* idSuffix) {
  std::string out = "<p class=\"pager\">";
  auto link = [&](uint32_t to, const char* id, const char* text) {
    Params p = keep;
    p.push_back({param, to > 1 ? Num(to) : ""});
    out += Link(base + Query(p), text, std::string(" id=\"") + id + idSuffix + "\"") + " ";
  };
  if (page > 1) link(page - 1, "prev-", "Previous");
  if (more) link(page + 1, "next-", "Next");
  return out + "<span class=\"page-number\">page " + Num(page) + "</span></p>\n";
}

// A stacked bar of a package's shares; drawn with SVG attributes, which the content
// policy allows where a style attribute would not be.
std::string Bar(const PackageCounts& p) {
  struct Part { uint64_t n; const char* cls; };
  const Part parts[] = {{p.installed, "installed"}, {p.failed, "failed"}, {p.refusedPermanently, "refused-permanently"},
                        {p.refused, "refused"}, {p.pending, "pending"}};
  uint64_t total = 0;
  for (const Part& x : parts) total += x.n;
  std::string label = "installed " + Num(p.installed) + ", failed " + Num(p.failed) + ", refused " + Num(p.refused) +
                      ", refused permanently " + Num(p.refusedPermanently) + ", pending " + Num(p.pending);
  std::string out = "<svg class=\"bar\" viewBox=\"0 0 1000 10\" preserveAspectRatio=\"none\" role=\"img\" aria-label=\"" +
                    label + "\"><title>" + label + "</title>";
  uint64_t x = 0;
  for (const Part& part : parts) {
    if (part.n == 0 || total == 0) continue;
    uint64_t w = part.n * 1000 / total;
    if (w == 0) w = 1;  // a share too small to see still shows
    out += "<rect class=\"" + std::string(part.cls) + "\" x=\"" + Num(x) + "\" y=\"0\" width=\"" + Num(w) +
           "\" height=\"10\"/>";
    x += w;
  }
  return out + "</svg>";
}

std::string Counts(const PackageCounts& p) {
  return "<td class=\"installed\">" + Num(p.installed) + "</td><td class=\"failed\">" + Num(p.failed) +
         "</td><td class=\"refused\">" + Num(p.refused) + "</td><td class=\"refused-permanently\">" +
         Num(p.refusedPermanently) + "</td><td class=\"pending\">" + Num(p.pending) + "</td>";
}

std::string SubjectLink(uint32_t kind, const std::string& name) {
  if (name.empty()) return "";
  if (kind == plx::kKindMachine) return Link(MachineHref(name), name);
  if (kind == plx::kKindUser) return Link(UserHref(name), name);
  return Html(name);
}

// A status row's cells; withPackage adds the package's name first (a machine's or a
// user's page lists several packages).
std::string StatusRows(const Paged<StatusRowView>& rows, bool withPackage) {
  std::string out = "<thead><tr>";
  if (withPackage) out += "<th>Package</th>";
  out += "<th>Target</th><th>Counterpart</th><th>Status</th><th>Failures</th><th>Refusals</th><th>Last history text</th>"
         "<th></th></tr></thead><tbody>\n";
  for (const StatusRowView& r : rows.rows) {
    uint32_t other = 0;  // the counterpart's kind: a machine row names a user, a user row a machine
    if (r.kind == plx::kKindMachine) other = plx::kKindUser;
    if (r.kind == plx::kKindUser) other = plx::kKindMachine;
    out += "<tr class=\"status-row status-" + Num(r.status) + "\" data-row-id=\"" + Num(r.recordId) + "\">";
    if (withPackage)
      out += "<td class=\"package\">" + Link(PackageHref(r.packageId), r.packageName.empty() ? Num(r.packageId) : r.packageName) + "</td>";
    out += "<td class=\"target\">" + SubjectLink(r.kind, r.targetName) + "</td><td class=\"counterpart\">" +
           SubjectLink(other, r.counterpart) + "</td><td class=\"status\">" + StatusText(r.status) +
           "</td><td class=\"failures\">" + Num(r.failures) + "</td><td class=\"refusals\">" + Num(r.refusals) +
           "</td><td class=\"text\">" + Html(r.lastText) + "</td><td class=\"action\">";
    if (r.status != plx::kStatusPending)
      out += Link("/console/reoffer?row=" + Num(r.recordId), "Offer again", " class=\"reoffer\"");
    out += "</td></tr>\n";
  }
  if (rows.rows.empty()) out += "<tr class=\"empty\"><td colspan=\"8\">No status rows.</td></tr>\n";
  return out + "</tbody>";
}

std::string HistoryTable(const Paged<HistoryView>& h) {
  std::string out = "<table id=\"history\"><thead><tr><th>When</th><th>Package</th><th>User</th><th>Machine</th>"
                    "<th>Text</th></tr></thead><tbody>\n";
  for (const HistoryView& e : h.rows) {
    out += "<tr class=\"history-row\"><td class=\"when\">" + Html(When(e.date, e.time)) + "</td><td class=\"package\">" +
           Link(PackageHref(e.packageId), e.packageName.empty() ? Num(e.packageId) : e.packageName) +
           "</td><td class=\"user\">" + SubjectLink(plx::kKindUser, e.userName) + "</td><td class=\"machine\">" +
           SubjectLink(plx::kKindMachine, e.machine) + "</td><td class=\"text\">" + Html(e.text) + "</td></tr>\n";
  }
  if (h.rows.empty()) out += "<tr class=\"empty\"><td colspan=\"5\">No history.</td></tr>\n";
  return out + "</tbody></table>\n";
}

std::string Option(const char* value, const char* text, const std::string& chosen) {
  return std::string("<option value=\"") + value + "\"" + (chosen == value ? " selected" : "") + ">" + text + "</option>";
}

std::string Input(const char* name, const char* label, const std::string& value, const char* type = "text") {
  return std::string("<label>") + label + " <input type=\"" + type + "\" name=\"" + name + "\" id=\"" + name +
         "\" value=\"" + Html(value) + "\"></label> ";
}

}  // namespace

std::string Html(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t n = Utf8At(text, i);
    unsigned char c = uint8_t(text[i]);
    if (n == 0) {
      uint32_t cp = Cp1252(c);
      if (cp) AppendUtf8(out, cp);
      else out += kReplacement;
      ++i;
      continue;
    }
    if ((n == 1 && c < 0x20 && c != '\t' && c != '\n') || c == 0x7F) {
      out += kReplacement;
      ++i;
      continue;
    }
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out.append(text, i, n);
    }
    i += n;
  }
  return out;
}

std::string UrlPart(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' ||
        c == '~') {
      out += char(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::map<std::string, std::string> ParseForm(const std::string& text) {
  std::map<std::string, std::string> out;
  size_t i = 0;
  while (i <= text.size()) {
    size_t end = text.find('&', i);
    if (end == std::string::npos) end = text.size();
    std::string pair = text.substr(i, end - i);
    if (!pair.empty()) {
      size_t eq = pair.find('=');
      std::string name = FormDecode(pair.substr(0, eq));
      std::string value = eq == std::string::npos ? "" : FormDecode(pair.substr(eq + 1));
      out.emplace(name, value);
    }
    i = end + 1;
  }
  return out;
}

bool ParseDay(const std::string& text, std::string& yyyymmdd) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
    if (text[i] < '0' || text[i] > '9') return false;
  int y = std::stoi(text.substr(0, 4)), m = std::stoi(text.substr(5, 2)), d = std::stoi(text.substr(8, 2));
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (m < 1 || m > 12 || d < 1 || d > kDays[m - 1] + (m == 2 && leap ? 1 : 0)) return false;
  yyyymmdd = text.substr(0, 4) + text.substr(5, 2) + text.substr(8, 2);
  return true;
}

bool ParseId(const std::string& text, uint32_t& id) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + uint64_t(c - '0');
  }
  if (v > UINT32_MAX) return false;
  id = uint32_t(v);
  return true;
}

uint32_t PageNumber(const std::string& text) {
  uint32_t v = 0;
  if (!ParseId(text, v) || v == 0) return 1;
  return v > kMaxPage ? kMaxPage : v;
}

std::string When(const std::string& date, const std::string& time) {
  auto digits = [](const std::string& s, size_t n) {
    if (s.size() != n) return false;
    for (char c : s)
      if (c < '0' || c > '9') return false;
    return true;
  };
  if (!digits(date, 8) || !digits(time, 6)) return time.empty() ? date : date + " " + time;
  return date.substr(0, 4) + "-" + date.substr(4, 2) + "-" + date.substr(6, 2) + " " + time.substr(0, 2) + ":" +
         time.substr(2, 2) + ":" + time.substr(4, 2);
}

const char* StatusText(uint16_t status) {
  switch (status) {
    case plx::kStatusPending: return "pending";
    case plx::kStatusCompleted: return "installed";
    case plx::kStatusRefused: return "refused";
    case plx::kStatusRefusedPermanently: return "refused permanently";
    case plx::kStatusFailed: return "failed";
    case plx::kStatusFailedRetry: return "failed, may retry";
    default: return "unknown";
  }
}

const char* KindText(uint32_t kind) {
  switch (kind) {
    case plx::kKindGroup: return "group";
    case plx::kKindUser: return "user";
    case plx::kKindSite: return "site";
    case plx::kKindMachine: return "machine";
    default: return "unknown";
  }
}

std::string SigninPage(const std::string& error) {
  std::string out = Head("Sign in") + "<main class=\"signin\"><h1>dblinkd console</h1>";
  if (!error.empty()) out += "<p id=\"error\">" + Html(error) + "</p>";
  return out +
         "<form id=\"signin\" method=\"post\" action=\"/console/signin\"><label>Admin token "
         "<input type=\"password\" name=\"token\" id=\"token\" autocomplete=\"current-password\" required></label> "
         "<button id=\"signin-submit\" type=\"submit\">Sign in</button></form>" + kBottom;
}

std::string MessagePage(const Frame* frame, const std::string& title, const std::string& text) {
  std::string out = frame ? Top(*frame, title) : Head(title) + "<main>";
  return out + "<h1>" + Html(title) + "</h1><p id=\"message\">" + Html(text) + "</p>" + kBottom;
}

std::string OverviewPage(const Frame& f, const Paged<PackageCounts>& rows, uint32_t page) {
  std::string out = Top(f, "Overview") +
                    "<h1>Packages</h1>\n<table id=\"overview\"><thead><tr><th>Package</th><th>Server</th>"
                    "<th>Installed</th><th>Failed</th><th>Refused</th><th>Refused permanently</th><th>Pending</th>"
                    "<th>Shares</th></tr></thead><tbody>\n";
  for (const PackageCounts& p : rows.rows) {
    out += "<tr class=\"package\" data-package-id=\"" + Num(p.packageId) + "\"><td class=\"name\">" +
           Link(PackageHref(p.packageId), p.name.empty() ? Num(p.packageId) : p.name) + "</td><td class=\"server\">" +
           Html(p.serverName) + "</td>" + Counts(p) + "<td class=\"bar\">" + Bar(p) + "</td></tr>\n";
  }
  if (rows.rows.empty()) out += "<tr class=\"empty\"><td colspan=\"8\">No packages.</td></tr>\n";
  out += "</tbody></table>\n" + Pager("/console/", {}, "page", page, rows.more, "page");
  return out + kBottom;
}

std::string PackagePage(const Frame& f, const PackageCounts& p, const std::vector<TargetView>& targets,
                        const Paged<StatusRowView>& rows, const PackageFilterForm& filter, uint32_t page) {
  std::string name = p.name.empty() ? Num(p.packageId) : p.name;
  std::string out = Top(f, name) + "<h1 id=\"package-name\">" + Html(name) + "</h1>\n<p class=\"server\">Server " +
                    Html(p.serverName) + ", package " + Num(p.packageId) + " &middot; " +
                    Link("/console/history?package=" + Num(p.packageId), "its history", " id=\"package-history\"") + "</p>\n"
                    "<table id=\"counts\"><thead><tr><th>Installed</th><th>Failed</th><th>Refused</th>"
                    "<th>Refused permanently</th><th>Pending</th><th>Shares</th></tr></thead><tbody><tr class=\"package\">" +
                    Counts(p) + "<td class=\"bar\">" + Bar(p) + "</td></tr></tbody></table>\n"
                    "<h2>Targets</h2>\n<table id=\"targets\"><thead><tr><th>Kind</th><th>Name</th></tr></thead><tbody>\n";
  for (const TargetView& t : targets)
    out += "<tr class=\"target-row\" data-row-id=\"" + Num(t.recordId) + "\"><td class=\"kind\">" + KindText(t.kind) +
           "</td><td class=\"name\">" + SubjectLink(t.kind, t.name) + "</td></tr>\n";
  if (targets.empty()) out += "<tr class=\"empty\"><td colspan=\"2\">No targets.</td></tr>\n";
  out += "</tbody></table>\n<h2>Status rows</h2>\n<form id=\"filter\" method=\"get\" action=\"" + PackageHref(p.packageId) +
         "\"><label>Status <select name=\"status\" id=\"status\">" + Option("any", "any", filter.status) +
         Option("pending", "pending", filter.status) + Option("installed", "installed", filter.status) +
         Option("refused", "refused", filter.status) +
         Option("refused-permanently", "refused permanently", filter.status) +
         Option("failed", "failed", filter.status) + "</select></label> <label>Kind <select name=\"kind\" id=\"kind\">" +
         Option("any", "any", filter.kind) + Option("machine", "machine", filter.kind) +
         Option("user", "user", filter.kind) + "</select></label> " + Input("name", "Name starts with", filter.name) +
         "<button id=\"filter-submit\" type=\"submit\">Filter</button></form>\n<table id=\"status-rows\">" +
         StatusRows(rows, false) + "</table>\n";
  Params keep;
  if (filter.status != "any") keep.push_back({"status", filter.status});
  if (filter.kind != "any") keep.push_back({"kind", filter.kind});
  keep.push_back({"name", filter.name});
  return out + Pager(PackageHref(p.packageId), keep, "page", page, rows.more, "page") + kBottom;
}

std::string SubjectPage(const Frame& f, uint32_t kind, const std::string& name, const Paged<StatusRowView>& rows,
                        uint32_t page, const Paged<HistoryView>& history, uint32_t hpage) {
  std::string base = kind == plx::kKindMachine ? MachineHref(name) : UserHref(name);
  std::string what = kind == plx::kKindMachine ? "Machine" : "User";
  std::string out = Top(f, what + " " + name) + "<p class=\"kind\">" + what + "</p><h1 id=\"subject\">" + Html(name) +
                    "</h1>\n<h2>Packages</h2>\n"
                    "<table id=\"packages\">" + StatusRows(rows, true) + "</table>\n";
  out += Pager(base, {{"hpage", hpage > 1 ? Num(hpage) : ""}}, "page", page, rows.more, "page");
  out += "<h2>History</h2>\n" + HistoryTable(history);
  out += Pager(base, {{"page", page > 1 ? Num(page) : ""}}, "hpage", hpage, history.more, "hpage");
  return out + kBottom;
}

std::string HistoryPage(const Frame& f, const HistoryForm& form, const std::string& error,
                        const Paged<HistoryView>* results, uint32_t page) {
  std::string out = Top(f, "History") + "<h1>History</h1>\n<form id=\"search\" method=\"get\" action=\"/console/history\">" +
                    Input("text", "Text contains", form.text) + Input("package", "Package id", form.package) +
                    Input("machine", "Machine", form.machine) + Input("user", "User", form.user) +
                    Input("from", "From", form.from, "date") + Input("to", "To", form.to, "date") +
                    "<button id=\"search-submit\" type=\"submit\">Search</button></form>\n";
  if (!error.empty()) out += "<p id=\"error\">" + Html(error) + "</p>\n";
  if (results) {
    out += HistoryTable(*results);
    Params keep = {{"text", form.text}, {"package", form.package}, {"machine", form.machine},
                   {"user", form.user},  {"from", form.from},       {"to", form.to}};
    out += Pager("/console/history", keep, "page", page, results->more, "page");
  }
  return out + kBottom;
}

std::string ReofferPage(const Frame& f, const ReofferView& r) {
  std::string pkg = r.packageName.empty() ? Num(r.packageId) : r.packageName;
  return Top(f, "Offer again") + "<h1>Offer a package again</h1>\n<p id=\"reoffer-what\">Offer " +
         Link(PackageHref(r.packageId), pkg, " id=\"reoffer-package\"") + " again to " + KindText(r.kind) + " " +
         "<span id=\"reoffer-target\">" + SubjectLink(r.kind, r.target) + "</span>, now <span id=\"reoffer-status\">" +
         StatusText(r.status) + "</span>? Its status goes back to pending (its failure and refusal counts stay) "
         "and the workstation offers it again at its next run.</p>\n"
         "<form id=\"reoffer\" method=\"post\" action=\"/console/reoffer\"><input type=\"hidden\" name=\"row\" value=\"" +
         Num(r.rowId) + "\">" + CsrfInput(f) + "<button id=\"reoffer-confirm\" type=\"submit\">Offer again</button> " +
         Link(PackageHref(r.packageId), "Cancel", " id=\"reoffer-cancel\"") + "</form>\n" + kBottom;
}

}  // namespace dblink
