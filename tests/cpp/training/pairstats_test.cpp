// Pair statistics: the maps against std::map, the queue against a sort,
// position lists and their pool.
#include "training/pairstats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <tuple>
#include <vector>

#include "base/error.h"

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

TEST(PairCounts, MatchesStdMapThroughGrowth) {
  std::mt19937 rng(7);
  PairCounts counts;
  std::map<Pair, int64_t> reference;
  for (int i = 0; i < 200000; ++i) {
    const Pair pair{static_cast<SymbolId>(rng() % 700), static_cast<SymbolId>(rng() % 700)};
    const int64_t amount = static_cast<int64_t>(rng() % 11) - 5;
    counts[pair] += amount;
    reference[pair] += amount;
    const Pair probe{static_cast<SymbolId>(rng() % 800), static_cast<SymbolId>(rng() % 800)};
    const auto found = reference.find(probe);
    ASSERT_EQ(counts.get(probe), found == reference.end() ? 0 : found->second);
  }
  EXPECT_EQ(counts.size(), reference.size());
  for (const auto& [pair, count] : reference) ASSERT_EQ(counts.get(pair), count);
}

TEST(PairSteps, DrainsInInsertionOrderAndCanBeReused) {
  SparePool pool;
  PairSteps steps;
  for (int round = 0; round < 3; ++round) {
    std::vector<Pair> inserted;
    for (SymbolId i = 0; i < 100; ++i) {
      const Pair pair{(i * 37 + round) % 101, i};
      inserted.push_back(pair);
      steps[pair].count_change += i;
      steps[pair].positions.push_unique(i, pool);
    }
    // A second visit finds the same entries.
    for (const Pair& pair : inserted) {
      steps[pair].count_change += pair.right;
      steps[pair].positions.push_unique(pair.right, pool);
    }
    std::vector<Pair> drained;
    steps.drain([&](PairStep& step) {
      drained.push_back(step.pair);
      EXPECT_EQ(step.count_change, 2 * static_cast<int64_t>(step.pair.right));
      EXPECT_EQ(items(step.positions), std::vector<uint32_t>{step.pair.right});
    });
    EXPECT_EQ(drained, inserted);
    EXPECT_EQ(steps.size(), 0u);
  }
}

TEST(MergeChanges, OneEntryPerPairWhateverTheForm) {
  const SymbolId left = 1, right = 2, new_id = 9;
  MergeChanges changes;
  changes.begin(left, right, new_id, 10);
  // (right, left) is both "(x, left)" and "(right, x)"; (new_id, new_id) both
  // "(x, new_id)" and "(new_id, x)".
  const std::vector<Pair> touched = {{5, left}, {right, left}, {5, new_id}, {new_id, new_id},
                                     {right, 7}, {new_id, 3}, {new_id, left}};
  for (const Pair& pair : touched) changes[pair].count_change += 1;
  for (const Pair& pair : touched) changes[pair].count_change += 1;
  ASSERT_EQ(changes.size(), touched.size());
  for (size_t i = 0; i < touched.size(); ++i) {
    EXPECT_EQ(changes.entry(i).pair, touched[i]);
    EXPECT_EQ(changes.entry(i).count_change, 2);
  }
  EXPECT_THROW((changes[Pair{3, 4}]), InternalError);
  changes.clear();
  EXPECT_EQ(changes.size(), 0u);

  // A later merge with other ids starts from an empty map.
  changes.begin(3, 4, 10, 11);
  changes[Pair{new_id, 3}].count_change = 1;
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes.entry(0).count_change, 1);
}

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

}  // namespace
}  // namespace selkbar
