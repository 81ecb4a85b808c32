#include "addresses.h"

#include <stdlib.h>

namespace requester {

namespace {

constexpr const char* kBlanks = " \t";
constexpr size_t kMaxPortDigits = 5;
constexpr unsigned long kMaxPort = 65535;
// Multipliers of a common integer mix: odd, with bits spread over the word.
constexpr uint32_t kSpreadIdFactor = 2654435761u;
constexpr uint32_t kSpreadMixFactor = 0x45d9f3bu;
constexpr unsigned kSpreadShift = 16;

bool ParseOne(std::string entry, ServiceAddress& out) {
  size_t first = entry.find_first_not_of(kBlanks);
  if (first == std::string::npos) return false;
  entry = entry.substr(first, entry.find_last_not_of(kBlanks) + 1 - first);
  size_t colon = entry.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == entry.size()) return false;
  std::string digits = entry.substr(colon + 1);
  if (digits.size() > kMaxPortDigits || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned long port = strtoul(digits.c_str(), nullptr, 10);
  if (port == 0 || port > kMaxPort) return false;
  out.host = entry.substr(0, colon);
  if (out.host.find_first_of(kBlanks) != std::string::npos) return false;
  out.port = uint16_t(port);
  return true;
}

}  // namespace

bool ParseServiceAddresses(const std::string& value, std::vector<ServiceAddress>& out) {
  out.clear();
  size_t start = 0;
  for (;;) {
    size_t comma = value.find(',', start);
    ServiceAddress a;
    if (!ParseOne(value.substr(start, comma == std::string::npos ? std::string::npos : comma - start), a)) {
      out.clear();
      return false;
    }
    out.push_back(a);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

// The process id alone would do poorly (workstations booted alike run the agent under
// alike ids) and so would the tick count alone (a login script starts at one moment on
// many machines); mixed, the low bits of either change the result.
uint32_t SpreadNumber(uint32_t processId, uint32_t tick) {
  uint32_t x = processId * kSpreadIdFactor ^ tick;
  x ^= x >> kSpreadShift;
  x *= kSpreadMixFactor;
  x ^= x >> kSpreadShift;
  return x;
}

}  // namespace requester
