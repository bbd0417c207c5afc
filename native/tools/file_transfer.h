// File transfer between the two ends of a session: one outgoing and one incoming file at a time,
// plus one incoming offer waiting for the local user.
//
// The protocol: JSON control messages (sealed kind Control) named by "op" — fileOffer {id, name,
// size}, fileAccept {id}, fileAck {id, next}, fileFinish {id, sha256}, fileDone {id} and
// fileCancel {id} — and binary chunks (sealed kind Tools):
//
//   bytes 0-31   the transfer id, 32 lower-case hex characters
//   bytes 32-39  offset of the data in the file, u64 big-endian
//   bytes 40-    1 to 32768 bytes of file data
//
// The sender keeps at most 512 KiB unacknowledged; the receiver acknowledges every fourth chunk
// and the last one; once everything is acknowledged the sender sends the SHA-256 of the file. The
// receiver writes into a temporary file beside the destination, checks the digest, marks the
// file as coming from the Internet and moves it into place without ever replacing anything.
//
// Failures come in three kinds. A received message or chunk that breaks the protocol throws
// ProtocolError (or the JSON library's error for a missing member or a wrong type): the session
// must end. A failure of the files themselves (read, write, digest, mark, move, sending a chunk)
// is a file error: that transfer ends, the peer is told with fileCancel and the session goes on.
// A local command that cannot be done (offer, accept) throws std::runtime_error with its text and
// changes nothing.
//
// Everything runs on the UI thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/json_codec.h"
#include "crypto/primitives.h"
#include "session/peer_control.h"
#include "session/session_owner.h"
#include "tools/change_stamp.h"
#include "tools/file_store.h"

namespace ov {

inline constexpr std::uint64_t kMaxFileSize = 8589934592;  // 8 GiB
inline constexpr std::size_t kFileChunkDataSize = 32768;
inline constexpr std::size_t kTransferIdLength = 32;
inline constexpr std::size_t kFileChunkHeaderSize = kTransferIdLength + 8;
inline constexpr std::size_t kMaxFileChunkSize = kFileChunkHeaderSize + kFileChunkDataSize;
inline constexpr std::uint64_t kFileSendWindow = 524288;  // sixteen chunks
inline constexpr std::uint32_t kChunksPerAcknowledgement = 4;
inline constexpr std::uint64_t kFileInactivityMs = 120000;
inline constexpr std::size_t kCancelledIdsKept = 16;
// The origin that received files are marked with: the service host the program talks to.
inline constexpr char kDefaultFileOrigin[] = "https://relay.kestrova.net/";

// True for exactly 32 characters of 0-9a-f.
bool IsTransferId(std::string_view text) noexcept;
// A new id from 16 random bytes.
std::string NewTransferId();

// One outgoing file: the open source, what was read and what the peer acknowledged, the digest
// of everything read so far.
class FileSender {
 public:
  enum class State {
    Offered,     // the offer was sent; waiting for fileAccept
    Sending,     // accepted; chunks flow within the window
    FinishSent,  // everything acknowledged, fileFinish sent; waiting for fileDone
  };

  // Opens `path` for an offer. Throws std::runtime_error "Unsafe file name" (its final component),
  // "Selected file cannot be read" or "File limit is 8 GiB".
  static std::unique_ptr<FileSender> Open(FileStore& store, const std::u16string& path);

  State state() const noexcept { return state_; }
  const std::u16string& name() const noexcept { return name_; }
  std::uint64_t size() const noexcept { return size_; }
  std::uint64_t sent() const noexcept { return sent_; }
  std::uint64_t acknowledged() const noexcept { return acknowledged_; }
  // True while the window allows another chunk.
  bool CanSendChunk() const noexcept {
    return state_ == State::Sending && sent_ < size_ && sent_ - acknowledged_ < kFileSendWindow;
  }

  void Accept() noexcept { state_ = State::Sending; }
  void Acknowledge(std::uint64_t next) noexcept { acknowledged_ = next; }
  void MarkFinishSent() noexcept { state_ = State::FinishSent; }

  // Reads the next chunk (up to 32768 bytes) and builds its message for transfer `id` into
  // `chunk`. Throws "Selected file changed or read failed" or the digest's texts.
  void ReadChunk(std::string_view id, std::vector<std::uint8_t>& chunk);
  // The digest of the whole file. Throws "Incomplete source digest" before every byte was read.
  std::string DigestHex();

 private:
  FileSender(std::unique_ptr<SourceFile> file, std::u16string name);

  std::unique_ptr<SourceFile> file_;
  Sha256Stream digest_;
  std::u16string name_;
  std::uint64_t size_ = 0;
  std::uint64_t sent_ = 0;
  std::uint64_t acknowledged_ = 0;
  State state_ = State::Offered;
};

// One incoming file, written into a temporary file beside its destination. Destroying it before
// Finalize succeeded deletes the temporary file: a cancelled, failed or abandoned download leaves
// nothing behind. Also the safe write path of downloads made outside a session (SaveVerifiedFile).
class FileReceiver {
 public:
  enum class State {
    Receiving,  // the temporary file is open and takes data in order
    Finalized,  // verified, marked and moved into place
  };

