// A Transport that a test drives: it records every message the program sends and delivers the
// events the test scripts, on the test's own thread (standing in for the receive thread). Knobs:
// a failing or hanging Connect, failing sends, and a hook to watch each send.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/json_codec.h"
#include "net/transport.h"

namespace ov::testing {

class ScriptedTransport final : public Transport {
 public:
  // Connect: true by default. With `hangConnect`, Connect blocks until Close (then fails with
  // "Connection cancelled"), as a connection to an unreachable relay would.
  bool connectSucceeds = true;
  bool hangConnect = false;
  std::string connectError = "Connect failed (Windows error 12029)";
  bool sendTextSucceeds = true;
  bool sendBinarySucceeds = true;
  // False: binary messages are only counted, not kept (benchmarks).
  bool keepBinaries = true;
  // Called (on the sending thread, without the transport's lock) before each send is recorded.
  std::function<void()> onSend;
  // Called (on the connecting thread, without the lock) when Connect is entered.
  std::function<void()> beforeConnect;
  // A Close before Connect was entered is forgotten, as by a real transport that has nothing to
  // cancel yet; only a later Close cancels the Connect.
  bool closeBeforeConnectLost = false;

  bool Connect(const std::wstring& url, NetEventSink sink, std::string& error) override;
  bool SendText(const std::string& text) override;
  bool SendBinary(const std::vector<std::uint8_t>& bytes) override;
  void Close() override;

  // Test side. Deliver calls the sink on the calling thread unless the connection is closed;
  // returns whether it was delivered.
  bool Deliver(NetEvent event);
  bool DeliverText(const std::string& text);
  bool DeliverJson(const Json& message) { return DeliverText(SerializeMessage(message)); }
  bool DeliverBinary(std::vector<std::uint8_t> bytes);

  // Waits until a text message whose "type" is `type` has been sent (counting from `from`);
  // returns it parsed, or a null JSON value after `timeout`.
  Json WaitForSentType(const std::string& type, std::size_t from = 0,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Waits until at least `count` binary messages have been sent.
  bool WaitForBinary(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  bool WaitConnected(std::chrono::milliseconds timeout = std::chrono::seconds(5));

  std::size_t binaryCount();
  std::vector<std::string> SentTexts();
  std::vector<std::vector<std::uint8_t>> SentBinaries();
  std::wstring url();
  bool connected();
  int closeCount();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  NetEventSink sink_;
  std::wstring url_;
  bool connected_ = false;
  bool connectEntered_ = false;
  bool closed_ = false;
  int closeCount_ = 0;
  std::vector<std::string> texts_;
  std::vector<std::vector<std::uint8_t>> binaries_;
  std::size_t binaryCount_ = 0;
};

}  // namespace ov::testing
