// The encoder against a naive one (naive_bpe.h) on random models and words
// and on models trained from the fixtures, in both families, with and
// without decorations; and the checks a model must pass to be built.
#include "encoding/bpe_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "corpora.h"
#include "counting/pipeline.h"
#include "encoding/bpe_model.h"
#include "encoding/naive_bpe.h"
#include "training/trainer.h"

namespace selkbar {
namespace {

using testing::NaiveBpe;
using testing::NaiveEncoder;

BpeOptions options_of(const NaiveBpe& bpe) {
  BpeOptions options;
  options.continuing_subword_prefix = bpe.prefix;
  options.end_of_word_suffix = bpe.suffix;
  return options;
}

BpeModel build_or_fail(const NaiveBpe& bpe) {
  BpeModel model;
  const Status status = BpeModel::build(bpe.tokens, bpe.merges, options_of(bpe), &model);
  EXPECT_TRUE(status.ok()) << status.message();
  return model;
}

// '#' and '<' can be read as parts of the decorations, and two characters
// take more than one byte.
const std::vector<std::string> CHARS = {"a", "b", "c", "d", "#", "<", "\xc3\xa9", "\xe6\x97\xa5"};
// Never in a random vocabulary.
const std::vector<std::string> UNKNOWN_CHARS = {"x", "\xc3\xbc"};

// A random model whose merges are all formable: each merge joins two tokens
// the alphabet or an earlier merge made. Some characters and forms are left
// out of the vocabulary, some merges make a string that already exists, and
// some pairs are listed twice.
NaiveBpe random_bpe(std::mt19937_64& rng) {
  NaiveBpe bpe;
  switch (rng() % 4) {
    case 1: bpe.prefix = "##"; break;
    case 2: bpe.suffix = "</w>"; break;
    case 3: bpe.prefix = rng() % 2 ? "##" : ""; bpe.suffix = "</w>"; break;
    default: break;
  }
  std::vector<std::string> formable;
  std::set<std::string> in_vocab;
  auto enter = [&](const std::string& token) {
    if (in_vocab.insert(token).second) bpe.tokens.push_back(token);
  };
  for (const std::string& c : CHARS) {
    for (unsigned form = 0; form < 4; ++form) {
      if (((form & 1) && !bpe.prefix) || ((form & 2) && !bpe.suffix)) continue;
      if (rng() % 8 == 0) continue;
      const std::string token = ((form & 1) ? *bpe.prefix : "") + c + ((form & 2) ? *bpe.suffix : "");
      enter(token);
      formable.push_back(token);
    }
  }
  if (rng() % 2) enter("<special>");  // in the vocabulary, never formable
  const BpeOptions options = options_of(bpe);
  const size_t merges = rng() % 60;
  for (size_t k = 0; k < merges && !formable.empty(); ++k) {
    if (!bpe.merges.empty() && rng() % 10 == 0) {
      bpe.merges.push_back(bpe.merges[rng() % bpe.merges.size()]);
      continue;
    }
    const std::string& left = formable[rng() % formable.size()];
    const std::string& right = formable[rng() % formable.size()];
    const std::string merged = merged_token(left, right, options);
    bpe.merges.emplace_back(left, right);
    enter(merged);
    formable.push_back(merged);
  }
  std::shuffle(bpe.tokens.begin(), bpe.tokens.end(), rng);
  return bpe;
}

std::string random_word(std::mt19937_64& rng) {
  // Mostly short words; some long enough for the heap path.
  const size_t length = rng() % 6 == 0 ? 30 + rng() % 150 : rng() % 12;
  std::string word;
  for (size_t i = 0; i < length; ++i) {
    word += rng() % 20 == 0 ? UNKNOWN_CHARS[rng() % UNKNOWN_CHARS.size()] : CHARS[rng() % CHARS.size()];
  }
  return word;
}

// Encodes `word` both ways and compares tokens, unknown characters and the
// byte accounting.
void expect_same_encoding(const BpeModel& model, BpeEncoder& encoder, const NaiveEncoder& naive,
                          const std::string& word) {
  const testing::NaiveEncoding expected = naive.encode(word);
  const EncodedWord got = encoder.encode(word);
  std::vector<std::string> got_tokens;
  for (uint32_t id : got.ids) got_tokens.push_back(model.token(id));
  ASSERT_EQ(got_tokens, expected.tokens) << "word " << word;
  EXPECT_EQ(got.unknown_chars, expected.unknown_chars) << "word " << word;
  ASSERT_EQ(got.token_text_bytes.size(), got.ids.size());
  uint64_t covered = 0;
  for (uint32_t bytes : got.token_text_bytes) covered += bytes;
  if (!model.options().byte_level) {
    EXPECT_EQ(got.text_bytes, word.size());
    EXPECT_EQ(covered + got.unknown_bytes, word.size()) << "word " << word;
  }
  if (!model.decorated() && !model.options().byte_level) {
    for (size_t i = 0; i < got.ids.size(); ++i) {
      EXPECT_EQ(got.token_text_bytes[i], model.token(got.ids[i]).size());
    }
  }
}

TEST(BpeEncoderTest, MatchesNaiveEncoderOnRandomModels) {
  std::mt19937_64 rng(31);
  for (int round = 0; round < 1500; ++round) {
    const NaiveBpe bpe = random_bpe(rng);
    const BpeModel model = build_or_fail(bpe);
    const NaiveEncoder naive(bpe);
    BpeEncoder encoder(model);
    for (int w = 0; w < 60; ++w) {
      expect_same_encoding(model, encoder, naive, random_word(rng));
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

TEST(BpeEncoderTest, LowestRankFirstLeftmostAmongEquals) {
  // Ranks decide, not positions: (b c) outranks (a b) here.
  NaiveBpe bpe{{"a", "b", "c", "ab", "bc", "aa", "aaa"}, {{"b", "c"}, {"a", "b"}, {"a", "a"}, {"aa", "a"}}};
  const BpeModel model = build_or_fail(bpe);
  BpeEncoder encoder(model);
  auto tokens = [&](const std::string& word) {
    std::vector<std::string> out;
    for (uint32_t id : encoder.encode(word).ids) out.push_back(model.token(id));
    return out;
  };
  EXPECT_EQ(tokens("abc"), (std::vector<std::string>{"a", "bc"}));
  EXPECT_EQ(tokens("aaaaa"), (std::vector<std::string>{"aa", "aaa"}));
  // A dropped character joins its neighbours.
  EXPECT_EQ(tokens("axb"), (std::vector<std::string>{"ab"}));
  EXPECT_EQ(tokens(""), std::vector<std::string>{});
}

TEST(BpeEncoderTest, DecorationFormsCountEveryCharacterOfTheWord) {
  NaiveBpe bpe{{"a", "##a", "b", "##b", "b</w>", "##b</w>", "ab</w>"}, {{"a", "##b</w>"}}, "##", "</w>"};
  const BpeModel model = build_or_fail(bpe);
  BpeEncoder encoder(model);
  auto tokens = [&](const std::string& word) {
    std::vector<std::string> out;
    for (uint32_t id : encoder.encode(word).ids) out.push_back(model.token(id));
    return out;
  };
  EXPECT_EQ(tokens("ab"), (std::vector<std::string>{"ab</w>"}));
  // An unknown first character still makes "a" a continuation, and an
  // unknown last one takes the suffix away from "b".
  EXPECT_EQ(tokens("xab"), (std::vector<std::string>{"##a", "##b</w>"}));
  EXPECT_EQ(tokens("abx"), (std::vector<std::string>{"a", "##b"}));
}

TEST(BpeEncoderTest, IgnoreMergesTakesAWholeWordThatIsAToken) {
  BpeOptions options;
  options.ignore_merges = true;
  options.continuing_subword_prefix = "##";
  BpeModel model;
  ASSERT_TRUE(BpeModel::build({"a", "b", "c", "##b", "##c", "ab", "abc", "ba"}, {{"a", "##b"}}, options, &model).ok());
  BpeEncoder encoder(model);
  auto tokens = [&](const std::string& word) {
    std::vector<std::string> out;
    for (uint32_t id : encoder.encode(word).ids) out.push_back(model.token(id));
    return out;
  };
  // No merge makes "abc" or "ba"; the words are tokens as they stand.
  EXPECT_EQ(tokens("abc"), std::vector<std::string>{"abc"});
  EXPECT_EQ(tokens("ba"), std::vector<std::string>{"ba"});
  EXPECT_EQ(tokens("abb"), (std::vector<std::string>{"ab", "##b"}));
  EXPECT_EQ(encoder.encode("abc").token_text_bytes[0], 3u);
}

TEST(BpeEncoderTest, ByteLevelCharactersStandForOneByte) {
  // U+0120 spells the byte 0x20 in the byte-level alphabet.
  NaiveBpe bpe{{"\xc4\xa0", "t", "\xc4\xa0t"}, {{"\xc4\xa0", "t"}}};
  BpeOptions options;
  options.byte_level = true;
  BpeModel model;
  ASSERT_TRUE(BpeModel::build(bpe.tokens, bpe.merges, options, &model).ok());
  BpeEncoder encoder(model);
  const EncodedWord word = encoder.encode("\xc4\xa0tt\xc3\x83");  // " tt" and an unknown byte
  ASSERT_EQ(word.ids.size(), 2u);
  EXPECT_EQ(word.token_text_bytes[0], 2u);
  EXPECT_EQ(word.token_text_bytes[1], 1u);
  EXPECT_EQ(word.text_bytes, 4u);
  EXPECT_EQ(word.unknown_bytes, 1u);
}

// Models as the trainer writes them: its tokens and merge_string_pairs.
void check_trained_model(PretokenizerKind kind, std::optional<std::string> prefix,
                         std::optional<std::string> suffix, uint64_t vocab_size) {
  for (const std::string& file : testing::fixture_files()) {
    CountResult counted = count_words({file}, 1, kind);
    ASSERT_TRUE(counted.status.ok()) << counted.status.message();
    TrainConfig config;
    config.vocab_size = vocab_size;
    config.pretokenizer = kind;
    config.special_tokens = {"<s>"};
    config.continuing_subword_prefix = prefix;
    config.end_of_word_suffix = suffix;
    const TrainResult result = train_from_borrowed_words(counted.words, config);
    NaiveBpe bpe{result.tokens, merge_string_pairs(result), prefix, suffix};
    BpeOptions options = options_of(bpe);
    options.byte_level = is_byte_level(kind);
    BpeModel model;
    const Status status = BpeModel::build(bpe.tokens, bpe.merges, options, &model);
    ASSERT_TRUE(status.ok()) << file << ": " << status.message();
    const NaiveEncoder naive(bpe);
    BpeEncoder encoder(model);
    for (uint32_t w = 0; w < counted.words.len(); w += 3) {
      const std::string word(counted.words.get(w));
      // The naive encoder is quadratic in the word; the random models cover
      // long words.
      if (word.size() > 200) continue;
      expect_same_encoding(model, encoder, naive, word);
      ASSERT_EQ(encoder.encode(word).unknown_chars, 0u) << "a training word has a character outside its vocabulary";
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

TEST(BpeEncoderTest, MatchesNaiveEncoderOnTrainedByteLevelModels) {
  check_trained_model(PretokenizerKind::ByteLevel, std::nullopt, std::nullopt, 600);
}

TEST(BpeEncoderTest, MatchesNaiveEncoderOnTrainedWhitespaceModels) {
  check_trained_model(PretokenizerKind::Whitespace, std::nullopt, std::nullopt, 500);
  check_trained_model(PretokenizerKind::Whitespace, std::string("##"), std::string("</w>"), 500);
}

// ---- Building a model: what is refused, and how it is named. ----

std::string build_error(std::vector<std::string> tokens, std::vector<MergeStrings> merges,
                        BpeOptions options = {}) {
  BpeModel model;
  const Status status = BpeModel::build(std::move(tokens), merges, std::move(options), &model);
  return status.ok() ? "" : status.message();
}

TEST(BpeModelBuildTest, NamesTheFirstBadMergeAndItsIndex) {
  const std::vector<std::string> tokens = {"a", "b", "c", "ab", "abc", "bc"};
  EXPECT_EQ(build_error(tokens, {{"a", "b"}, {"a", "z"}, {"q", "b"}}),
            "merges[1] (\"a\", \"z\"): \"z\" is not in the vocabulary");
  EXPECT_EQ(build_error(tokens, {{"a", "b"}, {"c", "a"}}),
            "merges[1] (\"c\", \"a\"): the merged token \"ca\" is not in the vocabulary");
  // "bc" is in the vocabulary, but nothing before merges[1] makes it.
  EXPECT_EQ(build_error(tokens, {{"a", "b"}, {"a", "bc"}, {"b", "c"}}),
            "merges[1] (\"a\", \"bc\"): \"bc\" is neither a character of the alphabet nor made by "
            "an earlier merge");
  EXPECT_EQ(build_error(tokens, {{"a", "b"}, {"ab", "c"}, {"b", "c"}, {"a", "bc"}}), "");
}

TEST(BpeModelBuildTest, DecoratedCharactersAreFormableOnlyWithTheirOption) {
  const std::vector<std::string> tokens = {"a", "##b", "ab"};
  EXPECT_EQ(build_error(tokens, {{"a", "##b"}}),
            "merges[0] (\"a\", \"##b\"): the merged token \"a##b\" is not in the vocabulary");
  BpeOptions prefixed;
  prefixed.continuing_subword_prefix = "##";
  EXPECT_EQ(build_error(tokens, {{"a", "##b"}}, prefixed), "");
  // A special token is in the vocabulary but no word can spell it.
  EXPECT_EQ(build_error({"<s>", "a", "<s>a"}, {{"<s>", "a"}}),
            "merges[0] (\"<s>\", \"a\"): \"<s>\" is neither a character of the alphabet nor made "
            "by an earlier merge");
}

TEST(BpeModelBuildTest, RefusesRepeatedTokensAndBadIds) {
  EXPECT_EQ(build_error({"a", "b", "a"}, {}), "vocab: \"a\" appears twice, with ids 0 and 2");
  std::vector<std::string> tokens;
  EXPECT_EQ(BpeModel::tokens_from_vocab({{"a", 0}, {"b", 2}}, &tokens).message(),
            "vocab: \"b\" has id 2, but the ids of 2 tokens must be 0 .. 1, each once");
  EXPECT_EQ(BpeModel::tokens_from_vocab({{"a", 1}, {"b", 1}}, &tokens).message(),
            "vocab: id 1 is given to both \"a\" and \"b\"");
  ASSERT_TRUE(BpeModel::tokens_from_vocab({{"b", 1}, {"a", 0}}, &tokens).ok());
  EXPECT_EQ(tokens, (std::vector<std::string>{"a", "b"}));
}

TEST(BpeModelBuildTest, AFailedBuildLeavesTheModelAsItWas) {
  BpeModel model;
  ASSERT_TRUE(BpeModel::build({"a", "b", "ab"}, {{"a", "b"}}, {}, &model).ok());
  EXPECT_FALSE(BpeModel::build({"a"}, {{"a", "a"}}, {}, &model).ok());
  EXPECT_EQ(model.vocab_size(), 3u);
  EXPECT_EQ(model.pair_rule(0, 1).result, 2u);
}

}  // namespace
}  // namespace selkbar
