#include "net/https_get.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/testing/test_trust.h"
#include "net/testing/ws_test_server.h"

namespace ov {
namespace {

using testing::HttpRequest;
using testing::TestCertificate;
using testing::TrustedCertificate;
using testing::WsPeer;
using testing::WsTestServer;

std::string Response(int status, const std::string& body, const std::string& extraHeaders = "") {
  return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
}

std::string Chunked(const std::string& body) {
  std::string out = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
  for (std::size_t at = 0; at < body.size(); at += 1000) {
    const std::string part = body.substr(at, 1000);
    char size[16];
    std::snprintf(size, sizeof size, "%zx", part.size());
    out += std::string(size) + "\r\n" + part + "\r\n";
  }
  return out + "0\r\n\r\n";
}

// What a GET ended with: the body, or the failure text.
struct Outcome {
  bool ok = false;
  std::string body;
  std::string error;
  std::vector<std::uint64_t> progress;
};

class HttpsGetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    certificate_ = new TestCertificate(testing::MakeTestCertificate());
    trusted_ = new TrustedCertificate(*certificate_);
  }
  static void TearDownTestSuite() {
    delete trusted_;
    delete certificate_;
  }
  void SetUp() override { ASSERT_TRUE(trusted_->ok()); }

  Outcome Get(const WsTestServer& server, const std::string& path, std::uint64_t limit,
              const std::atomic<bool>* cancel = nullptr) {
    Outcome outcome;
    HttpsGetRequest request;
    request.host = "localhost";
    request.port = server.port();
    request.path = path;
    request.limit = limit;
    request.cancel = cancel;
    request.extraCaFile = trusted_->options().extraCaFile;
    request.progress = [&outcome](std::uint64_t total) { outcome.progress.push_back(total); };
    try {
      const std::vector<std::uint8_t> body = HttpsGet(request);
      outcome.body.assign(body.begin(), body.end());
      outcome.ok = true;
    } catch (const std::runtime_error& e) {
      outcome.error = e.what();
    }
    return outcome;
  }

  // A server that answers every request with `answer(request)` written raw.
  static WsTestServer::Script Answer(std::function<std::string(const HttpRequest&)> answer) {
    return [answer](WsPeer& peer) {
      HttpRequest request;
      if (peer.ReadRequest(request)) peer.SendRaw(answer(request));
    };
  }

  static TestCertificate* certificate_;
  static TrustedCertificate* trusted_;
};

TestCertificate* HttpsGetTest::certificate_ = nullptr;
TrustedCertificate* HttpsGetTest::trusted_ = nullptr;

TEST_F(HttpsGetTest, SendsTheFixedRequestAndReturnsTheBodyWithProgress) {
  const std::string body(100000, 'b');
  WsTestServer server(Answer([&](const HttpRequest&) { return Response(200, body); }), certificate_);
  ASSERT_TRUE(server.listening());
  const Outcome outcome = Get(server, "/download/releases/0.4.0/Orvantis.exe", body.size());
  ASSERT_TRUE(outcome.ok) << outcome.error;
  EXPECT_EQ(outcome.body, body);
  ASSERT_FALSE(outcome.progress.empty());
  EXPECT_EQ(outcome.progress.back(), body.size());
  for (std::size_t i = 1; i < outcome.progress.size(); ++i) {
    EXPECT_GT(outcome.progress[i], outcome.progress[i - 1]);
    EXPECT_LE(outcome.progress[i] - outcome.progress[i - 1], kHttpsPieceBytes);
  }

  const std::vector<HttpRequest> requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/download/releases/0.4.0/Orvantis.exe");
  EXPECT_EQ(requests[0].headers.at("user-agent"), "Orvantis-Updater/1");
  EXPECT_EQ(requests[0].headers.at("cache-control"), "no-cache");
  EXPECT_EQ(requests[0].headers.at("host"), "localhost:" + std::to_string(server.port()));
  EXPECT_EQ(requests[0].headers.count("cookie"), 0u);
  EXPECT_EQ(requests[0].headers.count("authorization"), 0u);
}

