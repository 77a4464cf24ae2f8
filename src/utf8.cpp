#include "utf8.h"

#include <cstring>

namespace selkbar {

namespace {

constexpr uint64_t HIGH_BITS = 0x8080808080808080ULL;

inline bool is_continuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

bool validate_utf8(std::string_view text, Utf8Error* error) {
  const auto* const data = reinterpret_cast<const uint8_t*>(text.data());
  const size_t size = text.size();
  size_t i = 0;
  auto fail = [&](size_t start, uint8_t length) {
    *error = Utf8Error{start, length};
    return false;
  };
  while (i < size) {
    // ASCII fast path: two words per step, then the stragglers one by one.
    while (i + 16 <= size) {
      uint64_t a, b;
      std::memcpy(&a, data + i, 8);
      std::memcpy(&b, data + i + 8, 8);
      if (((a | b) & HIGH_BITS) != 0) break;
      i += 16;
    }
    if (i >= size) break;
    const uint8_t lead = data[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    const size_t start = i;
    // Each check below reports how far the sequence got before it broke:
    // a second byte that cannot follow the lead makes a 1-byte error, and
    // so on. Running out of text inside a sequence is "incomplete".
    if (lead >= 0xC2 && lead <= 0xDF) {
      if (i + 1 >= size) return fail(start, 0);
      if (!is_continuation(data[i + 1])) return fail(start, 1);
      i += 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      if (i + 1 >= size) return fail(start, 0);
      const uint8_t second = data[i + 1];
      // E0 needs A0..BF (no overlongs), ED needs 80..9F (no surrogates).
      const uint8_t low = lead == 0xE0 ? 0xA0 : 0x80;
      const uint8_t high = lead == 0xED ? 0x9F : 0xBF;
      if (second < low || second > high) return fail(start, 1);
      if (i + 2 >= size) return fail(start, 0);
      if (!is_continuation(data[i + 2])) return fail(start, 2);
      i += 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      if (i + 1 >= size) return fail(start, 0);
      const uint8_t second = data[i + 1];
      // F0 needs 90..BF (no overlongs), F4 needs 80..8F (at most U+10FFFF).
      const uint8_t low = lead == 0xF0 ? 0x90 : 0x80;
      const uint8_t high = lead == 0xF4 ? 0x8F : 0xBF;
      if (second < low || second > high) return fail(start, 1);
      if (i + 2 >= size) return fail(start, 0);
      if (!is_continuation(data[i + 2])) return fail(start, 2);
      if (i + 3 >= size) return fail(start, 0);
      if (!is_continuation(data[i + 3])) return fail(start, 3);
      i += 4;
    } else {
      // A continuation byte without a lead, C0, C1 or F5..FF.
      return fail(start, 1);
    }
  }
  return true;
}

std::string describe_utf8_error(const Utf8Error& error) {
  if (error.error_length == 0) {
    return "incomplete utf-8 byte sequence from index " + std::to_string(error.valid_up_to);
  }
  return "invalid utf-8 sequence of " + std::to_string(error.error_length) +
         " bytes from index " + std::to_string(error.valid_up_to);
}

}  // namespace selkbar
