// utf8.h: UTF-8 validation with the error positions scanners report.
//
// A malformed sequence is described by where it starts (the number of valid
// bytes before it) and, unless the text ends inside it, by the length of its
// longest prefix that could start a valid sequence, plus one byte (1 to 3):
//   F0 9F 98 41    -> 3 bytes from index 0 (the 41 cannot continue it)
//   E0 80          -> 1 byte (E0 needs A0..BF next: an overlong)
//   ED A0 80       -> 1 byte (a surrogate)
//   F0 9F 98 <end> -> incomplete from index 0
// Surrogates, overlong forms, code points above U+10FFFF and the bytes C0,
// C1, F5..FF are invalid.
//
// On CPUs with AVX2 a long text is checked 32 bytes per step (utf8_avx2.h);
// elsewhere, and to locate an error, the portable scan checks 16 bytes per
// step while the text is ASCII and decodes only the non-ASCII sequences.
#ifndef SELKBAR_UTF8_H_
#define SELKBAR_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace selkbar {

struct Utf8Error {
  size_t valid_up_to;    // bytes before the malformed sequence
  uint8_t error_length;  // 1..3, or 0 when the text ends inside a sequence
};

// Returns true if `text` is valid UTF-8; otherwise fills `*error`.
bool validate_utf8(std::string_view text, Utf8Error* error);

// The same without vector instructions; validate_utf8 falls back to it.
bool validate_utf8_portable(std::string_view text, Utf8Error* error);

// One character: its code point and its length in bytes (1 to 4).
struct DecodedChar {
  uint32_t cp;
  uint32_t length;
};

inline constexpr uint32_t REPLACEMENT_CHARACTER = 0xFFFD;

// Decodes the character at p (p < end). The one decoder of the engine: it
// is meant for text that has been validated, and on anything else it stays
// safe rather than exact. It never reads at or past end; a byte that does
// not start a sequence, or whose sequence is cut short by end or by a byte
// that cannot continue it, or that spells an overlong form, a surrogate or a
// code point above U+10FFFF, decodes as U+FFFD of length 1.
inline DecodedChar decode_utf8(const uint8_t* p, const uint8_t* end) {
  const uint8_t lead = p[0];
  if (lead < 0x80) return {lead, 1};
  uint32_t length;
  uint32_t cp;
  if (lead >= 0xC0 && lead < 0xE0) {
    length = 2;
    cp = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead < 0xF0) {
    length = 3;
    cp = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead < 0xF8) {
    length = 4;
    cp = lead & 0x07u;
  } else {
    return {REPLACEMENT_CHARACTER, 1};
  }
  if (static_cast<size_t>(end - p) < length) return {REPLACEMENT_CHARACTER, 1};
  for (uint32_t i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return {REPLACEMENT_CHARACTER, 1};
    cp = (cp << 6) | (p[i] & 0x3Fu);
  }
  constexpr uint32_t SMALLEST[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < SMALLEST[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return {REPLACEMENT_CHARACTER, 1};
  }
  return {cp, length};
}

// decode_utf8 for text that validate_utf8 has accepted, which is all the
// splitters ever see: it trusts the continuation bytes and the code point's
// range, and so spends no instructions on checks that cannot fail there.
// Valid text decodes exactly as with decode_utf8. On anything else it is
// still safe, with an unspecified result: it never reads at or past end, and
// every length it returns is at least 1 and fits before end.
// REQUIRES: p < end.
inline DecodedChar decode_utf8_unchecked(const uint8_t* p, const uint8_t* end) {
  const uint8_t lead = p[0];
  const auto available = static_cast<size_t>(end - p);
  if (lead < 0x80) return {lead, 1};
  if (lead < 0xE0) {
    if (available < 2) return {REPLACEMENT_CHARACTER, 1};
    return {((lead & 0x1Fu) << 6) | (p[1] & 0x3Fu), 2};
  }
  if (lead < 0xF0) {
    if (available < 3) return {REPLACEMENT_CHARACTER, 1};
    return {((lead & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu), 3};
  }
  if (lead >= 0xF8 || available < 4) return {REPLACEMENT_CHARACTER, 1};
  return {((lead & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu),
          4};
}

// Writes the UTF-8 encoding of `cp`, a Unicode scalar value, at `p` (room
// for 4 bytes) and returns the end of what was written.
inline uint8_t* put_utf8(uint8_t* p, uint32_t cp) {
  if (cp < 0x80) {
    *p++ = static_cast<uint8_t>(cp);
  } else if (cp < 0x800) {
    *p++ = static_cast<uint8_t>(0xC0 | (cp >> 6));
    *p++ = static_cast<uint8_t>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *p++ = static_cast<uint8_t>(0xE0 | (cp >> 12));
    *p++ = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    *p++ = static_cast<uint8_t>(0x80 | (cp & 0x3F));
  } else {
    *p++ = static_cast<uint8_t>(0xF0 | (cp >> 18));
    *p++ = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
    *p++ = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    *p++ = static_cast<uint8_t>(0x80 | (cp & 0x3F));
  }
  return p;
}

// Appends the UTF-8 encoding of `cp`, a Unicode scalar value, to `out` (a
// std::string or a std::vector<uint8_t>).
template <typename Bytes>
void append_utf8(Bytes& out, uint32_t cp) {
  uint8_t bytes[4];
  const uint8_t* const end = put_utf8(bytes, cp);
  for (const uint8_t* p = bytes; p < end; ++p) out.push_back(static_cast<typename Bytes::value_type>(*p));
}

// Writes the UTF-8 of `count` code points (uint8_t, uint16_t or uint32_t
// units, as CPython stores text) to `out`, which has room for 4 bytes per
// code point (2 for uint8_t units, 3 for uint16_t). Returns the bytes
// written, or SIZE_MAX at a surrogate code point, which UTF-8 cannot hold.
template <typename Unit>
size_t encode_utf8(const Unit* units, size_t count, char* out) {
  auto* const start = reinterpret_cast<uint8_t*>(out);
  uint8_t* p = start;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t cp = units[i];
    if (cp >= 0xD800 && cp <= 0xDFFF) return SIZE_MAX;
    p = put_utf8(p, cp);
  }
  return static_cast<size_t>(p - start);
}

// "invalid utf-8 sequence of {n} bytes from index {i}" or
// "incomplete utf-8 byte sequence from index {i}".
std::string describe_utf8_error(const Utf8Error& error);

}  // namespace selkbar

#endif  // SELKBAR_UTF8_H_
