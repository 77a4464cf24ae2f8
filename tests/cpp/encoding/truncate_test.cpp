// truncate_bpe against training to the smaller size itself, in both
// families and with the options that change where training stops.
#include "encoding/truncate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "corpora.h"
#include "counting/pipeline.h"
#include "encoding/bpe_model.h"
#include "training/trainer.h"

namespace selkbar {
namespace {

BpeVocabulary train(const WordTable& words, TrainConfig config, uint64_t vocab_size) {
  config.vocab_size = vocab_size;
  const TrainResult result = train_from_borrowed_words(words, config);
  return BpeVocabulary{result.tokens, merge_string_pairs(result)};
}

BpeModel model_of(const BpeVocabulary& vocabulary, const TrainConfig& config) {
  BpeOptions options;
  options.continuing_subword_prefix = config.continuing_subword_prefix;
  options.end_of_word_suffix = config.end_of_word_suffix;
  options.byte_level = is_byte_level(config.pretokenizer);
  BpeModel model;
  const Status status = BpeModel::build(vocabulary.tokens, vocabulary.merges, options, &model);
  EXPECT_TRUE(status.ok()) << status.message();
  return model;
}

// Cuts a training to `largest` down to several sizes and compares each with
// a training to that size.
void expect_prefix_property(const WordTable& words, const TrainConfig& config, uint64_t largest) {
  const BpeVocabulary full = train(words, config, largest);
  const BpeModel model = model_of(full, config);
  const uint64_t initial = unmerged_token_count(model);
  for (uint64_t size : {initial, initial + 1, initial + 17, (initial + largest) / 2, largest - 1,
                        largest, largest + 1000}) {
    BpeVocabulary cut;
    const Status status = truncate_bpe(model, size, &cut);
    ASSERT_TRUE(status.ok()) << status.message();
    // Past the size trained to, the cut is the model whole.
    const BpeVocabulary direct = size > largest ? full : train(words, config, size);
    EXPECT_EQ(cut.tokens, direct.tokens) << "size " << size;
    EXPECT_EQ(cut.merges, direct.merges) << "size " << size;
  }
  BpeVocabulary untouched{{"kept"}, {}};
  EXPECT_FALSE(truncate_bpe(model, initial - 1, &untouched).ok());
  EXPECT_EQ(untouched.tokens, std::vector<std::string>{"kept"});
}

WordTable count_fixture(const std::string& name, PretokenizerKind kind) {
  CountResult counted = count_words({testing::fixtures_dir() + "/" + name}, 1, kind);
  EXPECT_TRUE(counted.status.ok());
  return std::move(counted.words);
}

TEST(TruncateBpeTest, EqualsTrainingToTheSmallerSizeByteLevel) {
  for (const char* name : {"en-prose.txt", "man-ja.txt", "mixed-scripts.txt"}) {
    const WordTable words = count_fixture(name, PretokenizerKind::ByteLevel);
    TrainConfig config;
    config.pretokenizer = PretokenizerKind::ByteLevel;
    config.special_tokens = {"<s>", "</s>"};
    expect_prefix_property(words, config, 1500);
    config.min_frequency = 40;  // stops before the size is reached
    expect_prefix_property(words, config, 3000);
    config.min_frequency = 0;
    config.max_token_length = 4;
    expect_prefix_property(words, config, 1200);
  }
}

TEST(TruncateBpeTest, EqualsTrainingToTheSmallerSizeWhitespace) {
  for (const char* name : {"en-dialogue.txt", "man-de.txt", "l10n-ko.txt"}) {
    const WordTable words = count_fixture(name, PretokenizerKind::Whitespace);
    TrainConfig config;
    config.pretokenizer = PretokenizerKind::Whitespace;
    config.special_tokens = {"[UNK]", "[PAD]"};
    config.limit_alphabet = 60;
    expect_prefix_property(words, config, 1500);
    config.continuing_subword_prefix = "##";
    config.end_of_word_suffix = "</w>";
    expect_prefix_property(words, config, 1500);
  }
}

TEST(TruncateBpeTest, KeepsTheUnmergedTokensAndRefusesSizesBelowThem) {
  BpeModel model;
  ASSERT_TRUE(BpeModel::build({"<s>", "a", "b", "ab", "abb"}, {{"a", "b"}, {"ab", "b"}}, {}, &model).ok());
  EXPECT_EQ(unmerged_token_count(model), 3u);
  BpeVocabulary cut;
  EXPECT_EQ(truncate_bpe(model, 2, &cut).message(),
            "vocab_size 2 is below the 3 tokens that no merge makes (the special tokens and the "
            "alphabet), which every truncation keeps");
  ASSERT_TRUE(truncate_bpe(model, 3, &cut).ok());
  EXPECT_EQ(cut.tokens, (std::vector<std::string>{"<s>", "a", "b"}));
  EXPECT_TRUE(cut.merges.empty());

  // "abb" is made after "ab" and "bb" but holds the lowest id of the three:
  // it counts as unmerged, and the cut keeps it, unreachable but whole.
  ASSERT_TRUE(BpeModel::build({"a", "b", "abb", "bb", "ab"}, {{"b", "b"}, {"a", "b"}, {"ab", "b"}}, {}, &model).ok());
  EXPECT_EQ(unmerged_token_count(model), 3u);
  ASSERT_TRUE(truncate_bpe(model, 4, &cut).ok());
  EXPECT_EQ(cut.tokens, (std::vector<std::string>{"a", "b", "abb", "bb"}));
  EXPECT_EQ(cut.merges, (std::vector<MergeStrings>{{"b", "b"}}));
}

}  // namespace
}  // namespace selkbar
