#include "requester_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "metrics.h"
#include "plx/bytes.h"
#include "plx/proto.h"
#include "requests.h"

namespace dblink {

using Clock = std::chrono::steady_clock;
namespace proto = plx::proto;

namespace {

// A refusal is logged once per client address per minute; the memory of whom was told
// is bounded.
constexpr auto kRefusalLogEvery = std::chrono::minutes(1);
constexpr size_t kMaxRefusalMemory = 4096;
constexpr auto kStopGrace = std::chrono::seconds(10);
// Out of descriptors: accepting is tried again after this pause rather than spinning.
constexpr int kAcceptRetryMs = 50;
// Events taken from the kernel per round. A round's reads share one snapshot, and every
// connection waits at most one round of this many answers for its turn.
constexpr int kEventsPerRound = 64;
// Frames one connection may have answered in a row before the others get their turn
// (an honest requester has one in flight).
constexpr int kFramesPerTurn = 8;

// What the workers share: connection counts per address and in all, and the log memory.
struct Shared {
  Store& store;
  Limits limits;
  size_t maxConnections = 0;
  std::mutex mutex;
  std::unordered_map<std::string, uint32_t> perAddress;
  size_t total = 0;
  std::unordered_map<std::string, Clock::time_point> refusalLogged;
  uint64_t refused = 0;  // connections turned away at a cap
  std::atomic<bool> stopping{false};

  Shared(Store& s, const Limits& l) : store(s), limits(l) {}

  // Counts a new connection in, or says why it is refused.
  bool Admit(const std::string& addr, std::string& why) {
    std::lock_guard<std::mutex> lock(mutex);
    uint32_t& n = perAddress[addr];
    if (n >= limits.maxPerAddress) why = std::to_string(n) + " connections from that address already";
    else if (total >= maxConnections) why = std::to_string(total) + " connections in all already";
    if (!why.empty()) {
      if (n == 0) perAddress.erase(addr);
      ++refused;
      return false;
    }
    ++n;
    ++total;
    return true;
  }

  void Leave(const std::string& addr) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = perAddress.find(addr);
    if (it != perAddress.end() && --it->second == 0) perAddress.erase(it);
    --total;
  }

  size_t Total() {
    std::lock_guard<std::mutex> lock(mutex);
    return total;
  }

  void Connections(RequesterStats& out) {
    std::lock_guard<std::mutex> lock(mutex);
    out.openConnections = total;
    out.refusedConnections = refused;
  }

  void LogRefusal(const std::string& addr, const std::string& why) {
    auto now = Clock::now();
    {
      std::lock_guard<std::mutex> lock(mutex);
      auto it = refusalLogged.find(addr);
      if (it != refusalLogged.end() && now - it->second < kRefusalLogEvery) return;
      if (it == refusalLogged.end() && refusalLogged.size() >= kMaxRefusalMemory) {
        for (auto i = refusalLogged.begin(); i != refusalLogged.end();)
          i = now - i->second >= kRefusalLogEvery ? refusalLogged.erase(i) : std::next(i);
        if (refusalLogged.size() >= kMaxRefusalMemory) return;
      }
      refusalLogged[addr] = now;
    }
    fprintf(stderr, "dblinkd: refusing connections from %s: %s (told once a minute)\n", addr.c_str(), why.c_str());
  }
};

class Worker;

// True when the frame body is a write (an insert or a rewrite); everything else a worker
// answers itself.
bool IsWrite(const uint8_t* body) {
  return plx::GetU16(body) == proto::kCallOperation && plx::GetU32(body + 8) != plx::kClassRead;
}

// One requester connection. Owned by its worker and touched by that thread only; a write's
// reply comes back through the worker's mailbox.
struct Session {
  Session(int f, std::string a, Worker& wk) : fd(f), addr(std::move(a)), w(wk), in(4 + proto::kMaxFrame) {}
  int fd;
  std::string addr;
  Worker& w;
  ConnectionState conn;
  proto::Request req;        // reused, so its buffers are too
  std::vector<uint8_t> in;   // one whole frame at most, with its length
  size_t have = 0;
  std::string out;           // the reply being sent
  size_t outSent = 0;
  Clock::time_point last, frameStart;
  Clock::time_point started;  // the request being answered was read whole
  Operation op = Operation::kInvalid;
  bool readable = false;     // the socket may hold bytes not read yet
  bool peerDone = false;     // the peer closed its side (or the socket failed)
  bool busy = false;         // a request is being answered
  bool writing = false;      // its write is with the store's writer
  bool sending = false;      // a reply is waiting for the peer to take it
  bool closeAfter = false;
  bool closed = false;
  bool queued = false;       // on the worker's list of connections with frames left
  bool writeWaits = false;   // its next frame, a write, waits for the round's reads
};

// Replies of writes (from the writer thread) and new connections (from the acceptor),
// handed to a worker. One eventfd wakes it; it is written only when the box was empty.
struct Mailbox {
  std::mutex mutex;
  std::vector<std::pair<Session*, proto::Reply>> replies;
  std::vector<Session*> arrivals;
  bool wakeSent = false;
  bool wakeAll = false;  // stop: look at every connection now
  int wake = -1;
};

// One thread and its epoll loop. Reads are answered inline, in the order their events
// arrived, a bounded number per round.
class Worker {
 public:
  Worker(Shared& sh, std::chrono::milliseconds sweepEvery) : sh_(sh), sweepEvery_(sweepEvery) {
    ep_ = epoll_create1(EPOLL_CLOEXEC);
    mail_.wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.ptr = nullptr;  // the mailbox
    epoll_ctl(ep_, EPOLL_CTL_ADD, mail_.wake, &e);
  }

