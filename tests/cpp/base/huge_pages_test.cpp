// The huge-page allocator: aligned large blocks, plain small ones, and a
// vector that grows across the threshold keeps its contents.
#include "base/huge_pages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace selkbar {
namespace {

TEST(HugePageAllocator, LargeBlocksAreAlignedAndGrowthKeepsContents) {
  std::vector<uint64_t, HugePageAllocator<uint64_t>> values;
  // From a few bytes to 8 MiB: every doubling reallocates, and the sizes on
  // either side of 2 MiB take the two different paths.
  for (uint64_t i = 0; i < (uint64_t{1} << 20); ++i) {
    values.push_back(i * 2654435761u);
    if (values.capacity() * sizeof(uint64_t) >= HUGE_PAGE_BYTES) {
      ASSERT_EQ(reinterpret_cast<uintptr_t>(values.data()) % HUGE_PAGE_BYTES, 0u) << i;
    }
  }
  for (uint64_t i = 0; i < values.size(); ++i) ASSERT_EQ(values[i], i * 2654435761u) << i;
  values.clear();
  values.shrink_to_fit();  // a small block again: freed with the matching call
  values.push_back(7);
  EXPECT_EQ(values.front(), 7u);
}

}  // namespace
}  // namespace selkbar
