#include "admin_api.h"

#include <httplib.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <atomic>
#include <chrono>
#include <thread>

#include "console_routes.h"
#include "console_sessions.h"
#include "document.h"
#include "metrics.h"

namespace dblink {

namespace {

std::string Dump(const Json& j) {
  // Texts written by workstations are raw bytes; never let one break the reply.
  return j.dump(1, ' ', false, Json::error_handler_t::replace) + "\n";
}

void Error(httplib::Response& res, int code, const std::string& msg) {
  res.status = code;
  res.set_content(Dump(Json{{"error", msg}}), "application/json");
}

bool ListTable(Store& store, uint32_t table, const Filter* f, Json& out) {
  const plx::TableDef* t = plx::FindTable(table);
  std::vector<Row> rows;
  if (!store.Scan(*t, f, rows)) return false;
  out = Json::array();
  for (const Row& r : rows) out.push_back(RecordToJson(*t, r.bytes));
  return true;
}

// History rows with their text joined in as "Text".
bool ListHistory(Store& store, Json& out) {
  const plx::TableDef* ht = plx::FindTable(plx::kTableHistory);
  const plx::TableDef* tt = plx::FindTable(plx::kTableHistoryText);
  std::vector<Row> hist, texts;
  if (!store.Scan(*ht, nullptr, hist) || !store.Scan(*tt, nullptr, texts)) return false;
  std::map<uint32_t, std::string> byId;
  for (const Row& r : texts) {
    Json j = RecordToJson(*tt, r.bytes);
    byId[j["TextId"].get<uint32_t>()] = j["Text"].get<std::string>();
  }
  out = Json::array();
  for (const Row& r : hist) {
    Json j = RecordToJson(*ht, r.bytes);
    auto it = byId.find(j["TextId"].get<uint32_t>());
    j["Text"] = it == byId.end() ? "" : it->second;
    out.push_back(std::move(j));
  }
  return true;
}

std::string OpenSslReason() {
  std::string reason;
  // The last error queued is the most precise one.
  for (unsigned long e; (e = ERR_get_error()) != 0;) {
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    reason = text;
  }
  return reason.empty() ? "" : " (" + reason + ")";
}

// A key file protected by a pass phrase is refused, never asked for on a terminal.
int NoPassPhrase(char*, int, int, void*) { return 0; }

bool Readable(const std::string& path, const char* what, std::string& error) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    error = std::string("cannot read ") + what + " " + path + ": " + strerror(errno);
    return false;
  }
  fclose(f);
  return true;
}

// Loads the listener's certificate chain and key; the error names the file at fault.
bool SetUpTls(SSL_CTX& ctx, const TlsFiles& tls, std::string& error) {
  ERR_clear_error();
  if (!Readable(tls.cert, "certificate file", error) || !Readable(tls.key, "private key file", error)) return false;
  SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION);
  if (SSL_CTX_use_certificate_chain_file(&ctx, tls.cert.c_str()) != 1) {
    error = tls.cert + ": not a PEM certificate" + OpenSslReason();
    return false;
  }
  FILE* f = fopen(tls.key.c_str(), "rb");
  EVP_PKEY* key = f ? PEM_read_PrivateKey(f, nullptr, NoPassPhrase, nullptr) : nullptr;
  if (f) fclose(f);
  if (!key) {
    error = tls.key + ": not a PEM private key without a pass phrase" + OpenSslReason();
    return false;
  }
  bool matches = X509_check_private_key(SSL_CTX_get0_certificate(&ctx), key) == 1;
  bool used = matches && SSL_CTX_use_PrivateKey(&ctx, key) == 1;
  EVP_PKEY_free(key);
  if (!matches) {
    ERR_clear_error();
    error = "the private key in " + tls.key + " does not match the certificate in " + tls.cert;
    return false;
  }
  if (!used) error = tls.key + ": the key cannot be used" + OpenSslReason();
  return used;
}

}  // namespace

bool TlsFilesUsable(const TlsFiles& tls, std::string& error) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx) {
    error = "admin API TLS: cannot set up" + OpenSslReason();
    return false;
  }
  bool ok = SetUpTls(*ctx, tls, error);
  SSL_CTX_free(ctx);
  if (!ok) error = "admin API TLS: " + error;
  return ok;
}