  ~Worker() {
    for (Session* s : sessions_) Destroy(s);
    close(mail_.wake);
    close(ep_);
  }

  void Start() {
    thread_ = std::thread([this] { Loop(); });
  }
  void Join() {
    {
      std::lock_guard<std::mutex> lock(mail_.mutex);
      quit_ = true;
    }
    Wake(true);
    if (thread_.joinable()) thread_.join();
  }

  // From the acceptor thread.
  void Arrive(Session* s) {
    count_.fetch_add(1, std::memory_order_relaxed);
    {
      std::lock_guard<std::mutex> lock(mail_.mutex);
      mail_.arrivals.push_back(s);
    }
    Wake(false);
  }

  // From the store's writer thread.
  void Deliver(Session* s, proto::Reply r) {
    {
      std::lock_guard<std::mutex> lock(mail_.mutex);
      mail_.replies.emplace_back(s, std::move(r));
    }
    Wake(false);
  }

  // Stop: every idle connection is closed at once, busy ones after their reply.
  void WakeForStop() { Wake(true); }

  size_t Load() const { return count_.load(std::memory_order_relaxed); }
  uint64_t Served() const { return served_.load(std::memory_order_relaxed); }
  void AddStats(RequestStats& out) const { counters_.AddTo(out); }
  std::thread::id Id() const { return id_; }

  // A request's answer: on this thread for everything a worker answers itself (and for a
  // write refused before it reached the store), else it arrives from the writer thread.
  void Answer(Session* s, proto::Reply r) {
    if (std::this_thread::get_id() != id_) return Deliver(s, std::move(r));
    s->writing = false;
    Send(s, r);
  }

 private:
  void Wake(bool all) {
    bool send;
    {
      std::lock_guard<std::mutex> lock(mail_.mutex);
      if (all) mail_.wakeAll = true;
      send = !mail_.wakeSent;
      mail_.wakeSent = true;
    }
    if (send) {
      uint64_t one = 1;
      ssize_t n = write(mail_.wake, &one, sizeof one);
      (void)n;  // a full counter wakes the loop just as well
    }
  }

  void Loop() {
    id_ = std::this_thread::get_id();
    std::unique_ptr<RoundStore> rounds = sh_.store.OpenRounds();
    store_ = rounds.get();
    epoll_event ev[kEventsPerRound];
    auto nextSweep = Clock::now() + sweepEvery_;
    for (;;) {
      int timeout = int(std::max<int64_t>(
          0, std::chrono::duration_cast<std::chrono::milliseconds>(nextSweep - Clock::now()).count() + 1));
      if (!again_.empty()) timeout = 0;
      int n = epoll_wait(ep_, ev, kEventsPerRound, timeout);
      if (n < 0 && errno != EINTR) {
        fprintf(stderr, "dblinkd: epoll_wait: %s\n", strerror(errno));
        break;
      }
      now_ = Clock::now();
      bool quit = false, sweepAll = false, mail = false;
      for (int i = 0; i < n; ++i) mail = mail || !ev[i].data.ptr;
      // Reads first: a write only joins the writer's next group, which a few reads ahead
      // of it do not delay, while a read waiting behind writes waits for nothing.
      // Connections with frames left from the last round go first, then this round's events.
      readsOnly_ = true;
      std::vector<Session*> waiting;
      waiting.swap(again_);
      for (Session* s : waiting) {
        s->queued = false;
        Process(s);
      }
      for (int i = 0; i < n; ++i)
        if (ev[i].data.ptr) OnEvent(static_cast<Session*>(ev[i].data.ptr), ev[i].events);
      readsOnly_ = false;
      std::vector<Session*> writes;
      writes.swap(writesLater_);
      for (Session* s : writes) {
        s->writeWaits = false;
        Process(s);
      }
      // The replies of finished writes after this round's reads and in a transaction of
      // their own: a read a connection sent behind its write then sees that write.
      if (mail) {
        store_->EndRound();
        TakeMail(quit, sweepAll);
        if (quit) break;
      }
      store_->EndRound();
      if (sweepAll || now_ >= nextSweep || sh_.stopping) {
        Sweep();
        nextSweep = now_ + sweepEvery_;
      }
      Bury();
    }
    store_->EndRound();
    store_ = nullptr;
  }