// The limit, whether the length is announced or not, and every status but 200.
TEST_F(HttpsGetTest, LimitsAndStatusesDecideTheOutcome) {
  const std::string manifest(16384, 'm');
  const std::string tooLong(16385, 'm');
  struct Case {
    const char* name;
    std::string response;
    bool ok;
    const char* error;
    std::size_t size = 0;
  } cases[] = {
      {"exactly the limit", Response(200, manifest), true, "", manifest.size()},
      {"exactly the limit, chunked", Chunked(manifest), true, "", manifest.size()},
      {"one byte over", Response(200, tooLong), false, kUpdateVerificationFailedText},
      {"one byte over, chunked", Chunked(tooLong), false, kUpdateVerificationFailedText},
      {"empty 200", Response(200, ""), true, "", 0},
      {"redirect", Response(302, "moved", "Location: https://localhost/download/update.json\r\n"), false,
       kUpdateCheckFailedText},
      {"redirect over the limit", Response(301, tooLong, "Location: /download/x.json\r\n"), false,
       kUpdateCheckFailedText},
      {"not modified", Response(304, ""), false, kUpdateCheckFailedText},
      {"not found", Response(404, "no"), false, kUpdateCheckFailedText},
      {"authentication asked", Response(401, "", "WWW-Authenticate: Basic realm=\"x\"\r\n"), false,
       kUpdateCheckFailedText},
      {"server error", Response(500, "no"), false, kUpdateCheckFailedText},
      {"truncated body", Response(200, manifest).substr(0, 9000), false, kUpdateCheckFailedText},
      {"not HTTP", "SSH-2.0-OpenSSH\r\n\r\n", false, kUpdateCheckFailedText},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WsTestServer server(Answer([&](const HttpRequest&) { return c.response; }), certificate_);
    const Outcome outcome = Get(server, "/download/update.json?check=1", kHttpsShortBodyLimit);
    EXPECT_EQ(outcome.ok, c.ok) << outcome.error;
    EXPECT_EQ(outcome.error, c.error);
    EXPECT_EQ(outcome.body.size(), c.size);
    // Nothing is followed or retried.
    EXPECT_EQ(server.requests().size(), 1u);
  }
}

TEST_F(HttpsGetTest, RefusedPathsNeverConnect) {
  WsTestServer server(Answer([](const HttpRequest&) { return Response(200, "x"); }), certificate_);
  for (const char* path : {"", "/download", "/downloads/x", "/ws", "/download/a\r\nX: y", "/download/a\nb",
                           "/download/a#b", "/download/a\\b", "download/update.json"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(Get(server, path, 100).error, kUpdateVerificationFailedText);
  }
  EXPECT_TRUE(IsValidUpdatePath("/download/"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(server.accepted(), 0);
}

TEST_F(HttpsGetTest, AnUntrustedCertificateFails) {
  const TestCertificate stranger = testing::MakeTestCertificate();
  WsTestServer server(Answer([](const HttpRequest&) { return Response(200, "x"); }), &stranger);
  EXPECT_EQ(Get(server, "/download/update.json", 100).error, kUpdateCheckFailedText);
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(HttpsGetTest, CancellationBeforeTheRequestAndDuringTheBody) {
  std::atomic<bool> cancel{true};
  WsTestServer idle(Answer([](const HttpRequest&) { return Response(200, "x"); }), certificate_);
  EXPECT_EQ(Get(idle, "/download/update.json", 100, &cancel).error, kUpdateCheckFailedText);
  EXPECT_TRUE(idle.requests().empty());

  // A body that would take about a minute; the cancel arrives after the first pieces.
  cancel = false;
  std::atomic<bool> serverDone{false};
  WsTestServer slow(
      [&](WsPeer& peer) {
        HttpRequest request;
        if (!peer.ReadRequest(request)) return;
        const std::size_t total = 600 * 32768;
        peer.SendRaw("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(total) + "\r\n\r\n");
        const std::string piece(32768, 'z');
        for (int i = 0; i < 600 && !serverDone; ++i) {
          if (!peer.SendRaw(piece)) break;
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
      },
      certificate_);
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    cancel = true;
  });
  const Outcome outcome = Get(slow, "/download/releases/0.4.0/Orvantis.exe", 600 * 32768, &cancel);
  serverDone = true;
  canceller.join();
  EXPECT_EQ(outcome.error, kUpdateCheckFailedText);
  ASSERT_FALSE(outcome.progress.empty());
  EXPECT_LT(outcome.progress.back(), 600u * 32768u);
}

// A server that keeps each read well inside the receive timeout but takes 20 s for a short body
// runs into the 15 s body deadline.
TEST_F(HttpsGetTest, ASlowShortBodyMeetsItsDeadline) {
  std::atomic<bool> stop{false};
  WsTestServer server(
      [&](WsPeer& peer) {
        HttpRequest request;
        if (!peer.ReadRequest(request)) return;
        peer.SendRaw("HTTP/1.1 200 OK\r\nContent-Length: 40\r\n\r\n");
        for (int i = 0; i < 40 && !stop; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(500));
          if (!peer.SendRaw("d")) break;
        }
      },
      certificate_);
  const Outcome outcome = Get(server, "/download/update.json", kHttpsShortBodyLimit);
  stop = true;
  EXPECT_EQ(outcome.error, kUpdateCheckFailedText);
  ASSERT_FALSE(outcome.progress.empty());
  EXPECT_LT(outcome.progress.back(), 40u);
}

}  // namespace
}  // namespace ov