namespace {

std::unique_ptr<httplib::Server> MakeServer(const TlsFiles& tls, std::string& error) {
  if (!tls.On()) return std::unique_ptr<httplib::Server>(new httplib::Server);
  return std::unique_ptr<httplib::Server>(
      new httplib::SSLServer([&tls, &error](SSL_CTX& ctx) { return SetUpTls(ctx, tls, error); }));
}

}  // namespace

// Slow clients each hold one of the admin threads until a read times out; enough threads
// that a few dozen of them leave room for the administrator, and time-outs short enough
// that they let go soon. Keep-alive is short and bounded for the same reason.
constexpr size_t kAdminThreads = 96;
constexpr time_t kAdminIoTimeoutSec = 5;
constexpr time_t kKeepAliveSec = 2;
constexpr size_t kKeepAliveRequests = 20;

struct AdminApi::Impl {
  Store& store;
  std::string token;
  std::string tlsError;  // why the TLS listener cannot be set up
  std::unique_ptr<httplib::Server> server;
  httplib::Server& http;
  std::thread thread;
  std::atomic<bool> ended{false};
  Console console;
  Impl(Store& s, std::string t, const TlsFiles& tls)
      : store(s), token(std::move(t)), server(MakeServer(tls, tlsError)), http(*server), console(s, token, tls.On()) {}

  void Routes() {
    http.new_task_queue = [] { return new httplib::ThreadPool(kAdminThreads); };
    http.set_read_timeout(kAdminIoTimeoutSec, 0);
    http.set_write_timeout(kAdminIoTimeoutSec, 0);
    http.set_keep_alive_timeout(kKeepAliveSec);
    http.set_keep_alive_max_count(kKeepAliveRequests);
    http.set_payload_max_length(kMaxDocumentBytes);
    // httplib's default adds SO_REUSEPORT, with which a second service binds the same port
    // and both seem to listen; a port in use must fail the start instead.
    http.set_socket_options([](socket_t sock) {
      int yes = 1;
      setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
      // Inherited by every accepted connection: a reply's headers and body go out as two
      // writes, and Nagle would hold the body for the client's delayed ACK (40 ms).
      setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    });
    http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      // The console checks its own sessions; the bearer token opens none of its pages.
      if (IsConsolePath(req.path))
        return console.Gate(req, res) ? httplib::Server::HandlerResponse::Handled
                                      : httplib::Server::HandlerResponse::Unhandled;
      std::string auth = req.get_header_value("Authorization");
      const std::string prefix = "Bearer ";
      if (auth.compare(0, prefix.size(), prefix) != 0 || !SameToken(auth.substr(prefix.size()), token)) {
        Error(res, 401, "missing or wrong bearer token");
        return httplib::Server::HandlerResponse::Handled;
      }
      return httplib::Server::HandlerResponse::Unhandled;
    });
    http.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
      if (!res.body.empty()) return;
      if (res.status == 404) Error(res, 404, "no such endpoint: " + req.method + " " + req.path);
      else if (res.status == 413)
        Error(res, 413, "document larger than the " + std::to_string(kMaxDocumentBytes) + " bytes the service takes");
      else Error(res, res.status, "request refused (HTTP " + std::to_string(res.status) + ")");
    });
    http.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
      std::string what = "internal error";
      try { if (ep) std::rethrow_exception(ep); } catch (const std::exception& e) { what = e.what(); } catch (...) {}
      Error(res, 500, what);
    });

    console.Register(http);

    http.Post("/import", [this](const httplib::Request& req, httplib::Response& res) {
      Json j;
      Document doc;
      std::string error;
      if (!ParseJsonText(req.body, j, error)) return Error(res, 400, "JSON " + error);
      if (!ParseDocument(j, doc, error)) return Error(res, 400, error);
      if (!store.Import(doc, error)) return Error(res, 500, "import failed: " + error);
      Json counts = Json::object();
      for (const Document::Table& t : doc.tables) counts[ArrayName(t.def->id)] = t.rows.size();
      counts["installed"] = doc.installed.size();
      fprintf(stderr, "dblinkd: imported %s\n", counts.dump().c_str());
      res.set_content(Dump(Json{{"imported", counts}}), "application/json");
    });

    struct Listing { const char* path; uint32_t table; const char* name; bool filtered; uint32_t scheduled; };
    // Targeting rows are the administrator's (Scheduled 1); status rows the workstations'.
    static const Listing listings[] = {
        {"/servers", plx::kTableServer, "servers", false, 0},
        {"/packages", plx::kTablePackage, "packages", false, 0},
        {"/schedules", plx::kTableUserPackage, "package_users", true, 1},
        {"/status", plx::kTableUserPackage, "status", true, 0},
        {"/dependencies", plx::kTableDependency, "dependencies", false, 0},
        {"/tasks", plx::kTableTask, "tasks", false, 0},
    };
    for (const Listing& l : listings) {
      http.Get(l.path, [this, &l](const httplib::Request&, httplib::Response& res) {
        Filter f{"Scheduled", l.scheduled};
        Json rows;
        if (!ListTable(store, l.table, l.filtered ? &f : nullptr, rows)) return Error(res, 500, "database read failed");
        res.set_content(Dump(Json{{l.name, rows}}), "application/json");
      });
    }
    http.Get("/installed", [this](const httplib::Request&, httplib::Response& res) {
      std::vector<InstalledPath> all;
      if (!store.ScanInstalled(all)) return Error(res, 500, "database read failed");
      Json rows = Json::array();
      for (const InstalledPath& p : all) rows.push_back(InstalledToJson(p));
      res.set_content(Dump(Json{{"installed", rows}}), "application/json");
    });
    http.Get("/history", [this](const httplib::Request&, httplib::Response& res) {
      Json rows;
      if (!ListHistory(store, rows)) return Error(res, 500, "database read failed");
      res.set_content(Dump(Json{{"history", rows}}), "application/json");
    });
    http.Get("/export", [this](const httplib::Request&, httplib::Response& res) {
      Filter f{"Scheduled", 0};
      Json status, history;
      if (!ListTable(store, plx::kTableUserPackage, &f, status) || !ListHistory(store, history))
        return Error(res, 500, "database read failed");
      res.set_content(Dump(Json{{"status", status}, {"history", history}}), "application/json");
    });
  }
};

