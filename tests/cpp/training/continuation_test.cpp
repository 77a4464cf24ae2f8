// A training continued from a base vocabulary: from its own shorter run it
// gives the longer run exactly; from another corpus it keeps the base's ids.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "encoding/bpe_model.h"
#include "training/trainer.h"

namespace selkbar {
namespace {

using Strings = std::vector<std::string>;
using WordList = std::vector<std::pair<std::string, uint64_t>>;

TrainResult train(const WordList& words, const TrainConfig& config) {
  WordTable table;
  for (const auto& [word, count] : words) table.push(word, count);
  return train_from_words(std::move(table), config);
}

std::shared_ptr<const BaseVocabulary> base_of(const TrainResult& result) {
  auto base = std::make_shared<BaseVocabulary>();
  base->tokens = result.tokens;
  base->merges = merge_string_pairs(result);
  return base;
}

WordList random_words(std::mt19937& rng, const Strings& letters) {
  const size_t letter_count = 2 + rng() % (letters.size() - 1);
  std::map<std::string, uint64_t> distinct;
  const size_t word_count = 1 + rng() % 14;
  for (size_t i = 0; i < word_count; ++i) {
    std::string word;
    const size_t length = 1 + rng() % 8;
    for (size_t j = 0; j < length; ++j) word += letters[rng() % letter_count];
    distinct[word] += 1 + rng() % 4;
  }
  return WordList(distinct.begin(), distinct.end());
}

TrainConfig random_config(std::mt19937& rng) {
  auto pick = [&](const Strings& options) { return options[rng() % options.size()]; };
  TrainConfig config;
  for (size_t i = rng() % 3; i > 0; --i) config.special_tokens.push_back(pick({"<s>", "a", "ab"}));
  if (rng() % 3 == 0) config.continuing_subword_prefix = pick({"##", ""});
  if (rng() % 3 == 0) config.end_of_word_suffix = pick({"$", "</w>"});
  if (rng() % 3 == 0) config.max_token_length = rng() % 6;
  if (rng() % 4 == 0) config.limit_alphabet = rng() % 5;
  if (rng() % 4 == 0) config.initial_alphabet = {pick({"a", "Q", "z"})};
  if (rng() % 4 == 0) config.min_frequency = rng() % 4;
  if (rng() % 2 == 0) config.threads = 3;
  return config;
}

TEST(ContinuedTraining, FromItsOwnShorterRunGivesTheLongerRun) {
  std::mt19937 rng(20261208);
  // No letter spells part of a decoration: a token string that two merges
  // spell differently is one token, and encoding it by rank may take the
  // other spelling than the training did.
  const Strings letters = {"a", "b", "c", "d", "\xc3\xa9", "x"};
  size_t merges_compared = 0;
  for (int round = 0; round < 3000; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const WordList words = random_words(rng, letters);
    TrainConfig config = random_config(rng);
    config.vocab_size = 40;
    const TrainResult whole = train(words, config);
    if (whole.tokens.empty()) continue;
    config.vocab_size = rng() % whole.tokens.size() + 1;
    TrainConfig continued = config;
    continued.base = base_of(train(words, config));
    if (continued.base->tokens.size() >= whole.tokens.size()) continue;
    continued.vocab_size = 40;
    const TrainResult resumed = train(words, continued);
    ASSERT_EQ(resumed.tokens, whole.tokens);
    ASSERT_EQ(merge_string_pairs(resumed), merge_string_pairs(whole));
    merges_compared += whole.merges.size();
  }
  EXPECT_GT(merges_compared, 10000u);
}

TEST(ContinuedTraining, FromAnotherCorpusKeepsTheBaseAndAppendsNewCharacters) {
  TrainConfig config;
  config.vocab_size = 8;
  const TrainResult base = train({{"abab", 5}, {"ab", 3}}, config);
  TrainConfig continued;
  continued.base = base_of(base);
  continued.vocab_size = 12;
  continued.limit_alphabet = 3;  // a and b take two places: one new character fits
  const TrainResult result = train({{"abcd", 4}, {"cdcd", 2}, {"ee", 9}}, continued);
  ASSERT_GE(result.tokens.size(), base.tokens.size());
  EXPECT_EQ(Strings(result.tokens.begin(), result.tokens.begin() + base.tokens.size()), base.tokens);
  // e is the most frequent new character; c and d are dropped, so no pair
  // is left but "e e".
  EXPECT_EQ(result.tokens.at(base.tokens.size()), "e");
  EXPECT_EQ(result.tokens.back(), "ee");
  const auto pairs = merge_string_pairs(result);
  const auto base_pairs = merge_string_pairs(base);
  EXPECT_EQ(decltype(pairs)(pairs.begin(), pairs.begin() + base_pairs.size()), base_pairs);
}

}  // namespace
}  // namespace selkbar
