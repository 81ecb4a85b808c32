#include "requester_server.h"

#include <asio.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "plx/bytes.h"
#include "plx/proto.h"
#include "requests.h"

namespace dblink {

using asio::ip::tcp;
namespace proto = plx::proto;

namespace {

class Session;

// Live sessions, so that a stop can reach the idle ones.
struct Registry {
  std::mutex mutex;
  std::unordered_map<Session*, std::weak_ptr<Session>> live;
  std::atomic<uint64_t> served{0};  // requests answered, told at stop
};

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, Store& store, Registry& reg)
      : socket_(std::move(socket)), store_(store), reg_(reg) {}

  ~Session() {
    std::lock_guard<std::mutex> lock(reg_.mutex);
    reg_.live.erase(this);
  }

  void Begin() {
    {
      std::lock_guard<std::mutex> lock(reg_.mutex);
      reg_.live[this] = shared_from_this();
    }
    asio::error_code ec;
    socket_.set_option(tcp::no_delay(true), ec);  // one request, one reply: no Nagle wait
    ReadHeader();
  }

  // Runs on the session's strand: an idle connection closes now, a busy one after its reply.
  void Stop() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] {
      self->stopping_ = true;
      if (!self->writing_) self->Close();
    });
  }

 private:
  void ReadHeader() {
    asio::async_read(socket_, asio::buffer(lenBuf_, 4),
                     [self = shared_from_this()](const asio::error_code& ec, size_t) {
                       if (ec) return self->Close();
                       self->OnHeader();
                     });
  }

  void OnHeader() {
    uint32_t len = plx::GetU32(lenBuf_);
    // A frame that cannot be right is not read at all: answer and hang up, since the
    // stream has lost its framing.
    if (len < proto::kHeaderSize || len > proto::kMaxFrame) return Refuse();
    body_.resize(len);
    asio::async_read(socket_, asio::buffer(body_),
                     [self = shared_from_this()](const asio::error_code& ec, size_t) {
                       if (ec) return self->Close();
                       self->OnBody();
                     });
  }

  void OnBody() {
    proto::Request req;
    if (!proto::DecodeRequest(body_.data(), body_.size(), req)) return Refuse();
    proto::Reply reply;
    try {
      reply = HandleRequest(store_, req);
    } catch (const std::exception& e) {
      fprintf(stderr, "dblinkd: request failed: %s\n", e.what());
      reply = proto::Reply{};
      reply.status = plx::kDbUnknownError;
    }
    reg_.served.fetch_add(1, std::memory_order_relaxed);
    Send(proto::EncodeReply(reply), false);
  }

  void Refuse() {
    proto::Reply r;
    r.status = plx::kDbInvalidOperation;
    Send(proto::EncodeReply(r), true);
  }

  void Send(std::string frame, bool closeAfter) {
    out_ = std::move(frame);
    writing_ = true;
    asio::async_write(socket_, asio::buffer(out_),
                      [self = shared_from_this(), closeAfter](const asio::error_code& ec, size_t) {
                        self->writing_ = false;
                        if (ec || closeAfter || self->stopping_) return self->Close();
                        self->ReadHeader();
                      });
  }

  void Close() {
    asio::error_code ec;
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.close(ec);
  }

  tcp::socket socket_;
  Store& store_;
  Registry& reg_;
  uint8_t lenBuf_[4] = {};
  std::vector<uint8_t> body_;
  std::string out_;
  bool writing_ = false;
  bool stopping_ = false;
};

}  // namespace

struct RequesterServer::Impl {
  // The acceptor has a strand of its own: accepts and the close at stop never overlap.
  Impl(Store& s, int n) : store(s), threadCount(n), acceptor(asio::make_strand(io)) {}

  void Accept() {
    acceptor.async_accept(asio::make_strand(io), [this](const asio::error_code& ec, tcp::socket sock) {
      if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
      if (!ec) std::make_shared<Session>(std::move(sock), store, registry)->Begin();
      // Running out of descriptors must not end the service: try again a little later.
      if (ec && (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space)) {
        auto t = std::make_shared<asio::steady_timer>(acceptor.get_executor(), std::chrono::milliseconds(50));
        t->async_wait([this, t](const asio::error_code&) { if (acceptor.is_open()) Accept(); });
        return;
      }
      Accept();
    });
  }

  Store& store;
  int threadCount;
  Registry registry;  // outlives io: sessions still queued there unregister when destroyed
  asio::io_context io;
  tcp::acceptor acceptor;
  std::vector<std::thread> threads;
};

RequesterServer::RequesterServer(Store& store, int threads) : impl_(new Impl(store, threads)) {}

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

uint64_t RequesterServer::RequestsServed() const { return impl_->registry.served.load(); }

uint16_t RequesterServer::Port() const {
  asio::error_code ec;
  return impl_->acceptor.local_endpoint(ec).port();
}

void RequesterServer::Start() {
  impl_->Accept();
  for (int i = 0; i < impl_->threadCount; ++i)
    impl_->threads.emplace_back([this] { impl_->io.run(); });
}

void RequesterServer::Stop() {
  if (impl_->threads.empty()) return;
  asio::post(impl_->acceptor.get_executor(), [this] {
    asio::error_code ec;
    impl_->acceptor.close(ec);
  });
  // Every session ends after its current reply; one that does not within the grace time
  // (a peer that stopped reading) is cut off with the io loop.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    std::vector<std::shared_ptr<Session>> live;
    {
      std::lock_guard<std::mutex> lock(impl_->registry.mutex);
      for (auto& [p, w] : impl_->registry.live)
        if (auto s = w.lock()) live.push_back(s);
    }
    if (live.empty() || std::chrono::steady_clock::now() > deadline) break;
    for (auto& s : live) s->Stop();
    live.clear();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  impl_->io.stop();
  for (std::thread& t : impl_->threads) t.join();
  impl_->threads.clear();
}

}  // namespace dblink
