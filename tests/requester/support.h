// What the requester tests share: key values, one DBOperationEx with a zeroed buffer, the
// runner's control channel (service pauses and restarts, and counts of the requests a
// service answered or the frames sent to it, by which a test sees what went over the wire).
#pragma once
#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "dblinkr32.h"
#include "plx/bytes.h"
#include "plx/records.h"

namespace rt {

// Little-endian numbers, then a text padded with zeros to `width`.
std::string NumberKey(std::initializer_list<uint32_t> values, const char* text = "", size_t width = 0);

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
int32_t ReadServer(uint32_t connection);  // server SRV by key 3
Result InsertText(uint32_t connection, const std::string& text);
// How many history texts read exactly `text`; -1 when the table cannot be read.
int CountTexts(uint32_t connection, const std::string& text);

// Asks the runner to act on a service ("stop HUNG", "cont HUNG", "restart SCRATCH") and
// waits until it has; the runner's answer, or "" when none came.
std::string Control(const std::string& command);
// "served MAIN": requests the service answered since it started; "frames HUNG": frames
// sent to it. -1 when the runner did not say.
long Count(const char* what, const char* service);
inline long Served(const char* service) { return Count("served", service); }

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

inline double Seconds(ULONGLONG sinceTick) { return double(GetTickCount64() - sinceTick) / 1000.0; }
std::string Env(const char* name);

}  // namespace rt
