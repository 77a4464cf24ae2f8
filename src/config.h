// config.h: the validated options of one training call.
//
// The module fills a TrainConfig from the Python arguments and owns it for the
// whole call; phase 1 reads files, threads and pretokenizer, phase 2 the rest.
// An absent optional string differs from a present empty one: a prefix of ""
// is a prefix.
#ifndef SELKBAR_CONFIG_H_
#define SELKBAR_CONFIG_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace selkbar {

enum class PretokenizerKind : uint8_t {
  Whitespace = 0,  // option string "whitespace"
  ByteLevel = 1,   // option string "bytelevel"
};

inline constexpr uint64_t MAX_THREADS = 4096;

struct TrainConfig {
  uint64_t vocab_size = 0;
  uint64_t min_frequency = 0;
  std::vector<std::string> special_tokens;  // caller's order, duplicates kept
  std::optional<uint64_t> max_token_length;
  std::optional<uint64_t> limit_alphabet;
  std::optional<std::string> continuing_subword_prefix;
  std::optional<std::string> end_of_word_suffix;
  std::vector<std::string> files;  // used exactly as given
  uint64_t threads = 1;            // at least 1
  PretokenizerKind pretokenizer = PretokenizerKind::Whitespace;
};

}  // namespace selkbar

#endif  // SELKBAR_CONFIG_H_
