// The updater: one worker thread at a time runs a manifest check or the download of the announced
// release and publishes whole state records under a mutex; the user-interface thread takes them
// on its timer. States: 0 checking -> 1 up to date | 2 update required | 5 check failed;
// 2 -> 3 downloading -> 4 downloaded | 2 again with the failure's text.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "net/https_get.h"
#include "update/download_sink.h"
#include "update/manifest.h"
#include "update/update_service.h"

namespace ov {

inline constexpr char kUpdateDownloadFailedText[] = "Update download failed";

struct UpdaterOptions {
  // The update service and the release key; the defaults are this build's (service_config.h).
  std::string host;
  std::uint16_t port = 443;
  std::string releaseKey;  // Base64 of the 72-byte public blob
  std::string runningVersion;
  // The network; tests stand in for it. Default: HttpsGet.
  HttpsGetFunction get;
  // POSIX tests: extra trusted authorities for the default HttpsGet.
  std::string extraCaFile;
  // Saves the verified download. Must outlive the Updater; without one every download fails
  // with "Update download failed" after its verification.
  DownloadSink* sink = nullptr;
  // The folder the download is saved in. Default: DownloadsFolder().
  std::function<std::optional<std::filesystem::path>()> downloadsFolder;
  // The manifest path's cache-defeating tick, in milliseconds. Default: a steady clock.
  std::function<std::uint64_t()> tick;
};

// This build's options: kServiceHost, kServicePort, kReleasePublicKey, kRunningVersion, HttpsGet,
// DownloadsFolder. The sink is the caller's to set.
UpdaterOptions DefaultUpdaterOptions();

class Updater final : public UpdateService {
 public:
  explicit Updater(UpdaterOptions options);
  // Stops first.
  ~Updater() override;

  // UpdateService. All four are called from one thread (the user-interface thread).
  bool TakeState(UpdateSnapshot& out) override;
  bool Busy() override;
  // Ignored when stopped or busy. Publishes state 0 unless quiet, then checks on the worker.
  void StartCheck(bool quiet) override;
  // Ignored when stopped or busy; in state 2 publishes state 3 at 0 % and downloads on the
  // worker; in any other state does nothing.
  void StartDownload() override;
  // Sets the cancel flag (a running GET fails at its next read), joins the worker and refuses
  // every later job. Idempotent.
  void Stop() override;

  // The download job, run on the worker: GET, verify, save, publish 4; any failure publishes
  // state 2 again with the manifest's fields and the failure's text. `announced` holds the
  // fields of state 2.
  void Download(const UpdateSnapshot& announced);

 private:
  void Check();
  void Publish(const UpdateSnapshot& state);
  // Publishes `state` and clears `busy` in one step: the job's last act.
  void Finish(UpdateSnapshot state);
  HttpsGetRequest Request(std::string path, std::uint64_t limit) const;

  const UpdaterOptions options_;
  std::mutex mutex_;           // guards published_ and changed_
  UpdateSnapshot published_;
  bool changed_ = false;
  std::atomic<bool> cancel_{false};
  std::atomic<bool> busy_{false};
  std::thread worker_;
};

}  // namespace ov
