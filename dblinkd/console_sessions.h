// The console's sign-in sessions: held in memory only, so a restart of the service ends
// every session. Thread-safe: the admin listener runs handlers on a pool.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace dblink {

// Same cost whatever the difference, so a secret cannot be guessed byte by byte.
bool SameToken(const std::string& a, const std::string& b);

// `bytes` random bytes from the kernel as lower-case hex; false when none could be had.
bool RandomHex(size_t bytes, std::string& out);

struct SessionLimits {
  std::chrono::seconds idle{30 * 60};
  std::chrono::seconds absolute{12 * 60 * 60};
  size_t maxSessions = 256;         // past it the oldest session ends
  uint32_t failuresPerWindow = 10;  // failed sign-ins per address before it waits
  std::chrono::seconds window{60};
  size_t maxAddresses = 4096;       // addresses tracked for failed sign-ins
};

class ConsoleSessions {
 public:
  using Clock = std::chrono::steady_clock;
  explicit ConsoleSessions(SessionLimits limits = {}) : limits_(limits) {}

  // A new session: its id (the cookie) and its CSRF token. False without randomness.
  bool Create(Clock::time_point now, std::string& id, std::string& csrf);
  // The live session's CSRF token; a use keeps it from idling out. False when unknown or
  // expired (an expired one is dropped).
  bool Find(const std::string& id, Clock::time_point now, std::string& csrf);
  void End(const std::string& id);
  size_t Live() const;

  // Sign-in attempts: Blocked is true while an address has used up its failures for the
  // current window; Failed counts one.
  bool Blocked(const std::string& address, Clock::time_point now);
  void Failed(const std::string& address, Clock::time_point now);

  // Seconds the cookie lives at most.
  long MaxAgeSeconds() const { return long(limits_.absolute.count()); }
  // Seconds a blocked address waits at most.
  long WindowSeconds() const { return long(limits_.window.count()); }

 private:
  struct Session {
    std::string id, csrf;
    Clock::time_point created, used;
  };
  struct Failures {
    Clock::time_point windowStart;
    uint32_t count = 0;
  };
  bool Expired(const Session& s, Clock::time_point now) const;
  // The session whose whole id this is, or the end; the caller holds mu_.
  std::map<std::string, Session>::iterator Locate(const std::string& id);

  SessionLimits limits_;
  mutable std::mutex mu_;
  // Keyed by the id's first characters; the whole id is then compared in constant time,
  // so a lookup's timing tells nothing about the rest of it.
  std::map<std::string, Session> sessions_;
  std::map<std::string, Failures> failures_;
};

}  // namespace dblink
