// split.h: the whitespace splitter.
//
// split_whitespace cuts valid UTF-8 text into the maximal runs of characters
// that are not Unicode White_Space, and calls the sink once per run, in text
// order, with a view into the text. Whitespace is dropped; the sink never sees
// an empty view. White_Space is the set of whitespace.h.
// Only the lead bytes 0xC2, 0xE1, 0xE2 and 0xE3 can start a non-ASCII
// whitespace character, so only those trigger decoding; every other byte at
// or above 0x80 is taken as part of a pretoken unseen. No allocation, no copy.
#ifndef SELKBAR_SPLIT_H_
#define SELKBAR_SPLIT_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "unicode/utf8.h"
#include "unicode/whitespace.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace selkbar {

namespace split_internal {

// Byte classes for the scan: 0 plain, 1 ASCII whitespace, 2 a lead byte that
// may start a non-ASCII whitespace character.
inline constexpr auto BYTE_CLASS = [] {
  struct Table {
    uint8_t cls[256] = {};
  } table;
  for (int b = 0; b < 256; ++b) {
    const auto byte = static_cast<uint8_t>(b);
    table.cls[b] = is_ascii_white_space(byte) ? 1 : may_start_non_ascii_white_space(byte) ? 2 : 0;
  }
  return table;
}();

}  // namespace split_internal

namespace split_internal {

#if defined(__SSE2__)
// Bit i is set when byte p[i] may end a pretoken: ASCII whitespace, or a
// lead byte whose next byte can continue a White_Space character (C2 85,
// C2 A0, E1 9A, E2 80, E2 81, E3 80). Other lead bytes, so nearly every
// character of Chinese or Japanese text, are passed over sixteen at a time.
// REQUIRES: 17 readable bytes at p.
inline uint32_t boundary_candidates(const uint8_t* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
  auto eq = [](__m128i a, int byte) { return _mm_cmpeq_epi8(a, _mm_set1_epi8(static_cast<char>(byte))); };
  // 0x09..0x0D: v - 9 is at most 4 as an unsigned byte.
  const __m128i shifted = _mm_sub_epi8(v, _mm_set1_epi8(9));
  const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(shifted, _mm_set1_epi8(4)), shifted);
  __m128i hit = _mm_or_si128(control, eq(v, 0x20));
  hit = _mm_or_si128(hit, _mm_and_si128(eq(v, 0xC2), _mm_or_si128(eq(next, 0x85), eq(next, 0xA0))));
  hit = _mm_or_si128(hit, _mm_and_si128(eq(v, 0xE1), eq(next, 0x9A)));
  hit = _mm_or_si128(hit, _mm_and_si128(eq(v, 0xE2), _mm_or_si128(eq(next, 0x80), eq(next, 0x81))));
  hit = _mm_or_si128(hit, _mm_and_si128(eq(v, 0xE3), eq(next, 0x80)));
  return static_cast<uint32_t>(_mm_movemask_epi8(hit));
}
#endif

// The end of the pretoken that starts at p (p < end, p not at whitespace):
// the first White_Space character after p, or end.
inline const uint8_t* pretoken_end(const uint8_t* p, const uint8_t* end) {
  for (;;) {
#if defined(__SSE2__)
    while (end - p >= 17) {
      const uint32_t mask = boundary_candidates(p);
      if (mask == 0) {
        p += 16;
        continue;
      }
      p += std::countr_zero(mask);
      if (whitespace_length_at(p, end) != 0) return p;
      ++p;  // a lead byte that starts some other character
    }
#endif
    if (p >= end) return end;
    const uint8_t cls = BYTE_CLASS.cls[*p];
    if (cls == 0) {
      ++p;
    } else if (cls == 1) {
      return p;
    } else {
      const DecodedChar c = decode_utf8(p, end);
      if (is_non_ascii_white_space(c.cp)) return p;
      p += c.length;
    }
  }
}

}  // namespace split_internal

template <typename Sink>
void split_whitespace(std::string_view text, Sink&& sink) {
  const auto* const begin = reinterpret_cast<const uint8_t*>(text.data());
  const uint8_t* const end = begin + text.size();
  const uint8_t* p = begin;
  while (p < end) {
    // Skip whitespace: usually a single space, so byte by byte.
    while (p < end) {
      const size_t n = whitespace_length_at(p, end);
      if (n == 0) break;
      p += n;
    }
    if (p == end) break;
    const uint8_t* const start = p;
    p = split_internal::pretoken_end(p, end);
    sink(std::string_view(reinterpret_cast<const char*>(start), static_cast<size_t>(p - start)));
  }
}

}  // namespace selkbar

#endif  // SELKBAR_SPLIT_H_
