#include "pretokenize/word_spelling.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "pretokenize/bytelevel.h"
#include "pretokenize/pretokenizer_id.h"
#include "unicode/utf8.h"
#include "unicode/whitespace.h"

namespace selkbar {

namespace {

// The first White_Space character of valid UTF-8 text, if any.
std::optional<uint32_t> find_white_space(std::string_view text) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const uint8_t* const end = p + text.size();
  for (; p < end; ++p) {
    if (whitespace_length_at(p, end) > 0) return decode_utf8(p, end).cp;
  }
  return std::nullopt;
}

// Whether every byte is printable ASCII (0x21..0x7E): such a word holds no
// white space and is spelled as itself in the byte-level alphabet, so it
// passes for every pretokenizer. Most words of most tables are such.
bool plain_ascii(std::string_view word) {
  // Eight bytes at a time: a byte is outside 0x21..0x7E when it is below
  // 0x21 or above 0x7E, which these two word-wide tests flag in its top bit
  // (exactly, for bytes of either half of the range).
  constexpr uint64_t ONES = 0x0101010101010101ULL;
  constexpr uint64_t HIGHS = 0x8080808080808080ULL;
  size_t i = 0;
  for (; i + 8 <= word.size(); i += 8) {
    uint64_t x;
    std::memcpy(&x, word.data() + i, 8);
    const uint64_t below = (x - ONES * 0x21) & ~x;
    const uint64_t above = (x + ONES * (0x7F - 0x7E)) | x;
    if (((below | above) & HIGHS) != 0) return false;
  }
  for (; i < word.size(); ++i) {
    if (static_cast<unsigned char>(word[i]) - 0x21u > 0x7Eu - 0x21u) return false;
  }
  return true;
}

// The common byte-level word, checked without a second pass: characters of
// one or two bytes (the alphabet ends at U+0143) standing for bytes that are
// valid UTF-8. False means "not shown good here", and the full check decides
// and names the problem.
bool plain_bytelevel_word(std::string_view word) {
  constexpr size_t MAX_BYTES = 256;
  if (word.size() > 2 * MAX_BYTES) return false;
  uint8_t bytes[MAX_BYTES];
  size_t n = 0;
  bool ascii = true;
  const auto* p = reinterpret_cast<const uint8_t*>(word.data());
  const uint8_t* const end = p + word.size();
  while (p < end) {
    uint32_t cp = p[0];
    if (cp >= 0x80) {
      // Two-byte forms of U+0080..U+07FF only (lead 0xC2..0xDF).
      if (cp < 0xC2 || cp > 0xDF || end - p < 2 || (p[1] & 0xC0) != 0x80) return false;
      cp = ((cp & 0x1F) << 6) | (p[1] & 0x3F);
      p += 2;
    } else {
      ++p;
    }
    const int byte = byte_of_char(cp);
    if (byte < 0 || n == MAX_BYTES) return false;
    bytes[n++] = static_cast<uint8_t>(byte);
    ascii = ascii && byte < 0x80;
  }
  Utf8Error error;
  return ascii || validate_utf8(std::string_view(reinterpret_cast<const char*>(bytes), n), &error);
}

// The common whitespace word, checked in one pass: well-formed UTF-8 holding
// no ASCII white space and no byte that may start a non-ASCII White_Space
// character. False means "not shown good here", and the full check decides
// and names the problem.
bool plain_whitespace_word(std::string_view word) {
  const auto* p = reinterpret_cast<const uint8_t*>(word.data());
  const uint8_t* const end = p + word.size();
  const auto continues = [&](size_t n) {
    if (end - p < static_cast<ptrdiff_t>(n) + 1) return false;
    for (size_t k = 1; k <= n; ++k) {
      if ((p[k] & 0xC0) != 0x80) return false;
    }
    return true;
  };
  while (p < end) {
    const uint8_t lead = *p;
    if (lead < 0x80) {
      if (is_ascii_white_space(lead)) return false;
      ++p;
    } else if (may_start_non_ascii_white_space(lead) || lead < 0xC2 || lead > 0xF4) {
      return false;
    } else if (lead < 0xE0) {
      if (!continues(1)) return false;
      p += 2;
    } else if (lead < 0xF0) {
      // No overlong form (E0 80..9F) and no surrogate (ED A0..BF).
      if (!continues(2) || (lead == 0xE0 && p[1] < 0xA0) || (lead == 0xED && p[1] >= 0xA0)) {
        return false;
      }
      p += 3;
    } else {
      // No overlong form (F0 80..8F) and nothing past U+10FFFF (F4 90..BF).
      if (!continues(3) || (lead == 0xF0 && p[1] < 0x90) || (lead == 0xF4 && p[1] >= 0x90)) {
        return false;
      }
      p += 4;
    }
  }
  return true;
}

// REQUIRES: word is non-empty, valid UTF-8.
std::optional<SpellingProblem> check_bytelevel_word(std::string_view word) {
  const auto* p = reinterpret_cast<const uint8_t*>(word.data());
  const uint8_t* const end = p + word.size();
  // What the characters stand for; kept from call to call, since a counts
  // file's load checks every word.
  thread_local std::string bytes;
  bytes.clear();
  while (p < end) {
    const DecodedChar c = decode_utf8(p, end);
    p += c.length;
    const int byte = byte_of_char(c.cp);
    if (byte < 0) return SpellingProblem{SpellingProblem::OutsideAlphabet, c.cp};
    bytes.push_back(static_cast<char>(byte));
  }
  Utf8Error error;
  if (!validate_utf8(bytes, &error)) return SpellingProblem{SpellingProblem::BytesNotUtf8};
  return std::nullopt;
}

std::string code_point_name(uint32_t cp) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(cp));
  return buffer;
}

}  // namespace

std::optional<SpellingProblem> check_word_spelling(PretokenizerKind kind, std::string_view word) {
  if (word.empty()) return SpellingProblem{SpellingProblem::Empty};
  if (plain_ascii(word)) return std::nullopt;
  if (uses_byte_level_alphabet(kind) ? plain_bytelevel_word(word) : plain_whitespace_word(word)) {
    return std::nullopt;
  }
  Utf8Error error;
  if (!validate_utf8(word, &error)) return SpellingProblem{SpellingProblem::NotUtf8};
  if (uses_byte_level_alphabet(kind)) return check_bytelevel_word(word);
  if (const auto cp = find_white_space(word)) return SpellingProblem{SpellingProblem::WhiteSpace, *cp};
  return std::nullopt;
}

std::string describe_spelling_problem(const SpellingProblem& problem) {
  switch (problem.kind) {
    case SpellingProblem::Empty:
      return "is empty";
    case SpellingProblem::NotUtf8:
      return "is not valid UTF-8";
    case SpellingProblem::WhiteSpace:
      return "contains white space (" + code_point_name(problem.code_point) +
             "), which the whitespace pretokenizer never leaves in a word";
    case SpellingProblem::OutsideAlphabet:
      return "is not in the byte-level alphabet: " + code_point_name(problem.code_point) +
             " is not one of its 256 characters (spell each UTF-8 byte of the word through the "
             "byte-level map: a space is \"\xc4\xa0\")";
    case SpellingProblem::BytesNotUtf8:
      return "is not in the byte-level alphabet as a spelling of text: its characters stand for "
             "bytes that are not UTF-8 (spell each UTF-8 byte of the word through the byte-level "
             "map: \"\xc3\xa9\" is \"\xc3\x83\xc2\xa9\")";
  }
  return "is misspelled";
}

}  // namespace selkbar
