// tiktoken_classes.h: the character classes of the split patterns of current
// language models (GPT-4's cl100k_base and o200k_base), as one byte of flags
// per character.
//
// Each flag is a class the patterns name, over Unicode 16.0.0:
//   LETTER      \p{L}
//   NUMBER      \p{N}
//   SPACE       \s: White_Space, U+0009..U+000D, U+0020, U+0085, U+00A0,
//               U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F,
//               U+3000 (the set the other splitters use)
//   LINE_BREAK  [\r\n]
//   UPPER_SIDE  [\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]
//   LOWER_SIDE  [\p{Ll}\p{Lm}\p{Lo}\p{M}]
//   PREFIX      [^\r\n\p{L}\p{N}]
//   SYMBOL      [^\s\p{L}\p{N}]
// So a caseless letter (Lm, Lo) or a mark is on both sides, a mark is also
// a PREFIX and a SYMBOL, and a character with none of the categories (an
// "other" one) is exactly PREFIX | SYMBOL. A code point above U+10FFFF or
// a surrogate is "other".
//
// PatternClassifier answers ASCII from a table and other code points from
// CATEGORY_RANGES (unicode_tables.h), through the same lookup (a table of
// the Basic Multilingual Plane, a cache of recently found stretches above
// it: code_point_cache.h) as CharClassifier uses for the byte-level
// classes. One per scan; not thread-safe.
#ifndef SELKBAR_TIKTOKEN_CLASSES_H_
#define SELKBAR_TIKTOKEN_CLASSES_H_

#include <array>
#include <cstddef>
#include <cstdint>

#include "unicode/code_point_cache.h"
#include "unicode/unicode_tables.h"

namespace selkbar {

namespace char_flags {
inline constexpr uint8_t LETTER = 1;
inline constexpr uint8_t NUMBER = 2;
inline constexpr uint8_t SPACE = 4;
inline constexpr uint8_t LINE_BREAK = 8;
inline constexpr uint8_t UPPER_SIDE = 16;
inline constexpr uint8_t LOWER_SIDE = 32;
inline constexpr uint8_t PREFIX = 64;
inline constexpr uint8_t SYMBOL = 128;
}  // namespace char_flags

// The flags of every ASCII character.
extern const std::array<uint8_t, 128> ASCII_PATTERN_FLAGS;

// The flags of a non-ASCII code point, and the stretch around it of code
// points with the same flags (empty for White_Space); the lookup behind
// PatternClassifier's lookup.
uint8_t find_pattern_flags(uint32_t cp, CodePointRange* stretch);

class PatternClassifier {
 public:
  uint8_t flags(uint32_t cp) {
    if (cp < 0x80) return ASCII_PATTERN_FLAGS[cp];
    return lookup_.get(cp);
  }

 private:
  CodePointLookup<uint8_t, find_pattern_flags> lookup_;
};

// The flags of any code point, without a cache.
uint8_t pattern_flags(uint32_t cp);

}  // namespace selkbar

#endif  // SELKBAR_TIKTOKEN_CLASSES_H_
