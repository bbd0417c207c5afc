#include "tools/file_transfer.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "base/byte_reader.h"
#include "base/protocol_error.h"
#include "crypto/crypto_session.h"
#include "tools/file_names.h"
#include "tools/file_texts.h"
#include "tools/utf16.h"

namespace ov {
namespace {

constexpr char kTemporaryInfix[] = ".orvantis-";
constexpr char kTemporarySuffix[] = ".part";

[[noreturn]] void Throw(const char* text) { throw std::runtime_error(text); }

std::u16string Ascii16(std::string_view ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

// Reads unsigned member `name` bounded by `bound`; a missing member is the library's error.
std::uint64_t ReadFileValue(const Json& message, const char* name, std::uint64_t bound) {
  const Json& value = message.at(name);
  if (!value.is_number_integer()) Fail(kReasonValueType);
  std::uint64_t result = 0;
  if (value.is_number_unsigned()) {
    result = value.get<std::uint64_t>();
  } else {
    const auto signedValue = value.get<std::int64_t>();
    if (signedValue < 0) Fail(kReasonNegativeValue);
    result = static_cast<std::uint64_t>(signedValue);
  }
  if (result > bound) Fail(kReasonValueRange);
  return result;
}

enum class FileOp { Offer, Accept, Acknowledge, Finish, Done, Cancel };

std::optional<FileOp> ParseFileOp(std::string_view op) {
  if (op == "fileOffer") return FileOp::Offer;
  if (op == "fileAccept") return FileOp::Accept;
  if (op == "fileAck") return FileOp::Acknowledge;
  if (op == "fileFinish") return FileOp::Finish;
  if (op == "fileDone") return FileOp::Done;
  if (op == "fileCancel") return FileOp::Cancel;
  return std::nullopt;
}

}  // namespace

bool IsTransferId(std::string_view text) noexcept { return IsLowerHex(text, kTransferIdLength); }

std::string NewTransferId() { return RandomHex(kTransferIdLength / 2); }

// ---- FileSender --------------------------------------------------------------------------------

FileSender::FileSender(std::unique_ptr<SourceFile> file, std::u16string name)
    : file_(std::move(file)), name_(std::move(name)), size_(file_->size()) {}

std::unique_ptr<FileSender> FileSender::Open(FileStore& store, const std::u16string& path) {
  std::u16string name(FinalPathComponent(path));
  if (!IsSafeFileName(name)) Throw(kErrorUnsafeName);
  std::unique_ptr<SourceFile> file = store.OpenSource(path);
  if (!file) Throw(kErrorSourceUnreadable);
  if (file->size() > kMaxFileSize) Throw(kErrorFileLimit);
  return std::unique_ptr<FileSender>(new FileSender(std::move(file), std::move(name)));
}

void FileSender::ReadChunk(std::string_view id, std::vector<std::uint8_t>& chunk) {
  const auto length =
      static_cast<std::size_t>(std::min<std::uint64_t>(size_ - sent_, kFileChunkDataSize));
  chunk.resize(kFileChunkHeaderSize + length);
  std::copy(id.begin(), id.end(), chunk.begin());
  for (std::size_t i = 0; i < 8; ++i) {
    chunk[kTransferIdLength + i] = static_cast<std::uint8_t>(sent_ >> (56 - 8 * i));
  }
  std::uint8_t* data = chunk.data() + kFileChunkHeaderSize;
  if (length == 0 || !file_->ReadExact(data, length)) Throw(kErrorSourceRead);
  digest_.Update(data, length);
  sent_ += length;
}

std::string FileSender::DigestHex() {
  if (sent_ != size_) Throw(kErrorSourceDigest);
  return digest_.FinishHex();
}

// ---- FileReceiver ------------------------------------------------------------------------------

FileReceiver::FileReceiver(std::unique_ptr<PartialFile> file, std::u16string destination,
                           std::uint64_t size)
    : file_(std::move(file)), destination_(std::move(destination)), size_(size) {}

std::unique_ptr<FileReceiver> FileReceiver::Open(FileStore& store,
                                                 const std::u16string& destination,
                                                 std::uint64_t size) {
  if (size > kMaxFileSize || !IsSafeFileName(FinalPathComponent(destination))) {
    Throw(kErrorInvalidDestination);
  }
  if (destination.size() <= 3 || destination.find(u':', 2) != std::u16string::npos) {
    Throw(kErrorAlternateStream);
  }
  if (store.Exists(destination)) Throw(kErrorDestinationExists);
  const std::u16string temporary =
      destination + Ascii16(kTemporaryInfix) + Ascii16(RandomHex(8)) + Ascii16(kTemporarySuffix);
  std::unique_ptr<PartialFile> file = store.CreatePartial(temporary);
  if (!file) Throw(kErrorCreateTemporary);
  // A volume that cannot hold the mark (FAT32, exFAT) is refused now, not after the whole file
  // has arrived; the temporary file goes with `file`.
  if (!file->CanMarkOrigin()) Throw(kErrorZoneUnsupported);
  return std::unique_ptr<FileReceiver>(new FileReceiver(std::move(file), destination, size));
}

void FileReceiver::Write(std::uint64_t offset, std::span<const std::uint8_t> data) {
  if (state_ != State::Receiving || offset != received_ || data.empty() ||
      data.size() > kFileChunkDataSize || data.size() > size_ - received_) {
    Throw(kErrorChunkOffset);
  }
  if (!file_->Write(data.data(), data.size())) Throw(kErrorWrite);
  digest_.Update(data.data(), data.size());
  received_ += data.size();
}

void FileReceiver::Finalize(std::string_view sha256Hex, std::string_view originUrl) {
  if (state_ != State::Receiving || received_ != size_ || sha256Hex.size() != 64 ||
      digest_.FinishHex() != sha256Hex) {
    Throw(kErrorDigestMismatch);
  }
  if (!file_->Flush()) Throw(kErrorFlush);
  switch (file_->MarkOrigin(originUrl)) {
    case OriginMark::Written:
      break;
    case OriginMark::Unsupported:
      Throw(kErrorZoneUnsupported);
    case OriginMark::WriteFailed:
      Throw(kErrorZoneWrite);
    case OriginMark::FlushFailed:
      Throw(kErrorZoneFlush);
  }
  if (!file_->Commit(destination_)) Throw(kErrorFinalize);
  state_ = State::Finalized;
}

std::u16string SaveVerifiedFile(FileStore& store, const std::u16string& folder,
                                const std::u16string& name, std::span<const std::uint8_t> data,
                                std::string_view sha256Hex, std::string_view originUrl) {
  std::u16string destination = folder;
  const char16_t separator = store.PathSeparator();
  if (!destination.empty() && destination.back() != separator) destination.push_back(separator);
  // The name alone is checked: a separator inside it would otherwise pick another folder.
  if (!IsSafeFileName(name)) Throw(kErrorInvalidDestination);
  destination += name;
  std::unique_ptr<FileReceiver> receiver = FileReceiver::Open(store, destination, data.size());
  for (std::size_t offset = 0; offset < data.size(); offset += kFileChunkDataSize) {
    receiver->Write(offset,
                    data.subspan(offset, std::min(kFileChunkDataSize, data.size() - offset)));
  }
  receiver->Finalize(sha256Hex, originUrl);
  return destination;
}

bool IsTemporaryFileName(std::u16string_view name) {
  constexpr std::size_t kHexLength = 16;
  const std::u16string infix = Ascii16(kTemporaryInfix);
  const std::u16string suffix = Ascii16(kTemporarySuffix);
  const std::size_t tail = infix.size() + kHexLength + suffix.size();
  if (name.size() <= tail) return false;
  const std::u16string_view base = name.substr(0, name.size() - tail);
  const std::u16string_view rest = name.substr(base.size());
  if (rest.substr(0, infix.size()) != infix || rest.substr(rest.size() - suffix.size()) != suffix) {
    return false;
  }
  for (const char16_t c : rest.substr(infix.size(), kHexLength)) {
    if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f'))) return false;
  }
  return IsSafeFileName(base);
}

std::size_t SweepAbandonedTemporaryFiles(FileStore& store, const std::u16string& folder) {
  std::u16string prefix = folder;
  if (!prefix.empty() && prefix.back() != store.PathSeparator()) prefix.push_back(store.PathSeparator());
  std::size_t deleted = 0;
  for (const std::u16string& name : store.ListFiles(folder)) {
    if (IsTemporaryFileName(name) && store.DeleteAbandoned(prefix + name)) ++deleted;
  }
  return deleted;
}

// ---- FileTransfer ------------------------------------------------------------------------------

FileTransfer::FileTransfer(SessionOwner& owner, FileStore& store, const FileTransferGate& gate,
                           std::string originUrl)
    : owner_(owner), store_(store), gate_(gate), originUrl_(std::move(originUrl)) {}

FileTransfer::~FileTransfer() = default;

bool FileTransfer::HandleMessage(const Json& message) {
  const std::string op = message.at("op").get<std::string>();
  if (op.rfind("file", 0) != 0) return false;
  if (!gate_.ToolsReady()) Fail(kReasonNotNegotiated);
  const std::optional<FileOp> fileOp = ParseFileOp(op);
  if (!fileOp) Fail(kReasonUnknownFileMessage);
  if (!message.contains("id") || !message.at("id").is_string()) Fail(kReasonFileToken);
  const std::string id = message.at("id").get<std::string>();
  if (!IsTransferId(id)) Fail(kReasonFileToken);
  if (IsCancelled(id)) return true;
  lastActivity_ = owner_.NowMs();
  switch (*fileOp) {
    case FileOp::Offer:
      HandleOffer(id, message);
      break;
    case FileOp::Accept:
      HandleAccept(id);
      break;
    case FileOp::Acknowledge:
      HandleAcknowledgement(id, message);
      break;
    case FileOp::Finish:
      HandleFinish(id, message);
      break;
    case FileOp::Done:
      HandleDone(id);
      break;
    case FileOp::Cancel:
      HandleCancel(id);
      break;
  }
  return true;
}

void FileTransfer::HandleOffer(const std::string& id, const Json& message) {
  std::u16string name = Utf8ToUtf16(message.at("name").get<std::string>());
  const std::uint64_t size = ReadFileValue(message, "size", kMaxFileSize);
  if (!IsSafeFileName(name)) Fail(kReasonFileName);
  if (!gate_.AllowFiles() || receiver_ || pending_ || id == sendId_) {
    // Refused at once; an id that names a transfer of ours is refused with it, so both ends
    // drop the same transfers.
    DropTransfers(id);
    Remember(id);
    // A refusal never ends the session: one that cannot be queued is dropped, and the peer's
    // offer runs into its inactivity time.
    TrySendCancel(id);
    return;
  }
  pending_ = PendingOffer{id, std::move(name), size};
  SetStatus(kFileStatusRequest);
  owner_.RequestLayout();
}

void FileTransfer::HandleAccept(const std::string& id) {
  if (!sender_ || id != sendId_ || sender_->state() != FileSender::State::Offered) {
    Fail(kReasonUnsolicitedAccept);
  }
  sender_->Accept();
  SetStatus(kFileStatusSending);
  Pump();
}

void FileTransfer::HandleAcknowledgement(const std::string& id, const Json& message) {
  if (!sender_ || id != sendId_ || sender_->state() != FileSender::State::Sending) {
    Fail(kReasonUnsolicitedAck);
  }
  const std::uint64_t next = ReadFileValue(message, "next", sender_->sent());
  if (next <= sender_->acknowledged() ||
      (next % kFileChunkDataSize != 0 && next != sender_->size())) {
    Fail(kReasonAckOffset);
  }
  sender_->Acknowledge(next);
  Pump();
}

void FileTransfer::HandleFinish(const std::string& id, const Json& message) {
  if (!receiver_ || id != receiveId_) Fail(kReasonUnsolicitedFinish);
  try {
    const auto digest = message.find("sha256");
    if (digest == message.end() || !digest->is_string()) Throw(kErrorDigestMismatch);
    receiver_->Finalize(digest->get_ref<const std::string&>(), originUrl_);
  } catch (const std::exception& error) {
    FileError(id, error.what());
    return;
  }
  // The file is saved: that is what is shown, whether or not the peer can be told.
  ++completedFiles_;
  receiver_.reset();
  receiveId_.clear();
  chunksSinceAcknowledgement_ = 0;
  SetStatus(kFileStatusCompleted);
  try {
    SendControl(Json{{"op", "fileDone"}, {"id", id}});
  } catch (const std::exception& error) {
    // The sender, never told, ends its side after its inactivity time.
    lastFileError_ = error.what();
  }
}

void FileTransfer::HandleDone(const std::string& id) {
  if (!sender_ || id != sendId_ || sender_->state() != FileSender::State::FinishSent) {
    Fail(kReasonUnsolicitedDone);
  }
  ++completedFiles_;
  sender_.reset();
  sendId_.clear();
  SetStatus(kFileStatusCompleted);
}

void FileTransfer::HandleCancel(const std::string& id) {
  const bool dropped = DropTransfers(id);
  Remember(id);
  // A cancel that names nothing running (a transfer that already ended, a stray id) leaves the
  // status as it is, so a completed transfer is not shown as cancelled.
  if (dropped) SetStatus(kFileStatusCancelled);
}

void FileTransfer::HandleChunk(std::span<const std::uint8_t> chunk) {
  if (!gate_.ToolsReady() || chunk.size() <= kFileChunkHeaderSize ||
      chunk.size() > kMaxFileChunkSize) {
    Fail(kReasonChunkBounds);
  }
  ByteReader reader(chunk);
  std::span<const std::uint8_t> idBytes;
  std::uint64_t offset = 0;
  reader.ReadBytes(kTransferIdLength, idBytes);
  reader.ReadU64BE(offset);
  const std::string_view id(reinterpret_cast<const char*>(idBytes.data()), idBytes.size());
  if (!IsTransferId(id)) Fail(kReasonChunkToken);
  if (IsCancelled(id)) return;
  if (!gate_.AllowFiles() || !receiver_ || id != receiveId_) Fail(kReasonChunkNotAccepted);
  const std::string transfer = receiveId_;
  try {
    receiver_->Write(offset, chunk.subspan(kFileChunkHeaderSize));
    lastActivity_ = owner_.NowMs();
    if (++chunksSinceAcknowledgement_ >= kChunksPerAcknowledgement || receiver_->complete()) {
      chunksSinceAcknowledgement_ = 0;
      SendControl(Json{{"op", "fileAck"}, {"id", transfer}, {"next", receiver_->received()}});
      owner_.Repaint();  // the progress, once per acknowledgement
    }
  } catch (const std::exception& error) {
    FileError(transfer, error.what());
  }
}

void FileTransfer::Tick(std::uint64_t now) {
  if ((sender_ || receiver_ || pending_) && lastActivity_ != 0 && now > lastActivity_ &&
      now - lastActivity_ > kFileInactivityMs) {
    CancelAll();
    return;
  }
  Pump();
}

void FileTransfer::Pump() {
  if (!sender_ || sender_->state() != FileSender::State::Sending) return;
  const std::string id = sendId_;
  try {
    PumpOrThrow();
  } catch (const std::exception& error) {
    FileError(id, error.what());
  }
}

void FileTransfer::PumpOrThrow() {
  while (sender_->CanSendChunk()) {
    std::vector<std::uint8_t> chunk;
    sender_->ReadChunk(sendId_, chunk);
    if (!owner_.SendSealed(static_cast<std::uint8_t>(SealedKind::Tools), std::move(chunk))) {
      Throw(kErrorChunkSend);
    }
  }
  if (sender_->acknowledged() == sender_->size()) {
    SendControl(Json{{"op", "fileFinish"}, {"id", sendId_}, {"sha256", sender_->DigestHex()}});
    sender_->MarkFinishSent();
  }
  owner_.Repaint();
}

void FileTransfer::LocalPermissionChanged() {
  if (!gate_.AllowFiles() && (pending_ || sender_ || receiver_)) CancelAll();
}

void FileTransfer::PeerPermissionChanged() {
  if (!gate_.PeerFiles() && sender_) CancelAll();
}

bool FileTransfer::CanOffer() const { return gate_.ToolsReady() && gate_.PeerFiles() && !sender_; }

void FileTransfer::OfferFile(const std::u16string& path) {
  if (!CanOffer()) Throw(kErrorOfferUnavailable);
  std::unique_ptr<FileSender> sender = FileSender::Open(store_, path);
  std::string id = NewTransferId();
  SendControl(Json{{"op", "fileOffer"},
                   {"id", id},
                   {"name", Utf16ToUtf8(sender->name())},
                   {"size", sender->size()}});
  sender_ = std::move(sender);
  sendId_ = std::move(id);
  lastActivity_ = owner_.NowMs();
  SetStatus(kFileStatusWaiting);
}

void FileTransfer::AcceptOffer(std::string_view offerId, const std::u16string& destination) {
  if (!gate_.ToolsReady() || !gate_.AllowFiles() || !pending_ || pending_->id != offerId ||
      receiver_) {
    Throw(kErrorAcceptUnavailable);
  }
  // The acceptance is sent before anything is installed: when it cannot be, the temporary file
  // goes with `receiver` and the offer stays pending.
  std::unique_ptr<FileReceiver> receiver = FileReceiver::Open(store_, destination, pending_->size);
  SendControl(Json{{"op", "fileAccept"}, {"id", pending_->id}});
  receiver_ = std::move(receiver);
  receiveId_ = pending_->id;
  pending_.reset();
  chunksSinceAcknowledgement_ = 0;
  lastActivity_ = owner_.NowMs();
  SetStatus(kFileStatusReceiving);
  owner_.RequestLayout();
}

void FileTransfer::DeclineOffer() {
  if (!pending_) return;
  const std::string id = pending_->id;
  pending_.reset();
  Remember(id);
  SetStatus(kFileStatusCancelled);
  owner_.RequestLayout();
  SendCancel(id);
}

void FileTransfer::CancelAll() {
  for (const std::string* id : {pending_ ? &pending_->id : nullptr, &receiveId_, &sendId_}) {
    if (id == nullptr || id->empty()) continue;
    TrySendCancel(*id);
    Remember(*id);
  }
  const bool hadOffer = pending_.has_value();
  pending_.reset();
  receiver_.reset();
  receiveId_.clear();
  sender_.reset();
  sendId_.clear();
  chunksSinceAcknowledgement_ = 0;
  SetStatus(kFileStatusCancelled);
  if (hadOffer) owner_.RequestLayout();
}

std::optional<FileTransfer::Progress> FileTransfer::outgoing() const {
  if (!sender_) return std::nullopt;
  return Progress{sender_->name(), sender_->size(), sender_->acknowledged()};
}

std::optional<FileTransfer::Progress> FileTransfer::incoming() const {
  if (!receiver_) return std::nullopt;
  return Progress{std::u16string(FinalPathComponent(receiver_->destination())), receiver_->size(),
                  receiver_->received()};
}

void FileTransfer::FileError(const std::string& id, const std::string& reason) {
  lastFileError_ = reason;
  TrySendCancel(id);
  Remember(id);
  DropTransfers(id);
  SetStatus(kFileStatusError);
}

bool FileTransfer::DropTransfers(const std::string& id) {
  bool dropped = false;
  if (pending_ && pending_->id == id) {
    pending_.reset();
    owner_.RequestLayout();
    dropped = true;
  }
  if (receiver_ && receiveId_ == id) {
    receiver_.reset();
    receiveId_.clear();
    chunksSinceAcknowledgement_ = 0;
    dropped = true;
  }
  if (sender_ && sendId_ == id) {
    sender_.reset();
    sendId_.clear();
    dropped = true;
  }
  return dropped;
}

void FileTransfer::Remember(const std::string& id) {
  if (id.empty()) return;
  cancelledIds_.push_back(id);
  while (cancelledIds_.size() > kCancelledIdsKept) cancelledIds_.pop_front();
}

bool FileTransfer::IsCancelled(std::string_view id) const {
  return std::find(cancelledIds_.begin(), cancelledIds_.end(), id) != cancelledIds_.end();
}

void FileTransfer::SendControl(const Json& message) {
  const std::string text = SerializeMessage(message);
  if (text.size() > kControlMessageLimit ||
      !owner_.SendSealed(static_cast<std::uint8_t>(SealedKind::Control),
                         std::vector<std::uint8_t>(text.begin(), text.end()))) {
    Throw(kErrorFeatureSend);
  }
}

void FileTransfer::SendCancel(const std::string& id) {
  SendControl(Json{{"op", "fileCancel"}, {"id", id}});
}

void FileTransfer::TrySendCancel(const std::string& id) noexcept {
  try {
    SendCancel(id);
  } catch (const std::exception&) {
    // The transfer ends here either way; a peer that never hears of it times out on its own.
  }
}

void FileTransfer::SetStatus(const char* status) {
  status_ = status;
  statusStamp_ = NextChangeStamp();
  owner_.Repaint();
}

}  // namespace ov
