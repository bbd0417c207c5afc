// The Windows.Graphics.Capture backend's state machine: start, poll, keep the last picture, back
// off after errors and restart when the display changes. The Windows Runtime calls sit behind
// WgcPlatform (wgc_platform_win.cc); tests drive the machine with a scripted platform.
//
// A WgcSource and everything it creates are used by one thread only.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>

#include "screen/capture_types.h"

namespace ov {

// HRESULTs the backend stores as its last error.
namespace wgc_error {
inline constexpr std::uint32_t kNotSupported = 0x80070032;
inline constexpr std::uint32_t kInvalidArgument = 0x80070057;
inline constexpr std::uint32_t kContentSizeChanged = 0x800704D5;
inline constexpr std::uint32_t kFirstFrameTimeout = 0x800705B4;
inline constexpr std::uint32_t kNoFrameYet = 0x800703E5;
inline constexpr std::uint32_t kUnspecified = 0x80004005;
}  // namespace wgc_error

// Milliseconds of back-off after any raised error, and the wait for a first frame.
inline constexpr std::uint64_t kWgcRetryDelayMs = 5000;
inline constexpr std::uint64_t kWgcFirstFrameWaitMs = 3000;

// A failure of a WGC step, carrying its HRESULT.
class WgcError : public std::exception {
 public:
  explicit WgcError(std::uint32_t hr) noexcept : hr_(hr) {}
  std::uint32_t hr() const noexcept { return hr_; }
  const char* what() const noexcept override { return "capture backend"; }

 private:
  std::uint32_t hr_;
};

struct WgcSize {
  std::int32_t width = 0;
  std::int32_t height = 0;
  friend bool operator==(const WgcSize&, const WgcSize&) = default;
};

// What ReadFrame needs to know of a frame's texture.
struct WgcTextureDesc {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool bgra8Unorm = false;
  std::uint32_t mipLevels = 0;
  std::uint32_t arraySize = 0;
  std::uint32_t sampleCount = 0;
};

// One frame taken from the frame pool; closed when destroyed.
class WgcFrame {
 public:
  virtual ~WgcFrame() = default;
  virtual WgcSize ContentSize() = 0;
  // The description of the frame's surface texture. Throws WgcError.
  virtual WgcTextureDesc Describe() = 0;
  // Copies the frame into the session's staging texture (created from `desc` on the first frame
  // of the session and reused afterwards) and maps it for reading. The mapping stays valid
  // until Unmap or destruction. Throws WgcError.
  virtual const std::uint8_t* MapStaging(const WgcTextureDesc& desc, std::uint32_t& rowPitch) = 0;
  virtual void Unmap() noexcept = 0;
};

// A started capture session; destroying it stops the capture and releases everything.
class WgcSession {
 public:
  virtual ~WgcSession() = default;
  // The capture item's size when the session started (the frame pool's size).
  virtual WgcSize PoolSize() const = 0;
  // The next waiting frame without blocking, or null. Throws WgcError.
  virtual std::unique_ptr<WgcFrame> TryGetNextFrame() = 0;
};

class WgcPlatform {
 public:
  virtual ~WgcPlatform() = default;
  // Initialises the Windows Runtime for the multithreaded apartment; returns its HRESULT.
  virtual std::uint32_t InitializeRuntime() = 0;
  virtual void UninitializeRuntime() noexcept = 0;
  // Starts capturing the monitor of `rect` (support check, monitor lookup and name check,
  // capture item, Direct3D device, free-threaded frame pool of 2 B8G8R8A8 buffers, session
  // without cursor, start). Throws WgcError.
  virtual std::unique_ptr<WgcSession> Start(const DisplayInfo& display, const ScreenRect& rect) = 0;
  // Milliseconds of a monotonic tick (GetTickCount64 on Windows).
  virtual std::uint64_t NowMs() = 0;
};

class WgcSource {
 public:
  explicit WgcSource(std::unique_ptr<WgcPlatform> platform);
  ~WgcSource();
  WgcSource(const WgcSource&) = delete;
  WgcSource& operator=(const WgcSource&) = delete;

  // The newest picture of the display, or null; `error` receives the last error (the stored one
  // while backing off). The picture stays valid until the next call or Stop.
  const PixelBuffer* GetFrame(const DisplayInfo& display, const ScreenRect& rect,
                              std::uint32_t& error);

  // Stops the session (no back-off). The retry time is kept.
  void Stop() noexcept;
  // Stops the session and allows a start at once (the desktop became unreachable).
  void StopAndAllowRetry() noexcept {
    Stop();
    retryNotBefore_ = 0;
  }

  bool running() const noexcept { return session_ != nullptr; }
  std::uint64_t retryNotBefore() const noexcept { return retryNotBefore_; }
  std::uint32_t lastError() const noexcept { return lastError_; }

 private:
  void Start(const DisplayInfo& display, const ScreenRect& rect);
  const PixelBuffer* Read();

  std::unique_ptr<WgcPlatform> platform_;
  bool runtimeInitialized_ = false;
  std::uint64_t retryNotBefore_ = 0;
  std::uint64_t startedAt_ = 0;
  DisplayInfo display_;
  ScreenRect rect_;
  std::unique_ptr<WgcSession> session_;
  WgcSize poolSize_;
  PixelBuffer lastFrame_;
  std::uint32_t lastError_ = 0;
};

}  // namespace ov
