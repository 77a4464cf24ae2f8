// Phase 2 end to end: initial vocabulary, merge selection, stopping rules,
// merge strings, diagnostics, and random corpora against a naive trainer.
#include "training/trainer.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/error.h"
#include "naive_trainer.h"

namespace selkbar {

// Found by argument-dependent lookup, so outside the anonymous namespace.
bool operator==(const Merge& a, const Merge& b) {
  return a.left == b.left && a.right == b.right && a.new_id == b.new_id;
}
void PrintTo(const Merge& merge, std::ostream* out) {
  *out << "(" << merge.left << ", " << merge.right << " -> " << merge.new_id << ")";
}

namespace {

using WordCounts = std::vector<std::pair<std::string, uint64_t>>;
using Strings = std::vector<std::string>;

WordTable table_of(const WordCounts& words) {
  WordTable table;
  for (const auto& [word, count] : words) table.push(word, count);
  return table;
}

TrainConfig config_for(uint64_t vocab_size) {
  TrainConfig config;
  config.vocab_size = vocab_size;
  return config;
}

TrainResult train(const WordCounts& words, const TrainConfig& config) {
  return train_from_words(table_of(words), config);
}

// The string each merge produced, in merge order.
Strings merged_strings(const TrainResult& result) {
  Strings merged;
  for (const Merge& merge : result.merges) merged.push_back(result.tokens.at(merge.new_id));
  return merged;
}

using Merges = std::vector<Merge>;

// ---- Worked words ----

TEST(TrainWorkedWords, AaaaBecomesTwoPairsThenOneToken) {
  const TrainResult result = train({{"aaaa", 1}}, config_for(100));
  EXPECT_EQ(result.tokens, (Strings{"a", "aa", "aaaa"}));
  // (aa, a) ends at count 0 and is never merged.
  EXPECT_EQ(result.merges, (Merges{{0, 0, 1}, {1, 1, 2}}));
}

TEST(TrainWorkedWords, AaaCountsTheRemainderOnce) {
  const TrainResult result = train({{"aaa", 1}}, config_for(100));
  EXPECT_EQ(result.tokens, (Strings{"a", "aa", "aaa"}));
  EXPECT_EQ(result.merges, (Merges{{0, 0, 1}, {1, 0, 2}}));
}

TEST(TrainWorkedWords, CountsAreWeightedByWordCount) {
  // "ab" once with count 5 beats "cd" three times over in distinct words.
  const TrainResult result =
      train({{"ab", 5}, {"cd", 1}, {"xcd", 1}, {"ycd", 1}}, config_for(7));
  EXPECT_EQ(merged_strings(result), (Strings{"ab"}));
}

// ---- Selection and tie-breaking ----

TEST(TrainSelection, HigherCountWinsOverSmallerIds) {
  EXPECT_EQ(merged_strings(train({{"cd", 3}, {"ab", 2}}, config_for(5))), (Strings{"cd"}));
}

TEST(TrainSelection, EqualCountsGoToTheSmallerLeftIdThenRightId) {
  EXPECT_EQ(merged_strings(train({{"cd", 3}, {"ab", 3}}, config_for(5))), (Strings{"ab"}));
  // The left id decides before the right id: (a, d) before (b, c).
  EXPECT_EQ(merged_strings(train({{"bc", 3}, {"ad", 3}}, config_for(5))), (Strings{"ad"}));
  EXPECT_EQ(merged_strings(train({{"ac", 3}, {"ab", 3}}, config_for(4))), (Strings{"ab"}));
  // Ids, not strings, decide: the special token z holds id 0.
  TrainConfig config = config_for(4);
  config.special_tokens = {"z"};
  EXPECT_EQ(merged_strings(train({{"ab", 3}, {"za", 3}}, config)), (Strings{"za"}));
}

TEST(TrainSelection, MergedTokensOutrankYoungerOnesAtEqualCount) {
  // After "ab", both (ab, c) and (c, d) have count 2; ab (id 4) is younger
  // than c (id 2), so (c, d) goes first.
  const TrainResult result = train({{"abc", 2}, {"cd", 2}, {"ab", 1}}, config_for(7));
  EXPECT_EQ(merged_strings(result), (Strings{"ab", "cd", "abc"}));
}

// ---- Stopping ----

TEST(TrainStopping, MinFrequencyStopsBeforeTheVocabularyIsFull) {
  TrainConfig config = config_for(100);
  config.min_frequency = 5;
  EXPECT_TRUE(train({{"ab", 4}, {"cd", 2}}, config).merges.empty());
  config.min_frequency = 4;
  EXPECT_EQ(merged_strings(train({{"ab", 4}, {"cd", 2}}, config)), (Strings{"ab"}));
  config.min_frequency = 0;
  EXPECT_EQ(merged_strings(train({{"ab", 4}, {"cd", 2}}, config)), (Strings{"ab", "cd"}));
}

TEST(TrainStopping, VocabularyAtOrAboveTheTargetIsKeptWhole) {
  TrainConfig config = config_for(0);
  config.special_tokens = {"<s>", "</s>"};
  const TrainResult zero = train({{"abc", 9}}, config);
  EXPECT_EQ(zero.tokens, (Strings{"<s>", "</s>", "a", "b", "c"}));
  EXPECT_TRUE(zero.merges.empty());
  config.vocab_size = 5;
  EXPECT_TRUE(train({{"abc", 9}}, config).merges.empty());
  config.vocab_size = 6;
  EXPECT_EQ(train({{"abc", 9}}, config).merges.size(), 1u);
}

TEST(TrainStopping, VocabSizeBeyondMemoryTrainsToTheEnd) {
  for (uint64_t vocab_size : {uint64_t{1000000000000}, std::numeric_limits<uint64_t>::max()}) {
    const TrainResult result = train({{"abcd", 2}, {"ab", 1}}, config_for(vocab_size));
    EXPECT_EQ(merged_strings(result), (Strings{"ab", "cd", "abcd"}));
  }
}

TEST(TrainStopping, NothingToMerge) {
  TrainConfig config = config_for(100);
  EXPECT_TRUE(train({}, config).tokens.empty());
  config.special_tokens = {"<s>"};
  const TrainResult empty = train({}, config);
  EXPECT_EQ(empty.tokens, (Strings{"<s>"}));
  EXPECT_TRUE(empty.merges.empty());
  const TrainResult singles = train({{"a", 3}, {"b", 1}, {"\xc3\xa9", 2}}, config);
  EXPECT_EQ(singles.tokens, (Strings{"<s>", "a", "b", "\xc3\xa9"}));
  EXPECT_TRUE(singles.merges.empty());
}

// ---- Strings that already exist ----

TEST(TrainExistingStrings, MergeIntoAnExistingTokenReusesItsId) {
  TrainConfig config = config_for(10);
  config.special_tokens = {"ab"};
  const TrainResult result = train({{"ab", 5}, {"b", 1}}, config);
  EXPECT_EQ(result.tokens, (Strings{"ab", "a", "b"}));
  EXPECT_EQ(result.merges, (Merges{{1, 2, 0}}));
}

TEST(TrainExistingStrings, PairWithTwoQueueEntriesIsMergedTwice) {
  // "###" with prefix "#" is [#, ##, ##]. Merging (#, ##) spells "##" again,
  // so the word becomes [##, ##] and (##, ##) gains a second queue entry
  // with the same count. Both entries are popped and merged; the second
  // finds nothing left to rewrite but is still recorded.
  TrainConfig config = config_for(100);
  config.continuing_subword_prefix = "#";
  const TrainResult result = train({{"###", 3}}, config);
  EXPECT_EQ(result.tokens, (Strings{"#", "##", "###"}));
  EXPECT_EQ(result.merges, (Merges{{0, 1, 1}, {1, 1, 2}, {1, 1, 2}}));
  const std::vector<std::pair<std::string, std::string>> pairs = {{"#", "##"}, {"##", "##"}};
  EXPECT_EQ(merge_string_pairs(result), pairs);
}

TEST(MergeStringPairs, PairMergedTwiceIsListedOnceAtItsLastPosition) {
  TrainResult result;
  result.tokens = {"a", "b", "ab", "aba", "bb"};
  result.merges = {{0, 1, 2}, {2, 0, 3}, {1, 1, 4}, {0, 1, 2}};
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"ab", "a"}, {"b", "b"}, {"a", "b"}};
  EXPECT_EQ(merge_string_pairs(result), expected);
}

