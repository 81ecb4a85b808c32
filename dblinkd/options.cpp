#include "options.h"

#include <cstdlib>
#include <cstring>

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
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") { o.help = true; return true; }
    std::string* text = a == "--db" ? &o.dbPath
                      : a == "--admin-token-file" ? &o.adminTokenFile
                      : a == "--seed" ? &o.seedFile
                      : a == "--port-file" ? &o.portFile : nullptr;
    Endpoint* ep = a == "--listen" ? &o.listen : a == "--admin-listen" ? &o.adminListen : nullptr;
    if (!text && !ep) { error = "unknown argument '" + a + "'"; return false; }
    if (i + 1 >= argc) { error = a + " needs a value"; return false; }
    std::string v = argv[++i];
    if (text) {
      if (v.empty()) { error = a + " needs a value"; return false; }
      *text = v;
    } else if (!ParseEndpoint(v, *ep)) {
      error = a + ": expected HOST:PORT, got '" + v + "'";
      return false;
    }
  }
  if (o.dbPath.empty()) { error = "--db is required"; return false; }
  if (!o.listen.set) { error = "--listen is required"; return false; }
  // The admin API changes packages; it never runs without a token.
  if (o.adminListen.set && o.adminTokenFile.empty()) {
    error = "--admin-listen needs --admin-token-file: the admin API is never open without a token";
    return false;
  }
  return true;
}

}  // namespace dblink
