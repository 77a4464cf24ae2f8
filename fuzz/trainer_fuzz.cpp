// Fuzz target for phase 2 against the naive trainer of the unit tests.
//
// The input spells a small word table (words over a handful of characters,
// so that pairs repeat and counts tie) and a configuration. The trainer must
// agree with naive_train on every token and merge up to the point the naive
// trainer can model (the first merge into an existing string), never throw,
// and produce merges whose ids exist.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "naive_trainer.h"
#include "fuzz_check.h"
#include "training/trainer.h"
#include "counts/wordtable.h"

namespace {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Characters of one, two, three and four UTF-8 bytes, and the ones that
// prefixes and suffixes are made of.
const char* const LETTERS[] = {"a", "b", "c", "d", "\xc3\xa9", "#", "$", "\xe2\x82\xac",
                               "\xf0\x9f\x98\x80", "<", "/", ">"};
const char* const AFFIXES[] = {"", "#", "##", "$", "</w>", "a", "ab", "\xc3\xa9"};
const char* const SPECIALS[] = {"<s>", "a", "ab", "##b", "b$", "<s>", "", "\xc3\xa9"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input(data, size);
  selkbar::TrainConfig config;
  const uint8_t options = input.byte();
  const uint8_t alphabet_size = 1 + input.byte() % 12;
  config.vocab_size = options & 1 ? std::numeric_limits<uint64_t>::max() : input.byte();
  if (options & 2) config.continuing_subword_prefix = AFFIXES[input.byte() % 8];
  if (options & 4) config.end_of_word_suffix = AFFIXES[input.byte() % 8];
  if (options & 8) config.max_token_length = input.byte() % 8;
  if (options & 16) config.limit_alphabet = input.byte() % 8;
  if (options & 32) config.min_frequency = input.byte() % 6;
  if (options & 64) {
    const size_t specials = 1 + input.byte() % 3;
    for (size_t i = 0; i < specials; ++i) config.special_tokens.push_back(SPECIALS[input.byte() % 8]);
  }

  // Words: a length byte, then that many letter bytes, then a count byte.
  std::map<std::string, uint64_t> distinct;
  for (int i = 0; i < 16 && !input.empty(); ++i) {
    const size_t length = 1 + input.byte() % 8;
    std::string word;
    for (size_t j = 0; j < length; ++j) word += LETTERS[input.byte() % alphabet_size];
    distinct[word] += 1 + input.byte() % 8;
  }
  // Table order is insertion order; the trainer must not depend on it
  // beyond what the naive trainer sees, so both get the same order.
  selkbar::testing::NaiveWordCounts words(distinct.begin(), distinct.end());
  selkbar::WordTable table;
  for (const auto& [word, count] : words) table.push(word, count);

  const selkbar::testing::NaiveRun expected = selkbar::testing::naive_train(words, config);
  const selkbar::TrainResult actual = selkbar::train_from_words(std::move(table), config);

  for (const selkbar::Merge& merge : actual.merges) {
    FUZZ_CHECK(merge.left < actual.tokens.size());
    FUZZ_CHECK(merge.right < actual.tokens.size());
    FUZZ_CHECK(merge.new_id < actual.tokens.size());
  }
  (void)selkbar::merge_string_pairs(actual);

  if (!expected.stopped_at_existing_string) {
    FUZZ_CHECK(actual.tokens == expected.tokens);
    FUZZ_CHECK(actual.merges.size() == expected.merges.size());
  } else {
    FUZZ_CHECK(actual.tokens.size() >= expected.tokens.size());
    FUZZ_CHECK(actual.merges.size() >= expected.merges.size());
    for (size_t i = 0; i < expected.tokens.size(); ++i) {
      FUZZ_CHECK(actual.tokens[i] == expected.tokens[i]);
    }
  }
  for (size_t i = 0; i < expected.merges.size(); ++i) {
    FUZZ_CHECK(actual.merges[i].left == expected.merges[i].left);
    FUZZ_CHECK(actual.merges[i].right == expected.merges[i].right);
    FUZZ_CHECK(actual.merges[i].new_id == expected.merges[i].new_id);
  }
  return 0;
}