  // Checks the destination and creates the temporary file (the destination followed by
  // ".orvantis-", 16 random lower-case hex characters and ".part"). Throws std::runtime_error
  // "Invalid destination or file size" (size above 8 GiB or an unsafe final component),
  // "Destination cannot contain an alternate data stream" (3 characters or fewer, or a ":" after
  // the first two), "Choose a new file name; existing files are never replaced", "Cannot create
  // destination temporary file" or, for a volume that cannot hold the origin mark, "Destination
  // must support Windows Internet-zone metadata".
  static std::unique_ptr<FileReceiver> Open(FileStore& store, const std::u16string& destination,
                                            std::uint64_t size);

  State state() const noexcept { return state_; }
  const std::u16string& destination() const noexcept { return destination_; }
  const std::u16string& temporaryPath() const noexcept { return file_->path(); }
  std::uint64_t size() const noexcept { return size_; }
  std::uint64_t received() const noexcept { return received_; }
  bool complete() const noexcept { return received_ == size_; }

  // Appends the data found at `offset`. Throws "Unexpected file chunk offset or size" unless the
  // offset is the count received so far and the data is 1 to 32768 bytes within the size,
  // "Destination write failed", or the digest's texts.
  void Write(std::uint64_t offset, std::span<const std::uint8_t> data);
  // Checks the digest (`sha256Hex` must equal the local one in lower-case hex), flushes, marks the
  // file as coming from `originUrl` and moves it to the destination. Throws "Incomplete file or
  // SHA256 mismatch", "Destination flush failed", "Destination must support Windows
  // Internet-zone metadata", "Zone metadata write", "Zone metadata flush" or "Cannot finalize
  // file; destination may already exist".
  void Finalize(std::string_view sha256Hex, std::string_view originUrl);

 private:
  FileReceiver(std::unique_ptr<PartialFile> file, std::u16string destination, std::uint64_t size);

  std::unique_ptr<PartialFile> file_;
  Sha256Stream digest_;
  std::u16string destination_;
  std::uint64_t size_ = 0;
  std::uint64_t received_ = 0;
  State state_ = State::Receiving;
};

// Saves `data` as `name` in `folder` through the safe write path: the name and size checks, the
// refusal to replace, the temporary file written in pieces of 32768 bytes, the digest compared
// with `sha256Hex`, the origin mark and the move. Returns the final path. Throws the texts of
// FileReceiver::Open and Finalize; nothing is left on disk after a failure.
std::u16string SaveVerifiedFile(FileStore& store, const std::u16string& folder,
                                const std::u16string& name, std::span<const std::uint8_t> data,
                                std::string_view sha256Hex,
                                std::string_view originUrl = kDefaultFileOrigin);

// True for the name of a receiver's temporary file: a safe name, ".orvantis-", 16 lower-case hex
// characters and ".part".
bool IsTemporaryFileName(std::u16string_view name);
// Deletes the temporary files in `folder` that no receiver holds open any more (left behind by a
// program that ended without cleaning up); returns how many were deleted.
std::size_t SweepAbandonedTemporaryFiles(FileStore& store, const std::u16string& folder);

// What file transfer reads of the session it runs in.
class FileTransferGate {
 public:
  FileTransferGate() = default;
  FileTransferGate(const FileTransferGate&) = delete;
  FileTransferGate& operator=(const FileTransferGate&) = delete;
  virtual ~FileTransferGate() = default;

  // The peer handshake has finished.
  virtual bool ToolsReady() const = 0;
  // The local user allows file offers.
  virtual bool AllowFiles() const = 0;
  // The peer allows them.
  virtual bool PeerFiles() const = 0;
};

// The gate of a peer session: ready once the hello exchange has finished, the local user's files
// permission, the peer's as announced. `control` and `local` must outlive it.
class PeerControlGate final : public FileTransferGate {
 public:
  PeerControlGate(const PeerControl& control, const LocalPermissions& local)
      : control_(control), local_(local) {}
  bool ToolsReady() const override { return control_.helloComplete(); }
  bool AllowFiles() const override { return local_.files; }
  bool PeerFiles() const override { return control_.peerFiles(); }

 private:
  const PeerControl& control_;
  const LocalPermissions& local_;
};

// The file transfers of one session. Destroying it (the session's end) destroys the sender and
// the receiver, deleting a partial download; nothing is sent then.
class FileTransfer {
 public:
  struct PendingOffer {
    std::string id;
    std::u16string name;
    std::uint64_t size = 0;
  };
  // A running transfer as the Files page shows it: `done` is what the receiver has written, or
  // what the peer acknowledged of an outgoing file.
  struct Progress {
    std::u16string name;
    std::uint64_t size = 0;
    std::uint64_t done = 0;
  };

