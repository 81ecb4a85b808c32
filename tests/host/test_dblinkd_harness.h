// Test harness: the real dblinkd (and pkgadmin) as child processes on loopback, each in a
// temporary directory, and the requester protocol over a plain blocking socket.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "plx/bytes.h"
#include "plx/proto.h"
#include "plx/records.h"

#include <gtest/gtest.h>

namespace harness {

using Json = nlohmann::ordered_json;

std::string TempDir();  // removed by the test program's end
void WriteFile(const std::string& path, const std::string& text);
std::string ReadFile(const std::string& path);
// Runs a program to its end: its exit status (-1 when it could not run or was killed).
int RunProgram(const std::vector<std::string>& argv, std::string* out = nullptr, std::string* err = nullptr);

struct Daemon {
  static const char kToken[];
  Daemon();
  ~Daemon();
  // Starts dblinkd on 127.0.0.1 port 0 (a restart: on the same database, seed null) and
  // waits for its port file.
  bool Start(const Json* seed = nullptr, bool admin = true, std::vector<std::string> extra = {});
  void Signal(int sig);
  // The exit status; -1 when it ended by a signal or did not end in time.
  int Wait(int timeoutMs = 15000);
  bool Alive();
  std::string Log() const { return ReadFile(dir + "/dblinkd.log"); }

  uint16_t port = 0, adminPort = 0;
  std::string dir, db;
  pid_t pid = -1;
};

struct Client {
  ~Client() { Close(); }
  // from: the loopback address to connect from; wait false: a non-blocking connect.
  bool Connect(uint16_t port, const char* from = nullptr, bool wait = true);
  void Close();
  bool Send(const std::string& bytes);
  bool ReadReply(plx::proto::Reply& r);
  bool PeerClosed(int timeoutMs = 3000);  // closed or reset within the time
  bool Call(const plx::proto::Request& q, plx::proto::Reply& r);
  // DBOperationEx; the status, -1 on a transport failure.
  int32_t Op(uint32_t table, uint32_t cls, uint32_t op, uint32_t keyNo, const std::string& key,
             const std::string& data = "", std::string* record = nullptr, uint32_t* rowId = nullptr,
             uint32_t posRowId = 0, int32_t recordLength = -1);
  int32_t Read(uint32_t table, uint32_t op, uint32_t keyNo, const std::string& key, std::string* record = nullptr,
               uint32_t* rowId = nullptr) {
    return Op(table, plx::kClassRead, op, keyNo, key, "", record, rowId);
  }
  int fd = -1;
};

template <class R> std::string Bytes(const R& r, uint32_t table) {
  std::string b(plx::RecordLength(table), '\0');
  plx::Encode(r, reinterpret_cast<uint8_t*>(&b[0]));
  return b;
}
template <class R> R Rec(const std::string& bytes) {
  R r;
  plx::Decode(reinterpret_cast<const uint8_t*>(bytes.data()), r);
  return r;
}
// Key bytes: little-endian numbers, then a text padded with zeros to `width`.
std::string Key(std::initializer_list<uint32_t> numbers, const std::string& text = "", size_t width = 0);
// A key 7 of package_users: server, package, target kind and the 210-byte target name.
inline std::string Name7(uint32_t srv, uint32_t pkg, uint32_t kind, const char* name) {
  return Key({srv, pkg, kind}, name, 210);
}
inline std::string U32(uint32_t v) { return Key({v}); }

// The sample database (seed.json): servers SRV (1) and OTHER (2), packages on both with an
// id above 2^31, targeting rows whose names differ only in case, dependencies, tasks and
// installed paths.
Json SampleSeed();

// A package_users row of a seed document (server 1, PackageUserId = RecordId).
Json PackageUserRow(uint32_t id, uint32_t package, uint32_t scheduled, uint32_t kind, const std::string& name,
                    const std::string& counterpart, uint32_t status);

// The engine the service runs on in this test program: with PLX_TEST_ENGINE=postgresql
// every Daemon gets a fresh database on the PostgreSQL server PLX_TEST_PG names (a file
// holding its URI); otherwise a SQLite file of its own.
bool UsingPostgres();
// The PostgreSQL test server's URI, "" when the program was not given one.
std::string PgServerUri();
// A fresh, empty database on that server, made as the service wants it (SQL_ASCII, C
// locale): its URI. False with uri set to the reason when there is no server.
bool NewPgDatabase(std::string& uri);

// Read-only queries on the service's database (a SQLite file or a PostgreSQL URI): rows
// one a line, columns ended by '|'.
std::string Query(const std::string& db, const std::string& sql);
int64_t CountRows(const std::string& db, const std::string& table, const std::string& where = "");
// Every row of every table, to prove that nothing changed.
std::string DatabaseDigest(const std::string& db);

// HTTP to the admin API: the status, -1 when no connection.
int AdminRequest(uint16_t port, const std::string& method, const std::string& path, const std::string& token,
                 const std::string& body, std::string& reply);

// Tests against one daemon started with the sample seed for the whole suite, each test with
// a client of its own.
class SeededSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  static Daemon* daemon;
  Client c;
};

}  // namespace harness
