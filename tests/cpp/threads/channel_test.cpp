// Bounded channels: order, bounds, disconnection from either side, and many
// producers and consumers at once.
#include "threads/channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

namespace selkbar {
namespace {

TEST(Channel, DeliversInOrderThenDisconnectsWhenEverySenderIsGone) {
  auto [tx, rx] = make_channel<int>(8);
  Sender<int> copy = tx;
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(tx.send(int{i}));
  tx.reset();
  ASSERT_TRUE(copy.send(5));
  copy.reset();
  // Items sent before the last sender went are still delivered.
  for (int i = 0; i <= 5; ++i) EXPECT_EQ(rx.recv(), i);
  EXPECT_EQ(rx.recv(), std::nullopt);
  EXPECT_EQ(rx.recv(), std::nullopt);
}

TEST(Channel, SendBlocksWhileFullUntilSomethingIsReceived) {
  auto [tx, rx] = make_channel<int>(2);
  std::atomic<int> sent{0};
  std::thread producer([&, tx = std::move(tx)]() mutable {
    for (int i = 0; i < 3; ++i) {
      tx.send(int{i});
      sent.fetch_add(1);
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(sent.load(), 2);  // the third send waits for room
  EXPECT_EQ(rx.recv(), 0);
  producer.join();
  EXPECT_EQ(sent.load(), 3);
  EXPECT_EQ(rx.recv(), 1);
  EXPECT_EQ(rx.recv(), 2);
  EXPECT_EQ(rx.recv(), std::nullopt);
}

TEST(Channel, SendFailsOnceTheReceiverIsGoneAndKeepsTheItem) {
  auto [tx, rx] = make_channel<std::unique_ptr<int>>(1);
  ASSERT_TRUE(tx.send(std::make_unique<int>(1)));
  // A sender blocked on a full channel is released by the receiver's drop.
  std::atomic<bool> result{true};
  std::thread producer([&] { result = tx.send(std::make_unique<int>(2)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  rx.reset();
  producer.join();
  EXPECT_FALSE(result.load());
  auto item = std::make_unique<int>(3);
  EXPECT_FALSE(tx.send(std::move(item)));
  ASSERT_NE(item, nullptr);  // a failed send leaves the item with the caller
  EXPECT_EQ(*item, 3);
}

TEST(Channel, ReceiverBlockedOnEmptyChannelWakesWhenLastSenderDrops) {
  auto [tx, rx] = make_channel<int>(4);
  std::thread consumer([rx = std::move(rx)]() mutable { EXPECT_EQ(rx.recv(), std::nullopt); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  tx.reset();
  consumer.join();
}

TEST(Channel, ManyProducersAndConsumersSharingOneReceiverLoseNothing) {
  constexpr int PRODUCERS = 4, CONSUMERS = 3, ITEMS = 20000;
  auto [tx, rx] = make_channel<int>(3);
  auto shared = std::make_shared<SharedReceiver<int>>(std::move(rx));
  std::vector<std::thread> threads;
  std::vector<long long> sums(CONSUMERS, 0), counts(CONSUMERS, 0);
  for (int c = 0; c < CONSUMERS; ++c) {
    threads.emplace_back([&, c, shared] {
      while (std::optional<int> item = shared->recv()) {
        sums[c] += *item;
        ++counts[c];
      }
    });
  }
  shared.reset();
  for (int p = 0; p < PRODUCERS; ++p) {
    threads.emplace_back([p, tx]() mutable {
      for (int i = 0; i < ITEMS; ++i) ASSERT_TRUE(tx.send(p * ITEMS + i));
    });
  }
  tx.reset();
  for (auto& thread : threads) thread.join();
  const long long n = static_cast<long long>(PRODUCERS) * ITEMS;
  EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), 0LL), n);
  EXPECT_EQ(std::accumulate(sums.begin(), sums.end(), 0LL), n * (n - 1) / 2);
}

TEST(Channel, DroppingEverySharedReceiverMakesSendsFail) {
  auto [tx, rx] = make_channel<int>(4);
  auto shared = std::make_shared<SharedReceiver<int>>(std::move(rx));
  auto second = shared;
  EXPECT_TRUE(tx.send(1));
  shared.reset();
  EXPECT_TRUE(tx.send(2));
  second.reset();
  EXPECT_FALSE(tx.send(3));
}

}  // namespace
}  // namespace selkbar
