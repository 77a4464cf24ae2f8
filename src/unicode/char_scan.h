// char_scan.h: word-at-a-time steps shared by the rule-based splitters
// (byte-level, gpt4, o200k): counting the ASCII letters, or the lower-case
// ones, that open an 8-byte word.
#ifndef SELKBAR_CHAR_SCAN_H_
#define SELKBAR_CHAR_SCAN_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace selkbar {

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