  void TakeMail(bool& quit, bool& sweepAll) {
    uint64_t v;
    ssize_t r = read(mail_.wake, &v, sizeof v);
    (void)r;
    std::vector<std::pair<Session*, proto::Reply>> replies;
    std::vector<Session*> arrivals;
    {
      std::lock_guard<std::mutex> lock(mail_.mutex);
      replies.swap(mail_.replies);
      arrivals.swap(mail_.arrivals);
      mail_.wakeSent = false;
      sweepAll = mail_.wakeAll;
      mail_.wakeAll = false;
      quit = quit_;
    }
    for (Session* s : arrivals) Begin(s);
    for (auto& [s, r] : replies) {
      s->writing = false;
      if (s->closed) continue;  // buried at the end of the round
      Send(s, r);
      Process(s);
    }
  }

  void Begin(Session* s) {
    sessions_.push_back(s);
    s->conn.limit.perSecond = sh_.limits.writesPerSecond;
    s->conn.limit.burst = sh_.limits.writeBurst;
    int one = 1;
    setsockopt(s->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // one request, one reply: no Nagle wait
    s->last = now_;
    s->readable = true;  // bytes may have come before the socket was watched
    epoll_event e{};
    e.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    e.data.ptr = s;
    if (epoll_ctl(ep_, EPOLL_CTL_ADD, s->fd, &e) != 0) return Close(s);
    Process(s);
  }

  void OnEvent(Session* s, uint32_t events) {
    if (s->closed) return;
    if (events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)) s->peerDone = true;
    if (events & EPOLLERR) return Close(s);
    if (s->sending && (events & EPOLLOUT)) {
      Flush(s);
      if (s->closed || s->sending) return;
    }
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) s->readable = true;
    Process(s);
  }

  // Answers the whole frames in the buffer, one at a time, reading when it needs more.
  void Process(Session* s) {
    for (int answered = 0; !s->busy && !s->closed;) {
      if (s->have >= 4) {
        uint32_t len = plx::GetU32(s->in.data());
        // A frame that cannot be right is not read at all: answer and hang up, since the
        // stream has lost its framing.
        if (len < proto::kHeaderSize || len > proto::kMaxFrame) {
          s->started = Clock::now();
          return Refuse(s);
        }
        if (s->have >= 4 + size_t(len)) {
          if (answered++ == kFramesPerTurn) {
            s->queued = true;
            again_.push_back(s);
            return;
          }
          if (readsOnly_ && IsWrite(s->in.data() + 4)) {
            s->writeWaits = true;
            writesLater_.push_back(s);
            return;
          }
          Handle(s, len);
          continue;
        }
      }
      if (!s->readable && !s->peerDone) return;
      if (!ReadSome(s)) return;
    }
  }

  // One recv. A short read means the socket was drained: the next bytes bring a new event.
  bool ReadSome(Session* s) {
    size_t room = s->in.size() - s->have;
    ssize_t n = recv(s->fd, s->in.data() + s->have, room, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      s->readable = false;
      return !s->peerDone ? false : (Close(s), false);
    }
    if (n <= 0) return Close(s), false;
    if (s->have == 0) s->frameStart = now_;
    s->have += size_t(n);
    s->last = now_;
    s->readable = size_t(n) == room;
    return true;
  }

  void Handle(Session* s, uint32_t len) {
    s->started = Clock::now();
    bool ok = proto::DecodeRequest(s->in.data() + 4, len, s->req);
    s->op = ok ? OperationOf(s->req) : Operation::kInvalid;
    s->have -= 4 + len;
    if (s->have > 0) {
      memmove(s->in.data(), s->in.data() + 4 + len, s->have);
      s->frameStart = now_;
    }
    if (!ok) return Refuse(s);
    s->busy = true;
    s->writing = true;  // until answered: a reply that comes later comes from the writer
    HandleRequest(*store_, s->conn, s->req, [s](proto::Reply r) { s->w.Answer(s, std::move(r)); });
  }

