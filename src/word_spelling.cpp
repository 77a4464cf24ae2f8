#include "word_spelling.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "bytelevel.h"
#include "pretokenizer_id.h"
#include "utf8.h"
#include "whitespace.h"

namespace selkbar {

namespace {

constexpr uint32_t MAX_ALPHABET_CODE_POINT = 0x143;

// Code point -> the byte it spells, or -1 outside the byte-level alphabet.
const std::array<int16_t, MAX_ALPHABET_CODE_POINT + 1>& char_to_byte() {
  static const auto table = [] {
    std::array<int16_t, MAX_ALPHABET_CODE_POINT + 1> result;
    result.fill(-1);
    const std::array<uint32_t, 256> byte_to_char = build_byte_to_char();
    for (int byte = 0; byte < 256; ++byte) result[byte_to_char[byte]] = static_cast<int16_t>(byte);
    return result;
  }();
  return table;
}

struct WhiteSpaceHit {
  size_t position;  // byte offset of the character
  uint32_t code_point;
};

// The first White_Space character of valid UTF-8 text, if any.
std::optional<WhiteSpaceHit> find_white_space(std::string_view text) {
  const auto* const start = reinterpret_cast<const uint8_t*>(text.data());
  const uint8_t* const end = start + text.size();
  for (const uint8_t* p = start; p < end; ++p) {
    if (whitespace_length_at(p, end) > 0) {
      return WhiteSpaceHit{static_cast<size_t>(p - start), decode_utf8(p, end).cp};
    }
  }
  return std::nullopt;
}

// REQUIRES: word is non-empty, valid UTF-8. `scratch` is reused between
// calls for the bytes the word's characters stand for.
std::optional<SpellingProblem> check_bytelevel_word(std::string_view word, std::string& scratch) {
  const auto& to_byte = char_to_byte();
  const auto* p = reinterpret_cast<const uint8_t*>(word.data());
  const uint8_t* const end = p + word.size();
  scratch.clear();
  while (p < end) {
    const DecodedChar c = decode_utf8(p, end);
    p += c.length;
    const int byte = c.cp <= MAX_ALPHABET_CODE_POINT ? to_byte[c.cp] : -1;
    if (byte < 0) return SpellingProblem{SpellingProblem::OutsideAlphabet, c.cp};
    scratch.push_back(static_cast<char>(byte));
  }
  Utf8Error error;
  if (!validate_utf8(scratch, &error)) return SpellingProblem{SpellingProblem::BytesNotUtf8};
  return std::nullopt;
}

std::string code_point_name(uint32_t cp) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(cp));
  return buffer;
}

// The id of the word holding arena byte `position`.
uint32_t word_at(const WordTable& table, size_t position) {
  const std::vector<uint32_t>& offsets = table.offsets();
  const auto after = std::upper_bound(offsets.begin(), offsets.end(), position);
  return static_cast<uint32_t>(after - offsets.begin() - 1);
}

}  // namespace

std::optional<SpellingProblem> check_word_spelling(PretokenizerKind kind, std::string_view word) {
  if (word.empty()) return SpellingProblem{SpellingProblem::Empty};
  Utf8Error error;
  if (!validate_utf8(word, &error)) return SpellingProblem{SpellingProblem::NotUtf8};
  if (uses_byte_level_alphabet(kind)) {
    std::string scratch;
    return check_bytelevel_word(word, scratch);
  }
  if (auto hit = find_white_space(word)) {
    return SpellingProblem{SpellingProblem::WhiteSpace, hit->code_point};
  }
  return std::nullopt;
}

std::optional<TableSpellingProblem> check_table_spelling(PretokenizerKind kind,
                                                         const WordTable& table) {
  const std::vector<uint32_t>& offsets = table.offsets();
  const std::vector<uint8_t>& bytes = table.bytes();
  for (uint32_t id = 0; id < table.len(); ++id) {
    if (offsets[id] == offsets[id + 1]) {
      return TableSpellingProblem{id, {SpellingProblem::Empty}};
    }
  }
  // The arena is valid UTF-8 with every word starting on a character
  // boundary exactly when every word is valid UTF-8 on its own; checking it
  // whole keeps the fast ASCII path of validate_utf8 busy.
  const std::string_view arena(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  Utf8Error error;
  if (!validate_utf8(arena, &error)) {
    return TableSpellingProblem{word_at(table, error.valid_up_to), {SpellingProblem::NotUtf8}};
  }
  for (uint32_t id = 1; id < table.len(); ++id) {
    if ((bytes[offsets[id]] & 0xC0) == 0x80) {
      return TableSpellingProblem{id - 1, {SpellingProblem::NotUtf8}};
    }
  }
  if (uses_byte_level_alphabet(kind)) {
    std::string scratch;
    for (uint32_t id = 0; id < table.len(); ++id) {
      if (auto problem = check_bytelevel_word(table.get(id), scratch)) {
        return TableSpellingProblem{id, *problem};
      }
    }
    return std::nullopt;
  }
  // White space never straddles a word boundary (boundaries are character
  // boundaries), so one scan of the arena finds it in any word.
  if (auto hit = find_white_space(arena)) {
    return TableSpellingProblem{word_at(table, hit->position),
                                {SpellingProblem::WhiteSpace, hit->code_point}};
  }
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
