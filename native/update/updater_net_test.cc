// The updater with the platform's own HTTPS GET (WinHTTP under Wine, Beast elsewhere) against a
// local HTTPS server with a certificate made for the run.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crypto/primitives.h"
#include "net/testing/test_trust.h"
#include "net/testing/ws_test_server.h"
#include "update/testing/fake_download_sink.h"
#include "update/testing/test_release_key.h"
#include "update/updater.h"

namespace ov {
namespace {

using namespace std::chrono_literals;

std::string Sha256Hex(const std::string& body) {
  Sha256Stream digest;
  for (std::size_t at = 0; at < body.size(); at += kSha256ChunkLimit) {
    digest.Update(body.data() + at, std::min(kSha256ChunkLimit, body.size() - at));
  }
  return digest.FinishHex();
}

TEST(UpdaterOverHttps, ChecksDownloadsAndRefusesWhatItMust) {
  const testing::TestCertificate certificate = testing::MakeTestCertificate();
  testing::TrustedCertificate trusted(certificate);
  ASSERT_TRUE(trusted.ok());
  const testing::TestReleaseKey key;

  // Answers by path without the query: a raw HTTP response each.
  std::mutex mutex;
  std::map<std::string, std::string> answers;
  auto ok = [](const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  };
  testing::WsTestServer server(
      [&](testing::WsPeer& peer) {
        testing::HttpRequest request;
        if (!peer.ReadRequest(request)) return;
        std::string answer = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        {
          std::lock_guard<std::mutex> lock(mutex);
          const auto found = answers.find(request.target.substr(0, request.target.find('?')));
          if (found != answers.end()) answer = found->second;
        }
        peer.SendRaw(answer);
      },
      &certificate);
  ASSERT_TRUE(server.listening());
  auto serve = [&](const std::string& path, const std::string& response) {
    std::lock_guard<std::mutex> lock(mutex);
    answers[path] = response;
  };

  testing::FakeDownloadSink sink;
  UpdaterOptions options = DefaultUpdaterOptions();
  options.host = "localhost";
  options.port = server.port();
  options.releaseKey = key.publicBase64();
  options.extraCaFile = trusted.options().extraCaFile;
  options.sink = &sink;
  options.downloadsFolder = [] { return std::optional<std::filesystem::path>("Downloads"); };
  Updater updater(std::move(options));
  auto run = [&](auto start) {
    start();
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (updater.Busy() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
    UpdateSnapshot state;
    updater.TakeState(state);
    return state;
  };
  auto check = [&] { return run([&] { updater.StartCheck(false); }); };

  std::string release(150000, 'r');
  release[0] = 'M';
  release[1] = 'Z';
  const std::string digest = Sha256Hex(release);
  serve("/download/update.json", ok(key.Envelope(testing::PayloadText("0.3.9", release.size(), digest))));
  EXPECT_EQ(check().state, UpdateState::UpToDate);

  serve("/download/update.json", ok(key.Envelope(testing::PayloadText("0.3.10", release.size(), digest))));
  serve("/download/releases/0.3.10/Orvantis.exe", ok(release));
  ASSERT_EQ(check().state, UpdateState::UpdateRequired);
  const UpdateSnapshot downloaded = run([&] { updater.StartDownload(); });
  ASSERT_EQ(downloaded.state, UpdateState::Downloaded) << downloaded.error;
  const std::vector<testing::FakeDownloadSink::Saved> saved = sink.saved();
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(std::string(saved[0].bytes.begin(), saved[0].bytes.end()), release);

  // A release that is not the announced one saves nothing.
  std::string other = release;
  other[70000] = 'x';
  serve("/download/releases/0.3.10/Orvantis.exe", ok(other));
  ASSERT_EQ(check().state, UpdateState::UpdateRequired);
  EXPECT_EQ(run([&] { updater.StartDownload(); }).error, "Update verification failed");
  EXPECT_EQ(sink.saved().size(), 1u);

  // A redirect is not followed; a manifest response of 16385 bytes is refused.
  serve("/download/update.json",
        "HTTP/1.1 302 Found\r\nLocation: /download/other.json\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  serve("/download/other.json", ok(key.Envelope(testing::PayloadText("0.3.9", release.size(), digest))));
  EXPECT_EQ(check().error, "Update check failed");
  serve("/download/update.json", ok(std::string(16385, ' ')));
  EXPECT_EQ(check().error, "Update verification failed");
  for (const testing::HttpRequest& request : server.requests()) EXPECT_NE(request.target, "/download/other.json");
}

}  // namespace
}  // namespace ov
