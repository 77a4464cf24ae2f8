// tiktoken_classes.cpp: flags of the pattern splitters' character classes.
#include "pretokenize/tiktoken_classes.h"

#include <algorithm>
#include <span>

#include "unicode/unicode_tables.h"
#include "unicode/whitespace.h"

namespace selkbar {

namespace {

using namespace char_flags;

constexpr uint8_t OTHER = PREFIX | SYMBOL;

constexpr uint8_t flags_of(Category category) {
  switch (category) {
    case Category::Lu:
    case Category::Lt:
      return LETTER | UPPER_SIDE;
    case Category::Ll:
      return LETTER | LOWER_SIDE;
    case Category::Lm:
    case Category::Lo:
      return LETTER | UPPER_SIDE | LOWER_SIDE;
    case Category::M:
      return UPPER_SIDE | LOWER_SIDE | PREFIX | SYMBOL;
    case Category::N:
      return NUMBER;
  }
  return OTHER;
}

}  // namespace

const std::array<uint8_t, 128> ASCII_PATTERN_FLAGS = [] {
  std::array<uint8_t, 128> table{};
  for (int c = 0; c < 128; ++c) table[c] = OTHER;
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = flags_of(Category::Lu);
  for (int c = 'a'; c <= 'z'; ++c) table[c] = flags_of(Category::Ll);
  for (int c = '0'; c <= '9'; ++c) table[c] = flags_of(Category::N);
  for (int c = 0x09; c <= 0x0D; ++c) table[c] = SPACE | PREFIX;
  table[' '] = SPACE | PREFIX;
  table['\r'] = SPACE | LINE_BREAK;
  table['\n'] = SPACE | LINE_BREAK;
  return table;
}();

uint8_t PatternClassifier::flags_and_remember(uint32_t cp) {
  if (is_non_ascii_white_space(cp)) return SPACE | PREFIX;
  const std::span<const CategoryRange> ranges = CATEGORY_RANGES;
  // The last range whose first code point is not above cp is the only one
  // that can hold it.
  const auto after = std::upper_bound(ranges.begin(), ranges.end(), cp,
                                      [](uint32_t v, const CategoryRange& r) { return v < r.first; });
  uint32_t first;
  uint32_t last;
  uint8_t result;
  if (after != ranges.begin() && cp <= std::prev(after)->last) {
    first = std::prev(after)->first;
    last = std::prev(after)->last;
    result = flags_of(std::prev(after)->category);
  } else {
    // An other character: remember the gap between the ranges around it,
    // cut back so that it holds no White_Space code point.
    first = after != ranges.begin() ? std::prev(after)->last + 1 : 0;
    last = after != ranges.end() ? after->first - 1 : UINT32_MAX;
    for (const uint32_t white : NON_ASCII_WHITE_SPACE) {
      if (white < cp) first = std::max(first, white + 1);
      if (white > cp) last = std::min(last, white - 1);
    }
    result = OTHER;
  }
  first_[next_slot_] = first;
  span_[next_slot_] = last - first;
  flags_[next_slot_] = result;
  next_slot_ = (next_slot_ + 1) % SLOTS;
  return result;
}

uint8_t pattern_flags(uint32_t cp) {
  PatternClassifier fresh;
  return fresh.flags(cp);
}

}  // namespace selkbar
