// fleet_bench: 1,000 simulated agents at once, each on its own requester connection doing
// what one real agent run does, again and again, against (a) SQLite behind one dblinkd,
// (b) PostgreSQL behind one dblinkd and (c) PostgreSQL behind three dblinkd replicas on the
// same database, the agents spread over them. It starts the services (and a throw-away
// PostgreSQL server) itself and prints one table: requests/s, p50 and p99 request latency
// (all requests, then reads and writes apart), agent runs/s, and the CPU that dblinkd and
// the database server used per request (which, unlike a rate, depends little on what else
// the shared machine runs). Any refused request, a connection the service closes, or a
// status row or history text id given to two inserts is printed and fails the run.
//
//   fleet_bench [--dblinkd PATH] [--seconds S] [--limit S] [--agents N] [--only sqlite|postgresql] [--steps]
//
// Each configuration is measured once every agent has had a block of requests answered
// (the warm-up), for --seconds (5) and until every agent has had a block answered in the
// measured time too; each of the two lasts --limit seconds (60) at most.
// --steps adds the mean latency of each kind of request of the run, per configuration.
//
// The agent run. bench/host/record_agent_mix.py ran the real agent (PLXWIN32.EXE with the
// real Dblinkr32.dll, under Wine) once against dblinkd over the agent benchmark's mixed
// table (2,000 packages, 5 targeting rows each, every 20th package for the workstation's
// site, so that the run installs 100 packages), relaying and decoding every frame. The run
// was 1,205 requests on one link, in this order:
//   init: hello, get-path KVR610, connect, get-path SISITE                      4   0.3%
//   then per 20 packages (100 times), 12 requests:
//     package walk, key 4 get-first/get-next as read-ahead of 4, 8, 16 rows    300  24.9%
//       (the 4-8-16 doubling starts again after each write); one more
//       get-next at the end answers that the index ends                        1   0.1%
//     package rows of package_users by key 6: the block's first package        100   8.3%
//       (reply ~31 KB: 114 rows, whole packages) and, after the status row's
//       insert, the installed package's targeting rows                         100   8.3%
//     insert of the machine's status row (kind 8, status 0)                    100   8.3%
//     dependencies key 8 get-equal, read-ahead 4 (none: not found)             100   8.3%
//     tasks key 8 get-equal as package rows (none: not found)                  100   8.3%
//     insert of a history text, then of its history row                     2x 100  16.6%
//     re-read of the status row by id, then its rewrite (status 1)          2x 100  16.6%
// Reads are 66.5%, writes 33.2% (inserts 24.9%, rewrites 8.3%). A simulated agent sends these
// frames in this order, built as the requester builds them, with its own machine id, user
// and node address; it takes the ids the service assigns (status row, history text) into
// the requests that name them, and rewrites the record the service gave back.
//
// Each agent starts its first run at a random block of 20 packages, as in a fleet already
// under way rather than 1,000 runs starting together; later runs are whole, each on a new
// connection, as each agent run opens its own link. Runs/s is requests/s over the
// requests of one run: counting the runs that end in a few seconds would count the first,
// shorter runs too, and with a slow service hardly any whole run. Each run leaves 100 status rows and 100 history rows behind, as a first
// run on a workstation does; each configuration starts from a fresh database.
#include <arpa/inet.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fstream>
#include <functional>
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

// The agent benchmark's table: packages, their targeting rows, and which are installed.
constexpr uint32_t kPackages = 2000;
constexpr uint32_t kBlock = 20;  // every 20th package is for the agents' site
constexpr uint32_t kBlocks = kPackages / kBlock;
constexpr uint32_t kServerId = 1;
const char kServerName[] = "SRV";
const char kProduct[] = "KVR610";
const char kSiteItem[] = "SISITE";
const char kSite[] = "HQ";
const char kInstalledText[] = "Package installed successfully.";

// The requester's read-ahead: 4 rows, doubling while a walk goes on.
constexpr uint32_t kFirstAhead = 4;

// Requests of one block of 20 packages, in order (see the header).
enum BlockStep : uint32_t {
  kWalkFirst, kBlockRows, kWalkSecond, kWalkThird, kInsertStatus, kPackageRows, kDependencies, kTasks,
  kInsertText, kInsertHistory, kReadStatus, kRewriteStatus, kStepsPerBlock,
};
constexpr uint32_t kInitSteps = 4;  // hello, get-path, connect, get-path
// Kinds of request for --steps: the init, each step of a block, the walk's end.
constexpr uint32_t kKinds = kStepsPerBlock + 2;
const char* const kKindNames[kKinds] = {
    "init", "walk 4 rows", "package rows of the block", "walk 8 rows", "walk 16 rows", "insert status row",
    "package rows of the package", "dependencies", "tasks", "insert history text", "insert history",
    "re-read status row", "rewrite status row", "walk's end"};
constexpr uint32_t kRequestsPerRun = kInitSteps + kBlocks * kStepsPerBlock + 1;

