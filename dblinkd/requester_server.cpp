#include "requester_server.h"

#include <asio.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "plx/bytes.h"
#include "plx/proto.h"
#include "requests.h"

namespace dblink {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
namespace proto = plx::proto;

namespace {

// A refusal is logged once per client address per minute; the memory of whom was told
// is bounded.
constexpr auto kRefusalLogEvery = std::chrono::minutes(1);
constexpr size_t kMaxRefusalMemory = 4096;
constexpr auto kStopGrace = std::chrono::seconds(10);

class Session;

// One event loop and its thread. The session list is touched by this thread only.
struct Worker {
  asio::io_context io{1};  // one thread: asio may leave out its locks
  asio::steady_timer sweep{io};
  std::vector<std::weak_ptr<Session>> sessions;
  std::thread thread;
  std::thread::id id;
};

// What the workers share: connection counts per address and in all, and the log memory.
struct Shared {
  Store& store;
  Limits limits;
  size_t maxConnections = 0;
  std::mutex mutex;
  std::unordered_map<std::string, uint32_t> perAddress;
  size_t total = 0;
  std::unordered_map<std::string, Clock::time_point> refusalLogged;
  std::atomic<uint64_t> served{0};
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

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, Worker& w, Shared& sh, std::string addr)
      : socket_(std::move(socket)), w_(w), sh_(sh), addr_(std::move(addr)), in_(4 + proto::kMaxFrame) {
    conn_.limit.perSecond = sh.limits.writesPerSecond;
    conn_.limit.burst = sh.limits.writeBurst;
  }

  ~Session() { sh_.Leave(addr_); }

  // On the worker's thread.
  void Begin() {
    w_.sessions.push_back(shared_from_this());
    asio::error_code ec;
    socket_.set_option(tcp::no_delay(true), ec);  // one request, one reply: no Nagle wait
    socket_.non_blocking(true, ec);                // replies are written at once when they fit
    last_ = Clock::now();
    Process();
  }

  // The sweep: closes a connection idle too long, stalled inside a frame, or whose reply
  // the peer does not take. A write waiting for its commit is left to the store.
  void Sweep(Clock::time_point now) {
    if (closed_) return;
    if (sh_.stopping && !busy_) return Close();
    auto idle = std::chrono::seconds(sh_.limits.idleTimeoutSec);
    auto stall = std::chrono::seconds(sh_.limits.frameTimeoutSec);
    if (sending_ ? now - last_ > stall : !busy_ && (have_ > 0 ? now - frameStart_ > stall : now - last_ > idle))
      Close();
  }

 private:
  // Answers every whole frame in the buffer, one at a time, then reads for more.
  void Process() {
    while (!busy_ && !closed_) {
      if (have_ < 4 || have_ < 4 + size_t(plx::GetU32(in_.data()))) {
        if (have_ >= 4) {
          uint32_t len = plx::GetU32(in_.data());
          // A frame that cannot be right is not read at all: answer and hang up, since the
          // stream has lost its framing.
          if (len < proto::kHeaderSize || len > proto::kMaxFrame) return Refuse();
        }
        return Read();
      }
      uint32_t len = plx::GetU32(in_.data());
      if (len < proto::kHeaderSize || len > proto::kMaxFrame) return Refuse();
      proto::Request req;
      bool ok = proto::DecodeRequest(in_.data() + 4, len, req);
      have_ -= 4 + len;
      memmove(in_.data(), in_.data() + 4 + len, have_);
      if (have_ > 0) frameStart_ = Clock::now();
      if (!ok) return Refuse();
      busy_ = true;
      HandleRequest(sh_.store, conn_, req, [self = shared_from_this()](proto::Reply r) mutable {
        std::shared_ptr<Session> s = std::move(self);
        Session* p = s.get();
        p->OnReply(std::move(r), std::move(s));
      });
    }
  }

