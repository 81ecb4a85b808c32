#include "options.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace dblink {

const char kUsage[] =
    "usage: dblinkd --db FILE --listen HOST:PORT [--admin-listen HOST:PORT]\n"
    "               [--admin-token-file FILE] [--seed FILE.json] [--port-file FILE]\n"
    "\n"
    "  --db FILE              SQLite database, created on first start\n"
    "  --listen HOST:PORT     requester protocol (PORT 0: any free port)\n"
    "  --admin-listen H:P     admin API (HTTP/JSON); needs --admin-token-file\n"
    "  --admin-token-file F   file holding the admin bearer token\n"
    "  --seed FILE.json       import this document before listening\n"
    "  --port-file FILE       written once listening: requester=PORT, admin=PORT\n"
    "  --idle-timeout SEC     close a requester connection silent this long (900)\n"
    "  --frame-timeout SEC    close one stalled inside a frame this long (30)\n"
    "  --max-per-address N    requester connections from one address (64)\n"
    "  --max-connections N    requester connections in all (0: below the descriptor limit)\n"
    "  --write-rate N         writes per second per connection after the burst (50; 0: none)\n"
    "  --write-burst N        writes a connection may make at once (2000)\n"
    "  --threads N            requester worker threads (one per core)\n"
    "  --help                 this text\n";

bool ParseEndpoint(const std::string& s, Endpoint& out) {
  size_t colon = s.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == s.size()) return false;
  std::string host = s.substr(0, colon), port = s.substr(colon + 1);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned long p = strtoul(port.c_str(), nullptr, 10);
  if (p > 65535) return false;
  out.host = host;
  out.port = uint16_t(p);
  out.set = true;
  return true;
}

bool ParseOptions(int argc, char** argv, Options& o, std::string& error) {
  // A worker thread per core: more would only take turns on the cores, and fewer,
  // busier loops answer more events per wake-up.
  o.limits.threads = std::min(64u, std::max(1u, std::thread::hardware_concurrency()));
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") { o.help = true; return true; }
    std::string* text = a == "--db" ? &o.dbPath
                      : a == "--admin-token-file" ? &o.adminTokenFile
                      : a == "--seed" ? &o.seedFile
                      : a == "--port-file" ? &o.portFile : nullptr;
    Endpoint* ep = a == "--listen" ? &o.listen : a == "--admin-listen" ? &o.adminListen : nullptr;
    Limits& l = o.limits;
    uint32_t* num = a == "--idle-timeout" ? &l.idleTimeoutSec
                  : a == "--frame-timeout" ? &l.frameTimeoutSec
                  : a == "--max-per-address" ? &l.maxPerAddress
                  : a == "--max-connections" ? &l.maxConnections
                  : a == "--write-rate" ? &l.writesPerSecond
                  : a == "--write-burst" ? &l.writeBurst
                  : a == "--threads" ? &l.threads : nullptr;
    if (!text && !ep && !num) { error = "unknown argument '" + a + "'"; return false; }
    if (i + 1 >= argc) { error = a + " needs a value"; return false; }
    std::string v = argv[++i];
    if (num) {
      if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos) {
        error = a + ": expected a number, got '" + v + "'";
        return false;
      }
      *num = uint32_t(strtoul(v.c_str(), nullptr, 10));
    } else if (text) {
      if (v.empty()) { error = a + " needs a value"; return false; }
      *text = v;
    } else if (!ParseEndpoint(v, *ep)) {
      error = a + ": expected HOST:PORT, got '" + v + "'";
      return false;
    }
  }
  if (o.dbPath.empty()) { error = "--db is required"; return false; }
  if (!o.listen.set) { error = "--listen is required"; return false; }
  const Limits& l = o.limits;
  if (l.idleTimeoutSec == 0 || l.frameTimeoutSec == 0 || l.maxPerAddress == 0 || l.threads == 0 ||
      l.threads > 64 || (l.writesPerSecond > 0 && l.writeBurst == 0)) {
    error = "time-outs, --max-per-address, --write-burst and --threads (1-64) must be above 0";
    return false;
  }
  // The admin API changes packages; it never runs without a token.
  if (o.adminListen.set && o.adminTokenFile.empty()) {
    error = "--admin-listen needs --admin-token-file: the admin API is never open without a token";
    return false;
  }
  return true;
}

}  // namespace dblink