std::string SeedJson() {
  std::ostringstream o;
  o << "{\"servers\":[{\"ServerId\":1,\"ServerName\":\"" << kServerName << "\"}],"
    << "\"installed\":[{\"Server\":\"SRV\",\"Item\":\"KVR610\",\"Path\":\"SYS:\\\\APPS\\\\PLIVEX\",\"Second\":\"\"},"
    << "{\"Server\":\"SRV\",\"Item\":\"SISITE\",\"Path\":\"\",\"Second\":\"" << kSite << "\"}],"
    << "\"packages\":[";
  for (uint32_t p = 1; p <= kPackages; ++p)
    o << (p > 1 ? "," : "") << "{\"PackageId\":" << p << ",\"ServerId\":1,\"Name\":\"Package " << p
      << "\",\"Status\":\"A\",\"StartDate\":\"1990-01-01\",\"InstallPath\":\"C:\\\\BENCH\\\\P" << p
      << "\",\"TargetOs\":7,\"Options\":1}";
  o << "],\"package_users\":[";
  for (uint32_t p = 1; p <= kPackages; ++p) {
    // A site, two groups, another user and another machine: only the site may be ours.
    const std::pair<uint32_t, std::string> rows[] = {
        {kKindSite, p % kBlock == 0 ? kSite : "BRANCH"}, {kKindGroup, "SALES"}, {kKindGroup, "PLANT"},
        {kKindUser, "BOB"}, {kKindMachine, "0000DEADBEEF"}};
    for (const auto& [kind, name] : rows)
      o << (p > 1 || kind != kKindSite ? "," : "") << "{\"ServerId\":1,\"PackageId\":" << p
        << ",\"Scheduled\":1,\"TargetKind\":" << kind << ",\"TargetName\":\"" << name << "\"}";
  }
  o << "]}";
  return o.str();
}

std::string PackageKey(uint32_t pkg) {
  PackageRecord r;
  r.PackageId = pkg;
  r.ServerId = kServerId;
  return Key(kTablePackage, 4, Bytes(r, kTablePackage));
}

std::string TargetingKey(uint32_t pkg, uint32_t kind) {
  UserPackageRecord u;
  u.ServerId = kServerId; u.PackageId = pkg; u.Scheduled = 1; u.TargetKind = kind;
  return Key(kTableUserPackage, 6, Bytes(u, kTableUserPackage));
}

std::string Frame(uint16_t call, uint32_t table, uint32_t cls, uint32_t op, uint32_t keyNo, const std::string& key,
                  const std::string& data, uint32_t pos = 0) {
  proto::Request q;
  q.call = call;
  q.table = table; q.cls = cls; q.op = op; q.keyNo = keyNo; q.key = key; q.data = data;
  q.recordLength = table ? RecordLength(table) : 0;
  q.posRowId = pos;
  return proto::EncodeRequest(q);
}

std::string Read(uint16_t call, uint32_t table, uint32_t op, uint32_t keyNo, const std::string& key, uint32_t pos = 0,
                 uint32_t ahead = 0) {
  return Frame(call, table, kClassRead, op, keyNo, key, ahead ? U32(ahead) : "", pos);
}

// The package walk's get-next from package `after`; the rows' ids are their package ids,
// as the seed imports them in order.
std::string WalkNext(uint32_t after, uint32_t ahead) {
  return Read(proto::kCallReadAhead, kTablePackage, kOpGetNext, 4, PackageKey(after), after, ahead);
}

// One workstation: its names, where it is in its run, and the ids the service gave it.
struct Agent {
  int fd = -1;
  uint32_t port = 0;
  std::string machine, user, node;
  uint32_t step = 0;        // request of the run: init, then blocks, then the walk's end
  uint32_t statusRow = 0;   // this block's status row
  uint32_t textId = 0;      // this block's history text
  uint32_t answered = 0;    // requests answered since the start, up to a block's
  uint32_t measured = 0;    // and in the measured time
  std::string statusRec;    // the status row as the service last gave it
  std::string out;
  std::vector<uint8_t> in;
  size_t have = 0;
  Clock::time_point sent;
  int32_t expect = kDbOk;  // the status the request in flight must get

  uint32_t Target(uint32_t block) const { return (block + 1) * kBlock; }

  // Which id the reply of this step assigns: 0 none, 1 a status row's, 2 a history text's.
  int Assigns() const {
    if (step < kInitSteps || step - kInitSteps >= kBlocks * kStepsPerBlock) return 0;
    uint32_t s = (step - kInitSteps) % kStepsPerBlock;
    return s == kInsertStatus ? 1 : s == kInsertText ? 2 : 0;
  }

  uint32_t Kind() const {
    if (step < kInitSteps) return 0;
    if (step - kInitSteps >= kBlocks * kStepsPerBlock) return kKinds - 1;
    return 1 + (step - kInitSteps) % kStepsPerBlock;
  }

