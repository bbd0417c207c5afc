#include "relay/node_link.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <vector>

namespace ov::relay {
namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

// The largest message: a chunk of a binary message at the relay's limit, with its header.
constexpr std::size_t kMaxLinkMessage = kBinaryLimit + fleet::kHeaderMax;
// Messages written together in one gathered write.
constexpr std::size_t kBatch = 64;
// An accepted link is nobody's until its hello: its first message may be no longer than a hello
// (a heartbeat carrying the token), it must arrive within kHelloTimeout, and at most
// kMaxUnnamedLinks such links are held at once. Whoever reaches the port without being a member
// thus holds a few bytes for a few seconds, not a message buffer for as long as it likes.
constexpr std::size_t kMaxHello = fleet::kHeaderMax + 256;
constexpr auto kHelloTimeout = std::chrono::seconds(10);
constexpr std::size_t kMaxUnnamedLinks = 64;

tcp::endpoint ParseEndpoint(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) throw std::runtime_error("expected IP:PORT");
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  error_code ec;
  const auto address = net::ip::make_address(host, ec);
  if (ec) throw std::runtime_error("not an IP address: " + host);
  const unsigned long port = std::stoul(text.substr(colon + 1));
  if (port > 65535) throw std::runtime_error("port out of range");
  return {address, static_cast<std::uint16_t>(port)};
}

void PutLength(std::array<std::uint8_t, 4>& out, std::size_t n) {
  for (std::size_t i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>((n >> (8 * i)) & 0xff);
}

}  // namespace

class NodeLinks::Impl {
 public:
  Impl(const std::string& listen, std::string self, std::string token, Events& events)
      : self_(std::move(self)), token_(std::move(token)), events_(events), acceptor_(ioc_) {
    try {
      const tcp::endpoint endpoint = ParseEndpoint(listen);
      acceptor_.open(endpoint.protocol());
      acceptor_.set_option(net::socket_base::reuse_address(true));
      acceptor_.bind(endpoint);
      acceptor_.listen();
    } catch (const std::exception& e) {
      throw std::runtime_error("node link on " + listen + ": " + e.what());
    }
    const tcp::endpoint bound = acceptor_.local_endpoint();
    const std::string ip = bound.address().to_string();
    address_ = (bound.address().is_v6() ? "[" + ip + "]" : ip) + ":" + std::to_string(bound.port());
    Accept();
    thread_ = std::thread([this] { ioc_.run(); });
  }

  ~Impl() { Stop(); }

  std::string Address() const { return address_; }

  bool Send(const std::string& node, const std::string& address, std::string message) {
    if (stopped_.load()) return false;
    std::shared_ptr<Out> out;
    {
      std::lock_guard lock(mutex_);
      auto& slot = outs_[node];
      if (!slot || slot->failed) slot = Dial(node, address);
      out = slot;
    }
    if (!out) return false;
    {
      std::lock_guard lock(out->mutex);
      if (out->failed) return false;
      out->queue.push_back(std::move(message));
      if (out->writing || !out->connected) return true;
      out->writing = true;
    }
    net::post(ioc_, [this, out] { Write(out); });
    return true;
  }

  void Stop() {
    if (stopped_.exchange(true)) return;
    net::post(ioc_, [this] {
      error_code ignored;
      acceptor_.close(ignored);
      std::lock_guard lock(mutex_);
      for (auto& [node, out] : outs_) {
        if (out) out->socket.close(ignored);
      }
      for (auto& in : ins_) {
        in->socket.close(ignored);
        in->hello.cancel();
      }
    });
    // Every pending operation ends with the sockets, and with it the thread.
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    outs_.clear();
    ins_.clear();
  }

 private:
  // The link this node dialled to another one.
  struct Out {
    explicit Out(net::io_context& ioc) : socket(ioc) {}
    std::string node;
    tcp::socket socket;
    std::mutex mutex;
    std::deque<std::string> queue;  // messages not yet written (the hello first)
    bool connected = false;
    bool writing = false;
    bool failed = false;
    // The batch being written.
    std::vector<std::string> batch;
    std::vector<std::array<std::uint8_t, 4>> lengths;
  };
  // A link another node dialled to this one.
  struct In {
    explicit In(net::io_context& ioc) : socket(ioc), hello(ioc) {}
    tcp::socket socket;
    net::steady_timer hello;  // closes the socket unless the hello came in time
    std::string node;  // once the hello named it
    std::uint8_t length[4] = {};
    std::vector<std::uint8_t> message;
  };

  // With mutex_ held.
  std::shared_ptr<Out> Dial(const std::string& node, const std::string& address) {
    tcp::endpoint endpoint;
    try {
      endpoint = ParseEndpoint(address);
    } catch (const std::exception&) {
      return nullptr;
    }
    auto out = std::make_shared<Out>(ioc_);
    out->node = node;
    fleet::Message hello;
    hello.kind = fleet::Kind::kHeartbeat;
    hello.from = self_;
    hello.body = {reinterpret_cast<const std::uint8_t*>(token_.data()), token_.size()};
    std::string bytes;
    fleet::Encode(hello, bytes);
    out->queue.push_back(std::move(bytes));
    out->socket.async_connect(endpoint, [this, out](const error_code& ec) {
      if (ec) return Fail(out);
      error_code ignored;
      out->socket.set_option(tcp::no_delay(true), ignored);
      {
        std::lock_guard lock(out->mutex);
        out->connected = true;
        out->writing = true;
      }
      Write(out);
    });
    return out;
  }

