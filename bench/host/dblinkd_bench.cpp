// dblinkd_bench: starts dblinkd on a temporary database (or uses a running one), seeds a
// package database of realistic shape, and runs N concurrent workstation connections doing
// what the agent does: walk the packages by key 4, look up targeting rows by key 6 and
// status rows by key 7, and write status rows (insert and rewrite). Prints operations per
// second and p50/p99 latency per client count, and the rate of the same reads done
// directly on SQLite in this process.
//
//   dblinkd_bench [--dblinkd PATH] [--seconds S] [--clients 1,16,200]
//   dblinkd_bench --connect PORT --db FILE ...   (a running service seeded by this program
//                                                 before, on loopback)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "plx/bytes.h"
#include "plx/proto.h"
#include "plx/records.h"

using namespace plx;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kPackages = 200;
constexpr uint32_t kMachines = 100;  // status rows per package: one per machine
constexpr uint32_t kUsers = 50;      // user targeting rows per package

std::string MachineName(uint32_t m) {
  char b[16];
  snprintf(b, sizeof b, "PC%010u", m);
  return b;
}

// The seed document, written out as JSON by hand to keep the bench free of the service's code.
std::string SeedJson() {
  std::ostringstream o;
  o << "{\"servers\":[{\"ServerId\":1,\"ServerName\":\"BENCH\"}],"
    << "\"installed\":[{\"Server\":\"BENCH\",\"Item\":\"KVR610\",\"Path\":\"SYS:\\\\PLX\",\"Second\":\"PLX.CFG\"}],"
    << "\"packages\":[";
  for (uint32_t p = 1; p <= kPackages; ++p)
    o << (p > 1 ? "," : "") << "{\"PackageId\":" << p << ",\"ServerId\":1,\"Name\":\"Package " << p
      << "\",\"Status\":\"A\",\"StartDate\":\"1997-01-01\",\"InstallPath\":\"C:\\\\APPS\\\\P" << p
      << "\",\"Options\":8192,\"TimeTo\":\"23:59:59\",\"TargetOs\":7}";
  o << "],\"package_users\":[";
  bool first = true;
  auto sep = [&] { if (!first) o << ","; first = false; };
  for (uint32_t p = 1; p <= kPackages; ++p) {
    sep();
    o << "{\"ServerId\":1,\"PackageId\":" << p << ",\"Scheduled\":1,\"TargetKind\":5,\"TargetName\":\"PLX_EVERYONE\"}";
    for (uint32_t u = 0; u < kUsers; ++u) {
      sep();
      o << "{\"ServerId\":1,\"PackageId\":" << p << ",\"Scheduled\":1,\"TargetKind\":6,\"TargetName\":\"user" << u << "\"}";
    }
    for (uint32_t m = 0; m < kMachines; ++m) {
      sep();
      o << "{\"ServerId\":1,\"PackageId\":" << p << ",\"Scheduled\":0,\"PackageStatus\":" << (m % 6)
        << ",\"TargetKind\":8,\"TargetName\":\"" << MachineName(m) << "\",\"Counterpart\":\"user" << (m % kUsers) << "\"}";
    }
  }
  o << "],\"tasks\":[";
  for (uint32_t p = 1; p <= kPackages; ++p)
    o << (p > 1 ? "," : "") << "{\"ServerId\":1,\"PackageId\":" << p << ",\"TaskType\":1,\"TaskName\":\"P" << p << ".FST\"}";
  o << "]}";
  return o.str();
}

