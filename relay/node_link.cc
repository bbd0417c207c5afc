#include "relay/node_link.h"

#include <openssl/ssl.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <algorithm>
#include <array>
#include <cstring>
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
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using Stream = ssl::stream<tcp::socket>;
using error_code = boost::system::error_code;

// The largest message: a chunk of a binary message at the relay's limit, with its header.
constexpr std::size_t kMaxLinkMessage = kBinaryLimit + fleet::kHeaderMax;
// Messages written together in one write (a TLS record holds 16 KiB; fewer, fuller records).
constexpr std::size_t kBatch = 64;
constexpr std::size_t kBatchBytes = 256 * 1024;
// An accepted link is nobody's until its hello: its handshake and hello must be done within
// kHelloTimeout, its first message may be no longer than a hello, and at most kMaxUnnamedLinks
// such links are held at once. Whoever reaches the port without being a member thus holds a few
// bytes for a few seconds, not a message buffer for as long as it likes. The same bound holds
// for a link being dialled.
constexpr std::size_t kMaxHello = fleet::kHeaderMax + fleet::kProof;
constexpr const char* kPskIdentity = "kestrova-fleet-link";
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

void PutLength(std::string& out, std::size_t n) {
  for (std::size_t i = 0; i < 4; ++i) out.push_back(static_cast<char>((n >> (8 * i)) & 0xff));
}

// The slot of an SSL_CTX that holds the fleet's key (Asio keeps its own data in the app slot).
int KeySlot() {
  static const int slot = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return slot;
}

const fleet::Key* KeyOf(SSL* ssl) {
  return static_cast<const fleet::Key*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), KeySlot()));
}

unsigned PskClient(SSL* ssl, const char*, char* identity, unsigned maxIdentity, unsigned char* psk,
                   unsigned maxPsk) {
  const fleet::Key* key = KeyOf(ssl);
  if (key == nullptr || maxPsk < key->size() || maxIdentity <= std::strlen(kPskIdentity)) return 0;
  std::strcpy(identity, kPskIdentity);
  std::memcpy(psk, key->data(), key->size());
  return static_cast<unsigned>(key->size());
}

unsigned PskServer(SSL* ssl, const char* identity, unsigned char* psk, unsigned maxPsk) {
  const fleet::Key* key = KeyOf(ssl);
  if (key == nullptr || identity == nullptr || std::strcmp(identity, kPskIdentity) != 0 ||
      maxPsk < key->size()) {
    return 0;
  }
  std::memcpy(psk, key->data(), key->size());
  return static_cast<unsigned>(key->size());
}

// The channel binding both ends put into the hello's proof.
bool Binding(Stream& stream, std::array<std::uint8_t, 32>& out) {
  return SSL_export_keying_material(stream.native_handle(), out.data(), out.size(),
                                    fleet::kExporterLabel.data(), fleet::kExporterLabel.size(),
                                    nullptr, 0, 0) == 1;
}

}  // namespace

void ConfigureLinkTls(ssl_ctx_st* ctx, const fleet::Key& key, bool server) {
  // The pre-shared key is offered with the (EC)DHE exchange and a SHA-256 suite, which is what
  // a TLS 1.3 key set through these callbacks is bound to.
  const bool ok = SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) == 1 &&
                  SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) == 1 &&
                  SSL_CTX_set_ciphersuites(ctx, "TLS_AES_128_GCM_SHA256:"
                                                "TLS_CHACHA20_POLY1305_SHA256") == 1 &&
                  SSL_CTX_set_num_tickets(ctx, 0) == 1 &&
                  KeySlot() >= 0 &&
                  SSL_CTX_set_ex_data(ctx, KeySlot(), const_cast<fleet::Key*>(&key)) == 1;
  if (!ok) throw std::runtime_error("node link TLS setup refused by OpenSSL");
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  if (server) {
    SSL_CTX_set_psk_server_callback(ctx, &PskServer);
  } else {
    SSL_CTX_set_psk_client_callback(ctx, &PskClient);
  }
}