  bool Writing() const {
    if (step < kInitSteps || step - kInitSteps >= kBlocks * kStepsPerBlock) return false;
    uint32_t s = (step - kInitSteps) % kStepsPerBlock;
    return s == kInsertStatus || s == kInsertText || s == kInsertHistory || s == kRewriteStatus;
  }

  // The request of `step`, and the status its reply must have.
  const std::string& Request(int32_t& expect) {
    expect = kDbOk;
    if (step < kInitSteps) {
      switch (step) {
        case 0: return out = Frame(proto::kCallHello, 0, 0, 0, 0, "", "");
        case 1: return out = Frame(proto::kCallGetPath, 0, 0, 0, 0, kServerName, kProduct);
        case 2: return out = Frame(proto::kCallConnect, 0, 0, 0, 0, kServerName, kProduct);
        default: return out = Frame(proto::kCallGetPath, 0, 0, 0, 0, kServerName, kSiteItem);
      }
    }
    uint32_t n = step - kInitSteps, block = n / kStepsPerBlock, base = block * kBlock, target = Target(block);
    if (block == kBlocks) {
      expect = kDbNotFound;
      return out = WalkNext(kPackages, kFirstAhead);
    }
    switch (n % kStepsPerBlock) {
      case kWalkFirst:
        if (block == 0) return out = Read(proto::kCallReadAhead, kTablePackage, kOpGetFirst, 4, U32(0), 0, kFirstAhead);
        return out = WalkNext(base, kFirstAhead);
      case kBlockRows:
        return out = Read(proto::kCallPackageRows, kTableUserPackage, kOpGetEqual, 6, TargetingKey(base + 1, kKindSite));
      // Each read-ahead reply holds the read's own row and the rows asked for.
      case kWalkSecond: return out = WalkNext(base + (1 + kFirstAhead), 2 * kFirstAhead);
      case kWalkThird: return out = WalkNext(base + (1 + kFirstAhead) + (1 + 2 * kFirstAhead), 4 * kFirstAhead);
      case kInsertStatus: {
        UserPackageRecord u;
        u.ServerId = kServerId; u.PackageId = target; u.TargetKind = kKindMachine; u.PackageStatus = kStatusPending;
        CopyText(u.TargetName, sizeof u.TargetName, machine.c_str());
        CopyText(u.Counterpart, sizeof u.Counterpart, user.c_str());
        return out = Frame(proto::kCallOperation, kTableUserPackage, kClassInsert, kOpInsert, 0, U32(0),
                           Bytes(u, kTableUserPackage));
      }
      case kPackageRows:
        return out = Read(proto::kCallPackageRows, kTableUserPackage, kOpGetEqual, 6, TargetingKey(target, kKindGroup));
      case kDependencies: {
        expect = kDbNotFound;
        DependencyRecord d;
        d.RequiredServerId = kServerId; d.PackageId = target;
        return out = Read(proto::kCallReadAhead, kTableDependency, kOpGetEqual, 8,
                          Key(kTableDependency, 8, Bytes(d, kTableDependency)), 0, kFirstAhead);
      }
      case kTasks: {
        expect = kDbNotFound;
        PackageTaskRecord t;
        t.ServerId = kServerId; t.PackageId = target;
        return out = Read(proto::kCallPackageRows, kTableTask, kOpGetEqual, 8, Key(kTableTask, 8, Bytes(t, kTableTask)));
      }
      case kInsertText: {
        HistoryTextRecord t;
        t.ServerId = kServerId;
        CopyText(t.Text, sizeof t.Text, kInstalledText);
        return out = Frame(proto::kCallOperation, kTableHistoryText, kClassInsert, kOpInsert, 0, U32(0),
                           Bytes(t, kTableHistoryText));
      }
      case kInsertHistory: {
        HistoryRecord h;
        h.ServerId = kServerId; h.TextId = textId; h.PackageId = target; h.PackageUserId = statusRow;
        CopyText(h.Date, sizeof h.Date, "20261206");
        CopyText(h.Time, sizeof h.Time, "081500");
        CopyText(h.UserName, sizeof h.UserName, user.c_str());
        CopyText(h.ServerName, sizeof h.ServerName, kServerName);
        CopyText(h.NetNumber, sizeof h.NetNumber, "00000000");
        CopyText(h.NodeAddress, sizeof h.NodeAddress, node.c_str());
        return out = Frame(proto::kCallOperation, kTableHistory, kClassInsert, kOpInsert, 0, U32(0), Bytes(h, kTableHistory));
      }
      case kReadStatus:
        return out = Read(proto::kCallOperation, kTableUserPackage, kOpGetEqual, 0, U32(statusRow));
      default: {
        UserPackageRecord u;
        Decode(reinterpret_cast<const uint8_t*>(statusRec.data()), u);
        u.PackageStatus = kStatusCompleted;
        return out = Frame(proto::kCallOperation, kTableUserPackage, kClassRewrite, kOpGetEqual, 0, U32(statusRow),
                           Bytes(u, kTableUserPackage));
      }
    }
  }

