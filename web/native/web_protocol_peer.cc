// The native reference for the web viewer's protocol core, built from the program's own code
// (PakeExchange, CryptoSession, the JSON codec) and BoringSSL's SPAKE2.
//
//   web_protocol_peer vectors FILE   writes known-answer vectors from fixed inputs as JSON
//   web_protocol_peer serve          answers one JSON command per line on stdin with one JSON
//                                    line on stdout, until end of input
//
// Commands of `serve` ("cmd" names them):
//   parse {text: hex}                     the bounded parse: {ok, json} with the compact writing
//                                         of the value's description (Describe), or {ok: false,
//                                         error}
//   requireInt {text: hex, name, min, max}  {value} or {error: "input range" | "input number" |
//                                         "missing" | "not an object" | "parse"}
//   offer {text}                          {valid, nonce, message} from the pairing-string parser
//   point {message: hex}                  {accepted}: whether SPAKE2_process_msg takes it
//   normalize {id, password}              the typed-input normalisers and validators
//   host {id, password}                   starts a host; then
//     relay {text}                        a relay message for the host: "connectRequest" gives
//                                         {send: authChallenge}; "authResponse" gives {confirmed}
//                                         (and {send: connectResponse false} when refused)
//   viewer {id, password, nonce}          starts a viewer: {offer}; then
//     challenge {requestId, message, confirmation}  {confirmed, confirmation}
//   seal {kind, data: hex}                {sealed: hex} with the current channel
//   open {sealed: hex}                    {opened, kind, data: hex} or {opened: false}
//   regionParse {message: hex}           the region-frame parser's reading (region_vectors.h)
//   decode {jpeg: hex}                    the viewer's JPEG decoding: {width, height, pixels: hex}
//                                         or {refused: true}
//   regions {epoch, width, height, pictures, skipFirst}  a host's region stream and a native
//                                         viewer's composition of it (region_vectors.h), each
//                                         message also sealed as a frame when there is a channel
// Every failure is reported as {error} on its line; the program itself never stops on bad input.
#include <openssl/curve25519.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/json_codec.h"
#include "base/unicode.h"
#include "crypto/crypto_session.h"
#include "crypto/pake_exchange.h"
#include "crypto/primitives.h"
#include "region_vectors.h"