TEST(MergeStringPairs, IdOutsideTheVocabularyIsAnInternalError) {
  TrainResult result;
  result.tokens = {"a", "b"};
  result.merges = {{0, 2, 1}};
  EXPECT_THROW(merge_string_pairs(result), InternalError);
  result.merges = {{0, 1, 2}};
  EXPECT_THROW(merge_string_pairs(result), InternalError);
}

// ---- Alphabet ----

TEST(TrainAlphabet, LimitDropsRarestThenLowerCodePoint) {
  TrainConfig config = config_for(0);
  config.limit_alphabet = 2;
  const WordCounts words = {{"a", 5}, {"b", 5}, {"c", 1}, {"d", 9}};
  EXPECT_EQ(train(words, config).tokens, (Strings{"b", "d"}));
  config.limit_alphabet = 4;
  EXPECT_EQ(train(words, config).tokens, (Strings{"a", "b", "c", "d"}));
  config.limit_alphabet = 0;
  EXPECT_TRUE(train(words, config).tokens.empty());
  // Counts past 2^64 rank saturated, not wrapped: c occurs 2^64 times,
  // which wraps to 0 and would lose to a's 2^63 + 1.
  config.limit_alphabet = 1;
  const uint64_t half = uint64_t{1} << 63;
  EXPECT_EQ(train({{"cx", half}, {"cy", half}, {"a", half + 1}}, config).tokens,
            (Strings{"c"}));
}

