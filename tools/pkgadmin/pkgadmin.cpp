// pkgadmin: imports package documents into dblinkd and lists what it holds, through the
// admin API. Exit status: 0 done, 1 server or data error, 2 usage.
#include <httplib.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "document.h"
#include "text_table.h"

using dblink::Json;

namespace {

const char kDefaultUrl[] = "http://127.0.0.1:7311";

const char kUsage[] =
    "usage: pkgadmin [--url URL] [--token-file FILE] [--cacert FILE] COMMAND [ARGS]\n"
    "\n"
    "  --url URL          admin API of dblinkd (default $PKGADMIN_URL or http://127.0.0.1:7311)\n"
    "  --token-file FILE  file holding the admin token (default $PKGADMIN_TOKEN_FILE)\n"
    "  --cacert FILE      the admin API speaks TLS (https): trust the CA certificates in FILE\n"
    "                     (PEM) to sign its certificate (default $PKGADMIN_CACERT)\n"
    "\n"
    "commands:\n"
    "  import FILE                  add or replace the servers, packages, targeting rows,\n"
    "                               dependencies, tasks and installed paths of a JSON document\n"
    "  export [--out FILE]          status rows and history as JSON\n"
    "  list WHAT [--json]           WHAT: packages, schedules, status, history, servers,\n"
    "                               tasks, dependencies, installed\n"
    "\n"
    "Every command takes --help.\n";

const char kImportUsage[] =
    "usage: pkgadmin import FILE\n"
    "\n"
    "FILE is a JSON object with any of the arrays \"servers\", \"installed\", \"packages\",\n"
    "\"package_users\", \"dependencies\", \"tasks\". Elements are objects keyed by record field\n"
    "names (PackageId, Name, Status \"A\", StartDate \"1997-11-04\", TimeFrom \"08:00:00\", ...);\n"
    "absent fields are zero or empty. \"installed\" elements: Server, Item, Path, Second.\n"
    "The file is checked here first; the service stores it all or nothing.\n";

const char kExportUsage[] =
    "usage: pkgadmin export [--out FILE]\n"
    "\n"
    "Writes {\"status\": [...], \"history\": [...]}: the status rows workstations keep\n"
    "(Scheduled 0) and the history entries with their texts. Standard output by default.\n";

const char kListUsage[] =
    "usage: pkgadmin list WHAT [--json]\n"
    "\n"
    "WHAT: packages, schedules (targeting rows), status (status rows), history, servers,\n"
    "tasks, dependencies, installed. A readable table, or the service's JSON with --json.\n";

const char kHttp[] = "http://";
const char kHttps[] = "https://";

struct Global {
  std::string url;
  std::string tokenFile;
  std::string caCert;  // empty over https: the system's CA certificates
};

bool StartsWith(const std::string& s, const char* prefix) { return s.compare(0, strlen(prefix), prefix) == 0; }

// Why a TLS connection failed, in the administrator's terms.
std::string TlsFailure(const Global& g, httplib::Client& c, httplib::Error e) {
  std::string trusted = g.caCert.empty() ? "the system's CA certificates" : "the CA certificates in " + g.caCert;
  if (e == httplib::Error::SSLLoadingCerts) return "cannot load " + trusted;
  if (e == httplib::Error::SSLServerVerification) {
    long v = c.get_openssl_verify_result();
    if (v != X509_V_OK)
      return "the certificate of " + g.url + " is not trusted: " + X509_verify_cert_error_string(v) +
             "; --cacert must name the CA that signed the admin listener's certificate (checked against " +
             trusted + ")";
    return "the certificate of " + g.url + " does not name the host of the URL";
  }
  return "the TLS handshake with " + g.url + " failed: does dblinkd's admin listener have --admin-cert and "
         "--admin-key, and is this its admin port?";
}

int Usage(const std::string& msg, const char* usage = kUsage) {
  fprintf(stderr, "pkgadmin: %s\n%s", msg.c_str(), usage);
  return 2;
}

int Fail(const std::string& msg) {
  fprintf(stderr, "pkgadmin: %s\n", msg.c_str());
  return 1;
}

// One request to the admin API. Returns 0 with the parsed reply, else the exit status
// after printing what went wrong.
int Call(const Global& g, const std::string& method, const std::string& path, const std::string& body,
         Json& reply) {
  std::string token;
  if (g.tokenFile.empty()) return Usage("no token: give --token-file or set PKGADMIN_TOKEN_FILE");
  if (!dblink::ReadTextFile(g.tokenFile, token)) return Fail("cannot read token file " + g.tokenFile);
  const char* ws = " \t\r\n";
  size_t a = token.find_first_not_of(ws);
  token = a == std::string::npos ? "" : token.substr(a, token.find_last_not_of(ws) - a + 1);
  if (token.empty()) return Fail("token file " + g.tokenFile + " is empty");

  httplib::Client c(g.url);
  if (!c.is_valid()) return Usage("--url: not a usable URL: " + g.url);
  bool tls = StartsWith(g.url, kHttps);
  if (tls) {
    if (!g.caCert.empty()) c.set_ca_cert_path(g.caCert);
    c.enable_server_certificate_verification(true);
  }
  c.set_connection_timeout(5);
  c.set_read_timeout(60);
  httplib::Headers h = {{"Authorization", "Bearer " + token}};
  httplib::Result r = method == "POST" ? c.Post(path.c_str(), h, body, "application/json")
                                       : c.Get(path.c_str(), h);
  if (!r) {
    httplib::Error e = r.error();
    if (e == httplib::Error::SSLConnection || e == httplib::Error::SSLLoadingCerts ||
        e == httplib::Error::SSLServerVerification)
      return Fail(TlsFailure(g, c, e));
    // Connected, but what answered did not speak HTTP back: another service's port.
    if (!tls && (e == httplib::Error::Read || e == httplib::Error::Write))
      return Fail(g.url + " accepted the connection but gave no HTTP reply: is it dblinkd's admin port "
                  "(--admin-listen), not its requester port or another service? If it speaks TLS, "
                  "give --cacert (https)");
    return Fail("cannot reach " + g.url + ": " + httplib::to_string(r.error()));
  }
  std::string error;
  if (!dblink::ParseJsonText(r->body, reply, error) || !reply.is_object())
    return Fail(g.url + path + ": HTTP " + std::to_string(r->status) +
                ", the reply is not the admin API's JSON: is this dblinkd's admin port?");
  if (r->status != 200) {
    std::string what = reply.contains("error") && reply["error"].is_string() ? reply["error"].get<std::string>() : r->body;
    return Fail(g.url + path + ": HTTP " + std::to_string(r->status) + ": " + what);
  }
  return 0;
}

bool HasHelp(const std::vector<std::string>& args) {
  for (const std::string& a : args)
    if (a == "--help" || a == "-h") return true;
  return false;
}

int Import(const Global& g, const std::vector<std::string>& args) {
  if (HasHelp(args)) { fputs(kImportUsage, stdout); return 0; }
  if (args.size() != 1) return Usage("import takes one FILE", kImportUsage);
  const std::string& file = args[0];
  std::string text, error;
  std::error_code ec;
  uintmax_t size = std::filesystem::file_size(file, ec);
  if (!ec && size > dblink::kMaxDocumentBytes)
    return Fail(file + ": " + std::to_string(size) + " bytes, more than the " +
                std::to_string(dblink::kMaxDocumentBytes) + " a document may have; split it in several imports");
  if (ec || !dblink::ReadTextFile(file, text)) return Fail("cannot read " + file);
  Json j;
  dblink::Document doc;
  if (!dblink::ParseJsonText(text, j, error) || !dblink::ParseDocument(j, doc, error))
    return Fail(file + ": " + error);
  Json reply;
  if (int rc = Call(g, "POST", "/import", text, reply)) return rc;
  std::string summary;
  for (auto it = reply["imported"].begin(); it != reply["imported"].end(); ++it)
    summary += (summary.empty() ? "" : ", ") + it.key() + " " + it.value().dump();
  printf("imported %s: %s\n", file.c_str(), summary.c_str());
  return 0;
}

int Export(const Global& g, const std::vector<std::string>& args) {
  if (HasHelp(args)) { fputs(kExportUsage, stdout); return 0; }
  std::string out;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--out" && i + 1 < args.size()) out = args[++i];
    else return Usage("export: unexpected '" + args[i] + "'", kExportUsage);
  }
  Json reply;
  if (int rc = Call(g, "GET", "/export", "", reply)) return rc;
  std::string text = reply.dump(1, ' ', false, Json::error_handler_t::replace) + "\n";
  if (out.empty()) {
    fputs(text.c_str(), stdout);
    return 0;
  }
  // A half-written export never replaces a good one.
  std::string tmp = out + ".tmp" + std::to_string(getpid());
  std::ofstream f(tmp, std::ios::binary);
  f << text;
  f.close();
  if (!f || rename(tmp.c_str(), out.c_str()) != 0) {
    unlink(tmp.c_str());
    return Fail("cannot write " + out);
  }
  fprintf(stderr, "exported %zu status rows and %zu history entries to %s\n", reply["status"].size(),
          reply["history"].size(), out.c_str());
  return 0;
}