namespace {

using ov::Json;

std::vector<std::uint8_t> FromHex(const std::string& hex) {
  std::vector<std::uint8_t> out(hex.size() / 2);
  if (!ov::HexDecode(hex, out.data(), out.size())) throw std::invalid_argument("hex");
  return out;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) { return ov::HexEncode(bytes.data(), bytes.size()); }

// A string member of a command; a missing or non-string one throws the library's error.
std::string Str(const Json& command, const char* name) { return command.at(name).get<std::string>(); }

std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

// The parsed value with every number's kind made visible: "i:" signed, "u:" unsigned integers,
// "f:" + the 16 hex digits of a double's bits; strings as "s:" + the text.
Json Describe(const Json& value) {
  switch (value.type()) {
    case Json::value_t::object: {
      Json out = Json::object();
      for (const auto& [name, member] : value.items()) out[name] = Describe(member);
      return out;
    }
    case Json::value_t::array: {
      Json out = Json::array();
      for (const Json& element : value) out.push_back(Describe(element));
      return out;
    }
    case Json::value_t::string:
      return "s:" + value.get<std::string>();
    case Json::value_t::number_integer:
      return "i:" + std::to_string(value.get<std::int64_t>());
    case Json::value_t::number_unsigned:
      return "u:" + std::to_string(value.get<std::uint64_t>());
    case Json::value_t::number_float: {
      const double number = value.get<double>();
      std::uint64_t bits = 0;
      std::memcpy(&bits, &number, sizeof bits);
      char text[17];
      std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
      return std::string("f:") + text;
    }
    default:
      return value;  // null, boolean
  }
}

// ---- Known-answer vectors ------------------------------------------------------------------

Json ScheduleVector(const std::vector<std::uint8_t>& shared, const std::string& id, const std::string& nonce,
                    const std::string& request) {
  ov::PakeSchedule s;
  ov::DerivePakeSchedule(shared.data(), id, nonce, request, s);
  const auto hex = [](const ov::SecretArray<32>& v) { return ov::HexEncode(v.data(), 32); };
  return Json{{"sharedKey", Hex(shared)},           {"deviceId", id},
              {"nonce", nonce},                     {"requestId", request},
              {"hostToViewer", hex(s.hostToViewer)}, {"viewerToHost", hex(s.viewerToHost)},
              {"hostConfirmation", hex(s.hostConfirmation)},
              {"viewerConfirmation", hex(s.viewerConfirmation)}};
}

Json Vectors() {
  Json out = Json::object();
  Json schedules = Json::array();
  std::vector<std::uint8_t> counting(64), fives(64, 0x55), zeros(64, 0);
  for (std::size_t i = 0; i < 64; ++i) counting[i] = static_cast<std::uint8_t>(i);
  schedules.push_back(ScheduleVector(counting, "123456789", "00112233445566778899aabbccddeeff",
                                     "ffeeddccbbaa99887766554433221100"));
  schedules.push_back(ScheduleVector(fives, "987654321", "ffffffffffffffffffffffffffffffff",
                                     "0123456789abcdef0123456789abcdef"));
  schedules.push_back(ScheduleVector(zeros, "100000000", "00000000000000000000000000000000",
                                     "00000000000000000000000000000000"));
  out["schedule"] = schedules;

  // One channel of fixed keys seals a message of every kind; sequences run 1, 2, 3...
  std::vector<std::uint8_t> sendKey(32), receiveKey(32);
  for (std::size_t i = 0; i < 32; ++i) {
    sendKey[i] = static_cast<std::uint8_t>(0xa0 + i);
    receiveKey[i] = static_cast<std::uint8_t>(0x10 + i);
  }
  ov::CryptoSession channel(sendKey.data(), receiveKey.data());
  struct Plain {
    std::uint8_t kind;
    std::vector<std::uint8_t> data;
  };
  std::vector<std::uint8_t> frame(9 + 300);
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 7);
  const Plain plains[] = {
      {3, Bytes("0123456789abcdef0123456789abcdef")},
      {4, Bytes(R"({"op":"helloAck","version":3})")},
      {1, frame},
      {2, Bytes(R"({"op":"key","vk":65,"down":true})")},
      {5, std::vector<std::uint8_t>(32768, 0x5a)},
      {4, {}},
      {4, Bytes("{\"op\":\"chat\",\"text\":\"gr\xc3\xbc\xc3\x9f dich \xe2\x9c\x93\"}")},
  };
  Json sealed = Json::array();
  std::uint64_t sequence = 0;
  for (const Plain& p : plains) {
    sealed.push_back(Json{{"kind", p.kind},
                          {"sequence", ++sequence},
                          {"plaintext", Hex(p.data)},
                          {"sealed", Hex(channel.Seal(p.kind, p.data))}});
  }
  out["channel"] = Json{{"sendKey", Hex(sendKey)}, {"receiveKey", Hex(receiveKey)}, {"sealed", sealed}};

  // The control and relay messages a viewer writes, as the program writes them.
  const std::string offer = ov::MakePairingOffer(
      "00112233445566778899aabbccddeeff", "5ada7e4bf6ddd9adb6626d32131c6b5c51a1e347a3478f53cfcf441b88eed12e");
  out["messages"] = Json{
      {"register", ov::SerializeMessage(Json{{"type", "register"},
                                             {"role", "viewer"},
                                             {"protocol", 3},
                                             {"sessionId", "123456789"},
                                             {"password", offer},
                                             {"build", "0.3.9"}})},
      {"authResponse", ov::SerializeMessage(Json{{"type", "authResponse"},
                                                 {"requestId", "0123456789abcdef0123456789abcdef"},
                                                 {"confirmation", std::string(64, 'c')}})},
      {"helloAck", ov::SerializeMessage(Json{{"op", "helloAck"},
                                             {"version", 3},
                                             {"build", "0.3.9"},
                                             {"captureStatus", true},
                                             {"inputStatus", true},
                                             {"clipboardSync", true},
                                             {"regionFrames", true},
                                             {"files", true},
                                             {"clipboard", false}})},
      {"frameAck", ov::SerializeMessage(Json{{"op", "frameAck"}, {"epoch", 2}, {"seq", 2147483647}})},
      {"frameRequest", ov::SerializeMessage(Json{{"op", "frameRequest"}, {"epoch", 2147483647}})},
      {"ping", ov::SerializeMessage(Json{{"op", "ping"}, {"token", 18446744073709551615ULL}})},
      {"permissions", ov::SerializeMessage(Json{{"op", "permissions"},
                                                {"control", false},
                                                {"files", false},
                                                {"clipboard", true}})},
      {"selectDisplay", ov::SerializeMessage(Json{{"op", "selectDisplay"}, {"selected", 1}, {"profile", 3}})},
      {"releaseInput", ov::SerializeMessage(Json{{"op", "releaseInput"}})},
  };
  out["regions"] = webpeer::RegionVectors();
  return out;
}

