#include "app/send_queue.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace ov {
namespace {

SendItem Item(std::uint8_t kind, std::size_t size, std::uint8_t fill = 0) {
  SendItem item;
  item.kind = kind;
  if (kind == kRelayItemKind) {
    item.text.assign(size, 'r');
  } else {
    item.payload.assign(size, fill);
  }
  return item;
}

constexpr std::uint8_t kControl = static_cast<std::uint8_t>(SealedKind::Control);

// A relay text may carry a pairing confirmation: moving an item leaves no copy of a short text
// behind, and overwriting one wipes the old text first.
TEST(SendQueueTest, ItemsLeaveNoCopyOfTheirTextBehind) {
  SendItem first;
  first.text = "conf:0123456";  // short enough to live inside the string object
  const char* inside = first.text.data();
  SendItem moved(std::move(first));
  EXPECT_EQ(moved.text, "conf:0123456");
  EXPECT_TRUE(first.text.empty());
  for (int i = 0; i < 12; ++i) EXPECT_EQ(inside[i], '\0') << i;

  // A short old text lives inside the target's string object, which a longer new text leaves
  // for a buffer of its own: none of the old characters stays there (the string may keep its
  // capacity in that place once it holds a buffer).
  const std::string secret = "old:secret!";
  SendItem target;
  target.text = secret;
  const char* old = target.text.data();
  SendItem longer;
  longer.text = std::string(64, 'c');
  target = std::move(longer);
  EXPECT_EQ(target.text, std::string(64, 'c'));
  ASSERT_NE(target.text.data(), old) << "the new text must not reuse the old characters' place";
  for (std::size_t i = 0; i < secret.size(); ++i) EXPECT_NE(old[i], secret[i]) << i;
}

TEST(SendQueueTest, RefusesWhileNotSendingAndOversizedItems) {
  SendQueue queue;
  EXPECT_FALSE(queue.Enqueue(Item(kControl, 10)));
  queue.Start();
  EXPECT_FALSE(queue.Enqueue(Item(kControl, 8388609)));
  EXPECT_FALSE(queue.Enqueue(Item(kRelayItemKind, 8388609)));
  EXPECT_TRUE(queue.Enqueue(Item(kControl, 8388608)));
  queue.Stop();
  EXPECT_FALSE(queue.Enqueue(Item(kControl, 1)));
}

TEST(SendQueueTest, HoldsAtMost128Items) {
  SendQueue queue;
  queue.Start();
  for (int i = 0; i < 128; ++i) ASSERT_TRUE(queue.Enqueue(Item(kControl, 1)));
  EXPECT_FALSE(queue.Enqueue(Item(kControl, 1)));
  EXPECT_FALSE(queue.Enqueue(Item(kFrameItemKind, 1))) << "no frame at the tail to replace";
  EXPECT_EQ(queue.Size(), 128u);
}

TEST(SendQueueTest, FrameAtAFullQueuesTailIsStillReplaced) {
  SendQueue queue;
  queue.Start();
  for (int i = 0; i < 127; ++i) ASSERT_TRUE(queue.Enqueue(Item(kControl, 1)));
  ASSERT_TRUE(queue.Enqueue(Item(kFrameItemKind, 5, 1)));
  EXPECT_TRUE(queue.Enqueue(Item(kFrameItemKind, 7, 2)));
  EXPECT_EQ(queue.Size(), 128u);
  EXPECT_EQ(queue.Bytes(), 127u + 7u);
}

TEST(SendQueueTest, HoldsAtMost16MiB) {
  SendQueue queue;
  queue.Start();
  ASSERT_TRUE(queue.Enqueue(Item(kControl, 8388608)));
  ASSERT_TRUE(queue.Enqueue(Item(kRelayItemKind, 8388608)));
  EXPECT_EQ(queue.Bytes(), 16777216u);
  EXPECT_FALSE(queue.Enqueue(Item(kControl, 1)));
  ASSERT_TRUE(queue.WaitPop().has_value());
  EXPECT_EQ(queue.Bytes(), 8388608u);
  EXPECT_TRUE(queue.Enqueue(Item(kControl, 1)));
}

TEST(SendQueueTest, ReplacingAFrameMustStayWithinTheByteBound) {
  SendQueue queue;
  queue.Start();
  ASSERT_TRUE(queue.Enqueue(Item(kControl, 8388608)));
  ASSERT_TRUE(queue.Enqueue(Item(kFrameItemKind, 4388608)));
  EXPECT_TRUE(queue.Enqueue(Item(kFrameItemKind, 8388608)));  // exactly 16 MiB after replacing
  EXPECT_EQ(queue.Bytes(), 16777216u);
  queue.Clear();
  ASSERT_TRUE(queue.Enqueue(Item(kControl, 8388608)));
  ASSERT_TRUE(queue.Enqueue(Item(kControl, 4000000)));
  ASSERT_TRUE(queue.Enqueue(Item(kFrameItemKind, 10)));
  EXPECT_FALSE(queue.Enqueue(Item(kFrameItemKind, 4388609)));
  EXPECT_EQ(queue.Bytes(), 8388608u + 4000000u + 10u);
}

TEST(SendQueueTest, OnlyTheNewestUnsentFrameWaitsAtTheTail) {
  SendQueue queue;
  queue.Start();
  ASSERT_TRUE(queue.Enqueue(Item(kFrameItemKind, 3, 1)));
  ASSERT_TRUE(queue.Enqueue(Item(kFrameItemKind, 3, 2)));
  ASSERT_TRUE(queue.Enqueue(Item(kControl, 1, 9)));
  ASSERT_TRUE(queue.Enqueue(Item(kFrameItemKind, 3, 3)));  // behind a control message: appended
  ASSERT_TRUE(queue.Enqueue(Item(kFrameItemKind, 3, 4)));
  ASSERT_EQ(queue.Size(), 3u);
  std::vector<std::uint8_t> order;
  for (int i = 0; i < 3; ++i) order.push_back(queue.WaitPop()->payload[0]);
  EXPECT_EQ(order, (std::vector<std::uint8_t>{2, 9, 4}));
}

// A send thread busy with an earlier item: of two frames queued meanwhile only the second is sent.
TEST(SendQueueTest, CoalescesFramesWhileTheSendThreadIsBusy) {
  SendQueue queue;
  queue.Start();
  std::mutex mutex;
  std::condition_variable cv;
  bool busy = false;
  bool release = false;
  std::vector<std::uint8_t> sent;
  std::thread sender([&] {
    while (auto item = queue.WaitPop()) {
      std::unique_lock<std::mutex> lock(mutex);
      sent.push_back(item->payload.empty() ? 0 : item->payload[0]);
      if (sent.size() == 1) {
        busy = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
      }
    }
  });
  ASSERT_TRUE(queue.Enqueue(Item(kControl, 1, 7)));
  {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return busy; });
  }
  ASSERT_TRUE(queue.Enqueue(Item(kFrameItemKind, 100, 1)));
  ASSERT_TRUE(queue.Enqueue(Item(kFrameItemKind, 100, 2)));
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  cv.notify_all();
  while (queue.Size() != 0) std::this_thread::yield();
  // The pop of the last item happened; give the thread its lock turn, then stop it.
  for (;;) {
    std::lock_guard<std::mutex> lock(mutex);
    if (sent.size() >= 2) break;
  }
  queue.Stop();
  sender.join();
  EXPECT_EQ(sent, (std::vector<std::uint8_t>{7, 2}));
}

