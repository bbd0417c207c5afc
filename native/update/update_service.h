// The controller's view of the updater: its published state, taken on the 500 ms tick, and the
// requests to start a background check or the download. Implemented by ov::Updater; the
// controller's tests stand in for it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace ov {

// The updater's states.
enum class UpdateState : std::uint32_t {
  Checking = 0,
  UpToDate = 1,
  UpdateRequired = 2,
  Downloading = 3,
  Downloaded = 4,
  CheckFailed = 5,
};

// One published state, copied whole.
struct UpdateSnapshot {
  UpdateState state = UpdateState::Checking;
  bool busy = false;            // a check or a download ran when this record was published
  std::string version;          // the manifest's "version" as received (states 2, 3, 4)
  std::string downloadPath;     // the release's URL path (states 2, 3, 4)
  std::string sha256;           // the manifest's digest (states 2, 3, 4)
  std::uint32_t bytes = 0;      // the manifest's size (states 2, 3, 4)
  std::filesystem::path file;   // where the download was saved (state 4)
  std::string error;            // the last failure's text (English key), empty when none
  std::uint32_t percent = 0;    // download progress 0 to 100 (state 3)

  friend bool operator==(const UpdateSnapshot&, const UpdateSnapshot&) = default;
};

class UpdateService {
 public:
  UpdateService() = default;
  UpdateService(const UpdateService&) = delete;
  UpdateService& operator=(const UpdateService&) = delete;
  virtual ~UpdateService() = default;

  // UI thread: copies the published state into `out` when it changed since the last call;
  // returns whether it changed.
  virtual bool TakeState(UpdateSnapshot& out) = 0;
  // Whether a check or download runs now.
  virtual bool Busy() = 0;
  // Starts a background manifest check; ignored while a job runs or after Stop. A quiet check
  // does not publish "checking" first.
  virtual void StartCheck(bool quiet) = 0;
  // Starts the download of the announced release; ignored while a job runs, after Stop, and in
  // any state but UpdateRequired.
  virtual void StartDownload() = 0;
  // Stops the worker and refuses later jobs; called once before the controller is destroyed.
  virtual void Stop() = 0;
};

}  // namespace ov
