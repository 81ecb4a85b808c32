// requester_bench: what one DBOperationEx read costs the agent, measured from the Win32 side
// (under Wine) against dblinkd on loopback. Prints the latency of single key-5 package reads
// and of a get-next walk over the packages, in microseconds.
//
//   requester_bench.exe [SERVER [READS]]      (default SRV 20000)
//
// The server's address comes from DBLINKR32.INI beside Dblinkr32.dll, as for the agent.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "dblinkr32.h"
#include "plx/bytes.h"
#include "plx/records.h"

namespace {

double Ticks() {
  static LARGE_INTEGER freq = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return double(now.QuadPart) * 1e6 / double(freq.QuadPart);
}

struct Stats {
  double mean, p50, p99, max;
};

Stats Summarise(std::vector<double> us) {
  std::sort(us.begin(), us.end());
  double sum = 0;
  for (double v : us) sum += v;
  auto at = [&](double q) { return us[std::min(us.size() - 1, size_t(q * double(us.size())))]; };
  return {sum / double(us.size()), at(0.50), at(0.99), us.back()};
}

void Print(const char* what, size_t n, const Stats& s) {
  printf("%-28s n=%-6zu mean=%7.1f us  p50=%7.1f us  p99=%7.1f us  max=%8.1f us\n", what, n, s.mean, s.p50,
         s.p99, s.max);
}

// Reads package (serverId, packageId) by key 5 `reads` times; false on any failure or on a
// record that differs from the first one read.
bool KeyReads(uint32_t conn, uint32_t serverId, uint32_t packageId, int reads, std::vector<double>& us) {
  uint8_t key[8];
  plx::PutU32(key, serverId);
  plx::PutU32(key + 4, packageId);
  std::vector<uint8_t> rec(plx::RecordLength(plx::kTablePackage)), first;
  for (int i = 0; i < reads; ++i) {
    std::fill(rec.begin(), rec.end(), 0);
    double t0 = Ticks();
    int32_t st = DBOperationEx(conn, plx::kTablePackage, plx::kClassRead, plx::kOpGetEqual, 5, sizeof key,
                               uint32_t(rec.size()), key, rec.data());
    double t1 = Ticks();
    if (st != 0) {
      fprintf(stderr, "read %d: status %d\n", i, st);
      return false;
    }
    if (first.empty()) first = rec;
    if (rec != first) {
      fprintf(stderr, "read %d: a different record\n", i);
      return false;
    }
    us.push_back(t1 - t0);
  }
  return true;
}

// Walks all packages by key 4 (202, then 204 until 10612) `walks` times, timing each call.
bool Walks(uint32_t conn, int walks, std::vector<double>& us, size_t& rows) {
  uint8_t key[4] = {};
  std::vector<uint8_t> rec(plx::RecordLength(plx::kTablePackage));
  for (int w = 0; w < walks; ++w) {
    uint32_t op = plx::kOpGetFirst;
    size_t n = 0;
    for (;;) {
      double t0 = Ticks();
      int32_t st = DBOperationEx(conn, plx::kTablePackage, plx::kClassRead, op, 4, sizeof key,
                                 uint32_t(rec.size()), key, rec.data());
      us.push_back(Ticks() - t0);
      if (st == plx::kDbNotFound) break;
      if (st != 0) {
        fprintf(stderr, "walk %d: status %d\n", w, st);
        return false;
      }
      ++n;
      op = plx::kOpGetNext;
    }
    rows = n;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* server = argc > 1 ? argv[1] : "SRV";
  int reads = argc > 2 ? atoi(argv[2]) : 20000;
  if (reads < 100) reads = 100;

  const uint32_t params[3] = {12, 1, 6};
  int32_t st = DBInitRequesterEx(server, params);
  uint32_t session = 0, conn = 0;
  if (st == 0) st = DBInitSessionEx(&session);
  if (st == 0) st = DBConnectEx(session, server, "", "", "KVR610", 0, &conn);
  if (st != 0) {
    fprintf(stderr, "cannot reach %s: status %d\n", server, st);
    return 1;
  }

  // The first package of the walk is the one read by key.
  uint8_t key0[4] = {};
  std::vector<uint8_t> rec(plx::RecordLength(plx::kTablePackage));
  if (DBOperationEx(conn, plx::kTablePackage, plx::kClassRead, plx::kOpGetFirst, 4, 4, uint32_t(rec.size()), key0,
                    rec.data()) != 0) {
    fprintf(stderr, "%s has no packages\n", server);
    return 1;
  }
  plx::PackageRecord pkg;
  plx::Decode(rec.data(), pkg);

  std::vector<double> warm, us, walk;
  size_t rows = 0;
  bool ok = KeyReads(conn, pkg.ServerId, pkg.PackageId, 500, warm) &&
            KeyReads(conn, pkg.ServerId, pkg.PackageId, reads, us) && Walks(conn, 200, walk, rows);
  DBDisconnectEx(conn);
  DBTerminateSessionEx(session);
  DBTerminateRequesterEx(server);
  if (!ok) return 1;

  Stats s = Summarise(us);
  Print("key 5 read (201)", us.size(), s);
  Print("package walk (202/204)", walk.size(), Summarise(walk));
  printf("walk length: %zu packages\n", rows);
  printf("RESULT reads=%zu mean_us=%.1f p50_us=%.1f p99_us=%.1f\n", us.size(), s.mean, s.p50, s.p99);
  return 0;
}
