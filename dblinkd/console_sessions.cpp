#include "console_sessions.h"

#include <sys/random.h>

#include <cerrno>
#include <vector>

namespace dblink {

namespace {

constexpr size_t kIdBytes = 32;
constexpr size_t kLookupChars = 16;  // of the id's hex, the map key

}  // namespace

bool SameToken(const std::string& a, const std::string& b) {
  unsigned diff = unsigned(a.size() ^ b.size());
  for (size_t i = 0; i < a.size(); ++i) diff |= unsigned(uint8_t(a[i]) ^ uint8_t(i < b.size() ? b[i] : 0));
  return diff == 0;
}

bool RandomHex(size_t bytes, std::string& out) {
  std::vector<unsigned char> buf(bytes);
  for (size_t got = 0; got < bytes;) {
    ssize_t n = getrandom(buf.data() + got, bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += size_t(n);
  }
  static const char kHex[] = "0123456789abcdef";
  out.clear();
  for (unsigned char c : buf) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return true;
}

bool ConsoleSessions::Expired(const Session& s, Clock::time_point now) const {
  return now - s.used >= limits_.idle || now - s.created >= limits_.absolute;
}

bool ConsoleSessions::Create(Clock::time_point now, std::string& id, std::string& csrf) {
  Session s;
  s.created = s.used = now;
  if (!RandomHex(kIdBytes, s.csrf)) return false;
  std::lock_guard<std::mutex> lock(mu_);
  do {
    if (!RandomHex(kIdBytes, s.id)) return false;
  } while (sessions_.count(s.id.substr(0, kLookupChars)));
  for (auto it = sessions_.begin(); it != sessions_.end();) it = Expired(it->second, now) ? sessions_.erase(it) : ++it;
  while (!sessions_.empty() && sessions_.size() >= limits_.maxSessions) {
    auto oldest = sessions_.begin();
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it)
      if (it->second.created < oldest->second.created) oldest = it;
    sessions_.erase(oldest);
  }
  id = s.id;
  csrf = s.csrf;
  sessions_.emplace(s.id.substr(0, kLookupChars), std::move(s));
  return true;
}

std::map<std::string, ConsoleSessions::Session>::iterator ConsoleSessions::Locate(const std::string& id) {
  if (id.size() != 2 * kIdBytes) return sessions_.end();
  auto it = sessions_.find(id.substr(0, kLookupChars));
  return it != sessions_.end() && SameToken(id, it->second.id) ? it : sessions_.end();
}

bool ConsoleSessions::Find(const std::string& id, Clock::time_point now, std::string& csrf) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = Locate(id);
  if (it == sessions_.end()) return false;
  if (Expired(it->second, now)) {
    sessions_.erase(it);
    return false;
  }
  it->second.used = now;
  csrf = it->second.csrf;
  return true;
}

void ConsoleSessions::End(const std::string& id) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = Locate(id);
  if (it != sessions_.end()) sessions_.erase(it);
}

size_t ConsoleSessions::Live() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sessions_.size();
}

bool ConsoleSessions::Blocked(const std::string& address, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = failures_.find(address);
  if (it == failures_.end()) return false;
  if (now - it->second.windowStart >= limits_.window) {
    failures_.erase(it);
    return false;
  }
  return it->second.count >= limits_.failuresPerWindow;
}

void ConsoleSessions::Failed(const std::string& address, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mu_);
  if (failures_.size() >= limits_.maxAddresses && !failures_.count(address)) {
    for (auto it = failures_.begin(); it != failures_.end();)
      it = now - it->second.windowStart >= limits_.window ? failures_.erase(it) : ++it;
    // Still full: a flood from many addresses; forget the lot rather than grow without end.
    if (failures_.size() >= limits_.maxAddresses) failures_.clear();
  }
  Failures& f = failures_[address];
  if (f.count == 0 || now - f.windowStart >= limits_.window) {
    f.windowStart = now;
    f.count = 0;
  }
  ++f.count;
}

}  // namespace dblink
