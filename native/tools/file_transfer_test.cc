#include "tools/file_transfer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/protocol_error.h"
#include "crypto/crypto_session.h"
#include "tools/file_names.h"
#include "tools/file_texts.h"
#include "tools/testing/fake_file_store.h"
#include "tools/testing/transfer_harness.h"

namespace ov {
namespace {

constexpr char kEmptySha256[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::u16string kSource = u"/src/report.bin";
const std::u16string kDestination = u"/dl/report.bin";

std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> data(size);
  for (std::size_t i = 0; i < size; ++i)
    data[i] = static_cast<std::uint8_t>((i * 7 + i / 251) & 0xFF);
  return data;
}

// The receiving store is a fake here; the store tests run the same exchange on real files.
struct StoreHolder {
  FakeFileStore store;
};
struct End : StoreHolder, TransferEnd {
  End() : TransferEnd(store) {}
};

// A offers kSource with `data`; B accepts into kDestination. Returns after the offer reached B.
void Offer(End& a, End& b, const std::vector<std::uint8_t>& data, Trace* trace = nullptr) {
  a.store.files[kSource] = data;
  a.tools->OfferFile(kSource);
  Exchange(a, b, trace);
  ASSERT_TRUE(b.tools->pendingOffer().has_value());
}

void Accept(End& b) { b.tools->AcceptOffer(b.tools->pendingOffer()->id, kDestination); }

std::size_t TemporaryFiles(const FakeFileStore& store) {
  std::size_t count = 0;
  for (const auto& [path, bytes] : store.files) {
    if (path.find(u".orvantis-") != std::u16string::npos) ++count;
  }
  return count;
}

std::string ThrownText(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(nothing thrown)";
}

TEST(FileNames, SafetyRules) {
  const struct {
    std::u16string name;
    bool safe;
  } cases[] = {
      {u"report.pdf", true},
      {u"CONSOLE.txt", true},
      {u"COM10", true},
      {u"LPT", true},
      {u"con.txt", false},
      {u"CON .txt", false},
      {u"Aux", false},
      {u"conout$.log", false},
      {u"LPT1", false},
      {u"com\u00B9.log", false},
      {u"COM0", false},
      {u"name.", false},
      {u"name ", false},
      {u".", false},
      {u"..", false},
      {u"", false},
      {u"evil\u202Etxt.exe", false},
      {u"isolate\u2068.txt", false},
      {u"tab\t.txt", false},
      {u"a:b", false},
      {u"a/b", false},
      {u"a\\b", false},
      {u"what?.txt", false},
      {u"pipe|.txt", false},
      {std::u16string(180, u'x'), true},
      {std::u16string(181, u'x'), false},
      {u"\u00E9t\u00E9 \u6587\u4EF6.txt", true},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(IsSafeFileName(cases[i].name), cases[i].safe) << "case " << i;
  }
  EXPECT_EQ(FinalPathComponent(u"C:\\dir/sub\\file.txt"), u"file.txt");
  EXPECT_EQ(FinalPathComponent(u"plain"), u"plain");
}

TEST(FileTransfer, CompletesFilesOfEverySize) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{32768},
                                 std::size_t{100000}, std::size_t{524289}, std::size_t{2097157}}) {
    SCOPED_TRACE(size);
    End a;
    End b;
    const std::vector<std::uint8_t> data = Pattern(size);
    Trace trace;
    Offer(a, b, data, &trace);
    EXPECT_EQ(b.tools->pendingOffer()->name, u"report.bin");
    EXPECT_EQ(b.tools->pendingOffer()->size, size);
    EXPECT_EQ(b.tools->status(), kFileStatusRequest);
    EXPECT_EQ(a.tools->status(), kFileStatusWaiting);
    Accept(b);
    EXPECT_EQ(b.tools->status(), kFileStatusReceiving);
    EXPECT_EQ(TemporaryFiles(b.store), 1u);
    Exchange(a, b, &trace);

    ASSERT_TRUE(b.store.Has(kDestination));
    EXPECT_EQ(b.store.files[kDestination], data);
    EXPECT_EQ(b.store.origins[kDestination], kDefaultFileOrigin);
    EXPECT_EQ(TemporaryFiles(b.store), 0u);
    for (End* end : {&a, &b}) {
      EXPECT_EQ(end->tools->status(), kFileStatusCompleted);
      EXPECT_EQ(end->tools->completedFiles(), 1u);
      EXPECT_EQ(end->tools->sender(), nullptr);
      EXPECT_EQ(end->tools->receiver(), nullptr);
    }
    const std::size_t chunks = (size + 32767) / 32768;
    const auto count = [&](const std::string& line) {
      return std::count(trace.begin(), trace.end(), line);
    };
    EXPECT_EQ(count("B>fileAck"), static_cast<long>((chunks + 3) / 4));
    EXPECT_EQ(trace.back(), "B>fileDone");
    if (size == 0) {
      EXPECT_EQ(trace, (Trace{"A>fileOffer", "B>fileAccept", "A>fileFinish", "B>fileDone"}));
    }
    if (size == 100000) {
      EXPECT_EQ(trace, (Trace{"A>fileOffer", "B>fileAccept", "A>chunk 32768", "A>chunk 32768",
                              "A>chunk 32768", "A>chunk 1696", "B>fileAck", "A>fileFinish",
                              "B>fileDone"}));
    }
  }
}

