#include "app/relay_link.h"

#include <chrono>
#include <utility>

#include "base/secure_memory.h"

namespace ov {
namespace {

constexpr char kRegistrationFailedText[] = "Registration failed";
constexpr char kSendFailedText[] = "Network send failed";

NetEvent ErrorEvent(std::string text) {
  NetEvent event;
  event.kind = NetEvent::Kind::Error;
  event.text = std::move(text);
  return event;
}

}  // namespace

RelayLink::RelayLink(std::function<void()> wake, TransportFactory createTransport,
                     std::wstring url)
    : createTransport_(std::move(createTransport)), url_(std::move(url)),
      events_(std::move(wake)) {
  events_.PublishGeneration(generation_);
}

RelayLink::~RelayLink() { Stop(); }

void RelayLink::Post(std::uint32_t generation, NetEvent event) {
  events_.Post(generation, std::move(event));
}

void RelayLink::Open(std::string firstMessage) {
  const std::uint32_t generation = generation_;
  transport_ = createTransport_();
  cancel_ = std::make_shared<std::atomic<bool>>(false);
  networkDone_ = std::make_shared<std::atomic<bool>>(false);
  sends_.Start();
  try {
    sendThread_ = std::thread(&RelayLink::SendThread, this, transport_, generation);
    networkThread_ = std::thread(&RelayLink::NetworkThread, this, transport_, generation,
                                 std::move(firstMessage), cancel_, networkDone_);
  } catch (...) {
    networkDone_->store(true);  // the network thread never ran
    Stop();
    throw;
  }
}

void RelayLink::NetworkThread(std::shared_ptr<Transport> transport, std::uint32_t generation,
                              std::string firstMessage, std::shared_ptr<std::atomic<bool>> cancel,
                              std::shared_ptr<std::atomic<bool>> done) {
  struct MarkDone {
    std::atomic<bool>& flag;
    ~MarkDone() { flag.store(true); }
  } markDone{*done};
  if (cancel->load()) return;
  std::string error;
  const bool connected = transport->Connect(
      url_, [this, generation](NetEvent event) { Post(generation, std::move(event)); }, error);
  if (!connected) {
    Post(generation, ErrorEvent(error));
    return;
  }
  if (cancel->load()) {
    transport->Close();
    return;
  }
  const bool sent = transport->SendText(firstMessage);
  SecureClear(firstMessage);
  if (!sent) Post(generation, ErrorEvent(kRegistrationFailedText));
}

void RelayLink::SendThread(std::shared_ptr<Transport> transport, std::uint32_t generation) {
  std::vector<std::uint8_t> sealed;
  while (sends_.Sending()) {
    std::optional<SendItem> item = sends_.WaitPop();
    if (!item) return;
    bool sent = false;
    try {
      if (item->kind == kRelayItemKind) {
        sent = transport->SendText(item->text);
      } else if (item->channel) {
        item->channel->SealInto(item->kind, item->payload, sealed);
        sent = transport->SendBinary(sealed);
      }
    } catch (...) {
      sent = false;
    }
    if (!sent) {
      sends_.Stop();
      Post(generation, ErrorEvent(kSendFailedText));
      return;
    }
  }
}

void RelayLink::SetChannel(std::shared_ptr<CryptoSession> channel) {
  std::lock_guard<std::mutex> lock(channelMutex_);
  channel_ = std::move(channel);
}

bool RelayLink::EnqueueSealed(std::uint8_t kind, std::vector<std::uint8_t> plaintext) {
  SendItem item;
  {
    std::lock_guard<std::mutex> lock(channelMutex_);
    if (!channel_) return false;
    item.channel = channel_;
  }
  item.kind = kind;
  item.payload = std::move(plaintext);
  return sends_.Enqueue(std::move(item));
}

void RelayLink::Stop() {
  SetChannel(nullptr);
  // From here on, events and sends of the old connection are ignored.
  ++generation_;
  events_.PublishGeneration(generation_);
  sends_.Stop();
  if (cancel_) cancel_->store(true);
  if (transport_) transport_->Close();
  if (networkThread_.joinable()) {
    // A Close that came before the network thread reached Connect cannot cancel that Connect;
    // closing again until the thread has finished can.
    while (networkDone_ && !networkDone_->load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (transport_) transport_->Close();
    }
    networkThread_.join();
  }
  if (transport_) transport_->Close();  // the network thread may have connected meanwhile
  if (sendThread_.joinable()) sendThread_.join();
  sends_.Clear();
  transport_.reset();
  cancel_.reset();
  networkDone_.reset();
  events_.Clear();
}

}  // namespace ov
