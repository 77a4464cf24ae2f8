// The merge queue against a sort.
#include "training/merge_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "training/spare_pool.h"

namespace selkbar {
namespace {

TEST(MergeQueue, PopsByCountThenLeftThenRight) {
  std::mt19937 rng(99);
  MergeQueue queue;
  std::vector<std::tuple<uint64_t, SymbolId, SymbolId>> expected;
  SparePool pool;
  for (uint32_t i = 0; i < 5000; ++i) {
    const uint64_t count = rng() % 20;
    const Pair pair{static_cast<SymbolId>(rng() % 50), static_cast<SymbolId>(rng() % 50)};
    MergeCandidate candidate{count, pair, PositionList()};
    candidate.positions.push_unique(i, pool);
    queue.push(std::move(candidate));
    expected.emplace_back(count, pair.left, pair.right);
  }
  std::sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) {
    if (std::get<0>(a) != std::get<0>(b)) return std::get<0>(a) > std::get<0>(b);
    return std::make_pair(std::get<1>(a), std::get<2>(a)) <
           std::make_pair(std::get<1>(b), std::get<2>(b));
  });
  for (const auto& [count, left, right] : expected) {
    ASSERT_FALSE(queue.empty());
    const MergeCandidate top = queue.pop();
    ASSERT_EQ(top.count, count);
    ASSERT_EQ(top.pair, (Pair{left, right}));
    ASSERT_EQ(top.positions.size(), 1u);
  }
  EXPECT_TRUE(queue.empty());
}

// The queue grows and shrinks by blocks of candidates; order and payload must
// survive growing past several blocks, shrinking back and growing again.
TEST(MergeQueue, KeepsOrderWhileGrowingAndShrinkingAcrossBlocks) {
  std::mt19937 rng(7);
  MergeQueue queue;
  SparePool pool;
  // Reference: (count desc, left asc, right asc) -> the word id pushed with it.
  auto ranks_first = [](const std::tuple<uint64_t, SymbolId, SymbolId>& a,
                        const std::tuple<uint64_t, SymbolId, SymbolId>& b) {
    if (std::get<0>(a) != std::get<0>(b)) return std::get<0>(a) > std::get<0>(b);
    return std::make_pair(std::get<1>(a), std::get<2>(a)) <
           std::make_pair(std::get<1>(b), std::get<2>(b));
  };
  std::multimap<std::tuple<uint64_t, SymbolId, SymbolId>, uint32_t, decltype(ranks_first)>
      expected(ranks_first);
  uint32_t next_word = 0;
  auto push = [&](int n) {
    for (int i = 0; i < n; ++i) {
      const Pair pair{static_cast<SymbolId>(rng() % 1000), static_cast<SymbolId>(rng() % 1000)};
      const uint64_t count = rng() % 100000;
      MergeCandidate candidate{count, pair, PositionList()};
      // Unique pairs in the reference keep the payload check unambiguous.
      if (expected.count({count, pair.left, pair.right}) != 0) continue;
      candidate.positions.push_unique(next_word, pool);
      candidate.positions.push_unique(next_word + 1, pool);
      candidate.positions.push_unique(next_word + 2, pool);  // on the heap
      expected.emplace(std::make_tuple(count, pair.left, pair.right), next_word);
      next_word += 3;
      queue.push(std::move(candidate));
    }
  };
  auto pop = [&](size_t n) {
    for (size_t i = 0; i < n; ++i) {
      ASSERT_FALSE(queue.empty());
      const MergeCandidate top = queue.pop();
      const auto first = expected.begin();
      ASSERT_EQ(std::make_tuple(top.count, top.pair.left, top.pair.right), first->first);
      ASSERT_EQ(top.positions.size(), 3u);
      ASSERT_EQ(top.positions[0], first->second);
      ASSERT_EQ(top.positions[2], first->second + 2);
      expected.erase(first);
    }
  };
  push(150000);
  pop(120000);
  push(80000);
  ASSERT_EQ(queue.size(), expected.size());
  pop(expected.size());
  EXPECT_TRUE(queue.empty());
}

// The merge loop's use: pushes, pops and stale tops recounted up or down,
// with counts across the exact buckets, the stepped ones and the floor
// between the tiers, against an ordered reference.
TEST(MergeQueue, RecountsAndPushesInterleavedMatchAnOrderedSet) {
  std::mt19937_64 rng(2024);
  MergeQueue queue;
  SparePool pool;
  using Key = std::tuple<uint64_t, SymbolId, SymbolId>;
  auto ranks_first = [](const Key& a, const Key& b) {
    if (std::get<0>(a) != std::get<0>(b)) return std::get<0>(a) > std::get<0>(b);
    return std::make_pair(std::get<1>(a), std::get<2>(a)) <
           std::make_pair(std::get<1>(b), std::get<2>(b));
  };
  std::map<Key, uint32_t, decltype(ranks_first)> expected(ranks_first);
  auto random_count = [&]() -> uint64_t {
    switch (rng() % 4) {
      case 0: return rng() % 64;
      case 1: return rng() % 10000;
      case 2: return rng() >> (rng() % 64);
      default: return expected.empty() ? 5000 : std::get<0>(expected.begin()->first) - rng() % 3;
    }
  };
  uint32_t next_word = 0;
  auto push = [&](uint64_t count) {
    const Pair pair{static_cast<SymbolId>(rng() % 100000), static_cast<SymbolId>(rng() % 100000)};
    if (expected.count({count, pair.left, pair.right}) != 0) return;
    MergeCandidate candidate{count, pair, PositionList()};
    candidate.positions.push_unique(next_word, pool);
    expected.emplace(Key{count, pair.left, pair.right}, next_word++);
    queue.push(std::move(candidate));
  };
  for (int i = 0; i < 2000; ++i) push(random_count());
  for (int step = 0; step < 60000; ++step) {
    ASSERT_EQ(queue.size(), expected.size());
    const uint32_t action = static_cast<uint32_t>(rng() % 8);
    if (action < 3 || expected.empty()) {
      push(random_count());
      continue;
    }
    const auto first = expected.begin();
    const MergeCandidate& top = queue.top();
    ASSERT_EQ(std::make_tuple(top.count, top.pair.left, top.pair.right), first->first);
    ASSERT_EQ(top.positions[0], first->second);
    if (action < 6) {
      const uint64_t count = action == 3 ? top.count + rng() % 5 : random_count();
      const Key moved{count, top.pair.left, top.pair.right};
      if (expected.count(moved) != 0) continue;
      const uint32_t word = first->second;
      expected.erase(first);
      expected.emplace(moved, word);
      queue.recount_top(count);
    } else {
      const MergeCandidate popped = queue.pop();
      ASSERT_EQ(popped.positions[0], first->second);
      expected.erase(first);
    }
  }
  while (!expected.empty()) {
    const MergeCandidate popped = queue.pop();
    ASSERT_EQ(std::make_tuple(popped.count, popped.pair.left, popped.pair.right),
              expected.begin()->first);
    expected.erase(expected.begin());
  }
  EXPECT_TRUE(queue.empty());
}

}  // namespace
}  // namespace selkbar