  void Read() {
    if (reading_ || closed_) return;
    reading_ = true;
    socket_.async_read_some(asio::buffer(in_.data() + have_, in_.size() - have_),
                            [self = shared_from_this()](const asio::error_code& ec, size_t n) {
                              self->reading_ = false;
                              if (ec) return self->Close();
                              if (self->have_ == 0) self->frameStart_ = Clock::now();
                              self->have_ += n;
                              self->last_ = Clock::now();
                              self->Process();
                            });
  }

  // A read answers on this thread, inside Process; a write's reply comes from the store's
  // writer thread and is carried back here.
  void OnReply(proto::Reply r, std::shared_ptr<Session> self) {
    if (std::this_thread::get_id() == w_.id) return Send(proto::EncodeReply(r), false);
    asio::post(w_.io, [self = std::move(self), r = std::move(r)] {
      self->Send(proto::EncodeReply(r), false);
      self->Process();
    });
  }

  void Refuse() {
    proto::Reply r;
    r.status = plx::kDbInvalidOperation;
    busy_ = true;
    Send(proto::EncodeReply(r), true);
  }

  // Writes the reply at once when the socket takes it (the usual case); the rest, if any,
  // is left to the event loop.
  void Send(std::string frame, bool closeAfter) {
    sh_.served.fetch_add(1, std::memory_order_relaxed);
    last_ = Clock::now();
    if (closed_) return;
    out_ = std::move(frame);
    asio::error_code ec;
    size_t n = socket_.write_some(asio::buffer(out_), ec);
    if (ec && ec != asio::error::would_block && ec != asio::error::try_again) return Close();
    if (n == out_.size()) return Sent(closeAfter);
    sending_ = true;
    asio::async_write(socket_, asio::buffer(out_.data() + n, out_.size() - n),
                      [self = shared_from_this(), closeAfter](const asio::error_code& ec, size_t) {
                        self->sending_ = false;
                        if (ec) return self->Close();
                        self->Sent(closeAfter);
                        self->Process();
                      });
  }

  void Sent(bool closeAfter) {
    busy_ = false;
    last_ = Clock::now();
    if (closeAfter || sh_.stopping) Close();
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    asio::error_code ec;
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.close(ec);
  }

  tcp::socket socket_;
  Worker& w_;
  Shared& sh_;
  std::string addr_;
  ConnectionState conn_;
  std::vector<uint8_t> in_;  // one whole frame at most, with its length
  size_t have_ = 0;
  std::string out_;
  Clock::time_point last_, frameStart_;
  bool busy_ = false;     // a request is being answered
  bool reading_ = false;
  bool sending_ = false;  // a reply is waiting for the peer to take it
  bool closed_ = false;
};

void ArmSweep(Worker& w, std::chrono::milliseconds every) {
  w.sweep.expires_after(every);
  w.sweep.async_wait([&w, every](const asio::error_code& ec) {
    if (ec) return;
    auto now = Clock::now();
    size_t keep = 0;
    for (size_t i = 0; i < w.sessions.size(); ++i) {
      std::shared_ptr<Session> s = w.sessions[i].lock();
      if (!s) continue;
      s->Sweep(now);
      w.sessions[keep++] = w.sessions[i];
    }
    w.sessions.resize(keep);
    ArmSweep(w, every);
  });
}

}  // namespace

struct RequesterServer::Impl {
  Impl(Store& s, const Limits& l) : shared(s, l), acceptor(acceptIo) {
    size_t n = l.threads ? l.threads : 1;
    for (size_t i = 0; i < n; ++i) workers.emplace_back(new Worker);
    shared.maxConnections = l.maxConnections;
  }

  void Accept() {
    Worker& w = *workers[next++ % workers.size()];
    acceptor.async_accept(w.io, [this, &w](const asio::error_code& ec, tcp::socket sock) {
      if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
      if (!ec) Admit(w, std::move(sock));
      // Running out of descriptors must not end the service: try again a little later.
      if (ec && (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space)) {
        shared.LogRefusal("everyone", "out of descriptors");
        retry.expires_after(std::chrono::milliseconds(50));
        retry.async_wait([this](const asio::error_code& e) { if (!e && acceptor.is_open()) Accept(); });
        return;
      }
      Accept();
    });
  }

