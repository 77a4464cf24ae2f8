// split.h: the whitespace splitter.
//
// split_whitespace cuts valid UTF-8 text into the maximal runs of characters
// that are not Unicode White_Space, and calls the sink once per run, in text
// order, with a view into the text. Whitespace is dropped; the sink never sees
// an empty view. White_Space is the set of whitespace.h.
//
// The text is read in blocks of 64 bytes, each turned into a mask with one
// bit per byte that belongs to a whitespace character; pretokens are then
// the runs of clear bits, found with a count of trailing zeros each instead
// of a test per byte. Only the lead bytes 0xC2, 0xE1, 0xE2 and 0xE3 can
// start a non-ASCII whitespace character, and only when the next byte is
// one of a few, so only those places are decoded; every other byte at or
// above 0x80 is taken as part of a pretoken unseen. No allocation, no copy.
#ifndef SELKBAR_SPLIT_H_
#define SELKBAR_SPLIT_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "unicode/whitespace.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace selkbar {

namespace split_internal {

inline constexpr size_t BLOCK = 64;

// The masks of one block: bit i of `space` is set when byte i is ASCII
// whitespace; bit i of `candidates` when byte i is a lead byte that may
// start a non-ASCII whitespace character (decoding decides).
struct BlockMasks {
  uint64_t space;
  uint64_t candidates;
};

// The masks of the 64 bytes at p, byte by byte: the portable way, which the
// tests run beside the vector one. Every lead byte that may start non-ASCII
// whitespace is a candidate. REQUIRES: 64 readable bytes.
inline BlockMasks block_masks_portable(const uint8_t* p) {
  BlockMasks masks{0, 0};
  for (size_t i = 0; i < BLOCK; ++i) {
    masks.space |= uint64_t{is_ascii_white_space(p[i])} << i;
    masks.candidates |= uint64_t{may_start_non_ascii_white_space(p[i])} << i;
  }
  return masks;
}

#if defined(__SSE2__)
// The same with SSE2, sixteen bytes at a time. A lead byte is a candidate
// only when its next byte can continue a White_Space character (C2 85,
// C2 A0, E1 9A, E2 80, E2 81, E3 80): other lead bytes, so nearly every
// character of Chinese or Japanese text, need no decoding.
// REQUIRES: 65 readable bytes at p.
inline BlockMasks block_masks(const uint8_t* p) {
  auto eq = [](__m128i a, int byte) { return _mm_cmpeq_epi8(a, _mm_set1_epi8(static_cast<char>(byte))); };
  BlockMasks masks{0, 0};
  for (size_t k = 0; k < BLOCK; k += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k + 1));
    // 0x09..0x0D: v - 9 is at most 4 as an unsigned byte.
    const __m128i shifted = _mm_sub_epi8(v, _mm_set1_epi8(9));
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(shifted, _mm_set1_epi8(4)), shifted);
    const __m128i space = _mm_or_si128(control, eq(v, 0x20));
    __m128i lead = _mm_and_si128(eq(v, 0xC2), _mm_or_si128(eq(next, 0x85), eq(next, 0xA0)));
    lead = _mm_or_si128(lead, _mm_and_si128(eq(v, 0xE1), eq(next, 0x9A)));
    lead = _mm_or_si128(lead, _mm_and_si128(eq(v, 0xE2), _mm_or_si128(eq(next, 0x80), eq(next, 0x81))));
    lead = _mm_or_si128(lead, _mm_and_si128(eq(v, 0xE3), eq(next, 0x80)));
    masks.space |= uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(space))} << k;
    masks.candidates |= uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(lead))} << k;
  }
  return masks;
}
#else
inline BlockMasks block_masks(const uint8_t* p) { return block_masks_portable(p); }
#endif

// The bits from `first` up (first < 64).
inline uint64_t bits_from(unsigned first) { return ~uint64_t{0} << first; }

// The bits of the bytes of the block at p (p < end) that belong to a
// whitespace character: the ASCII ones, the non-ASCII ones the candidates of
// `masks(p)` start, and `carried`, the bits a character begun in the block
// before covers here. Leaves in `carried` the bits of the next block that a
// character begun here covers. `masks` may read 65 bytes at p: the last
// block is read from a copy padded with spaces, which end its last pretoken.
template <BlockMasks (*masks)(const uint8_t*)>
uint64_t whitespace_bits(const uint8_t* p, const uint8_t* end, uint64_t& carried) {
  const auto left = static_cast<size_t>(end - p);
  BlockMasks block;
  if (left > BLOCK) {
    block = masks(p);
  } else {
    uint8_t padded[BLOCK + 16];
    std::memset(padded, ' ', sizeof padded);
    std::memcpy(padded, p, left);
    block = masks(padded);
  }
  uint64_t space = block.space | carried;
  carried = 0;
  for (uint64_t candidates = block.candidates; candidates != 0; candidates &= candidates - 1) {
    const auto i = static_cast<unsigned>(std::countr_zero(candidates));
    const size_t length = whitespace_length_at(p + i, end);
    if (length == 0) continue;
    const size_t stop = i + length;
    space |= stop >= BLOCK ? bits_from(i) : bits_from(i) & ~bits_from(static_cast<unsigned>(stop));
    if (stop > BLOCK) carried = ~bits_from(static_cast<unsigned>(stop - BLOCK));
  }
  return space;
}

// Splits `text` with the block masks of `masks`.
template <BlockMasks (*masks)(const uint8_t*), typename Sink>
void split_whitespace_by_blocks(std::string_view text, Sink& sink) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const uint8_t* const end = p + text.size();
  const char* start = nullptr;  // the pretoken in progress, if any
  uint64_t carried = 0;
  for (; p < end; p += BLOCK) {
    const uint64_t space = whitespace_bits<masks>(p, end, carried);
    const auto* const block_chars = reinterpret_cast<const char*>(p);
    // Alternately the next start (a clear bit) and the next end (a set bit).
    unsigned at = 0;
    for (;;) {
      const uint64_t wanted = (start != nullptr ? space : ~space) & bits_from(at);
      if (wanted == 0) break;
      at = static_cast<unsigned>(std::countr_zero(wanted));
      if (start != nullptr) {
        sink(std::string_view(start, static_cast<size_t>(block_chars + at - start)));
        start = nullptr;
      } else {
        start = block_chars + at;
      }
    }
  }
  if (start != nullptr) {
    sink(std::string_view(start, static_cast<size_t>(reinterpret_cast<const char*>(end) - start)));
  }
}

}  // namespace split_internal

template <typename Sink>
void split_whitespace(std::string_view text, Sink&& sink) {
  split_internal::split_whitespace_by_blocks<split_internal::block_masks>(text, sink);
}

}  // namespace selkbar

#endif  // SELKBAR_SPLIT_H_
