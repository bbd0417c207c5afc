// The transport over WinHTTP's asynchronous WebSocket API. WinHTTP completes every operation on
// its own threads through the status callback, which only records the outcome in the
// connection's flags and wakes the waiting thread; every wait is bounded except the receive (the
// relay may stay silent) and the wait for handles to finish closing.

#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/transport.h"
#include "net/transport_internal.h"

namespace ov {
namespace {

using net_internal::ReceivedPiece;

constexpr wchar_t kUserAgent[] = L"Orvantis-Native/1.0";
constexpr DWORD kResolveTimeoutMs = 10000;
constexpr DWORD kConnectTimeoutMs = 15000;
constexpr DWORD kSendTimeoutMs = 15000;
constexpr DWORD kReceiveTimeoutMs = 0;
constexpr DWORD kTls12And13 = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;  // 0x2800
constexpr DWORD kTls12 = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;                                             // 0x800
constexpr DWORD kDisabledFeatures =
    WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_AUTHENTICATION;  // 7
// Handle creation and closing, every completion, and the WebSocket close and shutdown completions.
constexpr DWORD kNotificationMask = 0x0F7E0C00;
constexpr DWORD kKeepAliveMs = 30000;
constexpr auto kStepWait = std::chrono::seconds(20);
constexpr auto kSendWait = std::chrono::seconds(20);
constexpr auto kCloseWait = std::chrono::milliseconds(200);
constexpr USHORT kNormalClosure = 1000;

class WinHttpConnection;

// The context value of a WinHTTP handle: which connection, and which of its handles.
struct HandleContext {
  WinHttpConnection* connection;
  bool isWebSocket;
};

class WinHttpConnection final : public net_internal::Connection {
 public:
  ~WinHttpConnection() override { Abort(); }

  bool Handshake(const RelayUrl& url, std::string& error) override;
  ReceivedPiece Receive() override;
  bool Send(bool text, const std::uint8_t* data, std::size_t size) override;
  void GracefulClose() override;
  void Abort() override;

  static void CALLBACK StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                                      DWORD length);

 private:
  void OnStatus(bool isWebSocket, DWORD status, const void* info, DWORD length);
  // Runs one asynchronous step of the upgrade request: `start` is called with the request handle
  // under the handle mutex, then the completion is awaited (20 s) without it.
  template <class Start>
  bool RequestStep(const char* step, Start start, std::string& error);

  HandleContext requestContext_{this, false};
  HandleContext socketContext_{this, true};

  // Lock order: send mutex, handle mutex, state mutex. The status callback takes the state mutex only.
  std::mutex sendMutex_;
  std::mutex handleMutex_;
  std::mutex stateMutex_;
  std::condition_variable cv_;

  // Under the handle mutex.
  HINTERNET session_ = nullptr;
  HINTERNET connect_ = nullptr;
  HINTERNET request_ = nullptr;
  HINTERNET socket_ = nullptr;

  // Under the state mutex.
  bool requestHandleCreated_ = false;
  bool socketHandleCreated_ = false;
  bool requestHandleClosed_ = false;
  bool socketHandleClosed_ = false;
  bool requestStepDone_ = false;
  DWORD requestError_ = 0;
  bool sendIdle_ = true;
  DWORD sendError_ = 0;
  bool receiveDone_ = false;
  DWORD receiveError_ = 0;
  DWORD receivedBytes_ = 0;
  DWORD receivedType_ = 0;
  bool shutdownSent_ = false;
  bool closeDone_ = false;

  std::vector<std::uint8_t> receiveBuffer_ = std::vector<std::uint8_t>(net_internal::kReceiveBufferBytes);
};

void CALLBACK WinHttpConnection::StatusCallback(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info,
                                                DWORD length) {
  if (context == 0) return;
  const auto* handle = reinterpret_cast<const HandleContext*>(context);
  handle->connection->OnStatus(handle->isWebSocket, status, info, length);
}

void WinHttpConnection::OnStatus(bool isWebSocket, DWORD status, const void* info, DWORD length) {
  std::lock_guard<std::mutex> lock(stateMutex_);
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
      (isWebSocket ? socketHandleClosed_ : requestHandleClosed_) = true;
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      if (isWebSocket && info != nullptr && length >= sizeof(WINHTTP_WEB_SOCKET_STATUS)) {
        const auto* result = static_cast<const WINHTTP_WEB_SOCKET_STATUS*>(info);
        receivedBytes_ = result->dwBytesTransferred;
        receivedType_ = static_cast<DWORD>(result->eBufferType);
        receiveDone_ = true;
      }
      break;
    case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE:
      sendIdle_ = true;
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      if (isWebSocket && info != nullptr && length >= sizeof(WINHTTP_WEB_SOCKET_ASYNC_RESULT)) {
        const auto* result = static_cast<const WINHTTP_WEB_SOCKET_ASYNC_RESULT*>(info);
        const DWORD code = result->AsyncResult.dwError;
        switch (result->Operation) {
          case WINHTTP_WEB_SOCKET_SEND_OPERATION:
            sendError_ = code;
            sendIdle_ = true;
            break;
          case WINHTTP_WEB_SOCKET_RECEIVE_OPERATION:
            receiveError_ = code;
            receiveDone_ = true;
            break;
          case WINHTTP_WEB_SOCKET_CLOSE_OPERATION:
          case WINHTTP_WEB_SOCKET_SHUTDOWN_OPERATION:
            closeDone_ = true;
            break;
        }
      } else if (!isWebSocket && info != nullptr && length >= sizeof(WINHTTP_ASYNC_RESULT)) {
        requestError_ = static_cast<const WINHTTP_ASYNC_RESULT*>(info)->dwError;
        requestStepDone_ = true;
      }
      break;
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
      requestStepDone_ = true;
      break;
    case WINHTTP_CALLBACK_STATUS_SHUTDOWN_COMPLETE:
      closeDone_ = true;
      break;
    default:
      break;
  }
  cv_.notify_all();
}

