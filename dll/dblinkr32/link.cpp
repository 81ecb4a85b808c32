#include "link.h"

#include <ws2tcpip.h>

#include "plx/bytes.h"

namespace requester {

namespace {

timeval Remaining(uint64_t deadline) {
  uint64_t now = Now();
  uint64_t ms = deadline > now ? deadline - now : 0;
  timeval tv;
  tv.tv_sec = long(ms / 1000);
  tv.tv_usec = long((ms % 1000) * 1000);
  return tv;
}

bool Resolve(const std::string& host, uint16_t port, sockaddr_in& out) {
  addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list) return false;
  out = *reinterpret_cast<sockaddr_in*>(list->ai_addr);
  out.sin_port = htons(port);
  freeaddrinfo(list);
  return true;
}

}  // namespace

bool Link::Connect(const std::string& host, uint16_t port, uint64_t deadline, uint32_t replyTimeoutMs) {
  Close();
  sockaddr_in addr;
  if (!Resolve(host, port, addr)) return false;
  Socket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!s.Valid()) return false;

  // Non-blocking only for the connect, so that it cannot outlast the attempt's window.
  u_long nonBlocking = 1;
  if (ioctlsocket(s.Get(), FIONBIO, &nonBlocking) != 0) return false;
  if (connect(s.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s.Get(), &writable);
    FD_SET(s.Get(), &failed);
    timeval tv = Remaining(deadline);
    if (select(0, nullptr, &writable, &failed, &tv) <= 0 || FD_ISSET(s.Get(), &failed)) return false;
    int err = 0;
    int len = sizeof err;
    if (getsockopt(s.Get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0 || err != 0)
      return false;
  }
  nonBlocking = 0;
  if (ioctlsocket(s.Get(), FIONBIO, &nonBlocking) != 0) return false;

  // One request, one reply: Nagle would hold each small frame back for the delayed ACK.
  BOOL noDelay = TRUE;
  setsockopt(s.Get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
  DWORD sendTimeout = replyTimeoutMs;
  setsockopt(s.Get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendTimeout), sizeof sendTimeout);
  sock_ = std::move(s);
  static uint64_t connects = 0;  // callers hold the library's lock
  serial_ = ++connects;
  features_ = 0;
  standingMs_ = replyTimeoutMs ? replyTimeoutMs : 1;
  receiveMs_ = 0;
  if (!SetReceiveTimeout(standingMs_)) {
    Close();
    return false;
  }
  return true;
}

bool Link::SetReceiveTimeout(uint32_t ms) {
  if (ms == 0) ms = 1;  // 0 would mean "wait for ever"
  DWORD v = ms;
  if (setsockopt(sock_.Get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&v), sizeof v) != 0)
    return false;
  receiveMs_ = ms;
  return true;
}

// The standing receive time-out is the library's; it is only cut (and later put back) when
// a deadline would otherwise be overrun by more than a little, so that an ordinary request
// costs no extra system call.
bool Link::FitReceiveTimeout(uint64_t deadline) {
  const uint32_t kSlackMs = 50;
  uint64_t now = Now();
  uint32_t remaining = deadline > now ? uint32_t(deadline - now) : 0;
  uint32_t wanted = remaining < standingMs_ ? remaining : standingMs_;
  if (receiveMs_ > wanted + kSlackMs || (receiveMs_ < wanted && receiveMs_ < standingMs_))
    return SetReceiveTimeout(wanted);
  return true;
}

Io Link::Exchange(const std::string& frame, plx::proto::Reply& reply, uint64_t deadline) {
  if (!IsOpen()) return Io::kNotSent;
  // One send for the whole frame; a short count only happens when the peer is going away.
  size_t sent = 0;
  while (sent < frame.size()) {
    int n = send(sock_.Get(), frame.data() + sent, int(frame.size() - sent), 0);
    if (n <= 0) {
      Close();
      return sent == 0 ? Io::kNotSent : Io::kFailed;
    }
    sent += size_t(n);
  }

  // The reply usually arrives in one piece; the receive time-out bounds each wait and the
  // deadline bounds the whole reply.
  size_t have = 0, want = 4;
  for (;;) {
    uint64_t now = Now();
    if (now >= deadline) {
      Close();
      return Io::kTimedOut;
    }
    if (!FitReceiveTimeout(deadline)) {
      Close();
      return Io::kFailed;
    }
    int n = recv(sock_.Get(), buf_ + have, int(sizeof buf_ - have), 0);
    if (n <= 0) {
      bool timedOut = n < 0 && WSAGetLastError() == WSAETIMEDOUT;
      Close();
      return timedOut ? Io::kTimedOut : Io::kFailed;
    }
    have += size_t(n);
    if (want == 4 && have >= 4) {
      uint32_t len = plx::GetU32(reinterpret_cast<const uint8_t*>(buf_));
      if (len < plx::proto::kReplyHeaderSize || len > sizeof buf_ - 4) {
        Close();
        return Io::kBadReply;
      }
      want = 4 + len;
    }
    if (want > 4 && have >= want) break;
  }
  // A reply frame is one answer: bytes beyond it would belong to no request.
  if (have != want || !plx::proto::DecodeReply(reinterpret_cast<const uint8_t*>(buf_) + 4, want - 4, reply)) {
    Close();
    return Io::kBadReply;
  }
  return Io::kOk;
}

bool Link::StillUp() {
  if (!IsOpen()) return false;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(sock_.Get(), &readable);
  timeval zero = {0, 0};
  int n = select(0, &readable, nullptr, nullptr, &zero);
  // An idle link has nothing to read; if it is readable, the service closed or reset it.
  if (n == 0) return true;
  Close();
  return false;
}

}  // namespace requester
