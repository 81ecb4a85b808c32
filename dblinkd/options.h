// dblinkd's command line.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace dblink {

struct Endpoint {
  std::string host;
  uint16_t port = 0;  // 0: the system picks one
  bool set = false;
};

// Connection hygiene and write budget of the requester port. Defaults sit far above what
// an honest agent does: it pauses between requests while a package installs (it opens its
// connection again when the service closed it), sends a frame in one piece, keeps one
// connection, and writes a few rows per package it runs.
struct Limits {
  uint32_t idleTimeoutSec = 900;    // a connection silent this long is closed
  uint32_t frameTimeoutSec = 30;    // a frame (or a reply) stalled this long: closed
  uint32_t maxPerAddress = 64;      // connections from one client address
  uint32_t maxConnections = 0;      // in all; 0: from the descriptor limit
  uint32_t writesPerSecond = 50;    // per connection, after a burst of
  uint32_t writeBurst = 2000;       // writes; writesPerSecond 0: no limit
  uint32_t threads = 1;             // worker threads of the requester port (dblinkd: one per core)
};

struct Options {
  std::string dbPath;
  Endpoint listen;
  Endpoint adminListen;
  std::string adminTokenFile;
  std::string adminCert;  // both set: the admin API speaks TLS
  std::string adminKey;
  std::string configFile;
  std::string seedFile;
  std::string portFile;
  Limits limits;
  bool help = false;
};

extern const char kUsage[];

// Gives a file's whole text; false when it cannot be read.
using ReadFileFn = std::function<bool(const std::string& path, std::string& text)>;
bool ReadConfigFile(const std::string& path, std::string& text);

// False with error set when the arguments are wrong. `--config FILE` is read through
// readFile: its `name = value` lines are options by their long names without the dashes,
// and the command line wins over them.
bool ParseOptions(int argc, char** argv, Options& out, std::string& error,
                  const ReadFileFn& readFile = ReadConfigFile);
bool ParseEndpoint(const std::string& s, Endpoint& out);

}  // namespace dblink
