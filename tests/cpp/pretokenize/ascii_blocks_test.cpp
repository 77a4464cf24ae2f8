// The block cutters of the byte-level family (GPT-2's rule, gpt4, o200k) against
// their character-by-character cutters, on text that is mostly ASCII, and
// the vector masks against the portable ones.
#include "pretokenize/ascii_blocks.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "pretokenize/bytelevel.h"
#include "pretokenize/tiktoken_split.h"

namespace selkbar {
namespace {

using Pieces = std::vector<std::string>;

// Lines long enough to cross several 64-byte blocks and cut batches, with
// every class the rules tell apart next to each other and, now and then,
// bytes the blocks leave to the per-character cutters (non-ASCII, and \r for
// gpt4; a line feed inside a text cut whole).
std::string mostly_ascii_text(std::mt19937& rng, size_t pieces) {
  static const char* const PIECES[] = {
      "a", "Z", "word", "The", "x", "ABC", "camelCase", "HTTPServer", "I", "'s", "'S", "'ll", "'LL", "'lL", "'ve", "'re", "'Re", "'d",
      "'m", "'t", "'T", "'l", "'v", "'x", "''", "'", "0", "12", "123", "12345", "1234567", ".",
      ",", "!?", "$", "(", "\x01", "\x7f", "\x1f", " ", " ", " ", "  ", "   ", "\t", "\v", "\f",
      " \t", "\n", "\r", "\r\n", " \r ", "\xC3\xA9", "\xE2\x80\x94", "\xC2\xA0", "'\xC5\xBF",
      "\xE6\x97\xA5"};
  constexpr size_t COUNT = sizeof PIECES / sizeof PIECES[0];
  constexpr size_t NON_ASCII = 5;  // the last ones
  std::string text;
  for (size_t i = 0; i < pieces; ++i) {
    // Mostly ASCII, so that whole blocks of it occur.
    const size_t k = rng() % 50 == 0 ? rng() % COUNT : rng() % (COUNT - NON_ASCII);
    text += PIECES[k];
  }
  return text;
}

template <typename CutLine, typename Classifier>
Pieces cut_with(CutLine cut_line, std::string_view text, bool by_lines) {
  Pieces out;
  auto sink = [&](std::string_view piece) { out.emplace_back(piece); };
  Classifier classifier;
  auto unit = [&](const char* begin, const char* end) {
    cut_unit<128>(begin, end, cut_line, &classifier, sink);
  };
  if (by_lines) {
    for_each_line(text, unit);
  } else {
    unit(text.data(), text.data() + text.size());
  }
  return out;
}

TEST(AsciiBlocks, CutAsTheCharacterByCharacterCutters) {
  std::mt19937 rng(34);
  for (int round = 0; round < 600; ++round) {
    const std::string text = mostly_ascii_text(rng, 1 + rng() % (round < 300 ? 60 : 1500));
    for (const bool by_lines : {true, false}) {
      SCOPED_TRACE(testing::Message() << (by_lines ? "by lines: " : "whole: ")
                                      << testing::PrintToString(text));
      ASSERT_EQ(
          (cut_with<decltype(&bytelevel_internal::cut_line), CharClassifier>(
              bytelevel_internal::cut_line, text, by_lines)),
          (cut_with<decltype(&bytelevel_internal::cut_line), CharClassifier>(
              bytelevel_internal::cut_line_by_chars, text, by_lines)));
      ASSERT_EQ(
          (cut_with<decltype(&tiktoken_split_internal::cut_line_gpt4), PatternClassifier>(
              tiktoken_split_internal::cut_line_gpt4, text, by_lines)),
          (cut_with<decltype(&tiktoken_split_internal::cut_line_gpt4), PatternClassifier>(
              tiktoken_split_internal::cut_line_gpt4_by_chars, text, by_lines)));
      ASSERT_EQ(
          (cut_with<decltype(&tiktoken_split_internal::cut_line_o200k), PatternClassifier>(
              tiktoken_split_internal::cut_line_o200k, text, by_lines)),
          (cut_with<decltype(&tiktoken_split_internal::cut_line_o200k), PatternClassifier>(
              tiktoken_split_internal::cut_line_o200k_by_chars, text, by_lines)));
    }
  }
}

TEST(AsciiMasks, VectorAndPortableAgreeOnEveryByte) {
  std::mt19937 rng(7);
  uint8_t block[64];
  for (int round = 0; round < 2000; ++round) {
    // Every byte value lands at every position over the first rounds.
    for (int i = 0; i < 64; ++i) block[i] = static_cast<uint8_t>(round < 256 ? round + i : rng());
    const AsciiMasks a = ascii_masks(block);
    const AsciiMasks b = ascii_masks_portable(block);
    ASSERT_EQ(std::tie(a.letter, a.upper, a.digit, a.blank, a.space, a.carriage, a.newline, a.symbol,
                       a.apostrophe, a.unfit),
              std::tie(b.letter, b.upper, b.digit, b.blank, b.space, b.carriage, b.newline, b.symbol,
                       b.apostrophe, b.unfit))
        << "round " << round;
  }
}

}  // namespace
}  // namespace selkbar
