// segment_words: the segmentation a continuing training starts from. Its
// point is that training resumed from it picks the merge a longer training
// picked next; that is checked on the fixtures in both families.
#include "encoding/segment.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "corpora.h"
#include "counting/pipeline.h"
#include "encoding/bpe_encoder.h"
#include "encoding/truncate.h"
#include "training/trainer.h"

namespace selkbar {
namespace {

BpeOptions options_of(const TrainConfig& config) {
  BpeOptions options;
  options.continuing_subword_prefix = config.continuing_subword_prefix;
  options.end_of_word_suffix = config.end_of_word_suffix;
  options.byte_level = is_byte_level(config.pretokenizer);
  return options;
}

// The pair the trainer merges next on `words`: the highest count, then the
// smallest left id, then the smallest right id.
std::pair<uint32_t, uint32_t> next_pair(const SegmentedWords& words) {
  std::map<std::pair<uint32_t, uint32_t>, uint64_t> counts;
  for (size_t w = 0; w < words.size(); ++w) {
    const std::span<const uint32_t> s = words.word(w);
    for (size_t i = 0; i + 1 < s.size(); ++i) counts[{s[i], s[i + 1]}] += words.count(w);
  }
  std::pair<uint32_t, uint32_t> best{NO_TOKEN, NO_TOKEN};
  uint64_t best_count = 0;
  for (const auto& [pair, count] : counts) {  // ascending ids: the first of equals wins
    if (count > best_count) {
      best = pair;
      best_count = count;
    }
  }
  return best;
}

void expect_training_resumes(const std::string& fixture, TrainConfig config) {
  CountResult counted = count_words({testing::fixtures_dir() + "/" + fixture}, 1, config.pretokenizer);
  ASSERT_TRUE(counted.status.ok());
  config.vocab_size = 1200;
  const TrainResult full = train_from_borrowed_words(counted.words, config);
  const std::vector<MergeStrings> full_merges = merge_string_pairs(full);
  BpeModel full_model;
  ASSERT_TRUE(BpeModel::build(full.tokens, full_merges, options_of(config), &full_model).ok());
  const uint64_t initial = unmerged_token_count(full_model);
  for (uint64_t size = initial; size < full.tokens.size(); size += 97) {
    BpeVocabulary cut;
    ASSERT_TRUE(truncate_bpe(full_model, size, &cut).ok());
    BpeModel base;
    ASSERT_TRUE(BpeModel::build(cut.tokens, cut.merges, options_of(config), &base).ok());
    const SegmentedWords start = segment_words(base, counted.words, 2, nullptr);
    ASSERT_EQ(start.size(), counted.words.len());
    EXPECT_EQ(start.dropped_chars, 0u);
    const MergeStrings& expected = full_merges[cut.merges.size()];
    const auto [left, right] = next_pair(start);
    ASSERT_NE(left, NO_TOKEN);
    EXPECT_EQ(MergeStrings(base.token(left), base.token(right)), expected)
        << fixture << ": resumed at " << size << " tokens";
  }
}

TEST(SegmentWordsTest, TrainingResumedFromTheSegmentationPicksTheNextMerge) {
  TrainConfig bytelevel;
  bytelevel.pretokenizer = PretokenizerKind::ByteLevel;
  bytelevel.special_tokens = {"<|endoftext|>"};
  TrainConfig whitespace;
  whitespace.pretokenizer = PretokenizerKind::Whitespace;
  TrainConfig decorated = whitespace;
  decorated.continuing_subword_prefix = "##";
  decorated.end_of_word_suffix = "</w>";
  for (const char* fixture : {"en-prose.txt", "man-ru.txt", "mixed-scripts.txt"}) {
    expect_training_resumes(fixture, bytelevel);
    expect_training_resumes(fixture, whitespace);
    expect_training_resumes(fixture, decorated);
  }
}

WordTable table_of(const std::vector<std::pair<std::string, uint64_t>>& words) {
  WordTable table;
  for (const auto& [word, count] : words) table.push(word, count);
  return table;
}

TEST(SegmentWordsTest, KeepsWordOrderWhateverTheThreadCount) {
  BpeModel model;
  ASSERT_TRUE(BpeModel::build({"a", "b", "c", "ab", "abc"}, {{"a", "b"}, {"ab", "c"}}, {}, &model).ok());
  WordTable words;
  const std::vector<std::string> pieces = {"a", "b", "c", "x"};
  for (uint32_t w = 0; w < 40000; ++w) {
    std::string word;
    for (uint32_t v = w + 1; v > 0; v /= 4) word += pieces[v % 4];
    words.push(word, 1 + w % 7);
  }
  const SegmentedWords one = segment_words(model, words, 1, nullptr);
  BpeEncoder encoder(model);
  for (uint32_t w = 0; w < words.len(); ++w) {
    const EncodedWord expected = encoder.encode(words.get(w));
    ASSERT_TRUE(std::equal(expected.ids.begin(), expected.ids.end(), one.word(w).begin(), one.word(w).end()))
        << "word " << w;
    ASSERT_EQ(one.count(w), words.count(w));
  }
  for (uint64_t threads : {2, 3, 8}) {
    const SegmentedWords many = segment_words(model, words, threads, nullptr);
    EXPECT_EQ(many.symbols, one.symbols) << threads << " threads";
    EXPECT_EQ(many.word_ends, one.word_ends) << threads << " threads";
    EXPECT_EQ(many.dropped_chars, one.dropped_chars);
  }
  // A word of only unknown characters stays, empty.
  const SegmentedWords empty = segment_words(model, table_of({{"xx", 3}, {"ab", 1}}), 1, nullptr);
  ASSERT_EQ(empty.size(), 2u);
  EXPECT_TRUE(empty.word(0).empty());
  EXPECT_EQ(empty.dropped_chars, 2u);
}

// Words made of many pretokens (as superword pretokens are whole lines) are
// encoded in pieces where no merge can join two characters: the result must
// be what encoding each word whole gives.
TEST(SegmentWordsTest, LongWordsSegmentAsEncodedWhole) {
  TrainConfig config;
  config.pretokenizer = PretokenizerKind::Gpt4;
  config.vocab_size = 1500;
  CountResult counted =
      count_words({testing::fixtures_dir() + "/mixed-scripts.txt"}, 1, config.pretokenizer);
  ASSERT_TRUE(counted.status.ok());
  const TrainResult trained = train_from_borrowed_words(counted.words, config);
  BpeModel model;
  ASSERT_TRUE(BpeModel::build(trained.tokens, merge_string_pairs(trained), options_of(config), &model).ok());
  WordTable lines;
  std::string line;
  for (uint32_t w = 0; w < counted.words.len(); ++w) {
    line += counted.words.get(w);
    if (w % 37 == 0 || w % 11 == 3) {
      lines.push(line, 1);
      line.clear();
    }
  }
  lines.push("\xc3\xbf" + line + "\xe2\x82\xac", 1);  // characters outside the alphabet
  const SegmentedWords segmented = segment_words(model, lines, 2, nullptr);
  BpeEncoder encoder(model);
  for (uint32_t w = 0; w < lines.len(); ++w) {
    const EncodedWord whole = encoder.encode(lines.get(w));
    ASSERT_TRUE(std::equal(whole.ids.begin(), whole.ids.end(), segmented.word(w).begin(),
                           segmented.word(w).end()))
        << "word " << w;
  }
}

TEST(SegmentWordsTest, StopsWhenCancelled) {
  BpeModel model;
  ASSERT_TRUE(BpeModel::build({"a"}, {}, {}, &model).ok());
  WordTable words;
  for (uint32_t w = 0; w < 50000; ++w) words.push(std::string(1 + w % 9, 'a') + std::to_string(w), 1);
  RunControl control;
  control.cancel();
  EXPECT_THROW(segment_words(model, words, 4, &control), Cancelled);
}

}  // namespace
}  // namespace selkbar
