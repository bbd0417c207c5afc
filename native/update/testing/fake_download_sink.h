// A DownloadSink that keeps what it is given in memory, or fails with a chosen text.
#pragma once

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "update/download_sink.h"

namespace ov::testing {

class FakeDownloadSink final : public DownloadSink {
 public:
  struct Saved {
    std::vector<std::uint8_t> bytes;
    std::filesystem::path folder;
    std::string fileName;
    std::string sha256;
  };

  std::filesystem::path Save(std::span<const std::uint8_t> bytes, const std::filesystem::path& folder,
                             const std::string& fileName, std::string_view sha256Hex) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++calls_;
    if (!failure_.empty()) throw std::runtime_error(failure_);
    saved_.push_back({{bytes.begin(), bytes.end()}, folder, fileName, std::string(sha256Hex)});
    return folder / fileName;
  }

  // Every later Save throws std::runtime_error(text); an empty text saves again.
  void FailWith(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    failure_ = std::move(text);
  }
  int calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  std::vector<Saved> saved() {
    std::lock_guard<std::mutex> lock(mutex_);
    return saved_;
  }

 private:
  std::mutex mutex_;
  std::string failure_;
  int calls_ = 0;
  std::vector<Saved> saved_;
};

}  // namespace ov::testing