TEST(TrainAlphabet, DroppedCharactersVanishFromWords) {
  // x and y are dropped; "axb" becomes [a, b], so (a, b) counts 3 + 1.
  TrainConfig config = config_for(10);
  config.limit_alphabet = 2;
  const TrainResult result = train({{"axb", 3}, {"ab", 1}, {"y", 1}, {"ay", 2}}, config);
  EXPECT_EQ(result.tokens, (Strings{"a", "b", "ab"}));
  // With nothing in the alphabet, words have no symbols and nothing merges.
  config.limit_alphabet = 0;
  EXPECT_TRUE(train({{"axb", 3}}, config).merges.empty());
}

TEST(TrainAlphabet, OrderedByCodePointAndSharedWithSpecialTokens) {
  TrainConfig config = config_for(0);
  EXPECT_EQ(train({{"\xc3\xa9z", 1}, {"\xf0\x9f\x98\x80" "a", 1}}, config).tokens,
            (Strings{"a", "z", "\xc3\xa9", "\xf0\x9f\x98\x80"}));
  // A one-character special token is the character's token.
  config.special_tokens = {"b"};
  config.vocab_size = 10;
  const TrainResult result = train({{"ab", 2}}, config);
  EXPECT_EQ(result.tokens, (Strings{"b", "a", "ab"}));
  EXPECT_EQ(result.merges, (Merges{{1, 0, 2}}));
}

TEST(TrainAlphabet, MalformedUtf8IsReadSafely) {
  // Phase 1 only hands over valid UTF-8; anything else must still be read
  // within bounds. Each byte that starts no complete character stands for
  // U+FFFD.
  const TrainResult result =
      train({{"a\xff", 2}, {"\xe2\x82", 1}, {"\xc0\xaf", 1}}, config_for(0));
  EXPECT_EQ(result.tokens, (Strings{"a", "\xef\xbf\xbd"}));
}

// ---- Special tokens ----

TEST(TrainSpecialTokens, DuplicatesKeepTheirFirstId) {
  TrainConfig config = config_for(0);
  config.special_tokens = {"<s>", "<s>", "</s>", ""};
  EXPECT_EQ(train({}, config).tokens, (Strings{"<s>", "</s>", ""}));
}

// ---- Prefix and suffix ----

TEST(TrainDecoration, PrefixAndSuffixSpellCharactersByPosition) {
  TrainConfig config = config_for(0);
  config.continuing_subword_prefix = "##";
  EXPECT_EQ(train({{"abc", 1}}, config).tokens, (Strings{"a", "b", "c", "##b", "##c"}));

  config.continuing_subword_prefix.reset();
  config.end_of_word_suffix = "$";
  EXPECT_EQ(train({{"ab", 1}, {"a", 1}}, config).tokens, (Strings{"a", "b", "a$", "b$"}));

  config.continuing_subword_prefix = "##";
  config.vocab_size = 10;
  const TrainResult both = train({{"ab", 1}}, config);
  EXPECT_EQ(both.tokens, (Strings{"a", "b", "##b$", "ab$"}));
}