  void Refuse(Session* s) {
    proto::Reply r;
    r.status = plx::kDbInvalidOperation;
    s->op = Operation::kInvalid;
    s->busy = true;
    s->closeAfter = true;
    Send(s, r);
  }

  // The reply goes out with one send when the socket takes it (the usual case); the rest,
  // if any, when the socket says it has room.
  void Send(Session* s, const proto::Reply& r) {
    served_.store(served_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    s->last = now_;
    if (!s->closed) {
      s->out.resize(4 + proto::kReplyHeaderSize);
      uint8_t* p = reinterpret_cast<uint8_t*>(&s->out[0]);
      plx::PutU32(p, proto::kReplyHeaderSize + uint32_t(r.data.size()));
      plx::PutU32(p + 4, uint32_t(r.status));
      plx::PutU32(p + 8, r.rowId);
      s->out += r.data;
      s->outSent = 0;
      s->sending = true;
    }
    // Counted as the reply is handed over, so that a requester that has its reply finds
    // it counted.
    counters_.Count(s->op, r.status, Clock::now() - s->started);
    if (!s->closed) Flush(s);
  }

  void Flush(Session* s) {
    while (s->outSent < s->out.size()) {
      ssize_t n = send(s->fd, s->out.data() + s->outSent, s->out.size() - s->outSent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // EPOLLOUT brings the rest
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Close(s);
      s->outSent += size_t(n);
    }
    s->sending = false;
    s->busy = false;
    s->last = now_;
    if (s->closeAfter || sh_.stopping) Close(s);
  }

  // Closes a connection idle too long, stalled inside a frame, or whose reply the peer
  // does not take; on stop, every connection not answering a request. A write waiting
  // for its commit is left to the store.
  void Sweep() {
    auto idle = std::chrono::seconds(sh_.limits.idleTimeoutSec);
    auto stall = std::chrono::seconds(sh_.limits.frameTimeoutSec);
    for (Session* s : sessions_) {
      if (s->closed) continue;
      if (sh_.stopping && !s->busy) Close(s);
      else if (s->sending ? now_ - s->last > stall
                          : !s->busy && (s->have > 0 ? now_ - s->frameStart > stall : now_ - s->last > idle))
        Close(s);
    }
  }

  void Close(Session* s) {
    if (s->closed) return;
    s->closed = true;
    shutdown(s->fd, SHUT_RDWR);
    close(s->fd);  // also leaves the epoll set
    s->fd = -1;
    sh_.Leave(s->addr);
    count_.fetch_sub(1, std::memory_order_relaxed);
  }

  // Frees the closed connections once nothing of this round refers to them; one whose
  // write is still with the writer waits for its reply.
  void Bury() {
    size_t keep = 0;
    for (Session* s : sessions_) {
      if (s->closed && !s->writing && !s->queued && !s->writeWaits) {
        Destroy(s);
        continue;
      }
      sessions_[keep++] = s;
    }
    sessions_.resize(keep);
  }

  void Destroy(Session* s) {
    if (!s->closed) Close(s);
    delete s;
  }

  Shared& sh_;
  std::chrono::milliseconds sweepEvery_;
  int ep_ = -1;
  Mailbox mail_;
  bool quit_ = false;  // under mail_.mutex
  std::thread thread_;
  std::thread::id id_;
  RoundStore* store_ = nullptr;
  Clock::time_point now_ = Clock::now();
  std::vector<Session*> sessions_;
  std::vector<Session*> again_;
  std::vector<Session*> writesLater_;
  bool readsOnly_ = false;  // the first pass of a round: writes wait for the second
  std::atomic<size_t> count_{0};
  alignas(64) std::atomic<uint64_t> served_{0};
  RequestCounters counters_;  // this thread's only
};

std::string PeerAddress(const sockaddr_storage& a) {
  char b[INET6_ADDRSTRLEN] = "";
  if (a.ss_family == AF_INET) inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, b, sizeof b);
  else if (a.ss_family == AF_INET6) inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(a).sin6_addr, b, sizeof b);
  return b;
}

}  // namespace

struct RequesterServer::Impl {
  // The workers exist from the start, so that a scrape before Start finds them.
  Impl(Store& s, const Limits& l) : shared(s, l) {
    shared.maxConnections = l.maxConnections;
    // Sweep often enough that a time-out is kept to within a quarter of itself.
    uint32_t shortest = std::max<uint32_t>(1, std::min(l.idleTimeoutSec, l.frameTimeoutSec));
    auto every = std::chrono::milliseconds(std::min<uint32_t>(1000, shortest * 250));
    size_t n = l.threads ? l.threads : 1;
    for (size_t i = 0; i < n; ++i) workers.emplace_back(new Worker(shared, every));
  }

