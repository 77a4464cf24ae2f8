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

uint8_t find_pattern_flags(uint32_t cp, CodePointRange* stretch) {
  if (is_non_ascii_white_space(cp)) {
    *stretch = {1, 0};  // alone among other characters: not worth a slot
    return SPACE | PREFIX;
  }
  const std::span<const CategoryRange> ranges = CATEGORY_RANGES;
  // The last range whose first code point is not above cp is the only one
  // that can hold it.
  const auto after = std::upper_bound(ranges.begin(), ranges.end(), cp,
                                      [](uint32_t v, const CategoryRange& r) { return v < r.first; });
  if (after != ranges.begin() && cp <= std::prev(after)->last) {
    *stretch = {std::prev(after)->first, std::prev(after)->last};
    return flags_of(std::prev(after)->category);
  }
  // An other character: the gap between the ranges around it, cut back so
  // that it holds no White_Space code point.
  stretch->first = after != ranges.begin() ? std::prev(after)->last + 1 : 0;
  stretch->last = after != ranges.end() ? after->first - 1 : UINT32_MAX;
  for (const uint32_t white : NON_ASCII_WHITE_SPACE) {
    if (white < cp) stretch->first = std::max(stretch->first, white + 1);
    if (white > cp) stretch->last = std::min(stretch->last, white - 1);
  }
  return OTHER;
}

uint8_t pattern_flags(uint32_t cp) {
  PatternClassifier fresh;
  return fresh.flags(cp);
}

}  // namespace selkbar
