// dblinkd_bench: starts dblinkd on a temporary database of realistic shape and measures,
// in one run: one reader alone and while 16 and 200 clients write; writes with group
// commit against raw SQLite doing the same commits from as many threads; the read-by-key
// mix at 1, 16 and 200 clients against raw SQLite reads from as many threads. Only
// requests the service accepted are counted; any refusal is printed and fails the run.
//
//   dblinkd_bench [--dblinkd PATH] [--seconds S] [--clients N | --writers N]
//
// --clients N runs only the read-by-key mix at N clients, --writers N only one reader
// alone and while N clients write (for profiling the service).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_wire.h"
#include "plx/bytes.h"
#include "plx/proto.h"
#include "plx/records.h"

using namespace plx;
using Clock = std::chrono::steady_clock;

using namespace bench;

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

// One request frame of a client.
std::string Frame(uint32_t table, uint32_t cls, uint32_t op, uint32_t keyNo, const std::string& key,
                  const std::string& data, uint32_t pos = 0) {
  proto::Request q;
  q.call = proto::kCallOperation;
  q.table = table; q.cls = cls; q.op = op; q.keyNo = keyNo; q.key = key; q.data = data;
  q.recordLength = RecordLength(table);
  q.posRowId = pos;
  return proto::EncodeRequest(q);
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

std::string StatusRow(const std::string& machine, uint32_t pkg, uint16_t status) {
  UserPackageRecord u;
  u.ServerId = 1;
  u.PackageId = pkg;
  u.TargetKind = 8;
  u.PackageStatus = status;
  CopyText(u.TargetName, sizeof u.TargetName, machine.c_str());
  return Bytes(u, kTableUserPackage);
}

// What one run of clients did. Only replies the service accepted count as operations;
// anything else is a refusal, printed and fatal to the benchmark.
struct Tally {
  std::atomic<uint64_t> reads{0}, writes{0}, refused{0};
  std::atomic<uint64_t> clientCpuNs{0};  // what the load generator itself used
  std::mutex mutex;
  std::vector<uint32_t> readLat;  // ns, a sample per read
  void AddLatencies(std::vector<uint32_t>& l) {
    std::lock_guard<std::mutex> lock(mutex);
    readLat.insert(readLat.end(), l.begin(), l.end());
  }
};

using Stop = std::atomic<bool>;

// The frames of the reads by key 6 and 7, built once for every package and machine, so
// that the load generator spends its time on the wire, not on building frames.
struct ReadFrames {
  std::vector<std::string> key6;  // per package
  std::vector<std::string> key7;  // per package and machine
  std::string first4;             // the start of the package walk
  ReadFrames() {
    for (uint32_t p = 1; p <= kPackages; ++p) {
      key6.push_back(Frame(kTableUserPackage, kClassRead, kOpGetEqual, 6, Key6(p, 6), ""));
      for (uint32_t m = 0; m < kMachines; ++m)
        key7.push_back(Frame(kTableUserPackage, kClassRead, kOpGetGreaterEq, 7, Key7(p, MachineName(m)), ""));
    }
    first4 = Frame(kTablePackage, kClassRead, kOpGetFirst, 4, U32(0), "");
  }
};

// One workstation on its own connection, one request in flight, as the requester does.
// Readers walk the agent's reads by key: the next package by key 4, targeting rows by
// key 6, this machine's status row by key 7. Writers insert a status row of their own
// machine, then rewrite it.
struct Client {
  int fd = -1;
  bool writer = false;
  const ReadFrames* frames = nullptr;
  std::mt19937 rng;
  uint32_t step = 0, pkgRow = 0, row = 0;
  std::string pkgRec, rec, machine, next;
  std::vector<uint8_t> in;
  size_t have = 0;
  Clock::time_point sent;

  // The next request frame; it stays valid until the next call.
  const std::string& NextRequest() {
    uint32_t n = step;
    if (writer) {
      if (n % 2 == 0)
        return next = Frame(kTableUserPackage, kClassInsert, kOpInsert, 0, U32(0), StatusRow(machine, 1 + (n / 2) % kPackages, 0));
      UserPackageRecord u;
      Decode(reinterpret_cast<const uint8_t*>(rec.data()), u);
      u.PackageStatus = 1;
      return next = Frame(kTableUserPackage, kClassRewrite, kOpGetEqual, 0, U32(row), Bytes(u, kTableUserPackage));
    }
    switch (n % 3) {
      case 0:
        if (!pkgRow) return frames->first4;
        return next = Frame(kTablePackage, kClassRead, kOpGetNext, 4, Key(kTablePackage, 4, pkgRec), "", pkgRow);
      case 1:
        return frames->key6[rng() % kPackages];
      default: {
        uint32_t p = rng() % kPackages;
        return frames->key7[p * kMachines + rng() % kMachines];
      }
    }
  }

  // True when the reply (status, row id, record) counts as an accepted operation. The end
  // of the package index is an accepted answer of the walk, which then starts over.
  bool Accept(int32_t status, uint32_t rowId, const uint8_t* data, size_t size) {
    uint32_t n = step++;
    if (!writer && n % 3 == 0) {
      if (status == kDbOk) { pkgRec.assign(reinterpret_cast<const char*>(data), size); pkgRow = rowId; }
      else if (status == kDbNotFound) { pkgRow = 0; return true; }
    }
    if (status != kDbOk) { if (writer) step = 0; return false; }
    if (writer) { rec.assign(reinterpret_cast<const char*>(data), size); row = rowId; }
    return true;
  }
};

uint64_t ThreadCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

// Drives many clients from one thread with epoll, so that 200 workstations cost the
// machine 200 connections, not 200 threads. A request is sent whole with one send (the
// socket's buffer is empty: one request in flight); the reply is read as it comes.
class Driver {
 public:
  Driver(const Stop& go, const Stop& stop, Tally& t, const ReadFrames& f)
      : go_(go), stop_(stop), t_(t), frames_(f), ep_(epoll_create1(0)) {}
  ~Driver() {
    for (Client& c : clients_) if (c.fd >= 0) close(c.fd);
    close(ep_);
  }
  bool Add(uint16_t port, bool writer, uint32_t id) {
    clients_.emplace_back();
    Client& c = clients_.back();
    c.fd = Connect(port);
    c.writer = writer;
    c.frames = &frames_;
    c.rng.seed(id * 7919u + 1);
    c.machine = "W" + std::to_string(id);
    c.in.resize(4 + 8 + proto::kMaxData + 64);
    return c.fd >= 0;
  }
  void Run() {
    for (size_t i = 0; i < clients_.size(); ++i) {
      epoll_event e{};
      e.events = EPOLLIN;
      e.data.u64 = i;
      if (clients_[i].fd < 0 || epoll_ctl(ep_, EPOLL_CTL_ADD, clients_[i].fd, &e) != 0) { t_.refused++; return; }
    }
    lat_.reserve(1 << 16);
    while (!go_) std::this_thread::yield();
    uint64_t cpu0 = ThreadCpuNs();
    for (Client& c : clients_) if (!Send(c, Clock::now())) return;
    std::vector<epoll_event> ev(clients_.size());
    while (!stop_) {
      int n = epoll_wait(ep_, ev.data(), int(ev.size()), 100);
      if (n < 0 && errno != EINTR) { t_.refused++; break; }
      auto now = Clock::now();  // one clock read per wake-up: a reply's time is when it was seen
      for (int i = 0; i < n && !stop_; ++i)
        if (!Receive(clients_[ev[i].data.u64], now)) { stop_failed_ = true; break; }
      if (stop_failed_) break;
    }
    t_.clientCpuNs += ThreadCpuNs() - cpu0;
    t_.AddLatencies(lat_);
  }

 private:
  bool Send(Client& c, Clock::time_point now) {
    const std::string& out = c.NextRequest();
    c.have = 0;
    c.sent = now;
    if (send(c.fd, out.data(), out.size(), MSG_NOSIGNAL) == ssize_t(out.size())) return true;
    t_.refused++;
    return false;
  }
  bool Receive(Client& c, Clock::time_point now) {
    ssize_t r = recv(c.fd, c.in.data() + c.have, c.in.size() - c.have, MSG_DONTWAIT);
    if (r <= 0) {
      if (r < 0 && (errno == EAGAIN || errno == EINTR)) return true;
      t_.refused++;
      return false;
    }
    c.have += size_t(r);
    if (c.have < 4) return true;
    size_t len = GetU32(c.in.data());
    if (4 + len > c.in.size()) { t_.refused++; return false; }
    if (c.have < 4 + len) return true;
    // The reply is read in place: status, row id, then the record.
    if (c.have != 4 + len || len < proto::kReplyHeaderSize) { t_.refused++; return false; }
    const uint8_t* body = c.in.data() + 4;
    if (!c.Accept(int32_t(GetU32(body)), GetU32(body + 4), body + proto::kReplyHeaderSize, len - proto::kReplyHeaderSize))
      t_.refused++;
    else if (c.writer) t_.writes++;
    else {
      t_.reads++;
      if (lat_.size() < (1u << 20))
        lat_.push_back(uint32_t(std::chrono::duration_cast<std::chrono::nanoseconds>(now - c.sent).count()));
    }
    return Send(c, now);
  }

  const Stop& go_;
  const Stop& stop_;
  Tally& t_;
  const ReadFrames& frames_;
  int ep_;
  bool stop_failed_ = false;
  std::deque<Client> clients_;
  std::vector<uint32_t> lat_;
};

struct Outcome {
  double reads = 0, writes = 0, p50 = 0, p90 = 0, p99 = 0;
  double cpuUs = 0;        // the service's CPU time (user and system) per accepted request
  double clientCpuUs = 0;  // the load generator's, or raw SQLite's, per operation
  uint64_t refused = 0;
};

// The readers share kDriverThreads threads, and so do the writers; a single reader has a
// thread of its own, as one workstation would.
constexpr int kDriverThreads = 2;

Outcome RunService(pid_t service, uint16_t port, int readers, int writers, double seconds) {
  const ReadFrames frames;  // built before the clock starts
  Tally t;
  Stop go{false}, stop{false};
  std::deque<Driver> drivers;
  uint32_t id = 0;
  for (auto [count, writer] : {std::pair<int, bool>{readers, false}, {writers, true}}) {
    int threads = std::min(count, kDriverThreads);
    size_t first = drivers.size();
    for (int i = 0; i < threads; ++i) drivers.emplace_back(go, stop, t, frames);
    for (int i = 0; i < count; ++i)
      if (!drivers[first + size_t(i % threads)].Add(port, writer, 1000 * writer + id++)) t.refused++;
  }
  std::vector<std::thread> threads;
  for (Driver& d : drivers) threads.emplace_back([&d] { d.Run(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // connections up before the clock starts
  auto t0 = Clock::now();
  double cpu0 = ProcessCpu(service, false);
  go = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  double cpu = ProcessCpu(service, false) - cpu0;
  for (auto& th : threads) th.join();
  Outcome o;
  o.cpuUs = cpu * 1e6 / std::max<double>(1, double(t.reads + t.writes));
  o.clientCpuUs = double(t.clientCpuNs) / 1e3 / std::max<double>(1, double(t.reads + t.writes));
  o.reads = t.reads / secs;
  o.writes = t.writes / secs;
  o.p50 = Pct(t.readLat, 0.50);
  o.p90 = Pct(t.readLat, 0.90);
  o.p99 = Pct(t.readLat, 0.99);
  o.refused = t.refused;
  return o;
}

// The same work straight on SQLite from as many threads, each with its own connection:
// reads of the same three kinds, or the same commits (one write per transaction, WAL,
// synchronous=FULL as the service has them).
Outcome RunSqlite(const std::string& db, int threads, bool writes, double seconds) {
  std::atomic<uint64_t> ops{0}, failed{0}, cpuNs{0};
  // Raw SQLite reads the database at its best: everything checkpointed out of the WAL,
  // whatever the service left there.
  sqlite3* c = nullptr;
  if (sqlite3_open_v2(db.c_str(), &c, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK)
    sqlite3_wal_checkpoint_v2(c, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  sqlite3_close(c);
  Stop stop{false};
  std::vector<std::thread> ts;
  for (int i = 0; i < threads; ++i) {
    ts.emplace_back([&, i] {
      sqlite3* h = nullptr;
      if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) { failed++; return; }
      sqlite3_busy_timeout(h, 60000);
      sqlite3_exec(h, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
      const char* sqls[] = {
          "SELECT rowid,* FROM packages WHERE (PackageId,rowid)>(?,?) ORDER BY PackageId,rowid LIMIT 1",
          "SELECT rowid,* FROM package_users WHERE ServerId=? AND PackageId=? AND Scheduled=1 AND TargetKind=6 "
          "ORDER BY ServerId,PackageId,Scheduled,TargetKind,rowid LIMIT 1",
          "SELECT rowid,* FROM package_users WHERE (ServerId,PackageId,TargetKind,TargetName)>=(?,?,8,?) "
          "ORDER BY ServerId,PackageId,TargetKind,TargetName,rowid LIMIT 1",
          "INSERT INTO package_users (ServerId,PackageId,TargetKind,TargetName,PackageStatus) VALUES (1,?,8,?,0)",
          "UPDATE package_users SET PackageStatus=1 WHERE rowid=?"};
      sqlite3_stmt* st[5];
      for (int k = 0; k < 5; ++k) sqlite3_prepare_v2(h, sqls[k], -1, &st[k], nullptr);
      std::mt19937 rng(uint32_t(i) + 1);
      int64_t pkg = 0, row = 0, mine = 0;
      std::string machine = "S" + std::to_string(i);
      uint64_t cpu0 = ThreadCpuNs();
      for (uint64_t n = 0; !stop; ++n) {
        if (writes) {
          sqlite3_stmt* s = st[n % 2 ? 4 : 3];
          if (n % 2) sqlite3_bind_int64(s, 1, mine);
          else { sqlite3_bind_int64(s, 1, 1 + n % kPackages); sqlite3_bind_text(s, 2, machine.c_str(), -1, SQLITE_TRANSIENT); }
          bool ok = sqlite3_exec(h, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK &&
                    sqlite3_step(s) == SQLITE_DONE;
          if (n % 2 == 0) mine = sqlite3_last_insert_rowid(h);
          sqlite3_reset(s);
          ok = sqlite3_exec(h, ok ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK && ok;
          (ok ? ops : failed)++;
          continue;
        }
        sqlite3_stmt* s = st[n % 3];
        if (n % 3 == 0) { sqlite3_bind_int64(s, 1, pkg); sqlite3_bind_int64(s, 2, row); }
        else if (n % 3 == 1) { sqlite3_bind_int64(s, 1, 1); sqlite3_bind_int64(s, 2, 1 + rng() % kPackages); }
        else {
          sqlite3_bind_int64(s, 1, 1);
          sqlite3_bind_int64(s, 2, 1 + rng() % kPackages);
          std::string m = MachineName(rng() % kMachines);
          sqlite3_bind_text(s, 3, m.c_str(), -1, SQLITE_TRANSIENT);
        }
        int rc = sqlite3_step(s);
        if (n % 3 == 0) {
          if (rc == SQLITE_ROW) { row = sqlite3_column_int64(s, 0); pkg = sqlite3_column_int64(s, 1); }
          else { pkg = 0; row = 0; }
        }
        if (rc == SQLITE_ROW)  // the columns, as the service reads them into a record
          for (int k = 0; k < sqlite3_column_count(s); ++k) (void)sqlite3_column_text(s, k);
        sqlite3_reset(s);
        ops++;
      }
      cpuNs += ThreadCpuNs() - cpu0;
      for (auto* s : st) sqlite3_finalize(s);
      sqlite3_close(h);
    });
  }
  auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  for (auto& t : ts) t.join();
  Outcome o;
  (writes ? o.writes : o.reads) = ops / secs;
  o.clientCpuUs = double(cpuNs) / 1e3 / std::max<double>(1, double(ops));
  o.refused = failed;
  return o;
}

int Usage() {
  fprintf(stderr, "usage: dblinkd_bench [--dblinkd PATH] [--seconds S] [--clients N | --writers N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string bin = PLX_DBLINKD_BIN;
  double seconds = 3;
  int onlyClients = 0, onlyWriters = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return Usage();
    std::string v = argv[++i];
    if (a == "--dblinkd") bin = v;
    else if (a == "--seconds") seconds = std::max(0.2, std::min(30.0, atof(v.c_str())));
    else if (a == "--clients") onlyClients = std::max(1, std::min(1000, atoi(v.c_str())));
    else if (a == "--writers") onlyWriters = std::max(1, std::min(1000, atoi(v.c_str())));
    else return Usage();
  }
  signal(SIGPIPE, SIG_IGN);
  char dirTemplate[] = "/tmp/dblinkd_bench.XXXXXX";
  if (!mkdtemp(dirTemplate)) return 1;
  std::string dir = dirTemplate, db = dir + "/bench.db";
  std::ofstream(dir + "/seed.json") << SeedJson();
  // The write budget is off: this measures throughput, and 200 clients from one address
  // are more than the default per-address cap.
  pid_t child = fork();
  if (child == 0) {
    FILE* log = freopen((dir + "/dblinkd.log").c_str(), "w", stderr);
    (void)log;
    execl(bin.c_str(), bin.c_str(), "--db", db.c_str(), "--listen", "127.0.0.1:0", "--seed", (dir + "/seed.json").c_str(),
          "--port-file", (dir + "/ports").c_str(), "--write-rate", "0", "--max-per-address", "1000", (char*)nullptr);
    _exit(127);
  }
  uint16_t port = 0;
  auto deadline = Clock::now() + std::chrono::seconds(60);
  while (!port && Clock::now() < deadline) {
    std::ifstream in(dir + "/ports");
    unsigned r = 0;
    std::string line;
    if (std::getline(in, line) && sscanf(line.c_str(), "requester=%u", &r) == 1) port = uint16_t(r);
    else std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!port) { fprintf(stderr, "dblinkd did not start; see %s/dblinkd.log\n", dir.c_str()); return 1; }
  printf("dblinkd on 127.0.0.1:%u, %u packages, %u rows in package_users, %.1f s per run, %u cores\n", port,
         kPackages, kPackages * (1 + kUsers + kMachines), seconds, std::thread::hardware_concurrency());
  printf("read mix: key 4 get-next, key 6 get-equal, key 7 get-greater-eq; a writer inserts a status row of\n"
         "its own machine, then rewrites it, each acknowledged only once committed (synchronous=FULL)\n\n");
  uint64_t refused = 0;
  auto check = [&](const Outcome& o) { refused += o.refused; return o; };
  auto mix = [&](int n) {
    Outcome o = check(RunService(child, port, n, 0, seconds));
    Outcome raw = check(RunSqlite(db, n, false, seconds));
    printf("   %3d clients: dblinkd %9.0f reads/s (p50 %7.1f us, p90 %7.1f us, p99 %8.1f us), raw SQLite %9.0f: %.2fx\n",
           n, o.reads, o.p50, o.p90, o.p99, raw.reads, o.reads / std::max(1.0, raw.reads));
    printf("                CPU per read: service %.1f us + load generator %.1f us; raw SQLite %.1f us\n", o.cpuUs,
           o.clientCpuUs, raw.clientCpuUs);
    return std::make_pair(o, raw);
  };

  if (onlyClients) {
    printf("service pid %d\n", int(child));
    mix(onlyClients);
  } else if (onlyWriters) {
    Outcome alone = check(RunService(child, port, 1, 0, seconds));
    Outcome o = check(RunService(child, port, 1, onlyWriters, seconds));
    printf("   reader alone %.0f reads/s; while %d write: %.0f reads/s (p50 %.1f us, p99 %.1f us), %.0f writes/s: %.2fx\n",
           alone.reads, onlyWriters, o.reads, o.p50, o.p99, o.writes, o.reads / std::max(1.0, alone.reads));
  } else {
    printf("1. one reader while others write\n");
    printf("   %-22s %10s %10s %10s %12s %9s %12s\n", "", "reads/s", "p50 us", "p99 us", "writes/s", "refused",
           "svc us/req");
    Outcome alone = check(RunService(child, port, 1, 0, seconds));
    double w16 = 0, w200 = 0, atMost = 0;
    for (int writers : {0, 16, 200}) {
      Outcome o = writers ? check(RunService(child, port, 1, writers, seconds)) : alone;
      printf("   reader, %3d writers  %10.0f %10.1f %10.1f %12.0f %9llu %12.1f\n", writers, o.reads, o.p50, o.p99, o.writes,
             (unsigned long long)o.refused, o.cpuUs);
      if (writers == 16) w16 = o.writes;
      if (writers == 200) { w200 = o.writes; atMost = o.reads / std::max(1.0, alone.reads); }
    }
    printf("   reader at 200 writers keeps %.2fx of its alone rate (goal >= 0.5)\n\n", atMost);

    printf("2. writes: group commit against raw SQLite, same commits, as many threads\n");
    double worst = 1e9;
    for (int n : {16, 200}) {
      Outcome raw = check(RunSqlite(db, n, true, seconds));
      double svc = n == 16 ? w16 : w200;
      printf("   %3d writers: dblinkd %8.0f writes/s, raw SQLite %8.0f commits/s: %.2fx (goal >= 0.8)\n", n, svc,
             raw.writes, svc / std::max(1.0, raw.writes));
      worst = std::min(worst, svc / std::max(1.0, raw.writes));
    }
    printf("\n3. read-by-key mix against raw SQLite reads from as many threads\n");
    double at16 = 0, p99at200 = 0;
    for (int n : {1, 16, 200}) {
      auto [o, raw] = mix(n);
      if (n == 16) at16 = o.reads / std::max(1.0, raw.reads);
      if (n == 200) p99at200 = o.p99;
    }
    printf("   at 16 clients %.2fx (goal >= 0.5); p99 at 200 clients %.2f ms (goal < 10)\n", at16, p99at200 / 1000);
  }

  kill(child, SIGTERM);
  int status = 0;
  waitpid(child, &status, 0);
  std::string rm = "rm -rf '" + dir + "'";
  if (system(rm.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
  if (refused) {
    printf("\nFAILED: %llu requests were refused or failed; they are not counted above\n", (unsigned long long)refused);
    return 1;
  }
  return 0;
}
