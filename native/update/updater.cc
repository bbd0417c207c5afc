#include "update/updater.h"

#include <chrono>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "crypto/primitives.h"
#include "update/downloads_folder.h"
#include "update/manifest_verify.h"
#include "update/service_config.h"
#include "update/version.h"

namespace ov {
namespace {

// The failure's text, or `fallback` when it has none (or is not one of ours: out of memory).
std::string FailureText(const std::exception& e, const char* fallback) {
  if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) return fallback;
  const char* text = e.what();
  return text != nullptr && text[0] != '\0' ? text : fallback;
}

}  // namespace

UpdaterOptions DefaultUpdaterOptions() {
  UpdaterOptions options;
  options.host = kServiceHost;
  options.port = kServicePort;
  options.releaseKey = kReleasePublicKey;
  options.runningVersion = std::string(kRunningVersion);
  return options;
}

Updater::Updater(UpdaterOptions options) : options_([&] {
  if (!options.get) options.get = HttpsGet;
  if (!options.downloadsFolder) options.downloadsFolder = DownloadsFolder;
  if (!options.tick) {
    options.tick = [] {
      return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now().time_since_epoch())
                                            .count());
    };
  }
  return std::move(options);
}()) {}

Updater::~Updater() { Stop(); }

bool Updater::TakeState(UpdateSnapshot& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!changed_) return false;
  changed_ = false;
  out = published_;
  return true;
}

bool Updater::Busy() { return busy_.load(); }

void Updater::StartCheck(bool quiet) {
  if (cancel_.load() || busy_.exchange(true)) return;
  if (worker_.joinable()) worker_.join();
  if (!quiet) {
    UpdateSnapshot checking;
    checking.busy = true;
    Publish(checking);
  }
  try {
    worker_ = std::thread([this] { Check(); });
  } catch (const std::system_error&) {
    UpdateSnapshot failed;
    failed.state = UpdateState::CheckFailed;
    failed.error = kUpdateCheckFailedText;
    Finish(failed);
  }
}

void Updater::StartDownload() {
  if (cancel_.load() || busy_.exchange(true)) return;
  if (worker_.joinable()) worker_.join();
  UpdateSnapshot announced;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    announced = published_;
  }
  if (announced.state != UpdateState::UpdateRequired) {
    busy_ = false;
    return;
  }
  UpdateSnapshot downloading = announced;
  downloading.state = UpdateState::Downloading;
  downloading.busy = true;
  downloading.error.clear();
  downloading.percent = 0;
  Publish(downloading);
  try {
    worker_ = std::thread([this, announced] { Download(announced); });
  } catch (const std::system_error&) {
    announced.busy = false;
    UpdateSnapshot failed = announced;
    failed.error = kUpdateDownloadFailedText;
    Finish(failed);
  }
}

void Updater::Stop() {
  cancel_ = true;
  if (worker_.joinable()) worker_.join();
}

HttpsGetRequest Updater::Request(std::string path, std::uint64_t limit) const {
  HttpsGetRequest request;
  request.host = options_.host;
  request.port = options_.port;
  request.path = std::move(path);
  request.limit = limit;
  request.cancel = &cancel_;
  request.extraCaFile = options_.extraCaFile;
  return request;
}

void Updater::Check() {
  UpdateSnapshot result;
  try {
    const std::vector<std::uint8_t> body = options_.get(Request(ManifestPath(options_.tick()), kManifestMaxBytes));
    const ReleaseManifest manifest = VerifyManifest(
        std::string_view(reinterpret_cast<const char*>(body.data()), body.size()), options_.releaseKey);
    result.state = IsNewerVersion(manifest.version, options_.runningVersion) ? UpdateState::UpdateRequired
                                                                             : UpdateState::UpToDate;
    result.version = manifest.version;
    result.downloadPath = ReleasePath(manifest.version);
    result.sha256 = manifest.sha256;
    result.bytes = manifest.bytes;
  } catch (const std::exception& e) {
    result = UpdateSnapshot{};
    result.state = UpdateState::CheckFailed;
    result.error = FailureText(e, kUpdateCheckFailedText);
  }
  Finish(std::move(result));
}

void Updater::Download(const UpdateSnapshot& announced) {
  UpdateSnapshot result = announced;
  result.busy = false;
  result.percent = 0;
  result.file.clear();
  try {
    const ReleaseManifest manifest{announced.version, announced.bytes, announced.sha256};
    HttpsGetRequest request = Request(announced.downloadPath, announced.bytes);
    std::uint32_t shown = 0;
    request.progress = [&](std::uint64_t received) {
      const auto percent = static_cast<std::uint32_t>(
          announced.bytes == 0 ? 0 : std::min<std::uint64_t>(received * 100 / announced.bytes, 100));
      if (percent == shown) return;
      shown = percent;
      UpdateSnapshot progress = announced;
      progress.state = UpdateState::Downloading;
      progress.busy = true;
      progress.error.clear();
      progress.percent = percent;
      Publish(progress);
    };
    const std::vector<std::uint8_t> body = options_.get(request);
    if (cancel_.load()) throw std::runtime_error(kUpdateDownloadFailedText);
    VerifyReleaseBody(body, manifest);
    const std::optional<std::filesystem::path> folder = options_.downloadsFolder();
    if (!folder || options_.sink == nullptr) throw std::runtime_error(kUpdateDownloadFailedText);
    const std::string name = DownloadFileName(manifest.version, RandomHex(4));
    result.file = options_.sink->Save(body, *folder, name, manifest.sha256);
    result.state = UpdateState::Downloaded;
    result.error.clear();
  } catch (const std::exception& e) {
    result.state = UpdateState::UpdateRequired;
    result.file.clear();
    result.error = FailureText(e, kUpdateDownloadFailedText);
  }
  Finish(std::move(result));
}

void Updater::Publish(const UpdateSnapshot& state) {
  std::lock_guard<std::mutex> lock(mutex_);
  published_ = state;
  changed_ = true;
}

void Updater::Finish(UpdateSnapshot state) {
  state.busy = false;
  std::lock_guard<std::mutex> lock(mutex_);
  published_ = std::move(state);
  changed_ = true;
  busy_ = false;
}

}  // namespace ov
