#include "training/tiktoken_ranks.h"

#include <array>
#include <cstdio>
#include <string_view>
#include <unordered_set>

#include "base/base64.h"
#include "base/error.h"
#include "pretokenize/bytelevel.h"
#include "pretokenize/pretokenizer_id.h"
#include "training/alphabet.h"
#include "unicode/utf8.h"

namespace selkbar {

namespace {

// The bytes a token spelled in the byte-level alphabet stands for.
std::string token_bytes(std::string_view token) {
  std::string bytes;
  const auto* p = reinterpret_cast<const uint8_t*>(token.data());
  const uint8_t* const end = p + token.size();
  while (p < end) {
    const DecodedChar c = decode_utf8(p, end);
    p += c.length;
    const int byte = byte_of_char(c.cp);
    if (byte < 0) {
      throw InternalError("token holds " + describe_character(c.cp) +
                          ", outside the byte-level alphabet");
    }
    bytes.push_back(static_cast<char>(byte));
  }
  return bytes;
}

// "'Ġ' (U+0120, byte 0x20)": every character of the alphabet is printable.
std::string describe_byte(uint32_t cp) {
  char numbers[32];
  std::snprintf(numbers, sizeof numbers, " (U+%04X, byte 0x%02X)", static_cast<unsigned>(cp),
                static_cast<unsigned>(byte_of_char(cp)));
  std::string quoted = "'";
  append_utf8(quoted, cp);
  return quoted + "'" + numbers;
}

// Every byte's character must be among the initial characters the limit
// keeps, and none may be a special token.
std::optional<std::string> check_every_byte(const TrainConfig& config) {
  std::vector<uint32_t> initial = initial_characters(config.initial_alphabet);
  if (config.limit_alphabet && initial.size() > *config.limit_alphabet) {
    initial.resize(static_cast<size_t>(*config.limit_alphabet));
  }
  const std::unordered_set<uint32_t> kept(initial.begin(), initial.end());
  const std::array<uint32_t, 256> byte_to_char = build_byte_to_char();
  size_t missing = 0;
  uint32_t first_missing = 0;
  for (const uint32_t cp : byte_to_char) {
    if (kept.count(cp) != 0) continue;
    if (missing++ == 0) first_missing = cp;
  }
  if (missing != 0) {
    return "tiktoken_output needs all 256 bytes in the vocabulary, or tiktoken fails on text "
           "holding a missing one: train with initial_alphabet=selkbar.BYTE_LEVEL_ALPHABET and "
           "limit_alphabet None or at least 256 (" +
           std::to_string(missing) + " missing, the first " + describe_byte(first_missing) + ")";
  }
  for (const std::string& special : config.special_tokens) {
    for (const uint32_t cp : byte_to_char) {
      std::string spelled;
      append_utf8(spelled, cp);
      if (special != spelled) continue;
      return "tiktoken_output: special token " + describe_byte(cp) +
             " is the spelling of a byte, which tiktoken needs as an ordinary token";
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> check_tiktoken_output(const TrainConfig& config) {
  if (!is_byte_level(config.pretokenizer)) {
    return "tiktoken_output: the whitespace pretokenizer has no tiktoken form (tiktoken works "
           "on bytes); use a byte-level one: \"bytelevel\", \"gpt4\" or \"o200k\"";
  }
  for (const auto* decoration : {&config.continuing_subword_prefix, &config.end_of_word_suffix}) {
    if (decoration->has_value() && !(*decoration)->empty()) {
      return std::string("tiktoken_output: tiktoken has no ") +
             (decoration == &config.continuing_subword_prefix ? "continuing_subword_prefix"
                                                              : "end_of_word_suffix") +
             "; its tokens are plain bytes";
    }
  }
  return check_every_byte(config);
}

std::string build_tiktoken_ranks(const TrainResult& result, const TrainConfig& config) {
  const std::unordered_set<std::string_view> specials(config.special_tokens.begin(),
                                                      config.special_tokens.end());
  std::string out;
  out.reserve(result.tokens.size() * 16);
  for (size_t id = 0; id < result.tokens.size(); ++id) {
    const std::string& token = result.tokens[id];
    if (specials.count(token) != 0) continue;
    append_base64(token_bytes(token), out);
    out += ' ';
    out += std::to_string(id);
    out += '\n';
  }
  return out;
}

}  // namespace selkbar