  // Takes what the reply gives the run (ids, the status row). False when the reply is not
  // what the agent's request must get.
  bool Take(uint32_t rowId, const uint8_t* data, size_t size, std::string& why) {
    if (step == 0 && (rowId & (proto::kFeatureReadAhead | proto::kFeaturePackageRows)) !=
                         (proto::kFeatureReadAhead | proto::kFeaturePackageRows)) {
      why = "the service does not offer read-ahead and package rows";
      return false;
    }
    if (step < kInitSteps || step - kInitSteps >= kBlocks * kStepsPerBlock) return true;
    switch ((step - kInitSteps) % kStepsPerBlock) {
      case kInsertStatus: statusRow = rowId; break;
      case kInsertText: textId = rowId; break;
      case kReadStatus:
        if (size != RecordLength(kTableUserPackage) || rowId != statusRow) {
          why = "the re-read status row is not the one inserted";
          return false;
        }
        statusRec.assign(reinterpret_cast<const char*>(data), size);
        break;
      default: break;
    }
    return true;
  }
};

using Flag = std::atomic<bool>;

// What a configuration's agents did. Only replies with the status the agent's request
// must get count; the first thing that went wrong is kept to be printed.
struct Tally {
  std::atomic<uint64_t> requests{0}, refused{0};
  std::atomic<int> cold{0};    // agents that have not yet had a block's requests answered
  std::atomic<int> unseen{0};  // nor in the measured time
  std::mutex mutex;
  std::vector<uint32_t> latencyUs, readUs, writeUs;
  std::string firstFault;
  void Fault(const std::string& what) {
    refused++;
    std::lock_guard<std::mutex> lock(mutex);
    if (firstFault.empty()) firstFault = what;
  }
  // The ids the service assigned: status rows and history texts.
  std::vector<uint32_t> ids[2];
  uint64_t kindUs[kKinds] = {}, kindCount[kKinds] = {};  // latency by kind of request
  void AddKinds(const uint64_t (&us)[kKinds], const uint64_t (&count)[kKinds]) {
    std::lock_guard<std::mutex> lock(mutex);
    for (uint32_t k = 0; k < kKinds; ++k) { kindUs[k] += us[k]; kindCount[k] += count[k]; }
  }
  void AddLatencies(const std::vector<uint32_t>& reads, const std::vector<uint32_t>& writes,
                    const std::vector<uint32_t> (&assigned)[2]) {
    std::lock_guard<std::mutex> lock(mutex);
    for (int k = 0; k < 2; ++k) ids[k].insert(ids[k].end(), assigned[k].begin(), assigned[k].end());
    readUs.insert(readUs.end(), reads.begin(), reads.end());
    writeUs.insert(writeUs.end(), writes.begin(), writes.end());
    latencyUs.insert(latencyUs.end(), reads.begin(), reads.end());
    latencyUs.insert(latencyUs.end(), writes.begin(), writes.end());
  }
};

// Drives its agents from one thread with epoll: 1,000 agents cost 1,000 connections, not
// 1,000 threads. One request in flight per agent, as the requester has.
class Driver {
 public:
  Driver(const Flag& go, const Flag& measuring, const Flag& stop, Tally& t)
      : go_(go), measuring_(measuring), stop_(stop), t_(t), ep_(epoll_create1(0)) {}
  ~Driver() {
    for (Agent& a : agents_) if (a.fd >= 0) close(a.fd);
    close(ep_);
  }
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  void Add(uint16_t port, uint32_t id, uint32_t firstBlock) {
    agents_.emplace_back();
    Agent& a = agents_.back();
    a.port = port;
    char name[32];
    snprintf(name, sizeof name, "F1EE%08X", id);
    a.machine = name;
    snprintf(name, sizeof name, "USER%04u", id);
    a.user = name;
    snprintf(name, sizeof name, "00A0C9%06X", id);
    a.node = name;
    a.in.resize(4 + proto::kReplyHeaderSize + proto::kMaxReplyData + 1024);
    // A run that starts mid-table has had its init already on the same link.
    a.step = firstBlock ? kInitSteps + firstBlock * kStepsPerBlock : 0;
  }

  bool Open(Agent& a, size_t index) {
    a.fd = Connect(uint16_t(a.port));
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = index;
    if (a.fd < 0 || epoll_ctl(ep_, EPOLL_CTL_ADD, a.fd, &e) != 0) {
      t_.Fault("could not connect to 127.0.0.1:" + std::to_string(a.port) + ": " + strerror(errno));
      return false;
    }
    return true;
  }