AdminApi::AdminApi(Store& store, std::string token, const TlsFiles& tls) : impl_(new Impl(store, std::move(token), tls)) {
  impl_->Routes();
}

AdminApi::~AdminApi() { Stop(); }

void AdminApi::ServeMetrics(std::function<std::string()> render) {
  impl_->http.Get("/metrics", [render = std::move(render)](const httplib::Request&, httplib::Response& res) {
    res.set_content(render(), kMetricsContentType);
  });
}

bool AdminApi::Listen(const Endpoint& ep, std::string& error) {
  if (!impl_->http.is_valid()) {
    error = "admin API TLS: " + (impl_->tlsError.empty() ? std::string("cannot set up") : impl_->tlsError);
    return false;
  }
  std::string host = ep.host == "localhost" ? "127.0.0.1" : ep.host;
  if (ep.port == 0) {
    int p = impl_->http.bind_to_any_port(host);
    if (p <= 0) { error = "cannot listen on " + ep.host + ":0 for the admin API"; return false; }
    port_ = uint16_t(p);
  } else {
    if (!impl_->http.bind_to_port(host, ep.port)) {
      error = "cannot listen on " + ep.host + ":" + std::to_string(ep.port) + " for the admin API";
      return false;
    }
    port_ = ep.port;
  }
  return true;
}

bool AdminApi::Start(std::string& error) {
  impl_->thread = std::thread([this] {
    impl_->http.listen_after_bind();
    impl_->ended = true;
  });
  // httplib's stop() does nothing to a server whose loop has not begun yet, and the loop
  // would then never end: return only once it runs, or failed.
  while (!impl_->http.is_running() && !impl_->ended)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (impl_->http.is_running()) return true;
  impl_->thread.join();
  error = "the admin API did not start listening on port " + std::to_string(port_);
  return false;
}

void AdminApi::Stop() {
  if (!impl_->thread.joinable()) return;
  impl_->http.stop();
  impl_->thread.join();
}

bool ReadTokenFile(const std::string& path, std::string& token, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) { error = "cannot read token file " + path; return false; }
  std::stringstream ss;
  ss << in.rdbuf();
  token = ss.str();
  const char* ws = " \t\r\n";
  size_t a = token.find_first_not_of(ws);
  if (a == std::string::npos) { error = "token file " + path + " is empty"; return false; }
  token = token.substr(a, token.find_last_not_of(ws) - a + 1);
  return true;
}

}  // namespace dblink
