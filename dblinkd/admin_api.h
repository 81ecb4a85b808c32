// The admin API: HTTP/JSON for pkgadmin. Every request carries the bearer token.
//   POST /import          a document (see document.h), stored in one transaction
//   GET  /export          {"status": [...], "history": [...]}: what workstations wrote
//   GET  /packages /servers /installed /schedules /status /history /tasks /dependencies
//   GET  /metrics         the service's measurements for monitoring (metrics.h)
// and the administrator's web console under /console/ (console_routes.h), which signs in
// with the same token and then keeps a session of its own.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "options.h"
#include "store.h"

namespace dblink {

// The certificate chain and private key (PEM files) of a listener that speaks TLS.
struct TlsFiles {
  std::string cert, key;
  bool On() const { return !cert.empty(); }
};

// The files can serve a TLS listener (readable, PEM, a key without a pass phrase that
// matches the certificate); false with the reason. Checked at start-up before anything
// else is made, so that a wrong file leaves no database behind.
bool TlsFilesUsable(const TlsFiles& tls, std::string& error);

class AdminApi {
 public:
  // tls given: the listener speaks TLS only (and the console's cookie is Secure). A file
  // that cannot be used fails Listen with the reason.
  AdminApi(Store& store, std::string token, const TlsFiles& tls = {});
  ~AdminApi();
  AdminApi(const AdminApi&) = delete;
  AdminApi& operator=(const AdminApi&) = delete;

  // GET /metrics answers with what render gives. Before Start.
  void ServeMetrics(std::function<std::string()> render);
  bool Listen(const Endpoint& ep, std::string& error);
  uint16_t Port() const { return port_; }
  // Runs the listener; false with error when it does not come up.
  bool Start(std::string& error);
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  uint16_t port_ = 0;
};

// Reads the token file: its content without surrounding white space. False when it cannot
// be read or is empty.
bool ReadTokenFile(const std::string& path, std::string& token, std::string& error);

}  // namespace dblink
