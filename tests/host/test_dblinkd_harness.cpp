#include "test_dblinkd_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
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

namespace {

// Every temporary directory of the program, removed when it ends.
struct TempDirs {
  std::vector<std::string> dirs;
  ~TempDirs() {
    std::error_code ec;
    for (auto& d : dirs) fs::remove_all(d, ec);
  }
} tempDirs;

// Runs argv with stderr (and stdout) to files; the child's pid.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& out, const std::string& err) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  int o = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644), e = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  dup2(o, 1);
  dup2(e, 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

// waitpid with a limit: the exit status, -1 for a signal, -2 when still running.
int WaitFor(pid_t pid, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) return -2;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ReadAll(int fd, uint8_t* p, size_t n) {
  for (ssize_t r; n > 0; p += r, n -= size_t(r))
    if ((r = recv(fd, p, n, 0)) <= 0) return false;
  return true;
}

}  // namespace

std::string TempDir() {
  std::string t = (fs::temp_directory_path() / "plxtest.XXXXXX").string();
  if (!mkdtemp(&t[0])) return "";
  tempDirs.dirs.push_back(t);
  return t;
}

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string ReadFile(const std::string& path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

int RunProgram(const std::vector<std::string>& argv, std::string* out, std::string* err) {
  std::string dir = TempDir();
  pid_t pid = Spawn(argv, dir + "/out", dir + "/err");
  int rc = WaitFor(pid, 20000);
  if (rc == -2) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    rc = -1;
  }
  if (out) *out = ReadFile(dir + "/out");
  if (err) *err = ReadFile(dir + "/err");
  return rc;
}

const char Daemon::kToken[] = "test-token-7f3a9c21";

Daemon::Daemon() : dir(TempDir()), db(dir + "/packages.db") {
  WriteFile(dir + "/token", std::string("  ") + kToken + "\n");
  // Without a database the service is given none, and refuses to start.
  if (UsingPostgres() && !NewPgDatabase(db)) {
    ADD_FAILURE() << db;
    db.clear();
  }
}

Daemon::~Daemon() {
  Signal(SIGKILL);
  if (pid > 0) waitpid(pid, nullptr, 0);
}

bool Daemon::Start(const Json* seed, bool admin, std::vector<std::string> extra) {
  std::string ports = dir + "/ports";
  unlink(ports.c_str());
  std::vector<std::string> args = {PLX_DBLINKD_BIN, "--db", db, "--listen", "127.0.0.1:0", "--port-file", ports};
  if (admin) args.insert(args.end(), {"--admin-listen", "127.0.0.1:0", "--admin-token-file", dir + "/token"});
  if (seed) {
    WriteFile(dir + "/seed.json", seed->dump());
    args.insert(args.end(), {"--seed", dir + "/seed.json"});
  }
  args.insert(args.end(), extra.begin(), extra.end());
  pid = Spawn(args, "/dev/null", dir + "/dblinkd.log");
  for (auto deadline = Clock::now() + std::chrono::seconds(15); Clock::now() < deadline && Alive();) {
    unsigned r = 0, a = 0;
    if (sscanf(ReadFile(ports).c_str(), "requester=%u\nadmin=%u\n", &r, &a) == 2 && r != 0) {
      port = uint16_t(r);
      adminPort = uint16_t(a);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

void Daemon::Signal(int sig) {
  if (pid > 0) kill(pid, sig);
}

bool Daemon::Alive() {
  if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid) pid = -1;
  return pid > 0;
}

int Daemon::Wait(int timeoutMs) {
  if (pid <= 0) return -1;
  int rc = WaitFor(pid, timeoutMs);
  if (rc != -2) pid = -1;
  return rc < 0 ? -1 : rc;
}

bool Client::Connect(uint16_t port, const char* from, bool wait) {
  Close();
  fd = socket(AF_INET, SOCK_STREAM | (wait ? 0 : SOCK_NONBLOCK), 0);
  // A reply that never comes fails the test after this; a loaded machine running the
  // service on PostgreSQL may hold an honest one for several seconds.
  timeval tv{20, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, from ? from : "127.0.0.1", &a.sin_addr);
  bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  a.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  ok = ok && (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 || (!wait && errno == EINPROGRESS));
  if (!ok) Close();
  return ok;
}

void Client::Close() {
  if (fd >= 0) close(fd);
  fd = -1;
}

bool Client::Send(const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

bool Client::ReadReply(plx::proto::Reply& r) {
  uint8_t len[4];
  if (!ReadAll(fd, len, 4)) return false;
  uint32_t n = plx::GetU32(len);
  if (n > plx::proto::kReplyHeaderSize + plx::proto::kMaxReplyData) return false;
  std::vector<uint8_t> body(n);
  return ReadAll(fd, body.data(), n) && plx::proto::DecodeReply(body.data(), n, r);
}

bool Client::PeerClosed(int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  char c;
  if (poll(&p, 1, timeoutMs) <= 0) return false;
  ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN);
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

std::string Key(std::initializer_list<uint32_t> numbers, const std::string& text, size_t width) {
  std::string k;
  for (uint32_t v : numbers) {
    uint8_t b[4];
    plx::PutU32(b, v);
    k.append(reinterpret_cast<char*>(b), 4);
  }
  return k + text + std::string(width > text.size() ? width - text.size() : 0, '\0');
}

Json SampleSeed() { return Json::parse(ReadFile(PLX_TEST_DATA_DIR "/seed.json")); }

Json PackageUserRow(uint32_t id, uint32_t package, uint32_t scheduled, uint32_t kind, const std::string& name,
                    const std::string& counterpart, uint32_t status) {
  return {{"RecordId", id},          {"PackageUserId", id},   {"ServerId", 1},       {"PackageId", package},
          {"Scheduled", scheduled},  {"PackageStatus", status}, {"TargetKind", kind}, {"TargetName", name},
          {"Counterpart", counterpart}};
}

Daemon* SeededSuite::daemon = nullptr;

void SeededSuite::SetUpTestSuite() {
  daemon = new Daemon;
  Json seed = SampleSeed();
  ASSERT_TRUE(daemon->Start(&seed)) << daemon->Log();
}

void SeededSuite::TearDownTestSuite() {
  delete daemon;
  daemon = nullptr;
}

void SeededSuite::SetUp() { ASSERT_TRUE(c.Connect(daemon->port)); }

bool UsingPostgres() {
  const char* e = getenv("PLX_TEST_ENGINE");
  return e && strcmp(e, "postgresql") == 0;
}

std::string PgServerUri() {
  const char* f = getenv("PLX_TEST_PG");
  std::string uri = f ? ReadFile(f) : "";
  while (!uri.empty() && isspace(static_cast<unsigned char>(uri.back()))) uri.pop_back();
  return uri;
}

namespace {

// One statement on a PostgreSQL database; rows as Query gives them, "?" when it failed.
std::string PgQuery(const std::string& uri, const std::string& sql) {
  PGconn* c = PQconnectdb(uri.c_str());
  std::string out;
  PGresult* r = PQstatus(c) == CONNECTION_OK ? PQexec(c, sql.c_str()) : nullptr;
  ExecStatusType st = PQresultStatus(r);
  if (st != PGRES_TUPLES_OK && st != PGRES_COMMAND_OK) {
    out = "?";
    fprintf(stderr, "harness: %s: %s", sql.c_str(), r ? PQresultErrorMessage(r) : PQerrorMessage(c));
  }
  for (int i = 0; st == PGRES_TUPLES_OK && i < PQntuples(r); ++i) {
    for (int j = 0; j < PQnfields(r); ++j) out += std::string(PQgetvalue(r, i, j), PQgetlength(r, i, j)) + "|";
    out += "\n";
  }
  PQclear(r);
  PQfinish(c);
  return out;
}

}  // namespace

bool NewPgDatabase(std::string& uri) {
  static int made = 0;
  std::string server = PgServerUri();
  size_t slash = server.rfind('/');
  if (server.empty() || slash == std::string::npos) {
    uri = "no PostgreSQL test server: PLX_TEST_PG names no file with its URI";
    return false;
  }
  std::string name = "plx_" + std::to_string(getpid()) + "_" + std::to_string(++made);
  if (PgQuery(server, "CREATE DATABASE " + name +
                          " ENCODING 'SQL_ASCII' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0") == "?") {
    uri = "cannot create database " + name + " on " + server;
    return false;
  }
  uri = server.substr(0, slash + 1) + name;
  return true;
}

std::string Query(const std::string& db, const std::string& sql) {
  if (db.compare(0, 13, "postgresql://") == 0) return PgQuery(db, sql);
  sqlite3* h = nullptr;
  sqlite3_stmt* s = nullptr;
  std::string out;
  if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(h, 5000);
    if (sqlite3_prepare_v2(h, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) out = "?";
    while (s && sqlite3_step(s) == SQLITE_ROW) {
      for (int i = 0; i < sqlite3_column_count(s); ++i) {
        const unsigned char* v = sqlite3_column_text(s, i);
        out += std::string(v ? reinterpret_cast<const char*>(v) : "") + "|";
      }
      out += "\n";
    }
  }
  sqlite3_finalize(s);
  sqlite3_close(h);
  return out;
}

int64_t CountRows(const std::string& db, const std::string& table, const std::string& where) {
  std::string n = Query(db, "SELECT COUNT(*) FROM " + table + (where.empty() ? "" : " WHERE " + where));
  return n.empty() || n == "?" ? -1 : atoll(n.c_str());
}

std::string DatabaseDigest(const std::string& db) {
  std::string out;
  for (const char* t : {"servers", "packages", "package_users", "history", "history_texts", "dependencies", "tasks",
                        "installed"})
    out += std::string(t) + "\n" + Query(db, std::string("SELECT rowid, * FROM ") + t + " ORDER BY rowid");
  return out;
}

int AdminRequest(uint16_t port, const std::string& method, const std::string& path, const std::string& token,
                 const std::string& body, std::string& reply) {
  httplib::Client c("127.0.0.1", port);
  c.set_connection_timeout(5);
  c.set_read_timeout(10);
  httplib::Headers h;
  if (!token.empty()) h.emplace("Authorization", "Bearer " + token);
  httplib::Result r = method == "POST" ? c.Post(path.c_str(), h, body, "application/json") : c.Get(path.c_str(), h);
  if (!r) return -1;
  reply = r->body;
  return r->status;
}

}  // namespace harness
