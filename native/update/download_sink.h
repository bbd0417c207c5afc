// Where a verified download is saved: the safe-write file store, behind the narrow interface the
// updater needs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace ov {

class DownloadSink {
 public:
  DownloadSink() = default;
  DownloadSink(const DownloadSink&) = delete;
  DownloadSink& operator=(const DownloadSink&) = delete;
  virtual ~DownloadSink() = default;

  // Saves `bytes` as `fileName` inside `folder` and returns the final path. The contract of the
  // implementation: the name is checked as any received file name is; nothing that exists is
  // ever replaced; the data goes to a temporary file beside the destination, in pieces at
  // increasing offsets; its SHA-256 must equal `sha256Hex`; it is flushed, marked as coming from
  // the Internet zone (origin: the service host), and moved into place. Any failure throws
  // std::runtime_error with the store's own failure text and leaves nothing on disk. Called on
  // the updater's worker thread, one call at a time.
  virtual std::filesystem::path Save(std::span<const std::uint8_t> bytes, const std::filesystem::path& folder,
                                     const std::string& fileName, std::string_view sha256Hex) = 0;
};

}  // namespace ov
