// alphabet.h: which characters make the initial alphabet.
//
// The alphabet is every character of the corpus plus the caller's initial
// alphabet: the first character of each of its strings (as the tokenizers
// library reads its initial_alphabet). With limit_alphabet, the initial
// characters are kept first, and when they alone are more than the limit,
// the first ones in the caller's order; the places left go to the corpus
// characters, dropping the rarest first (among equally rare ones the lower
// code point first). Whatever is kept enters the vocabulary by code point.
//
//   choose_alphabet({{'a', 5}, {'b', 5}, {'c', 1}, {'d', 9}}, {}, 2);    // b, d
//   choose_alphabet({{'a', 5}, {'b', 1}}, {'z', 'Q', 'b'}, 2);           // Q, z
//   choose_alphabet({{'a', 5}, {'b', 1}}, {'z'}, 2);                     // a, z
//
// In a byte-level mode every word is spelled with the 256 characters of the
// byte-level alphabet, so an initial character outside it could never occur
// in a word; check_initial_alphabet names it before any work is done.
#ifndef SELKBAR_TRAINING_ALPHABET_H_
#define SELKBAR_TRAINING_ALPHABET_H_

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config.h"

namespace selkbar {

// The first character of each string, in order, each character once.
// REQUIRES: every string is valid UTF-8.
std::vector<uint32_t> initial_characters(const std::vector<std::string>& initial_alphabet);

// The characters of the alphabet, ascending by code point, from the corpus
// characters with their counts (ascending by code point, each once) and the
// initial characters (as initial_characters gives them).
std::vector<uint32_t> choose_alphabet(const std::vector<std::pair<uint32_t, uint64_t>>& counted,
                                      const std::vector<uint32_t>& initial,
                                      std::optional<uint64_t> limit_alphabet);

// A message naming the first initial character that the configuration's
// pretokenizer can never produce, or nothing.
std::optional<std::string> check_initial_alphabet(const TrainConfig& config);

// For messages: "'é' (U+00E9)", or "U+000A" for a control character.
std::string describe_character(uint32_t cp);

}  // namespace selkbar

#endif  // SELKBAR_TRAINING_ALPHABET_H_