TEST(FileTransfer, WireFieldsOfOneSmallTransfer) {
  End a;
  End b;
  const std::vector<std::uint8_t> data = Pattern(100000);
  a.store.files[kSource] = data;
  a.tools->OfferFile(kSource);
  const Json offer = ParseMessage(a.owner.outbox.front().second);
  EXPECT_EQ(offer, (Json{{"op", "fileOffer"},
                         {"id", a.tools->sendId()},
                         {"name", "report.bin"},
                         {"size", 100000}}));
  EXPECT_TRUE(IsTransferId(a.tools->sendId()));
  Exchange(a, b);
  Accept(b);
  EXPECT_EQ(ParseMessage(b.owner.outbox.front().second),
            (Json{{"op", "fileAccept"}, {"id", a.tools->sendId()}}));
  ASSERT_TRUE(DeliverOne(b, a, "B", nullptr));  // the acceptance: four chunks are queued at A
  ASSERT_EQ(a.owner.outbox.size(), 4u);
  const std::vector<std::uint8_t>& last = a.owner.outbox.back().second;
  EXPECT_EQ(std::string(last.begin(), last.begin() + 32), a.tools->sendId());
  EXPECT_EQ(std::vector<std::uint8_t>(last.begin() + 32, last.begin() + 40),
            (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 1, 0x80, 0}));  // offset 98304
  for (int i = 0; i < 4; ++i) DeliverOne(a, b, "A", nullptr);
  const std::vector<Json> acks = b.owner.TakeControl();
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0], (Json{{"op", "fileAck"}, {"id", a.tools->sendId()}, {"next", 100000}}));
  a.tools->HandleMessage(acks[0]);
  const std::vector<Json> finish = a.owner.TakeControl();
  ASSERT_EQ(finish.size(), 1u);
  EXPECT_EQ(finish[0].at("sha256"), Sha256Of(data));
}

TEST(FileTransfer, SendWindowAndAcknowledgementRhythm) {
  End a;
  End b;
  Offer(a, b, Pattern(40 * 32768));
  Accept(b);
  ASSERT_TRUE(DeliverOne(b, a, "B", nullptr));  // fileAccept: the window fills at once
  EXPECT_EQ(a.owner.outbox.size(), 16u);
  a.tools->Tick(a.owner.now);  // a tick cannot push past the window
  EXPECT_EQ(a.owner.outbox.size(), 16u);
  for (int i = 0; i < 4; ++i) DeliverOne(a, b, "A", nullptr);
  ASSERT_EQ(b.owner.outbox.size(), 1u);  // one acknowledgement per four chunks
  ASSERT_TRUE(DeliverOne(b, a, "B", nullptr));
  EXPECT_EQ(a.owner.outbox.size(), 16u);  // twelve left in flight, four more sent
  EXPECT_EQ(a.tools->sender()->acknowledged(), 4u * 32768);
  EXPECT_EQ(a.tools->sender()->sent(), 20u * 32768);
}

