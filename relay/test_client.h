// Scripted clients for the relay's tests and benchmarks: a WebSocket client (ws:// or wss:// to
// 127.0.0.1) whose every blocking call has a deadline, a one-shot HTTP(S) GET, and a throwaway
// self-signed certificate made with OpenSSL.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/json_codec.h"

namespace ov::relay::testing {

// A self-signed P-256 certificate for "localhost" and 127.0.0.1, written as PEM files into a
// fresh temporary folder (removed by the destructor).
class TempCertificate {
 public:
  TempCertificate();
  ~TempCertificate();
  TempCertificate(const TempCertificate&) = delete;
  TempCertificate& operator=(const TempCertificate&) = delete;
  const std::string& CertPath() const { return cert_; }
  const std::string& KeyPath() const { return key_; }
  const std::string& Folder() const { return dir_; }

 private:
  std::string dir_, cert_, key_;
};

// A fresh temporary folder, removed with its contents by the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

struct ClosedError : std::runtime_error {
  explicit ClosedError(int closeCode)
      : std::runtime_error("closed with " + std::to_string(closeCode)), code(closeCode) {}
  int code;  // WebSocket close code, or -1 when the connection ended without one
};
struct TimeoutError : std::runtime_error {
  TimeoutError() : std::runtime_error("timed out") {}
};

using Duration = std::chrono::milliseconds;

class WsClient {
 public:
  using Duration = testing::Duration;
  struct Message {
    bool binary = false;
    std::string data;
  };

  // Connects to 127.0.0.1:port and upgrades at /ws. With `caFile`, speaks TLS and verifies the
  // server's certificate against it for the name "localhost".
  explicit WsClient(std::uint16_t port, const std::string& caFile = {},
                    Duration timeout = Duration(5000));
  ~WsClient();
  WsClient(const WsClient&) = delete;
  WsClient& operator=(const WsClient&) = delete;

  void SendText(const std::string& text) { Send(text, false); }
  void SendJson(const Json& message) { SendText(SerializeMessage(message)); }
  void SendBinary(const std::string& bytes) { Send(bytes, true); }
  // The next message; throws ClosedError when the relay closed the connection instead.
  Message Read();
  Json ReadJson();  // the next message, which must be text holding JSON
  // Reads the next message and returns only its size (no copy; for benchmarks).
  std::size_t ReadSize();
  // Reads until the connection closes; returns the close code (-1: dropped without a code).
  // Messages read on the way are returned in `skipped` when given.
  int WaitClosed(std::vector<Message>* skipped = nullptr);
  // Drops the TCP connection without a closing handshake.
  void Drop();
  // Starts a graceful close (status 1000) and waits for it.
  void Close();
  void SetTimeout(Duration timeout);

 private:
  void Send(const std::string& bytes, bool binary);
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

struct HttpResult {
  unsigned status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};
// One request over a new connection to 127.0.0.1:port (TLS when caFile is given).
HttpResult HttpRequest(std::uint16_t port, const std::string& target,
                       const std::string& method = "GET", const std::string& caFile = {});

// A child process (a relay node, a NATS server) with its stdout and stderr on one pipe. The
// destructor kills it (SIGKILL) unless it has exited.
class Child {
 public:
  Child(const std::string& binary, std::vector<std::string> args);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Output until `needle` appears (or the pipe closes, or `timeout` passes).
  std::string ReadUntil(const std::string& needle, Duration timeout = Duration(10000));
  // Exit status (128 + signal when killed), or -1 if the child did not end within 10 s.
  int Wait();
  void Signal(int sig);
  const std::string& Output() const { return output_; }
  // The port after "listening on ...127.0.0.1:" in the relay's start line, 0 when not seen.
  std::uint16_t ListeningPort();

 private:
  int pid_ = -1;
  int fd_ = -1;
  bool exited_ = false;
  std::string output_;
};

}  // namespace ov::relay::testing