// A blocking requester connection.
struct Conn {
  int fd = -1;
  ~Conn() { if (fd >= 0) close(fd); }
  bool Open(uint16_t port) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  bool ReadAll(uint8_t* p, size_t n) {
    while (n) {
      ssize_t r = recv(fd, p, n, 0);
      if (r <= 0) return false;
      p += r;
      n -= size_t(r);
    }
    return true;
  }
  int32_t Op(uint32_t table, uint32_t cls, uint32_t op, uint32_t keyNo, const std::string& key,
             const std::string& data, std::string* rec, uint32_t* rowId, uint32_t pos = 0) {
    proto::Request q;
    q.call = proto::kCallOperation;
    q.table = table; q.cls = cls; q.op = op; q.keyNo = keyNo; q.key = key; q.data = data;
    q.recordLength = RecordLength(table);
    q.posRowId = pos;
    std::string f = proto::EncodeRequest(q);
    if (send(fd, f.data(), f.size(), MSG_NOSIGNAL) != ssize_t(f.size())) return -1;
    uint8_t len[4];
    if (!ReadAll(len, 4)) return -1;
    std::vector<uint8_t> body(GetU32(len));
    proto::Reply r;
    if (body.size() > 8 + proto::kMaxData || !ReadAll(body.data(), body.size()) ||
        !proto::DecodeReply(body.data(), body.size(), r))
      return -1;
    if (rec) *rec = r.data;
    if (rowId) *rowId = r.rowId;
    return r.status;
  }
};

std::string U32(uint32_t v) {
  std::string s(4, '\0');
  PutU32(reinterpret_cast<uint8_t*>(&s[0]), v);
  return s;
}

std::string Key(uint32_t table, uint32_t keyNo, const std::string& rec) {
  return KeyOf(*FindTable(table)->Key(keyNo), reinterpret_cast<const uint8_t*>(rec.data()));
}

template <class R> std::string Bytes(const R& r, uint32_t table) {
  std::string b(RecordLength(table), '\0');
  Encode(r, reinterpret_cast<uint8_t*>(&b[0]));
  return b;
}

std::string Key6(uint32_t pkg, uint32_t kind) {
  UserPackageRecord u;
  u.ServerId = 1; u.PackageId = pkg; u.Scheduled = 1; u.TargetKind = kind;
  return Key(kTableUserPackage, 6, Bytes(u, kTableUserPackage));
}

std::string Key7(uint32_t pkg, const std::string& name) {
  UserPackageRecord u;
  u.ServerId = 1; u.PackageId = pkg; u.TargetKind = 8;
  CopyText(u.TargetName, sizeof u.TargetName, name.c_str());
  return Key(kTableUserPackage, 7, Bytes(u, kTableUserPackage));
}

struct Result {
  uint64_t ops = 0, writes = 0, errors = 0;
  std::vector<uint32_t> latNs;  // per request, sampled
};

// One workstation: the agent's read pattern with a status write every tenth step.
void Workstation(uint16_t port, int id, const std::atomic<bool>& go, const std::atomic<bool>& stop, Result& res) {
  Conn c;
  if (!c.Open(port)) { res.errors++; return; }
  std::mt19937 rng(uint32_t(id) * 7919u + 1);
  std::string pkgRec;
  uint32_t pkgRow = 0;
  bool walking = false;
  uint32_t step = 0;
  res.latNs.reserve(1 << 16);
  while (!go) std::this_thread::yield();
  while (!stop) {
    auto t0 = Clock::now();
    int32_t s = 0;
    bool write = false;
    std::string rec;
    uint32_t row = 0;
    switch (step++ % 10) {
      case 0: case 3: case 6:  // next package in key 4 order, starting over at the end
        s = walking ? c.Op(kTablePackage, kClassRead, kOpGetNext, 4, Key(kTablePackage, 4, pkgRec), "", &rec, &row, pkgRow)
                    : c.Op(kTablePackage, kClassRead, kOpGetFirst, 4, U32(0), "", &rec, &row);
        if (s == kDbOk) { pkgRec = rec; pkgRow = row; walking = true; }
        else if (s == kDbNotFound) { walking = false; s = 0; }
        break;
      case 1: case 4: case 7:  // targeting rows of one kind
        s = c.Op(kTableUserPackage, kClassRead, kOpGetEqual, 6, Key6(1 + rng() % kPackages, 6), "", &rec, &row);
        break;
      case 2: case 5: case 8:  // this machine's status row
        s = c.Op(kTableUserPackage, kClassRead, kOpGetGreaterEq, 7,
                 Key7(1 + rng() % kPackages, MachineName(rng() % kMachines)), "", &rec, &row);
        break;
      default: {  // write a status: alternately a new row and a rewrite of an existing one
        write = true;
        UserPackageRecord u;
        u.ServerId = 1;
        u.PackageId = 1 + rng() % kPackages;
        u.TargetKind = 8;
        u.PackageStatus = uint16_t(rng() % 6);
        if (step % 20 < 10) {
          CopyText(u.TargetName, sizeof u.TargetName, ("NEW" + std::to_string(id) + "-" + std::to_string(step)).c_str());
          s = c.Op(kTableUserPackage, kClassInsert, kOpInsert, 0, U32(0), Bytes(u, kTableUserPackage), &rec, &row);
        } else {
          // Status rows of the seed are the ones after each package's targeting rows.
          uint32_t p = rng() % kPackages, m = rng() % kMachines;
          uint32_t recordId = p * (1 + kUsers + kMachines) + 1 + kUsers + m + 1;
          u.PackageId = p + 1;
          CopyText(u.TargetName, sizeof u.TargetName, MachineName(m).c_str());
          s = c.Op(kTableUserPackage, kClassRewrite, kOpGetEqual, 0, U32(recordId), Bytes(u, kTableUserPackage), &rec, &row);
        }
      }
    }
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count();
    if (s != kDbOk && s != kDbNotFound) { res.errors++; if (s < 0) return; }
    res.ops++;
    if (write) res.writes++;
    if (res.latNs.size() < (1u << 20)) res.latNs.push_back(uint32_t(std::min<int64_t>(ns, UINT32_MAX)));
  }
}

