// What the requester tests share: the seeded rows as the runner hands them over, records
// shown field by field, key order, the service control channel and a stopwatch.
#pragma once
#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "dblinkr32.h"
#include "plx/bytes.h"
#include "plx/records.h"

namespace rt {

// One seeded row: its table, its packed bytes and the row id the service gave it (the
// record id where the table has one, else its place in the seed).
struct SeedRow {
  uint32_t table = 0;
  std::string bytes;
  uint32_t rowId = 0;
};

struct InstalledEntry {
  std::string server, item, path, second;
};

struct Seed {
  std::vector<SeedRow> rows;
  std::vector<InstalledEntry> installed;
  std::vector<SeedRow> Table(uint32_t table) const;
};

// The seed the runner wrote (PLX_EXPECTED). Loaded once; empty when it cannot be read.
const Seed& Seeded();

// A record's fields as "Name=value" texts, decoded from its bytes with plx::Decode.
std::vector<std::string> Fields(uint32_t table, const std::string& bytes);

// Rows of a table in the order of one of its keys: typed fields, names without regard to
// case, ties by row id.
std::vector<SeedRow> InKeyOrder(uint32_t table, uint32_t keyNo);
// <0, 0, >0 as the row's key compares with a (possibly partial) key value.
int CompareKey(const plx::KeyDef& k, const std::string& rowKey, const std::string& key);

// Key values.
std::string NumberKey(std::initializer_list<uint32_t> values);
std::string NameKey(std::initializer_list<uint32_t> values, const char* name, size_t width);

// One DBOperationEx with a zeroed buffer of the table's record length.
struct Result {
  int32_t status = -1;
  std::string record;
};
Result Op(uint32_t connection, uint32_t table, uint32_t cls, uint32_t op, uint32_t keyNo,
          std::string key, const std::string* write = nullptr);
inline Result Read(uint32_t connection, uint32_t table, uint32_t op, uint32_t keyNo, const std::string& key) {
  return Op(connection, table, plx::kClassRead, op, keyNo, key);
}

// Asks the runner to act on a service ("stop HUNG", "cont HUNG", "restart RESTART") and
// waits until it has. False when the runner did not answer.
bool Control(const std::string& command);

// The three parameter words of DBInitRequesterEx.
struct Params {
  uint32_t words[3];
  Params(uint32_t retries, uint32_t timeout) : words{12, retries, timeout} {}
  const uint32_t* get() const { return words; }
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

// An environment variable, or "".
std::string Env(const char* name);

}  // namespace rt
