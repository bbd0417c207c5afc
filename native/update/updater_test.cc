#include "update/updater.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <ostream>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "crypto/primitives.h"
#include "update/testing/fake_download_sink.h"
#include "update/testing/test_release_key.h"

namespace ov {

void PrintTo(const UpdateSnapshot& s, std::ostream* os) {
  *os << "{state " << static_cast<int>(s.state) << ", busy " << s.busy << ", \"" << s.version << "\", \""
      << s.downloadPath << "\", " << s.sha256 << ", " << s.bytes << " bytes, file " << s.file << ", error \""
      << s.error << "\", " << s.percent << "%}";
}

namespace {

using testing::FakeDownloadSink;
using testing::PayloadText;
using testing::TestReleaseKey;
using namespace std::chrono_literals;

std::vector<std::uint8_t> Release(std::size_t size, std::uint8_t fill = 0x90) {
  std::vector<std::uint8_t> body(size, fill);
  body[0] = 'M';
  body[1] = 'Z';
  return body;
}

std::string Sha256Hex(const std::vector<std::uint8_t>& body) {
  Sha256Stream digest;
  for (std::size_t at = 0; at < body.size(); at += kSha256ChunkLimit) {
    digest.Update(body.data() + at, std::min(kSha256ChunkLimit, body.size() - at));
  }
  return digest.FinishHex();
}

// The update service as the updater sees it: answers by path, records requests, and can hold a
// request until the test releases it.
class FakeService {
 public:
  using Answer = std::function<std::vector<std::uint8_t>(const HttpsGetRequest&)>;

  HttpsGetFunction Function() {
    return [this](const HttpsGetRequest& request) {
      Answer answer;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        requests_.push_back(request);
        answer = request.path.starts_with("/download/update.json") ? manifest_ : release_;
        if (hold_) {
          held_ = true;
          cv_.notify_all();
          // The cancel flag is polled, as HttpsGet reads it between pieces.
          while (!cv_.wait_for(lock, 5ms, [&] { return !hold_ || (request.cancel != nullptr && request.cancel->load()); })) {
          }
        }
      }
      if (request.cancel != nullptr && request.cancel->load()) throw std::runtime_error(kUpdateCheckFailedText);
      return answer(request);
    };
  }

  void SetManifest(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    manifest_ = [text](const HttpsGetRequest&) { return std::vector<std::uint8_t>(text.begin(), text.end()); };
  }
  void SetManifestAnswer(Answer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    manifest_ = std::move(answer);
  }
  // Serves `body` in pieces of 32768 bytes, reporting progress as HttpsGet does.
  void SetRelease(std::vector<std::uint8_t> body) {
    std::lock_guard<std::mutex> lock(mutex_);
    release_ = [body](const HttpsGetRequest& request) {
      for (std::size_t at = 0; at < body.size(); at += 32768) {
        if (request.progress) request.progress(std::min<std::size_t>(at + 32768, body.size()));
      }
      return body;
    };
  }
  void SetReleaseAnswer(Answer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    release_ = std::move(answer);
  }
  void Hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = true;
    held_ = false;
  }
  // Waits until a request is being held.
  void WaitHeld() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return held_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = false;
    cv_.notify_all();
  }
  std::vector<HttpsGetRequest> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  Answer manifest_ = [](const HttpsGetRequest&) -> std::vector<std::uint8_t> {
    throw std::runtime_error(kUpdateCheckFailedText);
  };
  Answer release_ = manifest_;
  bool hold_ = false;
  bool held_ = false;
  std::vector<HttpsGetRequest> requests_;
};

class UpdaterTest : public ::testing::Test {
 protected:
  UpdaterTest() {
    UpdaterOptions options;
    options.host = "updates.example";
    options.port = 8443;
    options.releaseKey = key_.publicBase64();
    options.runningVersion = "0.3.9";
    options.get = service_.Function();
    options.sink = &sink_;
    options.downloadsFolder = [this]() -> std::optional<std::filesystem::path> { return folder_; };
    options.tick = [] { return std::uint64_t{987654321}; };
    updater_ = std::make_unique<Updater>(std::move(options));
  }

