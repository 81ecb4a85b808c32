// The requester protocol on TCP: length-prefixed frames, one reply per request, many
// requests per connection. A few worker threads serve all connections; each connection's
// frames are handled in order on its own strand.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "options.h"
#include "store.h"

namespace dblink {

class RequesterServer {
 public:
  RequesterServer(Store& store, int threads);
  ~RequesterServer();
  RequesterServer(const RequesterServer&) = delete;
  RequesterServer& operator=(const RequesterServer&) = delete;

  // Binds and listens; the port is known afterwards (useful with port 0).
  bool Listen(const Endpoint& ep, std::string& error);
  uint16_t Port() const;
  uint64_t RequestsServed() const;
  void Start();
  // Stops accepting, lets requests in flight get their reply, closes every connection and
  // joins the workers.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace dblink
