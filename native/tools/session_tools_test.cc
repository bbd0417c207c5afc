#include "tools/session_tools.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tools/testing/fake_clipboard.h"
#include "tools/utf16.h"

namespace ov {
namespace {

constexpr char kEnable[] = "Enable clipboard sync on both devices.";
constexpr char kCancelled[] = "Clipboard unavailable; paste cancelled.";

// One end of a session as the peer session wires it: the real protocol in front of the tools,
// both talking to the same owner, with a fake clipboard and a record of the paste keys.
struct End final : SessionOwner, PeerControlDelegate, PasteKeys {
  End(bool isHost, std::uint64_t& sharedClock) : clock(sharedClock), control(isHost, *this, local) {
    displays = {DisplayInfo{L"\\\\.\\DISPLAY1", {0, 0, 1920, 1080}, true, 60}};
  }

  std::uint64_t& clock;
  LocalPermissions local;
  FakeClipboard clipboard;
  PeerControl control;
  SessionToolsState tools{*this, control, local, clipboard, *this};
  std::vector<DisplayInfo> displays;
  std::deque<Json> outbox;  // control messages queued, oldest first
  bool refuseSends = false;
  std::vector<std::string> statuses;
  std::vector<std::pair<bool, int>> keys;  // down, virtual key
  bool ctrlHeld = false;
  int layouts = 0;

  // SessionOwner and PeerControlDelegate (the members both declare are one here).
  bool SendSealed(std::uint8_t kind, std::vector<std::uint8_t> plaintext) override {
    EXPECT_EQ(kind, 4);
    if (refuseSends) return false;
    outbox.push_back(ParseMessage(std::span<const std::uint8_t>(plaintext)));
    return true;
  }
  std::uint64_t NowMs() override { return clock; }
  void ShowStatus(const std::string& status) override { statuses.push_back(status); }
  void RemoveQueuedFrames() override {}
  void ClearPairingDeadline() override {}
  std::uint32_t ConnectionGeneration() override { return 1; }
  void PostEndEvent(std::uint32_t, const std::string&) override {}
  void RequestLayout() override { ++layouts; }
  void Repaint() override {}
  void DropRemotePicture() override {}
  void EndSession(const std::string&) override {}
  std::vector<DisplayInfo> EnumerateDisplays() override { return displays; }
  void StopStreaming() override {}
  void StartStreaming(const DisplayInfo&, std::int32_t, std::int32_t) override {}
  void ReleaseHeldInput() override {}
  void DropPicture(bool) override {}
  void ShowInputNotice(std::uint64_t) override {}
  void PeerPermissionsChanged(bool, bool clipboardChanged) override {
    if (clipboardChanged) tools.PeerClipboardPermissionChanged();
  }
  bool HandleToolsMessage(const Json& message) override { return tools.HandleMessage(message); }
  // PasteKeys.
  void SendKey(bool down, int virtualKey) override { keys.emplace_back(down, virtualKey); }
  bool LocalCtrlDown() override { return ctrlHeld; }

  std::string LastStatus() const { return statuses.empty() ? "" : statuses.back(); }
  void SetClipboardPermission(bool on) {
    local.clipboard = on;
    tools.LocalClipboardPermissionChanged([this] { control.SendPermissions(); });
  }
};

// A host and a viewer after their hello exchange, both allowing the clipboard unless told not.
struct Pair {
  explicit Pair(bool clipboard = true) {
    host.control.Start();
    host.control.SendHello();
    Deliver(host, viewer);
    Deliver(viewer, host);
    if (clipboard) {
      host.SetClipboardPermission(true);
      Deliver(host, viewer);
      viewer.SetClipboardPermission(true);
      Deliver(viewer, host);
    }
    for (End* end : {&host, &viewer}) {
      end->outbox.clear();
      end->statuses.clear();
    }
  }

  // Hands every message `from` queued to `to`, through the protocol's dispatch. Returns the
  // reason of a failure ("accepted" when every message was taken).
  static std::string Deliver(End& from, End& to) {
    while (!from.outbox.empty()) {
      const Json message = std::move(from.outbox.front());
      from.outbox.pop_front();
      try {
        to.control.HandleControl(message);
      } catch (const std::exception& e) {
        return e.what();
      }
    }
    return "accepted";
  }

