// reference_count.h: the plain single-threaded word count that phase 1 is
// checked against: split the whole text at once and count in a hash map.
#ifndef SELKBAR_TESTS_REFERENCE_COUNT_H_
#define SELKBAR_TESTS_REFERENCE_COUNT_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>
#include <string_view>
#include <unordered_map>

#include "pretokenize/bytelevel.h"
#include "config.h"
#include "pretokenize/split.h"
#include "counts/wordtable.h"

namespace selkbar::testing {

using WordCounts = std::unordered_map<std::string, uint64_t>;

// Adds the words of `text` to `counts`.
inline void count_reference(std::string_view text, PretokenizerKind kind, WordCounts& counts) {
  if (kind == PretokenizerKind::Whitespace) {
    split_whitespace(text, [&](std::string_view word) { ++counts[std::string(word)]; });
    return;
  }
  // Byte-level words are stored re-spelled: each byte as the UTF-8 form of
  // its mapped character, all of which lie below U+0800 (one or two bytes).
  static const std::array<uint32_t, 256> byte_to_char = build_byte_to_char();
  split_bytelevel(text, [&](std::string_view word) {
    std::string spelled;
    for (unsigned char byte : word) {
      const uint32_t cp = byte_to_char[byte];
      if (cp < 0x80) {
        spelled += static_cast<char>(cp);
      } else {
        spelled += static_cast<char>(0xC0 | (cp >> 6));
        spelled += static_cast<char>(0x80 | (cp & 0x3F));
      }
    }
    ++counts[spelled];
  });
}

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
};

// The expected pairs, indexed for repeated comparisons against many tables.
class ExpectedWords {
 public:
  explicit ExpectedWords(const WordCounts& want) {
    index_.reserve(want.size());
    for (const auto& [word, count] : want) {
      index_.emplace(word, counts_.size());
      counts_.push_back(count);
    }
  }

  // True if `table` holds exactly these pairs, each word once.
  ::testing::AssertionResult matches(const WordTable& table) const {
    if (table.len() != counts_.size()) {
      return ::testing::AssertionFailure()
             << table.len() << " words counted, " << counts_.size() << " expected";
    }
    std::vector<bool> seen(counts_.size(), false);
    for (uint32_t id = 0; id < table.len(); ++id) {
      const std::string_view word = table.get(id);
      const auto it = index_.find(word);
      if (it == index_.end()) return ::testing::AssertionFailure() << "unexpected word: " << word;
      if (seen[it->second]) return ::testing::AssertionFailure() << "word counted twice: " << word;
      seen[it->second] = true;
      if (counts_[it->second] != table.count(id)) {
        return ::testing::AssertionFailure() << "word " << word << " counted " << table.count(id)
                                             << " times, expected " << counts_[it->second];
      }
    }
    return ::testing::AssertionSuccess();
  }

 private:
  std::unordered_map<std::string, size_t, StringHash, std::equal_to<>> index_;
  std::vector<uint64_t> counts_;
};

inline ::testing::AssertionResult table_equals(const WordTable& table, const WordCounts& want) {
  return ExpectedWords(want).matches(table);
}

}  // namespace selkbar::testing

#endif  // SELKBAR_TESTS_REFERENCE_COUNT_H_
