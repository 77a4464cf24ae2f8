#include "utf8.h"

#include <array>
#include <cstring>

namespace selkbar {

namespace {

constexpr uint64_t HIGH_BITS = 0x8080808080808080ULL;

inline bool is_continuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// What a lead byte needs: the sequence's length, and the range its second
// byte must fall in (E0 and F0 exclude overlong forms, ED the surrogates, F4
// code points above U+10FFFF). Length 0: the byte cannot start a sequence
// (a continuation byte, C0, C1, F5..FF).
struct LeadRule {
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

}  // namespace

bool validate_utf8(std::string_view text, Utf8Error* error) {
  const auto* const data = reinterpret_cast<const uint8_t*>(text.data());
  const size_t size = text.size();
  size_t i = 0;
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
    if (data[i] < 0x80) {
      ++i;
      continue;
    }
    const size_t length = check_sequence(data, i, size, error);
    if (length == 0) return false;
    i += length;
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