// ---- The serving loop ------------------------------------------------------------------------

struct Peer {
  bool isHost = false;
  std::string id;
  std::string password;
  std::string requestId;
  std::unique_ptr<ov::PakeExchange> pairing;
  std::shared_ptr<ov::CryptoSession> channel;
};

Json HostRelay(Peer& peer, const std::string& text) {
  const Json message = ov::ParseMessage(text);
  const std::string type = message.value("type", std::string());
  if (type == "connectRequest") {
    std::string nonce, viewerMessage;
    const std::string requestId = message.value("requestId", std::string());
    if (!ov::IsLowerHex(requestId, ov::kRequestIdHexLength)) return Json{{"error", "request"}};
    if (!ov::ParsePairingOffer(message.value("password", std::string()), nonce, viewerMessage)) {
      return Json{{"error", "offer"}};
    }
    peer.requestId = requestId;
    peer.pairing = ov::PakeExchange::Create(peer.password, peer.id, nonce, /*isHost=*/true);
    peer.pairing->Process(viewerMessage, requestId);
    return Json{{"send", ov::SerializeMessage(Json{{"type", "authChallenge"},
                                                   {"requestId", requestId},
                                                   {"message", peer.pairing->OwnMessageHex()},
                                                   {"confirmation", peer.pairing->OwnConfirmationHex()}})}};
  }
  if (type == "authResponse") {
    if (!peer.pairing || message.value("requestId", std::string()) != peer.requestId) {
      return Json{{"error", "unsolicited"}};
    }
    const bool confirmed = peer.pairing->CheckPeerConfirmation(message.at("confirmation").get<std::string>());
    Json reply{{"confirmed", confirmed}};
    if (confirmed) {
      peer.channel = peer.pairing->CreateChannel();
    } else {
      reply["send"] = ov::SerializeMessage(
          Json{{"type", "connectResponse"}, {"requestId", peer.requestId}, {"accepted", false}});
    }
    peer.pairing.reset();
    return reply;
  }
  return Json{{"error", "unexpected " + type}};
}

