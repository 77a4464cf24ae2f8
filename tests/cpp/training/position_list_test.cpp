// Position lists and the pool of their buffers.
#include "training/position_list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "training/spare_pool.h"

namespace selkbar {
namespace {

std::vector<uint32_t> items(const PositionList& list) { return {list.begin(), list.end()}; }

TEST(PositionList, SuppressesOnlyConsecutiveDuplicates) {
  SparePool pool;
  PositionList list;
  for (uint32_t w : {5u, 5u, 6u, 5u, 5u, 9u, 9u, 1u}) list.push_unique(w, pool);
  EXPECT_EQ(items(list), (std::vector<uint32_t>{5, 6, 5, 9, 1}));
  EXPECT_EQ(list.capacity(), 8u);
  PositionList moved = std::move(list);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(items(moved), (std::vector<uint32_t>{5, 6, 5, 9, 1}));
}

TEST(PositionList, PoolReusesBuffersOfTheSameCapacity) {
  SparePool pool;
  PositionList big;
  for (uint32_t w = 0; w < 8; ++w) big.push_unique(w, pool);
  // Growing 4 -> 8 handed the 4-entry buffer to the pool.
  EXPECT_EQ(pool.buffers(), 1u);
  pool.recycle(std::move(big));
  EXPECT_TRUE(big.empty());
  EXPECT_EQ(pool.buffers(), 2u);

  PositionList small;
  for (uint32_t w = 0; w < 3; ++w) small.push_unique(w, pool);
  EXPECT_EQ(small.capacity(), 4u);
  EXPECT_EQ(pool.buffers(), 1u);  // took the 4-entry buffer, left the 8-entry one
  EXPECT_EQ(items(small), (std::vector<uint32_t>{0, 1, 2}));

  // Large buffers are freed rather than pooled.
  PositionList huge;
  for (uint32_t w = 0; w <= SparePool::MAX_POOLED_CAPACITY; ++w) huge.push_unique(w, pool);
  const size_t pooled = pool.buffers();
  pool.recycle(std::move(huge));
  EXPECT_EQ(pool.buffers(), pooled);
}

TEST(PositionList, LongListsShrinkToTheirSizeAndKeepWorking) {
  SparePool pool;
  PositionList list;
  const uint32_t length = SparePool::MAX_POOLED_CAPACITY + 5;
  for (uint32_t w = 0; w < length; ++w) list.push_unique(w, pool);
  EXPECT_EQ(list.capacity(), 2 * SparePool::MAX_POOLED_CAPACITY);
  list.shrink_large();
  EXPECT_EQ(list.capacity(), length);
  list.push_unique(length, pool);
  EXPECT_EQ(list.size(), length + 1);
  EXPECT_EQ(list[length], length);
  EXPECT_EQ(list[17], 17u);
  // Short lists keep the power-of-two capacities the pool sorts by.
  PositionList short_list;
  for (uint32_t w = 0; w < 5; ++w) short_list.push_unique(w, pool);
  short_list.shrink_large();
  EXPECT_EQ(short_list.capacity(), 8u);
}

TEST(PositionList, AppendingGivesTheListOfBothRanges) {
  // Sizes on both sides of the inline room, the pooled capacities and the
  // large lists; the second list starting with the first's last word or not.
  const uint32_t large = SparePool::MAX_POOLED_CAPACITY + 3;
  for (uint32_t a : {0u, 1u, 2u, 3u, 17u, large}) {
    for (uint32_t b : {0u, 1u, 2u, 5u, 64u, large}) {
      for (bool shared : {false, true}) {
        SparePool pool;
        PositionList first, second;
        std::vector<uint32_t> want;
        for (uint32_t w = 0; w < a; ++w) {
          first.push_unique(2 * w, pool);
          want.push_back(2 * w);
        }
        const uint32_t start = shared && a > 0 ? 2 * (a - 1) : 2 * a;
        for (uint32_t w = 0; w < b; ++w) {
          second.push_unique(start + w, pool);
          if (!(w == 0 && shared && a > 0)) want.push_back(start + w);
        }
        first.append(second, pool);
        ASSERT_EQ(items(first), want) << a << " + " << b << (shared ? " shared" : "");
        first.push_unique(0xFFFF0000u, pool);  // still grows where it should
        ASSERT_EQ(first[first.size() - 1], 0xFFFF0000u);
      }
    }
  }
}

}  // namespace
}  // namespace selkbar
