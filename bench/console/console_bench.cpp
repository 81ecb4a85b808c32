// console_bench: the administrator's console and /metrics on a large site. Seeds a database
// of 10,000 machines x 200 packages (2,000,000 status rows) and their history, starts the
// real dblinkd on it, signs in and times the overview, the most failing package's page,
// /metrics, and for comparison a machine page, a history search and a JSON listing.
// Exits non-zero when a page does not answer 200, the overview does not put the failing
// package first, /metrics miscounts the status rows, or a timed page misses its goal.
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "plx/records.h"
#include "sqlite_store.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr char kToken[] = "console-bench-token-5c1e";
constexpr uint32_t kServerId = 1;
constexpr char kServerName[] = "SRV";
constexpr double kGoalMs = 200;
// The package that fails on most machines: the overview's first row.
constexpr uint32_t kFailingEvery = 3;  // one machine in three

struct Site {
  uint32_t machines = 10000;
  uint32_t packages = 200;
  uint32_t failingPackage = 17;
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

bool Exec(sqlite3* db, const char* sql) {
  char* msg = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
  fprintf(stderr, "console_bench: %s: %s\n", sql, msg ? msg : "?");
  sqlite3_free(msg);
  return false;
}

// A statement run once per row: bind, step, reset.
struct Insert {
  sqlite3_stmt* s = nullptr;
  Insert(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK)
      fprintf(stderr, "console_bench: %s: %s\n", sql, sqlite3_errmsg(db));
  }
  ~Insert() { sqlite3_finalize(s); }
  Insert& Int(int i, int64_t v) {
    sqlite3_bind_int64(s, i, v);
    return *this;
  }
  Insert& Text(int i, const std::string& v) {
    sqlite3_bind_text(s, i, v.data(), int(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  bool Run() {
    int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) fprintf(stderr, "console_bench: insert: %s\n", sqlite3_errstr(rc));
    return rc == SQLITE_DONE;
  }
};

std::string Numbered(const char* prefix, uint32_t n, int width) {
  std::string digits = std::to_string(n);
  return prefix + std::string(digits.size() < size_t(width) ? width - digits.size() : 0, '0') + digits;
}

// A fixed outcome per (machine, package), so that every run seeds the same site: most
// installed, a few pending, refused or failed; the failing package fails on a third of
// the machines.
uint16_t StatusOf(const Site& site, uint32_t m, uint32_t p) {
  if (p == site.failingPackage && m % kFailingEvery == 0) return m % 2 ? plx::kStatusFailedRetry : plx::kStatusFailed;
  uint32_t h = (m * 2654435761u) ^ (p * 40503u);
  switch (h % 100) {
    case 0: return plx::kStatusFailed;
    case 1: return plx::kStatusRefused;
    case 2: return plx::kStatusRefusedPermanently;
    case 3: case 4: case 5: return plx::kStatusPending;
    default: return plx::kStatusCompleted;
  }
}

const char* HistoryText(uint16_t status) {
  switch (status) {
    case plx::kStatusFailed: return "Install failed: disk full on C:";
    case plx::kStatusFailedRetry: return "Install failed: file in use, will retry";
    case plx::kStatusRefused: return "User postponed the installation";
    case plx::kStatusRefusedPermanently: return "User refused the installation";
    default: return "Installed";
  }
}

// The schema (with whatever the service keeps beside its tables) comes from the service
// itself; the rows go in through the same tables in one transaction.
bool Seed(const std::string& path, const Site& site, uint64_t& statusRows, uint64_t& historyRows) {
  {
    std::string error;
    if (!dblink::SqliteStore::Open(path, error)) {
      fprintf(stderr, "console_bench: %s\n", error.c_str());
      return false;
    }
  }
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
  // A throwaway file: no syncs, and statement journals (the triggers need them) in memory.
  bool ok = Exec(db, "PRAGMA synchronous=OFF") && Exec(db, "PRAGMA cache_size=-262144") && Exec(db, "PRAGMA temp_store=MEMORY") && Exec(db, "BEGIN");
  {
    Insert server(db, "INSERT INTO servers (ServerId, ServerName) VALUES (?,?)");
    Insert package(db, "INSERT INTO packages (PackageId, ServerId, Name, Status) VALUES (?,?,?,?)");
    Insert user(db,
                "INSERT INTO package_users (RecordId, PackageUserId, ServerId, PackageId, Scheduled, PackageStatus, "
                "TargetKind, TargetName, Counterpart, RefusalCount, FailureCount) VALUES (?,?,?,?,?,?,?,?,?,?,?)");
    Insert text(db, "INSERT INTO history_texts (TextId, ServerId, Text) VALUES (?,?,?)");
    Insert history(db,
                   "INSERT INTO history (ServerId, TextId, PackageId, PackageUserId, Date, Time, UserName, ServerName) "
                   "VALUES (?,?,?,?,?,?,?,?)");
    ok = ok && server.Int(1, kServerId).Text(2, kServerName).Run();
    for (uint32_t p = 1; ok && p <= site.packages; ++p)
      ok = package.Int(1, p).Int(2, kServerId).Text(3, Numbered("Package ", p, 3)).Int(4, 'A').Run();
    uint32_t id = 0, textId = 0;
    // The administrator's targeting: every package for one group.
    for (uint32_t p = 1; ok && p <= site.packages; ++p) {
      ++id;
      ok = user.Int(1, id).Int(2, id).Int(3, kServerId).Int(4, p).Int(5, 1).Int(6, 0).Int(7, plx::kKindGroup)
               .Text(8, "ALL-WORKSTATIONS").Text(9, "").Int(10, 0).Int(11, 0).Run();
    }
    for (uint32_t m = 1; ok && m <= site.machines; ++m) {
      std::string machine = Numbered("WS", m, 6), userName = Numbered("user", m, 6);
      for (uint32_t p = 1; ok && p <= site.packages; ++p) {
        uint16_t st = StatusOf(site, m, p);
        bool failed = st == plx::kStatusFailed || st == plx::kStatusFailedRetry;
        bool refused = st == plx::kStatusRefused || st == plx::kStatusRefusedPermanently;
        ++id;
        ok = user.Int(1, id).Int(2, id).Int(3, kServerId).Int(4, p).Int(5, 0).Int(6, st).Int(7, plx::kKindMachine)
                 .Text(8, machine).Text(9, userName).Int(10, refused).Int(11, failed).Run();
        ++statusRows;
        // History for every outcome but the quiet ones: failures and refusals, and one
        // installation in ten.
        if (st == plx::kStatusPending || (st == plx::kStatusCompleted && (m + p) % 10 != 0)) continue;
        ++textId;
        char date[16], time[16];
        snprintf(date, sizeof date, "2026%02u%02u", 1 + (m + p) % 12, 1 + (m * 7 + p) % 28);
        snprintf(time, sizeof time, "%02u%02u%02u", (m + p) % 24, (m * 3 + p) % 60, (m + p * 11) % 60);
        ok = ok && text.Int(1, textId).Int(2, kServerId).Text(3, HistoryText(st)).Run() &&
             history.Int(1, kServerId).Int(2, textId).Int(3, p).Int(4, id).Text(5, date).Text(6, time)
                 .Text(7, userName).Text(8, kServerName).Run();
        ++historyRows;
      }
    }
  }
  // No ANALYZE: the service never runs it, so the pages are timed with the plans a real
  // site gets.
  ok = ok && Exec(db, "COMMIT") && Exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
  sqlite3_close(db);
  return ok;
}

uint64_t FileSize(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

struct Timing {
  Timing(std::string l, std::string p, bool b, bool g) : label(std::move(l)), path(std::move(p)), bearer(b), goal(g) {}
  std::string label, path;
  bool bearer = false;
  bool goal = true;  // held to the goal; else shown for comparison
  std::vector<double> ms;
  double firstMs = 0;    // the warm-up: caches cold after the start
  int failedStatus = 0;  // the first status other than 200, if any
  std::string body;      // of the last answer
};

void Time(httplib::Client& c, const std::string& cookie, Timing& t, int runs) {
  httplib::Headers h;
  if (t.bearer) h.emplace("Authorization", std::string("Bearer ") + kToken);
  else if (!cookie.empty()) h.emplace("Cookie", cookie);
  for (int i = 0; i <= runs; ++i) {  // the first run warms the caches and is not kept
    auto start = Clock::now();
    httplib::Result r = c.Get(t.path.c_str(), h);
    double ms = Ms(Clock::now() - start);
    int status = r ? r->status : -1;
    if (status != 200) {
      if (!t.failedStatus) t.failedStatus = status;
      continue;
    }
    t.body = std::move(r->body);
    if (i > 0) t.ms.push_back(ms);
    else t.firstMs = ms;
  }
  std::sort(t.ms.begin(), t.ms.end());
}

// The console's queries without HTTP and HTML: where a slow page spends its time.
bool TimeQueries(const std::string& db, const Site& site, int runs) {
  std::string error;
  std::unique_ptr<dblink::SqliteStore> store = dblink::SqliteStore::Open(db, error);
  if (!store) {
    fprintf(stderr, "console_bench: %s\n", error.c_str());
    return false;
  }
  dblink::ConsoleData& data = store->Console();
  dblink::Page first;
  dblink::StatusFilter failedOnly;
  failedOnly.status = plx::kStatusFailed;
  dblink::HistoryQuery text, ofMachine;
  text.text = "disk";
  ofMachine.machine = "WS000042";
  struct Query {
    const char* label;
    std::function<bool()> run;
  };
  const Query queries[] = {
      {"Overview, first page", [&] { dblink::Paged<dblink::PackageCounts> o; return data.Overview(first, o); }},
      {"Package (counts, targets)", [&] {
         bool found = false;
         dblink::PackageCounts c;
         std::vector<dblink::TargetView> t;
         return data.Package(site.failingPackage, found, c, t) && found;
       }},
      {"PackageStatus, first page", [&] {
         dblink::Paged<dblink::StatusRowView> o;
         return data.PackageStatus(site.failingPackage, {}, first, o);
       }},
      {"PackageStatus, failed only", [&] {
         dblink::Paged<dblink::StatusRowView> o;
         return data.PackageStatus(site.failingPackage, failedOnly, first, o);
       }},
      {"MachineStatus", [&] { dblink::Paged<dblink::StatusRowView> o; return data.MachineStatus("WS000042", first, o); }},
      {"History of a machine", [&] { dblink::Paged<dblink::HistoryView> o; return data.History(ofMachine, first, o); }},
      {"History by text", [&] { dblink::Paged<dblink::HistoryView> o; return data.History(text, first, o); }},
      {"Totals", [&] { dblink::StatusTotals t; return data.Totals(t); }},
  };
  printf("\n%-30s %9s %9s %9s   (in process, no HTTP)\n", "console query", "min ms", "median", "max ms");
  bool ok = true;
  for (const Query& q : queries) {
    std::vector<double> ms;
    for (int i = 0; i <= runs; ++i) {
      auto start = Clock::now();
      bool done = q.run();
      if (i > 0) ms.push_back(Ms(Clock::now() - start));
      if (!done) {
        printf("%-30s  FAILED\n", q.label);
        ok = false;
        break;
      }
    }
    if (ms.size() != size_t(runs)) continue;
    std::sort(ms.begin(), ms.end());
    printf("%-30s %9.2f %9.2f %9.2f\n", q.label, ms.front(), ms[ms.size() / 2], ms.back());
  }
  return ok;
}

int Usage() {
  fprintf(stderr,
          "usage: console_bench [--dblinkd PATH] [--machines N] [--packages N] [--runs N] [--keep DIR]\n"
          "  --keep DIR: seed into DIR/console.db once and reuse it on later runs\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string bin = PLX_DBLINKD_BIN, keep;
  Site site;
  int runs = 9;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return Usage();
    std::string v = argv[++i];
    if (a == "--dblinkd") bin = v;
    else if (a == "--machines") site.machines = uint32_t(std::max(1, atoi(v.c_str())));
    else if (a == "--packages") site.packages = uint32_t(std::max(site.failingPackage, uint32_t(atoi(v.c_str()))));
    else if (a == "--runs") runs = std::max(1, std::min(1000, atoi(v.c_str())));
    else if (a == "--keep") keep = v;
    else return Usage();
  }
  signal(SIGPIPE, SIG_IGN);
  char dirTemplate[] = "/tmp/console_bench.XXXXXX";
  if (!mkdtemp(dirTemplate)) return 1;
  std::string dir = dirTemplate, db = (keep.empty() ? dir : keep) + "/console.db";
  if (!keep.empty()) fs::create_directories(keep);

  uint64_t statusRows = 0, historyRows = 0;
  if (keep.empty() || !fs::exists(db)) {
    auto start = Clock::now();
    if (!Seed(db, site, statusRows, historyRows)) {
      fprintf(stderr, "console_bench: seeding failed\n");
      return 1;
    }
    printf("seeded %u machines x %u packages: %llu status rows, %llu history entries in %.1f s\n", site.machines,
           site.packages, (unsigned long long)statusRows, (unsigned long long)historyRows,
           Ms(Clock::now() - start) / 1000);
  } else {
    printf("reusing %s\n", db.c_str());
  }
  printf("database %s: %.1f MB\n", db.c_str(), FileSize(db) / 1e6);

  std::ofstream(dir + "/token") << kToken << "\n";
  pid_t child = fork();
  if (child == 0) {
    FILE* log = freopen((dir + "/dblinkd.log").c_str(), "w", stderr);
    (void)log;
    execl(bin.c_str(), bin.c_str(), "--db", db.c_str(), "--listen", "127.0.0.1:0", "--admin-listen", "127.0.0.1:0",
          "--admin-token-file", (dir + "/token").c_str(), "--port-file", (dir + "/ports").c_str(), (char*)nullptr);
    _exit(127);
  }
  auto started = Clock::now();
  unsigned requester = 0, admin = 0;
  while (!admin && Clock::now() - started < std::chrono::seconds(60)) {
    std::ifstream in(dir + "/ports");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (sscanf(text.c_str(), "requester=%u\nadmin=%u", &requester, &admin) != 2) admin = 0;
    if (!admin) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  auto stop = [&] {
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
  };
  if (!admin) {
    fprintf(stderr, "console_bench: dblinkd did not start; see %s/dblinkd.log\n", dir.c_str());
    stop();
    return 1;
  }
  printf("dblinkd up in %.0f ms, admin port %u, %u cores\n", Ms(Clock::now() - started), admin,
         std::thread::hardware_concurrency());

  httplib::Client c("127.0.0.1", int(admin));
  c.set_read_timeout(60);
  c.set_keep_alive(true);
  std::string cookie;
  httplib::Result in = c.Post("/console/signin", std::string("token=") + kToken, "application/x-www-form-urlencoded");
  if (in && in->status == 303) {
    std::string set = in->get_header_value("Set-Cookie");
    cookie = set.substr(0, set.find(';'));
  }
  if (cookie.empty()) printf("sign-in failed (HTTP %d): the console pages will fail\n", in ? in->status : -1);

  // Held to the goal or shown for comparison; the first three are checked below.
  std::vector<Timing> pages = {
      {"overview", "/console/", false, true},
      {"package page (most failing)", "/console/package/" + std::to_string(site.failingPackage), false, true},
      {"/metrics", "/metrics", true, true},
      {"package page, last page", "/console/package/" + std::to_string(site.failingPackage) + "?page=" +
                                      std::to_string((site.machines + 49) / 50), false, false},
      {"machine page", "/console/machine/WS000042", false, false},
      {"history search \"disk\"", "/console/history?text=disk", false, false},
      {"history search, page 100", "/console/history?text=disk&page=100", false, false},
      {"JSON /packages", "/packages", true, false},
  };
  for (Timing& t : pages) Time(c, cookie, t, runs);
  stop();

  printf("\n%-30s %9s %9s %9s %9s %10s  %s\n", "page", "first ms", "min ms", "median", "max ms", "bytes", "goal");
  bool failed = false;
  for (const Timing& t : pages) {
    if (t.failedStatus || t.ms.empty()) {
      printf("%-30s  FAILED: HTTP %d\n", t.label.c_str(), t.failedStatus);
      failed = true;
      continue;
    }
    double median = t.ms[t.ms.size() / 2];
    bool met = median < kGoalMs;
    failed = failed || (t.goal && !met);
    printf("%-30s %9.2f %9.2f %9.2f %9.2f %10zu  %s\n", t.label.c_str(), t.firstMs, t.ms.front(), median, t.ms.back(),
           t.body.size(),
           !t.goal ? "-" : met ? "under 200 ms" : "OVER 200 ms");
  }
  printf("(first: the first request after the start; then %d runs on one keep-alive connection;\n"
         " goal: median under %.0f ms)\n", runs, kGoalMs);

  // What the pages say, checked against the seeded site.
  const std::string& overview = pages[0].body;
  const char marker[] = "data-package-id=\"";
  size_t at = overview.find(marker);
  uint32_t first = at == std::string::npos ? 0 : uint32_t(atoi(overview.c_str() + at + sizeof marker - 1));
  if (!pages[0].failedStatus && first != site.failingPackage) {
    printf("the overview's first package is %u, not the failing package %u\n", first, site.failingPackage);
    failed = true;
  }
  uint64_t counted = 0;
  const std::string& metrics = pages[2].body;
  for (size_t p = 0; (p = metrics.find("\ndblinkd_status_rows{", p)) != std::string::npos; ++p)
    counted += strtoull(metrics.c_str() + metrics.find("} ", p) + 2, nullptr, 10);
  printf("/metrics counts %llu status rows\n", (unsigned long long)counted);
  if (statusRows && counted != statusRows) {
    printf("/metrics counts %llu status rows, the site has %llu\n", (unsigned long long)counted,
           (unsigned long long)statusRows);
    failed = true;
  }
  failed = !TimeQueries(db, site, runs) || failed;
  fs::remove_all(dir);
  return failed ? 1 : 0;
}
