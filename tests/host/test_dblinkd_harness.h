// Test harness: runs the real dblinkd (and pkgadmin) as child processes on loopback, with a
// temporary directory, and talks the requester protocol over a plain blocking socket.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "plx/proto.h"
#include "plx/records.h"

namespace harness {

using Json = nlohmann::ordered_json;

std::string MakeTempDir();
void RemoveTree(const std::string& dir);
bool WriteFile(const std::string& path, const std::string& text);
std::string ReadFile(const std::string& path);

// Runs a program to its end; returns its exit status (-1 when it could not run), with its
// standard output and error.
int RunProgram(const std::vector<std::string>& argv, std::string* out, std::string* err,
               int timeoutMs = 20000);

class Daemon {
 public:
  static const char kToken[];
  Daemon();
  ~Daemon();
  // Starts dblinkd on 127.0.0.1 port 0 with a database in its own directory, importing
  // seed when it is not null, and waits for the port file. extra: more arguments.
  bool Start(const Json* seed, bool admin = true, std::vector<std::string> extra = {});
  // Starts again on the same database (after a stop or kill).
  bool Restart(bool admin = true);
  void Signal(int sig);
  // Waits for the process; returns its exit status, or -1 when it ended by a signal or
  // did not end within the time given.
  int Wait(int timeoutMs = 15000);
  bool Alive();

  uint16_t port = 0, adminPort = 0;
  std::string dir, db, log;
  pid_t pid = -1;

 private:
  bool Launch(bool seed, bool admin);
  std::vector<std::string> extra_;
};

class Client {
 public:
  ~Client();
  // from: the local loopback address to connect from ("127.0.0.2"), empty for any.
  bool Connect(uint16_t port, int timeoutMs = 5000, const char* from = nullptr);
  void Close();
  bool Send(const std::string& bytes);
  bool ReadReply(plx::proto::Reply& r);
  // True when the peer has closed the connection (reads 0 bytes within the time-out).
  bool PeerClosed(int timeoutMs = 3000);
  bool Call(const plx::proto::Request& q, plx::proto::Reply& r);
  // DBOperationEx. data empty for reads. Returns the status, -1 on a transport failure.
  int32_t Op(uint32_t table, uint32_t cls, uint32_t op, uint32_t keyNo, const std::string& key,
             const std::string& data, std::string* record = nullptr, uint32_t* rowId = nullptr,
             uint32_t posRowId = 0, int32_t recordLength = -1);
  int fd = -1;
};

// Record bytes and key values built from the shared record structs.
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
std::string KeyBytes(uint32_t table, uint32_t keyNo, const std::string& record);
std::string U32(uint32_t v);

// A small package database: servers SRV (1) and OTHER (2), packages on both with an id
// above 2^31 to catch signed ordering, targeting rows whose names differ only in case,
// dependencies, tasks and installed paths.
Json SampleSeed();

// Counts rows straight from the database file (read-only, beside the running service).
int64_t CountRows(const std::string& db, const std::string& table, const std::string& where = "");
// The rows of a query, one line each, columns ended by '|'.
std::string Query(const std::string& db, const std::string& sql);
// A digest of every row of every table, to prove that nothing changed.
std::string DatabaseDigest(const std::string& db);

// HTTP GET/POST to the admin API; returns the HTTP status, -1 when no connection.
int AdminRequest(uint16_t port, const std::string& method, const std::string& path,
                 const std::string& token, const std::string& body, std::string& reply);

}  // namespace harness