std::string CellText(const Json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_null()) return "";
  return v.dump();
}

// Option and flag words read best as bits.
std::string Hex(uint32_t v) {
  char b[16];
  snprintf(b, sizeof b, "0x%04X", v);
  return b;
}

// The columns worth a glance; all fields are in --json.
std::vector<std::string> Columns(const std::string& what, const Json& rows) {
  if (what == "packages")
    return {"ServerId", "PackageId", "Name", "Status", "StartDate", "ForceDate", "Options", "TargetOs", "Flags", "InstallPath"};
  if (what == "schedules") return {"RecordId", "ServerId", "PackageId", "TargetKind", "TargetName", "SourceRef"};
  if (what == "status")
    return {"RecordId", "PackageUserId", "ServerId", "PackageId", "TargetKind", "TargetName", "Counterpart",
            "PackageStatus", "RefusalCount", "FailureCount"};
  if (what == "history") return {"Date", "Time", "ServerId", "PackageId", "PackageUserId", "UserName", "Text"};
  std::vector<std::string> all;
  if (!rows.empty())
    for (auto it = rows[0].begin(); it != rows[0].end(); ++it) all.push_back(it.key());
  return all;
}

int List(const Global& g, const std::vector<std::string>& args) {
  if (HasHelp(args)) { fputs(kListUsage, stdout); return 0; }
  struct Kind { const char* what; const char* path; const char* array; };
  static const Kind kinds[] = {
      {"packages", "/packages", "packages"}, {"schedules", "/schedules", "package_users"},
      {"status", "/status", "status"},       {"history", "/history", "history"},
      {"servers", "/servers", "servers"},    {"tasks", "/tasks", "tasks"},
      {"dependencies", "/dependencies", "dependencies"}, {"installed", "/installed", "installed"},
  };
  const Kind* kind = nullptr;
  bool json = false;
  for (const std::string& a : args) {
    if (a == "--json") { json = true; continue; }
    if (kind) return Usage("list: unexpected '" + a + "'", kListUsage);
    for (const Kind& k : kinds)
      if (a == k.what) kind = &k;
    if (!kind) return Usage("list: unknown table '" + a + "'", kListUsage);
  }
  if (!kind) return Usage("list: say what to list", kListUsage);
  Json reply;
  if (int rc = Call(g, "GET", kind->path, "", reply)) return rc;
  if (json) {
    printf("%s\n", reply.dump(1, ' ', false, Json::error_handler_t::replace).c_str());
    return 0;
  }
  const Json& rows = reply[kind->array];
  pkgadmin::TextTable t;
  t.header = Columns(kind->what, rows);
  for (const Json& r : rows) {
    std::vector<std::string> cells;
    for (const std::string& c : t.header) {
      bool bits = (c == "Options" || c == "Flags") && r.contains(c) && r[c].is_number_unsigned();
      cells.push_back(bits ? Hex(r[c].get<uint32_t>()) : r.contains(c) ? CellText(r[c]) : "");
    }
    t.rows.push_back(std::move(cells));
  }
  fputs(pkgadmin::FormatTable(t).c_str(), stdout);
  printf("(%zu %s)\n", rows.size(), rows.size() == 1 ? "row" : "rows");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Global g;
  const char* envUrl = getenv("PKGADMIN_URL");
  const char* envToken = getenv("PKGADMIN_TOKEN_FILE");
  const char* envCa = getenv("PKGADMIN_CACERT");
  g.url = envUrl && *envUrl ? envUrl : kDefaultUrl;
  g.tokenFile = envToken ? envToken : "";
  g.caCert = envCa ? envCa : "";
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") { fputs(kUsage, stdout); return 0; }
    bool valued = a == "--url" || a == "--token-file" || a == "--cacert";
    if (valued && i + 1 < argc) {
      (a == "--url" ? g.url : a == "--token-file" ? g.tokenFile : g.caCert) = argv[++i];
      continue;
    }
    return Usage(valued ? a + " needs a value" : "unknown option '" + a + "'");
  }
  // A CA to check the service against means the service speaks TLS.
  if (!g.caCert.empty() && StartsWith(g.url, kHttp)) g.url = kHttps + g.url.substr(strlen(kHttp));
  if (!StartsWith(g.url, kHttp) && !StartsWith(g.url, kHttps))
    return Usage("--url must start with http:// or https://, got '" + g.url + "'");
  std::string caText;
  if (!g.caCert.empty() && !dblink::ReadTextFile(g.caCert, caText)) return Fail("cannot read CA file " + g.caCert);
  if (i >= argc) return Usage("no command");
  std::string cmd = argv[i];
  std::vector<std::string> args(argv + i + 1, argv + argc);
  try {
    if (cmd == "import") return Import(g, args);
    if (cmd == "export") return Export(g, args);
    if (cmd == "list") return List(g, args);
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
  return Usage("unknown command '" + cmd + "'");
}
