// A scripted WebSocket server on 127.0.0.1 for the transport tests. Each accepted connection runs
// the test's script on its own thread with a WsPeer that speaks raw HTTP and WebSocket frames, so
// a script can send exactly the frames a test needs (fragments, oversized messages, malformed
// sequences) or misbehave on purpose (stall the handshake, refuse the upgrade, drop the socket).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/testing/test_socket.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace ov::testing {

struct HttpRequest {
  std::string method;
  std::string target;
  std::map<std::string, std::string> headers;  // names in lower case
};

enum Opcode : std::uint8_t {
  kContinuation = 0x0,
  kTextFrame = 0x1,
  kBinaryFrame = 0x2,
  kCloseFrame = 0x8,
  kPingFrame = 0x9,
  kPongFrame = 0xA,
};

struct WsFrame {
  bool fin = false;
  std::uint8_t opcode = 0;
  std::vector<std::uint8_t> payload;
};

// The server's side of one connection.
class WsTestServer;

class WsPeer {
 public:
  WsPeer(WsTestServer* server, SocketHandle socket, SSL* ssl) : server_(server), socket_(socket), ssl_(ssl) {}

  // Reads the upgrade request.
  bool ReadRequest(HttpRequest& out);
  // Answers 101 with the accept key of `request`.
  bool AcceptUpgrade(const HttpRequest& request);
  // Reads the request and accepts it: the usual start of a script.
  bool Handshake();
  // Answers with a plain HTTP status instead of the upgrade.
  bool Refuse(int status);

  bool SendFrame(bool fin, std::uint8_t opcode, const void* data, std::size_t size);
  bool SendText(std::string_view text) { return SendFrame(true, kTextFrame, text.data(), text.size()); }
  bool SendBinary(const std::vector<std::uint8_t>& bytes) {
    return SendFrame(true, kBinaryFrame, bytes.data(), bytes.size());
  }
  bool SendClose(std::uint16_t code);
  // Writes raw bytes (an HTTP response of the test's own making).
  bool SendRaw(std::string_view bytes) { return WriteAll(bytes.data(), bytes.size()); }

  // Reads one client frame and removes its mask; false at end of stream or on a malformed frame.
  bool ReadFrame(WsFrame& frame);
  // Reads one whole data message (opcode of its first frame), answering pings. At a close frame
  // it answers the close and returns false; also false at end of stream.
  bool ReadMessage(std::uint8_t& opcode, std::vector<std::uint8_t>& payload);
  // Echoes every message until the client closes.
  void EchoUntilClosed();

  // Ends the TCP connection without a closing handshake.
  void Drop();

  // The close code of the client's close frame, 0 when none was read.
  std::uint16_t receivedCloseCode() const { return receivedCloseCode_; }

 private:
  bool ReadExact(void* data, std::size_t size);
  bool WriteAll(const void* data, std::size_t size);
  long ReadSome(void* data, std::size_t size);

  WsTestServer* server_;
  SocketHandle socket_;
  SSL* ssl_;
  std::vector<std::uint8_t> pending_;  // bytes read past the request head
  std::uint16_t receivedCloseCode_ = 0;
};

// A self-signed certificate for "localhost" and (unless `withLoopbackAddress` is false)
// 127.0.0.1, with its RSA key, made at run time.
struct TestCertificate {
  std::string certPem;
  std::string keyPem;
  std::vector<std::uint8_t> certDer;
};
TestCertificate MakeTestCertificate(bool withLoopbackAddress = true);
// The certificate of a PEM text (its first one), without a key. Throws on malformed input.
TestCertificate CertificateFromPem(const std::string& pem);

class WsTestServer {
 public:
  using Script = std::function<void(WsPeer&)>;

  // Starts listening. With `certificate` every connection first completes a TLS handshake.
  explicit WsTestServer(Script script, const TestCertificate* certificate = nullptr);
  ~WsTestServer();
  WsTestServer(const WsTestServer&) = delete;
  WsTestServer& operator=(const WsTestServer&) = delete;

  std::uint16_t port() const { return port_; }
  bool listening() const { return listener_ != kNoSocket; }
  // Connections accepted so far (TCP level).
  int accepted() const { return accepted_.load(); }
  // Requests read by ReadRequest, in order.
  std::vector<HttpRequest> requests();

 private:
  void AcceptLoop();
  void Serve(SocketHandle socket);

  Script script_;
  SSL_CTX* tls_ = nullptr;
  SocketHandle listener_ = kNoSocket;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::mutex mutex_;
  std::vector<SocketHandle> sockets_;
  std::vector<std::thread> peers_;
  std::vector<HttpRequest> requests_;
  std::thread acceptThread_;

  friend class WsPeer;
};

}  // namespace ov::testing
