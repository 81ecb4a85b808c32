// What the service benchmarks share: a loopback connection to the requester port, the
// bytes of records and keys, percentiles of latencies and a process's CPU time.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "plx/bytes.h"
#include "plx/records.h"

namespace bench {

// A blocking connection to 127.0.0.1:port with Nagle off; -1 on failure.
inline int Connect(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline std::string U32(uint32_t v) {
  std::string s(4, '\0');
  plx::PutU32(reinterpret_cast<uint8_t*>(&s[0]), v);
  return s;
}

template <class R> std::string Bytes(const R& r, uint32_t table) {
  std::string b(plx::RecordLength(table), '\0');
  plx::Encode(r, reinterpret_cast<uint8_t*>(&b[0]));
  return b;
}

// The key bytes of key keyNo of a packed record of the table.
inline std::string Key(uint32_t table, uint32_t keyNo, const std::string& rec) {
  return plx::KeyOf(*plx::FindTable(table)->Key(keyNo), reinterpret_cast<const uint8_t*>(rec.data()));
}

// The p-th fraction of latencies in microseconds, in milliseconds (v is reordered).
inline double Pct(std::vector<uint32_t>& v, double p) {
  if (v.empty()) return 0;
  size_t i = std::min(v.size() - 1, size_t(p * double(v.size())));
  std::nth_element(v.begin(), v.begin() + long(i), v.end());
  return v[i] / 1000.0;
}

// CPU time (user and system) of a process so far, in seconds (unlike a rate, it does not
// depend on what else the machine runs); with `reaped`, also that of
// its children that have ended and been waited for (a database server's finished backends).
inline double ProcessCpu(pid_t pid, bool reaped) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 17 && rest >> field; ++i)  // 14 utime, 15 stime, 16 cutime, 17 cstime
    if (i >= 14 && (i <= 15 || reaped)) ticks += atof(field.c_str());
  return ticks / double(sysconf(_SC_CLK_TCK));
}

}  // namespace bench
