// Counting words into shards and combining them, against a plain std::map.
#include "counting/counter.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/fxhash.h"
#include "pretokenize/split.h"

namespace selkbar {
namespace {

std::map<std::string, uint64_t> as_map(const WordTable& table) {
  std::map<std::string, uint64_t> result;
  for (uint32_t id = 0; id < table.len(); ++id) {
    EXPECT_TRUE(result.emplace(std::string(table.get(id)), table.count(id)).second)
        << "duplicate word " << table.get(id);
  }
  return result;
}

// Words that differ anywhere (in one byte at any position, or in length by a
// trailing zero byte) hash apart, across every length class of the function;
// and the high bits, which pick partitions, spread evenly.
TEST(PretokenHash, SeparatesNearbyWordsAndSpreadsItsHighBits) {
  std::map<uint64_t, std::string> seen;
  auto add = [&](const std::string& word) {
    const auto [it, fresh] = seen.emplace(pretoken_hash(word), word);
    EXPECT_TRUE(fresh || it->second == word) << "'" << it->second << "' and '" << word << "'";
  };
  for (size_t length = 0; length <= 40; ++length) {
    const std::string base(length, 'a');
    add(base);
    add(base + std::string(1, '\0'));
    for (size_t at = 0; at < length; ++at) {
      for (char c : {'b', '\0', '\xFF'}) {
        std::string variant = base;
        variant[at] = c;
        add(variant);
      }
    }
  }
  std::vector<int> partitions(16);
  for (int i = 0; i < 160000; ++i) {
    const std::string word = "w" + std::to_string(i);
    add(word);
    ++partitions[owner_index(pretoken_hash(word), 16)];
  }
  for (int count : partitions) EXPECT_NEAR(count, 10000, 600);
}

TEST(WordTable, StartsEmptyAndStoresWordsInOrder) {
  WordTable table;
  EXPECT_EQ(table.len(), 0u);
  EXPECT_EQ(table.offsets(), std::vector<uint32_t>{0});
  EXPECT_EQ(table.push("ab", 3), 0u);
  EXPECT_EQ(table.push("", 1), 1u);
  EXPECT_EQ(table.push("cde", 2), 2u);
  EXPECT_EQ(table.offsets(), (std::vector<uint32_t>{0, 2, 2, 5}));
  EXPECT_EQ(table.get(2), "cde");
  EXPECT_EQ(table.count(0), 3u);
  EXPECT_THROW(table.get(3), InternalError);
  table.release();
  EXPECT_EQ(table.len(), 0u);
  EXPECT_EQ(table.offsets(), std::vector<uint32_t>{0});
}

TEST(Limits, ArenaAndWordCountLimitsAbortWithTheirMessages) {
  WordTable table(5);
  table.push("abc", 1);
  try {
    table.push("def", 1);
    FAIL() << "no throw";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "unique word bytes exceed 4 GB; recompile with u64 offsets");
  }
  // The refused word left no trace: the table still keeps its invariants.
  EXPECT_EQ(table.len(), 1u);
  EXPECT_EQ(table.bytes().size(), table.offsets().back());
  EXPECT_EQ(table.push("de", 2), 1u);
  EXPECT_EQ(table.get(1), "de");
  ShardCounter counter(2);
  counter.add("a", pretoken_hash("a"));
  counter.add("b", pretoken_hash("b"));
  counter.add("a", pretoken_hash("a"));  // existing words still count
  try {
    counter.add("c", pretoken_hash("c"));
    FAIL() << "no throw";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "more than u32::MAX-1 unique words");
  }
  EXPECT_EQ(counter.len(), 2u);
  EXPECT_EQ(counter.table().bytes().size(), 2u);  // nothing appended for the refused word
}

TEST(ShardCounter, CountsRepeatsAndKeepsFirstSeenOrder) {
  ShardCounter counter;
  for (const char* word : {"b", "a", "b", "c", "b", "a"}) counter.add(word, pretoken_hash(word));
  const WordTable& table = counter.table();
  ASSERT_EQ(table.len(), 3u);
  EXPECT_EQ(table.get(0), "b");
  EXPECT_EQ(table.count(0), 3u);
  EXPECT_EQ(table.get(1), "a");
  EXPECT_EQ(table.count(1), 2u);
  EXPECT_EQ(table.get(2), "c");
}

TEST(ShardCounter, CollidingHashesChainNewestFirst) {
  // Feed distinct words with one forged hash: all land in one chain.
  ShardCounter counter;
  const uint64_t hash = 42;
  counter.add("x", hash);
  counter.add("yy", hash);
  counter.add("x", hash);
  counter.add("zz", hash);
  counter.add("yy", hash);
  counter.add("yy", hash);
  ASSERT_EQ(counter.len(), 3u);
  EXPECT_EQ(counter.head(hash), 2u);
  EXPECT_EQ(counter.next(2), 1u);
  EXPECT_EQ(counter.next(1), 0u);
  EXPECT_EQ(counter.next(0), NO_WORD);
  EXPECT_EQ(counter.head(43), NO_WORD);
  EXPECT_EQ(as_map(counter.table()),
            (std::map<std::string, uint64_t>{{"x", 2}, {"yy", 3}, {"zz", 1}}));
}

TEST(ShardCounter, ManyRandomWordsMatchReferenceAcrossGrowth) {
  std::mt19937 rng(7);
  std::map<std::string, uint64_t> expected;
  ShardCounter counter;
  for (int i = 0; i < 200000; ++i) {
    std::string word = std::to_string(rng() % 50000);
    counter.add(word, pretoken_hash(word));
    ++expected[word];
  }
  EXPECT_EQ(as_map(counter.table()), expected);
}