  std::uint64_t now = 5000000;
  End host{true, now};
  End viewer{false, now};
};

std::string Reason(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "accepted";
}

std::string Units(std::size_t count, const std::string& unit = "a") {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += unit;
  return text;
}

TEST(SessionTools, ReceivedMessagesAndTheirReasons) {
  const std::string emoji = "\xF0\x9F\x98\x80";  // two UTF-16 units
  struct Case {
    const char* name;
    bool toHost;
    Json message;
    std::string reason;  // or a fragment of the JSON library's own text
  };
  const std::vector<Case> cases = {
      {"chat of 1000 units", true, {{"op", "chat"}, {"text", Units(1000)}}, "accepted"},
      {"chat of 500 surrogate pairs", true, {{"op", "chat"}, {"text", Units(500, emoji)}},
       "accepted"},
      {"chat of 1001 units", true, {{"op", "chat"}, {"text", Units(1001)}}, "chat limit"},
      {"chat of 1001 units in pairs", true, {{"op", "chat"}, {"text", "a" + Units(500, emoji)}},
       "chat limit"},
      {"empty chat", true, {{"op", "chat"}, {"text", ""}}, "chat limit"},
      {"chat with NUL", true, {{"op", "chat"}, {"text", std::string("a\0b", 3)}},
       "embedded null"},
      {"chat of bad UTF-8", true, {{"op", "chat"}, {"text", "\xC0\x80"}}, "invalid UTF8"},
      {"chat text a number", true, {{"op", "chat"}, {"text", 5}}, "type_error"},
      {"chat without text", true, {{"op", "chat"}}, "out_of_range"},
      {"sync of 8192 units", true, {{"op", "clipboardSync"}, {"text", Units(8192)}, {"token", 0}},
       "accepted"},
      {"empty sync", true, {{"op", "clipboardSync"}, {"text", ""}, {"token", 0}}, "accepted"},
      {"sync of 8193 units", true,
       {{"op", "clipboardSync"}, {"text", Units(8193)}, {"token", 0}}, "clipboard sync limit"},
      {"sync with negative token", true,
       {{"op", "clipboardSync"}, {"text", "x"}, {"token", -1}}, "clipboard sync limit"},
      {"sync with fractional token", true,
       {{"op", "clipboardSync"}, {"text", "x"}, {"token", 1.0}}, "clipboard sync limit"},
      {"sync without token", true, {{"op", "clipboardSync"}, {"text", "x"}},
       "clipboard sync limit"},
      {"sync with token 2^32", true,
       {{"op", "clipboardSync"}, {"text", "x"}, {"token", 4294967296ULL}},
       "clipboard token bound"},
      {"sync with token 2^32-1", true,
       {{"op", "clipboardSync"}, {"text", "x"}, {"token", 4294967295ULL}}, "accepted"},
      {"clipboard of 8192 units", true, {{"op", "clipboard"}, {"text", Units(8192)}},
       "accepted"},
      {"clipboard of 8193 units", true, {{"op", "clipboard"}, {"text", Units(8193)}},
       "clipboard limit"},
      {"empty clipboard", true, {{"op", "clipboard"}, {"text", ""}}, "clipboard limit"},
      {"acknowledgement at the host", true,
       {{"op", "clipboardAck"}, {"token", 1}, {"applied", true}}, "clipboard acknowledgement"},
      {"acknowledgement of no paste", false,
       {{"op", "clipboardAck"}, {"token", 7}, {"applied", true}}, "accepted"},
      {"acknowledgement token 0", false,
       {{"op", "clipboardAck"}, {"token", 0}, {"applied", true}},
       "clipboard acknowledgement token"},
      {"acknowledgement token 2^32", false,
       {{"op", "clipboardAck"}, {"token", 4294967296ULL}, {"applied", true}},
       "clipboard acknowledgement token"},
      {"acknowledgement token negative", false,
       {{"op", "clipboardAck"}, {"token", -3}, {"applied", true}}, "clipboard acknowledgement"},
      {"acknowledgement applied 1", false,
       {{"op", "clipboardAck"}, {"token", 1}, {"applied", 1}}, "clipboard acknowledgement"},
      {"acknowledgement without applied", false, {{"op", "clipboardAck"}, {"token", 1}},
       "clipboard acknowledgement"},
      {"a file message", true, {{"op", "fileOffer"}}, "unknown feature"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pair pair;
    End& to = c.toHost ? pair.host : pair.viewer;
    const std::string reason = Reason([&] { to.control.HandleControl(c.message); });
    // The reasons are exact: "clipboard acknowledgement" is not "clipboard acknowledgement
    // token". Only the JSON library's own errors are named by their kind.
    const std::string reasonText = c.reason;
    if (reasonText == "type_error" || reasonText == "out_of_range") {
      EXPECT_EQ(reason.rfind("[json.exception." + reasonText + ".", 0), 0u) << reason;
    } else {
      EXPECT_EQ(reason, reasonText);
    }
    // A token asks for an acknowledgement, whatever this end did with the text.
    if (c.message["op"] == "clipboardSync" && reason == "accepted" &&
        c.message["token"] != 0) {
      ASSERT_EQ(to.outbox.size(), 1u);
      EXPECT_EQ(to.outbox[0],
                (Json{{"op", "clipboardAck"}, {"token", c.message["token"]}, {"applied", true}}));
    } else {
      EXPECT_TRUE(to.outbox.empty());
    }
  }

  // Ahead of the hello exchange nothing is taken; and the viewer refuses acknowledgements from
  // a host that never announced synchronisation.
  std::uint64_t now = 1000;
  End early(false, now);
  EXPECT_EQ(Reason([&] { early.tools.HandleMessage({{"op", "chat"}, {"text", "hi"}}); }),
            "features before negotiation");
  Json hello = [] {
    Pair p;
    p.host.control.SendHello();
    return p.host.outbox.back();
  }();
  hello.erase("clipboardSync");
  early.control.HandleControl(hello);
  const Json ack = {{"op", "clipboardAck"}, {"token", 1}, {"applied", true}};
  EXPECT_EQ(Reason([&] { early.control.HandleControl(ack); }), "clipboard acknowledgement");
  EXPECT_FALSE(early.tools.HandleMessage({{"op", "nonsense"}}));
}

TEST(SessionTools, ChatLimitsLogAndRateWindow) {
  Pair pair;
  End& viewer = pair.viewer;
  End& host = pair.host;
  viewer.tools.SendChat(Utf8ToUtf16(Units(1000)));
  EXPECT_EQ(Pair::Deliver(viewer, host), "accepted");
  EXPECT_EQ(host.tools.chatLog().back(), u"\u2190 " + Utf8ToUtf16(Units(1000)));
  EXPECT_EQ(viewer.tools.chatLog().back(), u"\u2192 " + Utf8ToUtf16(Units(1000)));

  // Refused sends leave the log as it was and queue nothing.
  const std::u16string lonely(1, char16_t{0xD800});
  for (const auto& [text, reason] : std::vector<std::pair<std::u16string, std::string>>{
           {Utf8ToUtf16(Units(1001)), "chat limit"}, {u"", "chat limit"},
           {lonely, "invalid Unicode"}}) {
    EXPECT_EQ(Reason([&] { viewer.tools.SendChat(text); }), reason);
  }
  viewer.refuseSends = true;
  EXPECT_EQ(Reason([&] { viewer.tools.SendChat(u"x"); }), "feature send");
  viewer.refuseSends = false;
  EXPECT_EQ(viewer.tools.chatLog().size(), 1u);
  EXPECT_TRUE(viewer.outbox.empty());
  std::uint64_t now = 1;
  End early(true, now);
  EXPECT_EQ(Reason([&] { early.tools.SendChat(u"hi"); }), "chat limit");

  // The window opened by the first line above: 49 more lines fit in it, the 51st ends the
  // session unless more than 10 s have passed since the window started.
  for (const auto& [after, reason] : std::vector<std::pair<std::uint64_t, std::string>>{
           {10000, "chat rate"}, {10001, "accepted"}}) {
    Pair p;
    p.viewer.tools.SendChat(u"first");
    ASSERT_EQ(Pair::Deliver(p.viewer, p.host), "accepted");
    for (int i = 2; i <= 50; ++i) {
      p.viewer.tools.SendChat(u"line " + Utf8ToUtf16(std::to_string(i)));
    }
    ASSERT_EQ(Pair::Deliver(p.viewer, p.host), "accepted");
    p.now += after;
    p.viewer.tools.SendChat(u"line 51");
    EXPECT_EQ(Pair::Deliver(p.viewer, p.host), reason) << after;
    // Both logs keep the last 50 lines; the sender logged the 51st, which it never refuses.
    EXPECT_EQ(p.viewer.tools.chatLog().size(), 50u);
    EXPECT_EQ(p.viewer.tools.chatLog().front(), u"\u2192 line 2");
    EXPECT_EQ(p.host.tools.chatLog().size(), 50u);
    EXPECT_EQ(p.host.tools.chatLog().back(),
              reason == "accepted" ? u"\u2190 line 51" : u"\u2190 line 50");
  }
}

TEST(SessionTools, ManualClipboardSendPromptAndAnswers) {
  Pair pair;
  End& viewer = pair.viewer;
  End& host = pair.host;
  viewer.clipboard.CopyElsewhere(u"copied text");
  viewer.tools.SendClipboard();
  EXPECT_EQ(viewer.LastStatus(), "Sent");
  EXPECT_EQ(viewer.tools.toolsStatus(), "Sent");
  EXPECT_EQ(viewer.outbox.back(), (Json{{"op", "clipboard"}, {"text", "copied text"}}));
  viewer.clipboard.CopyElsewhere(u"second");
  viewer.tools.SendClipboard();
  ASSERT_EQ(Pair::Deliver(viewer, host), "accepted");
  // The second text arrived while the first waited: dropped, without a reply.
  EXPECT_TRUE(host.tools.clipboardRequestPending());
  EXPECT_EQ(host.tools.clipboardRequest(), u"copied text");
  EXPECT_EQ(host.tools.toolsStatus(), "Clipboard request");
  EXPECT_TRUE(host.outbox.empty());

  host.clipboard.writeFails = true;
  EXPECT_EQ(Reason([&] { host.tools.AcceptClipboardRequest(); }), "clipboard write");
  EXPECT_TRUE(host.tools.clipboardRequestPending());
  host.clipboard.writeFails = false;
  const int layouts = host.layouts;
  host.tools.AcceptClipboardRequest();
  EXPECT_EQ(host.clipboard.text, u"copied text");
  EXPECT_FALSE(host.tools.clipboardRequestPending());
  EXPECT_EQ(host.LastStatus(), "Completed");
  EXPECT_GT(host.layouts, layouts);
  // Written by the program: not sent back, by the listener or the tick.
  host.tools.OnClipboardChanged();
  host.tools.Tick(pair.now);
  EXPECT_TRUE(host.outbox.empty());

  // The local sender's failures.
  for (const auto& [setup, reason] : std::vector<std::pair<std::function<void()>, std::string>>{
           {[&] { viewer.clipboard.busy = true; }, "clipboard busy"},
           {[&] { viewer.clipboard.CopyElsewhere(u""); }, "clipboard limit or permission"},
           {[&] { viewer.clipboard.CopyElsewhere(u"x"); viewer.refuseSends = true; },
            "feature send"}}) {
    setup();
    EXPECT_EQ(Reason([&] { viewer.tools.SendClipboard(); }), reason);
    viewer.clipboard.busy = viewer.refuseSends = false;
  }
  EXPECT_TRUE(viewer.outbox.empty());

  // Without the receiver's permission: the sender only says so, the receiver drops any text.
  host.SetClipboardPermission(false);
  Pair::Deliver(host, viewer);
  viewer.tools.SendClipboard();
  EXPECT_EQ(viewer.LastStatus(), "Permission disabled");
  EXPECT_TRUE(viewer.outbox.empty());
  EXPECT_EQ(Reason([&] { host.control.HandleControl({{"op", "clipboard"}, {"text", "x"}}); }),
            "accepted");
  EXPECT_FALSE(host.tools.clipboardRequestPending());

  // A request lives 45 s unless answered; a decline or a permission switch discards it.
  host.SetClipboardPermission(true);
  for (int way = 0; way < 3; ++way) {
    host.control.HandleControl({{"op", "clipboard"}, {"text", "x"}});
    ASSERT_TRUE(host.tools.clipboardRequestPending());
    if (way == 0) {
      host.tools.Tick(pair.now + 45000);
      EXPECT_TRUE(host.tools.clipboardRequestPending());
      host.tools.Tick(pair.now + 45001);
    } else if (way == 1) {
      host.tools.DeclineClipboardRequest();
    } else {
      host.SetClipboardPermission(false);
    }
    EXPECT_FALSE(host.tools.clipboardRequestPending()) << way;
    EXPECT_EQ(host.clipboard.text, u"copied text");
  }
}

TEST(SessionTools, AutomaticSynchronisation) {
  Pair pair;
  End& viewer = pair.viewer;
  End& host = pair.host;
  viewer.clipboard.CopyElsewhere(u"viewer copy");
  viewer.tools.OnClipboardChanged();
  ASSERT_EQ(viewer.outbox.size(), 1u);
  EXPECT_EQ(viewer.outbox[0],
            (Json{{"op", "clipboardSync"}, {"text", "viewer copy"}, {"token", 0}}));
  ASSERT_EQ(Pair::Deliver(viewer, host), "accepted");
  EXPECT_EQ(host.clipboard.text, u"viewer copy");
  EXPECT_TRUE(host.outbox.empty());  // token 0: no acknowledgement
  // Neither end sends it again: the viewer sent this sequence, the host wrote it itself.
  viewer.tools.Tick(pair.now);
  host.tools.OnClipboardChanged();
  EXPECT_TRUE(viewer.outbox.empty());
  EXPECT_TRUE(host.outbox.empty());

  // Failures show on the status line and keep the sequence, except for text that can never go.
  struct Failure {
    const char* name;
    std::function<void()> setup;
    bool retried;
  };
  for (const Failure& f : std::vector<Failure>{
           {"busy", [&] { viewer.clipboard.busy = true; }, true},
           {"refused send", [&] { viewer.refuseSends = true; }, true},
           {"unpaired surrogate",
            [&] { viewer.clipboard.text = std::u16string(1, char16_t{0xDC00}); }, false}}) {
    SCOPED_TRACE(f.name);
    viewer.clipboard.CopyElsewhere(u"next");
    f.setup();
    viewer.statuses.clear();
    viewer.tools.Tick(pair.now);
    EXPECT_EQ(viewer.statuses, std::vector<std::string>{kCancelled});
    viewer.clipboard.busy = viewer.refuseSends = false;
    viewer.tools.Tick(pair.now);
    EXPECT_EQ(viewer.outbox.size(), f.retried ? 1u : 0u);
    EXPECT_EQ(viewer.statuses.size(), 1u);  // reported once
    viewer.outbox.clear();
  }

  // While the host refuses the clipboard nothing goes and nothing is applied; its permission
  // coming back makes the viewer send its unchanged clipboard again.
  viewer.clipboard.CopyElsewhere(u"again");
  viewer.tools.Tick(pair.now);
  Pair::Deliver(viewer, host);
  host.SetClipboardPermission(false);
  Pair::Deliver(host, viewer);
  viewer.tools.Tick(pair.now);
  EXPECT_TRUE(viewer.outbox.empty());
  host.control.HandleControl({{"op", "clipboardSync"}, {"text", "not applied"}, {"token", 0}});
  EXPECT_EQ(host.clipboard.text, u"again");
  host.local.clipboard = true;
  host.control.SendPermissions();
  Pair::Deliver(host, viewer);
  viewer.tools.Tick(pair.now);
  ASSERT_EQ(viewer.outbox.size(), 1u);
  EXPECT_EQ(viewer.outbox[0]["text"], "again");
  viewer.outbox.clear();

  // Switching the local permission on announces it before the text it now lets through.
  host.SetClipboardPermission(false);
  host.clipboard.CopyElsewhere(u"host copy");
  host.SetClipboardPermission(true);
  ASSERT_EQ(host.outbox.size(), 3u);
  EXPECT_EQ(host.outbox[1], (Json{{"op", "permissions"}, {"control", true}, {"files", true},
                                  {"clipboard", true}}));
  EXPECT_EQ(host.outbox[2], (Json{{"op", "clipboardSync"}, {"text", "host copy"}, {"token", 0}}));
  EXPECT_EQ(host.LastStatus(), kEnable);
  EXPECT_EQ(Pair::Deliver(host, viewer), "accepted");
  EXPECT_EQ(viewer.clipboard.text, u"host copy");
}

TEST(SessionTools, RemotePasteTokensDeadlineAndKeys) {
  const std::vector<std::pair<bool, int>> typed = {
      {true, 17}, {true, 86}, {false, 86}, {false, 17}};
  struct Case {
    const char* name;
    std::uint64_t ackAfter;
    bool hostWriteFails;
    bool ctrlHeld;
    std::size_t keys;  // how many of `typed`
    const char* status;
  };
  for (const Case& c : std::vector<Case>{
           {"in time", 5000, false, false, 4, "End-to-end encrypted"},
           {"Ctrl still held", 10, false, true, 3, "End-to-end encrypted"},
           {"late", 5001, false, false, 0, kCancelled},
           {"not applied", 10, true, false, 0, kCancelled}}) {
    SCOPED_TRACE(c.name);
    Pair pair;
    pair.viewer.clipboard.CopyElsewhere(u"paste me");
    pair.host.clipboard.writeFails = c.hostWriteFails;
    pair.viewer.ctrlHeld = c.ctrlHeld;
    pair.viewer.tools.RemotePaste();
    ASSERT_EQ(pair.viewer.outbox.size(), 1u);
    EXPECT_EQ(pair.viewer.outbox[0],
              (Json{{"op", "clipboardSync"}, {"text", "paste me"}, {"token", 1}}));
    pair.viewer.tools.RemotePaste();  // one paste at a time
    pair.viewer.clipboard.CopyElsewhere(u"copied meanwhile");
    pair.viewer.tools.Tick(pair.now);  // no synchronisation while a paste is in flight
    EXPECT_EQ(pair.viewer.outbox.size(), 1u);
    ASSERT_EQ(Pair::Deliver(pair.viewer, pair.host), "accepted");
    EXPECT_EQ(pair.host.clipboard.text, c.hostWriteFails ? u"" : u"paste me");
    pair.now += c.ackAfter;
    ASSERT_EQ(Pair::Deliver(pair.host, pair.viewer), "accepted");
    const std::vector<std::pair<bool, int>> expected(
        typed.begin(), typed.begin() + static_cast<std::ptrdiff_t>(c.keys));
    EXPECT_EQ(pair.viewer.keys, expected);
    EXPECT_EQ(pair.viewer.LastStatus(), c.status);
    EXPECT_FALSE(pair.viewer.tools.pasteInFlight());
    pair.viewer.clipboard.CopyElsewhere(u"next");
    pair.viewer.tools.RemotePaste();
    EXPECT_EQ(pair.viewer.outbox.back()["token"], 2);
  }

  // Ways a paste ends early or never starts; the host's late acknowledgement is then ignored.
  struct Stop {
    const char* name;
    std::function<void(Pair&)> action;
    const char* status;  // last status, "" for none
  };
  for (const Stop& s : std::vector<Stop>{
           {"deadline", [](Pair& p) { p.viewer.tools.Tick(p.now + 5001); }, kCancelled},
           {"focus lost", [](Pair& p) { p.viewer.tools.CancelPaste(); }, ""},
           {"peer clipboard off",
            [](Pair& p) {
              p.host.SetClipboardPermission(false);
              Pair::Deliver(p.host, p.viewer);
            },
            ""},
           {"local clipboard toggled", [](Pair& p) { p.viewer.SetClipboardPermission(false); },
            kEnable}}) {
    SCOPED_TRACE(s.name);
    Pair pair;
    pair.viewer.clipboard.CopyElsewhere(u"paste me");
    pair.viewer.tools.RemotePaste();
    Pair::Deliver(pair.viewer, pair.host);
    pair.host.outbox.clear();  // the host's acknowledgement, held back
    s.action(pair);
    EXPECT_FALSE(pair.viewer.tools.pasteInFlight());
    EXPECT_EQ(pair.viewer.LastStatus(), s.status);
    pair.viewer.statuses.clear();
    pair.viewer.control.HandleControl({{"op", "clipboardAck"}, {"token", 1}, {"applied", true}});
    EXPECT_TRUE(pair.viewer.keys.empty());
    EXPECT_TRUE(pair.viewer.statuses.empty());
  }
  struct Refusal {
    const char* name;
    std::function<void(Pair&)> setup;
    const char* status;
  };
  for (const Refusal& r : std::vector<Refusal>{
           {"host end", [](Pair&) {}, ""},
           {"no control", [](Pair& p) {
              p.host.local.control = false;
              p.host.control.SendPermissions();
              Pair::Deliver(p.host, p.viewer);
            }, ""},
           {"sync off", [](Pair& p) { p.viewer.local.clipboard = false; }, kEnable},
           {"empty clipboard", [](Pair& p) { p.viewer.clipboard.CopyElsewhere(u""); }, kCancelled},
           {"busy", [](Pair& p) { p.viewer.clipboard.busy = true; }, kCancelled},
           {"refused send", [](Pair& p) { p.viewer.refuseSends = true; }, kCancelled}}) {
    SCOPED_TRACE(r.name);
    Pair pair;
    pair.viewer.clipboard.CopyElsewhere(u"paste me");
    r.setup(pair);
    End& end = std::string(r.name) == "host end" ? pair.host : pair.viewer;
    end.tools.RemotePaste();
    EXPECT_FALSE(end.tools.pasteInFlight());
    EXPECT_TRUE(end.outbox.empty());
    EXPECT_EQ(end.LastStatus(), r.status);
  }
}

TEST(ClipboardBlock, TextBeforeTheFirstNulWithinTheBounds) {
  const auto block = [](const std::u16string& units, std::size_t extraBytes = 0) {
    std::vector<unsigned char> bytes(units.size() * 2 + extraBytes, 0xFF);
    std::memcpy(bytes.data(), units.data(), units.size() * 2);
    return bytes;
  };
  const std::u16string full(kClipboardTextLimit, u'x');
  struct Case {
    const char* name;
    std::vector<unsigned char> bytes;
    std::u16string text;
  };
  for (const Case& c : std::vector<Case>{
           {"16387 bytes", block(full + u'\0', 1), full},
           {"16388 bytes", block(full + u"y" + u'\0'), u""},
           {"16386 bytes without NUL", block(full + u"y"), u""},
           {"2 bytes", block(std::u16string(1, u'\0')), u""},
           {"1 byte", {0}, u""},
           {"no NUL", block(u"abc"), u""},
           {"NUL only in the odd byte", {'a', 0, 'b', 0, 0}, u""},
           {"text before the first NUL", block(std::u16string(u"ab\0cd\0", 6)), u"ab"},
       }) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TextOfClipboardBlock(c.bytes.data(), c.bytes.size()), c.text);
  }
  EXPECT_EQ(TextOfClipboardBlock(nullptr, 16), u"");
}

TEST(SessionTools, StrictUtfConversions) {
  for (const auto& [bytes, reason] : std::vector<std::pair<std::string, std::string>>{
           {"\xC0\x80", "invalid UTF8"}, {"\xC1\xBF", "invalid UTF8"},
           {"\xE0\x80\x80", "invalid UTF8"}, {"\xED\xA0\x80", "invalid UTF8"},
           {"\xF4\x90\x80\x80", "invalid UTF8"}, {"\xE2\x82", "invalid UTF8"},
           {"\x80", "invalid UTF8"}, {"\xF8\x88\x80\x80\x80", "invalid UTF8"},
           {std::string("\0", 1), "embedded null"}, {"", "accepted"},
           {"a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "accepted"}}) {
    std::u16string out;
    EXPECT_EQ(Reason([&] { out = Utf8ToUtf16(bytes); }), reason);
    if (reason == "accepted") {
      EXPECT_EQ(Utf16ToUtf8(out), bytes);
    }
  }
  EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98\x80"), (std::u16string{char16_t{0xD83D}, char16_t{0xDE00}}));
  for (const std::u16string& bad :
       {std::u16string{char16_t{0xD83D}}, std::u16string{char16_t{0xDE00}, char16_t{0xD83D}},
        std::u16string{u'a', char16_t{0xD83D}, u'b'}}) {
    EXPECT_EQ(Reason([&] { Utf16ToUtf8(bad); }), "invalid Unicode");
  }
  const std::u16string mixed = u"a\u00e9\U0001F600";
  EXPECT_EQ(WideToUtf16(Utf16ToWide(mixed)), mixed);
}

}  // namespace
}  // namespace ov