template <class Start>
bool WinHttpConnection::RequestStep(const char* step, Start start, std::string& error) {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    requestStepDone_ = false;
    requestError_ = 0;
  }
  {
    std::lock_guard<std::mutex> handles(handleMutex_);
    if (request_ == nullptr || cancelled) return false;  // reported as the cancellation
    if (!start(request_)) {
      const DWORD code = GetLastError();
      if (code != ERROR_IO_PENDING) {
        error = StepErrorText(step, code);
        return false;
      }
    }
  }
  std::unique_lock<std::mutex> lock(stateMutex_);
  if (!cv_.wait_for(lock, kStepWait, [this] { return requestStepDone_ || requestHandleClosed_; })) {
    lock.unlock();
    error = StepErrorText(step, ERROR_WINHTTP_TIMEOUT);
    Abort();
    return false;
  }
  if (requestHandleClosed_ || cancelled || requestError_ != 0) {
    error = StepErrorText(step, requestError_ != 0 ? requestError_ : ERROR_WINHTTP_OPERATION_CANCELLED);
    return false;
  }
  return true;
}

bool WinHttpConnection::Handshake(const RelayUrl& url, std::string& error) {
  std::unique_lock<std::mutex> handles(handleMutex_);
  auto fail = [&error](const char* step) {
    error = StepErrorText(step, GetLastError());
    return false;
  };
  if (cancelled) {
    error = kCancelledText;
    return false;
  }

  session_ = WinHttpOpen(kUserAgent, url.loopback ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                         WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
  if (session_ == nullptr) return fail("Open network session");
  if (!WinHttpSetTimeouts(session_, kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs)) {
    return fail("Set network timeouts");
  }
  DWORD protocols = kTls12And13;
  if (!WinHttpSetOption(session_, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols))) {
    protocols = kTls12;
    if (!WinHttpSetOption(session_, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols))) {
      return fail("Set TLS protocols");
    }
  }
  connect_ = WinHttpConnect(session_, url.host.c_str(), url.port, 0);
  if (connect_ == nullptr) return fail("Create connection");
  request_ = WinHttpOpenRequest(connect_, L"GET", url.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                WINHTTP_DEFAULT_ACCEPT_TYPES, url.secure ? WINHTTP_FLAG_SECURE : 0);
  if (request_ == nullptr) return fail("Create handshake");
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&requestContext_);
  if (!WinHttpSetOption(request_, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context))) {
    return fail("Set network context");
  }
  if (WinHttpSetStatusCallback(request_, &WinHttpConnection::StatusCallback, kNotificationMask, 0) ==
      WINHTTP_INVALID_STATUS_CALLBACK) {
    return fail("Set network callback");
  }
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    requestHandleCreated_ = true;
  }
  DWORD features = kDisabledFeatures;
  if (!WinHttpSetOption(request_, WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof(features)) ||
      !WinHttpSetOption(request_, WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0)) {
    return fail("Configure handshake");
  }
  handles.unlock();

  if (!RequestStep(
          "Send handshake",
          [](HINTERNET request) {
            return WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
          },
          error) ||
      !RequestStep(
          "Receive handshake", [](HINTERNET request) { return WinHttpReceiveResponse(request, nullptr); }, error)) {
    return false;
  }

  handles.lock();
  if (request_ == nullptr || cancelled) {
    error = kCancelledText;
    return false;
  }
  DWORD status = 0;
  DWORD statusSize = sizeof(status);
  if (!WinHttpQueryHeaders(request_, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
    return fail("Read handshake status");
  }
  if (status != 101) {
    error = "Relay refused WebSocket upgrade (HTTP " + std::to_string(status) + ")";
    return false;
  }
  socket_ = WinHttpWebSocketCompleteUpgrade(request_, reinterpret_cast<DWORD_PTR>(&socketContext_));
  if (socket_ == nullptr) return fail("Upgrade WebSocket");
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    socketHandleCreated_ = true;
  }
  DWORD keepAlive = kKeepAliveMs;
  if (!WinHttpSetOption(socket_, WINHTTP_OPTION_WEB_SOCKET_KEEPALIVE_INTERVAL, &keepAlive, sizeof(keepAlive))) {
    return fail("Set WebSocket keepalive");
  }
  WinHttpCloseHandle(request_);
  request_ = nullptr;
  open = true;
  return !cancelled;
}

