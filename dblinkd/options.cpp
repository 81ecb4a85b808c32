#include "options.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

namespace dblink {

const char kUsage[] =
    "usage: dblinkd --db FILE --listen HOST:PORT [--admin-listen HOST:PORT]\n"
    "               [--admin-token-file FILE] [--admin-cert FILE --admin-key FILE]\n"
    "               [--seed FILE.json] [--port-file FILE] [--config FILE]\n"
    "\n"
    "  --config FILE          options as 'name = value' lines (long names without dashes,\n"
    "                         flags as 'name = true', # comments); the command line wins\n"
    "  --db FILE              SQLite database, created on first start\n"
    "  --listen HOST:PORT     requester protocol (PORT 0: any free port)\n"
    "  --admin-listen H:P     admin API (HTTP/JSON); needs --admin-token-file\n"
    "  --admin-token-file F   file holding the admin bearer token\n"
    "  --admin-cert FILE      the admin API speaks TLS with this certificate (PEM, chain first)\n"
    "  --admin-key FILE       and this private key (PEM); both or neither\n"
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

namespace {

const char kConfigName[] = "config";
const char kWhiteSpace[] = " \t\r";

// One option given, by its long name without dashes; line 0: from the command line.
struct Setting {
  std::string name, value;
  int line = 0;
};

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(kWhiteSpace);
  return a == std::string::npos ? "" : s.substr(a, s.find_last_not_of(kWhiteSpace) - a + 1);
}

// Where each option lands in Options; exactly one of the pointers is set for a known name.
struct Target {
  std::string* text = nullptr;
  Endpoint* endpoint = nullptr;
  uint32_t* number = nullptr;
  bool* flag = nullptr;
};

Target Find(Options& o, const std::string& n) {
  Target t;
  Limits& l = o.limits;
  t.text = n == "db" ? &o.dbPath
         : n == "admin-token-file" ? &o.adminTokenFile
         : n == "admin-cert" ? &o.adminCert
         : n == "admin-key" ? &o.adminKey
         : n == "seed" ? &o.seedFile
         : n == "port-file" ? &o.portFile
         : n == kConfigName ? &o.configFile : nullptr;
  t.endpoint = n == "listen" ? &o.listen : n == "admin-listen" ? &o.adminListen : nullptr;
  t.number = n == "idle-timeout" ? &l.idleTimeoutSec
           : n == "frame-timeout" ? &l.frameTimeoutSec
           : n == "max-per-address" ? &l.maxPerAddress
           : n == "max-connections" ? &l.maxConnections
           : n == "write-rate" ? &l.writesPerSecond
           : n == "write-burst" ? &l.writeBurst
           : n == "threads" ? &l.threads : nullptr;
  t.flag = n == "help" ? &o.help : nullptr;
  return t;
}

bool Known(Options& o, const std::string& name) {
  Target t = Find(o, name);
  return t.text || t.endpoint || t.number || t.flag;
}

bool IsFlag(Options& o, const std::string& name) { return Find(o, name).flag != nullptr; }

// Stores one value; error says what is wrong with it, without the option's name.
bool Apply(Options& o, const Setting& s, std::string& error) {
  Target t = Find(o, s.name);
  const std::string& v = s.value;
  if (t.flag) {
    if (v != "true" && v != "false") { error = "expected true or false, got '" + v + "'"; return false; }
    *t.flag = v == "true";
  } else if (v.empty()) {
    error = "needs a value";
    return false;
  } else if (t.number) {
    if (v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos) {
      error = "expected a number, got '" + v + "'";
      return false;
    }
    *t.number = uint32_t(strtoul(v.c_str(), nullptr, 10));
  } else if (t.text) {
    *t.text = v;
  } else if (!ParseEndpoint(v, *t.endpoint)) {
    error = "expected HOST:PORT, got '" + v + "'";
    return false;
  }
  return true;
}

bool ParseArgs(int argc, char** argv, Options& o, std::vector<Setting>& out, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h") a = "--help";
    std::string name = a.compare(0, 2, "--") == 0 ? a.substr(2) : "";
    if (name.empty() || !Known(o, name)) { error = "unknown argument '" + a + "'"; return false; }
    if (IsFlag(o, name)) { out.push_back({name, "true"}); continue; }
    if (i + 1 >= argc) { error = a + " needs a value"; return false; }
    out.push_back({name, argv[++i]});
  }
  return true;
}

// Blank lines and lines starting with '#' are skipped; a value runs to the end of its line,
// so that a path may hold '#' or spaces.
bool ParseConfig(const std::string& file, const std::string& text, Options& o, std::vector<Setting>& out,
                 std::string& error) {
  std::istringstream in(text);
  std::string raw;
  for (int line = 1; std::getline(in, raw); ++line) {
    std::string l = Trim(raw);
    if (l.empty() || l[0] == '#') continue;
    std::string where = file + ":" + std::to_string(line) + ": ";
    size_t eq = l.find('=');
    if (eq == std::string::npos) { error = where + "expected 'name = value', got '" + l + "'"; return false; }
    Setting s{Trim(l.substr(0, eq)), Trim(l.substr(eq + 1)), line};
    if (!Known(o, s.name)) { error = where + "unknown option '" + s.name + "'"; return false; }
    if (s.name == kConfigName) { error = where + "a config file cannot name another one"; return false; }
    out.push_back(std::move(s));
  }
  return true;
}

}  // namespace

bool ReadConfigFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream ss;
  ss << in.rdbuf();
  text = ss.str();
  return !in.bad();
}

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

bool ParseOptions(int argc, char** argv, Options& o, std::string& error, const ReadFileFn& readFile) {
  // A worker thread per core: more would only take turns on the cores, and fewer,
  // busier loops answer more events per wake-up.
  o.limits.threads = std::min(64u, std::max(1u, std::thread::hardware_concurrency()));
  std::vector<Setting> args, settings;
  if (!ParseArgs(argc, argv, o, args, error)) return false;
  for (const Setting& a : args) {
    if (a.name == "help") { o.help = true; return true; }
    if (a.name == kConfigName) o.configFile = a.value;
  }
  // The file first, so that what the command line says replaces it.
  if (!o.configFile.empty()) {
    std::string text;
    if (!readFile(o.configFile, text)) { error = "cannot read config file " + o.configFile; return false; }
    if (!ParseConfig(o.configFile, text, o, settings, error)) return false;
  }
  settings.insert(settings.end(), args.begin(), args.end());
  for (const Setting& s : settings) {
    if (Apply(o, s, error)) continue;
    error = (s.line ? o.configFile + ":" + std::to_string(s.line) + ": " + s.name : "--" + s.name) + ": " + error;
    return false;
  }
  if (o.help) return true;
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
  if (o.adminCert.empty() != o.adminKey.empty()) {
    error = "--admin-cert and --admin-key go together: give both or neither";
    return false;
  }
  if (!o.adminCert.empty() && !o.adminListen.set) {
    error = "--admin-cert and --admin-key need --admin-listen";
    return false;
  }
  return true;
}

}  // namespace dblink