  // On the link thread, with `writing` set: writes what is queued, a batch at a time.
  void Write(const std::shared_ptr<Out>& out) {
    {
      std::lock_guard lock(out->mutex);
      if (out->failed) return;
      if (out->queue.empty()) {
        out->writing = false;
        return;
      }
      out->batch.clear();
      while (!out->queue.empty() && out->batch.size() < kBatch) {
        out->batch.push_back(std::move(out->queue.front()));
        out->queue.pop_front();
      }
    }
    out->lengths.resize(out->batch.size());
    std::vector<net::const_buffer> buffers;
    buffers.reserve(2 * out->batch.size());
    for (std::size_t i = 0; i < out->batch.size(); ++i) {
      PutLength(out->lengths[i], out->batch[i].size());
      buffers.emplace_back(out->lengths[i].data(), 4);
      buffers.emplace_back(out->batch[i].data(), out->batch[i].size());
    }
    net::async_write(out->socket, buffers, [this, out](const error_code& ec, std::size_t) {
      if (ec) return Fail(out);
      Write(out);
    });
  }

  void Fail(const std::shared_ptr<Out>& out) {
    {
      std::lock_guard lock(out->mutex);
      if (out->failed) return;
      out->failed = true;
      out->queue.clear();
    }
    error_code ignored;
    out->socket.close(ignored);
    if (!stopped_.load()) events_.OnLinkDown(out->node);
  }

  void Accept() {
    auto in = std::make_shared<In>(ioc_);
    acceptor_.async_accept(in->socket, [this, in](const error_code& ec) {
      if (ec) {
        if (ec == net::error::operation_aborted || stopped_.load()) return;
        return Accept();
      }
      error_code ignored;
      bool held = false;
      {
        std::lock_guard lock(mutex_);
        const auto unnamed = std::count_if(ins_.begin(), ins_.end(),
                                           [](const auto& other) { return other->node.empty(); });
        if (static_cast<std::size_t>(unnamed) < kMaxUnnamedLinks) {
          ins_.push_back(in);
          held = true;
        }
      }
      if (!held) {
        in->socket.close(ignored);
        return Accept();
      }
      in->socket.set_option(tcp::no_delay(true), ignored);
      in->hello.expires_after(kHelloTimeout);
      in->hello.async_wait([weak = std::weak_ptr<In>(in)](const error_code& e) {
        const auto late = weak.lock();
        if (e || !late || !late->node.empty()) return;
        error_code ignoredToo;
        late->socket.close(ignoredToo);  // the pending read fails and drops the link
      });
      ReadLength(in);
      Accept();
    });
  }

  void ReadLength(const std::shared_ptr<In>& in) {
    net::async_read(in->socket, net::buffer(in->length), [this, in](const error_code& ec,
                                                                     std::size_t) {
      if (ec) return Drop(in);
      std::size_t n = 0;
      for (std::size_t i = 4; i-- > 0;) n = (n << 8) | in->length[i];
      if (n == 0 || n > (in->node.empty() ? kMaxHello : kMaxLinkMessage)) return Drop(in);
      in->message.resize(n);
      net::async_read(in->socket, net::buffer(in->message), [this, in](const error_code& e,
                                                                        std::size_t) {
        if (e) return Drop(in);
        const auto m = fleet::Decode(in->message);
        if (!m) return Drop(in);
        if (in->node.empty()) {
          // The hello: a member of the fleet, by the token it announces.
          const std::string token(reinterpret_cast<const char*>(m->body.data()), m->body.size());
          if (m->kind != fleet::Kind::kHeartbeat ||
              !events_.LinkPeerValid(std::string(m->from), token)) {
            return Drop(in);
          }
          in->node = std::string(m->from);
          in->hello.cancel();
        } else if (m->from != in->node) {
          return Drop(in);  // a link speaks for its own node only
        } else if (!stopped_.load()) {
          events_.OnLinkMessage(*m);
        }
        ReadLength(in);
      });
    });
  }

  void Drop(const std::shared_ptr<In>& in) {
    error_code ignored;
    in->socket.close(ignored);
    in->hello.cancel();
    {
      std::lock_guard lock(mutex_);
      std::erase(ins_, in);
    }
    if (!in->node.empty() && !stopped_.load()) events_.OnLinkDown(in->node);
  }

  const std::string self_;
  const std::string token_;
  Events& events_;
  net::io_context ioc_;
  tcp::acceptor acceptor_;
  std::string address_;
  std::atomic<bool> stopped_{false};
  std::mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<Out>> outs_;
  std::vector<std::shared_ptr<In>> ins_;
  std::thread thread_;
};

NodeLinks::NodeLinks(const std::string& listen, std::string self, std::string token,
                     Events& events)
    : impl_(std::make_unique<Impl>(listen, std::move(self), std::move(token), events)) {}
NodeLinks::~NodeLinks() = default;
std::string NodeLinks::Address() const { return impl_->Address(); }
bool NodeLinks::Send(const std::string& node, const std::string& address, std::string message) {
  return impl_->Send(node, address, std::move(message));
}
void NodeLinks::Stop() { impl_->Stop(); }

}  // namespace ov::relay