// Messages that break the protocol in a given state: each must end the session with its reason.
TEST(FileTransfer, HostilePeerMessagesEndTheSession) {
  enum Setup { Idle, Sending, Receiving };
  const std::string other(32, 'b');
  // "@" as the id stands for the running transfer's id.
  const struct {
    const char* label;
    Setup setup;
    Json message;
    std::string reason;
  } cases[] = {
      {"ack of 40000", Sending, Json{{"op", "fileAck"}, {"id", "@"}, {"next", 40000}},
       kReasonAckOffset},
      {"ack repeated", Sending, Json{{"op", "fileAck"}, {"id", "@"}, {"next", 131072}},
       kReasonAckOffset},
      {"ack beyond sent", Sending, Json{{"op", "fileAck"}, {"id", "@"}, {"next", 21 * 32768}},
       kReasonValueRange},
      {"ack negative", Sending, Json{{"op", "fileAck"}, {"id", "@"}, {"next", -1}},
       kReasonNegativeValue},
      {"ack fraction", Sending, Json{{"op", "fileAck"}, {"id", "@"}, {"next", 32768.0}},
       kReasonValueType},
      {"ack text", Sending, Json{{"op", "fileAck"}, {"id", "@"}, {"next", "32768"}},
       kReasonValueType},
      {"ack other id", Sending, Json{{"op", "fileAck"}, {"id", other}, {"next", 32768}},
       kReasonUnsolicitedAck},
      {"accept twice", Sending, Json{{"op", "fileAccept"}, {"id", "@"}}, kReasonUnsolicitedAccept},
      {"accept unknown", Idle, Json{{"op", "fileAccept"}, {"id", other}}, kReasonUnsolicitedAccept},
      {"done before finish", Sending, Json{{"op", "fileDone"}, {"id", "@"}},
       kReasonUnsolicitedDone},
      {"finish to a sender", Sending,
       Json{{"op", "fileFinish"}, {"id", "@"}, {"sha256", kEmptySha256}}, kReasonUnsolicitedFinish},
      {"finish unknown", Receiving,
       Json{{"op", "fileFinish"}, {"id", other}, {"sha256", kEmptySha256}},
       kReasonUnsolicitedFinish},
      {"offer over 8 GiB", Idle,
       Json{{"op", "fileOffer"}, {"id", other}, {"name", "a.bin"}, {"size", 8589934593ULL}},
       kReasonValueRange},
      {"offer device name", Idle,
       Json{{"op", "fileOffer"}, {"id", other}, {"name", "con.txt"}, {"size", 1}}, kReasonFileName},
      {"offer path", Idle,
       Json{{"op", "fileOffer"}, {"id", other}, {"name", "..\\a.exe"}, {"size", 1}},
       kReasonFileName},
      {"offer bad UTF-8", Idle,
       Json{{"op", "fileOffer"}, {"id", other}, {"name", "a\xC0\xAF.txt"}, {"size", 1}},
       "invalid UTF8"},
      {"offer NUL", Idle,
       Json{{"op", "fileOffer"}, {"id", other}, {"name", std::string("a\0b", 3)}, {"size", 1}},
       "embedded null"},
      {"upper-case id", Idle, Json{{"op", "fileCancel"}, {"id", std::string(32, 'A')}},
       kReasonFileToken},
      {"short id", Idle, Json{{"op", "fileCancel"}, {"id", std::string(31, 'a')}},
       kReasonFileToken},
      {"numeric id", Idle, Json{{"op", "fileCancel"}, {"id", 7}}, kReasonFileToken},
      {"no id", Idle, Json{{"op", "fileDone"}}, kReasonFileToken},
      {"unknown op", Idle, Json{{"op", "fileDelete"}, {"id", other}}, kReasonUnknownFileMessage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    End a;
    End b;
    std::string id;
    End* target = &a;
    if (c.setup != Idle) {
      Offer(a, b, Pattern(40 * 32768));
      Accept(b);
      ASSERT_TRUE(DeliverOne(b, a, "B", nullptr));  // A sends its window of 16 chunks
      for (int i = 0; i < 4; ++i) DeliverOne(a, b, "A", nullptr);
      ASSERT_TRUE(DeliverOne(b, a, "B", nullptr));  // acknowledged up to 131072
      id = a.tools->sendId();
      if (c.setup == Receiving) target = &b;
    }
    Json message = c.message;
    if (message.contains("id") && message["id"] == "@") message["id"] = id;
    EXPECT_EQ(ThrownText([&] { target->tools->HandleMessage(message); }), c.reason);
  }
  {
    End a;
    a.gate.ready = false;
    EXPECT_EQ(ThrownText([&] {
                a.tools->HandleMessage(Json{{"op", "fileCancel"}});
              }),
              kReasonNotNegotiated);
    EXPECT_FALSE(a.tools->HandleMessage(Json{{"op", "chat"}, {"text", "hi"}}));
  }
  {
    End a;  // a missing member is the JSON library's own error
    EXPECT_THROW(
        a.tools->HandleMessage(Json{{"op", "fileOffer"}, {"id", other}, {"name", "a.bin"}}),
        Json::out_of_range);
  }
}

TEST(FileTransfer, HostileChunksEndTheSession) {
  End a;
  End b;
  Offer(a, b, Pattern(100000));
  const std::string id = b.tools->pendingOffer()->id;
  const auto chunk = [](const std::string& chunkId, std::uint64_t offset, std::size_t length) {
    std::vector<std::uint8_t> bytes(chunkId.begin(), chunkId.end());
    for (int i = 7; i >= 0; --i) bytes.push_back(static_cast<std::uint8_t>(offset >> (8 * i)));
    bytes.resize(bytes.size() + length, 0x5A);
    return bytes;
  };
  const struct {
    const char* label;
    std::vector<std::uint8_t> bytes;
    std::string reason;
  } cases[] = {
      {"no data", chunk(id, 0, 0), kReasonChunkBounds},
      {"too long", chunk(id, 0, 32769), kReasonChunkBounds},
      {"upper-case id", chunk(std::string(32, 'A'), 0, 10), kReasonChunkToken},
      {"not accepted yet", chunk(id, 0, 10), kReasonChunkNotAccepted},
      {"unknown id", chunk(std::string(32, 'c'), 0, 10), kReasonChunkNotAccepted},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ThrownText([&] { b.tools->HandleChunk(c.bytes); }), c.reason) << c.label;
  }
  Accept(b);
  b.gate.allow = false;  // switched off without the hook: the check itself refuses
  EXPECT_EQ(ThrownText([&] { b.tools->HandleChunk(chunk(id, 0, 10)); }), kReasonChunkNotAccepted);
  b.gate.allow = true;
  b.gate.ready = false;
  EXPECT_EQ(ThrownText([&] { b.tools->HandleChunk(chunk(id, 0, 10)); }), kReasonChunkBounds);
}

