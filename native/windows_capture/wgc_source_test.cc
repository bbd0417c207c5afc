#include "windows_capture/wgc_source.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>

namespace ov {
namespace {

// A scripted frame pool. Frames are queued by the test; each carries its content size, texture
// description, row pitch and a fill byte.
struct FakeFrameShape {
  WgcSize content{64, 32};
  WgcTextureDesc desc{64, 32, true, 1, 1, 1};
  std::uint32_t pitch = 64 * 4 + 32;  // padded rows
  std::uint8_t fill = 0x40;
};

struct FakeWorld {
  std::uint64_t now = 100000;
  std::uint32_t initHr = 0;
  int initCalls = 0, uninitCalls = 0, starts = 0, sessionsAlive = 0, stagingCreated = 0;
  int framesClosed = 0, unmaps = 0;
  std::uint32_t startError = 0;  // thrown by Start when non-zero
  WgcSize itemSize{64, 32};
  std::deque<FakeFrameShape> pool;
  bool throwOnTake = false;
};

class FakeFrame : public WgcFrame {
 public:
  FakeFrame(FakeWorld& world, FakeFrameShape shape, bool& stagingMade)
      : world_(world), shape_(shape), stagingMade_(stagingMade) {}
  ~FakeFrame() override { ++world_.framesClosed; }
  WgcSize ContentSize() override { return shape_.content; }
  WgcTextureDesc Describe() override { return shape_.desc; }
  const std::uint8_t* MapStaging(const WgcTextureDesc& desc, std::uint32_t& rowPitch) override {
    if (!stagingMade_) {
      ++world_.stagingCreated;
      stagingMade_ = true;
    }
    // Exactly the bytes a mapping of this pitch and height covers, so over-reads are caught.
    memory_.assign(static_cast<std::size_t>(shape_.pitch) * desc.height, shape_.fill);
    rowPitch = shape_.pitch;
    return memory_.data();
  }
  void Unmap() noexcept override { ++world_.unmaps; }

 private:
  FakeWorld& world_;
  FakeFrameShape shape_;
  bool& stagingMade_;
  std::vector<std::uint8_t> memory_;
};

class FakeSession : public WgcSession {
 public:
  explicit FakeSession(FakeWorld& world) : world_(world) { ++world_.sessionsAlive; }
  ~FakeSession() override { --world_.sessionsAlive; }
  WgcSize PoolSize() const override { return world_.itemSize; }
  std::unique_ptr<WgcFrame> TryGetNextFrame() override {
    if (world_.throwOnTake) throw WgcError(0x887A0005);
    if (world_.pool.empty()) return nullptr;
    auto shape = world_.pool.front();
    world_.pool.pop_front();
    return std::make_unique<FakeFrame>(world_, shape, stagingMade_);
  }

 private:
  FakeWorld& world_;
  bool stagingMade_ = false;
};

class FakePlatform : public WgcPlatform {
 public:
  explicit FakePlatform(FakeWorld& world) : world_(world) {}
  std::uint32_t InitializeRuntime() override {
    ++world_.initCalls;
    return world_.initHr;
  }
  void UninitializeRuntime() noexcept override { ++world_.uninitCalls; }
  std::unique_ptr<WgcSession> Start(const DisplayInfo&, const ScreenRect&) override {
    ++world_.starts;
    if (world_.startError != 0) throw WgcError(world_.startError);
    return std::make_unique<FakeSession>(world_);
  }
  std::uint64_t NowMs() override { return world_.now; }

 private:
  FakeWorld& world_;
};

const DisplayInfo kDisplay{L"\\\\.\\DISPLAY1", ScreenRect{0, 0, 64, 32}, true};
const ScreenRect kRect{0, 0, 64, 32};

class WgcSourceTest : public ::testing::Test {
 protected:
  FakeWorld world;
  std::unique_ptr<WgcSource> source = std::make_unique<WgcSource>(std::make_unique<FakePlatform>(world));

