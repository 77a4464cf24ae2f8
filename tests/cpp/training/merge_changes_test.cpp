// MergeChanges: one entry per pair, whatever form reaches it.
#include "training/merge_changes.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/error.h"

namespace selkbar {
namespace {

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

}  // namespace
}  // namespace selkbar