  void Run() {
    for (size_t i = 0; i < agents_.size(); ++i)
      if (!Open(agents_[i], i)) return;
    for (auto& l : lat_) l.reserve(1 << 18);
    while (!go_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (Agent& a : agents_) if (!Send(a, Clock::now())) return;
    std::vector<epoll_event> ev(std::max<size_t>(1, agents_.size()));
    while (!stop_) {
      int n = epoll_wait(ep_, ev.data(), int(ev.size()), 100);
      if (n < 0 && errno != EINTR) { t_.Fault("epoll_wait failed"); break; }
      for (int i = 0; i < n && !stop_; ++i)
        if (!Receive(ev[i].data.u64)) return Finish();
    }
    Finish();
  }

 private:
  void Finish() {
    t_.AddLatencies(lat_[0], lat_[1], ids_);
    t_.AddKinds(kindUs_, kindCount_);
  }

  bool Send(Agent& a, Clock::time_point now) {
    const std::string& out = a.Request(a.expect);
    a.have = 0;
    a.sent = now;
    if (send(a.fd, out.data(), out.size(), MSG_NOSIGNAL) == ssize_t(out.size())) return true;
    t_.Fault("a request could not be sent whole: " + std::string(strerror(errno)));
    return false;
  }

  bool Receive(size_t index) {
    Agent& a = agents_[index];
    ssize_t r = recv(a.fd, a.in.data() + a.have, a.in.size() - a.have, MSG_DONTWAIT);
    if (r <= 0) {
      if (r < 0 && (errno == EAGAIN || errno == EINTR)) return true;
      t_.Fault("the service closed the link of agent " + a.machine + " at request " + std::to_string(a.step));
      return false;
    }
    a.have += size_t(r);
    if (a.have < 4) return true;
    size_t len = GetU32(a.in.data());
    if (len < proto::kReplyHeaderSize || 4 + len > a.in.size() || a.have > 4 + len) {
      t_.Fault("a reply of impossible length");
      return false;
    }
    if (a.have < 4 + len) return true;
    auto now = Clock::now();
    const uint8_t* body = a.in.data() + 4;
    int32_t status = int32_t(GetU32(body));
    std::string why;
    if (status != a.expect) {
      t_.Fault("agent " + a.machine + " request " + std::to_string(a.step) + ": status " + std::to_string(status) +
               ", expected " + std::to_string(a.expect));
      return false;
    }
    if (!a.Take(GetU32(body + 4), body + proto::kReplyHeaderSize, len - proto::kReplyHeaderSize, why)) {
      t_.Fault(why);
      return false;
    }
    if (int k = a.Assigns()) ids_[k - 1].push_back(GetU32(body + 4));
    if (++a.answered == kStepsPerBlock) t_.cold--;
    if (measuring_) {
      if (++a.measured == kStepsPerBlock) t_.unseen--;
      t_.requests++;
      uint32_t us = uint32_t(std::chrono::duration_cast<std::chrono::microseconds>(now - a.sent).count());
      lat_[a.Writing()].push_back(us);
      kindUs_[a.Kind()] += us;
      kindCount_[a.Kind()]++;
    }
    if (++a.step == kRequestsPerRun) {
      // A run ends; the next starts on a new link, as the next agent run opens its own.
      a.step = 0;
      epoll_ctl(ep_, EPOLL_CTL_DEL, a.fd, nullptr);
      close(a.fd);
      if (!Open(a, index)) return false;
    }
    return Send(a, now);
  }

  const Flag& go_;
  const Flag& measuring_;
  const Flag& stop_;
  Tally& t_;
  int ep_;
  std::deque<Agent> agents_;
  std::vector<uint32_t> lat_[2];  // reads, writes: microseconds
  std::vector<uint32_t> ids_[2];  // as Tally::ids
  uint64_t kindUs_[kKinds] = {}, kindCount_[kKinds] = {};
};

constexpr int kDriverThreads = 2;

// The parent of a process, from its stat line; 0 when it is gone.
pid_t ParentOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  char state = 0;
  int parent = 0;
  return sscanf(text.c_str() + close + 1, " %c %d", &state, &parent) == 2 ? pid_t(parent) : 0;
}

// CPU time of a server process and of all its children, living and ended.
double TreeCpu(pid_t root) {
  double cpu = ProcessCpu(root, true);
  DIR* d = opendir("/proc");
  while (dirent* e = d ? readdir(d) : nullptr) {
    pid_t pid = pid_t(atoi(e->d_name));
    if (pid > 0 && ParentOf(pid) == root) cpu += ProcessCpu(pid, false);
  }
  if (d) closedir(d);
  return cpu;
}

struct Outcome {
  double warmupS = 0, measuredS = 0;
  double cpuUs = 0;  // the serving side's CPU per accepted request: services and database server
  double requests = 0, runs = 0, p50Ms = 0, p99Ms = 0, readP50Ms = 0, readP99Ms = 0, writeP50Ms = 0, writeP99Ms = 0;
  uint64_t refused = 0;
  std::string fault;
  double kindMs[kKinds] = {};  // mean latency by kind of request
  uint64_t kindCount[kKinds] = {};
};

