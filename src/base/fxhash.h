// fxhash.h: FxHash, the one hash function of the engine, and pretoken_hash.
//
// FxHash has no seed: a 64-bit state starts at 0 and takes 64-bit words one at
// a time as h = (rotl(h, 5) ^ w) * FX_SEED. It is weak but very fast; the maps
// that use it take their bucket from the high bits of the product, which are
// the well-mixed ones.
//
// pretoken_hash feeds a pretoken's bytes as: every full 8-byte group as a
// little-endian u64, then one little-endian u32 if 4 or more bytes remain,
// then each remaining byte alone. No length or terminator is mixed in, so the
// empty pretoken hashes to 0. Scanners compute it once per pretoken and the
// value travels with the pretoken to its owner, which never hashes again.
#ifndef SELKBAR_FXHASH_H_
#define SELKBAR_FXHASH_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace selkbar {

inline constexpr uint64_t FX_SEED = 0x517cc1b727220a95ULL;

inline constexpr uint64_t fx_add(uint64_t state, uint64_t word) {
  return (std::rotl(state, 5) ^ word) * FX_SEED;
}

inline uint64_t pretoken_hash(const uint8_t* bytes, size_t length) {
  static_assert(std::endian::native == std::endian::little,
                "pretoken_hash reads little-endian words directly");
  uint64_t state = 0;
  while (length >= 8) {
    uint64_t word;
    std::memcpy(&word, bytes, 8);
    state = fx_add(state, word);
    bytes += 8;
    length -= 8;
  }
  if (length >= 4) {
    uint32_t word;
    std::memcpy(&word, bytes, 4);
    state = fx_add(state, word);
    bytes += 4;
    length -= 4;
  }
  for (size_t i = 0; i < length; ++i) state = fx_add(state, bytes[i]);
  return state;
}

inline uint64_t pretoken_hash(std::string_view text) {
  return pretoken_hash(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// The owner (shard) a pretoken is routed to. REQUIRES: owners >= 1.
inline uint64_t owner_index(uint64_t hash, uint64_t owners) { return (hash >> 32) % owners; }

}  // namespace selkbar

#endif  // SELKBAR_FXHASH_H_