// Local failures of the files: the transfer ends with fileCancel, the peer drops its side, nothing
// is left on disk, the session goes on.
TEST(FileTransfer, FileErrorsEndOnlyTheTransfer) {
  const struct {
    const char* label;
    std::function<void(End& a, End& b)> arrange;
    bool failsAtReceiver;
    std::string error;
  } cases[] = {
      {"write", [](End&, End& b) { b.store.knobs.writeLimit = 50000; }, true, kErrorWrite},
      {"flush", [](End&, End& b) { b.store.knobs.failFlush = true; }, true, kErrorFlush},
      {"no zone metadata",
       [](End&, End& b) { b.store.knobs.originResult = OriginMark::Unsupported; }, true,
       kErrorZoneUnsupported},
      {"zone write", [](End&, End& b) { b.store.knobs.originResult = OriginMark::WriteFailed; },
       true, kErrorZoneWrite},
      {"zone flush", [](End&, End& b) { b.store.knobs.originResult = OriginMark::FlushFailed; },
       true, kErrorZoneFlush},
      {"destination appeared",
       [](End&, End& b) { b.store.knobs.appearBeforeCommit = kDestination; }, true, kErrorFinalize},
      {"source shrank", [](End& a, End&) { a.store.knobs.readLimit = 70000; }, false,
       kErrorSourceRead},
      {"chunk refused", [](End& a, End&) { a.owner.refuseChunks = true; }, false, kErrorChunkSend},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    End a;
    End b;
    Offer(a, b, Pattern(100000));
    c.arrange(a, b);
    Accept(b);
    Exchange(a, b);
    End& failed = c.failsAtReceiver ? b : a;
    End& peer = c.failsAtReceiver ? a : b;
    EXPECT_EQ(failed.tools->lastFileError(), c.error);
    EXPECT_EQ(failed.tools->status(), kFileStatusError);
    EXPECT_EQ(peer.tools->status(), kFileStatusCancelled);
    for (End* end : {&a, &b}) {
      EXPECT_EQ(end->tools->sender(), nullptr);
      EXPECT_EQ(end->tools->receiver(), nullptr);
      EXPECT_EQ(end->tools->completedFiles(), 0u);
    }
    EXPECT_EQ(TemporaryFiles(b.store), 0u);
    if (c.error == kErrorFinalize) {
      EXPECT_TRUE(b.store.files.at(kDestination).empty());  // what appeared was not replaced
    } else {
      EXPECT_FALSE(b.store.Has(kDestination));
    }
  }
}

