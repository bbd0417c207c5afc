// The forwarding floor of the relay benchmarks: a plain TCP forwarder in the same process that
// accepts two connections and copies every byte of the first into the second.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
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

 private:
  boost::asio::io_context ioc_;
  tcp::acceptor acceptor_;
  std::thread thread_;
};

}  // namespace ov::bench
