#include "windows_capture/wgc_source.h"

#include <cstring>

namespace ov {

WgcSource::WgcSource(std::unique_ptr<WgcPlatform> platform) : platform_(std::move(platform)) {}

WgcSource::~WgcSource() {
  Stop();
  if (runtimeInitialized_) platform_->UninitializeRuntime();
}

void WgcSource::Stop() noexcept {
  session_.reset();
  lastFrame_ = PixelBuffer{};
  display_ = DisplayInfo{};
  rect_ = ScreenRect{};
  startedAt_ = 0;
  poolSize_ = WgcSize{};
}

const PixelBuffer* WgcSource::GetFrame(const DisplayInfo& display, const ScreenRect& rect,
                                       std::uint32_t& error) {
  if (session_ && (display_.deviceName != display.deviceName || rect_ != rect)) Stop();
  if (!session_ && platform_->NowMs() < retryNotBefore_) {
    error = lastError_;
    return nullptr;
  }
  try {
    if (!session_) Start(display, rect);
    const PixelBuffer* frame = Read();
    error = lastError_;
    return frame;
  } catch (const WgcError& e) {
    lastError_ = e.hr();
  } catch (...) {
    lastError_ = wgc_error::kUnspecified;
  }
  Stop();
  retryNotBefore_ = platform_->NowMs() + kWgcRetryDelayMs;
  error = lastError_;
  return nullptr;
}

void WgcSource::Start(const DisplayInfo& display, const ScreenRect& rect) {
  if (!runtimeInitialized_) {
    const std::uint32_t hr = platform_->InitializeRuntime();
    if (hr & 0x80000000u) throw WgcError(hr);
    runtimeInitialized_ = true;
  }
  auto session = platform_->Start(display, rect);
  if (!session) throw WgcError(wgc_error::kUnspecified);
  const WgcSize pool = session->PoolSize();
  if (!SurfaceSizeAllowed(pool.width, pool.height)) throw WgcError(wgc_error::kInvalidArgument);
  session_ = std::move(session);
  poolSize_ = pool;
  display_ = display;
  rect_ = rect;
  startedAt_ = platform_->NowMs();
  lastError_ = 0;
}

namespace {

// Unmaps the staging texture on every way out of a read.
class MapGuard {
 public:
  explicit MapGuard(WgcFrame& frame) : frame_(frame) {}
  ~MapGuard() { frame_.Unmap(); }
  MapGuard(const MapGuard&) = delete;
  MapGuard& operator=(const MapGuard&) = delete;

 private:
  WgcFrame& frame_;
};

}  // namespace

const PixelBuffer* WgcSource::Read() {
  std::unique_ptr<WgcFrame> frame = session_->TryGetNextFrame();
  if (frame) {
    // A second waiting frame is newer: keep it and close the first.
    if (auto newer = session_->TryGetNextFrame()) frame = std::move(newer);
  }
  if (frame) {
    const WgcSize content = frame->ContentSize();
    if (content != poolSize_) throw WgcError(wgc_error::kContentSizeChanged);
    const WgcTextureDesc desc = frame->Describe();
    const std::int64_t texWidth = desc.width;
    const std::int64_t texHeight = desc.height;
    if (!desc.bgra8Unorm || !SurfaceSizeAllowed(texWidth, texHeight) ||
        texWidth < content.width || texHeight < content.height || desc.mipLevels != 1 ||
        desc.arraySize != 1 || desc.sampleCount != 1) {
      throw WgcError(wgc_error::kInvalidArgument);
    }
    std::uint32_t pitch = 0;
    const std::uint8_t* mapped = frame->MapStaging(desc, pitch);
    MapGuard unmap(*frame);
    if (mapped == nullptr || content.width <= 0 || content.height <= 0 ||
        content.width > texWidth || content.height > texHeight ||
        !SurfaceSizeAllowed(content.width, content.height) ||
        std::int64_t{pitch} < texWidth * 4 || std::int64_t{pitch} > kMaxMappedRowPitch) {
      throw WgcError(wgc_error::kInvalidArgument);
    }
    PixelBuffer next;
    next.width = content.width;
    next.height = content.height;
    const auto rowBytes = static_cast<std::size_t>(content.width) * 4;
    next.bytes.resize(rowBytes * static_cast<std::size_t>(content.height));
    for (std::size_t y = 0; y < static_cast<std::size_t>(content.height); ++y) {
      std::memcpy(next.bytes.data() + y * rowBytes, mapped + y * pitch, rowBytes);
    }
    lastFrame_ = std::move(next);
  }
  if (lastFrame_.Empty()) {
    if (platform_->NowMs() - startedAt_ > kWgcFirstFrameWaitMs) {
      throw WgcError(wgc_error::kFirstFrameTimeout);
    }
    lastError_ = wgc_error::kNoFrameYet;
    return nullptr;
  }
  lastError_ = 0;
  return &lastFrame_;
}

}  // namespace ov