  const PixelBuffer* Get(std::uint32_t& error, const ScreenRect& rect = kRect,
                         const DisplayInfo& display = kDisplay) {
    return source->GetFrame(display, rect, error);
  }
};

TEST_F(WgcSourceTest, DeliversTightlyPackedFramesAndKeepsTheLastOne) {
  world.pool.push_back(FakeFrameShape{});
  std::uint32_t error = 1;
  const PixelBuffer* frame = Get(error);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(frame->width, 64);
  EXPECT_EQ(frame->height, 32);
  ASSERT_EQ(frame->bytes.size(), 64u * 32u * 4u);
  EXPECT_EQ(frame->bytes.front(), 0x40);
  EXPECT_EQ(world.unmaps, 1);

  // No new frame: the kept one is handed out again, without any copy.
  frame = Get(error);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->bytes.front(), 0x40);
  EXPECT_EQ(world.unmaps, 1);

  // Two waiting frames: the newer one wins and both are closed.
  world.pool.push_back(FakeFrameShape{.fill = 0x51});
  world.pool.push_back(FakeFrameShape{.fill = 0x62});
  const int closedBefore = world.framesClosed;
  frame = Get(error);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->bytes.back(), 0x62);
  EXPECT_EQ(world.framesClosed, closedBefore + 2);
  EXPECT_EQ(world.starts, 1);
  EXPECT_EQ(world.stagingCreated, 1);  // one staging texture per start
  EXPECT_EQ(world.initCalls, 1);
}

TEST_F(WgcSourceTest, WaitsForAFirstFrameThenTimesOutAndBacksOff) {
  std::uint32_t error = 0;
  EXPECT_EQ(Get(error), nullptr);
  EXPECT_EQ(error, wgc_error::kNoFrameYet);
  EXPECT_TRUE(source->running());
  world.now += 3000;
  EXPECT_EQ(Get(error), nullptr);
  EXPECT_EQ(error, wgc_error::kNoFrameYet);  // 3000 ms is not "more than 3000"
  world.now += 1;
  EXPECT_EQ(Get(error), nullptr);
  EXPECT_EQ(error, wgc_error::kFirstFrameTimeout);
  EXPECT_FALSE(source->running());
  EXPECT_EQ(world.sessionsAlive, 0);
  EXPECT_EQ(source->retryNotBefore(), world.now + kWgcRetryDelayMs);

  // During the back-off every try reports the stored error without starting.
  world.pool.push_back(FakeFrameShape{});
  world.now += 4999;
  EXPECT_EQ(Get(error), nullptr);
  EXPECT_EQ(error, wgc_error::kFirstFrameTimeout);
  EXPECT_EQ(world.starts, 1);
  world.now += 1;
  ASSERT_NE(Get(error), nullptr);
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(world.starts, 2);
}

TEST_F(WgcSourceTest, StoresTheHresultOfAFailedStart) {
  world.startError = 0x80040154;  // class not registered, as under Wine
  std::uint32_t error = 0;
  EXPECT_EQ(Get(error), nullptr);
  EXPECT_EQ(error, 0x80040154u);
  EXPECT_EQ(source->lastError(), 0x80040154u);
  world.now += 100;
  EXPECT_EQ(Get(error), nullptr);
  EXPECT_EQ(world.starts, 1);

  // A failed runtime initialisation is reported the same way and retried after the back-off.
  FakeWorld w2;
  w2.initHr = 0x80010106;
  WgcSource other(std::make_unique<FakePlatform>(w2));
  EXPECT_EQ(other.GetFrame(kDisplay, kRect, error), nullptr);
  EXPECT_EQ(error, 0x80010106u);
  EXPECT_EQ(w2.starts, 0);
}

TEST_F(WgcSourceTest, RestartsAtOnceWhenTheDisplayChanges) {
  world.pool.push_back(FakeFrameShape{});
  std::uint32_t error = 0;
  ASSERT_NE(Get(error), nullptr);
  // New resolution: stopped and started again in the same call, no back-off.
  world.itemSize = WgcSize{80, 40};
  world.pool.push_back(FakeFrameShape{WgcSize{80, 40}, WgcTextureDesc{80, 40, true, 1, 1, 1}, 80 * 4, 0x33});
  const PixelBuffer* frame = Get(error, ScreenRect{0, 0, 80, 40});
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->width, 80);
  EXPECT_EQ(world.starts, 2);
  EXPECT_EQ(world.stagingCreated, 2);
  EXPECT_EQ(source->retryNotBefore(), 0u);
  // Another device name with the same rectangle restarts too.
  DisplayInfo other = kDisplay;
  other.deviceName = L"\\\\.\\DISPLAY2";
  Get(error, ScreenRect{0, 0, 80, 40}, other);
  EXPECT_EQ(world.starts, 3);
  EXPECT_EQ(world.sessionsAlive, 1);
}

