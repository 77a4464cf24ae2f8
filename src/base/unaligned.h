// unaligned.h: little-endian words read from any byte address, for the
// hashing and comparison loops that step through bytes a word at a time.
#ifndef SELKBAR_UNALIGNED_H_
#define SELKBAR_UNALIGNED_H_

#include <bit>
#include <cstdint>
#include <cstring>

namespace selkbar {

static_assert(std::endian::native == std::endian::little,
              "words are read in the machine's byte order, taken to be little-endian");

inline uint64_t load64(const uint8_t* p) {
  uint64_t value;
  std::memcpy(&value, p, 8);
  return value;
}

inline uint32_t load32(const uint8_t* p) {
  uint32_t value;
  std::memcpy(&value, p, 4);
  return value;
}

}  // namespace selkbar

#endif  // SELKBAR_UNALIGNED_H_
