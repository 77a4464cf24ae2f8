// Pretoken batches and routing by hash.
#include "counting/batch.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/error.h"
#include "base/fxhash.h"

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

TEST(PretokenBatch, KeepsEveryPretokenAcrossRegrowthReserveAndMoves) {
  std::mt19937 rng(5);
  std::vector<std::string> expected;
  PretokenBatch batch;
  for (int i = 0; i < 5000; ++i) {
    std::string pretoken(rng() % 40, '\0');
    for (char& c : pretoken) c = static_cast<char>('a' + rng() % 26);
    batch.push(pretoken, i);
    expected.push_back(pretoken);
    if (i == 1000) batch.reserve(8000, 200000);  // a reserve midway keeps what is there
    if (i % 1500 == 0) {
      PretokenBatch moved = std::move(batch);
      EXPECT_EQ(batch.len(), 0u);  // NOLINT(bugprone-use-after-move): the state a move leaves
      EXPECT_EQ(batch.byte_size(), 0u);
      batch = std::move(moved);
    }
  }
  ASSERT_EQ(batch.len(), expected.size());
  size_t bytes = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(batch.pretoken(i), expected[i]) << i;
    ASSERT_EQ(batch.hash(i), i);
    bytes += expected[i].size();
  }
  EXPECT_EQ(batch.byte_size(), bytes);
  EXPECT_EQ(batch.bytes().size(), bytes);
}

TEST(PretokenBatch, RefusesToPassFourGibibytes) {
  PretokenBatch batch;
  batch.push("0123456789", 0);
  // The limit is checked before any byte is read, so a view that claims to
  // be nearly 4 GiB long is never dereferenced.
  // The length is volatile so the compiler does not warn about the copy
  // that the check never lets happen.
  static const char byte = 'x';
  volatile size_t claimed = 0xFFFFFFFFULL - 9;
  const std::string_view huge(&byte, claimed);
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
}

}  // namespace
}  // namespace selkbar
