// Pair statistics: the maps against std::map, the queue against a
// std::set, position lists and their pool.
#include "pairstats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "error.h"

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

// ---- MergeQueue ----

// A candidate whose single position is its serial number, so that a pop can
// be traced back to its push.
MergeCandidate candidate(uint64_t count, Pair pair, uint32_t serial, SparePool& pool) {
  MergeCandidate made{count, pair, PositionList()};
  made.positions.push_unique(serial, pool);
  return made;
}

// The queue against a std::set ordered the same way. Candidates with equal
// count and pair may come out in either order, so a pop must match the
// model's first key and one of the serials pushed under it.
class QueueModel {
 public:
  void push(MergeQueue& queue, uint64_t count, Pair pair, SparePool& pool) {
    queue.push(candidate(count, pair, next_serial_, pool));
    model_.insert({~count, pair, next_serial_++});
  }
  // Pops one candidate and checks it; returns it for the caller to reuse.
  MergeCandidate pop_and_check(MergeQueue& queue) {
    EXPECT_EQ(queue.size(), model_.size());
    EXPECT_FALSE(queue.empty());
    MergeCandidate top = queue.pop();
    const auto first = model_.begin();
    EXPECT_EQ(top.count, ~first->count);
    EXPECT_EQ(top.pair, first->pair);
    EXPECT_EQ(top.positions.size(), 1u);
    const Entry mine{~top.count, top.pair, top.positions[0]};
    EXPECT_EQ(model_.erase(mine), 1u) << "popped serial " << mine.serial << " never pushed";
    return top;
  }
  size_t size() const { return model_.size(); }

 private:
  struct Entry {
    uint64_t count;  // complemented, so that larger counts sort first
    Pair pair;
    uint32_t serial;
    friend auto operator<=>(const Entry&, const Entry&) = default;
  };
  std::set<Entry> model_;
  uint32_t next_serial_ = 0;
};

TEST(MergeQueue, TiesGoToTheSmallerLeftThenRightAtEveryTier) {
  SparePool pool;
  MergeQueue queue;
  QueueModel model;
  // Counts above the dense range, at its top, inside it, and zero; several
  // pairs per count, pushed out of order.
  for (uint64_t count : {MergeQueue::DENSE_COUNTS + 7, MergeQueue::DENSE_COUNTS,
                         uint64_t{3}, uint64_t{0}, uint64_t{40}}) {
    for (Pair pair : {Pair{9, 1}, Pair{2, 8}, Pair{2, 3}, Pair{7, 0}, Pair{0, 9}}) {
      model.push(queue, count, pair, pool);
    }
  }
  while (model.size() > 0) model.pop_and_check(queue);
  EXPECT_TRUE(queue.empty());
}

TEST(MergeQueue, NegativeCountsAsTwosComplementOutrankEverything) {
  SparePool pool;
  MergeQueue queue;
  QueueModel model;
  model.push(queue, 5, Pair{1, 1}, pool);
  model.push(queue, static_cast<uint64_t>(int64_t{-1}), Pair{4, 4}, pool);
  model.push(queue, static_cast<uint64_t>(int64_t{-3}), Pair{2, 2}, pool);
  EXPECT_EQ(model.pop_and_check(queue).pair, (Pair{4, 4}));
  // Pushed after the level has reached 5: still first.
  model.pop_and_check(queue);
  model.push(queue, static_cast<uint64_t>(int64_t{-2}), Pair{3, 3}, pool);
  EXPECT_EQ(model.pop_and_check(queue).pair, (Pair{3, 3}));
  model.pop_and_check(queue);
  EXPECT_TRUE(queue.empty());
}

TEST(MergeQueue, CountsThatFallAndRiseAfterTheLevelIsReached) {
  SparePool pool;
  MergeQueue queue;
  QueueModel model;
  model.push(queue, 10, Pair{1, 2}, pool);
  model.push(queue, 10, Pair{1, 1}, pool);
  model.push(queue, 6, Pair{5, 5}, pool);
  model.pop_and_check(queue);  // the level is now 10
  // Pushed at, above and below the level: all in order with what is left.
  model.push(queue, 10, Pair{0, 7}, pool);
  model.push(queue, 10, Pair{3, 0}, pool);
  model.push(queue, 12, Pair{9, 9}, pool);
  model.push(queue, 6, Pair{4, 9}, pool);
  model.push(queue, 8, Pair{2, 2}, pool);
  EXPECT_EQ(model.pop_and_check(queue).pair, (Pair{9, 9}));
  EXPECT_EQ(model.pop_and_check(queue).pair, (Pair{0, 7}));
  EXPECT_EQ(model.pop_and_check(queue).pair, (Pair{1, 2}));
  model.push(queue, 10, Pair{2, 0}, pool);
  while (model.size() > 0) model.pop_and_check(queue);
  EXPECT_TRUE(queue.empty());
  // An exhausted queue takes candidates again, above its last level too.
  model.push(queue, 1, Pair{1, 1}, pool);
  model.push(queue, 50, Pair{1, 1}, pool);
  model.push(queue, 0, Pair{1, 1}, pool);
  while (model.size() > 0) model.pop_and_check(queue);
  EXPECT_TRUE(queue.empty());
}

