// WordCounts (combining, lookup, ordering) against a plain std::map, and the
// spelling rules counts from elsewhere must follow.
#include "counts/word_counts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/error.h"
#include "counting/pipeline.h"
#include "test_files.h"
#include "training/trainer.h"
#include "pretokenize/word_spelling.h"

namespace selkbar {
namespace {

using WordMap = std::map<std::string, uint64_t>;

const PretokenizerId WHITESPACE{PretokenizerKind::Whitespace, std::nullopt};
const PretokenizerId BYTELEVEL{PretokenizerKind::ByteLevel, std::nullopt};

// Words in the order given, which the tests vary on purpose.
WordCounts counts_of(const std::vector<std::pair<std::string, uint64_t>>& words,
                     const PretokenizerId& id = WHITESPACE) {
  WordTable table;
  for (const auto& [word, count] : words) table.push(word, count);
  return WordCounts(id, std::move(table));
}

WordMap as_map(const WordCounts& counts) {
  WordMap result;
  for (uint32_t id = 0; id < counts.size(); ++id) {
    EXPECT_TRUE(result.emplace(std::string(counts.words().get(id)), counts.words().count(id)).second)
        << "repeated word " << counts.words().get(id);
  }
  return result;
}

CountTotal total_of(const WordMap& words) {
  CountTotal total = 0;
  for (const auto& entry : words) total += entry.second;
  return total;
}

// Words over a small alphabet, so that two random sets overlap a lot.
WordMap random_words(std::mt19937_64& rng, size_t n) {
  static const char* const LETTERS[] = {"a", "b", "c", "\xc3\xa9", "\xe6\x97\xa5"};
  WordMap words;
  for (size_t i = 0; i < n; ++i) {
    std::string word;
    const size_t length = 1 + rng() % 5;
    for (size_t j = 0; j < length; ++j) word += LETTERS[rng() % 5];
    words[word] += 1 + rng() % 1000;
  }
  return words;
}

std::vector<std::pair<std::string, uint64_t>> shuffled(const WordMap& words, std::mt19937_64& rng) {
  std::vector<std::pair<std::string, uint64_t>> list(words.begin(), words.end());
  std::shuffle(list.begin(), list.end(), rng);
  return list;
}

// ---- Combining ----

TEST(WordCountsCombining, AddAllMatchesAMapSumOnRandomOverlappingSets) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 20; ++round) {
    const WordMap left = random_words(rng, 1 + rng() % 400);
    const WordMap right = random_words(rng, rng() % 400);
    WordMap expected = left;
    for (const auto& [word, count] : right) expected[word] += count;

    WordCounts combined = counts_of(shuffled(left, rng));
    if (round % 2) combined.find("a");  // an index built before combining must stay right
    ASSERT_TRUE(combined.add_all(counts_of(shuffled(right, rng))).ok());
    EXPECT_EQ(as_map(combined), expected);
    EXPECT_TRUE(combined.total() == total_of(expected));
    for (const auto& [word, count] : expected) {
      const std::optional<uint32_t> id = combined.find(word);
      ASSERT_TRUE(id.has_value()) << word;
      EXPECT_EQ(combined.words().count(*id), count);
    }
    EXPECT_FALSE(combined.find("zz").has_value());
  }
}

TEST(WordCountsCombining, AddingToItselfDoublesEveryCount) {
  WordCounts counts = counts_of({{"a", 1}, {"b", 5}});
  ASSERT_TRUE(counts.add_all(counts).ok());
  EXPECT_EQ(as_map(counts), (WordMap{{"a", 2}, {"b", 10}}));
  EXPECT_TRUE(counts.total() == 12);
}

TEST(WordCountsCombining, AddEntersNewWordsAndAddsToKnownOnes) {
  WordCounts counts(WHITESPACE);
  EXPECT_FALSE(counts.find("a").has_value());
  for (int i = 0; i < 5000; ++i) ASSERT_TRUE(counts.add("w" + std::to_string(i % 1000), 2));
  EXPECT_EQ(counts.size(), 1000u);
  EXPECT_TRUE(counts.total() == 10000);
  EXPECT_EQ(counts.words().count(*counts.find("w999")), 10u);
}