class NodeLinks::Impl {
 public:
  Impl(const std::string& listen, std::string self, std::uint64_t instance,
       const fleet::Keys& keys, Events& events)
      : self_(std::move(self)),
        instance_(instance),
        keys_(keys),
        events_(events),
        client_(ssl::context::tls_client),
        server_(ssl::context::tls_server),
        acceptor_(ioc_) {
    ConfigureLinkTls(client_.native_handle(), keys_.link, false);
    ConfigureLinkTls(server_.native_handle(), keys_.link, true);
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
        if (out) {
          out->stream.lowest_layer().close(ignored);
          out->deadline.cancel();
        }
      }
      for (auto& in : ins_) {
        in->stream.lowest_layer().close(ignored);
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
    Out(net::io_context& ioc, ssl::context& ctx) : stream(ioc, ctx), deadline(ioc) {}
    std::string node;
    Stream stream;
    net::steady_timer deadline;  // the handshake and the challenge must come in time
    std::array<std::uint8_t, fleet::kChallenge> challenge{};
    std::mutex mutex;
    std::deque<std::string> queue;  // messages not yet written
    bool connected = false;         // the hello is first in the queue
    bool writing = false;
    bool failed = false;
    std::string batch;  // being written: length-prefixed messages
  };
  // A link another node dialled to this one.
  struct In {
    In(net::io_context& ioc, ssl::context& ctx) : stream(ioc, ctx), hello(ioc) {}
    Stream stream;
    net::steady_timer hello;  // closes the socket unless the hello came in time
    std::array<std::uint8_t, fleet::kChallenge> challenge{};
    std::string node;  // once the hello named it
    std::uint64_t instance = 0;
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
    auto out = std::make_shared<Out>(ioc_, client_);
    out->node = node;
    out->deadline.expires_after(kHelloTimeout);
    out->deadline.async_wait([weak = std::weak_ptr<Out>(out)](const error_code& e) {
      const auto late = weak.lock();
      if (e || !late) return;
      error_code ignored;
      late->stream.lowest_layer().close(ignored);  // what is pending fails and fails the link
    });
    out->stream.lowest_layer().async_connect(endpoint, [this, out](const error_code& ec) {
      if (ec) return Fail(out);
      error_code ignored;
      out->stream.lowest_layer().set_option(tcp::no_delay(true), ignored);
      out->stream.async_handshake(ssl::stream_base::client, [this, out](const error_code& e) {
        if (e) return Fail(out);
        net::async_read(out->stream, net::buffer(out->challenge),
                        [this, out](const error_code& er, std::size_t) {
                          if (er) return Fail(out);
                          SayHello(out);
                        });
      });
    });
    return out;
  }

  // The challenge is in: the hello goes first, then what was queued meanwhile.
  void SayHello(const std::shared_ptr<Out>& out) {
    std::array<std::uint8_t, 32> binding{};
    if (!Binding(out->stream, binding)) return Fail(out);
    const auto proof = fleet::HelloProof(keys_.hello, out->challenge, binding, self_, instance_);
    fleet::Message hello;
    hello.kind = fleet::Kind::kHeartbeat;
    hello.from = self_;
    hello.conn = instance_;
    hello.body = proof;
    std::string bytes;
    fleet::Encode(hello, bytes);
    out->deadline.cancel();
    {
      std::lock_guard lock(out->mutex);
      if (out->failed) return;
      out->queue.push_front(std::move(bytes));
      out->connected = true;
      out->writing = true;
    }
    Write(out);
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
      for (std::size_t n = 0;
           !out->queue.empty() && n < kBatch && (n == 0 || out->batch.size() < kBatchBytes); ++n) {
        PutLength(out->batch, out->queue.front().size());
        out->batch.append(out->queue.front());
        out->queue.pop_front();
      }
    }
    net::async_write(out->stream, net::buffer(out->batch),
                     [this, out](const error_code& ec, std::size_t) {
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
    out->deadline.cancel();
    out->stream.lowest_layer().close(ignored);
    if (!stopped_.load()) events_.OnLinkDown(out->node);
  }

  void Accept() {
    auto in = std::make_shared<In>(ioc_, server_);
    acceptor_.async_accept(in->stream.lowest_layer(), [this, in](const error_code& ec) {
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
        in->stream.lowest_layer().close(ignored);
        return Accept();
      }
      in->stream.lowest_layer().set_option(tcp::no_delay(true), ignored);
      in->hello.expires_after(kHelloTimeout);
      in->hello.async_wait([weak = std::weak_ptr<In>(in)](const error_code& e) {
        const auto late = weak.lock();
        if (e || !late || !late->node.empty()) return;
        error_code ignoredToo;
        late->stream.lowest_layer().close(ignoredToo);  // what is pending fails and drops it
      });
      in->stream.async_handshake(ssl::stream_base::server, [this, in](const error_code& e) {
        if (e) return Drop(in);
        try {
          fleet::RandomBytes(in->challenge);
        } catch (const std::exception&) {
          return Drop(in);
        }
        net::async_write(in->stream, net::buffer(in->challenge),
                         [this, in](const error_code& er, std::size_t) {
                           if (er) return Drop(in);
                           ReadLength(in);
                         });
      });
      Accept();
    });
  }

