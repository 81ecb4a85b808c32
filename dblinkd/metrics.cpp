#include "metrics.h"

#include <cinttypes>
#include <cstdio>

#include "plx/records.h"
#include "requester_server.h"
#include "store.h"

namespace dblink {

namespace proto = plx::proto;

namespace {

const char* const kOperationNames[kOperationCount] = {
    "hello", "connect", "get_path", "read", "insert", "rewrite", "read_ahead", "package_rows", "invalid",
};

// Every status the requester protocol has; the last slot takes anything else.
const int32_t kStatuses[kStatusSlots - 1] = {
    plx::kDbOk,              plx::kDbInitFailed,        plx::kDbServerInitFailed, plx::kDbInvalidSession,
    plx::kDbInvalidHandle,   plx::kDbInvalidTable,      plx::kDbNullPointer,      plx::kDbNoServerName,
    plx::kDbNoProductName,   plx::kDbProductUnknown,    plx::kDbUnknownError,     plx::kDbReadOnly,
    plx::kDbInvalidOperation, plx::kDbInvalidKey,       plx::kDbInvalidFieldLength, plx::kDbNotFound,
    plx::kDbReadFailure,     plx::kDbWriteFailure,      plx::kDbRecordBufferTooSmall, plx::kDbLocked,
};
constexpr size_t kOtherStatus = kStatusSlots - 1;

// From a cached read (tens of microseconds) to a write waiting for a slow disk.
struct Bound {
  uint64_t nanos;
  const char* le;
};
const Bound kBounds[kLatencyBuckets] = {
    {50'000, "0.00005"},   {100'000, "0.0001"},  {250'000, "0.00025"},   {500'000, "0.0005"},
    {1'000'000, "0.001"},  {2'500'000, "0.0025"}, {5'000'000, "0.005"},  {10'000'000, "0.01"},
    {25'000'000, "0.025"}, {50'000'000, "0.05"},  {100'000'000, "0.1"}, {250'000'000, "0.25"},
    {500'000'000, "0.5"},  {1'000'000'000, "1"},  {2'500'000'000, "2.5"},
};

// The names the status_rows gauge gives the package statuses, by status number.
const char* const kPackageStatusNames[] = {
    "pending", "installed", "refused", "refused_permanently", "failed", "failed_retry",
};
static_assert(sizeof kPackageStatusNames / sizeof *kPackageStatusNames == plx::kStatusLast + 1,
              "a name for every package status");
static_assert(sizeof(StatusTotals::byStatus) / sizeof(uint64_t) == plx::kStatusLast + 1,
              "totals for every package status");

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

void Value(std::string& out, uint64_t v) {
  char b[24];
  snprintf(b, sizeof b, " %" PRIu64 "\n", v);
  out += b;
}

}  // namespace

const char* OperationName(Operation op) {
  size_t i = size_t(op);
  return i < kOperationCount ? kOperationNames[i] : kOperationNames[size_t(Operation::kInvalid)];
}

Operation OperationOf(const proto::Request& q) {
  switch (q.call) {
    case proto::kCallHello: return Operation::kHello;
    case proto::kCallConnect: return Operation::kConnect;
    case proto::kCallGetPath: return Operation::kGetPath;
    case proto::kCallReadAhead: return Operation::kReadAhead;
    case proto::kCallPackageRows: return Operation::kPackageRows;
    case proto::kCallOperation:
      if (q.cls == plx::kClassRead) return Operation::kRead;
      if (q.cls == plx::kClassInsert) return Operation::kInsert;
      if (q.cls == plx::kClassRewrite) return Operation::kRewrite;
      return Operation::kInvalid;
    default: return Operation::kInvalid;
  }
}

size_t StatusSlot(int32_t status) {
  for (size_t i = 0; i < kOtherStatus; ++i)
    if (kStatuses[i] == status) return i;
  return kOtherStatus;
}

void RequestCounters::Count(Operation op, int32_t status, std::chrono::nanoseconds took) {
  uint64_t ns = took.count() > 0 ? uint64_t(took.count()) : 0;
  Bump(counts_[size_t(op)][StatusSlot(status)], 1);
  size_t b = 0;
  while (b < kLatencyBuckets && ns > kBounds[b].nanos) ++b;
  Bump(buckets_[b], 1);
  Bump(sumNanos_, ns);
}

void RequestCounters::AddTo(RequestStats& out) const {
  for (size_t o = 0; o < kOperationCount; ++o)
    for (size_t s = 0; s < kStatusSlots; ++s) out.counts[o][s] += counts_[o][s].load(std::memory_order_relaxed);
  for (size_t b = 0; b <= kLatencyBuckets; ++b) out.buckets[b] += buckets_[b].load(std::memory_order_relaxed);
  out.sumNanos += sumNanos_.load(std::memory_order_relaxed);
}

MetricsSnapshot GatherMetrics(const RequesterServer& requester, Store& store) {
  MetricsSnapshot m;
  requester.Collect(m.requester);
  m.databaseErrors = store.EngineErrors();
  m.haveTotals = store.Console().Totals(m.totals);
  return m;
}

const char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

std::string RenderMetrics(const MetricsSnapshot& m) {
  std::string out;
  out.reserve(4096);
  const RequestStats& r = m.requester.requests;

  // Only the pairs seen so far: most operations only ever meet a few statuses.
  Family(out, "dblinkd_requests_total", "counter", "Requester requests answered, by operation and reply status.");
  for (size_t o = 0; o < kOperationCount; ++o) {
    for (size_t s = 0; s < kStatusSlots; ++s) {
      if (!r.counts[o][s]) continue;
      out += "dblinkd_requests_total{operation=\"";
      out += kOperationNames[o];
      out += "\",status=\"";
      out += s == kOtherStatus ? std::string("other") : std::to_string(kStatuses[s]);
      out += "\"}";
      Value(out, r.counts[o][s]);
    }
  }

  Family(out, "dblinkd_request_duration_seconds", "histogram",
         "Time from a requester frame read whole to its reply handed to the socket.");
  uint64_t cumulative = 0;
  for (size_t b = 0; b <= kLatencyBuckets; ++b) {
    cumulative += r.buckets[b];
    out += "dblinkd_request_duration_seconds_bucket{le=\"";
    out += b < kLatencyBuckets ? kBounds[b].le : "+Inf";
    out += "\"}";
    Value(out, cumulative);
  }
  char sum[48];
  snprintf(sum, sizeof sum, "%" PRIu64 ".%09" PRIu64, r.sumNanos / 1'000'000'000, r.sumNanos % 1'000'000'000);
  out += "dblinkd_request_duration_seconds_sum ";
  out += sum;
  out += '\n';
  out += "dblinkd_request_duration_seconds_count";
  Value(out, cumulative);

  Family(out, "dblinkd_open_connections", "gauge", "Requester connections open now.");
  out += "dblinkd_open_connections";
  Value(out, m.requester.openConnections);
  Family(out, "dblinkd_refused_connections_total", "counter",
         "Requester connections refused at a connection cap.");
  out += "dblinkd_refused_connections_total";
  Value(out, m.requester.refusedConnections);
  Family(out, "dblinkd_database_errors_total", "counter", "Database statements that failed, reads and writes.");
  out += "dblinkd_database_errors_total";
  Value(out, m.databaseErrors);

  // Left out rather than given as zeros when the database could not count them: a gap
  // in the graph, not a false drop.
  if (m.haveTotals) {
    Family(out, "dblinkd_status_rows", "gauge", "Workstations' status rows by package status.");
    for (size_t s = 0; s <= plx::kStatusLast; ++s) {
      out += "dblinkd_status_rows{status=\"";
      out += kPackageStatusNames[s];
      out += "\"}";
      Value(out, m.totals.byStatus[s]);
    }
  }
  return out;
}

}  // namespace dblink
