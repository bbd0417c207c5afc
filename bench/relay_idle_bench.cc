// Memory of idle registered hosts: the server runs in a child process (so its resident memory is
// its own); the parent opens 10,000 WebSocket connections to it and registers each as a host,
// then reads the child's VmRSS. The baseline is a minimal Asio server in a child process that
// holds the same number of accepted idle TCP connections, each with one pending 1.5 KiB read.
// Prints resident memory per connection for both, and for wss:// (fewer connections: TLS
// handshakes are slow on a shared machine). Rows in between show what the layers cost alone:
// Beast's WebSocket stream without the relay, and TLS with Asio's ssl::stream or the relay's
// own TLS layer.
#include <benchmark/benchmark.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <csignal>
#include <cstdio>
#include <functional>
#include <thread>

#include "bench/relay_child.h"
#include "relay/server.h"
#include "relay/tls_socket.h"
#include "relay/test_client.h"

namespace {

using ov::bench::Finish;
using ov::bench::SettledRss;
using ov::bench::Spawn;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

constexpr int kHosts = 10000;
constexpr int kTlsHosts = 2000;

struct Result {
  double kibPerConnection = 0;
  long long before = 0, after = 0;
  int connections = 0;
};
Result g_baseline, g_ws, g_wss, g_tlsAsio, g_tlsLayer, g_beastWs;
ov::bench::FileLimit g_files;

void BM_BaselineIdleTcp(benchmark::State& state) {
  for (auto _ : state) {
    auto [pid, port] = Spawn([](int out) {
      net::io_context ioc;
      tcp::acceptor acceptor(ioc, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
      const std::uint16_t p = acceptor.local_endpoint().port();
      if (write(out, &p, sizeof p) != sizeof p) _exit(1);
      close(out);
      struct Conn {
        explicit Conn(tcp::socket s) : socket(std::move(s)) {}
        tcp::socket socket;
        beast::flat_buffer buffer;
      };
      std::vector<std::unique_ptr<Conn>> conns;
      std::function<void()> accept = [&] {
        acceptor.async_accept([&](beast::error_code ec, tcp::socket s) {
          if (ec) return;
          conns.push_back(std::make_unique<Conn>(std::move(s)));
          Conn& c = *conns.back();
          c.socket.async_read_some(c.buffer.prepare(1536), [](beast::error_code, std::size_t) {});
          accept();
        });
      };
      accept();
      net::signal_set signals(ioc, SIGTERM);
      signals.async_wait([&](beast::error_code, int) { ioc.stop(); });
      ioc.run();
    });
    const long long before = SettledRss(pid);
    net::io_context ioc;
    std::vector<tcp::socket> clients;
    clients.reserve(kHosts);
    for (int i = 0; i < kHosts; ++i) {
      clients.emplace_back(ioc);
      clients.back().connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    }
    const long long after = SettledRss(pid);
    g_baseline = {static_cast<double>(after - before) / kHosts, before, after, kHosts};
    Finish(pid);
  }
  state.counters["KiB_per_conn"] = g_baseline.kibPerConnection;
}

// TLS alone, to show what the TLS state of a connection costs: a child accepts connections,
// completes the handshake and keeps one pending read of 1.5 KiB on each (as the TCP baseline),
// either with Asio's ssl::stream or with the relay's own TLS layer.
template <bool kRelayLayer>
Result IdleTls(int count) {
  ov::relay::testing::TempCertificate cert;
  auto [pid, port] = Spawn([&](int out) {
    net::io_context ioc;
    ssl::context ctx(ssl::context::tls_server);
    ctx.use_certificate_chain_file(cert.CertPath());
    ctx.use_private_key_file(cert.KeyPath(), ssl::context::pem);
    SSL_CTX_set_session_cache_mode(ctx.native_handle(), SSL_SESS_CACHE_OFF);
    using Socket = net::basic_stream_socket<tcp, net::io_context::executor_type>;
    net::basic_socket_acceptor<tcp, net::io_context::executor_type> acceptor(
        ioc, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
    const std::uint16_t p = acceptor.local_endpoint().port();
    if (write(out, &p, sizeof p) != sizeof p) _exit(1);
    close(out);
    using Stream = std::conditional_t<kRelayLayer, ov::relay::TlsSocket, ssl::stream<Socket>>;
    struct Conn {
      Conn(Socket s, ssl::context& c) : stream(std::move(s), [&c] {
        if constexpr (kRelayLayer) {
          return c.native_handle();
        } else {
          return std::ref(c);
        }
      }()) {}
      Stream stream;
      beast::flat_buffer buffer;
    };
    std::vector<std::unique_ptr<Conn>> conns;
    std::function<void()> accept = [&] {
      acceptor.async_accept([&](beast::error_code ec, Socket s) {
        if (ec) return;
        conns.push_back(std::make_unique<Conn>(std::move(s), ctx));
        Conn& c = *conns.back();
        auto read = [&c](beast::error_code e) {
          if (e) return;
          c.stream.async_read_some(c.buffer.prepare(1536), [](beast::error_code, std::size_t) {});
        };
        if constexpr (kRelayLayer) {
          c.stream.async_handshake(read);
        } else {
          c.stream.async_handshake(ssl::stream_base::server, read);
        }
        accept();
      });
    };
    accept();
    net::signal_set signals(ioc, SIGTERM);
    signals.async_wait([&](beast::error_code, int) { ioc.stop(); });
    ioc.run();
  });
  const long long before = SettledRss(pid);
  net::io_context ioc;
  ssl::context ctx(ssl::context::tls_client);
  ctx.set_verify_mode(ssl::verify_none);
  std::vector<std::unique_ptr<ssl::stream<tcp::socket>>> clients;
  for (int i = 0; i < count; ++i) {
    clients.push_back(std::make_unique<ssl::stream<tcp::socket>>(ioc, ctx));
    clients.back()->next_layer().connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    clients.back()->handshake(ssl::stream_base::client);
  }
  const long long after = SettledRss(pid);
  Finish(pid);
  return {static_cast<double>(after - before) / count, before, after, count};
}

void BM_IdleTlsAsioStream(benchmark::State& state) {
  for (auto _ : state) g_tlsAsio = IdleTls<false>(kTlsHosts);
  state.counters["KiB_per_conn"] = g_tlsAsio.kibPerConnection;
}

void BM_IdleTlsRelayLayer(benchmark::State& state) {
  for (auto _ : state) g_tlsLayer = IdleTls<true>(kTlsHosts);
  state.counters["KiB_per_conn"] = g_tlsLayer.kibPerConnection;
}

// Beast's WebSocket stream alone: a child upgrades each connection and keeps one pending
// message read on it, with nothing of the relay (no session, no matching), over clear text.
Result IdleBeastWebSocket(int count) {
  auto [pid, port] = Spawn([](int out) {
    namespace http = beast::http;
    using Socket = net::basic_stream_socket<tcp, net::io_context::executor_type>;
    net::io_context ioc;
    net::basic_socket_acceptor<tcp, net::io_context::executor_type> acceptor(
        ioc, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
    const std::uint16_t p = acceptor.local_endpoint().port();
    if (write(out, &p, sizeof p) != sizeof p) _exit(1);
    close(out);
    struct Conn {
      explicit Conn(Socket s) : ws(std::move(s)) {}
      websocket::stream<Socket> ws;
      beast::flat_buffer buffer;
      http::request<http::empty_body> request;
    };
    std::vector<std::unique_ptr<Conn>> conns;
    std::function<void()> accept = [&] {
      acceptor.async_accept([&](beast::error_code ec, Socket s) {
        if (ec) return;
        conns.push_back(std::make_unique<Conn>(std::move(s)));
        Conn& c = *conns.back();
        http::async_read(c.ws.next_layer(), c.buffer, c.request,
                         [&c](beast::error_code e, std::size_t) {
                           if (e) return;
                           c.buffer = beast::flat_buffer();
                           c.ws.async_accept(c.request, [&c](beast::error_code e2) {
                             if (e2) return;
                             c.request = {};
                             c.ws.async_read(c.buffer, [](beast::error_code, std::size_t) {});
                           });
                         });
        accept();
      });
    };
    accept();
    net::signal_set signals(ioc, SIGTERM);
    signals.async_wait([&](beast::error_code, int) { ioc.stop(); });
    ioc.run();
  });
  const long long before = SettledRss(pid);
  net::io_context ioc;
  std::vector<std::unique_ptr<websocket::stream<tcp::socket>>> clients;
  for (int i = 0; i < count; ++i) {
    clients.push_back(std::make_unique<websocket::stream<tcp::socket>>(ioc));
    clients.back()->next_layer().connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    clients.back()->handshake("localhost", "/ws");
  }
  const long long after = SettledRss(pid);
  Finish(pid);
  return {static_cast<double>(after - before) / count, before, after, count};
}

void BM_IdleBeastWebSocket(benchmark::State& state) {
  for (auto _ : state) g_beastWs = IdleBeastWebSocket(kHosts);
  state.counters["KiB_per_conn"] = g_beastWs.kibPerConnection;
}

template <class Stream>
void RegisterHost(Stream& ws, int i) {
  ws.handshake("localhost", "/ws");
  ws.write(net::buffer(ov::SerializeMessage({{"type", "register"}, {"role", "host"},
                                             {"protocol", 3},
                                             {"sessionId", std::to_string(100000000 + i)},
                                             {"build", "0.3.9"}})));
  beast::flat_buffer buffer;
  ws.read(buffer);
  if (beast::buffers_to_string(buffer.cdata()).find("registered") == std::string::npos) {
    std::fprintf(stderr, "registration %d failed\n", i);
    std::abort();
  }
}

Result IdleRelay(bool tls, int count) {
  std::unique_ptr<ov::relay::testing::TempCertificate> cert;
  ov::relay::ServerOptions options;
  options.port = 0;
  options.quiet = true;
  options.matcher.maxConnections = 2 * kHosts;
  options.matcher.maxConnectionsPerAddress = 2 * kHosts;
  options.prefixes.acceptsPerSecond = 1e6;  // every client of the bench is on loopback
  options.prefixes.acceptBurst = 1e6;
  options.matcher.registrationsPerMinute = 2 * kHosts;
  options.idleTimeout = 600000;
  if (tls) {
    cert = std::make_unique<ov::relay::testing::TempCertificate>();
    options.tlsCert = cert->CertPath();
    options.tlsKey = cert->KeyPath();
  }
  auto [pid, port] = Spawn([&](int out) {
    options.handleSignals = true;
    ov::relay::Server server(options);
    const std::uint16_t p = server.Port();
    if (write(out, &p, sizeof p) != sizeof p) _exit(1);
    close(out);
    server.Run();
  });
  const long long before = SettledRss(pid);
  net::io_context ioc;
  const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), port);
  if (tls) {
    ssl::context ctx(ssl::context::tls_client);
    ctx.set_verify_mode(ssl::verify_none);  // the server's identity is not what is measured
    std::vector<std::unique_ptr<websocket::stream<beast::ssl_stream<tcp::socket>>>> clients;
    for (int i = 0; i < count; ++i) {
      clients.push_back(std::make_unique<websocket::stream<beast::ssl_stream<tcp::socket>>>(ioc, ctx));
      beast::get_lowest_layer(*clients.back()).connect(endpoint);
      clients.back()->next_layer().handshake(ssl::stream_base::client);
      RegisterHost(*clients.back(), i);
    }
    const long long after = SettledRss(pid);
    Finish(pid);
    return {static_cast<double>(after - before) / count, before, after, count};
  }
  std::vector<std::unique_ptr<websocket::stream<tcp::socket>>> clients;
  for (int i = 0; i < count; ++i) {
    clients.push_back(std::make_unique<websocket::stream<tcp::socket>>(ioc));
    clients.back()->next_layer().connect(endpoint);
    RegisterHost(*clients.back(), i);
  }
  const long long after = SettledRss(pid);
  Finish(pid);
  return {static_cast<double>(after - before) / count, before, after, count};
}

void BM_RelayIdleHostsWs(benchmark::State& state) {
  for (auto _ : state) g_ws = IdleRelay(false, kHosts);
  state.counters["KiB_per_conn"] = g_ws.kibPerConnection;
}

void BM_RelayIdleHostsWss(benchmark::State& state) {
  for (auto _ : state) g_wss = IdleRelay(true, kTlsHosts);
  state.counters["KiB_per_conn"] = g_wss.kibPerConnection;
}

BENCHMARK(BM_BaselineIdleTcp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_IdleBeastWebSocket)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_IdleTlsAsioStream)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_IdleTlsRelayLayer)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_RelayIdleHostsWs)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_RelayIdleHostsWss)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  g_files = ov::bench::RaiseFileLimit();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  std::printf("\nRLIMIT_NOFILE: soft %llu raised to %llu (hard limit %llu), per process\n",
              static_cast<unsigned long long>(g_files.softBefore),
              static_cast<unsigned long long>(g_files.soft), static_cast<unsigned long long>(g_files.hard));
  std::printf("  %-34s %7s %10s %10s %9s %7s\n", "server (VmRSS KiB)", "conns", "before", "after",
              "KiB/conn", "ratio");
  for (auto [name, r] : {std::pair{"idle TCP, Asio (baseline)", g_baseline},
                         std::pair{"idle WebSocket, Beast alone", g_beastWs},
                         std::pair{"idle TLS, Asio ssl::stream", g_tlsAsio},
                         std::pair{"idle TLS, relay's TLS layer", g_tlsLayer},
                         std::pair{"relay, registered hosts, ws://", g_ws},
                         std::pair{"relay, registered hosts, wss://", g_wss}}) {
    std::printf("  %-34s %7d %10lld %10lld %9.2f %7.2f\n", name, r.connections, r.before, r.after,
                r.kibPerConnection,
                g_baseline.kibPerConnection > 0 ? r.kibPerConnection / g_baseline.kibPerConnection
                                                : 0.0);
  }
  std::printf("  target: at most 32 KiB per connection for ws://, 16 KiB for wss://\n");
  return 0;
}