TEST(TrainDecoration, DecoratedTokensEnterInByteOrder) {
  TrainConfig config = config_for(0);
  config.continuing_subword_prefix = "##";
  config.end_of_word_suffix = "$";
  // "##b" is a prefix of "##b$" and sorts first; b (0x62) sorts before the
  // lead byte of \u00e9 (0xC3).
  const TrainResult result =
      train({{"z\xc3\xa9", 1}, {"zb", 1}, {"zbb", 1}}, config);
  EXPECT_EQ(result.tokens, (Strings{"b", "z", "\xc3\xa9", "##b", "##b$", "##\xc3\xa9$"}));
}

TEST(TrainDecoration, PositionsCountDroppedCharacters) {
  TrainConfig config = config_for(0);
  config.continuing_subword_prefix = "##";
  config.limit_alphabet = 1;
  // x is dropped, yet b in "xb" is still the second character.
  EXPECT_EQ(train({{"xb", 1}, {"b", 5}}, config).tokens, (Strings{"b", "##b"}));
}

TEST(TrainDecoration, MergedStringsDropThePrefixOfTheRightSide) {
  TrainConfig config = config_for(100);
  config.continuing_subword_prefix = "##";
  const TrainResult result = train({{"ab", 3}, {"xab", 2}, {"yab", 2}}, config);
  const Strings merged = merged_strings(result);
  ASSERT_GE(merged.size(), 2u);
  EXPECT_EQ(merged[0], "##ab");  // ##a + ##b
  EXPECT_EQ(merged[1], "ab");    // a + ##b
  // The suffix is never stripped.
  config.continuing_subword_prefix.reset();
  config.end_of_word_suffix = "</w>";
  EXPECT_EQ(merged_strings(train({{"ab", 1}}, config)), (Strings{"ab</w>"}));
}

// ---- max_token_length ----

size_t char_count(const std::string& text) {
  return std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; });
}

TEST(TrainMaxTokenLength, NewPairsMustSpanFewerCharacters) {
  const WordCounts words = {{"abcabcabc", 5}, {"aabbccaa", 3}, {"cabbage", 2}, {"abba", 4}};
  for (uint64_t limit : {1, 2, 3, 4}) {
    TrainConfig config = config_for(1000);
    config.max_token_length = limit;
    const TrainResult result = train(words, config);
    ASSERT_FALSE(result.merges.empty());
    for (const std::string& merged : merged_strings(result)) {
      // Pairs of two initial characters are always counted.
      EXPECT_LE(char_count(merged), std::max<uint64_t>(2, limit - 1)) << merged;
    }
  }
  // Without the limit the same corpus forms long tokens.
  const Strings unlimited = merged_strings(train(words, config_for(1000)));
  EXPECT_TRUE(std::any_of(unlimited.begin(), unlimited.end(),
                          [](const std::string& s) { return char_count(s) >= 4; }));
}

TEST(TrainMaxTokenLength, ThreeStopsAtTwoCharacters) {
  TrainConfig config = config_for(1000);
  config.max_token_length = 3;
  const TrainResult result = train({{"abc", 10}}, config);
  // (ab, c) spans 3 and is never counted.
  EXPECT_EQ(merged_strings(result), (Strings{"ab"}));
}

TEST(TrainMaxTokenLength, NegativeCountRevalidatesAsTwosComplement) {
  // "##bb" with prefix "#" is [#, ##, #b, #b]. Merging (#, ##) reuses "##"
  // (now covering 2 characters), so (##, #b) loses its occurrence without a
  // +1 (2 + 1 is not below 3); merging (#b, #b) then takes one more from it,
  // leaving -1. Re-validation converts -1 to 2^64 - 1, which outranks every
  // count, so (##, #b) is merged although it occurs nowhere. The reference
  // library produces the same merges.
  TrainConfig config = config_for(100);
  config.continuing_subword_prefix = "#";
  config.max_token_length = 3;
  const TrainResult result = train({{"##bb", 1}}, config);
  EXPECT_EQ(result.tokens, (Strings{"#", "b", "##", "#b", "#bb", "##b"}));
  EXPECT_EQ(result.merges, (Merges{{0, 2, 2}, {3, 3, 4}, {2, 3, 5}}));
}

// ---- Diagnostics ----

