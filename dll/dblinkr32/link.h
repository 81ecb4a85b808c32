// One TCP connection to the package database service: connect within a time window,
// exchange one request frame for one reply frame.
#pragma once
#include <winsock2.h>

#include <stdint.h>

#include <string>

#include "plx/proto.h"

namespace requester {

// Milliseconds on a clock that does not jump.
inline uint64_t Now() { return GetTickCount64(); }

class Socket {
 public:
  Socket() = default;
  explicit Socket(SOCKET s) : s_(s) {}
  ~Socket() { Close(); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  Socket(Socket&& o) noexcept : s_(o.s_) { o.s_ = INVALID_SOCKET; }
  Socket& operator=(Socket&& o) noexcept {
    if (this != &o) { Close(); s_ = o.s_; o.s_ = INVALID_SOCKET; }
    return *this;
  }
  bool Valid() const { return s_ != INVALID_SOCKET; }
  SOCKET Get() const { return s_; }
  void Close() {
    if (s_ != INVALID_SOCKET) closesocket(s_);
    s_ = INVALID_SOCKET;
  }

 private:
  SOCKET s_ = INVALID_SOCKET;
};

enum class Io {
  kOk,
  kNotSent,   // nothing of the frame reached the socket
  kFailed,    // the link broke after (part of) the frame went out
  kTimedOut,  // no complete reply before the deadline
  kBadReply,  // the reply is not a frame: the stream has lost its framing
};

class Link {
 public:
  bool IsOpen() const { return sock_.Valid(); }
  void Close() { sock_.Close(); }

  // Which TCP connection this is: a new number for every connect, unique in the process, so
  // that what was learnt on one connection is never taken for the next one's.
  uint64_t Serial() const { return serial_; }
  // Features the service offered in its Hello reply on this connection.
  uint32_t Features() const { return features_; }
  void SetFeatures(uint32_t f) { features_ = f; }

  // Connects to host:port before `deadline`. False on any failure (the link stays closed).
  bool Connect(const std::string& host, uint16_t port, uint64_t deadline, uint32_t replyTimeoutMs);

  // Sends the encoded frame with one send and reads the whole reply before `deadline`.
  Io Exchange(const std::string& frame, plx::proto::Reply& reply, uint64_t deadline);

  // True when an idle link has not been closed or reset by the other side.
  bool StillUp();

 private:
  bool SetReceiveTimeout(uint32_t ms);
  bool FitReceiveTimeout(uint64_t deadline);

  Socket sock_;
  uint32_t standingMs_ = 0;  // the library's time-out
  uint32_t receiveMs_ = 0;   // what SO_RCVTIMEO is set to now
  uint64_t serial_ = 0;
  uint32_t features_ = 0;
  char buf_[4 + plx::proto::kReplyHeaderSize + plx::proto::kMaxReplyData];
};

}  // namespace requester
