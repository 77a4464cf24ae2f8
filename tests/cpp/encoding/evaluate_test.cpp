// evaluate_words against figures computed word by word with the naive
// encoder, on random models and word tables; thread counts must not matter.
#include "encoding/evaluate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "encoding/naive_bpe.h"

namespace selkbar {
namespace {

using testing::NaiveBpe;
using testing::NaiveEncoder;
using testing::utf8_chars;

// Figures the slow way: every occurrence of every word laid out, lengths
// sorted for the median.
struct NaiveFigures {
  uint64_t words = 0, text_bytes = 0, tokens = 0, unknown_bytes = 0;
  std::map<std::string, uint64_t> uses;
  std::vector<uint64_t> lengths;  // one entry per token occurrence
};

NaiveFigures naive_figures(const NaiveBpe& bpe, bool byte_level,
                           const std::vector<std::pair<std::string, uint64_t>>& words) {
  const NaiveEncoder encoder(bpe);
  const std::set<std::string> vocab(bpe.tokens.begin(), bpe.tokens.end());
  auto bytes_of = [&](const std::string& text) {
    return byte_level ? utf8_chars(text).size() : text.size();
  };
  NaiveFigures f;
  for (const auto& [word, count] : words) {
    const testing::NaiveEncoding encoded = encoder.encode(word);
    f.words += count;
    f.text_bytes += count * bytes_of(word);
    f.tokens += count * encoded.tokens.size();
    uint64_t covered = 0;
    for (size_t i = 0; i < encoded.tokens.size(); ++i) {
      f.uses[encoded.tokens[i]] += count;
      covered += bytes_of(encoded.covered[i]);
      for (uint64_t c = 0; c < count; ++c) f.lengths.push_back(bytes_of(encoded.covered[i]));
    }
    f.unknown_bytes += count * (bytes_of(word) - covered);
  }
  std::sort(f.lengths.begin(), f.lengths.end());
  return f;
}

const std::vector<std::string> CHARS = {"a", "b", "c", "\xc3\xa9", "\xe6\x97\xa5", "x"};

NaiveBpe random_bpe(std::mt19937_64& rng) {
  NaiveBpe bpe;
  if (rng() % 2) bpe.prefix = "##";
  if (rng() % 2) bpe.suffix = "$";
  std::vector<std::string> formable;
  std::set<std::string> seen;
  for (size_t c = 0; c + 1 < CHARS.size(); ++c) {  // "x" is never in the vocabulary
    for (unsigned form = 0; form < 4; ++form) {
      if (((form & 1) && !bpe.prefix) || ((form & 2) && !bpe.suffix)) continue;
      const std::string token = ((form & 1) ? *bpe.prefix : "") + CHARS[c] + ((form & 2) ? *bpe.suffix : "");
      bpe.tokens.push_back(token);
      formable.push_back(token);
      seen.insert(token);
    }
  }
  bpe.tokens.push_back("<unused>");
  BpeOptions options;
  options.continuing_subword_prefix = bpe.prefix;
  options.end_of_word_suffix = bpe.suffix;
  for (size_t k = rng() % 40; k > 0; --k) {
    const std::string left = formable[rng() % formable.size()];
    const std::string right = formable[rng() % formable.size()];
    const std::string merged = merged_token(left, right, options);
    bpe.merges.emplace_back(left, right);
    if (seen.insert(merged).second) {
      bpe.tokens.push_back(merged);
      formable.push_back(merged);
    }
  }
  return bpe;
}

TEST(EvaluateWordsTest, MatchesFiguresComputedWordByWord) {
  std::mt19937_64 rng(32);
  for (int round = 0; round < 150; ++round) {
    const NaiveBpe bpe = random_bpe(rng);
    const bool byte_level = rng() % 2 == 0;
    BpeOptions options;
    options.continuing_subword_prefix = bpe.prefix;
    options.end_of_word_suffix = bpe.suffix;
    options.byte_level = byte_level;
    BpeModel model;
    ASSERT_TRUE(BpeModel::build(bpe.tokens, bpe.merges, options, &model).ok());

    std::map<std::string, uint64_t> distinct;
    const size_t word_count = rng() % 3 == 0 ? 9000 + rng() % 3000 : rng() % 40;
    for (size_t w = 0; w < word_count; ++w) {
      std::string word;
      for (size_t j = 1 + rng() % (rng() % 10 == 0 ? 60 : 8); j > 0; --j) word += CHARS[rng() % CHARS.size()];
      distinct[word] += 1 + rng() % 5;
    }
    std::vector<std::pair<std::string, uint64_t>> words(distinct.begin(), distinct.end());
    std::shuffle(words.begin(), words.end(), rng);
    WordTable table;
    for (const auto& [word, count] : words) table.push(word, count);

    const NaiveFigures expected = naive_figures(bpe, byte_level, words);
    const EvalFigures got = evaluate_words(model, table, 1, nullptr);
    ASSERT_EQ(got.words, expected.words);
    EXPECT_EQ(got.distinct_words, words.size());
    EXPECT_EQ(got.text_bytes, expected.text_bytes);
    EXPECT_EQ(got.tokens, expected.tokens);
    EXPECT_EQ(got.unknown_bytes, expected.unknown_bytes);
    EXPECT_EQ(got.vocab_size, bpe.tokens.size());
    uint64_t unused = 0;
    for (uint32_t id = 0; id < model.vocab_size(); ++id) {
      const auto found = expected.uses.find(model.token(id));
      const uint64_t uses = found == expected.uses.end() ? 0 : found->second;
      EXPECT_EQ(got.token_uses[id], uses) << model.token(id);
      unused += uses == 0 ? 1 : 0;
    }
    EXPECT_EQ(got.unused_tokens, unused);
    EXPECT_GE(got.unused_tokens, 1u);  // "<unused>"
    const std::vector<uint64_t>& lengths = expected.lengths;
    EXPECT_EQ(got.longest_token_bytes, lengths.empty() ? 0 : lengths.back());
    EXPECT_EQ(got.median_token_bytes, lengths.empty() ? 0 : lengths[(lengths.size() - 1) / 2]);
    for (size_t n = 0; n < got.token_length_histogram.size(); ++n) {
      EXPECT_EQ(got.token_length_histogram[n],
                static_cast<uint64_t>(std::count(lengths.begin(), lengths.end(), n)));
    }

    for (uint64_t threads : {2, 5}) {
      const EvalFigures many = evaluate_words(model, table, threads, nullptr);
      EXPECT_EQ(many.tokens, got.tokens);
      EXPECT_EQ(many.unknown_bytes, got.unknown_bytes);
      EXPECT_EQ(many.token_uses, got.token_uses);
      EXPECT_EQ(many.token_length_histogram, got.token_length_histogram);
    }
    if (::testing::Test::HasFailure()) return;
  }
}

TEST(EvaluateWordsTest, RatiosAndEmptyText) {
  BpeModel model;
  ASSERT_TRUE(BpeModel::build({"a", "b", "ab", "<s>"}, {{"a", "b"}}, {}, &model).ok());
  WordTable words;
  words.push("ab", 3);   // one token of 2 bytes, 3 times
  words.push("abxa", 1);  // "ab", "a"; "x" unknown
  const EvalFigures f = evaluate_words(model, words, 1, nullptr);
  EXPECT_EQ(f.text_bytes, 10u);
  EXPECT_EQ(f.tokens, 5u);
  EXPECT_DOUBLE_EQ(f.bytes_per_token(), 2.0);
  EXPECT_DOUBLE_EQ(f.tokens_per_word(), 1.25);
  EXPECT_DOUBLE_EQ(f.unknown_share(), 0.1);
  EXPECT_DOUBLE_EQ(f.unused_share(), 0.5);  // "b" and "<s>"
  EXPECT_EQ(f.longest_token_bytes, 2u);
  EXPECT_EQ(f.median_token_bytes, 2u);

  const EvalFigures empty = evaluate_words(model, WordTable(), 3, nullptr);
  EXPECT_EQ(empty.tokens, 0u);
  EXPECT_EQ(empty.unused_tokens, 4u);
  EXPECT_EQ(empty.bytes_per_token(), 0.0);
  EXPECT_EQ(empty.median_token_bytes, 0u);
}

}  // namespace
}  // namespace selkbar
