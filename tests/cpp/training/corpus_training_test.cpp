// Phase 2 on the words of real text against the naive trainer of
// tests/naive_trainer.h, in both modes, plain and with every option at once:
// on each fixture file and, in an extended run, on each of the larger corpora.
// The random corpora of trainer_test.cpp find the corner cases; these find
// what only shows at scale: thousands of distinct words and characters, long
// words, frequent ties between real pairs.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "naive_trainer.h"
#include "corpora.h"
#include "reference_count.h"
#include "test_files.h"
#include "training/trainer.h"

namespace selkbar {
namespace {

using testing::NaiveRun;
using testing::NaiveWordCounts;

// Words in byte order, so both trainers see the same, reproducible order.
NaiveWordCounts words_of(const std::string& path, PretokenizerKind kind) {
  testing::WordCounts counts;
  testing::count_reference(testing::read_file(path), kind, counts);
  const std::map<std::string, uint64_t> sorted(counts.begin(), counts.end());
  return NaiveWordCounts(sorted.begin(), sorted.end());
}

TrainConfig plain_config() { return TrainConfig(); }

TrainConfig every_option_config() {
  TrainConfig config;
  config.special_tokens = {"<s>", "e", "<s>"};
  config.continuing_subword_prefix = "##";
  config.end_of_word_suffix = "</w>";
  config.max_token_length = 5;
  config.limit_alphabet = 120;
  config.min_frequency = 3;
  return config;
}

// Trains `merges` merges past the initial vocabulary with both trainers and
// compares them up to where the naive one stops (a merge into an existing
// string). Returns the number of merges compared.
size_t expect_same_training(const NaiveWordCounts& words, TrainConfig config, size_t merges) {
  config.vocab_size = 0;
  const size_t initial = testing::naive_train(words, config).tokens.size();
  config.vocab_size = initial + merges;

  const NaiveRun expected = testing::naive_train(words, config);
  WordTable table;
  for (const auto& [word, count] : words) table.push(word, count);
  const TrainResult actual = train_from_words(std::move(table), config);

  const size_t tokens = expected.tokens.size();
  const size_t compared = expected.merges.size();
  if (expected.stopped_at_existing_string) {
    EXPECT_GE(actual.tokens.size(), tokens);
    EXPECT_GE(actual.merges.size(), compared);
  } else {
    EXPECT_EQ(actual.tokens.size(), tokens);
    EXPECT_EQ(actual.merges.size(), compared);
  }
  for (size_t i = 0; i < std::min(tokens, actual.tokens.size()); ++i) {
    if (actual.tokens[i] != expected.tokens[i]) {
      ADD_FAILURE() << "token " << i << ": " << actual.tokens[i] << ", naive " << expected.tokens[i];
      break;
    }
  }
  for (size_t i = 0; i < std::min(compared, actual.merges.size()); ++i) {
    const Merge& a = actual.merges[i];
    const Merge& e = expected.merges[i];
    if (a.left != e.left || a.right != e.right || a.new_id != e.new_id) {
      ADD_FAILURE() << "merge " << i << ": (" << a.left << ", " << a.right << ") -> " << a.new_id
                    << ", naive (" << e.left << ", " << e.right << ") -> " << e.new_id;
      break;
    }
  }
  return compared;
}

struct TrainingCase {
  bool extended;  // on the extended corpora rather than the fixtures
  PretokenizerKind kind;
};

void PrintTo(const TrainingCase& c, std::ostream* out) {
  *out << (c.extended ? "extended" : "fixtures")
       << (c.kind == PretokenizerKind::Whitespace ? " (whitespace)" : " (bytelevel)");
}

class CorpusTraining : public ::testing::TestWithParam<TrainingCase> {};

TEST_P(CorpusTraining, MatchesTheNaiveTrainer) {
  const TrainingCase& param = GetParam();
  std::vector<std::string> files;
  // The naive trainer recounts every pair before each merge, so on the large
  // corpora it gets fewer merges.
  size_t merges = 150;
  if (param.extended) {
    testing::ExtendedCorpora extended = testing::extended_corpora();
    if (extended.files.empty()) GTEST_SKIP() << extended.skip_reason;
    files = std::move(extended.files);
    merges = 20;
  } else {
    files = testing::fixture_files();
    ASSERT_FALSE(files.empty()) << "no fixtures in " << testing::fixtures_dir();
  }
  size_t compared = 0;
  for (const std::string& path : files) {
    SCOPED_TRACE(testing::file_name(path));
    const NaiveWordCounts words = words_of(path, param.kind);
    compared += expect_same_training(words, plain_config(), merges);
    compared += expect_same_training(words, every_option_config(), merges);
  }
  // Most runs must go the whole way: a merge into an existing string is rare.
  EXPECT_GT(compared, files.size() * merges);
}

std::string case_name(const ::testing::TestParamInfo<TrainingCase>& info) {
  return std::string(info.param.extended ? "extended_" : "fixtures_") +
         (info.param.kind == PretokenizerKind::Whitespace ? "whitespace" : "bytelevel");
}

INSTANTIATE_TEST_SUITE_P(Corpora, CorpusTraining,
                         ::testing::Values(TrainingCase{false, PretokenizerKind::Whitespace},
                                           TrainingCase{false, PretokenizerKind::ByteLevel},
                                           TrainingCase{true, PretokenizerKind::Whitespace},
                                           TrainingCase{true, PretokenizerKind::ByteLevel}),
                         case_name);

}  // namespace
}  // namespace selkbar
