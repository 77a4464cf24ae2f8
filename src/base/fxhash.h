// fxhash.h: FxHash, the one hash function of the engine, and pretoken_hash.
//
// FxHash has no seed: a 64-bit state starts at 0 and takes 64-bit words one at
// a time as h = (rotl(h, 5) ^ w) * FX_SEED. It is weak but very fast; the maps
// that use it take their bucket from the high bits of the product, which are
// the well-mixed ones.
//
// pretoken_hash is computed once per pretoken of the corpus, so it is built
// for short words: a word of up to 16 bytes is read as two (possibly
// overlapping) little-endian loads, which together with the length determine
// it, and mixed by two multiplications, with no loop and no branch on the
// exact length. Longer words fold 16 bytes per step first. The high bits of
// the result depend on every byte; they pick partitions and, after one more
// FxHash step, buckets. Values live in memory only (nothing stores them), so
// the function may change between versions.
#ifndef SELKBAR_FXHASH_H_
#define SELKBAR_FXHASH_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/unaligned.h"

namespace selkbar {

inline constexpr uint64_t FX_SEED = 0x517cc1b727220a95ULL;

inline constexpr uint64_t fx_add(uint64_t state, uint64_t word) {
  return (std::rotl(state, 5) ^ word) * FX_SEED;
}

namespace hash_internal {

inline constexpr uint64_t K1 = 0x9e3779b97f4a7c15ULL;
inline constexpr uint64_t K2 = 0xc2b2ae3d27d4eb4fULL;
inline constexpr uint64_t K3 = 0x165667b19e3779f9ULL;

// Bijective in `a` for each `b`, and in `b` for each `a`; the top bits of
// the product depend on every bit of both.
inline uint64_t mix(uint64_t a, uint64_t b) { return (std::rotl((a ^ K1) * K2, 32) ^ b) * K3; }

}  // namespace hash_internal

[[gnu::always_inline]] inline uint64_t pretoken_hash(const uint8_t* bytes, size_t length) {
  static_assert(std::endian::native == std::endian::little,
                "pretoken_hash reads little-endian words directly");
  using namespace hash_internal;
  uint64_t a = 0;
  uint64_t b = 0;
  if (length > 16) {
    uint64_t state = 0;
    size_t left = length;
    const uint8_t* p = bytes;
    while (left > 16) {
      state = mix(state ^ load64(p), load64(p + 8));
      p += 16;
      left -= 16;
    }
    a = state ^ load64(bytes + length - 16);
    b = load64(bytes + length - 8);
  } else if (length >= 8) {
    a = load64(bytes);
    b = load64(bytes + length - 8);
  } else if (length >= 4) {
    a = load32(bytes);
    b = load32(bytes + length - 4);
  } else if (length > 0) {
    a = (uint64_t{bytes[0]} << 16) | (uint64_t{bytes[length >> 1]} << 8) | bytes[length - 1];
  }
  // The length enters as a dense pattern, not as its own bits: words of
  // nearby lengths whose last loads differ by a shifted byte must not cancel
  // it out.
  return mix(a, b ^ (uint64_t{length} * K3));
}

[[gnu::always_inline]] inline uint64_t pretoken_hash(std::string_view text) {
  return pretoken_hash(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// The partition a pretoken is counted in. REQUIRES: owners >= 1.
inline uint64_t owner_index(uint64_t hash, uint64_t owners) { return (hash >> 32) % owners; }

}  // namespace selkbar

#endif  // SELKBAR_FXHASH_H_