// Measures once the agents are under way: every agent has had a block's requests
// answered, so that the requests in flight are spread over the run as they are in a
// fleet, not all at the first steps of a block. The measured time lasts `seconds` and
// until every agent has had a block's requests answered in it too, so that it holds every
// kind of request in the run's shares even when a slow service takes longer than
// `seconds` for a block. Each phase lasts at most `limit` seconds.
Outcome RunAgents(const std::vector<uint16_t>& ports, int agents, double limit, double seconds,
                  const std::function<double()>& cpu) {
  Tally t;
  t.cold = agents;
  Flag go{false}, measuring{false}, stop{false};
  std::deque<Driver> drivers;
  for (int i = 0; i < kDriverThreads; ++i) drivers.emplace_back(go, measuring, stop, t);
  std::mt19937 rng(20261206);
  for (int i = 0; i < agents; ++i)
    drivers[size_t(i % kDriverThreads)].Add(ports[size_t(i) % ports.size()], uint32_t(i), rng() % kBlocks);
  std::vector<std::thread> threads;
  for (Driver& d : drivers) threads.emplace_back([&d] { d.Run(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // links up before the clock starts
  auto start = Clock::now();
  go = true;
  const std::chrono::duration<double> most(limit), least(seconds);
  while (t.cold > 0 && !t.refused && Clock::now() - start < most)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  t.unseen = agents;
  auto t0 = Clock::now();
  double cpu0 = cpu();
  measuring = true;
  // A refusal ends the configuration at once.
  for (auto now = t0; !t.refused && now - t0 < most && (now - t0 < least || t.unseen > 0); now = Clock::now())
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  stop = true;
  double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  double used = cpu() - cpu0;
  for (auto& th : threads) th.join();
  Outcome o;
  o.warmupS = std::chrono::duration<double>(t0 - start).count();
  o.measuredS = secs;
  o.cpuUs = used * 1e6 / std::max<double>(1, double(t.requests));
  o.requests = double(t.requests) / secs;
  o.runs = o.requests / kRequestsPerRun;
  o.p50Ms = Pct(t.latencyUs, 0.50);
  o.p99Ms = Pct(t.latencyUs, 0.99);
  o.readP50Ms = Pct(t.readUs, 0.50);
  o.readP99Ms = Pct(t.readUs, 0.99);
  o.writeP50Ms = Pct(t.writeUs, 0.50);
  o.writeP99Ms = Pct(t.writeUs, 0.99);
  if (t.requests == 0) t.Fault("no request was answered in the measured time: the service is stuck");
  // An id given twice means two agents' rows became one: replicas must never do that.
  const char* names[] = {"status row", "history text"};
  for (int k = 0; k < 2; ++k) {
    std::sort(t.ids[k].begin(), t.ids[k].end());
    auto twice = std::adjacent_find(t.ids[k].begin(), t.ids[k].end());
    if (twice != t.ids[k].end())
      t.Fault(std::string(names[k]) + " id " + std::to_string(*twice) + " was assigned twice");
  }
  o.refused = t.refused;
  o.fault = t.firstFault;
  for (uint32_t k = 0; k < kKinds; ++k) {
    o.kindCount[k] = t.kindCount[k];
    o.kindMs[k] = t.kindCount[k] ? double(t.kindUs[k]) / 1000.0 / double(t.kindCount[k]) : 0;
  }
  return o;
}

// One dblinkd of a configuration.
struct Service {
  pid_t pid = -1;
  uint16_t port = 0;
  std::string log;
};

bool StartService(const std::string& bin, const std::string& db, const std::string& dir, const std::string& name,
                  const std::string& seed, Service& s) {
  std::string ports = dir + "/" + name + ".ports";
  s.log = dir + "/" + name + ".log";
  unlink(ports.c_str());
  std::vector<std::string> args = {bin, "--db", db, "--listen", "127.0.0.1:0", "--port-file", ports,
                                   // Throughput is measured: no write budget, and every agent
                                   // comes from 127.0.0.1.
                                   "--write-rate", "0", "--max-per-address", "4000"};
  if (!seed.empty()) args.insert(args.end(), {"--seed", seed});
  s.pid = fork();
  if (s.pid == 0) {
    if (!freopen(s.log.c_str(), "w", stderr)) _exit(127);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(127);
  }
  auto deadline = Clock::now() + std::chrono::seconds(120);
  while (Clock::now() < deadline) {
    std::ifstream in(ports);
    std::string line;
    unsigned r = 0;
    if (std::getline(in, line) && sscanf(line.c_str(), "requester=%u", &r) == 1) {
      s.port = uint16_t(r);
      return true;
    }
    int status = 0;
    if (waitpid(s.pid, &status, WNOHANG) == s.pid) { s.pid = -1; break; }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::ifstream in(s.log);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  fprintf(stderr, "dblinkd %s did not start:\n%s\n", name.c_str(), text.c_str());
  return false;
}

// SIGTERM, then the exit status: a service that does not stop cleanly fails the run too.
bool StopService(Service& s) {
  if (s.pid <= 0) return true;
  kill(s.pid, SIGTERM);
  int status = 0;
  waitpid(s.pid, &status, 0);
  s.pid = -1;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  fprintf(stderr, "dblinkd ended badly (status %d); see %s\n", status, s.log.c_str());
  return false;
}

int Shell(const std::string& cmd) {
  int rc = system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : 1;
}

// A throw-away PostgreSQL server in the bench's folder, and fresh databases on it.
class PgServer {
 public:
  explicit PgServer(std::string dir) : dir_(std::move(dir)) {}
  ~PgServer() {
    if (started_ && Shell("'" + script_ + "' stop '" + dir_ + "' >/dev/null 2>&1") != 0)
      fprintf(stderr, "could not stop the PostgreSQL server in %s\n", dir_.c_str());
  }
  bool Start(std::string& error) {
    script_ = std::string(PLX_SOURCE_DIR) + "/scripts/pg-test-server.sh";
    if (access(script_.c_str(), X_OK) != 0) { error = script_ + " is missing"; return false; }
    if (Shell("'" + script_ + "' start '" + dir_ + "' >'" + dir_ + ".log' 2>&1") != 0) {
      error = "the PostgreSQL server did not start; see " + dir_ + ".log";
      return false;
    }
    started_ = true;
    std::ifstream in(dir_ + "/conninfo");
    if (!std::getline(in, uri_) || uri_.empty()) { error = "no conninfo in " + dir_; return false; }
    return true;
  }
  // A fresh database as dblinkd wants it: texts are the workstations' bytes, unchanged.
  bool NewDatabase(const std::string& name, std::string& uri, std::string& error) {
    PGconn* c = PQconnectdb(uri_.c_str());
    bool ok = PQstatus(c) == CONNECTION_OK;
    if (ok) {
      std::string sql = "CREATE DATABASE " + name +
                        " ENCODING 'SQL_ASCII' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0";
      PGresult* r = PQexec(c, sql.c_str());
      ok = PQresultStatus(r) == PGRES_COMMAND_OK;
      PQclear(r);
    }
    if (!ok) error = std::string("CREATE DATABASE failed: ") + PQerrorMessage(c);
    PQfinish(c);
    // The maintenance database's URI with the new database's name in its place.
    size_t query = uri_.find('?');
    std::string base = uri_.substr(0, query), rest = query == std::string::npos ? "" : uri_.substr(query);
    size_t slash = base.rfind('/');
    if (slash == std::string::npos || slash < base.find("://") + 3) {
      if (ok) error = "conninfo is not a URI with a database: " + uri_;
      return false;
    }
    uri = base.substr(0, slash + 1) + name + rest;
    return ok;
  }
  // The server's main process, from the lock file in its data folder (in DIR or one below).
  pid_t Postmaster() const {
    std::vector<std::string> places = {dir_};
    DIR* d = opendir(dir_.c_str());
    while (dirent* e = d ? readdir(d) : nullptr)
      if (e->d_name[0] != '.') places.push_back(dir_ + "/" + e->d_name);
    if (d) closedir(d);
    for (const std::string& p : places) {
      std::ifstream in(p + "/postmaster.pid");
      long pid = 0;
      if (in >> pid && pid > 0) return pid_t(pid);
    }
    return 0;
  }

 private:
  std::string dir_, script_, uri_;
  bool started_ = false;
};

struct Row {
  std::string config;
  Outcome o;
  bool ran = false;
};

// Starts `replicas` services on `db` (the first imports the seed), runs the agents over
// them, stops them.
bool RunConfig(const std::string& bin, const std::string& db, int replicas, const std::string& dir,
               const std::string& seed, int agents, double limit, double seconds, const std::string& tag, pid_t dbServer,
               Row& row) {
  std::vector<Service> services(static_cast<size_t>(replicas));
  std::vector<uint16_t> ports;
  bool ok = true;
  for (int i = 0; i < replicas && ok; ++i) {
    ok = StartService(bin, db, dir, tag + "-" + std::to_string(i + 1), i == 0 ? seed : "", services[size_t(i)]);
    ports.push_back(services[size_t(i)].port);
  }
  if (ok) {
    auto cpu = [&] {
      double sum = dbServer > 0 ? TreeCpu(dbServer) : 0;
      for (const Service& s : services) sum += ProcessCpu(s.pid, false);
      return sum;
    };
    row.o = RunAgents(ports, agents, limit, seconds, cpu);
    row.ran = true;
    fprintf(stderr, "%s: %.0f requests/s, %.2f runs/s\n", row.config.c_str(), row.o.requests, row.o.runs);
  }
  for (Service& s : services) ok = StopService(s) && ok;
  return ok;
}

int Usage() {
  fprintf(stderr, "usage: fleet_bench [--dblinkd PATH] [--seconds S] [--limit S] [--agents N]\n"
                  "                   [--only sqlite|postgresql] [--steps]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string bin = PLX_DBLINKD_BIN, only;
  double seconds = 5, limit = 60;
  int agents = 1000;
  bool steps = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--steps") { steps = true; continue; }
    if (i + 1 >= argc) return Usage();
    std::string v = argv[++i];
    if (a == "--dblinkd") bin = v;
    else if (a == "--seconds") seconds = std::max(1.0, std::min(60.0, atof(v.c_str())));
    else if (a == "--limit") limit = std::max(1.0, std::min(600.0, atof(v.c_str())));
    else if (a == "--agents") agents = std::max(1, std::min(4000, atoi(v.c_str())));
    else if (a == "--only" && (v == "sqlite" || v == "postgresql")) only = v;
    else return Usage();
  }
  signal(SIGPIPE, SIG_IGN);
  // 1,000 links and the services' pipes: more descriptors than the usual soft limit.
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur < rlim_t(agents) + 256) {
    fprintf(stderr, "descriptor limit %llu is too low for %d agents\n", (unsigned long long)lim.rlim_cur, agents);
    return 1;
  }
  char dirTemplate[] = "/tmp/fleet_bench.XXXXXX";
  if (!mkdtemp(dirTemplate)) return 1;
  std::string dir = dirTemplate, seed = dir + "/seed.json";
  // As root the database server runs as its own user, which must reach its folder in here.
  chmod(dir.c_str(), 0711);
  std::ofstream(seed) << SeedJson();

  printf("%d agents, %.0f s per configuration, %u cores; an agent run is %u requests (install 1 package in %u)\n",
         agents, seconds, std::thread::hardware_concurrency(), kRequestsPerRun, kBlock);
  std::vector<Row> rows = {{"SQLite, 1 dblinkd", {}, false},
                           {"PostgreSQL, 1 dblinkd", {}, false},
                           {"PostgreSQL, 3 dblinkd", {}, false}};
  bool ok = true;
  std::string failure;
  if (only != "postgresql")
    ok = RunConfig(bin, dir + "/fleet.db", 1, dir, seed, agents, limit, seconds, "sqlite", 0, rows[0]) && ok;
  if (only != "sqlite" && ok) {
    // The server's socket lives in its folder: keep the path short.
    PgServer pg(dir + "/pg");
    std::string error, uri;
    if (!pg.Start(error)) {
      failure = "PostgreSQL: " + error;
    } else {
      for (int replicas : {1, 3}) {
        std::string name = "fleet" + std::to_string(replicas);
        if (!pg.NewDatabase(name, uri, error)) { failure = "PostgreSQL: " + error; break; }
        ok = RunConfig(bin, uri, replicas, dir, seed, agents, limit, seconds, "pg" + std::to_string(replicas), pg.Postmaster(),
                       rows[replicas == 1 ? 1 : 2]) && ok;
        if (!ok) break;
      }
    }
  }

  // The machine is shared: its load says how much of it the run had.
  std::ifstream loadavg("/proc/loadavg");
  std::string load1;
  loadavg >> load1;
  printf("load average at the end %s; us/req: CPU of dblinkd and the database server per request\n\n", load1.c_str());
  printf("%-22s %11s %8s %8s %17s %17s %8s %8s %16s %8s\n", "configuration", "requests/s", "p50 ms", "p99 ms",
         "reads p50/p99 ms", "writes p50/p99 ms", "runs/s", "us/req", "warm-up+measured", "refused");
  uint64_t refused = 0;
  for (Row& r : rows) {
    if (!r.ran) { printf("%-22s %11s\n", r.config.c_str(), "not run"); continue; }
    printf("%-22s %11.0f %8.2f %8.2f %8.2f/%8.2f %8.2f/%8.2f %8.2f %8.1f %6.1fs+%6.1fs %8llu\n", r.config.c_str(),
           r.o.requests, r.o.p50Ms, r.o.p99Ms, r.o.readP50Ms, r.o.readP99Ms, r.o.writeP50Ms, r.o.writeP99Ms, r.o.runs,
           r.o.cpuUs, r.o.warmupS, r.o.measuredS, (unsigned long long)r.o.refused);
    refused += r.o.refused;
    if (!r.o.fault.empty()) printf("  first fault: %s\n", r.o.fault.c_str());
  }
  if (steps) {
    printf("\nmean latency by request, ms (requests answered)\n%-28s", "");
    for (Row& r : rows) if (r.ran) printf(" %24s", r.config.c_str());
    printf("\n");
    for (uint32_t k = 0; k < kKinds; ++k) {
      printf("%-28s", kKindNames[k]);
      for (Row& r : rows)
        if (r.ran) printf(" %13.2f (%8llu)", r.o.kindMs[k], (unsigned long long)r.o.kindCount[k]);
      printf("\n");
    }
  }
  bool skipped = std::any_of(rows.begin(), rows.end(), [&](const Row& r) {
    return !r.ran && (only.empty() || (only == "sqlite") == (&r == &rows[0]));
  });
  if (refused || !ok || skipped) {
    printf("\nFAILED: %s\n", refused ? "requests were refused or links closed (see the first fault above)"
                                     : !failure.empty() ? failure.c_str()
                                                        : "a service did not start or stop cleanly; logs in the folder below");
    printf("kept %s\n", dir.c_str());
    return 1;
  }
  if (Shell("rm -rf '" + dir + "'") != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
  return 0;
}