  ~Impl() {
    if (listenFd >= 0) close(listenFd);
    if (stopFd >= 0) close(stopFd);
  }

  void AcceptLoop() {
    pollfd p[2] = {{stopFd, POLLIN, 0}, {listenFd, POLLIN, 0}};
    bool pause = false;
    for (;;) {
      // While out of descriptors only the stop is watched, for a while: the waiting
      // connection would otherwise wake this loop again at once.
      if (poll(p, pause ? 1 : 2, pause ? kAcceptRetryMs : -1) < 0 && errno != EINTR) break;
      if (p[0].revents) break;
      pause = false;
      for (;;) {
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
          Admit(fd, peer);
          continue;
        }
        if (errno == EINTR || errno == ECONNABORTED) continue;
        // Running out of descriptors must not end the service: try again a little later.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          shared.LogRefusal("everyone", "out of descriptors");
          pause = true;
        }
        break;
      }
    }
  }

  // Over a cap, the connection is reset at once: the client learns now, not after a
  // time-out, and holds nothing of the service. Under it, the connection goes to the
  // worker with the fewest.
  void Admit(int fd, const sockaddr_storage& peer) {
    std::string addr = PeerAddress(peer), why;
    if (!shared.Admit(addr, why)) {
      linger l{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      close(fd);
      shared.LogRefusal(addr, why);
      return;
    }
    Worker* w = workers[0].get();
    for (auto& x : workers)
      if (x->Load() < w->Load()) w = x.get();
    w->Arrive(new Session(fd, addr, *w));
  }

  Shared shared;
  int listenFd = -1;
  int stopFd = -1;
  std::thread acceptThread;
  std::vector<std::unique_ptr<Worker>> workers;
  bool started = false;
};

RequesterServer::RequesterServer(Store& store, const Limits& limits) : impl_(new Impl(store, limits)) {}

RequesterServer::~RequesterServer() { Stop(); }

bool RequesterServer::Listen(const Endpoint& ep, std::string& error) {
  std::string host = ep.host == "localhost" ? "127.0.0.1" : ep.host;
  sockaddr_storage a{};
  socklen_t len = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&a);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&a);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(ep.port);
    len = sizeof *v4;
  } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(ep.port);
    len = sizeof *v6;
  } else {
    error = "--listen: not an IP address: " + ep.host;
    return false;
  }
  int fd = socket(a.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int one = 1;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(fd, SOMAXCONN) != 0) {
    error = "cannot listen on " + ep.host + ":" + std::to_string(ep.port) + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  impl_->listenFd = fd;
  return true;
}

uint64_t RequesterServer::RequestsServed() const {
  uint64_t n = 0;
  for (auto& w : impl_->workers) n += w->Served();
  return n;
}

void RequesterServer::Collect(RequesterStats& out) const {
  out = RequesterStats{};
  for (auto& w : impl_->workers) w->AddStats(out.requests);
  impl_->shared.Connections(out);
}

uint16_t RequesterServer::Port() const {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (impl_->listenFd < 0 || getsockname(impl_->listenFd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.ss_family == AF_INET ? reinterpret_cast<sockaddr_in&>(a).sin_port
                                      : reinterpret_cast<sockaddr_in6&>(a).sin6_port);
}

void RequesterServer::Start() {
  Impl& m = *impl_;
  if (m.listenFd < 0) return;
  m.started = true;
  for (auto& w : m.workers) w->Start();
  m.stopFd = eventfd(0, EFD_CLOEXEC);
  m.acceptThread = std::thread([&m] { m.AcceptLoop(); });
}

void RequesterServer::Stop() {
  Impl& m = *impl_;
  if (!m.started) return;
  m.started = false;
  uint64_t one = 1;
  if (write(m.stopFd, &one, sizeof one) != sizeof one) fprintf(stderr, "dblinkd: cannot stop accepting\n");
  m.acceptThread.join();
  close(m.listenFd);
  m.listenFd = -1;
  // Every session ends after its current reply (idle ones at once); one that does not
  // within the grace time (a peer that stopped reading) is cut off with its loop.
  m.shared.stopping = true;
  for (auto& w : m.workers) w->WakeForStop();
  auto deadline = Clock::now() + kStopGrace;
  while (m.shared.Total() > 0 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  for (auto& w : m.workers) w->Join();
}

}  // namespace dblink
