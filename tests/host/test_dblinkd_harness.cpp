#include "test_dblinkd_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <httplib.h>

#include "plx/bytes.h"

namespace harness {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string MakeTempDir() {
  std::string t = (fs::temp_directory_path() / "plxtest.XXXXXX").string();
  std::vector<char> buf(t.begin(), t.end());
  buf.push_back('\0');
  return mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
}

void RemoveTree(const std::string& dir) {
  std::error_code ec;
  if (!dir.empty()) fs::remove_all(dir, ec);
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return bool(out);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Output goes to files beside each other: no pipe to drain while the program runs.
int RunProgram(const std::vector<std::string>& argv, std::string* out, std::string* err, int timeoutMs) {
  std::string dir = MakeTempDir();
  pid_t pid = fork();
  if (pid == 0) {
    freopen((dir + "/out").c_str(), "w", stdout);
    freopen((dir + "/err").c_str(), "w", stderr);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (pid > 0 && waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) { kill(pid, SIGKILL); waitpid(pid, &status, 0); status = -1; break; }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (out) *out = ReadFile(dir + "/out");
  if (err) *err = ReadFile(dir + "/err");
  RemoveTree(dir);
  return pid > 0 && status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---------------------------------------------------------------------------------------

const char Daemon::kToken[] = "test-token-7f3a9c21";

Daemon::Daemon() {
  dir = MakeTempDir();
  db = dir + "/packages.db";
  log = dir + "/dblinkd.log";
  WriteFile(dir + "/token", std::string("  ") + kToken + "\n");
}

Daemon::~Daemon() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  RemoveTree(dir);
}

bool Daemon::Start(const Json* seed, bool admin, std::vector<std::string> extra) {
  extra_ = std::move(extra);
  if (seed) WriteFile(dir + "/seed.json", seed->dump(1));
  return Launch(seed != nullptr, admin);
}

bool Daemon::Restart(bool admin) { return Launch(false, admin); }

bool Daemon::Launch(bool seed, bool admin) {
  std::string ports = dir + "/ports";
  unlink(ports.c_str());
  std::vector<std::string> args = {PLX_DBLINKD_BIN, "--db", db, "--listen", "127.0.0.1:0",
                                   "--port-file", ports};
  if (admin) {
    for (const char* a : {"--admin-listen", "127.0.0.1:0", "--admin-token-file"}) args.push_back(a);
    args.push_back(dir + "/token");
  }
  if (seed) { args.push_back("--seed"); args.push_back(dir + "/seed.json"); }
  args.insert(args.end(), extra_.begin(), extra_.end());
  pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) dup2(fd, 2);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  auto deadline = Clock::now() + std::chrono::seconds(15);
  while (Clock::now() < deadline) {
    std::string text = ReadFile(ports);
    unsigned r = 0, a = 0;
    if (sscanf(text.c_str(), "requester=%u\nadmin=%u\n", &r, &a) == 2 && r != 0) {
      port = uint16_t(r);
      adminPort = uint16_t(a);
      return true;
    }
    if (!Alive()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

void Daemon::Signal(int sig) {
  if (pid > 0) kill(pid, sig);
}

bool Daemon::Alive() {
  int status;
  if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) pid = -1;
  return pid > 0;
}

int Daemon::Wait(int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  while (pid > 0 && Clock::now() < deadline) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      pid = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return -1;
}

// ---------------------------------------------------------------------------------------

Client::~Client() { Close(); }

bool Client::Connect(uint16_t port, int timeoutMs, const char* from) {
  Close();
  fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  if (from) {
    inet_pton(AF_INET, from, &a.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) { Close(); return false; }
  }
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) { Close(); return false; }
  return true;
}

void Client::Close() {
  if (fd >= 0) close(fd);
  fd = -1;
}

bool Client::Send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

static bool ReadAll(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t r = recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}

bool Client::ReadReply(plx::proto::Reply& r) {
  uint8_t len[4];
  if (!ReadAll(fd, len, 4)) return false;
  uint32_t n = plx::GetU32(len);
  if (n > plx::proto::kReplyHeaderSize + plx::proto::kMaxData) return false;
  std::vector<uint8_t> body(n);
  if (!ReadAll(fd, body.data(), n)) return false;
  return plx::proto::DecodeReply(body.data(), n, r);
}

bool Client::PeerClosed(int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return false;
  char c;
  return recv(fd, &c, 1, MSG_DONTWAIT) == 0;
}

bool Client::Call(const plx::proto::Request& q, plx::proto::Reply& r) {
  return Send(plx::proto::EncodeRequest(q)) && ReadReply(r);
}

int32_t Client::Op(uint32_t table, uint32_t cls, uint32_t op, uint32_t keyNo, const std::string& key,
                   const std::string& data, std::string* record, uint32_t* rowId, uint32_t posRowId,
                   int32_t recordLength) {
  plx::proto::Request q;
  q.call = plx::proto::kCallOperation;
  q.table = table;
  q.cls = cls;
  q.op = op;
  q.keyNo = keyNo;
  q.key = key;
  q.data = data;
  q.posRowId = posRowId;
  q.recordLength = recordLength >= 0 ? uint32_t(recordLength) : plx::RecordLength(table);
  plx::proto::Reply r;
  if (!Call(q, r)) return -1;
  if (record) *record = r.data;
  if (rowId) *rowId = r.rowId;
  return r.status;
}

// ---------------------------------------------------------------------------------------

std::string KeyBytes(uint32_t table, uint32_t keyNo, const std::string& record) {
  const plx::KeyDef* k = plx::FindTable(table)->Key(keyNo);
  return plx::KeyOf(*k, reinterpret_cast<const uint8_t*>(record.data()));
}

std::string U32(uint32_t v) {
  std::string s(4, '\0');
  plx::PutU32(reinterpret_cast<uint8_t*>(&s[0]), v);
  return s;
}

Json SampleSeed() {
  Json pu = Json::array();
  auto row = [&](uint32_t id, uint32_t srv, uint32_t pkg, uint32_t sched, uint32_t kind, const char* name,
                 uint16_t status, const char* counterpart) {
    pu.push_back(Json{{"RecordId", id}, {"PackageUserId", id + 1000}, {"ServerId", srv}, {"PackageId", pkg},
                      {"Scheduled", sched}, {"PackageStatus", status}, {"TargetKind", kind},
                      {"TargetName", name}, {"Counterpart", counterpart}, {"SourceRef", id * 7}});
  };
  row(1, 1, 10, 1, 6, "Bob", 0, "");
  row(2, 1, 10, 1, 6, "alice", 0, "");
  row(3, 1, 10, 1, 5, "PLX_EVERYONE", 0, "");
  row(4, 1, 10, 1, 6, "ALICE2", 0, "");
  row(5, 1, 10, 0, 8, "MACHINE00001", 1, "alice");
  row(6, 1, 10, 1, 7, "SITE-A", 0, "");
  row(7, 1, 20, 1, 6, "carol", 0, "");
  row(8, 1, 10, 0, 6, "ALICE", 2, "MACHINE00001");
  return Json{
      {"servers", {{{"ServerId", 1}, {"ServerName", "SRV"}}, {{"ServerId", 2}, {"ServerName", "OTHER"}}}},
      {"installed",
       {{{"Server", "SRV"}, {"Item", "KVR610"}, {"Path", "SYS:\\APPS\\PLIVEX"}, {"Second", "PLIVEX.CFG"}},
        {{"Server", "SRV"}, {"Item", "SISITE"}, {"Path", ""}, {"Second", "SITE-A"}},
        {{"Server", "SRV"}, {"Item", "PLXONDEMAND"}, {"Path", "SYS:\\PLIVEX\\ONDEMAND"}},
        {{"Server", "PATHONLY"}, {"Item", "KVR610"}, {"Path", "VOL1:\\PLX"}}}},
      {"packages",
       {{{"PackageId", 30}, {"ServerId", 1}, {"Name", "Thirty"}, {"Status", "A"}},
        {{"PackageId", 10}, {"ServerId", 1}, {"Name", "Office 97"}, {"Status", "A"},
         {"StartDate", "1997-11-04"}, {"InstallPath", "C:\\OFFICE"}, {"ForceDate", "1998-03-07"},
         {"MaxRefusals", 3}, {"MaxFailures", 2}, {"Options", 0x8000 | 0x2000}, {"TimeFrom", "08:00:00"},
         {"TimeTo", "17:30:15"}, {"TargetOs", 6}, {"Flags", 0x200}},
        {{"PackageId", 3000000000u}, {"ServerId", 1}, {"Name", "Big id"}, {"Status", "I"}},
        {{"PackageId", 20}, {"ServerId", 1}, {"Name", "Twenty"}, {"Status", "A"}},
        {{"PackageId", 10}, {"ServerId", 2}, {"Name", "Other ten"}, {"Status", "A"}}}},
      {"package_users", pu},
      {"dependencies",
       {{{"RequiredServerId", 1}, {"PackageId", 10}, {"RequiredPackageId", 30}},
        {{"RequiredServerId", 1}, {"PackageId", 20}, {"RequiredPackageId", 10}},
        {{"RequiredServerId", 1}, {"PackageId", 10}, {"RequiredPackageId", 20}}}},
      {"tasks",
       {{{"RecordId", 5}, {"ServerId", 1}, {"PackageId", 10}, {"TaskType", 1}, {"TaskName", "BASE.FST"}},
        {{"RecordId", 3}, {"ServerId", 1}, {"PackageId", 10}, {"TaskType", 3}, {"TaskName", "SETUP.EXE"},
         {"TaskArgs", "/Q /NOREBOOT"}, {"TaskFlags", 3}},
        {{"RecordId", 4}, {"ServerId", 1}, {"PackageId", 20}, {"TaskType", 2}, {"TaskName", "CONFIG.QS"}}}},
  };
}

std::string Query(const std::string& db, const std::string& sql) {
  sqlite3* h = nullptr;
  std::string out;
  if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(h, 5000);
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(h, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) out = "?";
    while (s && sqlite3_step(s) == SQLITE_ROW) {
      for (int i = 0; i < sqlite3_column_count(s); ++i) {
        const unsigned char* v = sqlite3_column_text(s, i);
        out += v ? reinterpret_cast<const char*>(v) : "";
        out += "|";
      }
      out += "\n";
    }
    sqlite3_finalize(s);
  }
  sqlite3_close(h);
  return out;
}

int64_t CountRows(const std::string& db, const std::string& table, const std::string& where) {
  std::string n = Query(db, "SELECT COUNT(*) FROM " + table + (where.empty() ? "" : " WHERE " + where));
  return n.empty() || n == "?" ? -1 : atoll(n.c_str());
}

std::string DatabaseDigest(const std::string& db) {
  std::string out;
  for (const char* t : {"servers", "packages", "package_users", "history", "history_texts", "dependencies",
                        "tasks", "installed"})
    out += std::string(t) + "\n" + Query(db, std::string("SELECT rowid, * FROM ") + t + " ORDER BY rowid");
  return out;
}

int AdminRequest(uint16_t port, const std::string& method, const std::string& path,
                 const std::string& token, const std::string& body, std::string& reply) {
  httplib::Client c("127.0.0.1", port);
  c.set_connection_timeout(5);
  c.set_read_timeout(10);
  httplib::Headers h;
  if (!token.empty()) h.emplace("Authorization", "Bearer " + token);
  httplib::Result r = method == "POST" ? c.Post(path.c_str(), h, body, "application/json")
                                       : c.Get(path.c_str(), h);
  if (!r) return -1;
  reply = r->body;
  return r->status;
}

}  // namespace harness
