// A scanner's local counts: whatever is counted here, handed on by eviction
// or drain, plus whatever add() declines, is the exact count of every word,
// however small the table and however skewed or colliding the words.
#include "counting/local_counts.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "counting/batch.h"
#include "counting/counter.h"
#include "base/fxhash.h"

namespace selkbar {
namespace {

using Counts = std::map<std::string, uint64_t>;

// Feeds `words` through a table of 2^bits slots, hashing each with `hash`;
// returns the total per word as the caller and the owners would see it.
template <typename Hash>
Counts count_through(const std::vector<std::string>& words, int bits, Hash hash,
                     size_t* declined = nullptr, size_t* evicted = nullptr) {
  LocalCounts local(bits);
  local.prepare();
  Counts total;
  auto evict = [&](std::string_view word, uint64_t, uint64_t count) {
    EXPECT_GT(count, 0u);
    total[std::string(word)] += count;
    if (evicted != nullptr) ++*evicted;
  };
  for (const std::string& word : words) {
    if (!local.add(word, hash(word), evict)) {
      ++total[word];
      if (declined != nullptr) ++*declined;
    }
  }
  local.drain(evict);
  // A drained table holds nothing: draining again hands on nothing.
  local.drain([](std::string_view word, uint64_t, uint64_t) { ADD_FAILURE() << word; });
  return total;
}

Counts reference(const std::vector<std::string>& words) {
  Counts counts;
  for (const std::string& word : words) ++counts[word];
  return counts;
}

// Zipf-like words: a few very frequent, a long tail, some longer than a
// slot holds.
std::vector<std::string> skewed_words(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> words;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t rank = static_cast<uint32_t>(1.0 / (1e-4 + std::uniform_real_distribution<>(0, 1)(rng)));
    std::string word = "w" + std::to_string(rank);
    if (rank % 97 == 0) word += std::string(LocalCounts::MAX_WORD, 'x');
    words.push_back(word);
  }
  return words;
}

TEST(LocalCounts, TotalsAreExactForEveryTableSize) {
  const std::vector<std::string> words = skewed_words(200000, 5);
  const Counts want = reference(words);
  for (int bits : {1, 3, 8, 13}) {
    SCOPED_TRACE(bits);
    size_t declined = 0;
    size_t evicted = 0;
    EXPECT_EQ(count_through(words, bits, [](const std::string& w) { return pretoken_hash(w); },
                            &declined, &evicted),
              want);
    if (bits == 1) EXPECT_GT(evicted, 0u);  // the eviction path ran
    if (bits == 13) EXPECT_LT(declined, words.size() / 4);  // most stay local
  }
}

TEST(LocalCounts, EqualHashesNeverMergeDifferentWords) {
  // Every word gets the same hash; only the bytes tell them apart, including
  // words of equal length differing in one byte and words that are prefixes
  // of others.
  std::vector<std::string> words;
  std::mt19937 rng(9);
  const std::vector<std::string> base = {"ab", "ac", "abc", "abd", "a", "", "abcdefgh", "abcdefgi",
                                         std::string(LocalCounts::MAX_WORD, 'z'),
                                         std::string(LocalCounts::MAX_WORD + 1, 'z')};
  for (int i = 0; i < 5000; ++i) words.push_back(base[rng() % base.size()]);
  for (int bits : {1, 4}) {
    EXPECT_EQ(count_through(words, bits, [](const std::string&) { return uint64_t{42}; }),
              reference(words));
  }
}

TEST(LocalCounts, HandedOnCountsReachTheOwnerThroughCountedBatches) {
  const std::vector<std::string> words = skewed_words(50000, 7);
  LocalCounts local(4);
  local.prepare();
  PretokenBatch singles;
  PretokenBatch counted;
  auto evict = [&](std::string_view word, uint64_t hash, uint64_t count) {
    counted.push_counted(word, hash, count);
  };
  for (const std::string& word : words) {
    const uint64_t hash = pretoken_hash(word);
    if (!local.add(word, hash, evict)) singles.push(word, hash);
  }
  local.drain(evict);
  ASSERT_TRUE(counted.counted());
  ASSERT_FALSE(singles.counted());
  ShardCounter owner;
  owner.add_batch(singles);
  owner.add_batch(counted);
  Counts got;
  for (uint32_t id = 0; id < owner.len(); ++id) {
    EXPECT_TRUE(got.emplace(std::string(owner.table().get(id)), owner.table().count(id)).second);
  }
  EXPECT_EQ(got, reference(words));
}

}  // namespace
}  // namespace selkbar