// Merging the counters several workers kept for one partition: random words
// shared in part between them, some under forged hashes that collide (so
// chains move too), with counts above one; into empty and non-empty counters.
TEST(ShardCounter, AbsorbGivesTheCountsOfEverythingAddedToEither) {
  std::mt19937 rng(5);
  for (int round = 0; round < 20; ++round) {
    std::vector<ShardCounter> counters(3);
    std::map<std::string, uint64_t> expected;
    const int words = round % 4 == 0 ? 0 : 1 + static_cast<int>(rng() % 20000);
    for (int i = 0; i < words; ++i) {
      const uint32_t number = rng() % 5000;
      const std::string word = std::to_string(number);
      const uint64_t count = 1 + rng() % 3;
      const uint64_t hash = number % 8 == 0 ? 99 : pretoken_hash(word);
      counters[rng() % 3].add(word, hash, count);
      expected[word] += count;
    }
    counters[round % 3].absorb(std::move(counters[(round + 1) % 3]));
    counters[round % 3].absorb(std::move(counters[(round + 2) % 3]));
    EXPECT_EQ(as_map(counters[round % 3].table()), expected) << "round " << round;
    EXPECT_EQ(counters[(round + 1) % 3].len(), 0u);
  }
}

TEST(ShardCounter, ForgedHashesNeverConfuseWordsDifferingInOneByte) {
  // Words of every length up to 40 and, for each, variants that differ from
  // it in exactly one position, all under one forged hash: only byte
  // comparison can keep them apart, wherever the difference lies.
  ShardCounter counter;
  std::map<std::string, uint64_t> expected;
  for (size_t length = 1; length <= 40; ++length) {
    const std::string base(length, 'a');
    for (int round = 0; round < 2; ++round) {
      counter.add(base, 7);
      ++expected[base];
      for (size_t at = 0; at < length; ++at) {
        std::string variant = base;
        variant[at] = 'b';
        counter.add(variant, 7);
        ++expected[variant];
      }
    }
  }
  EXPECT_EQ(as_map(counter.table()), expected);
}

TEST(ShardCounter, AddBatchCountsLikeAddOneByOne) {
  std::mt19937 rng(11);
  std::vector<PretokenBatch> batches(30);
  ShardCounter one_by_one;
  for (PretokenBatch& batch : batches) {
    const size_t n = rng() % 3000;  // some batches are shorter than the prefetch distances
    for (size_t i = 0; i < n; ++i) {
      const std::string word = std::to_string(rng() % 20000) + std::string(rng() % 12, 'q');
      batch.push(word, pretoken_hash(word));
      one_by_one.add(word, pretoken_hash(word));
    }
  }
  ShardCounter batched;
  for (const PretokenBatch& batch : batches) batched.add_batch(batch);
  ASSERT_EQ(batched.len(), one_by_one.len());
  for (uint32_t id = 0; id < batched.len(); ++id) {
    EXPECT_EQ(batched.table().get(id), one_by_one.table().get(id));
    EXPECT_EQ(batched.table().count(id), one_by_one.table().count(id));
  }
}

TEST(CombineShards, ConcatenatesInOwnerOrder) {
  std::vector<ShardCounter> shards(3);
  shards[0].add("a", 1);
  shards[0].add("b", 2);
  shards[2].add("c", 3);
  shards[2].add("c", 3);
  WordTable table = combine_shards(std::move(shards), nullptr);
  ASSERT_EQ(table.len(), 3u);
  EXPECT_EQ(table.get(0), "a");
  EXPECT_EQ(table.get(1), "b");
  EXPECT_EQ(table.get(2), "c");
  EXPECT_EQ(table.count(2), 2u);
  EXPECT_EQ(table.bytes().size(), 3u);
}

TEST(CombineShards, EmptyInputGivesEmptyTable) {
  WordTable table = combine_shards({}, nullptr);
  EXPECT_EQ(table.len(), 0u);
  EXPECT_EQ(table.offsets(), std::vector<uint32_t>{0});
  EXPECT_TRUE(table.bytes().empty());
}

TEST(CombineShards, RespellsBytesThroughTheMap) {
  std::array<uint32_t, 256> map{};
  for (uint32_t b = 0; b < 256; ++b) map[b] = b;
  map[0x20] = 0x120;
  std::vector<ShardCounter> shards(1);
  shards[0].add(" A", 9);
  WordTable table = combine_shards(std::move(shards), &map);
  ASSERT_EQ(table.len(), 1u);
  EXPECT_EQ(table.get(0), "\xC4\xA0" "A");
  EXPECT_EQ(table.count(0), 1u);
}

TEST(Counting, SplitAndCountMatchesReferenceOnRealText) {
  const std::string text =
      "the cat  sat\ton the mat.\nThe\xC2\xA0" "cat\xE3\x80\x80sat\xE2\x80\x8Bhere \xEF\xBB\xBFthe";
  std::map<std::string, uint64_t> expected = {
      {"the", 1}, {"cat", 1}, {"sat", 1}, {"on", 1}, {"mat.", 1}, {"The", 1},
      {"cat", 1}, {"sat\xE2\x80\x8Bhere", 1}, {"\xEF\xBB\xBFthe", 1}};
  expected["the"] = 2;
  expected["cat"] = 2;
  std::vector<ShardCounter> shards(2);
  split_whitespace(text, [&](std::string_view word) {
    const uint64_t hash = pretoken_hash(word);
    shards[owner_index(hash, 2)].add(word, hash);
  });
  EXPECT_EQ(as_map(combine_shards(std::move(shards), nullptr)), expected);
}

}  // namespace
}  // namespace selkbar