TEST(WordCountsCombining, CountOverflowChangesNothing) {
  WordCounts counts = counts_of({{"a", 3}, {"b", MAX_WORD_COUNT - 1}});
  counts.find("a");
  const WordCounts before = counts.clone();
  // "a" and the new word "c" come before the overflowing "b".
  EXPECT_EQ(counts.add_all(counts_of({{"a", 1}, {"c", 1}, {"b", 2}})).code(),
            StatusCode::Overflow);
  EXPECT_TRUE(counts.same_counts(before));
  EXPECT_FALSE(counts.find("c").has_value());
  EXPECT_FALSE(counts.add("b", 2));
  EXPECT_TRUE(counts.same_counts(before));
  EXPECT_TRUE(counts.add("b", 1));
  EXPECT_EQ(counts.words().count(*counts.find("b")), MAX_WORD_COUNT);
}

TEST(WordCountsCombining, TotalsPastTwoToTheSixtyFourAreExact) {
  WordCounts counts = counts_of({{"a", MAX_WORD_COUNT}, {"b", MAX_WORD_COUNT}});
  EXPECT_TRUE(counts.total() == CountTotal{MAX_WORD_COUNT} * 2);
}

TEST(WordCountsCombining, DifferentPretokenizersNeverCombine) {
  WordCounts whitespace = counts_of({{"a", 1}});
  EXPECT_EQ(whitespace.add_all(counts_of({{"a", 1}}, BYTELEVEL)).code(),
            StatusCode::InvalidInput);
  PretokenizerId with_pattern = WHITESPACE;
  with_pattern.pattern = "\\S+";
  EXPECT_EQ(whitespace.add_all(counts_of({{"a", 1}}, with_pattern)).code(),
            StatusCode::InvalidInput);
  EXPECT_EQ(as_map(whitespace), (WordMap{{"a", 1}}));
}

TEST(WordCountsCombining, ClonesAreIndependent) {
  WordCounts original = counts_of({{"a", 1}});
  original.find("a");
  WordCounts copy = original.clone();
  ASSERT_TRUE(copy.add("b", 1));
  ASSERT_TRUE(copy.add("a", 1));
  EXPECT_EQ(as_map(original), (WordMap{{"a", 1}}));
  EXPECT_FALSE(original.find("b").has_value());
  EXPECT_EQ(as_map(copy), (WordMap{{"a", 2}, {"b", 1}}));
}

// ---- Ordering and equality ----

TEST(WordCountsOrder, MostCommonSortsByCountThenBytesWhateverTheTableOrder) {
  // 0xC3 0xA9 ("é") sorts after every ASCII byte: bytes compare unsigned.
  const WordMap words = {{"b", 5}, {"a", 5}, {"\xc3\xa9", 5}, {"z", 9}, {"ab", 5}, {"c", 1}};
  const std::vector<std::string> expected = {"z", "a", "ab", "b", "\xc3\xa9", "c"};
  std::mt19937_64 rng(3);
  for (int round = 0; round < 10; ++round) {
    const WordCounts counts = counts_of(shuffled(words, rng));
    for (size_t n : {0u, 1u, 3u, 6u, 100u}) {
      const std::vector<uint32_t> ids = counts.most_common(n);
      ASSERT_EQ(ids.size(), std::min<size_t>(n, words.size()));
      for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(counts.words().get(ids[i]), expected[i]);
    }
  }
}

TEST(WordCountsOrder, SameCountsIgnoresOrderButNotCountsOrPretokenizer) {
  std::mt19937_64 rng(11);
  const WordMap words = random_words(rng, 300);
  const WordCounts a = counts_of(shuffled(words, rng));
  EXPECT_TRUE(a.same_counts(counts_of(shuffled(words, rng))));
  EXPECT_FALSE(a.same_counts(counts_of(shuffled(words, rng), BYTELEVEL)));
  WordMap changed = words;
  changed.begin()->second += 1;
  EXPECT_FALSE(a.same_counts(counts_of(shuffled(changed, rng))));
  WordMap moved = words;  // same total, one count moved to another word
  moved.begin()->second += 1;
  std::prev(moved.end())->second -= 1;
  EXPECT_FALSE(a.same_counts(counts_of(shuffled(moved, rng))));
  EXPECT_TRUE(WordCounts(WHITESPACE).same_counts(WordCounts(WHITESPACE)));
}

// ---- Training from counts that are kept ----

void expect_same_training(const TrainResult& a, const TrainResult& b) {
  EXPECT_EQ(a.tokens, b.tokens);
  ASSERT_EQ(a.merges.size(), b.merges.size());
  for (size_t i = 0; i < a.merges.size(); ++i) {
    EXPECT_EQ(a.merges[i].left, b.merges[i].left);
    EXPECT_EQ(a.merges[i].right, b.merges[i].right);
    EXPECT_EQ(a.merges[i].new_id, b.merges[i].new_id);
  }
}

