// A lean blocking WebSocket client for the relay's throughput benchmarks: one socket, OpenSSL
// straight on the descriptor for wss://, frames built and parsed by hand. It does what the TCP
// baseline's clients do (write prepared bytes, count what arrives) plus the TLS that wss:// needs,
// so that a throughput ratio against that baseline measures the relay rather than the client
// library (an asynchronous WebSocket stack over a memory-BIO TLS stream costs about as much CPU
// per byte as the relay itself, on the same cores).
//
// Client frames carry the mask bit with an all-zero key: a valid frame whose payload needs no
// masking pass (a real client picks a random key; the relay cannot tell and must unmask anyway).
// One thread per client; no deadlines (the benchmark's own run ends it).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace ov::bench {

class LeanWsClient {
 public:
  // Connects to 127.0.0.1:port and upgrades on /ws; with `tls`, over TLS (certificate not
  // checked: the benchmark made it). Throws std::runtime_error on any failure.
  LeanWsClient(std::uint16_t port, bool tls) : buffer_(256 * 1024) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      Fail("connect");
    }
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (tls) {
      context_ = SSL_CTX_new(TLS_client_method());
      ssl_ = context_ != nullptr ? SSL_new(context_) : nullptr;
      if (ssl_ == nullptr || SSL_set_fd(ssl_, fd_) != 1 || SSL_connect(ssl_) != 1) {
        Fail("TLS handshake");
      }
    }
    const std::string upgrade =
        "GET /ws HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    Write(upgrade.data(), upgrade.size());
    // The answer's head; the relay sends nothing after it until asked.
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos) {
      char c = 0;
      if (Read(&c, 1) != 1) Fail("upgrade answer");
      head.push_back(c);
    }
    if (head.rfind("HTTP/1.1 101", 0) != 0) Fail("upgrade refused: " + head.substr(0, head.find('\r')));
  }
  ~LeanWsClient() {
    if (ssl_ != nullptr) SSL_free(ssl_);
    if (context_ != nullptr) SSL_CTX_free(context_);
    if (fd_ >= 0) ::close(fd_);
  }
  LeanWsClient(const LeanWsClient&) = delete;
  LeanWsClient& operator=(const LeanWsClient&) = delete;

  // A whole client frame (text: opcode 1, binary: 2) for `payload`, ready for Send.
  static std::string Frame(int opcode, const std::string& payload) {
    std::string frame;
    frame.push_back(static_cast<char>(0x80 | opcode));
    const std::size_t size = payload.size();
    if (size < 126) {
      frame.push_back(static_cast<char>(0x80 | size));
    } else if (size <= 0xFFFF) {
      frame.push_back(static_cast<char>(0x80 | 126));
      for (int shift = 8; shift >= 0; shift -= 8) frame.push_back(static_cast<char>(size >> shift));
    } else {
      frame.push_back(static_cast<char>(0x80 | 127));
      for (int shift = 56; shift >= 0; shift -= 8) frame.push_back(static_cast<char>(size >> shift));
    }
    frame.append(4, '\0');  // the mask key
    frame += payload;
    return frame;
  }
  void Send(const std::string& frame) { Write(frame.data(), frame.size()); }

  // The next whole message (fragments joined); `keep` false: its payload is counted, not kept.
  // Pings are answered; a close ends with an exception.
  std::string ReadMessage(std::size_t& size, bool keep = true) {
    std::string message;
    size = 0;
    for (;;) {
      const std::uint8_t b0 = Byte();
      const std::uint8_t b1 = Byte();
      std::uint64_t length = b1 & 0x7F;
      const int extra = length == 126 ? 2 : length == 127 ? 8 : 0;
      if (extra != 0) length = 0;
      for (int i = 0; i < extra; ++i) length = (length << 8) | Byte();
      const int opcode = b0 & 0x0F;
      if (opcode >= 8) {  // control: whole, at most 125 bytes
        std::string payload;
        for (std::uint64_t i = 0; i < length; ++i) payload.push_back(static_cast<char>(Byte()));
        if (opcode == 8) throw std::runtime_error("the relay closed the connection");
        if (opcode == 9) Send(Frame(10, payload));
        continue;
      }
      size += length;
      while (length > 0) {
        if (begin_ == end_) Fill();
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, end_ - begin_));
        if (keep) message.append(buffer_.data() + begin_, n);
        begin_ += n;
        length -= n;
      }
      if ((b0 & 0x80) != 0) return message;
    }
  }

 private:
  [[noreturn]] static void Fail(const std::string& what) { throw std::runtime_error("lean client: " + what); }

  void Write(const char* data, std::size_t size) {
    while (size > 0) {
      const long n = ssl_ != nullptr ? SSL_write(ssl_, data, static_cast<int>(std::min<std::size_t>(size, 1 << 30)))
                                     : ::send(fd_, data, size, MSG_NOSIGNAL);
      if (n <= 0) Fail("write");
      data += n;
      size -= static_cast<std::size_t>(n);
    }
  }
  long Read(char* data, std::size_t size) {
    return ssl_ != nullptr ? SSL_read(ssl_, data, static_cast<int>(size)) : ::recv(fd_, data, size, 0);
  }
  void Fill() {
    const long n = Read(buffer_.data(), buffer_.size());
    if (n <= 0) Fail("read");
    begin_ = 0;
    end_ = static_cast<std::size_t>(n);
  }
  std::uint8_t Byte() {
    if (begin_ == end_) Fill();
    return static_cast<std::uint8_t>(buffer_[begin_++]);
  }

  int fd_ = -1;
  SSL_CTX* context_ = nullptr;
  SSL* ssl_ = nullptr;
  std::vector<char> buffer_;
  std::size_t begin_ = 0, end_ = 0;
};

}  // namespace ov::bench