TEST_F(WgcSourceTest, ContentSizeChangeAndBadTexturesRaise) {
  struct Case {
    const char* name;
    FakeFrameShape shape;
    std::uint32_t hr;
  };
  FakeFrameShape base;
  std::vector<Case> cases;
  {
    Case c{"content size", base, wgc_error::kContentSizeChanged};
    c.shape.content = WgcSize{63, 32};
    cases.push_back(c);
  }
  {
    Case c{"format", base, wgc_error::kInvalidArgument};
    c.shape.desc.bgra8Unorm = false;
    cases.push_back(c);
  }
  {
    Case c{"mips", base, wgc_error::kInvalidArgument};
    c.shape.desc.mipLevels = 2;
    cases.push_back(c);
  }
  {
    Case c{"samples", base, wgc_error::kInvalidArgument};
    c.shape.desc.sampleCount = 4;
    cases.push_back(c);
  }
  {
    Case c{"texture smaller than content", base, wgc_error::kInvalidArgument};
    c.shape.desc.width = 60;
    cases.push_back(c);
  }
  {
    Case c{"pitch too small", base, wgc_error::kInvalidArgument};
    c.shape.pitch = 64 * 4 - 4;
    cases.push_back(c);
  }
  {
    Case c{"pitch too large", base, wgc_error::kInvalidArgument};
    c.shape.pitch = 0x30004;
    cases.push_back(c);
  }
  for (const Case& c : cases) {
    FakeWorld w;
    WgcSource s(std::make_unique<FakePlatform>(w));
    w.pool.push_back(c.shape);
    std::uint32_t error = 0;
    EXPECT_EQ(s.GetFrame(kDisplay, kRect, error), nullptr) << c.name;
    EXPECT_EQ(error, c.hr) << c.name;
    EXPECT_FALSE(s.running()) << c.name;
    EXPECT_EQ(s.retryNotBefore(), w.now + kWgcRetryDelayMs) << c.name;
    EXPECT_EQ(w.sessionsAlive, 0) << c.name;
    EXPECT_EQ(w.unmaps, c.hr == wgc_error::kInvalidArgument && c.shape.pitch != base.pitch ? 1 : 0) << c.name;
  }
  // A pitch of exactly 0x30000 is accepted.
  FakeWorld w;
  w.itemSize = WgcSize{64, 2};
  WgcSource s(std::make_unique<FakePlatform>(w));
  w.pool.push_back(FakeFrameShape{WgcSize{64, 2}, WgcTextureDesc{64, 2, true, 1, 1, 1}, 0x30000, 7});
  std::uint32_t error = 0;
  EXPECT_NE(s.GetFrame(kDisplay, kRect, error), nullptr);
}

TEST_F(WgcSourceTest, OversizedItemAndTakeFailures) {
  world.itemSize = WgcSize{32768, 1025};
  std::uint32_t error = 0;
  EXPECT_EQ(Get(error), nullptr);
  EXPECT_EQ(error, wgc_error::kInvalidArgument);
  EXPECT_EQ(world.sessionsAlive, 0);

  world.itemSize = WgcSize{64, 32};
  world.now += kWgcRetryDelayMs;
  world.throwOnTake = true;
  EXPECT_EQ(Get(error), nullptr);
  EXPECT_EQ(error, 0x887A0005u);
}

TEST_F(WgcSourceTest, UnreachableDesktopAllowsAnImmediateRestartAndDestructionCleansUp) {
  world.startError = 0x80070005;
  std::uint32_t error = 0;
  EXPECT_EQ(Get(error), nullptr);
  EXPECT_NE(source->retryNotBefore(), 0u);
  source->StopAndAllowRetry();
  EXPECT_EQ(source->retryNotBefore(), 0u);
  world.startError = 0;
  world.pool.push_back(FakeFrameShape{});
  EXPECT_NE(Get(error), nullptr);
  EXPECT_EQ(world.sessionsAlive, 1);
  source.reset();
  EXPECT_EQ(world.sessionsAlive, 0);
  EXPECT_EQ(world.uninitCalls, 1);
}

}  // namespace
}  // namespace ov
