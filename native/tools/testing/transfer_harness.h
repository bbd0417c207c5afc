// Two file-transfer ends joined back to back for tests: each end's owner queues what it sends, and
// DeliverOne / Exchange carry it to the other end as the session would.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/json_codec.h"
#include "crypto/crypto_session.h"
#include "crypto/primitives.h"
#include "session/session_owner.h"
#include "tools/file_transfer.h"

namespace ov {

inline std::string Sha256Of(const std::vector<std::uint8_t>& data) {
  Sha256Stream digest;
  for (std::size_t at = 0; at < data.size(); at += kSha256ChunkLimit) {
    digest.Update(data.data() + at, std::min(kSha256ChunkLimit, data.size() - at));
  }
  return digest.FinishHex();
}

struct TestGate final : FileTransferGate {
  bool ready = true;
  bool allow = true;
  bool peer = true;
  bool ToolsReady() const override { return ready; }
  bool AllowFiles() const override { return allow; }
  bool PeerFiles() const override { return peer; }
};

struct TestOwner final : SessionOwner {
  std::deque<std::pair<std::uint8_t, std::vector<std::uint8_t>>> outbox;
  bool refuseChunks = false;
  bool refuseAll = false;
  std::uint64_t now = 5000;

  bool SendSealed(std::uint8_t kind, std::vector<std::uint8_t> plaintext) override {
    if (refuseAll || (refuseChunks && kind == static_cast<std::uint8_t>(SealedKind::Tools))) {
      return false;
    }
    outbox.emplace_back(kind, std::move(plaintext));
    return true;
  }
  std::uint32_t ConnectionGeneration() override { return 1; }
  void PostEndEvent(std::uint32_t, const std::string&) override {}
  void RemoveQueuedFrames() override {}
  std::uint64_t NowMs() override { return now; }
  void ShowStatus(const std::string&) override {}
  void RequestLayout() override {}
  void Repaint() override {}
  void DropRemotePicture() override {}
  void ClearPairingDeadline() override {}
  void EndSession(const std::string&) override {}

  // The control messages queued so far, parsed (chunks are skipped), and the queue emptied.
  std::vector<Json> TakeControl() {
    std::vector<Json> messages;
    for (auto& [kind, bytes] : outbox) {
      if (kind == static_cast<std::uint8_t>(SealedKind::Control)) {
        messages.push_back(ParseMessage(bytes));
      }
    }
    outbox.clear();
    return messages;
  }
};

struct TransferEnd {
  // `store` must outlive the end.
  explicit TransferEnd(FileStore& store)
      : tools(std::make_unique<FileTransfer>(owner, store, gate)) {}
  TestOwner owner;
  TestGate gate;
  std::unique_ptr<FileTransfer> tools;
};

// One line of the wire between the ends: "A>fileOffer", "A>chunk 32768", ...
using Trace = std::vector<std::string>;

// Carries one queued message from `from` to `to`; false when `from` had nothing queued.
inline bool DeliverOne(TransferEnd& from, TransferEnd& to, const char* label, Trace* trace) {
  if (from.owner.outbox.empty()) return false;
  auto [kind, bytes] = std::move(from.owner.outbox.front());
  from.owner.outbox.pop_front();
  if (kind == static_cast<std::uint8_t>(SealedKind::Tools)) {
    if (trace) trace->push_back(std::string(label) + ">chunk " + std::to_string(bytes.size() - 40));
    to.tools->HandleChunk(bytes);
  } else {
    const Json message = ParseMessage(bytes);
    if (trace) trace->push_back(std::string(label) + ">" + message.at("op").get<std::string>());
    EXPECT_TRUE(to.tools->HandleMessage(message));
  }
  return true;
}

// Runs the exchange until both ends are quiet, checking after every step that the sender never
// has more than its window unacknowledged.
inline void Exchange(TransferEnd& a, TransferEnd& b, Trace* trace = nullptr) {
  for (int step = 0; step < 1000000; ++step) {
    const bool moved = DeliverOne(a, b, "A", trace) || DeliverOne(b, a, "B", trace);
    for (TransferEnd* end : {&a, &b}) {
      if (const FileSender* sender = end->tools->sender()) {
        ASSERT_LE(sender->sent() - sender->acknowledged(), kFileSendWindow);
      }
    }
    if (!moved) return;
  }
  FAIL() << "the exchange did not settle";
}

}  // namespace ov
