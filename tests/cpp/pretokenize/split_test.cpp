// The whitespace splitter against a decode-everything reference.
#include "pretokenize/split.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "unicode/utf8.h"

namespace selkbar {
namespace {

// The pretokens of `text`, through split_whitespace or, `portably`, through
// the portable block masks, which must agree with the vector ones.
std::vector<std::string> split(std::string_view text, bool portably = false) {
  std::vector<std::string> out;
  auto sink = [&](std::string_view word) {
    EXPECT_FALSE(word.empty());
    out.emplace_back(word);
  };
  if (portably) {
    split_internal::split_whitespace_by_blocks<split_internal::block_masks_portable>(text, sink);
  } else {
    split_whitespace(text, sink);
  }
  return out;
}

using Words = std::vector<std::string>;

TEST(SplitWhitespace, AsciiWhitespaceSeparatesAndIsDropped) {
  EXPECT_EQ(split(""), Words{});
  EXPECT_EQ(split("  \t\n"), Words{});
  EXPECT_EQ(split("a b"), (Words{"a", "b"}));
  EXPECT_EQ(split("  a  "), Words{"a"});
  EXPECT_EQ(split("a\r\nb\x0b" "c\x0c" "d"), (Words{"a", "b", "c", "d"}));
  EXPECT_EQ(split("Hello, world!"), (Words{"Hello,", "world!"}));
  EXPECT_EQ(split("a\x1f" "b\x1c"), Words{"a\x1f" "b\x1c"});
}

TEST(SplitWhitespace, NonAsciiWhitespaceSeparates) {
  EXPECT_EQ(split("a\xC2\xA0" "b"), (Words{"a", "b"}));          // U+00A0
  EXPECT_EQ(split("a\xC2\x85" "b"), (Words{"a", "b"}));          // U+0085
  EXPECT_EQ(split("a\xE3\x80\x80" "b"), (Words{"a", "b"}));      // U+3000
  EXPECT_EQ(split("a\xE2\x80\xA8" "b"), (Words{"a", "b"}));      // U+2028
  EXPECT_EQ(split("a\xE1\x9A\x80" "b"), (Words{"a", "b"}));      // U+1680
  EXPECT_EQ(split("a\xE2\x81\x9F" "b"), (Words{"a", "b"}));      // U+205F
}

TEST(SplitWhitespace, EveryWhiteSpaceCodePointSplitsAndNearMissesDoNot) {
  const uint32_t white[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,
                            0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004,
                            0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028,
                            0x2029, 0x202F, 0x205F, 0x3000};
  static_assert(sizeof white / sizeof white[0] == 25);
  for (uint32_t cp : white) {
    std::string text = "a";
    append_utf8(text, cp);
    text += "b";
    EXPECT_EQ(split(text), (Words{"a", "b"})) << std::hex << cp;
  }
  for (uint32_t cp : {0x1Cu, 0x1Du, 0x1Eu, 0x1Fu, 0x180Eu, 0x200Bu, 0xFEFFu, 0xB7u, 0x20ACu}) {
    std::string text = "a";
    append_utf8(text, cp);
    text += "b";
    EXPECT_EQ(split(text), Words{text}) << std::hex << cp;
  }
}

TEST(SplitWhitespace, LookalikesStayInsideThePretoken) {
  EXPECT_EQ(split("a\xE2\x80\x8B" "b"), Words{"a\xE2\x80\x8B" "b"});  // U+200B
  EXPECT_EQ(split("\xEF\xBB\xBF" "a b"), (Words{"\xEF\xBB\xBF" "a", "b"}));  // BOM kept
  EXPECT_EQ(split("a\xE1\xA0\x8E" "b"), Words{"a\xE1\xA0\x8E" "b"});  // U+180E
  EXPECT_EQ(split("caf\xC3\xA9 \xE2\x82\xAC" "5 \xC2\xB7x"),
            (Words{"caf\xC3\xA9", "\xE2\x82\xAC" "5", "\xC2\xB7x"}));
}

// Reference: decode every character and test it against the full list.
bool is_white_space(uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

// Random texts from `pool`, where a character is whitespace-adjacent one
// time in `odds` draws (the rest are 'x', 'y' or a CJK ideograph), checked
// against splitting character by character.
void expect_random_texts_match_reference(const std::vector<uint32_t>& pool, int rounds,
                                         int max_chars, int odds) {
  const std::vector<uint32_t> plain = {'x', 'y', 0x4E2D, 0x3042};
  std::mt19937 rng(1);
  for (int round = 0; round < rounds; ++round) {
    std::string text;
    Words expected;
    std::string current;
    const int n = static_cast<int>(rng() % max_chars);
    for (int i = 0; i < n; ++i) {
      const uint32_t cp = rng() % odds == 0 ? pool[rng() % pool.size()] : plain[rng() % plain.size()];
      append_utf8(text, cp);
      if (is_white_space(cp)) {
        if (!current.empty()) expected.push_back(current);
        current.clear();
      } else {
        append_utf8(current, cp);
      }
    }
    if (!current.empty()) expected.push_back(current);
    ASSERT_EQ(split(text), expected) << "text: " << text;
    ASSERT_EQ(split(text, /*portably=*/true), expected) << "text: " << text;
  }
}

TEST(SplitWhitespace, RandomTextMatchesCharacterReference) {
  // Characters near every whitespace code point, plus ordinary ones. Short
  // texts dense in them, then long pretokens and whitespace characters that
  // cross the 64-byte blocks of the scan at every offset.
  const std::vector<uint32_t> pool = {
      'a', 'b', ' ', '\t', '\n', 0x1F, 0x84, 0x85, 0x86, 0xA0, 0xA1, 0xB7, 0xE9, 0x167F, 0x1680,
      0x1681, 0x1FFF, 0x2000, 0x2005, 0x200A, 0x200B, 0x2027, 0x2028, 0x2029, 0x202A, 0x202F,
      0x205F, 0x2060, 0x20AC, 0x2FFF, 0x3000, 0x3001, 0xFEFF, 0x1F600};
  expect_random_texts_match_reference(pool, 2000, 30, 1);
  expect_random_texts_match_reference(pool, 2000, 200, 9);
}

}  // namespace
}  // namespace selkbar