void RunClients(uint16_t port, int n, double seconds) {
  std::vector<Result> results;
  results.resize(size_t(n));
  std::atomic<bool> go{false}, stop{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) threads.emplace_back(Workstation, port, i, std::cref(go), std::cref(stop), std::ref(results[size_t(i)]));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // connections up before the clock starts
  auto t0 = Clock::now();
  go = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& t : threads) t.join();
  double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  uint64_t ops = 0, writes = 0, errors = 0;
  std::vector<uint32_t> lat;
  for (Result& r : results) {
    ops += r.ops; writes += r.writes; errors += r.errors;
    lat.insert(lat.end(), r.latNs.begin(), r.latNs.end());
  }
  std::sort(lat.begin(), lat.end());
  auto pct = [&](double p) { return lat.empty() ? 0.0 : lat[std::min(lat.size() - 1, size_t(p * lat.size()))] / 1000.0; };
  printf("clients %4d: %9.0f ops/s  (%7.0f writes/s)  p50 %8.1f us  p99 %8.1f us  errors %llu\n", n, ops / secs,
         writes / secs, pct(0.50), pct(0.99), (unsigned long long)errors);
  fflush(stdout);
}

// The same three reads, straight on the database file in this process.
void DirectSqlite(const std::string& db, double seconds) {
  sqlite3* h = nullptr;
  if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    printf("direct SQLite: cannot open %s\n", db.c_str());
    return;
  }
  const char* sqls[] = {
      "SELECT rowid,* FROM packages WHERE (PackageId,rowid)>(?,?) ORDER BY PackageId,rowid LIMIT 1",
      "SELECT rowid,* FROM package_users WHERE ServerId=? AND PackageId=? AND Scheduled=1 AND TargetKind=6 "
      "ORDER BY ServerId,PackageId,Scheduled,TargetKind,rowid LIMIT 1",
      "SELECT rowid,* FROM package_users WHERE (ServerId,PackageId,TargetKind,TargetName)>=(?,?,8,?) "
      "ORDER BY ServerId,PackageId,TargetKind,TargetName,rowid LIMIT 1"};
  sqlite3_stmt* st[3];
  for (int i = 0; i < 3; ++i) sqlite3_prepare_v2(h, sqls[i], -1, &st[i], nullptr);
  std::mt19937 rng(1);
  uint64_t ops = 0;
  int64_t pkg = 0, row = 0;
  auto t0 = Clock::now();
  auto end = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (Clock::now() < end) {
    for (int k = 0; k < 100; ++k, ++ops) {
      sqlite3_stmt* s = st[ops % 3];
      if (ops % 3 == 0) { sqlite3_bind_int64(s, 1, pkg); sqlite3_bind_int64(s, 2, row); }
      else if (ops % 3 == 1) { sqlite3_bind_int64(s, 1, 1); sqlite3_bind_int64(s, 2, 1 + rng() % kPackages); }
      else {
        sqlite3_bind_int64(s, 1, 1);
        sqlite3_bind_int64(s, 2, 1 + rng() % kPackages);
        std::string m = MachineName(rng() % kMachines);
        sqlite3_bind_text(s, 3, m.c_str(), -1, SQLITE_TRANSIENT);
      }
      int rc = sqlite3_step(s);
      if (ops % 3 == 0) {
        if (rc == SQLITE_ROW) { row = sqlite3_column_int64(s, 0); pkg = sqlite3_column_int64(s, 1); }
        else { pkg = 0; row = 0; }
      }
      // Read the columns as the service does when it builds a record.
      if (rc == SQLITE_ROW)
        for (int c = 0; c < sqlite3_column_count(s); ++c) (void)sqlite3_column_text(s, c);
      sqlite3_reset(s);
    }
  }
  double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  printf("direct SQLite, 1 thread, same reads: %9.0f ops/s  (%.1f us each)\n", ops / secs, 1e6 * secs / ops);
  for (auto* s : st) sqlite3_finalize(s);
  sqlite3_close(h);
}

