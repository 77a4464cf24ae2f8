// word_spelling.h: whether a string is spelled as a pretokenizer's words are.
//
// Counts made elsewhere (another tool, a saved file) must look exactly like
// the words phase 1 produces, or training would silently learn from strings
// no text ever splits into. The rules, by pretokenizer:
//   whitespace  non-empty UTF-8 holding no White_Space character (the 25 code
//               points split_whitespace cuts on);
//   bytelevel   non-empty UTF-8 whose every character is one of the 256 of
//               the byte-level alphabet (build_byte_to_char), and whose
//               characters, mapped back to bytes, are UTF-8 text themselves:
//               phase 1 only ever re-spells pieces of UTF-8 text. So "Ġthe"
//               (bytes " the") passes, while " the" (a raw space) and "é"
//               (the lone byte 0xE9) do not; "é" is spelled "Ã©".
//
//   if (auto problem = check_word_spelling(PretokenizerKind::Whitespace, "a b"))
//     log(describe_spelling_problem(*problem));
//     // "contains white space (U+0020), which the whitespace pretokenizer ..."
//
// WordCounts.from_items checks every word it is given. Phase 1 spells its
// words this way by construction, and the counts loader relies on the file's
// checksum: a file that matches it holds what save wrote.
#ifndef SELKBAR_WORD_SPELLING_H_
#define SELKBAR_WORD_SPELLING_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config.h"

namespace selkbar {

struct SpellingProblem {
  enum Kind : uint8_t {
    Empty,             // the word has no characters
    NotUtf8,           // the word's bytes are not UTF-8
    WhiteSpace,        // a White_Space character in a whitespace word
    OutsideAlphabet,   // a character outside the byte-level alphabet
    BytesNotUtf8,      // byte-level characters that stand for non-UTF-8 bytes
  };
  Kind kind;
  uint32_t code_point = 0;  // the offending character, for WhiteSpace and OutsideAlphabet
};

std::optional<SpellingProblem> check_word_spelling(PretokenizerKind kind, std::string_view word);

// The problem as the end of a sentence whose subject is the word, e.g.
// "is not in the byte-level alphabet: U+0020 is not one of its 256
// characters (...)".
std::string describe_spelling_problem(const SpellingProblem& problem);

}  // namespace selkbar

#endif  // SELKBAR_WORD_SPELLING_H_