TEST(FileTransfer, ReceiverRefusesBadDataAndDigest) {
  const struct {
    const char* label;
    std::function<void(End& b, const std::string& id)> act;
    std::string error;
  } cases[] = {
      {"offset skips ahead",
       [](End& b, const std::string& id) {
         std::vector<std::uint8_t> bytes(id.begin(), id.end());
         bytes.insert(bytes.end(), {0, 0, 0, 0, 0, 0, 0x80, 0});
         bytes.resize(bytes.size() + 100, 1);
         b.tools->HandleChunk(bytes);
       },
       kErrorChunkOffset},
      {"more than offered",
       [](End& b, const std::string& id) {
         std::vector<std::uint8_t> bytes(id.begin(), id.end());
         bytes.resize(40, 0);
         bytes.resize(40 + 11, 1);  // 11 bytes of a 10-byte file
         b.tools->HandleChunk(bytes);
       },
       kErrorChunkOffset},
      {"digest mismatch",
       [](End& b, const std::string& id) {
         std::vector<std::uint8_t> bytes(id.begin(), id.end());
         bytes.resize(40, 0);
         bytes.resize(40 + 10, 1);
         b.tools->HandleChunk(bytes);
         b.tools->HandleMessage(Json{{"op", "fileFinish"}, {"id", id}, {"sha256", kEmptySha256}});
       },
       kErrorDigestMismatch},
      {"finish before the data",
       [](End& b, const std::string& id) {
         b.tools->HandleMessage(Json{{"op", "fileFinish"}, {"id", id}, {"sha256", kEmptySha256}});
       },
       kErrorDigestMismatch},
      {"finish without digest",
       [](End& b, const std::string& id) {
         b.tools->HandleMessage(Json{{"op", "fileFinish"}, {"id", id}, {"sha256", 5}});
       },
       kErrorDigestMismatch},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    End a;
    End b;
    Offer(a, b, Pattern(10));
    const std::string id = b.tools->pendingOffer()->id;
    Accept(b);
    b.owner.outbox.clear();
    c.act(b, id);
    EXPECT_EQ(b.tools->lastFileError(), c.error);
    EXPECT_EQ(b.tools->status(), kFileStatusError);
    EXPECT_EQ(b.owner.TakeControl().back(), (Json{{"op", "fileCancel"}, {"id", id}}));
    EXPECT_TRUE(b.store.files.empty());
    // Everything later for that id is ignored.
    std::vector<std::uint8_t> late(id.begin(), id.end());
    late.resize(50, 0);
    EXPECT_NO_THROW(b.tools->HandleChunk(late));
    EXPECT_TRUE(b.tools->HandleMessage(Json{{"op", "fileFinish"}, {"id", id}}));
    EXPECT_TRUE(b.owner.outbox.empty());
  }
}