// The merge loop's use: pop, and either consume the candidate or push it back
// with a lower count (re-validation), while pushing new candidates at counts
// up to the popped one and now and then above it; equal keys are frequent.
TEST(MergeQueue, RandomLoopOfPopsAndStalePushesMatchesTheModel) {
  std::mt19937 rng(4242);
  auto id = [&] { return static_cast<SymbolId>(rng() % 8); };
  SparePool pool;
  for (int round = 0; round < 6; ++round) {
    MergeQueue queue;
    QueueModel model;
    const uint64_t spread = round < 3 ? 60 : 3 * MergeQueue::DENSE_COUNTS;
    for (int i = 0; i < 20000; ++i) {
      model.push(queue, rng() % spread, Pair{id(), id()}, pool);
    }
    while (model.size() > 0) {
      const MergeCandidate top = model.pop_and_check(queue);
      if (::testing::Test::HasFailure()) return;
      const uint32_t action = rng() % 8;
      if (action < 4 && top.count > 0) {
        model.push(queue, top.count - 1 - rng() % top.count, top.pair, pool);
      } else if (action == 4) {
        for (int k = 0; k < 3; ++k) {
          model.push(queue, top.count == 0 ? 0 : rng() % (top.count + 1), Pair{id(), 1},
                     pool);
        }
      } else if (action == 5 && rng() % 16 == 0) {
        model.push(queue, top.count + 1 + rng() % 5, Pair{id(), 2}, pool);
      }
    }
    EXPECT_TRUE(queue.empty());
  }
}

TEST(MergeQueue, LargeLevelsOfWideIdsComeOutInPairOrder) {
  std::mt19937 rng(515);
  SparePool pool;
  MergeQueue queue;
  QueueModel model;
  // Ids across the whole 32-bit range, a level large enough for the radix
  // sort, and a small one that is sorted otherwise.
  for (int i = 0; i < 6000; ++i) {
    const SymbolId left = i % 3 == 0 ? NO_SYMBOL - 1 - rng() % 4 : static_cast<SymbolId>(rng());
    model.push(queue, 7, Pair{left, static_cast<SymbolId>(rng() >> (i % 32))}, pool);
  }
  for (int i = 0; i < 50; ++i) model.push(queue, 3, Pair{static_cast<SymbolId>(rng()), 5}, pool);
  while (model.size() > 0) model.pop_and_check(queue);
  EXPECT_TRUE(queue.empty());
}

TEST(MergeQueue, ManyCandidatesAtOneCountAndTeardownWithEveryTierFilled) {
  SparePool pool;
  QueueModel model;
  {
    MergeQueue queue;
    // More chunks than are kept spare once the bucket is drained.
    for (uint32_t i = 0; i < 50000; ++i) model.push(queue, 2, Pair{i % 97, i % 89}, pool);
    for (uint32_t i = 0; i < 100; ++i) model.push(queue, 1, Pair{i, i}, pool);
    model.push(queue, 9, Pair{1, 1}, pool);
    for (int i = 0; i < 1000; ++i) model.pop_and_check(queue);
    // The look-ahead shows the level's sorted part in pop order.
    std::vector<Pair> ahead;
    for (size_t k = 0; k < 5; ++k) ahead.push_back(queue.lookahead(k)->pair);
    for (const Pair& pair : ahead) EXPECT_EQ(model.pop_and_check(queue).pair, pair);
    // Long position lists in every tier, left for the destructor.
    for (uint64_t count : {uint64_t{1}, uint64_t{2}, uint64_t{5}, MergeQueue::DENSE_COUNTS * 2}) {
      MergeCandidate held{count, Pair{1, 2}, PositionList()};
      for (uint32_t w = 0; w < 3000; ++w) held.positions.push_unique(w, pool);
      queue.push(std::move(held));
    }
    EXPECT_EQ(queue.size(), model.size() + 4);
  }
}

}  // namespace
}  // namespace selkbar
