// PairSteps: insertion order and reuse.
#include "training/pair_steps.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "training/spare_pool.h"

namespace selkbar {
namespace {

std::vector<uint32_t> items(const PositionList& list) { return {list.begin(), list.end()}; }

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

}  // namespace
}  // namespace selkbar
