#include "app/event_queue.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace ov {
namespace {

NetEvent TextEvent(std::size_t size) {
  NetEvent event;
  event.kind = NetEvent::Kind::Text;
  event.data.assign(size, 'x');
  event.text.assign(size, 'x');
  return event;
}

NetEvent BinaryEvent(std::size_t size) {
  NetEvent event;
  event.kind = NetEvent::Kind::Binary;
  event.data.assign(size, 0x5a);
  return event;
}

class EventQueueTest : public ::testing::Test {
 protected:
  std::atomic<int> wakes{0};
  EventQueue queue{[this] { ++wakes; }};
};

TEST_F(EventQueueTest, ThirtyThreeEventsBeforeADrainOverflowOnTheLast) {
  queue.PublishGeneration(7);
  for (int i = 0; i < 32; ++i) queue.Post(7, TextEvent(10));
  EXPECT_FALSE(queue.Overflowed());
  EXPECT_EQ(queue.Size(), 32u);
  queue.Post(7, TextEvent(10));
  EXPECT_TRUE(queue.Overflowed());
  EXPECT_EQ(queue.Size(), 32u);
  EXPECT_EQ(wakes.load(), 1) << "one wake-up for the whole batch, overflow included";
  EXPECT_TRUE(queue.TakeOverflow());
  EXPECT_FALSE(queue.TakeOverflow());
}

TEST_F(EventQueueTest, TextBoundsAreCheckedBeforeQueueing) {
  queue.Post(0, TextEvent(16384));
  EXPECT_FALSE(queue.Overflowed());
  queue.Post(0, TextEvent(16385));
  EXPECT_TRUE(queue.Overflowed());
  EXPECT_EQ(queue.Size(), 1u);
  queue.Clear();

  // The text of any kind of event is bounded, and so is the data of a Text event on its own.
  NetEvent error;
  error.kind = NetEvent::Kind::Error;
  error.text.assign(16385, 'e');
  queue.Post(0, std::move(error));
  EXPECT_TRUE(queue.TakeOverflow());
  NetEvent text;
  text.kind = NetEvent::Kind::Text;
  text.data.assign(16385, 'x');
  queue.Post(0, std::move(text));
  EXPECT_TRUE(queue.TakeOverflow());
  EXPECT_EQ(queue.Size(), 0u);
}

TEST_F(EventQueueTest, DataAndTotalBytesAreBounded) {
  queue.Post(0, BinaryEvent(8388609));
  EXPECT_TRUE(queue.TakeOverflow());
  for (int i = 0; i < 3; ++i) queue.Post(0, BinaryEvent(8388608));
  EXPECT_FALSE(queue.Overflowed());
  EXPECT_EQ(queue.Bytes(), 25165824u);
  queue.Post(0, BinaryEvent(1));
  EXPECT_TRUE(queue.Overflowed());
  EXPECT_EQ(queue.Size(), 3u);
  // A drain frees the space again.
  EXPECT_EQ(queue.TakeAll().size(), 3u);
  EXPECT_EQ(queue.Bytes(), 0u);
  queue.Post(0, BinaryEvent(1));
  EXPECT_EQ(queue.Size(), 1u);
}

TEST_F(EventQueueTest, OneWakeUpPerBatch) {
  for (int i = 0; i < 5; ++i) queue.Post(0, BinaryEvent(4));
  EXPECT_EQ(wakes.load(), 1);
  EXPECT_TRUE(queue.WakePending());
  const auto first = queue.TakeAll();
  ASSERT_EQ(first.size(), 5u);
  EXPECT_FALSE(queue.WakePending());
  queue.Post(0, BinaryEvent(4));
  queue.Post(0, BinaryEvent(4));
  EXPECT_EQ(wakes.load(), 2);
  EXPECT_EQ(queue.TakeAll().size(), 2u);
}

TEST_F(EventQueueTest, EventsKeepOrderAndGeneration) {
  queue.PublishGeneration(3);
  for (std::uint8_t i = 0; i < 4; ++i) {
    NetEvent event;
    event.kind = NetEvent::Kind::Binary;
    event.data = {i};
    queue.Post(3, std::move(event));
  }
  const auto entries = queue.TakeAll();
  ASSERT_EQ(entries.size(), 4u);
  for (std::uint8_t i = 0; i < 4; ++i) {
    EXPECT_EQ(entries[i].generation, 3u);
    EXPECT_EQ(entries[i].event.data, std::vector<std::uint8_t>{i});
  }
}

TEST_F(EventQueueTest, StaleGenerationIsDroppedWithoutWakeUp) {
  queue.PublishGeneration(2);
  queue.Post(1, TextEvent(5));
  queue.Post(3, TextEvent(5));
  EXPECT_EQ(queue.Size(), 0u);
  EXPECT_EQ(wakes.load(), 0);
  EXPECT_FALSE(queue.Overflowed()) << "a stale event is not an overflow";
}

TEST_F(EventQueueTest, ClearEmptiesAndForgetsOverflowAndWakeUp) {
  for (int i = 0; i < 33; ++i) queue.Post(0, TextEvent(1));
  ASSERT_TRUE(queue.Overflowed());
  queue.Clear();
  EXPECT_EQ(queue.Size(), 0u);
  EXPECT_EQ(queue.Bytes(), 0u);
  EXPECT_FALSE(queue.WakePending());
  EXPECT_FALSE(queue.Overflowed());
  queue.Post(0, TextEvent(1));
  EXPECT_EQ(wakes.load(), 2);
}

// Producers race with a generation change followed by a clear (what a session reset does): once
// the clear is done, no entry of the old generation is ever found in the queue.
TEST_F(EventQueueTest, NoOldGenerationSurvivesAResetUnderConcurrentPosts) {
  queue.PublishGeneration(1);
  std::atomic<bool> stop{false};
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t) {
    producers.emplace_back([&] {
      while (!stop.load()) queue.Post(1, BinaryEvent(1));
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  queue.PublishGeneration(2);
  queue.Clear();
  for (int i = 0; i < 200; ++i) {
    for (const auto& entry : queue.TakeAll()) ASSERT_EQ(entry.generation, 2u);
    ASSERT_EQ(queue.Size(), 0u);
  }
  stop.store(true);
  for (auto& producer : producers) producer.join();
  EXPECT_EQ(queue.Size(), 0u);
}

}  // namespace
}  // namespace ov