  // `owner`, `store` and `gate` must outlive the FileTransfer.
  FileTransfer(SessionOwner& owner, FileStore& store, const FileTransferGate& gate,
               std::string originUrl = kDefaultFileOrigin);
  ~FileTransfer();
  FileTransfer(const FileTransfer&) = delete;
  FileTransfer& operator=(const FileTransfer&) = delete;

  // One received control message. False when its op does not begin with "file" (not ours); true
  // when handled (a message for a cancelled id is handled by ignoring it). Throws ProtocolError
  // or the JSON library's error when the session must end.
  bool HandleMessage(const Json& message);
  // One received Tools message (a chunk). Throws ProtocolError when the session must end.
  void HandleChunk(std::span<const std::uint8_t> chunk);
  // The 500 ms tick: cancels everything after 120 s without file activity, otherwise refills the
  // sender's window.
  void Tick(std::uint64_t now);
  // Sends what the window allows, then fileFinish once everything was acknowledged. A failure is
  // a file error. Runs by itself after fileAccept, every fileAck and every tick.
  void Pump();

  // Permission hooks: the local user switched file offers (off cancels everything), the peer's
  // files permission changed (off cancels everything while a file is being sent to it).
  void LocalPermissionChanged();
  void PeerPermissionChanged();

  // Local commands. The failures throw std::runtime_error with their text (see the classes
  // above) and leave the state as it was, a pending offer included.
  //
  // Offering needs the peer handshake, the peer's permission and no outgoing transfer.
  bool CanOffer() const;
  // Offers the file at `path` (throws "file offer unavailable" when CanOffer is false).
  void OfferFile(const std::u16string& path);
  // Accepts pending offer `offerId` into `destination` (throws "file acceptance unavailable"
  // unless the handshake is done, files are allowed, that offer is still pending and nothing is
  // being received).
  void AcceptOffer(std::string_view offerId, const std::u16string& destination);
  // Declines the pending offer, if any (throws "feature send" when the refusal cannot be sent;
  // the offer is gone all the same).
  void DeclineOffer();
  // Cancels the pending offer and both transfers, telling the peer of each.
  void CancelAll();

  // What the Files page and the prompt show. The status is a catalogue key ("" before the first
  // transfer of the session).
  const std::string& status() const noexcept { return status_; }
  // When status was last set (NextChangeStamp; 0 before the first).
  std::uint64_t statusStamp() const noexcept { return statusStamp_; }
  std::uint32_t completedFiles() const noexcept { return completedFiles_; }
  const std::optional<PendingOffer>& pendingOffer() const noexcept { return pending_; }
  std::optional<Progress> outgoing() const;
  std::optional<Progress> incoming() const;
  // The text of the last file error (for diagnostics; never shown as such).
  const std::string& lastFileError() const noexcept { return lastFileError_; }
  const std::deque<std::string>& cancelledIds() const noexcept { return cancelledIds_; }
  const FileSender* sender() const noexcept { return sender_.get(); }
  const FileReceiver* receiver() const noexcept { return receiver_.get(); }
  const std::string& sendId() const noexcept { return sendId_; }
  const std::string& receiveId() const noexcept { return receiveId_; }

 private:
  void HandleOffer(const std::string& id, const Json& message);
  void HandleAccept(const std::string& id);
  void HandleAcknowledgement(const std::string& id, const Json& message);
  void HandleFinish(const std::string& id, const Json& message);
  void HandleDone(const std::string& id);
  void HandleCancel(const std::string& id);

  void PumpOrThrow();
  // Ends transfer `id` after a local failure: fileCancel to the peer (a failure to send it is
  // dropped), the id remembered, its sender or receiver destroyed.
  void FileError(const std::string& id, const std::string& reason);
  // Drops every transfer named `id`; true when there was one.
  bool DropTransfers(const std::string& id);
  void Remember(const std::string& id);
  bool IsCancelled(std::string_view id) const;
  void SendControl(const Json& message);
  void SendCancel(const std::string& id);
  void TrySendCancel(const std::string& id) noexcept;
  void SetStatus(const char* status);

  SessionOwner& owner_;
  FileStore& store_;
  const FileTransferGate& gate_;
  const std::string originUrl_;

  std::optional<PendingOffer> pending_;
  std::unique_ptr<FileSender> sender_;
  std::string sendId_;
  std::unique_ptr<FileReceiver> receiver_;
  std::string receiveId_;
  std::uint32_t chunksSinceAcknowledgement_ = 0;
  std::uint64_t lastActivity_ = 0;
  std::deque<std::string> cancelledIds_;
  std::uint32_t completedFiles_ = 0;
  std::string status_;
  std::uint64_t statusStamp_ = 0;
  std::string lastFileError_;
};

}  // namespace ov