ReceivedPiece WinHttpConnection::Receive() {
  ReceivedPiece piece;
  {
    std::lock_guard<std::mutex> handles(handleMutex_);
    if (socket_ == nullptr || cancelled) return piece;
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      receiveDone_ = false;
      receiveError_ = 0;
      receivedBytes_ = 0;
    }
    DWORD bytes = 0;
    WINHTTP_WEB_SOCKET_BUFFER_TYPE type = WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE;
    const DWORD result = WinHttpWebSocketReceive(socket_, receiveBuffer_.data(),
                                                 static_cast<DWORD>(receiveBuffer_.size()), &bytes, &type);
    if (result != NO_ERROR && result != ERROR_IO_PENDING) {
      std::lock_guard<std::mutex> lock(stateMutex_);
      receiveError_ = result;
      receiveDone_ = true;
    }
  }
  std::unique_lock<std::mutex> lock(stateMutex_);
  cv_.wait(lock, [this] { return receiveDone_ || socketHandleClosed_; });
  if (cancelled || socketHandleClosed_) return piece;
  if (receiveError_ != 0) {
    piece.status = ReceivedPiece::Status::Failed;
    piece.error = StepErrorText("Receive WebSocket", receiveError_);
    return piece;
  }
  if (receivedType_ == WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE) {
    piece.status = ReceivedPiece::Status::Closed;
    return piece;
  }
  piece.status = ReceivedPiece::Status::Data;
  piece.data = receiveBuffer_.data();
  piece.size = receivedBytes_;
  piece.text = receivedType_ == WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE ||
               receivedType_ == WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE;
  piece.final = receivedType_ == WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE ||
                receivedType_ == WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE;
  return piece;
}

bool WinHttpConnection::Send(bool text, const std::uint8_t* data, std::size_t size) {
  std::lock_guard<std::mutex> sendLock(sendMutex_);
  std::uint8_t empty = 0;  // an empty message still needs a buffer
  {
    std::lock_guard<std::mutex> handles(handleMutex_);
    if (socket_ == nullptr || cancelled || !open) return false;
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      sendIdle_ = false;
      sendError_ = 0;
    }
    const DWORD result = WinHttpWebSocketSend(
        socket_, text ? WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE : WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE,
        size > 0 ? const_cast<std::uint8_t*>(data) : &empty, static_cast<DWORD>(size));
    if (result != NO_ERROR && result != ERROR_IO_PENDING) {
      std::lock_guard<std::mutex> lock(stateMutex_);
      sendError_ = result;
      sendIdle_ = true;
    }
  }
  // `data` must stay valid until the write completes: this returns only after completion, or
  // after Abort has waited for the WebSocket handle to finish closing.
  bool success = false;
  {
    std::unique_lock<std::mutex> lock(stateMutex_);
    const bool finished = cv_.wait_for(lock, kSendWait, [this] { return sendIdle_ || socketHandleClosed_; });
    success = finished && sendIdle_ && sendError_ == 0 && !cancelled;
  }
  if (!success) Abort();
  return success;
}

void WinHttpConnection::GracefulClose() {
  cancelled = true;
  open = false;
  bool wait = false;
  {
    std::lock_guard<std::mutex> handles(handleMutex_);
    bool start = false;
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      if (socket_ != nullptr && sendIdle_ && !shutdownSent_) {
        shutdownSent_ = true;
        start = true;
      }
    }
    if (start) {
      const DWORD result = WinHttpWebSocketShutdown(socket_, kNormalClosure, nullptr, 0);
      wait = result == NO_ERROR || result == ERROR_IO_PENDING;
    }
  }
  if (wait) {
    std::unique_lock<std::mutex> lock(stateMutex_);
    cv_.wait_for(lock, kCloseWait, [this] { return closeDone_ || socketHandleClosed_; });
  }
  Abort();
}

void WinHttpConnection::Abort() {
  cancelled = true;
  open = false;
  {
    std::lock_guard<std::mutex> handles(handleMutex_);
    for (HINTERNET* handle : {&socket_, &request_, &connect_, &session_}) {
      if (*handle != nullptr) {
        WinHttpCloseHandle(*handle);
        *handle = nullptr;
      }
    }
  }
  // After this no status callback can reach this object.
  std::unique_lock<std::mutex> lock(stateMutex_);
  cv_.wait(lock, [this] {
    return (!requestHandleCreated_ || requestHandleClosed_) && (!socketHandleCreated_ || socketHandleClosed_);
  });
}

class WinHttpTransport final : public net_internal::TransportCore {
 public:
  ~WinHttpTransport() override { Close(); }

 protected:
  std::shared_ptr<net_internal::Connection> NewConnection() override {
    return std::make_shared<WinHttpConnection>();
  }
};

}  // namespace

std::shared_ptr<Transport> CreateTransport(const TransportOptions&) { return std::make_shared<WinHttpTransport>(); }

}  // namespace ov
