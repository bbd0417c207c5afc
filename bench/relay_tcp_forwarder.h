// The forwarding floor of the relay benchmarks: a plain TCP forwarder in the same process that
// accepts two connections and copies every byte of the first into the second.
#pragma once

#include <benchmark/benchmark.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "bench/cpu_time.h"

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

 private:
  boost::asio::io_context ioc_;
  tcp::acceptor acceptor_;
  std::thread thread_;
};

// A fresh TcpForwarder with a sender and a receiver connected through it. Round() writes
// `messages` messages of `size` bytes from one thread and reads them on the calling one.
class TcpFloor {
  using tcp = boost::asio::ip::tcp;

 public:
  explicit TcpFloor(std::size_t size) : sender_(ioc_), receiver_(ioc_), message_(size, 'm'), sink_(size) {
    const tcp::endpoint endpoint(boost::asio::ip::make_address("127.0.0.1"), forwarder_.Port());
    sender_.connect(endpoint);
    receiver_.connect(endpoint);
    sender_.set_option(tcp::no_delay(true));
  }
  ~TcpFloor() { sender_.close(); }
  TcpFloor(const TcpFloor&) = delete;
  TcpFloor& operator=(const TcpFloor&) = delete;

  void Round(int messages) {
    std::thread send([&] {
      for (int i = 0; i < messages; ++i) boost::asio::write(sender_, boost::asio::buffer(message_));
    });
    for (int i = 0; i < messages; ++i) boost::asio::read(receiver_, boost::asio::buffer(sink_));
    send.join();
  }
  TcpForwarder& forwarder() { return forwarder_; }

 private:
  TcpForwarder forwarder_;
  boost::asio::io_context ioc_;
  tcp::socket sender_, receiver_;
  std::string message_;
  std::vector<char> sink_;
};

// The floor itself: `perIteration` messages of `size` bytes per iteration through a TcpFloor.
inline void RunTcpFloor(benchmark::State& state, std::size_t size, int perIteration) {
  TcpFloor floor(size);
  for (auto _ : state) floor.Round(perIteration);
  state.SetBytesProcessed(state.iterations() * perIteration * static_cast<std::int64_t>(size));
}

}  // namespace ov::bench
