// Pretoken batches and routing by hash.
#include "batch.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "error.h"
#include "fxhash.h"

namespace selkbar {
namespace {

TEST(PretokenBatch, StoresPretokensBackToBackWithOffsetsAndHashes) {
  PretokenBatch batch;
  EXPECT_EQ(batch.len(), 0u);
  EXPECT_EQ(batch.offsets(), std::vector<uint32_t>{0});
  batch.push("ab", 11);
  batch.push("", 22);
  batch.push("cde", 33);
  EXPECT_EQ(batch.len(), 3u);
  EXPECT_EQ(batch.byte_size(), 5u);
  EXPECT_EQ(batch.offsets(), (std::vector<uint32_t>{0, 2, 2, 5}));
  EXPECT_EQ(batch.pretoken(0), "ab");
  EXPECT_EQ(batch.pretoken(1), "");
  EXPECT_EQ(batch.pretoken(2), "cde");
  EXPECT_EQ(batch.hash(2), 33u);
  PretokenBatch moved = std::move(batch);
  EXPECT_EQ(moved.pretoken(2), "cde");
}

TEST(PretokenBatch, RefusesToPassFourGibibytes) {
  PretokenBatch batch;
  batch.push("0123456789", 0);
  // The limit is checked before any byte is read, so a view that claims to
  // be nearly 4 GiB long is never dereferenced.
  static const char byte = 'x';
  const std::string_view huge(&byte, 0xFFFFFFFFULL - 9);
  try {
    batch.push(huge, 0);
    FAIL() << "no exception";
  } catch (const InternalError& error) {
    EXPECT_STREQ(error.what(), "single batch exceeds 4 GiB of pretokens");
  }
  EXPECT_EQ(batch.len(), 1u);
}

TEST(OwnerRouter, MatchesOwnerIndexForEveryOwnerCount) {
  std::mt19937_64 rng(99);
  std::vector<uint64_t> hashes = {0, 1, UINT64_MAX, 0xFFFFFFFF00000000ULL, 0x00000000FFFFFFFFULL,
                                  pretoken_hash("a"), pretoken_hash("hello world")};
  for (int i = 0; i < 400; ++i) hashes.push_back(rng());
  for (uint64_t owners = 1; owners <= 4096; ++owners) {
    const OwnerRouter route(owners);
    for (uint64_t hash : hashes) {
      ASSERT_EQ(route(hash), owner_index(hash, owners)) << owners << " " << hash;
    }
  }
  EXPECT_EQ(OwnerRouter(4)(pretoken_hash("hello world")), 2u);
  EXPECT_EQ(OwnerRouter(3)(pretoken_hash("hello world")), 0u);
}

}  // namespace
}  // namespace selkbar
