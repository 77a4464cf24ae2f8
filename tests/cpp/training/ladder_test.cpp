// cut_training against training to each size alone, in both families,
// with the sizes that matter: below and at the initial vocabulary, past
// where min_frequency stops, and past the largest.
#include "training/ladder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "corpora.h"
#include "counting/pipeline.h"
#include "training/trainer.h"

namespace selkbar {
namespace {

void expect_cuts_equal_trainings(const WordTable& words, TrainConfig config, uint64_t largest) {
  config.vocab_size = largest;
  const TrainResult full = train_from_borrowed_words(words, config);
  const uint64_t initial = full.initial_tokens;
  ASSERT_GT(initial, 2u);
  for (uint64_t size : {uint64_t{1}, initial - 1, initial, initial + 1, initial + 29,
                        (initial + largest) / 2, largest - 1, largest}) {
    config.vocab_size = size;
    const TrainResult alone = train_from_borrowed_words(words, config);
    const TrainResult cut = cut_training(full, size);
    EXPECT_EQ(cut.tokens, alone.tokens) << "size " << size;
    EXPECT_EQ(merge_string_pairs(cut), merge_string_pairs(alone)) << "size " << size;
    ASSERT_EQ(cut.merges.size(), alone.merges.size()) << "size " << size;
    for (size_t k = 0; k < cut.merges.size(); ++k) {
      EXPECT_EQ(cut.merges[k].new_id, alone.merges[k].new_id) << "size " << size << " merge " << k;
    }
  }
}

WordTable count_fixture(const std::string& name, PretokenizerKind kind) {
  CountResult counted = count_words({testing::fixtures_dir() + "/" + name}, 1, kind);
  EXPECT_TRUE(counted.status.ok());
  return std::move(counted.words);
}

TEST(CutTrainingTest, EqualsTrainingToEachSize) {
  for (PretokenizerKind kind : {PretokenizerKind::ByteLevel, PretokenizerKind::Whitespace}) {
    for (const char* name : {"en-prose.txt", "man-ja.txt"}) {
      const WordTable words = count_fixture(name, kind);
      TrainConfig config;
      config.pretokenizer = kind;
      // "th" is also a merge's result: a special token a merge spells.
      config.special_tokens = {"<s>", "th"};
      expect_cuts_equal_trainings(words, config, 1500);
      config.min_frequency = 30;  // stops before the largest size
      expect_cuts_equal_trainings(words, config, 3000);
    }
  }
}

}  // namespace
}  // namespace selkbar
