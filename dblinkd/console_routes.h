// The administrator's web console on the admin listener, under /console/. Signing in with
// the admin token gives a session cookie; the console's pages need the session and its
// forms the session's CSRF token. The bearer token of the JSON API opens no page here,
// and the session opens nothing outside /console/.
#pragma once
#include <memory>
#include <string>

#include "console_data.h"
#include "console_sessions.h"
#include "store.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace dblink {

// The value of one cookie in a Cookie header; empty when absent.
std::string CookieValue(const std::string& header, const std::string& name);

// Whether a path is the console's (the listener then leaves its checks to the console).
bool IsConsolePath(const std::string& path);

class Console {
 public:
  // tls: the listener is served over TLS, so the cookie may only travel that way.
  Console(Store& store, std::string token, bool tls, SessionLimits limits = {});
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  void Register(httplib::Server& http);
  // For the listener's pre-routing handler on a console path: true when the console has
  // answered already (no session), false to let the request reach its route.
  bool Gate(const httplib::Request& req, httplib::Response& res);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace dblink