TEST(TrainStats, StatisticsLineNeedsOnlyThePresenceOfTheVariable) {
  TrainConfig config = config_for(10);
  ::testing::internal::CaptureStderr();
  train({{"ab", 1}, {"abc", 1}}, config);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

  // "0" switches the other diagnostics off, not this line.
  config.diagnostics = diagnostics_from_env("0", "/usr/bin:/bin");
  ::testing::internal::CaptureStderr();
  train({{"ab", 1}, {"abc", 1}}, config);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "stats: words=2 symbols=5 (0 MB) pairs=2 (0 MB) pos_entries=3 pos_cap=4 "
            "(0 MB incl. Vec headers)\n");
}

TEST(TrainStats, LapsComeInPhaseOrder) {
  TrainConfig config = config_for(10);
  config.diagnostics = diagnostics_from_env("1", "/usr/bin:/bin");
  ::testing::internal::CaptureStderr();
  train({{"ab", 1}}, config);
  const std::string out = ::testing::internal::GetCapturedStderr();
  size_t at = 0;
  for (const char* mark : {"  phase2 alphabet: ", "  phase2 tokenize: ",
                           "  phase2 initial pair count: ", "stats: words=1 ",
                           "  phase2 merge loop: "}) {
    const size_t found = out.find(mark, at);
    ASSERT_NE(found, std::string::npos) << mark << " missing or out of order in:\n" << out;
    at = found;
  }
}

// ---- Thread budget ----

// Merges whose pair occurs in thousands of words are split over helper
// threads, as is the count of the characters; the vocabulary and merges
// must not depend on how many there are. The corpus is large enough that
// both split into many ranges, and holds one very long word, whose deltas a
// range hands over in batches.
TEST(TrainThreadBudget, SplitMergesGiveTheResultOfOneThread) {
  std::mt19937 rng(515);
  const Strings letters = {"a", "b", "c", "d", "e", "\xc3\xa9"};
  std::map<std::string, uint64_t> distinct;
  while (distinct.size() < 60000) {
    std::string word;
    const size_t length = 2 + rng() % 11;
    for (size_t j = 0; j < length; ++j) word += letters[std::min<size_t>(rng() % 8, 5)];
    distinct[word] += 1 + (rng() % 16 == 0 ? rng() % 1000 : rng() % 3);
  }
  std::string long_word;
  for (int i = 0; i < 50000; ++i) long_word += "ab";
  distinct[long_word] = 2;
  WordCounts words(distinct.begin(), distinct.end());
  std::shuffle(words.begin(), words.end(), rng);
  // Among the last words, a character that ranks only by its count there.
  words.emplace_back(std::string(20, 'g'), 1000000);

  TrainConfig decorated = config_for(2000);
  decorated.continuing_subword_prefix = "##";
  decorated.end_of_word_suffix = "</w>";
  decorated.max_token_length = 6;
  decorated.limit_alphabet = 6;  // ranks the seven characters by their summed counts
  for (const TrainConfig& base : {config_for(2000), decorated}) {
    TrainConfig config = base;
    config.threads = 1;
    const TrainResult one = train(words, config);
    ASSERT_GT(one.merge_loop.words_visited, 100000u);
    ASSERT_GT(one.merge_loop.words_rewritten, 0u);
    ASSERT_LE(one.merge_loop.words_rewritten, one.merge_loop.words_visited);
    for (uint64_t threads : {2, 3, 8, 4096}) {
      SCOPED_TRACE("threads " + std::to_string(threads));
      config.threads = threads;
      const TrainResult many = train(words, config);
      ASSERT_EQ(many.tokens, one.tokens);
      ASSERT_EQ(many.merges, one.merges);
      EXPECT_EQ(many.merge_loop.words_visited, one.merge_loop.words_visited);
      EXPECT_EQ(many.merge_loop.words_rewritten, one.merge_loop.words_rewritten);
    }
  }
}

// ---- Random corpora against a naive trainer ----

using testing::naive_train;
using testing::NaiveRun;