  // Waits for the worker to end and returns the last published state.
  UpdateSnapshot Settle() {
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (updater_->Busy() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(updater_->Busy());
    updater_->TakeState(last_);
    return last_;
  }
  void Announce(const std::vector<std::uint8_t>& release, std::string_view version = "0.4.0") {
    service_.SetManifest(key_.Envelope(PayloadText(version, release.size(), Sha256Hex(release))));
    service_.SetRelease(release);
  }
  UpdateSnapshot CheckAndSettle(bool quiet = false) {
    updater_->StartCheck(quiet);
    return Settle();
  }

  TestReleaseKey key_;
  FakeService service_;
  FakeDownloadSink sink_;
  std::optional<std::filesystem::path> folder_ = std::filesystem::path("downloads-folder");
  std::unique_ptr<Updater> updater_;
  UpdateSnapshot last_;
};

TEST_F(UpdaterTest, TheCheckComparesTheAnnouncedVersionWithTheRunningOne) {
  const std::vector<std::uint8_t> release = Release(65536);
  struct Case {
    const char* version;
    UpdateState state;
  } cases[] = {
      {"0.3.9", UpdateState::UpToDate},       {"0.3.8", UpdateState::UpToDate},
      {"0.2.99", UpdateState::UpToDate},      {"0.3.10", UpdateState::UpdateRequired},
      {"0.4.0", UpdateState::UpdateRequired}, {"1.0.0", UpdateState::UpdateRequired},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    Announce(release, c.version);
    const UpdateSnapshot state = CheckAndSettle();
    EXPECT_EQ(state.state, c.state);
    EXPECT_EQ(state.version, c.version);
    EXPECT_EQ(state.downloadPath, "/download/releases/" + std::string(c.version) + "/Orvantis.exe");
    EXPECT_EQ(state.sha256, Sha256Hex(release));
    EXPECT_EQ(state.bytes, 65536u);
    EXPECT_EQ(state.error, "");
    EXPECT_FALSE(state.busy);
  }
  const HttpsGetRequest request = service_.requests().back();
  EXPECT_EQ(request.host, "updates.example");
  EXPECT_EQ(request.port, 8443);
  EXPECT_EQ(request.path, "/download/update.json?check=987654321");
  EXPECT_EQ(request.limit, 16384u);
}

TEST_F(UpdaterTest, AFailedCheckPublishesItsTextAndClearsTheFields) {
  const std::string digest = Sha256Hex(Release(65536));
  struct Case {
    const char* name;
    std::function<void()> arrange;
    const char* error;
  } cases[] = {
      {"network", [&] { service_.SetManifestAnswer([](const HttpsGetRequest&) -> std::vector<std::uint8_t> {
                         throw std::runtime_error(kUpdateCheckFailedText);
                       }); },
       "Update check failed"},
      {"oversized", [&] { service_.SetManifestAnswer([](const HttpsGetRequest&) -> std::vector<std::uint8_t> {
                           throw std::runtime_error(kUpdateVerificationFailedText);
                         }); },
       "Update verification failed"},
      {"failure without text", [&] { service_.SetManifestAnswer([](const HttpsGetRequest&) -> std::vector<std::uint8_t> {
                                      throw std::runtime_error("");
                                    }); },
       "Update check failed"},
      {"0.03.9", [&] { service_.SetManifest(key_.Envelope(PayloadText("0.03.9", 65536, digest))); },
       "manifest version"},
      {"65535 bytes", [&] { service_.SetManifest(key_.Envelope(PayloadText("0.4.0", 65535, digest))); },
       "manifest size"},
      {"another key", [&] { service_.SetManifest(TestReleaseKey().Envelope(PayloadText("0.4.0", 65536, digest))); },
       "manifest signature"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Announce(Release(65536));
    ASSERT_EQ(CheckAndSettle().state, UpdateState::UpdateRequired);
    c.arrange();
    UpdateSnapshot expected;
    expected.state = UpdateState::CheckFailed;
    expected.error = c.error;
    EXPECT_EQ(CheckAndSettle(), expected);
  }
}

// A loud check shows "checking" while it runs; a quiet one keeps the card as it was, and a quiet
// recheck that fails moves 1 to 5, closing the gate.
TEST_F(UpdaterTest, QuietChecksDoNotPublishCheckingAndTheirFailuresShow) {
  Announce(Release(65536), "0.3.9");
  service_.Hold();
  updater_->StartCheck(false);
  service_.WaitHeld();
  UpdateSnapshot state;
  ASSERT_TRUE(updater_->TakeState(state));
  EXPECT_EQ(state.state, UpdateState::Checking);
  EXPECT_TRUE(updater_->Busy());
  updater_->StartCheck(false);  // ignored: one job at a time
  service_.Release();
  EXPECT_EQ(Settle().state, UpdateState::UpToDate);
  EXPECT_EQ(service_.requests().size(), 1u);

  service_.SetManifestAnswer([](const HttpsGetRequest&) -> std::vector<std::uint8_t> {
    throw std::runtime_error(kUpdateCheckFailedText);
  });
  service_.Hold();
  updater_->StartCheck(true);
  service_.WaitHeld();
  EXPECT_FALSE(updater_->TakeState(state));  // nothing published while it runs
  service_.Release();
  const UpdateSnapshot failed = Settle();
  EXPECT_EQ(failed.state, UpdateState::CheckFailed);
  EXPECT_EQ(failed.error, "Update check failed");
}

TEST_F(UpdaterTest, TheDownloadReportsProgressAndSavesTheVerifiedBytes) {
  const std::vector<std::uint8_t> release = Release(200000, 0x33);
  Announce(release);
  ASSERT_EQ(CheckAndSettle().state, UpdateState::UpdateRequired);

  // Pieces of 32768 bytes reach 16, 32, 49, 65, 81, 98 and 100 percent.
  std::vector<std::uint32_t> percents;
  service_.SetReleaseAnswer([&](const HttpsGetRequest& request) {
    for (std::size_t at = 0; at < release.size(); at += 32768) {
      request.progress(std::min<std::size_t>(at + 32768, release.size()));
      UpdateSnapshot seen;
      if (updater_->TakeState(seen)) {
        EXPECT_EQ(seen.state, UpdateState::Downloading);
        EXPECT_EQ(seen.version, "0.4.0");
        percents.push_back(seen.percent);
      }
    }
    return release;
  });
  updater_->StartDownload();
  const UpdateSnapshot done = Settle();
  EXPECT_EQ(percents, (std::vector<std::uint32_t>{16, 32, 49, 65, 81, 98, 100}));
  ASSERT_EQ(done.state, UpdateState::Downloaded) << done.error;
  EXPECT_EQ(done.error, "");
  EXPECT_EQ(done.version, "0.4.0");

  const std::vector<FakeDownloadSink::Saved> saved = sink_.saved();
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(saved[0].bytes, release);
  EXPECT_EQ(saved[0].folder, std::filesystem::path("downloads-folder"));
  EXPECT_TRUE(std::regex_match(saved[0].fileName, std::regex("Kestrova-0\\.4\\.0-[0-9a-f]{8}\\.exe")));
  EXPECT_EQ(saved[0].sha256, Sha256Hex(release));
  EXPECT_EQ(done.file, std::filesystem::path("downloads-folder") / saved[0].fileName);
  const HttpsGetRequest request = service_.requests().back();
  EXPECT_EQ(request.path, "/download/releases/0.4.0/Orvantis.exe");
  EXPECT_EQ(request.limit, 200000u);

  // Only state 2 downloads.
  updater_->StartDownload();
  EXPECT_FALSE(updater_->Busy());
  EXPECT_EQ(service_.requests().size(), 2u);
}

// Every failed download returns to state 2 with the announcement kept, its text shown and
// nothing saved.
TEST_F(UpdaterTest, AFailedDownloadReturnsToUpdateRequired) {
  const std::vector<std::uint8_t> release = Release(65536);
  std::vector<std::uint8_t> otherBytes = release;
  otherBytes[100] ^= 1;
  std::vector<std::uint8_t> notMz = release;
  notMz[0] = 'Z';
  const std::vector<std::uint8_t> shorter(release.begin(), release.end() - 1);
  auto serve = [&](std::vector<std::uint8_t> body) { return [&, body] { service_.SetRelease(body); }; };
  struct Case {
    const char* name;
    std::function<void()> arrange;
    const char* error;
    int saves;  // calls reaching the sink
  } cases[] = {
      {"another digest", serve(otherBytes), "Update verification failed", 0},
      {"no MZ", serve(notMz), "Update verification failed", 0},
      {"one byte short", serve(shorter), "Update verification failed", 0},
      {"network", [&] { service_.SetReleaseAnswer([](const HttpsGetRequest&) -> std::vector<std::uint8_t> {
                         throw std::runtime_error(kUpdateCheckFailedText);
                       }); },
       "Update check failed", 0},
      {"no Downloads folder", [&] { service_.SetRelease(release); folder_.reset(); }, "Update download failed", 0},
      {"the store refuses", [&] { service_.SetRelease(release); sink_.FailWith("Cannot finalize file; destination may already exist"); },
       "Cannot finalize file; destination may already exist", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Announce(release);
    ASSERT_EQ(CheckAndSettle().state, UpdateState::UpdateRequired);
    const UpdateSnapshot announced = last_;
    const int callsBefore = sink_.calls();
    c.arrange();
    updater_->StartDownload();
    UpdateSnapshot expected = announced;
    expected.error = c.error;
    EXPECT_EQ(Settle(), expected);
    EXPECT_EQ(sink_.calls() - callsBefore, c.saves);
    EXPECT_TRUE(sink_.saved().empty());
    folder_ = std::filesystem::path("downloads-folder");
    sink_.FailWith("");
  }
}

TEST_F(UpdaterTest, ASecondUpdateWhileDownloadingIsIgnoredAndStopEndsTheDownload) {
  Announce(Release(65536));
  ASSERT_EQ(CheckAndSettle().state, UpdateState::UpdateRequired);
  service_.Hold();
  updater_->StartDownload();
  service_.WaitHeld();
  UpdateSnapshot state;
  ASSERT_TRUE(updater_->TakeState(state));
  EXPECT_EQ(state.state, UpdateState::Downloading);
  EXPECT_EQ(state.percent, 0u);
  updater_->StartDownload();
  updater_->StartCheck(false);
  EXPECT_EQ(service_.requests().size(), 2u);  // the check and the one download

  // The held request ends when it sees the cancel flag, as HttpsGet does between reads.
  updater_->Stop();
  EXPECT_FALSE(updater_->Busy());
  ASSERT_TRUE(updater_->TakeState(state));
  EXPECT_EQ(state.state, UpdateState::UpdateRequired);
  EXPECT_EQ(sink_.calls(), 0);
  updater_->StartCheck(false);  // refused after Stop
  updater_->StartDownload();
  EXPECT_FALSE(updater_->Busy());
  EXPECT_EQ(service_.requests().size(), 2u);
}

}  // namespace
}  // namespace ov