  // The hello: a member of the fleet (it proves the secret over this link's challenge and
  // channel), of the instance its node announces.
  bool TakeHello(const std::shared_ptr<In>& in, const fleet::Message& m) {
    std::array<std::uint8_t, 32> binding{};
    if (m.kind != fleet::Kind::kHeartbeat || m.body.size() != fleet::kProof ||
        !Binding(in->stream, binding)) {
      return false;
    }
    const auto expected = fleet::HelloProof(keys_.hello, in->challenge, binding, m.from, m.conn);
    if (!fleet::ProofEquals(expected, m.body)) return false;
    if (!events_.LinkPeerValid(std::string(m.from), m.conn)) return false;
    in->node = std::string(m.from);
    in->instance = m.conn;
    in->hello.cancel();
    return true;
  }

  void ReadLength(const std::shared_ptr<In>& in) {
    net::async_read(in->stream, net::buffer(in->length), [this, in](const error_code& ec,
                                                                     std::size_t) {
      if (ec) return Drop(in);
      std::size_t n = 0;
      for (std::size_t i = 4; i-- > 0;) n = (n << 8) | in->length[i];
      if (n == 0 || n > (in->node.empty() ? kMaxHello : kMaxLinkMessage)) return Drop(in);
      in->message.resize(n);
      net::async_read(in->stream, net::buffer(in->message), [this, in](const error_code& e,
                                                                        std::size_t) {
        if (e) return Drop(in);
        auto m = fleet::Decode(in->message);
        if (!m) return Drop(in);
        if (in->node.empty()) {
          if (!TakeHello(in, *m)) return Drop(in);
        } else if (m->from != in->node || m->kind == fleet::Kind::kHeartbeat ||
                   m->kind == fleet::Kind::kBye) {
          return Drop(in);  // a link speaks for its own node only, and says hello once
        } else if (!stopped_.load()) {
          m->instance = in->instance;
          events_.OnLinkMessage(*m);
        }
        ReadLength(in);
      });
    });
  }

  void Drop(const std::shared_ptr<In>& in) {
    error_code ignored;
    in->stream.lowest_layer().close(ignored);
    in->hello.cancel();
    {
      std::lock_guard lock(mutex_);
      std::erase(ins_, in);
    }
    if (!in->node.empty() && !stopped_.load()) events_.OnLinkDown(in->node);
  }

  const std::string self_;
  const std::uint64_t instance_;
  const fleet::Keys keys_;
  Events& events_;
  net::io_context ioc_;
  ssl::context client_;
  ssl::context server_;
  tcp::acceptor acceptor_;
  std::string address_;
  std::atomic<bool> stopped_{false};
  std::mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<Out>> outs_;
  std::vector<std::shared_ptr<In>> ins_;
  std::thread thread_;
};

NodeLinks::NodeLinks(const std::string& listen, std::string self, std::uint64_t instance,
                     const fleet::Keys& keys, Events& events)
    : impl_(std::make_unique<Impl>(listen, std::move(self), instance, keys, events)) {}
NodeLinks::~NodeLinks() = default;
std::string NodeLinks::Address() const { return impl_->Address(); }
bool NodeLinks::Send(const std::string& node, const std::string& address, std::string message) {
  return impl_->Send(node, address, std::move(message));
}
void NodeLinks::Stop() { impl_->Stop(); }

}  // namespace ov::relay