// A large alphabet gives far more distinct pairs than the cache holds; the
// initial count then gathers the pairs of many words before counting them,
// and the parts of the budget join large tables. The result must stay that
// of the naive trainer on every budget.
TEST(TrainRandomCorpora, LargeAlphabetsMatchTheNaiveTrainerOnEveryBudget) {
  std::mt19937 rng(8117);
  // Half the characters from eight frequent ones, so that merges have
  // clear winners, the other half from U+0100 to U+04FF (two bytes each),
  // so that pairs are many.
  auto character = [&] {
    const uint32_t cp = rng() % 2 == 0 ? 0x100 + std::min(rng() % 8, rng() % 8) : 0x100 + rng() % 1024;
    return std::string{static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
  };
  std::map<std::string, uint64_t> distinct;
  while (distinct.size() < 45000) {
    std::string word;
    const size_t length = 2 + rng() % 11;
    for (size_t j = 0; j < length; ++j) word += character();
    distinct[word] += 1 + rng() % 3;
  }
  WordCounts words(distinct.begin(), distinct.end());
  std::shuffle(words.begin(), words.end(), rng);
  std::set<std::string> pairs;
  for (const auto& [word, count] : words) {
    for (size_t i = 0; i + 4 <= word.size(); i += 2) pairs.insert(word.substr(i, 4));
  }
  ASSERT_GT(pairs.size(), 65536u);

  TrainConfig config = config_for(1060);
  const NaiveRun expected = naive_train(words, config);
  ASSERT_FALSE(expected.stopped_at_existing_string);
  for (uint64_t threads : {1, 2, 3}) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    config.threads = threads;
    const TrainResult actual = train(words, config);
    ASSERT_EQ(actual.tokens, expected.tokens);
    ASSERT_EQ(actual.merges, expected.merges);
  }
}


TEST(TrainRandomCorpora, MatchTheNaiveTrainer) {
  std::mt19937 rng(20240611);
  auto pick = [&](auto options) { return options[rng() % options.size()]; };
  const Strings letters = {"a", "b", "c", "d", "\xc3\xa9", "#", "$"};
  int full_comparisons = 0;
  int cases = 0;
  size_t merges_compared = 0;
  for (int round = 0; round < 4000; ++round) {
    // A few letters, so that pairs repeat, counts tie and strings recur.
    const size_t letter_count = 2 + rng() % 4;
    std::map<std::string, uint64_t> distinct;
    const size_t word_count = 1 + rng() % 12;
    for (size_t i = 0; i < word_count; ++i) {
      std::string word;
      const size_t length = 1 + rng() % 7;
      for (size_t j = 0; j < length; ++j) word += letters[rng() % letter_count];
      distinct[word] += 1 + rng() % 4;
    }
    WordCounts words(distinct.begin(), distinct.end());
    std::shuffle(words.begin(), words.end(), rng);

    TrainConfig config = config_for(0);
    const size_t specials = rng() % 3;
    for (size_t i = 0; i < specials; ++i) {
      config.special_tokens.push_back(pick(Strings{"<s>", "a", "ab", "##b", "b$", "<s>"}));
    }
    if (rng() % 3 == 0) config.continuing_subword_prefix = pick(Strings{"##", "", "a"});
    if (rng() % 3 == 0) config.end_of_word_suffix = pick(Strings{"$", "</w>", ""});
    if (rng() % 3 == 0) config.max_token_length = rng() % 6;
    if (rng() % 4 == 0) config.limit_alphabet = rng() % 5;
    if (rng() % 3 == 0) {
      const size_t initial = rng() % 4;
      for (size_t i = 0; i < initial; ++i) {
        config.initial_alphabet.push_back(pick(Strings{"a", "bz", "", "\xc3\xa9", "Q", "#x", "z"}));
      }
    }
    if (rng() % 4 == 0) config.min_frequency = rng() % 4;
    config.vocab_size = rng() % 4 == 0 ? std::numeric_limits<uint64_t>::max() : rng() % 40;

    const NaiveRun expected = naive_train(words, config);
    const TrainResult actual = train(words, config);
    ++cases;
    SCOPED_TRACE("round " + std::to_string(round));
    if (!expected.stopped_at_existing_string) {
      ++full_comparisons;
      ASSERT_EQ(actual.tokens, expected.tokens);
      ASSERT_EQ(actual.merges, expected.merges);
    } else {
      ASSERT_GE(actual.tokens.size(), expected.tokens.size());
      ASSERT_EQ(Strings(actual.tokens.begin(), actual.tokens.begin() + expected.tokens.size()),
                expected.tokens);
      ASSERT_GE(actual.merges.size(), expected.merges.size());
      ASSERT_EQ(Merges(actual.merges.begin(), actual.merges.begin() + expected.merges.size()),
                expected.merges);
    }
    merges_compared += expected.merges.size();
  }
  // Most runs must be compared to the end, and many merges in total.
  EXPECT_GT(full_comparisons, cases / 2);
  EXPECT_GT(merges_compared, 20000u);
}

}  // namespace
}  // namespace selkbar
