// The tiktoken ranks file: what it lists, how, and which configurations are
// refused before any work.
#include "training/tiktoken_ranks.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "pretokenize/bytelevel.h"
#include "unicode/utf8.h"

namespace selkbar {
namespace {

std::vector<std::string> byte_level_alphabet() {
  std::vector<std::string> chars;
  for (const uint32_t cp : build_byte_to_char()) {
    std::string spelled;
    append_utf8(spelled, cp);
    chars.push_back(spelled);
  }
  return chars;
}

std::string spell(std::string_view bytes) {
  const std::array<uint32_t, 256> map = build_byte_to_char();
  std::string out;
  for (unsigned char byte : bytes) append_utf8(out, map[byte]);
  return out;
}

std::string decode_base64(const std::string& text) {
  static const std::string DIGITS =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  uint32_t bits = 0;
  int held = 0;
  for (char c : text) {
    if (c == '=') break;
    bits = bits << 6 | static_cast<uint32_t>(DIGITS.find(c));
    held += 6;
    if (held >= 8) {
      held -= 8;
      bytes += static_cast<char>(bits >> held & 0xFF);
    }
  }
  return bytes;
}

TrainConfig full_byte_config() {
  TrainConfig config;
  config.pretokenizer = PretokenizerKind::Gpt4;
  config.initial_alphabet = byte_level_alphabet();
  return config;
}

TEST(TiktokenRanks, EveryOrdinaryTokenByIdAsItsBytes) {
  TrainConfig config = full_byte_config();
  config.special_tokens = {"<|endoftext|>", "<|endoftext|>", "<pad>"};
  config.vocab_size = 300;
  WordTable words;
  words.push(spell(" the"), 50);
  words.push(spell(" th\xc3\xa9"), 20);
  words.push(spell("\n"), 7);
  const TrainResult result = train_from_words(std::move(words), config);
  ASSERT_GT(result.tokens.size(), 258u + 2);

  std::map<size_t, std::string> ranks;
  std::istringstream lines(build_tiktoken_ranks(result, config));
  std::string encoded;
  size_t rank;
  while (lines >> encoded >> rank) ASSERT_TRUE(ranks.emplace(rank, decode_base64(encoded)).second);
  // Special tokens keep their ids (0 and 1) but are not listed.
  EXPECT_EQ(ranks.size(), result.tokens.size() - 2);
  std::set<std::string> single_bytes;
  for (size_t id = 2; id < result.tokens.size(); ++id) {
    ASSERT_EQ(ranks.count(id), 1u) << id;
    EXPECT_EQ(spell(ranks[id]), result.tokens[id]) << id;
    if (ranks[id].size() == 1) single_bytes.insert(ranks[id]);
  }
  EXPECT_EQ(single_bytes.size(), 256u);
  EXPECT_EQ(ranks.begin()->first, 2u);
}

TEST(TiktokenRanks, ConfigurationsThatCannotServeTiktokenAreRefused) {
  TrainConfig config = full_byte_config();
  EXPECT_EQ(check_tiktoken_output(config), std::nullopt);
  config.limit_alphabet = 256;
  config.continuing_subword_prefix = "";
  EXPECT_EQ(check_tiktoken_output(config), std::nullopt);

  auto refusal = [](const TrainConfig& c) { return check_tiktoken_output(c).value_or("accepted"); };
  TrainConfig whitespace = full_byte_config();
  whitespace.pretokenizer = PretokenizerKind::Whitespace;
  EXPECT_EQ(refusal(whitespace).find("tiktoken_output: the whitespace pretokenizer has no tiktoken form"), 0u);

  TrainConfig suffix = full_byte_config();
  suffix.end_of_word_suffix = "</w>";
  EXPECT_NE(refusal(suffix).find("no end_of_word_suffix"), std::string::npos);

  TrainConfig no_initial = full_byte_config();
  no_initial.initial_alphabet.clear();
  EXPECT_NE(refusal(no_initial).find("(256 missing, the first '\xc4\x80' (U+0100, byte 0x00))"),
            std::string::npos)
      << refusal(no_initial);

  TrainConfig limited = full_byte_config();
  limited.limit_alphabet = 255;  // drops the last byte given, 0xFF
  EXPECT_NE(refusal(limited).find("(1 missing, the first '\xc3\xbf' (U+00FF, byte 0xFF))"),
            std::string::npos)
      << refusal(limited);

  TrainConfig special = full_byte_config();
  special.special_tokens = {"<s>", "\xc4\xa0"};
  EXPECT_EQ(refusal(special),
            "tiktoken_output: special token '\xc4\xa0' (U+0120, byte 0x20) is the spelling of a byte, "
            "which tiktoken needs as an ordinary token");
}

}  // namespace
}  // namespace selkbar