TEST(FileTransfer, CancelsFromEitherEndLeaveNothing) {
  const struct {
    const char* label;
    std::function<void(End& a, End& b)> cancel;
  } cases[] = {
      {"receiver cancels", [](End&, End& b) { b.tools->CancelAll(); }},
      {"sender cancels", [](End& a, End&) { a.tools->CancelAll(); }},
      {"receiver switches files off",
       [](End&, End& b) {
         b.gate.allow = false;
         b.tools->LocalPermissionChanged();
       }},
      {"receiver's permission seen by sender",
       [](End& a, End&) {
         a.gate.peer = false;
         a.tools->PeerPermissionChanged();
       }},
      {"receiver idle 120 s",
       [](End&, End& b) { b.tools->Tick(b.owner.now + kFileInactivityMs + 1); }},
      {"sender idle 120 s",
       [](End& a, End&) { a.tools->Tick(a.owner.now + kFileInactivityMs + 1); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    End a;
    End b;
    Offer(a, b, Pattern(40 * 32768));
    Accept(b);
    ASSERT_TRUE(DeliverOne(b, a, "B", nullptr));
    for (int i = 0; i < 6; ++i) DeliverOne(a, b, "A", nullptr);  // mid-transfer, chunks in flight
    c.cancel(a, b);
    Exchange(a, b);  // the chunks still in flight are dropped as cancelled
    for (End* end : {&a, &b}) {
      EXPECT_EQ(end->tools->status(), kFileStatusCancelled);
      EXPECT_EQ(end->tools->sender(), nullptr);
      EXPECT_EQ(end->tools->receiver(), nullptr);
      EXPECT_EQ(end->tools->cancelledIds().size(), 1u);
    }
    EXPECT_TRUE(b.store.files.empty());
  }
}

TEST(FileTransfer, InactivityCountsReceivedTrafficOnly) {
  End a;
  End b;
  Offer(a, b, Pattern(100000));
  b.owner.now += kFileInactivityMs;
  b.tools->Tick(b.owner.now);  // exactly 120 s: still waiting
  EXPECT_TRUE(b.tools->pendingOffer().has_value());
  a.owner.now += kFileInactivityMs;
  Accept(b);  // acceptance counts as activity at B
  b.tools->Tick(b.owner.now + kFileInactivityMs);
  EXPECT_NE(b.tools->receiver(), nullptr);
  a.tools->Tick(a.owner.now + 1);  // A has heard nothing since its offer
  EXPECT_EQ(a.tools->status(), kFileStatusCancelled);
  Exchange(a, b);
  EXPECT_EQ(b.tools->status(), kFileStatusCancelled);
  EXPECT_EQ(b.tools->receiver(), nullptr);
  EXPECT_TRUE(b.store.files.empty());
}

TEST(FileTransfer, OffersThatAreRefusedAtOnce) {
  const struct {
    const char* label;
    std::function<void(End& b)> arrange;
  } cases[] = {
      {"files not allowed", [](End& b) { b.gate.allow = false; }},
      {"another offer pending",
       [](End& b) {
         b.tools->HandleMessage(
             Json{{"op", "fileOffer"}, {"id", std::string(32, 'd')}, {"name", "x"}, {"size", 1}});
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    End a;
    End b;
    c.arrange(b);
    const auto before = b.tools->pendingOffer();
    b.owner.outbox.clear();
    a.store.files[kSource] = Pattern(10);
    a.tools->OfferFile(kSource);
    Exchange(a, b);
    EXPECT_EQ(b.tools->pendingOffer().has_value(), before.has_value());
    if (before) {
      EXPECT_EQ(b.tools->pendingOffer()->id, before->id);
    }
    EXPECT_EQ(a.tools->status(), kFileStatusCancelled);
    EXPECT_EQ(a.tools->sender(), nullptr);
  }
  // A second offer while receiving never reaches the user.
  End a;
  End b;
  Offer(a, b, Pattern(40 * 32768));
  Accept(b);
  b.owner.outbox.clear();
  const std::string second(32, 'e');
  EXPECT_TRUE(b.tools->HandleMessage(
      Json{{"op", "fileOffer"}, {"id", second}, {"name", "y.bin"}, {"size", 5}}));
  EXPECT_FALSE(b.tools->pendingOffer().has_value());
  EXPECT_EQ(b.owner.TakeControl(), (std::vector<Json>{{{"op", "fileCancel"}, {"id", second}}}));
  EXPECT_NE(b.tools->receiver(), nullptr);
}

TEST(FileTransfer, LocalCommandFailuresKeepTheState) {
  End a;
  End b;
  Offer(a, b, Pattern(100));
  const std::string id = b.tools->pendingOffer()->id;
  b.store.files[kDestination] = {1, 2, 3};
  const struct {
    const char* label;
    std::function<void()> act;
    std::string error;
  } cases[] = {
      {"existing destination", [&] { b.tools->AcceptOffer(id, kDestination); },
       kErrorDestinationExists},
      {"another offer's id", [&] { b.tools->AcceptOffer(std::string(32, 'f'), u"/dl/x.bin"); },
       kErrorAcceptUnavailable},
      {"unsafe destination", [&] { b.tools->AcceptOffer(id, u"/dl/nul"); },
       kErrorInvalidDestination},
      {"stream syntax", [&] { b.tools->AcceptOffer(id, u"/dl:x/report.bin"); },
       kErrorAlternateStream},
      {"too short", [&] { b.tools->AcceptOffer(id, u"/ab"); }, kErrorAlternateStream},
      // FAT32 or exFAT: refused at "Save as", before anything is received.
      {"volume without origin marks",
       [&] {
         b.store.knobs.noOriginSupport = true;
         b.tools->AcceptOffer(id, u"/dl/new.bin");
       },
       kErrorZoneUnsupported},
      {"temporary refused",
       [&] {
         b.store.knobs.noOriginSupport = false;
         b.store.knobs.failCreate = true;
         b.tools->AcceptOffer(id, u"/dl/new.bin");
       },
       kErrorCreateTemporary},
      {"acceptance not sent",
       [&] {
         b.store.knobs.failCreate = false;
         b.owner.refuseAll = true;
         b.tools->AcceptOffer(id, u"/dl/new.bin");
       },
       kErrorFeatureSend},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ThrownText(c.act), c.error) << c.label;
    EXPECT_TRUE(b.owner.TakeControl().empty()) << c.label << ": nothing accepted";
    ASSERT_TRUE(b.tools->pendingOffer().has_value()) << c.label;
    EXPECT_EQ(b.tools->receiver(), nullptr) << c.label;
    EXPECT_EQ(TemporaryFiles(b.store), 0u) << c.label;
  }
  EXPECT_EQ(b.store.files.at(kDestination), (std::vector<std::uint8_t>{1, 2, 3}));
  b.owner.refuseAll = false;
  b.tools->AcceptOffer(id, u"/dl/other.bin");  // another name works and the transfer completes
  Exchange(a, b);
  EXPECT_EQ(b.store.files.at(u"/dl/other.bin"), Pattern(100));

  End c;
  const struct {
    const char* label;
    std::function<void()> arrange;
    std::u16string path;
    std::string error;
  } offers[] = {
      {"unsafe name", [] {}, u"/src/LPT1", kErrorUnsafeName},
      {"missing file", [] {}, u"/src/none.bin", kErrorSourceUnreadable},
      {"over 8 GiB",
       [&] {
         c.store.files[kSource] = {1};
         c.store.knobs.reportedSize = kMaxFileSize + 1;
       },
       kSource, kErrorFileLimit},
      {"peer refuses files", [&] { c.gate.peer = false; }, kSource, kErrorOfferUnavailable},
  };
  for (const auto& o : offers) {
    o.arrange();
    EXPECT_EQ(ThrownText([&] { c.tools->OfferFile(o.path); }), o.error) << o.label;
    EXPECT_EQ(c.tools->sender(), nullptr) << o.label;
    EXPECT_TRUE(c.owner.outbox.empty()) << o.label;
  }
  c.gate.peer = true;
  c.store.knobs.reportedSize = kMaxFileSize;  // exactly 8 GiB is offered (and never read here)
  c.tools->OfferFile(kSource);
  EXPECT_EQ(c.owner.TakeControl().at(0).at("size"), kMaxFileSize);
  EXPECT_FALSE(c.tools->CanOffer());  // one outgoing transfer at a time
}

// What cannot be queued toward the peer changes nothing that already happened here: a saved
// file stays "Completed" when its fileDone cannot be queued, and an offer refused at once
// (files not allowed) while the refusal cannot be queued leaves the session running.
TEST(FileTransfer, UnqueueableAnswersReportWhatHappened) {
  End a;
  End b;
  Offer(a, b, Pattern(5 * 32768 + 3));
  Accept(b);
  while (!(b.tools->receiver() != nullptr && b.tools->receiver()->complete())) {
    ASSERT_TRUE(DeliverOne(a, b, "A", nullptr) || DeliverOne(b, a, "B", nullptr));
  }
  while (DeliverOne(b, a, "B", nullptr)) {
  }  // the acknowledgements; A answers the last with fileFinish
  ASSERT_EQ(a.owner.outbox.size(), 1u);
  b.owner.refuseAll = true;
  ASSERT_TRUE(DeliverOne(a, b, "A", nullptr));
  EXPECT_EQ(b.tools->status(), kFileStatusCompleted);
  EXPECT_EQ(b.tools->completedFiles(), 1u);
  EXPECT_EQ(b.store.files.at(kDestination), Pattern(5 * 32768 + 3));
  EXPECT_EQ(b.store.origins.at(kDestination), kDefaultFileOrigin);
  EXPECT_EQ(b.tools->lastFileError(), kErrorFeatureSend);

  End c;
  End d;
  d.gate.allow = false;
  d.owner.refuseAll = true;
  c.store.files[kSource] = Pattern(10);
  c.tools->OfferFile(kSource);
  const Json offer = ParseMessage(c.owner.outbox.front().second);
  EXPECT_EQ(ThrownText([&] { d.tools->HandleMessage(offer); }), "(nothing thrown)");
  EXPECT_FALSE(d.tools->pendingOffer().has_value());
}

TEST(FileTransfer, CancelledIdsAreRememberedSixteenDeep) {
  End b;
  std::vector<std::string> ids;
  for (int i = 0; i < 17; ++i) {
    ids.push_back(NewTransferId());
    b.tools->HandleMessage(
        Json{{"op", "fileOffer"}, {"id", ids.back()}, {"name", "f"}, {"size", 1}});
    b.tools->DeclineOffer();
  }
  EXPECT_EQ(b.tools->cancelledIds().size(), 16u);
  EXPECT_EQ(b.tools->cancelledIds().front(), ids[1]);
  b.owner.outbox.clear();
  // A message for a remembered id is ignored; the forgotten one is handled again.
  EXPECT_TRUE(b.tools->HandleMessage(Json{{"op", "fileFinish"}, {"id", ids[1]}}));
  EXPECT_EQ(ThrownText([&] {
              b.tools->HandleMessage(Json{{"op", "fileFinish"}, {"id", ids[0]}});
            }),
            kReasonUnsolicitedFinish);
  // A cancel for an id that names nothing running changes no status.
  End a;
  a.tools->HandleMessage(Json{{"op", "fileCancel"}, {"id", std::string(32, '9')}});
  EXPECT_EQ(a.tools->status(), "");
  EXPECT_EQ(a.tools->cancelledIds().size(), 1u);
}

TEST(FileTransfer, SessionEndDeletesAPartialDownload) {
  End a;
  End b;
  Offer(a, b, Pattern(40 * 32768));
  Accept(b);
  ASSERT_TRUE(DeliverOne(b, a, "B", nullptr));
  for (int i = 0; i < 5; ++i) DeliverOne(a, b, "A", nullptr);
  EXPECT_EQ(TemporaryFiles(b.store), 1u);
  b.owner.outbox.clear();
  b.tools.reset();
  EXPECT_TRUE(b.store.files.empty());
  EXPECT_TRUE(b.owner.outbox.empty());  // nothing is sent at the end of a session
}

// At start the temporary files a crash left beside their destinations go; a receiver's file
// still being written, the user's own files that merely look alike and other folders stay.
TEST(FileTransfer, TheStartUpSweepTakesOnlyAbandonedTemporaryFiles) {
  FakeFileStore store;
  const std::vector<std::u16string> abandoned = {u"report.bin.orvantis-0123456789abcdef.part",
                                                 u"a.orvantis-ffffffffffffffff.part"};
  const std::vector<std::u16string> kept = {
      u"report.bin",
      u"x.part",
      u".orvantis-0123456789abcdef.part",              // no name before it
      u"report.bin.orvantis-0123456789ABCDEF.part",    // upper-case hex
      u"report.bin.orvantis-0123456789abcde.part",     // 15 characters
      u"report.bin.orvantis-0123456789abcdef.partial",
      u"nul.orvantis-0123456789abcdef.part",           // not a name this program writes
  };
  for (const auto& name : abandoned) store.files[u"/dl/" + name] = {1};
  for (const auto& name : kept) store.files[u"/dl/" + name] = {2};
  store.files[u"/dl/sub/b.orvantis-0123456789abcdef.part"] = {3};
  const auto receiving = FileReceiver::Open(store, u"/dl/live.bin", 10);
  const std::u16string live = receiving->temporaryPath();

  EXPECT_EQ(SweepAbandonedTemporaryFiles(store, u"/dl"), abandoned.size());
  for (const auto& name : abandoned) EXPECT_FALSE(store.Has(u"/dl/" + name));
  for (const auto& name : kept) EXPECT_TRUE(store.Has(u"/dl/" + name));
  EXPECT_TRUE(store.Has(u"/dl/sub/b.orvantis-0123456789abcdef.part"));
  EXPECT_TRUE(store.Has(live)) << "a file being received is not abandoned";
  EXPECT_EQ(SweepAbandonedTemporaryFiles(store, u"/dl/"), 0u);
  EXPECT_EQ(SweepAbandonedTemporaryFiles(store, u"/missing"), 0u);
}

TEST(SaveVerifiedFile, SavesOnlyAVerifiedNewFile) {
  const std::vector<std::uint8_t> data = Pattern(70000);
  FakeFileStore store;
  EXPECT_EQ(SaveVerifiedFile(store, u"/dl", u"update.exe", data, Sha256Of(data)),
            u"/dl/update.exe");
  EXPECT_EQ(store.files.at(u"/dl/update.exe"), data);
  EXPECT_EQ(store.origins.at(u"/dl/update.exe"), kDefaultFileOrigin);
  const struct {
    const char* label;
    std::u16string name;
    std::string sha;
    std::string error;
  } cases[] = {
      {"exists", u"update.exe", Sha256Of(data), kErrorDestinationExists},
      {"digest", u"other.exe", kEmptySha256, kErrorDigestMismatch},
      {"name with a folder", u"../other.exe", Sha256Of(data), kErrorInvalidDestination},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ThrownText([&] { SaveVerifiedFile(store, u"/dl/", c.name, data, c.sha); }), c.error)
        << c.label;
    EXPECT_EQ(store.files.size(), 1u) << c.label;
  }
}

}  // namespace
}  // namespace ov
