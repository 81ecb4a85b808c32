// The requester protocol on TCP: length-prefixed frames, one reply per request, many
// requests per connection. Each connection lives on one of a few worker threads, each
// with its own event loop: a read is answered on the thread that read its frame, with no
// hand-off; a write goes to the store's writer and its reply comes back to that thread.
// Connections are capped per client address and in all, and closed when idle or stalled.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "options.h"
#include "store.h"

namespace dblink {

struct RequesterStats;

class RequesterServer {
 public:
  RequesterServer(Store& store, const Limits& limits);
  ~RequesterServer();
  RequesterServer(const RequesterServer&) = delete;
  RequesterServer& operator=(const RequesterServer&) = delete;

  // Binds and listens; the port is known afterwards (useful with port 0).
  bool Listen(const Endpoint& ep, std::string& error);
  uint16_t Port() const;
  uint64_t RequestsServed() const;
  // The requests answered so far and the connections, for a scrape.
  void Collect(RequesterStats& out) const;
  void Start();
  // Stops accepting, lets requests in flight get their reply, closes every connection and
  // joins the workers.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace dblink