Json Handle(Peer& peer, const Json& command) {
  const std::string cmd = Str(command, "cmd");
  if (cmd == "parse") {
    try {
      return Json{{"ok", true},
                  {"json", ov::SerializeMessage(Describe(ov::ParseMessage(FromHex(Str(command, "text")))))}};
    } catch (const std::exception& e) {
      return Json{{"ok", false}, {"error", e.what()}};
    }
  }
  if (cmd == "requireInt") {
    Json message;
    try {
      message = ov::ParseMessage(FromHex(Str(command, "text")));
    } catch (const std::exception&) {
      return Json{{"error", "parse"}};
    }
    if (!message.is_object()) return Json{{"error", "not an object"}};
    const std::string name = Str(command, "name");
    if (!message.contains(name)) return Json{{"error", "missing"}};
    try {
      return Json{{"value", ov::RequireInt(message, name, command.at("min").get<std::int32_t>(),
                                           command.at("max").get<std::int32_t>())}};
    } catch (const std::exception& e) {
      return Json{{"error", e.what()}};
    }
  }
  if (cmd == "offer") {
    std::string nonce, message;
    const bool valid = ov::ParsePairingOffer(Str(command, "text"), nonce, message);
    return Json{{"valid", valid}, {"nonce", nonce}, {"message", message}};
  }
  if (cmd == "point") {
    const std::vector<std::uint8_t> point = FromHex(Str(command, "message"));
    const std::string name = "n";
    SPAKE2_CTX* ctx = SPAKE2_CTX_new(spake2_role_bob, reinterpret_cast<const std::uint8_t*>(name.data()),
                                     name.size(), reinterpret_cast<const std::uint8_t*>(name.data()), name.size());
    std::uint8_t own[32], key[64];
    std::size_t ownLength = 0, keyLength = 0;
    const std::uint8_t password[] = {'p', 'w'};
    bool accepted = false;
    if (ctx != nullptr && SPAKE2_generate_msg(ctx, own, &ownLength, sizeof own, password, sizeof password) == 1) {
      accepted = SPAKE2_process_msg(ctx, key, &keyLength, sizeof key, point.data(), point.size()) == 1;
    }
    SPAKE2_CTX_free(ctx);
    return Json{{"accepted", accepted}};
  }
  if (cmd == "normalize") {
    const std::string typedId = Str(command, "id");
    std::wstring wide;
    std::size_t i = 0;
    char32_t cp = 0;
    while (i < typedId.size() && ov::NextUtf8CodePoint(typedId, i, cp)) ov::AppendWide(wide, cp);
    const std::string id = ov::NormalizeDeviceIdInput(wide);
    const std::string password = ov::NormalizeSessionPassword(Str(command, "password"));
    return Json{{"id", id},
                {"idValid", ov::IsValidDeviceId(id)},
                {"password", password},
                {"passwordValid", ov::IsValidSessionPassword(password)}};
  }
  if (cmd == "host" || cmd == "viewer") {
    peer = Peer{};
    peer.isHost = cmd == "host";
    peer.id = Str(command, "id");
    peer.password = Str(command, "password");
    if (peer.isHost) return Json{{"ok", true}};
    const std::string nonce = Str(command, "nonce");
    peer.pairing = ov::PakeExchange::Create(peer.password, peer.id, nonce, /*isHost=*/false);
    return Json{{"offer", ov::MakePairingOffer(nonce, peer.pairing->OwnMessageHex())}};
  }
  if (cmd == "relay") {
    if (!peer.isHost) return Json{{"error", "not a host"}};
    return HostRelay(peer, Str(command, "text"));
  }
  if (cmd == "challenge") {
    if (peer.isHost || !peer.pairing) return Json{{"error", "not a viewer"}};
    peer.requestId = Str(command, "requestId");
    peer.pairing->Process(Str(command, "message"), peer.requestId);
    const bool confirmed = peer.pairing->CheckPeerConfirmation(Str(command, "confirmation"));
    Json reply{{"confirmed", confirmed}};
    if (confirmed) {
      reply["confirmation"] = peer.pairing->OwnConfirmationHex();
      peer.channel = peer.pairing->CreateChannel();
    }
    peer.pairing.reset();
    return reply;
  }
  if (cmd == "seal") {
    if (!peer.channel) return Json{{"error", "no channel"}};
    return Json{{"sealed", Hex(peer.channel->Seal(command.at("kind").get<std::uint8_t>(),
                                                  FromHex(Str(command, "data"))))}};
  }
  if (cmd == "open") {
    if (!peer.channel) return Json{{"error", "no channel"}};
    std::uint8_t kind = 0;
    std::vector<std::uint8_t> plaintext;
    if (!peer.channel->Unseal(FromHex(Str(command, "sealed")), kind, plaintext)) return Json{{"opened", false}};
    return Json{{"opened", true}, {"kind", kind}, {"data", Hex(plaintext)}};
  }
  if (cmd == "regionParse") return webpeer::ParseRegion(FromHex(Str(command, "message")));
  if (cmd == "decode") return webpeer::DecodeJpeg(FromHex(Str(command, "jpeg")));
  if (cmd == "regions") {
    Json stream = webpeer::RegionStream(command.at("epoch").get<std::uint32_t>(), command.at("width").get<int>(),
                                        command.at("height").get<int>(), command.at("pictures").get<int>(),
                                        command.at("skipFirst").get<bool>());
    if (peer.channel) {
      for (Json& step : stream) step["sealed"] = Hex(peer.channel->Seal(1, FromHex(step["message"].get<std::string>())));
    }
    return Json{{"stream", std::move(stream)}};
  }
  return Json{{"error", "unknown command"}};
}

int Serve() {
  Peer peer;
  std::string line;
  while (std::getline(std::cin, line)) {
    Json reply;
    try {
      reply = Handle(peer, Json::parse(line));
    } catch (const std::exception& e) {
      reply = Json{{"error", e.what()}};
    }
    // Error texts may quote the invalid bytes they met: those are replaced, never fatal.
    std::cout << reply.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n' << std::flush;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  try {
    if (mode == "vectors" && argc == 3) {
      std::ofstream file(argv[2], std::ios::binary | std::ios::trunc);
      file << Vectors().dump(1) << '\n';
      file.close();
      if (!file) throw std::runtime_error(std::string("cannot write ") + argv[2]);
      return 0;
    }
    if (mode == "serve" && argc == 2) return Serve();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "web_protocol_peer: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "usage: web_protocol_peer vectors FILE | serve\n");
  return 2;
}
