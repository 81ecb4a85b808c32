// The admin API: HTTP/JSON for pkgadmin. Every request carries the bearer token.
//   POST /import          a document (see document.h), stored in one transaction
//   GET  /export          {"status": [...], "history": [...]}: what workstations wrote
//   GET  /packages /servers /installed /schedules /status /history /tasks /dependencies
// and the administrator's web console under /console/ (console_routes.h), which signs in
// with the same token and then keeps a session of its own.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "options.h"
#include "store.h"

namespace dblink {

class AdminApi {
 public:
  // tls: the listener is served over TLS (the console's cookie is then Secure only).
  AdminApi(Store& store, std::string token, bool tls = false);
  ~AdminApi();
  AdminApi(const AdminApi&) = delete;
  AdminApi& operator=(const AdminApi&) = delete;

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
