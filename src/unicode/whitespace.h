// whitespace.h: the one definition of Unicode White_Space used everywhere.
//
// White_Space is exactly these 25 code points:
//   U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028,
//   U+2029, U+202F, U+205F, U+3000.
// The six ASCII ones are also the bytes after which a reader may cut in
// whitespace mode. Only the lead bytes 0xC2, 0xE1, 0xE2 and 0xE3 can start a
// non-ASCII one, which lets the splitters skip decoding everything else.
#ifndef SELKBAR_WHITESPACE_H_
#define SELKBAR_WHITESPACE_H_

#include <cstddef>
#include <cstdint>

#include "unicode/utf8.h"

namespace selkbar {

// Tab, line feed, vertical tab, form feed, carriage return and space.
inline constexpr bool is_ascii_white_space(uint8_t byte) {
  return (byte >= 0x09 && byte <= 0x0D) || byte == 0x20;
}

// The non-ASCII White_Space code points, in increasing order.
inline constexpr uint32_t NON_ASCII_WHITE_SPACE[] = {
    0x85,   0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006,
    0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};

inline constexpr bool is_non_ascii_white_space(uint32_t cp) {
  return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) ||
         cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

static_assert([] {
  size_t listed = 0;
  for (uint32_t cp = 0x80; cp <= 0x3000; ++cp) listed += is_non_ascii_white_space(cp) ? 1 : 0;
  for (uint32_t cp : NON_ASCII_WHITE_SPACE) {
    if (!is_non_ascii_white_space(cp)) return false;
  }
  return listed == sizeof NON_ASCII_WHITE_SPACE / sizeof NON_ASCII_WHITE_SPACE[0];
}(), "the list and the test of non-ASCII White_Space disagree");

// True for the lead bytes that can start a non-ASCII White_Space character.
inline constexpr bool may_start_non_ascii_white_space(uint8_t byte) {
  return byte == 0xC2 || byte == 0xE1 || byte == 0xE2 || byte == 0xE3;
}

// Length of the White_Space character at p (p < end), or 0 if there is none
// there. Never reads at or past end.
inline size_t whitespace_length_at(const uint8_t* p, const uint8_t* end) {
  if (is_ascii_white_space(*p)) return 1;
  if (!may_start_non_ascii_white_space(*p)) return 0;
  const DecodedChar c = decode_utf8(p, end);
  return is_non_ascii_white_space(c.cp) ? c.length : 0;
}

}  // namespace selkbar

#endif  // SELKBAR_WHITESPACE_H_
