// char_scan.h: the character steps shared by the rule-based splitters
// (byte-level, gpt4, o200k): decoding one character of a line without ever
// leaving it, and counting the ASCII letters that open an 8-byte word.
//
// The splitters are given valid UTF-8 (scanners validate every chunk first),
// but a scan must stay inside its view whatever the bytes are, so decoding is
// lenient: a byte where no well-formed sequence starts is one character of
// one byte, with the code point INVALID_CODE_POINT (which no character class
// holds).
#ifndef SELKBAR_CHAR_SCAN_H_
#define SELKBAR_CHAR_SCAN_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "utf8.h"

namespace selkbar {

inline constexpr uint32_t INVALID_CODE_POINT = 0xFFFFFFFF;

// Decodes the non-ASCII character at p into *cp and returns its length in
// bytes (at least 1, never past end), through the engine's one decoder.
// REQUIRES: p < end and *p >= 0x80.
inline uint32_t decode_non_ascii(const uint8_t* p, const uint8_t* end, uint32_t* cp) {
  const DecodedChar c = decode_utf8(p, end);
  // A real U+FFFD is three bytes long; one byte of it means undecodable.
  *cp = c.cp == REPLACEMENT_CHARACTER && c.length == 1 ? INVALID_CODE_POINT : c.cp;
  return c.length;
}

// How many of the 8 bytes at q, from the first, are ASCII letters. Words
// are mostly shorter than 8 bytes, so taking them a word at a time replaces
// a hard-to-predict loop exit per word by one predictable pass.
// REQUIRES: 8 readable bytes at q.
inline size_t ascii_letter_prefix(const uint8_t* q) {
  static_assert(std::endian::native == std::endian::little, "the first byte is the lowest");
  constexpr uint64_t ONES = 0x0101010101010101ULL;
  constexpr uint64_t HIGH = 0x8080808080808080ULL;
  uint64_t x;
  std::memcpy(&x, q, 8);
  // Setting bit 5 folds A-Z onto a-z and maps no other byte into a-z. Then
  // each byte's high bit is set iff 0x60 < byte < 0x7B and the byte is ASCII;
  // no step carries or borrows across bytes.
  const uint64_t folded = x | (ONES * 0x20);
  const uint64_t low7 = folded & (ONES * 0x7F);
  const uint64_t letters = (ONES * (0x7F + 0x7B) - low7) & ~folded & (low7 + ONES * (0x7F - 0x60)) & HIGH;
  const uint64_t stops = ~letters & HIGH;
  return stops == 0 ? 8 : static_cast<size_t>(std::countr_zero(stops)) / 8;
}

// How many of the 8 bytes at q, from the first, are ASCII lower-case letters
// (a-z), by the same steps without the case fold.
// REQUIRES: 8 readable bytes at q.
inline size_t ascii_lower_prefix(const uint8_t* q) {
  constexpr uint64_t ONES = 0x0101010101010101ULL;
  constexpr uint64_t HIGH = 0x8080808080808080ULL;
  uint64_t x;
  std::memcpy(&x, q, 8);
  const uint64_t low7 = x & (ONES * 0x7F);
  const uint64_t letters = (ONES * (0x7F + 0x7B) - low7) & ~x & (low7 + ONES * (0x7F - 0x60)) & HIGH;
  const uint64_t stops = ~letters & HIGH;
  return stops == 0 ? 8 : static_cast<size_t>(std::countr_zero(stops)) / 8;
}

}  // namespace selkbar

#endif  // SELKBAR_CHAR_SCAN_H_
