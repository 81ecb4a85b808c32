// What the administrator's console shows, read from the store a page at a time. Every
// query here runs on an index (the README lists them), so a page costs the same on a
// site of ten workstations or of ten thousand. Engine-neutral: an engine answers these
// with its own queries.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "plx/records.h"

namespace dblink {

// A slice of an ordered listing. `more` tells whether rows follow the last one given, so
// that no query has to count everything it could show.
struct Page {
  uint32_t offset = 0;
  uint32_t limit = 50;
};

template <class T>
struct Paged {
  std::vector<T> rows;
  bool more = false;
};

// A page is read with one row more than its limit: that row, dropped here, says there is more.
template <class T> void EndPage(Paged<T>& out, const Page& page) {
  out.more = out.rows.size() > page.limit;
  if (out.more) out.rows.resize(page.limit);
}

// A package with the workstations' outcomes: counts of its status rows. Failed counts
// both failed statuses (4, and 5 which may be tried again).
struct PackageCounts {
  uint32_t packageId = 0;
  uint32_t serverId = 0;
  std::string name;
  std::string serverName;
  uint64_t pending = 0, installed = 0, refused = 0, refusedPermanently = 0, failed = 0;
};

// Adds n status rows of one status to the counts; a status the console does not know is left out.
inline void AddCount(PackageCounts& c, int64_t status, uint64_t n) {
  switch (status) {
    case plx::kStatusPending: c.pending += n; break;
    case plx::kStatusCompleted: c.installed += n; break;
    case plx::kStatusRefused: c.refused += n; break;
    case plx::kStatusRefusedPermanently: c.refusedPermanently += n; break;
    case plx::kStatusFailed:
    case plx::kStatusFailedRetry: c.failed += n; break;
    default: break;
  }
}

// An administrator's targeting row: the user, group, site or machine a package is for.
struct TargetView {
  uint32_t recordId = 0;
  uint32_t kind = 0;  // plx::TargetKind
  std::string name;
};

// A workstation's status row. For a machine row (kind 8) `targetName` is the machine id
// and `counterpart` the user; for a user row (kind 6) the other way round.
struct StatusRowView {
  uint32_t recordId = 0;
  uint32_t packageId = 0;
  std::string packageName;
  uint32_t kind = 0;
  std::string targetName;
  std::string counterpart;
  uint16_t status = 0;  // plx::PackageStatus
  uint32_t failures = 0;
  uint32_t refusals = 0;
  std::string lastText;  // the newest history text written for this row, if any
};

// A history entry with its text. Date and time as the workstation wrote them: "YYYYMMDD"
// and "HHMMSS", its local time, no zone.
struct HistoryView {
  uint32_t rowId = 0;
  uint32_t packageId = 0;
  std::string packageName;
  uint32_t packageUserId = 0;
  std::string date, time;
  std::string userName;
  std::string serverName;
  std::string machine;  // from the status row the entry belongs to; empty when none
  std::string text;
};

// Which status rows of a package to list. status -1: any; kStatusFailed also takes
// kStatusFailedRetry. kind 0: any. name: rows whose target name starts with it (any case).
struct StatusFilter {
  int status = -1;
  uint32_t kind = 0;
  std::string name;
};

// A history text search needs this many characters: a trigram index finds nothing shorter.
constexpr size_t kMinSearchChars = 3;

// Characters (UTF-8 code points) in a text.
inline size_t TextLength(const std::string& text) {
  size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

// A history search; every field empty or 0 is left out. text: entries whose text contains
// it (any case; at least kMinSearchChars characters). from/to: "YYYYMMDD", inclusive.
struct HistoryQuery {
  std::string text;
  uint32_t packageId = 0;
  std::string machine;
  std::string user;
  std::string from, to;
};

// Status counts over every package, indexed by plx::PackageStatus (0..5).
struct StatusTotals {
  uint64_t byStatus[6] = {};
};

// The reads and the one write of the console. Reads return false when the database
// failed (the console then says so); an unknown id is an empty answer, not a failure.
class ConsoleData {
 public:
  virtual ~ConsoleData() = default;

  // Packages ordered failures first (most failed first), then by name, then id.
  virtual bool Overview(const Page& page, Paged<PackageCounts>& out) = 0;
  // One package and its targeting rows (kind, then name). found false: no such package.
  virtual bool Package(uint32_t packageId, bool& found, PackageCounts& counts,
                       std::vector<TargetView>& targets) = 0;
  // A package's status rows, failures first, then by target name, then row id.
  virtual bool PackageStatus(uint32_t packageId, const StatusFilter& filter, const Page& page,
                             Paged<StatusRowView>& out) = 0;
  // The status rows of a machine (its machine rows, and user rows written on it) or of a
  // user (its user rows, and machine rows naming it), by package name.
  virtual bool MachineStatus(const std::string& machine, const Page& page, Paged<StatusRowView>& out) = 0;
  virtual bool UserStatus(const std::string& user, const Page& page, Paged<StatusRowView>& out) = 0;
  // History newest first (date, time, then entry order).
  virtual bool History(const HistoryQuery& query, const Page& page, Paged<HistoryView>& out) = 0;
  virtual bool Totals(StatusTotals& out) = 0;

  // Sets a status row back to pending (counts kept) and writes a history entry saying the
  // console did it, both in one transaction, durable before it returns. plx::kDbOk,
  // kDbNotFound (no such status row; targeting rows are never re-offered) or
  // kDbWriteFailure.
  virtual int32_t Reoffer(uint32_t recordId, const std::string& date, const std::string& time) = 0;
};

}  // namespace dblink
