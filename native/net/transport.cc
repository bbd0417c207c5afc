#include "net/transport.h"

#include <exception>
#include <string>
#include <system_error>
#include <utility>

#include "net/transport_internal.h"

namespace ov {

std::string StepErrorText(const char* step, std::uint32_t code) {
  std::string text(step);
  text += " (Windows error ";
  text += std::to_string(code);
  text += ")";
  return text;
}

namespace net_internal {
namespace {
// The connection whose receive thread is the calling thread, if any.
thread_local const Connection* tlsReceivingConnection = nullptr;
}  // namespace

// ---------------------------------------------------------------------------------------------
// MessageAssembler

bool MessageAssembler::Add(const std::uint8_t* data, std::size_t size, bool text, bool final, std::string& error) {
  if (complete_) {
    buffer_.clear();
    complete_ = false;
  }
  if (size > kReceiveBufferBytes || size > kMaxRelayMessageBytes - buffer_.size()) {
    error = kMessageTooLargeText;
    return false;
  }
  if (inProgress_ && text != text_) {
    error = kMixedFragmentsText;
    return false;
  }
  if (size > 0) buffer_.insert(buffer_.end(), data, data + size);
  inProgress_ = !final;
  text_ = text;
  complete_ = final;
  return true;
}

NetEvent MessageAssembler::TakeMessage() {
  NetEvent event;
  event.kind = text_ ? NetEvent::Kind::Text : NetEvent::Kind::Binary;
  if (text_) event.text.assign(buffer_.begin(), buffer_.end());
  event.data = std::move(buffer_);
  buffer_.clear();
  complete_ = false;
  return event;
}

// ---------------------------------------------------------------------------------------------
// Connection

bool Connection::SendChecked(bool text, const std::uint8_t* data, std::size_t size) {
  if (size > kMaxRelayMessageBytes || cancelled || !open) return false;
  return Send(text, data, size);
}

void Connection::Deliver(NetEvent event) {
  try {
    if (sink) sink(std::move(event));
  } catch (...) {
    Abort();
  }
}

void Connection::RunReceiveLoop() {
  tlsReceivingConnection = this;
  MessageAssembler assembler;
  std::string error;
  while (!cancelled) {
    ReceivedPiece piece = Receive();
    if (piece.status == ReceivedPiece::Status::Stopped || piece.status == ReceivedPiece::Status::Closed) break;
    if (piece.status == ReceivedPiece::Status::Failed) {
      error = std::move(piece.error);
      break;
    }
    if (!assembler.Add(piece.data, piece.size, piece.text, piece.final, error)) break;
    if (assembler.HasMessage()) Deliver(assembler.TakeMessage());
  }
  const bool wasCancelled = cancelled;
  GracefulClose();
  if (!wasCancelled && !error.empty()) {
    NetEvent failure;
    failure.kind = NetEvent::Kind::Error;
    failure.text = std::move(error);
    Deliver(std::move(failure));
  }
  NetEvent closed;
  closed.kind = NetEvent::Kind::Closed;
  closed.text = wasCancelled ? kLocallyClosedText : kRelayClosedText;
  Deliver(std::move(closed));
  tlsReceivingConnection = nullptr;
  std::lock_guard<std::mutex> lock(finishMutex_);
  receiveFinished_ = true;
  finishCv_.notify_all();
}

void Connection::WaitReceiveFinished() {
  std::unique_lock<std::mutex> lock(finishMutex_);
  finishCv_.wait(lock, [this] { return receiveFinished_; });
}

// ---------------------------------------------------------------------------------------------
// TransportCore

TransportCore::~TransportCore() { Close(); }

std::shared_ptr<Connection> TransportCore::Current() {
  std::lock_guard<std::mutex> lock(mutex_);
  return current_;
}

bool TransportCore::Connect(const std::wstring& url, NetEventSink sink, std::string& error) {
  Close();
  RelayUrl parsed;
  if (!ParseRelayUrl(url, parsed, error)) return false;

  std::shared_ptr<Connection> connection = NewConnection();
  connection->sink = std::move(sink);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    current_ = connection;
  }
  error.clear();
  if (!connection->Handshake(parsed, error) || connection->cancelled) {
    // A failure caused by a concurrent Close is reported as the cancellation it is.
    if (error.empty() || connection->cancelled) error = kCancelledText;
    connection->Abort();
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_ == connection) current_.reset();
    return false;
  }

  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_ == connection && !connection->cancelled) {
      try {
        receiveThread_ = std::thread([connection] { connection->RunReceiveLoop(); });
        return true;
      } catch (const std::system_error& e) {
        current_.reset();
        error = StepErrorText("Start receive thread", static_cast<std::uint32_t>(e.code().value()));
      }
    } else {
      error = kCancelledText;
    }
  }
  connection->Abort();
  return false;
}

bool TransportCore::SendText(const std::string& text) {
  std::shared_ptr<Connection> connection = Current();
  return connection && connection->SendChecked(true, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

bool TransportCore::SendBinary(const std::vector<std::uint8_t>& bytes) {
  std::shared_ptr<Connection> connection = Current();
  return connection && connection->SendChecked(false, bytes.data(), bytes.size());
}

void TransportCore::Close() {
  std::shared_ptr<Connection> connection;
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connection = std::move(current_);
    current_.reset();
    thread = std::move(receiveThread_);
  }
  if (connection) connection->GracefulClose();
  if (thread.joinable()) {
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
      std::lock_guard<std::mutex> lock(mutex_);
      draining_.push_back(std::move(connection));
    } else {
      thread.join();
    }
  }
  // A receive thread never waits for another: its own sink may be what the other is calling.
  if (tlsReceivingConnection != nullptr) return;
  std::vector<std::shared_ptr<Connection>> draining;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    draining.swap(draining_);
  }
  for (const auto& d : draining) d->WaitReceiveFinished();
}

}  // namespace net_internal
}  // namespace ov