TEST(SendQueueTest, RemovingQueuedFramesKeepsEverythingElseInOrder) {
  SendQueue queue;
  queue.Start();
  ASSERT_TRUE(queue.Enqueue(Item(kFrameItemKind, 50, 1)));
  ASSERT_TRUE(queue.Enqueue(Item(kControl, 2, 2)));
  ASSERT_TRUE(queue.Enqueue(Item(kRelayItemKind, 3)));
  ASSERT_TRUE(queue.Enqueue(Item(kFrameItemKind, 60, 3)));
  ASSERT_TRUE(queue.Enqueue(Item(kControl, 4, 4)));
  queue.RemoveQueuedFrames();
  EXPECT_EQ(queue.Size(), 3u);
  EXPECT_EQ(queue.Bytes(), 9u);
  EXPECT_EQ(queue.WaitPop()->payload[0], 2);
  EXPECT_EQ(queue.WaitPop()->kind, kRelayItemKind);
  EXPECT_EQ(queue.WaitPop()->payload[0], 4);
  EXPECT_EQ(queue.Bytes(), 0u);
}

TEST(SendQueueTest, StopReleasesAWaitingSendThread) {
  SendQueue queue;
  queue.Start();
  std::thread waiter([&] { EXPECT_FALSE(queue.WaitPop().has_value()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  queue.Stop();
  waiter.join();
}

}  // namespace
}  // namespace ov