int Usage() {
  fprintf(stderr,
          "usage: dblinkd_bench [--dblinkd PATH] [--seconds S] [--clients 1,16,200]\n"
          "       dblinkd_bench --connect PORT --db FILE [--seconds S] [--clients ...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string bin = PLX_DBLINKD_BIN, db;
  double seconds = 3;
  int connectPort = 0;
  std::vector<int> clients = {1, 16, 200};
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return Usage();
    std::string v = argv[++i];
    if (a == "--dblinkd") bin = v;
    else if (a == "--seconds") seconds = std::max(0.2, std::min(30.0, atof(v.c_str())));
    else if (a == "--connect") connectPort = atoi(v.c_str());
    else if (a == "--db") db = v;
    else if (a == "--clients") {
      clients.clear();
      std::stringstream ss(v);
      std::string n;
      while (std::getline(ss, n, ',')) clients.push_back(std::max(1, std::min(1000, atoi(n.c_str()))));
    } else return Usage();
  }
  if (connectPort && db.empty()) return Usage();
  signal(SIGPIPE, SIG_IGN);

  pid_t child = -1;
  uint16_t port = uint16_t(connectPort);
  char dirTemplate[] = "/tmp/dblinkd_bench.XXXXXX";
  std::string dir;
  if (!port) {
    if (!mkdtemp(dirTemplate)) return 1;
    dir = dirTemplate;
    db = dir + "/bench.db";
    std::ofstream(dir + "/seed.json") << SeedJson();
    child = fork();
    if (child == 0) {
      FILE* log = freopen((dir + "/dblinkd.log").c_str(), "w", stderr);
      (void)log;
      execl(bin.c_str(), bin.c_str(), "--db", db.c_str(), "--listen", "127.0.0.1:0", "--seed",
            (dir + "/seed.json").c_str(), "--port-file", (dir + "/ports").c_str(), (char*)nullptr);
      _exit(127);
    }
    auto deadline = Clock::now() + std::chrono::seconds(60);
    while (!port && Clock::now() < deadline) {
      std::ifstream in(dir + "/ports");
      unsigned r = 0;
      std::string line;
      if (std::getline(in, line) && sscanf(line.c_str(), "requester=%u", &r) == 1) port = uint16_t(r);
      else std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!port) { fprintf(stderr, "dblinkd did not start; see %s/dblinkd.log\n", dir.c_str()); return 1; }
  }
  printf("dblinkd on 127.0.0.1:%u, %u packages, %u rows in package_users, %.1f s per run\n", port, kPackages,
         kPackages * (1 + kUsers + kMachines), seconds);
  printf("mix per client: 30%% key 4 get-next, 30%% key 6 get-equal, 30%% key 7 get-greater-eq, "
         "10%% status write (insert/rewrite)\n");
  for (int n : clients) RunClients(port, n, seconds);
  DirectSqlite(db, seconds);
  if (child > 0) {
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    std::string rm = "rm -rf '" + dir + "'";
    if (system(rm.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
  }
  return 0;
}
