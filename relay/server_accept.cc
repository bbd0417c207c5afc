// The acceptor of Server::Impl: accepted sockets go to the workers in turn; a listed load
// balancer's PROXY v2 header is read first; each client's address prefixes admit the connection
// (a bound of open connections and a rate of new ones) or it is closed before a byte is read; an
// admitted one starts its HTTP exchange, over TLS when the server has it.

#include "relay/server_impl.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <string>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/read.hpp>

#include "relay/proxy_protocol.h"
#include "relay/tls_socket.h"

namespace ov::relay {

namespace {
// Sockets accepted beyond the connection bound are closed at once, without a word.
constexpr std::size_t kRefusalHeadroom = 256;
}  // namespace

std::string AddressKey(const net::ip::address& address) {
  if (address.is_v4()) return address.to_v4().to_string();
  const net::ip::address_v6 v6 = address.to_v6();
  if (v6.is_v4_mapped()) return net::ip::make_address_v4(net::ip::v4_mapped, v6).to_string();
  net::ip::address_v6::bytes_type bytes = v6.to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), 0);
  return net::ip::address_v6(bytes).to_string() + "/64";
}

bool Server::Impl::FromBalancer(const net::ip::address& address) const {
  return std::any_of(options_.proxyFrom.begin(), options_.proxyFrom.end(),
                     [&](const Cidr& range) { return CidrContains(range, address); });
}

void Server::Impl::Accept() {
  // Connections go to the workers in turn; each socket is made on its worker's io_context.
  Worker& target = *workers_[nextWorker_++ % workers_.size()];
  acceptor_->async_accept(target.ioc, [this, &target](const error_code& ec, Socket socket) {
    if (ec) {
      if (ec == net::error::operation_aborted || stopping_) return;
      Log(std::string("event=accept-error error=") + ec.message());
      // Out of descriptors and the like: try again shortly instead of spinning.
      auto retry = std::make_shared<net::steady_timer>(workers_[0]->ioc,
                                                       std::chrono::milliseconds(100));
      retry->async_wait([this, retry](const error_code& e) {
        if (!e && !stopping_) Accept();
      });
      return;
    }
    ++acceptedTotal_;
    // A connection whose address cannot be read cannot be counted against it: it is closed.
    error_code addrEc;
    const tcp::endpoint remote = socket.remote_endpoint(addrEc);
    if (addrEc) {
      Log("event=refused error=remote address: " + addrEc.message());
      error_code ignored;
      socket.close(ignored);
    } else {
      error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      net::dispatch(target.ioc, [this, &target, socket = std::move(socket),
                                 address = remote.address()]() mutable {
        if (FromBalancer(address)) {
          ReadProxyHeader(target, std::move(socket));
        } else {
          Admit(target, std::move(socket), address);
        }
      });
    }
    Accept();
  });
}

void Server::Impl::Admit(Worker& worker, Socket socket, const net::ip::address& client) {
  bool overflow = false;
  {
    std::lock_guard lock(mutex_);
    overflow = peers_.size() + openHttp_ >= options_.matcher.maxConnections + kRefusalHeadroom;
  }
  // Each address prefix holds at most its bound of the connections, counted from here, and
  // opens them at a bounded rate: beyond either a new one is closed before it is read, so that a
  // flood from one place cannot take the slots of everyone else.
  Refusal why;
  if (overflow) {
    ++acceptOverflow_;
  } else if (!prefixes_.TryOpen(client, NowMs(), &why)) {
    ++addressOverflow_;
    Log("event=prefix-refused reason=" +
        std::string(why.reason == Refusal::Reason::kRate ? "rate" : "connections") +
        " prefix=" + why.prefix);
  } else {
    return StartHttp(worker, std::move(socket), client);
  }
  error_code ignored;
  socket.close(ignored);
}

void Server::Impl::ReadProxyHeader(Worker& worker, Socket socket) {
  // The header is read to its exact length (its first 16 bytes give the rest), so that nothing
  // of the client's own bytes is taken from the socket here.
  struct State {
    explicit State(Socket s, net::io_context& ioc) : socket(std::move(s)), deadline(ioc) {}
    Socket socket;
    net::steady_timer deadline;
    std::array<std::uint8_t, kProxyV2HeaderSize + kProxyV2MaxLength> bytes{};
    std::size_t size = 0;
  };
  auto state = std::make_shared<State>(std::move(socket), worker.ioc);
  state->deadline.expires_after(std::chrono::milliseconds(options_.httpTimeout));
  state->deadline.async_wait([weak = std::weak_ptr<State>(state)](const error_code& ec) {
    if (const auto s = weak.lock(); s && !ec) {
      error_code ignored;
      s->socket.close(ignored);
    }
  });
  auto fail = [this](State& s, std::string_view why) {
    ++proxyRefused_;
    error_code ignored;
    const auto peer = s.socket.remote_endpoint(ignored);
    Log("addr=" + (ignored ? std::string("?") : AddressKey(peer.address())) +
        " event=proxy-refused error=" + std::string(why));
    s.deadline.cancel();
    s.socket.close(ignored);
  };
  auto done = [this, &worker, fail](const std::shared_ptr<State>& s) {
    const ProxyResult result = ParseProxyV2({s->bytes.data(), s->size});
    if (result.kind != ProxyResult::Kind::kDone) {
      return fail(*s, result.kind == ProxyResult::Kind::kInvalid ? result.error : "incomplete");
    }
    s->deadline.cancel();
    error_code ec;
    const tcp::endpoint balancer = s->socket.remote_endpoint(ec);
    if (ec) return fail(*s, "remote address");
    // LOCAL (the balancer's own health check) or a family without addresses: the socket's.
    Admit(worker, std::move(s->socket),
          result.source ? result.source->address() : balancer.address());
  };
  net::async_read(
      state->socket, net::buffer(state->bytes.data(), kProxyV2HeaderSize),
      [state, fail, done](const error_code& ec, std::size_t n) {
        state->size = n;
        if (ec) return fail(*state, ec.message());
        const ProxyResult head = ParseProxyV2({state->bytes.data(), n});
        if (head.kind == ProxyResult::Kind::kInvalid) return fail(*state, head.error);
        if (head.kind == ProxyResult::Kind::kDone) return done(state);
        const std::size_t length =
            static_cast<std::size_t>(state->bytes[14] << 8 | state->bytes[15]);
        if (length > kProxyV2MaxLength) return fail(*state, "header too long");
        net::async_read(state->socket,
                        net::buffer(state->bytes.data() + kProxyV2HeaderSize, length),
                        [state, fail, done](const error_code& e, std::size_t m) {
                          state->size += m;
                          if (e) return fail(*state, e.message());
                          done(state);
                        });
      });
}

void Server::Impl::StartHttp(Worker& worker, Socket socket, const net::ip::address& address) {
  bool handedOver = false;  // the session ends the address's count from now on
  try {
    std::shared_ptr<ssl::context> tls;
    {
      std::lock_guard lock(tlsMutex_);
      tls = tls_;
    }
    if (tls) {
      auto session = std::make_shared<HttpSession<TlsSocket>>(
          *this, worker, TlsSocket(std::move(socket), tls->native_handle()), address);
      handedOver = true;
      session->Start();
    } else {
      auto session =
          std::make_shared<HttpSession<Socket>>(*this, worker, std::move(socket), address);
      handedOver = true;
      session->Start();
    }
  } catch (const std::exception& e) {
    Log("addr=" + AddressKey(address) + " event=refused error=" + e.what());
    if (!handedOver) AddressEnded(address);
  }
}

}  // namespace ov::relay
