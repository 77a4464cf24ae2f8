// reference_count.h: the plain single-threaded word count that phase 1 is
// checked against: split the whole text at once and count in a hash map.
#ifndef SELKBAR_TESTS_REFERENCE_COUNT_H_
#define SELKBAR_TESTS_REFERENCE_COUNT_H_

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <unordered_map>

#include "config.h"
#include "split.h"
#include "wordtable.h"

namespace selkbar::testing {

using WordCounts = std::unordered_map<std::string, uint64_t>;

// Adds the words of `text` to `counts`.
inline void count_reference(std::string_view text, PretokenizerKind kind, WordCounts& counts) {
  if (kind == PretokenizerKind::Whitespace) {
    split_whitespace(text, [&](std::string_view word) { ++counts[std::string(word)]; });
    return;
  }
  ADD_FAILURE() << "no byte-level reference yet";
}

// True if `table` holds exactly the pairs of `want`, each word once.
inline ::testing::AssertionResult table_equals(const WordTable& table, const WordCounts& want) {
  if (table.len() != want.size()) {
    return ::testing::AssertionFailure()
           << table.len() << " words counted, " << want.size() << " expected";
  }
  std::unordered_map<std::string_view, uint64_t> seen;
  seen.reserve(table.len());
  for (uint32_t id = 0; id < table.len(); ++id) {
    const std::string_view word = table.get(id);
    if (!seen.emplace(word, table.count(id)).second) {
      return ::testing::AssertionFailure() << "word counted twice: " << word;
    }
    const auto it = want.find(std::string(word));
    if (it == want.end()) return ::testing::AssertionFailure() << "unexpected word: " << word;
    if (it->second != table.count(id)) {
      return ::testing::AssertionFailure() << "word " << word << " counted " << table.count(id)
                                           << " times, expected " << it->second;
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace selkbar::testing

#endif  // SELKBAR_TESTS_REFERENCE_COUNT_H_
