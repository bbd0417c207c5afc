#include "app/testing/scripted_transport.h"

#include <utility>

namespace ov::testing {

bool ScriptedTransport::Connect(const std::wstring& url, NetEventSink sink, std::string& error) {
  if (beforeConnect) beforeConnect();
  std::unique_lock<std::mutex> lock(mutex_);
  connectEntered_ = true;
  url_ = url;
  if (hangConnect) {
    changed_.wait(lock, [this] { return closed_; });
  }
  if (closed_) {
    error = kCancelledText;
    return false;
  }
  if (!connectSucceeds) {
    error = connectError;
    return false;
  }
  sink_ = std::move(sink);
  connected_ = true;
  changed_.notify_all();
  return true;
}

bool ScriptedTransport::SendText(const std::string& text) {
  if (onSend) onSend();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!connected_ || closed_ || !sendTextSucceeds) return false;
  texts_.push_back(text);
  changed_.notify_all();
  return true;
}

bool ScriptedTransport::SendBinary(const std::vector<std::uint8_t>& bytes) {
  if (onSend) onSend();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!connected_ || closed_ || !sendBinarySucceeds) return false;
  ++binaryCount_;
  if (keepBinaries) binaries_.push_back(bytes);
  changed_.notify_all();
  return true;
}

void ScriptedTransport::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++closeCount_;
  changed_.notify_all();
  if (closeBeforeConnectLost && !connectEntered_) return;
  closed_ = true;
  connected_ = false;
}

bool ScriptedTransport::Deliver(NetEvent event) {
  NetEventSink sink;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected_ || closed_) return false;
    sink = sink_;
  }
  sink(std::move(event));
  return true;
}

bool ScriptedTransport::DeliverText(const std::string& text) {
  NetEvent event;
  event.kind = NetEvent::Kind::Text;
  event.data.assign(text.begin(), text.end());
  event.text = text;
  return Deliver(std::move(event));
}

bool ScriptedTransport::DeliverBinary(std::vector<std::uint8_t> bytes) {
  NetEvent event;
  event.kind = NetEvent::Kind::Binary;
  event.data = std::move(bytes);
  return Deliver(std::move(event));
}

Json ScriptedTransport::WaitForSentType(const std::string& type, std::size_t from,
                                        std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  Json found;
  changed_.wait_for(lock, timeout, [&] {
    for (std::size_t i = from; i < texts_.size(); ++i) {
      Json message = ParseMessage(texts_[i]);
      if (message.value("type", std::string()) == type) {
        found = std::move(message);
        return true;
      }
    }
    return false;
  });
  return found;
}

bool ScriptedTransport::WaitForBinary(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return binaries_.size() >= count; });
}

bool ScriptedTransport::WaitConnected(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return connected_ && !texts_.empty(); });
}

std::size_t ScriptedTransport::binaryCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return binaryCount_;
}

std::vector<std::string> ScriptedTransport::SentTexts() {
  std::lock_guard<std::mutex> lock(mutex_);
  return texts_;
}

std::vector<std::vector<std::uint8_t>> ScriptedTransport::SentBinaries() {
  std::lock_guard<std::mutex> lock(mutex_);
  return binaries_;
}

std::wstring ScriptedTransport::url() {
  std::lock_guard<std::mutex> lock(mutex_);
  return url_;
}

bool ScriptedTransport::connected() {
  std::lock_guard<std::mutex> lock(mutex_);
  return connected_;
}

int ScriptedTransport::closeCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return closeCount_;
}

}  // namespace ov::testing
