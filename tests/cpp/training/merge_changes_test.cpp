// MergeChanges: one entry per pair, whatever form reaches it.
#include "training/merge_changes.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/error.h"

namespace selkbar {
namespace {

// Both ways of finding a pair: arrays for a small vocabulary, the table for
// a large one.
class MergeChangesBySize : public testing::TestWithParam<size_t> {};

TEST_P(MergeChangesBySize, OneEntryPerPairWhateverTheForm) {
  const size_t symbols = GetParam();
  const SymbolId left = 1, right = 2, new_id = 9;
  MergeChanges changes;
  changes.begin(left, right, new_id, symbols);
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
  changes.begin(3, 4, 10, symbols + 1);
  changes[Pair{new_id, 3}].count_change = 1;
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes.entry(0).count_change, 1);
  changes.clear();

  // A merge touching thousands of pairs (the table grows), then a small one
  // (it shrinks back), each pair still found once.
  changes.begin(3, 4, 10, symbols + 1);
  for (int round = 0; round < 2; ++round) {
    for (SymbolId x = 0; x < 5000; ++x) changes[Pair{x, 10}].count_change += x;
  }
  ASSERT_EQ(changes.size(), 5000u);
  for (SymbolId x = 0; x < 5000; ++x) {
    ASSERT_EQ(changes.entry(x).pair, (Pair{x, 10}));
    ASSERT_EQ(changes.entry(x).count_change, 2u * x);
  }
  changes.clear();
  changes.begin(5, 6, 11, symbols + 2);
  changes[Pair{11, 7}].count_change = 3;
  changes[Pair{6, 7}].count_change = 4;
  changes[Pair{11, 7}].count_change += 1;
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes.entry(0).count_change, 4u);
  EXPECT_THROW((changes[Pair{3, 4}]), InternalError);
}

INSTANTIATE_TEST_SUITE_P(Sizes, MergeChangesBySize,
                         testing::Values(size_t{10000}, MergeChanges::DIRECT_SYMBOLS + 1));

}  // namespace
}  // namespace selkbar
