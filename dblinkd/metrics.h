// The service's measurements as an administrator's monitoring scrapes them: requester
// requests by operation and reply status, their latency, connections, database errors and
// the status rows by package status, in the Prometheus text format.
//
// Counting costs a worker nothing but a few uncontended stores: each worker owns its
// RequestCounters and is its only writer; a scrape sums them all.
#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "console_data.h"
#include "plx/proto.h"

namespace dblink {

class RequesterServer;
class Store;

// What a requester frame asked for. Invalid: a frame that did not decode, or a call or
// class the protocol does not have.
enum class Operation : uint8_t {
  kHello, kConnect, kGetPath, kRead, kInsert, kRewrite, kReadAhead, kPackageRows, kInvalid,
};
constexpr size_t kOperationCount = size_t(Operation::kInvalid) + 1;
const char* OperationName(Operation op);
Operation OperationOf(const plx::proto::Request& q);

// The reply statuses counted one by one; any other counts as "other".
constexpr size_t kStatusSlots = 21;
size_t StatusSlot(int32_t status);

// Latency buckets (upper bounds) of the request histogram, and one past the last for
// the slower ones.
constexpr size_t kLatencyBuckets = 15;

// The requests' numbers as plain values. Bucket counts are per bucket here; the text
// format makes them cumulative.
struct RequestStats {
  uint64_t counts[kOperationCount][kStatusSlots] = {};
  uint64_t buckets[kLatencyBuckets + 1] = {};
  uint64_t sumNanos = 0;
};

// One worker's counters: written by that worker only, read by any thread.
class RequestCounters {
 public:
  void Count(Operation op, int32_t status, std::chrono::nanoseconds took);
  void AddTo(RequestStats& out) const;

 private:
  static void Bump(std::atomic<uint64_t>& a, uint64_t by) {
    a.store(a.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
  }
  std::atomic<uint64_t> counts_[kOperationCount][kStatusSlots] = {};
  std::atomic<uint64_t> buckets_[kLatencyBuckets + 1] = {};
  std::atomic<uint64_t> sumNanos_{0};
};

// The requester port's side of a scrape.
struct RequesterStats {
  RequestStats requests;
  uint64_t openConnections = 0;
  uint64_t refusedConnections = 0;
};

struct MetricsSnapshot {
  RequesterStats requester;
  uint64_t databaseErrors = 0;
  bool haveTotals = false;  // false when the database could not count them
  StatusTotals totals;
};

// What the service measures now.
MetricsSnapshot GatherMetrics(const RequesterServer& requester, Store& store);

// The text format, version 0.0.4.
extern const char kMetricsContentType[];
std::string RenderMetrics(const MetricsSnapshot& m);

}  // namespace dblink
