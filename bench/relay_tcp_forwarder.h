// The forwarding floor of the relay benchmarks: a plain TCP forwarder in the same process that
// accepts two connections and copies every byte of the first into the second.
#pragma once

#include <benchmark/benchmark.h>

#include <pthread.h>
#include <time.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace ov::bench {

class TcpForwarder {
  using tcp = boost::asio::ip::tcp;

 public:
  TcpForwarder() : acceptor_(ioc_, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0)) {
    thread_ = std::thread([this] {
      tcp::socket in(ioc_), out(ioc_);
      acceptor_.accept(in);
      acceptor_.accept(out);
      in.set_option(tcp::no_delay(true));
      out.set_option(tcp::no_delay(true));
      std::vector<char> buffer(256 * 1024);
      boost::system::error_code ec;
      for (;;) {
        const std::size_t n = in.read_some(boost::asio::buffer(buffer), ec);
        if (ec) break;
        boost::asio::write(out, boost::asio::buffer(buffer.data(), n), ec);
        if (ec) break;
      }
    });
  }
  ~TcpForwarder() { thread_.join(); }
  std::uint16_t Port() const { return acceptor_.local_endpoint().port(); }
  // The CPU time the forwarding thread has used so far.
  double CpuSeconds() { return ThreadCpuSeconds(thread_); }

  static double ThreadCpuSeconds(std::thread& thread) {
    clockid_t clock{};
    timespec ts{};
    if (pthread_getcpuclockid(thread.native_handle(), &clock) != 0 || clock_gettime(clock, &ts) != 0) return 0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  }

 private:
  boost::asio::io_context ioc_;
  tcp::acceptor acceptor_;
  std::thread thread_;
};

// The floor itself: `perIteration` messages of `size` bytes per iteration through a fresh
// TcpForwarder, written by one thread and read by another. The counter "fwd_cpu_ms_per_mib" is
// the forwarding thread's CPU per MiB moved.
inline void RunTcpFloor(benchmark::State& state, std::size_t size, int perIteration) {
  namespace net = boost::asio;
  using tcp = net::ip::tcp;
  TcpForwarder forwarder;
  net::io_context ioc;
  const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), forwarder.Port());
  tcp::socket sender(ioc), receiver(ioc);
  sender.connect(endpoint);
  receiver.connect(endpoint);
  sender.set_option(tcp::no_delay(true));
  const std::string message(size, 'm');
  std::vector<char> sink(size);
  const double cpuBefore = forwarder.CpuSeconds();
  for (auto _ : state) {
    std::thread send([&] {
      for (int i = 0; i < perIteration; ++i) net::write(sender, net::buffer(message));
    });
    for (int i = 0; i < perIteration; ++i) net::read(receiver, net::buffer(sink));
    send.join();
  }
  const double mib = static_cast<double>(state.iterations()) * perIteration * static_cast<double>(size) / (1 << 20);
  state.counters["fwd_cpu_ms_per_mib"] = (forwarder.CpuSeconds() - cpuBefore) * 1000 / mib;
  state.SetBytesProcessed(state.iterations() * perIteration * static_cast<std::int64_t>(size));
  sender.close();
}

}  // namespace ov::bench
