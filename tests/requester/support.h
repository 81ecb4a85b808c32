// What the requester tests share: key values, one DBOperationEx with a zeroed buffer, the
// runner's control channel (service pauses and restarts, and the service's request count,
// by which a test sees what went over the wire) and a stopwatch for time-outs.
#pragma once
#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "dblinkr32.h"
#include "plx/bytes.h"
#include "plx/records.h"

namespace rt {

std::string NumberKey(std::initializer_list<uint32_t> values);
std::string NameKey(std::initializer_list<uint32_t> values, const char* name, size_t width);

struct Result {
  int32_t status = -1;
  std::string record;
  uint32_t U32(const char* field, uint32_t table) const;  // 0 unless status is 0
};
Result Op(uint32_t connection, uint32_t table, uint32_t cls, uint32_t op, uint32_t keyNo,
          std::string key, const std::string* write = nullptr);
inline Result Read(uint32_t connection, uint32_t table, uint32_t op, uint32_t keyNo, const std::string& key) {
  return Op(connection, table, plx::kClassRead, op, keyNo, key);
}

// Asks the runner to act on a service ("stop HUNG", "cont HUNG", "restart SCRATCH",
// "served MAIN") and waits until it has; the runner's answer, or "" when none came.
std::string Control(const std::string& command);
// Requests the service has answered since it started; -1 when the runner did not say.
long Served(const char* service);

// The three parameter words of DBInitRequesterEx.
struct Params {
  uint32_t words[3];
  Params(uint32_t retries, uint32_t timeout) : words{12, retries, timeout} {}
  const uint32_t* get() const { return words; }
};

// One started requester with a session and a connection to `server`.
struct Connection {
  uint32_t session = 0, conn = 0;
  Connection(const char* server, uint32_t retries = 1, uint32_t timeout = 5);
  ~Connection();
  const char* server;
};

class Stopwatch {
 public:
  Stopwatch() { QueryPerformanceCounter(&start_); }
  double Seconds() const {
    LARGE_INTEGER now, freq;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&freq);
    return double(now.QuadPart - start_.QuadPart) / double(freq.QuadPart);
  }

 private:
  LARGE_INTEGER start_;
};

std::string Env(const char* name);

}  // namespace rt
