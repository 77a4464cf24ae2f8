// ascii_masks.h: the classes of 64 bytes of ASCII text as one bit mask per
// class, for the pattern splitters' block cutters.
//
//   AsciiMasks m = ascii_masks(p);   // 64 readable bytes at p
//   uint64_t letters = m.letter;     // bit i: p[i] is A-Z or a-z
//
// English text is nearly all ASCII, and there the rules of a split pattern
// can be worked out for 64 bytes at once from these masks with shifts and
// ands, where a cutter that decodes character by character spends a
// hard-to-predict branch on every pretoken. Bytes from 0x80 up are flagged
// in `unfit`; the cutters leave those stretches to their per-character path.
#ifndef SELKBAR_PRETOKENIZE_ASCII_MASKS_H_
#define SELKBAR_PRETOKENIZE_ASCII_MASKS_H_

#include <cstddef>
#include <cstdint>

#include "unicode/whitespace.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace selkbar {

// One bit per byte of a 64-byte block. A byte below 0x80 is in exactly one
// of letter, digit, blank, carriage, newline and symbol; upper, space and
// apostrophe are parts of letter, blank and symbol.
struct AsciiMasks {
  uint64_t letter;      // A-Z a-z
  uint64_t upper;       // A-Z, a part of letter
  uint64_t digit;       // 0-9
  uint64_t blank;       // whitespace that is not a line break: \t \v \f and space
  uint64_t space;       // ' '
  uint64_t carriage;    // \r
  uint64_t newline;     // \n
  uint64_t symbol;      // every other ASCII byte: punctuation, controls
  uint64_t apostrophe;  // '
  uint64_t unfit;       // 0x80 and up
};

namespace ascii_masks_internal {

enum : uint16_t {
  LETTER = 1, DIGIT = 2, BLANK = 4, SPACE = 8, CARRIAGE = 16, NEWLINE = 32, SYMBOL = 64,
  APOSTROPHE = 128, UNFIT = 256, UPPER = 512
};

inline constexpr auto CLASS_OF = [] {
  struct Table {
    uint16_t of[256];
  } table{};
  for (int b = 0; b < 256; ++b) {
    uint16_t c = SYMBOL;
    if (b >= 'a' && b <= 'z') c = LETTER;
    if (b >= 'A' && b <= 'Z') c = LETTER | UPPER;
    if (b >= '0' && b <= '9') c = DIGIT;
    if (is_ascii_white_space(static_cast<uint8_t>(b))) c = BLANK;
    if (b == ' ') c = BLANK | SPACE;
    if (b == '\n') c = NEWLINE;
    if (b == '\'') c = SYMBOL | APOSTROPHE;
    if (b == '\r') c = CARRIAGE;
    if (b >= 0x80) c = UNFIT;
    table.of[b] = c;
  }
  return table;
}();

}  // namespace ascii_masks_internal

// The masks of the 64 bytes at p, byte by byte: the portable way, which the
// tests also run beside the vector one.
inline AsciiMasks ascii_masks_portable(const uint8_t* p) {
  using namespace ascii_masks_internal;
  AsciiMasks m{};
  for (unsigned i = 0; i < 64; ++i) {
    const uint16_t c = CLASS_OF.of[p[i]];
    const uint64_t bit = uint64_t{1} << i;
    if (c & LETTER) m.letter |= bit;
    if (c & UPPER) m.upper |= bit;
    if (c & DIGIT) m.digit |= bit;
    if (c & BLANK) m.blank |= bit;
    if (c & SPACE) m.space |= bit;
    if (c & CARRIAGE) m.carriage |= bit;
    if (c & NEWLINE) m.newline |= bit;
    if (c & SYMBOL) m.symbol |= bit;
    if (c & APOSTROPHE) m.apostrophe |= bit;
    if (c & UNFIT) m.unfit |= bit;
  }
  return m;
}

#if defined(__SSE2__)
// The same with SSE2, sixteen bytes at a time.
inline AsciiMasks ascii_masks(const uint8_t* p) {
  auto set = [](int byte) { return _mm_set1_epi8(static_cast<char>(byte)); };
  // Whether each byte, less `low` (wrapping), is at most `span`: a range test.
  auto in_range = [&](__m128i v, int low, int span) {
    const __m128i shifted = _mm_sub_epi8(v, set(low));
    return _mm_cmpeq_epi8(_mm_min_epu8(shifted, set(span)), shifted);
  };
  auto bits = [](__m128i v) {
    return static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(v)));
  };
  AsciiMasks m{};
  for (unsigned k = 0; k < 64; k += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
    // Setting bit 5 folds A-Z onto a-z and moves no other byte into a-z.
    const __m128i letter = in_range(_mm_or_si128(v, set(0x20)), 'a', 25);
    const __m128i digit = in_range(v, '0', 9);
    const __m128i space = _mm_cmpeq_epi8(v, set(' '));
    const __m128i newline = _mm_cmpeq_epi8(v, set('\n'));
    const __m128i carriage = _mm_cmpeq_epi8(v, set('\r'));
    // \t \n \v \f \r are 0x09..0x0D; the blanks are those without \n and \r.
    const __m128i controls =
        _mm_andnot_si128(_mm_or_si128(newline, carriage), in_range(v, 0x09, 4));
    const __m128i blank = _mm_or_si128(controls, space);
    m.letter |= bits(letter) << k;
    m.upper |= bits(in_range(v, 'A', 25)) << k;
    m.digit |= bits(digit) << k;
    m.blank |= bits(blank) << k;
    m.space |= bits(space) << k;
    m.newline |= bits(newline) << k;
    m.apostrophe |= bits(_mm_cmpeq_epi8(v, set('\''))) << k;
    m.carriage |= bits(carriage) << k;
    m.unfit |= bits(v) << k;
  }
  m.symbol = ~(m.letter | m.digit | m.blank | m.carriage | m.newline | m.unfit);
  return m;
}
#else
inline AsciiMasks ascii_masks(const uint8_t* p) { return ascii_masks_portable(p); }
#endif

}  // namespace selkbar

#endif  // SELKBAR_PRETOKENIZE_ASCII_MASKS_H_