  // Over a cap, the connection is reset at once: the client learns now, not after a
  // time-out, and holds nothing of the service.
  void Admit(Worker& w, tcp::socket sock) {
    asio::error_code ec;
    tcp::endpoint peer = sock.remote_endpoint(ec);
    if (ec) return;
    std::string addr = peer.address().to_string(), why;
    if (!shared.Admit(addr, why)) {
      sock.set_option(asio::socket_base::linger(true, 0), ec);
      sock.close(ec);
      shared.LogRefusal(addr, why);
      return;
    }
    auto s = std::make_shared<Session>(std::move(sock), w, shared, addr);
    asio::post(w.io, [s] { s->Begin(); });
  }

  Shared shared;
  asio::io_context acceptIo{1};
  tcp::acceptor acceptor;
  asio::steady_timer retry{acceptIo};
  std::thread acceptThread;
  std::vector<std::unique_ptr<Worker>> workers;
  size_t next = 0;
  bool started = false;
};

RequesterServer::RequesterServer(Store& store, const Limits& limits) : impl_(new Impl(store, limits)) {}

RequesterServer::~RequesterServer() { Stop(); }

bool RequesterServer::Listen(const Endpoint& ep, std::string& error) {
  asio::error_code ec;
  std::string host = ep.host == "localhost" ? "127.0.0.1" : ep.host;
  asio::ip::address addr = asio::ip::make_address(host, ec);
  if (ec) { error = "--listen: not an IP address: " + ep.host; return false; }
  tcp::endpoint e(addr, ep.port);
  tcp::acceptor& a = impl_->acceptor;
  a.open(e.protocol(), ec);
  if (!ec) a.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) a.bind(e, ec);
  if (!ec) a.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    error = "cannot listen on " + ep.host + ":" + std::to_string(ep.port) + ": " + ec.message();
    return false;
  }
  return true;
}

uint64_t RequesterServer::RequestsServed() const { return impl_->shared.served.load(); }

uint16_t RequesterServer::Port() const {
  asio::error_code ec;
  return impl_->acceptor.local_endpoint(ec).port();
}

void RequesterServer::Start() {
  Impl& m = *impl_;
  m.started = true;
  // Sweep often enough that a time-out is kept to within a quarter of itself.
  uint32_t shortest = std::max<uint32_t>(1, std::min(m.shared.limits.idleTimeoutSec, m.shared.limits.frameTimeoutSec));
  auto every = std::chrono::milliseconds(std::min<uint32_t>(1000, shortest * 250));
  for (auto& w : m.workers) {
    Worker* wp = w.get();
    ArmSweep(*wp, every);
    wp->thread = std::thread([wp] {
      wp->id = std::this_thread::get_id();
      wp->io.run();
    });
  }
  // Sessions are begun on a worker only once its thread id is known.
  for (auto& w : m.workers)
    while (w->id == std::thread::id()) std::this_thread::yield();
  m.Accept();
  m.acceptThread = std::thread([&m] { m.acceptIo.run(); });
}

void RequesterServer::Stop() {
  Impl& m = *impl_;
  if (!m.started) return;
  m.started = false;
  asio::post(m.acceptIo, [&m] {
    asio::error_code ec;
    m.acceptor.close(ec);
    m.retry.cancel();
  });
  m.acceptThread.join();
  // Every session ends after its current reply (the sweep closes the idle ones); one that
  // does not within the grace time (a peer that stopped reading) is cut off with its loop.
  m.shared.stopping = true;
  for (auto& w : m.workers) {
    Worker* wp = w.get();
    asio::post(wp->io, [wp] {
      for (auto& ws : wp->sessions)
        if (auto s = ws.lock()) s->Sweep(Clock::now());
    });
  }
  auto deadline = Clock::now() + kStopGrace;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(m.shared.mutex);
      if (m.shared.total == 0) break;
    }
    if (Clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (auto& w : m.workers) {
    w->io.stop();
    if (w->thread.joinable()) w->thread.join();
  }
}

}  // namespace dblink
