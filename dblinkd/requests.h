// Answers one requester frame. Everything about a request is checked before the database
// is touched; workstations may read every table and write only their own status and
// history rows.
#pragma once
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "plx/proto.h"
#include "store.h"

namespace dblink {

// A connection's write budget: a bucket of `burst` writes that refills at `perSecond`.
// perSecond 0: no limit.
struct WriteLimit {
  double perSecond = 0;
  double burst = 0;
};

// What the service remembers of one requester connection: the workstation its writes
// have named (see the rule in requests.cpp) and its write budget.
struct ConnectionState {
  std::string machineId;
  WriteLimit limit;
  double tokens = -1;  // -1: the bucket starts full
  std::chrono::steady_clock::time_point refilled;
};

using ReplyDone = std::function<void(plx::proto::Reply)>;

// Answers q through done: at once for everything but a write, which is answered from the
// store's writer thread once its commit is durable.
void HandleRequest(Store& store, ConnectionState& conn, const plx::proto::Request& q, ReplyDone done);

// Splits key bytes into the values of the key fields they cover completely; a text field
// ends at its first zero byte. A partial (207) key that covers no whole field compares
// with nothing and so finds the first row in key order.
std::vector<KeyPart> DecodeKey(const plx::KeyDef& k, const std::string& bytes);

// A text argument of Connect and GetPath: the bytes up to the first zero byte.
std::string ArgText(const std::string& bytes);

}  // namespace dblink
