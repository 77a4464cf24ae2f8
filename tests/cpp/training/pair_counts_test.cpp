// PairCounts against std::map.
#include "training/pair_counts.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>

namespace selkbar {
namespace {

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

}  // namespace
}  // namespace selkbar
