#include "unicode/utf8.h"

#include <array>
#include <bit>
#include <cstring>

#include "unicode/utf8_avx2.h"

namespace selkbar {

namespace {

constexpr uint64_t HIGH_BITS = 0x8080808080808080ULL;

inline bool is_continuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// What a lead byte needs: the sequence's length, and the range its second
// byte must fall in (E0 and F0 exclude overlong forms, ED the surrogates, F4
// code points above U+10FFFF). Length 0: the byte cannot start a sequence
// (a continuation byte, C0, C1, F5..FF).
// Four bytes, so that an entry is one aligned load.
struct alignas(4) LeadRule {
  uint8_t length, low, high;
};

constexpr auto LEAD_RULES = [] {
  std::array<LeadRule, 256> rules{};
  for (int b = 0xC2; b <= 0xDF; ++b) rules[b] = {2, 0x80, 0xBF};
  for (int b = 0xE0; b <= 0xEF; ++b) rules[b] = {3, 0x80, 0xBF};
  for (int b = 0xF0; b <= 0xF4; ++b) rules[b] = {4, 0x80, 0xBF};
  rules[0xE0].low = 0xA0;
  rules[0xED].high = 0x9F;
  rules[0xF0].low = 0x90;
  rules[0xF4].high = 0x8F;
  return rules;
}();

// Checks the non-ASCII sequence starting at data[i]. Returns its length, or 0
// with *error describing how far it got before it broke: a byte that cannot
// follow makes an error as long as the bytes before it; running out of text
// inside the sequence is "incomplete".
size_t check_sequence(const uint8_t* data, size_t i, size_t size, Utf8Error* error) {
  const LeadRule rule = LEAD_RULES[data[i]];
  if (rule.length == 0) {
    *error = Utf8Error{i, 1};
    return 0;
  }
  for (uint8_t k = 1; k < rule.length; ++k) {
    if (i + k >= size) {
      *error = Utf8Error{i, 0};
      return 0;
    }
    const uint8_t byte = data[i + k];
    const bool fits = k == 1 ? byte >= rule.low && byte <= rule.high : is_continuation(byte);
    if (!fits) {
      *error = Utf8Error{i, k};
      return 0;
    }
  }
  return rule.length;
}

// The same test as check_sequence, without the error: the length of the
// valid sequence at data[i], or 0 if there is none. It takes the sequence in
// one piece (whole before size, second byte in range, the rest continuation
// bytes) instead of byte by byte, which is what makes non-ASCII text cheap;
// check_sequence is only called to describe an error it found.
inline size_t valid_sequence_length(const uint8_t* data, size_t i, size_t size) {
  const LeadRule rule = LEAD_RULES[data[i]];
  // A length of 0 wraps to the largest value and fails this test too.
  if (static_cast<size_t>(rule.length) - 1 >= size - i) return 0;
  if (static_cast<uint8_t>(data[i + 1] - rule.low) > rule.high - rule.low) return 0;
  if (rule.length >= 3 && !is_continuation(data[i + 2])) return 0;
  if (rule.length == 4 && !is_continuation(data[i + 3])) return 0;
  return rule.length;
}

// Runs of 2-byte characters (Cyrillic, Greek, Hebrew, Arabic, ...) four per
// word: each 16-bit lane, lead byte first, must be 110xxxxx 10xxxxxx with a
// lead of C2 or above (some of its bits 1..4 set; C0 and C1 are overlong).
// Returns the index after the last word that passes.
inline size_t skip_two_byte_run(const uint8_t* data, size_t i, size_t size) {
  constexpr uint64_t SHAPE_MASK = 0xC0E0C0E0C0E0C0E0ULL;
  constexpr uint64_t SHAPE = 0x80C080C080C080C0ULL;
  constexpr uint64_t LEAD_PAYLOAD = 0x001E001E001E001EULL;
  constexpr uint64_t LANE_TOP = 0x8000800080008000ULL;
  while (i + 8 <= size) {
    uint64_t word;
    std::memcpy(&word, data + i, 8);
    if ((word & SHAPE_MASK) != SHAPE) break;
    // A payload of 1..0x1E plus 0x7FFF sets the lane's top bit, 0 does not;
    // no lane carries into the next.
    if ((((word & LEAD_PAYLOAD) + 0x7FFF7FFF7FFF7FFFULL) & LANE_TOP) != LANE_TOP) break;
    i += 8;
  }
  return i;
}

// Whether the low nibble of a 3-byte lead byte admits any continuation pair:
// E0 and ED restrict their second byte (overlongs, surrogates) and go the
// general way.
inline bool plain_three_byte_lead(uint64_t lead) {
  const uint64_t low = lead & 0x0F;
  return low != 0x0 && low != 0xD;
}

// Runs of 3-byte characters (Chinese, Japanese, Korean, most Indic scripts)
// two per 8-byte load, then one per 4-byte load: each must be 1110xxxx
// 10xxxxxx 10xxxxxx with a plain lead. Returns the index after the last
// character that passes.
inline size_t skip_three_byte_run(const uint8_t* data, size_t i, size_t size) {
  constexpr uint64_t PAIR_MASK = 0x0000C0C0F0C0C0F0ULL;
  constexpr uint64_t PAIR_SHAPE = 0x00008080E08080E0ULL;
  while (i + 8 <= size) {
    uint64_t word;
    std::memcpy(&word, data + i, 8);
    if ((word & PAIR_MASK) != PAIR_SHAPE || !plain_three_byte_lead(word) ||
        !plain_three_byte_lead(word >> 24)) {
      break;
    }
    i += 6;
  }
  while (i + 4 <= size) {
    uint32_t word;
    std::memcpy(&word, data + i, 4);
    if ((word & 0x00C0C0F0u) != 0x008080E0u || !plain_three_byte_lead(word)) break;
    i += 3;
  }
  return i;
}

// The index of the first byte at or above 0x80 from data[i], or size: two
// words per step, then one word, whose first high byte the bit scan finds
// without a loop over the stragglers.
inline size_t skip_ascii(const uint8_t* data, size_t i, size_t size) {
  while (i + 16 <= size) {
    uint64_t a, b;
    std::memcpy(&a, data + i, 8);
    std::memcpy(&b, data + i + 8, 8);
    if (((a | b) & HIGH_BITS) != 0) break;
    i += 16;
  }
  while (i + 8 <= size) {
    uint64_t word;
    std::memcpy(&word, data + i, 8);
    const uint64_t high = word & HIGH_BITS;
    if (high != 0) return i + static_cast<size_t>(std::countr_zero(high)) / 8;
    i += 8;
  }
  while (i < size && data[i] < 0x80) ++i;
  return i;
}

}  // namespace

bool validate_utf8_portable(std::string_view text, Utf8Error* error) {
  static_assert(std::endian::native == std::endian::little, "the first byte is the lowest");
  const auto* const data = reinterpret_cast<const uint8_t*>(text.data());
  const size_t size = text.size();
  size_t i = 0;
  while (i < size) {
    if (data[i] < 0x80) {
      i = skip_ascii(data, i, size);
      continue;
    }
    const size_t length = valid_sequence_length(data, i, size);
    if (length == 0) {
      check_sequence(data, i, size, error);
      return false;
    }
    i += length;
    if (length == 2) {
      i = skip_two_byte_run(data, i, size);
    } else if (length == 3) {
      i = skip_three_byte_run(data, i, size);
    }
  }
  return true;
}

bool validate_utf8(std::string_view text, Utf8Error* error) {
#ifdef SELKBAR_HAVE_UTF8_AVX2
  // Below two blocks the vector loop has too little to do to pay for
  // itself.
  if (text.size() >= 64 && cpu_has_avx2()) {
    const size_t checked =
        valid_utf8_prefix_avx2(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    Utf8Error unused;
    if (checked != UTF8_AVX2_REFUSED && validate_utf8_portable(text.substr(checked), &unused)) {
      return true;
    }
    // Errors are rare: the portable scan finds where the first one is.
  }
#endif
  return validate_utf8_portable(text, error);
}

std::string describe_utf8_error(const Utf8Error& error) {
  if (error.error_length == 0) {
    return "incomplete utf-8 byte sequence from index " + std::to_string(error.valid_up_to);
  }
  return "invalid utf-8 sequence of " + std::to_string(error.error_length) +
         " bytes from index " + std::to_string(error.valid_up_to);
}

}  // namespace selkbar
