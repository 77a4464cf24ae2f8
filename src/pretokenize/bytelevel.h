// bytelevel.h: the byte-level pretokenizer, its character classes and the
// byte-to-character map.
//
// split_bytelevel cuts text into the pretokens of the GPT-2 splitting pattern
//   's|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+
// applied to each line on its own (a line ends just after each 0x0A byte), so
// no pretoken ever extends past a newline. It calls the sink once per
// pretoken, in text order, with a non-empty view into the text; nothing is
// dropped, so the pretokens concatenate back to the text. No allocation, no
// copy. Example:
//
//   split_bytelevel("I'm here  \nx", sink);
//   // sink sees "I", "'m", " here", "  \n", "x"
//
// Character classes (every code point is in exactly one):
//   Letter      A-Z, a-z, and general category L of Unicode 16.0.0
//   Number      0-9, and general category N of Unicode 16.0.0
//   Whitespace  White_Space: U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680,
//               U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000
//               (the set split_whitespace uses)
//   Other       everything else, including combining marks and U+FEFF
// ASCII is classified by table lookup; code points from U+0080 up come from
// the range tables of unicode_tables.h (for the Basic Multilingual Plane
// through a table built from them once, above it by binary search behind a
// small cache of recently found stretches).
//
// The text is expected to be valid UTF-8 (callers validate it first), but the
// scan never reads outside the view whatever the bytes are: a stray byte or a
// sequence cut short counts as one Other character of the bytes present.
//
// build_byte_to_char returns the byte -> code point map that re-spells raw
// pretoken bytes as printable characters: bytes 0x21..0x7E, 0xA1..0xAC and
// 0xAE..0xFF map to themselves, the other 68 bytes in increasing order to
// U+0100..U+0143 (so 0x20 -> U+0120, 0x0A -> U+010A, 0xAD -> U+0143). It is
// one-to-one and every value lies in U+0021..U+0143; byte_of_char inverts it.
#ifndef SELKBAR_BYTELEVEL_H_
#define SELKBAR_BYTELEVEL_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "unicode/code_point_cache.h"
#include "pretokenize/split_units.h"
#include "unicode/unicode_tables.h"

namespace selkbar {

enum class CharClass : uint8_t { Other = 0, Letter = 1, Number = 2, Whitespace = 3 };

// The class of any code point (values above U+10FFFF are Other).
CharClass classify_code_point(uint32_t cp);

// The class of a non-ASCII code point, and the stretch around it of code
// points of the same class (empty for White_Space); the lookup behind
// CharClassifier's lookup.
CharClass find_char_class(uint32_t cp, CodePointRange* stretch);

// Classifies code points like classify_code_point: ASCII from a table, the
// rest through a CodePointLookup (code_point_cache.h).
// One per scan; not thread-safe.
class CharClassifier {
 public:
  CharClass classify(uint32_t cp) {
    if (cp < 0x80) return ascii_class(cp);
    return lookup_.get(cp);
  }

 private:
  // Cold: the scanners classify ASCII themselves. Telling the compiler so
  // lets it keep the scanners' registers for the lookups.
  [[gnu::cold]] static CharClass ascii_class(uint32_t cp);

  CodePointLookup<CharClass, find_char_class> lookup_;
};

std::array<uint32_t, 256> build_byte_to_char();

// The inverse map: the byte a character of the byte-level alphabet spells,
// or -1 for any other code point.
int byte_of_char(uint32_t cp);

namespace bytelevel_internal {

// Pretokens found per call of cut_line; the caller's cut array has this size.
inline constexpr size_t CUT_BATCH = 128;

// Cuts the line [begin, line_end) from its start into pretokens and stores
// the end of each in cuts[0..], stopping after at most CUT_BATCH of them (and
// always at a pretoken boundary). Returns how many were stored, at least one.
// REQUIRES: begin < line_end. The cut is the pattern's on [begin, line_end)
// as one input; split_bytelevel keeps each call to one line.
size_t cut_line(const char* begin, const char* line_end, const char** cuts,
                CharClassifier* classifier);

// cut_line takes ASCII stretches 64 bytes at a time and the rest character
// by character; this is the character-by-character cutter alone, which the
// tests compare with the whole.
size_t cut_line_by_chars(const char* begin, const char* line_end, const char** cuts,
                         CharClassifier* classifier);

}  // namespace bytelevel_internal

template <typename Sink>
void split_bytelevel(std::string_view text, Sink&& sink) {
  CharClassifier classifier;
  for_each_line(text, [&](const char* begin, const char* end) {
    cut_unit<bytelevel_internal::CUT_BATCH>(begin, end, bytelevel_internal::cut_line, &classifier,
                                            sink);
  });
}

// The same pattern applied to the whole text as one input, as the library's
// ByteLevel pre-tokenizer treats each text it is given: a whitespace run may
// then hold line breaks, and the end of the text is the only end of input
// for (?!\S). So "a \nb" gives "a", " ", "\n", "b" here, where
// split_bytelevel gives "a", " \n", "b".
template <typename Sink>
void split_bytelevel_text(std::string_view text, Sink&& sink) {
  CharClassifier classifier;
  cut_unit<bytelevel_internal::CUT_BATCH>(text.data(), text.data() + text.size(),
                                          bytelevel_internal::cut_line, &classifier, sink);
}

}  // namespace selkbar

#endif  // SELKBAR_BYTELEVEL_H_
