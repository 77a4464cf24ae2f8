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
  size_t nonzero = 0;
  for (const auto& [pair, count] : reference) {
    ASSERT_EQ(counts.get(pair), count);
    nonzero += count != 0;
  }
  // Zero counts may or may not still hold a slot.
  EXPECT_GE(counts.size(), nonzero);
  EXPECT_LE(counts.size(), reference.size());
}

// Pairs that come and go, as in the merge loop: a million pairs pass
// through, never more than a thousand counting at once. The table must stay
// sized for the thousand, and every probe run must survive the drops.
TEST(PairCounts, DroppedZerosFreeTheirSlots) {
  std::mt19937 rng(11);
  PairCounts counts;
  std::map<Pair, uint64_t> live;
  const auto pair_of = [](uint32_t n) { return Pair{n % 977, n / 977}; };
  for (uint32_t n = 0; n < 1000000; ++n) {
    const uint64_t amount = 1 + rng() % 3;
    counts[pair_of(n)] += amount;
    live[pair_of(n)] += amount;
    if (n >= 1000) {
      const Pair gone = pair_of(n - 1000);
      counts[gone] -= live[gone];
      live.erase(gone);
    }
    if (n % 4099 == 0) {
      for (const auto& [pair, count] : live) ASSERT_EQ(counts.get(pair), count) << n;
      ASSERT_EQ(counts.get(pair_of(n + 1)), 0u);
    }
  }
  EXPECT_LE(counts.slot_count(), 4096u);
}

}  // namespace
}  // namespace selkbar