TEST(BorrowedTraining, TrainsAsOnAnOwnedTableAndLeavesTheCountsAsTheyWere) {
  std::mt19937_64 rng(9);
  const WordCounts counts = counts_of(shuffled(random_words(rng, 500), rng));
  const WordCounts before = counts.clone();
  TrainConfig config;
  config.special_tokens = {"<s>"};
  config.continuing_subword_prefix = "##";
  config.max_token_length = 4;
  for (uint64_t vocab_size : {10u, 60u, 400u}) {
    config.vocab_size = vocab_size;
    const TrainResult kept = train_from_borrowed_words(counts.words(), config);
    expect_same_training(kept, train_from_words(counts.words().clone(), config));
    EXPECT_TRUE(counts.same_counts(before));
    EXPECT_EQ(counts.words().bytes(), before.words().bytes());
  }
}

// ---- Spelling ----

TEST(WordSpelling, WhitespaceWordsHoldNoWhiteSpace) {
  EXPECT_FALSE(check_word_spelling(PretokenizerKind::Whitespace, "caf\xc3\xa9!").has_value());
  const auto space = check_word_spelling(PretokenizerKind::Whitespace, "a b");
  ASSERT_TRUE(space.has_value());
  EXPECT_EQ(space->kind, SpellingProblem::WhiteSpace);
  EXPECT_EQ(space->code_point, 0x20u);
  const auto ideographic = check_word_spelling(PretokenizerKind::Whitespace, "a\xe3\x80\x80");
  ASSERT_TRUE(ideographic.has_value());
  EXPECT_EQ(ideographic->code_point, 0x3000u);
  EXPECT_NE(describe_spelling_problem(*ideographic).find("U+3000"), std::string::npos);
  EXPECT_EQ(check_word_spelling(PretokenizerKind::Whitespace, "")->kind, SpellingProblem::Empty);
  EXPECT_EQ(check_word_spelling(PretokenizerKind::Whitespace, "a\xff")->kind,
            SpellingProblem::NotUtf8);
}

TEST(WordSpelling, ByteLevelWordsUseTheAlphabetAndSpellUtf8) {
  EXPECT_FALSE(check_word_spelling(PretokenizerKind::ByteLevel, "\xc4\xa0the").has_value());  // "Ġthe"
  EXPECT_FALSE(check_word_spelling(PretokenizerKind::ByteLevel, "\xc3\x83\xc2\xa9").has_value());  // "Ã©" = é
  const auto space = check_word_spelling(PretokenizerKind::ByteLevel, " the");
  ASSERT_TRUE(space.has_value());
  EXPECT_EQ(space->kind, SpellingProblem::OutsideAlphabet);
  EXPECT_EQ(space->code_point, 0x20u);
  EXPECT_NE(describe_spelling_problem(*space).find("byte-level alphabet"), std::string::npos);
  EXPECT_EQ(check_word_spelling(PretokenizerKind::ByteLevel, "\xe6\x97\xa5")->kind,
            SpellingProblem::OutsideAlphabet);
  // "é" is in the alphabet, but as the lone byte 0xE9, which is not UTF-8.
  const auto lone = check_word_spelling(PretokenizerKind::ByteLevel, "caf\xc3\xa9");
  ASSERT_TRUE(lone.has_value());
  EXPECT_EQ(lone->kind, SpellingProblem::BytesNotUtf8);
  EXPECT_NE(describe_spelling_problem(*lone).find("byte-level alphabet"), std::string::npos);
}

TEST(WordSpelling, EveryWordPhaseOneCountsIsWellSpelled) {
  testing::TempDir dir;
  const std::string text =
      "Hello, world! I'm here  \n\tcaf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e 42\xe3\x80\x80x"
      " \xf0\x9f\x98\x80 \xc2\xa0 end\r\n";
  const std::string path = dir.write("corpus.txt", text);
  for (PretokenizerKind kind : {PretokenizerKind::Whitespace, PretokenizerKind::ByteLevel}) {
    CountResult counted = count_words({path}, 2, kind);
    ASSERT_TRUE(counted.status.ok());
    ASSERT_GT(counted.words.len(), 5u);
    for (uint32_t id = 0; id < counted.words.len(); ++id) {
      EXPECT_FALSE(check_word_spelling(kind, counted.words.get(id)).has_value())
          << counted.words.get(id);
    }
  }
}

}  // namespace
}  // namespace selkbar
