// config.h: the validated options of one training call.
//
// The module fills a TrainConfig from the Python arguments and owns it for the
// whole call; phase 1 reads files, threads, pretokenizer and min_range, phase
// 2 the rest. An absent optional string differs from a present empty one: a
// prefix of "" is a prefix.
//
// The environment (SELKBAR_STATS, SELKBAR_MIN_RANGE, PATH) is read once, by
// the entry point, into the configuration. The engine never calls getenv: it
// runs without the interpreter lock, while other Python threads may be
// changing the environment, and getenv racing setenv can crash.
#ifndef SELKBAR_CONFIG_H_
#define SELKBAR_CONFIG_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace selkbar {

enum class PretokenizerKind : uint8_t {
  Whitespace = 0,  // option string "whitespace"
  ByteLevel = 1,   // option string "bytelevel": GPT-2's rule
  Gpt4 = 2,        // option string "gpt4": tiktoken's cl100k_base pattern
  O200k = 3,       // option string "o200k": tiktoken's o200k_base pattern
  Pattern = 4,     // "bytelevel" with pattern=: any pattern, run by PCRE2
};

// Every kind but Whitespace is of the byte-level family: readers cut after
// line feeds, lines are split on their own, and words are spelled in the
// byte-level alphabet.
inline constexpr bool is_byte_level(PretokenizerKind kind) {
  return kind != PretokenizerKind::Whitespace;
}

class SplitPattern;  // pattern_split.h
class RunControl;    // run_control.h

inline constexpr uint64_t MAX_THREADS = 4096;
inline constexpr uint64_t DEFAULT_MIN_RANGE = 1048576;  // 1 MiB

// The diagnostics switch, from SELKBAR_STATS.
struct Diagnostics {
  bool enabled = false;     // set, non-empty and not "0": sizing, timings, rss lines
  bool present = false;     // set at all, whatever its value: the phase-2 statistics line
  std::string search_path;  // PATH, where the rss probe looks for "ps"
};

// The switch for a SELKBAR_STATS value (nullptr: unset) and a PATH value.
Diagnostics diagnostics_from_env(const char* stats_value, const char* path_value);

// SELKBAR_MIN_RANGE's value (nullptr: unset) as a minimum range: a non-zero
// unsigned decimal ("+" allowed), otherwise DEFAULT_MIN_RANGE.
uint64_t min_range_from_env(const char* value);

// A trained BPE vocabulary and merge list that a training continues from.
// Tokens must be distinct and the merges formable from them (the caller
// checks, as encoding/bpe_model.h defines it).
struct BaseVocabulary {
  std::vector<std::string> tokens;                          // id = index
  std::vector<std::pair<std::string, std::string>> merges;  // rank = index
};

struct TrainConfig {
  uint64_t vocab_size = 0;
  uint64_t min_frequency = 0;
  std::vector<std::string> special_tokens;  // caller's order, duplicates kept
  std::optional<uint64_t> max_token_length;
  std::optional<uint64_t> limit_alphabet;
  // Characters always in the alphabet, whether the corpus has them or not:
  // the first character of each string, in the caller's order (the rest of
  // a string is ignored, an empty one adds nothing). limit_alphabet keeps
  // them before any character of the corpus (alphabet.h).
  std::vector<std::string> initial_alphabet;
  std::optional<std::string> continuing_subword_prefix;
  std::optional<std::string> end_of_word_suffix;
  // Set to continue training from a base vocabulary rather than start from
  // the alphabet (training/initial_state.h).
  std::shared_ptr<const BaseVocabulary> base;
  std::vector<std::string> files;  // used exactly as given
  uint64_t threads = 1;            // at least 1
  PretokenizerKind pretokenizer = PretokenizerKind::Whitespace;
  // The compiled pattern= of PretokenizerKind::Pattern, null for the others.
  // Compiled by the entry point, before any file is read; immutable, so all
  // counting workers share it.
  std::shared_ptr<const SplitPattern> pattern;
  uint64_t min_range = DEFAULT_MIN_RANGE;  // bytes per file range, at least
  Diagnostics diagnostics;
  // The caller's handle to stop the run and follow it; null when it has none.
  RunControl* control = nullptr;
};

}  // namespace selkbar

#endif  // SELKBAR_CONFIG_H_
