// The gpt4 and o200k splitters: the category table and the pattern flags,
// then each pattern's alternatives on hand-picked cases, including the places
// where the patterns backtrack. Random and fixture text is compared against
// the `regex` module in tests/python/test_modern_split_regex.py.
#include "pretokenize/tiktoken_split.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "pretokenize/tiktoken_classes.h"
#include "unicode/unicode_tables.h"

namespace selkbar {
namespace {

using Pieces = std::vector<std::string>;
using namespace char_flags;

template <typename Split>
Pieces split_with(Split split, std::string_view text) {
  Pieces out;
  const char* expected_start = text.data();
  split(text, [&](std::string_view piece) {
    EXPECT_FALSE(piece.empty());
    EXPECT_EQ(piece.data(), expected_start) << "pretokens must be consecutive views";
    expected_start = piece.data() + piece.size();
    out.emplace_back(piece);
  });
  EXPECT_EQ(expected_start, text.data() + text.size()) << "pretokens must cover the text";
  return out;
}

Pieces gpt4(std::string_view text) {
  return split_with([](std::string_view t, auto&& sink) { split_gpt4(t, sink); }, text);
}

Pieces o200k(std::string_view text) {
  return split_with([](std::string_view t, auto&& sink) { split_o200k(t, sink); }, text);
}

// ---- Category table and flags

TEST(CategoryRanges, SortedDisjointAndMaximal) {
  ASSERT_FALSE(CATEGORY_RANGES.empty());
  for (size_t i = 0; i < CATEGORY_RANGES.size(); ++i) {
    const CategoryRange& r = CATEGORY_RANGES[i];
    EXPECT_LE(r.first, r.last) << i;
    EXPECT_LE(r.last, 0x10FFFFu) << i;
    if (i == 0) continue;
    const CategoryRange& before = CATEGORY_RANGES[i - 1];
    EXPECT_GT(r.first, before.last) << i;
    if (r.first == before.last + 1) EXPECT_NE(r.category, before.category) << i;
  }
}

TEST(CategoryRanges, AgreeWithTheLetterAndNumberTables) {
  // Two generated views of one database: L and N must cover the same code
  // points in both.
  std::vector<uint8_t> by_category(0x110000, 0);
  for (const CategoryRange& r : CATEGORY_RANGES) {
    const uint8_t major = r.category == Category::N ? 2 : r.category == Category::M ? 3 : 1;
    for (uint32_t cp = r.first; cp <= r.last; ++cp) by_category[cp] = major;
  }
  std::vector<uint8_t> by_tables(0x110000, 0);
  for (const CodePointRange& r : LETTER_RANGES) std::fill(&by_tables[r.first], &by_tables[r.last] + 1, 1);
  for (const CodePointRange& r : NUMBER_RANGES) std::fill(&by_tables[r.first], &by_tables[r.last] + 1, 2);
  for (uint32_t cp = 0; cp < 0x110000; ++cp) {
    if (by_category[cp] == 3) continue;  // marks are in neither of the old tables
    ASSERT_EQ(by_category[cp], by_tables[cp]) << std::hex << "U+" << cp;
  }
}

TEST(PatternFlags, RememberedStretchesNeverChangeAnAnswer) {
  std::vector<uint32_t> order(0x110000);
  for (uint32_t cp = 0; cp < 0x110000; ++cp) order[cp] = cp;
  std::vector<uint8_t> fresh(0x110000);
  for (uint32_t cp = 0; cp < 0x110000; ++cp) fresh[cp] = pattern_flags(cp);
  auto check_all = [&](const char* label) {
    PatternClassifier classifier;
    for (const uint32_t cp : order) {
      ASSERT_EQ(classifier.flags(cp), fresh[cp]) << label << std::hex << " U+" << cp;
    }
  };
  check_all("ascending");
  std::reverse(order.begin(), order.end());
  check_all("descending");
  std::shuffle(order.begin(), order.end(), std::mt19937(3));
  check_all("shuffled");
}

TEST(PatternFlags, ClassesOfTheSplitPatterns) {
  EXPECT_EQ(pattern_flags('A'), LETTER | UPPER_SIDE);
  EXPECT_EQ(pattern_flags('a'), LETTER | LOWER_SIDE);
  EXPECT_EQ(pattern_flags(0x01C5), LETTER | UPPER_SIDE);               // Dž, title case
  EXPECT_EQ(pattern_flags(0x65E5), LETTER | UPPER_SIDE | LOWER_SIDE);  // 日, Lo
  EXPECT_EQ(pattern_flags(0x02B0), LETTER | UPPER_SIDE | LOWER_SIDE);  // ʰ, Lm
  EXPECT_EQ(pattern_flags(0x0301), UPPER_SIDE | LOWER_SIDE | PREFIX | SYMBOL);
  EXPECT_EQ(pattern_flags('7'), NUMBER);
  EXPECT_EQ(pattern_flags(0x00BD), NUMBER);  // ½
  EXPECT_EQ(pattern_flags('\n'), SPACE | LINE_BREAK);
  EXPECT_EQ(pattern_flags('\r'), SPACE | LINE_BREAK);
  EXPECT_EQ(pattern_flags('\t'), SPACE | PREFIX);
  EXPECT_EQ(pattern_flags(0x3000), SPACE | PREFIX);
  EXPECT_EQ(pattern_flags(0x180E), PREFIX | SYMBOL);  // not White_Space since Unicode 6.3
  EXPECT_EQ(pattern_flags('!'), PREFIX | SYMBOL);
  EXPECT_EQ(pattern_flags(0x110000), PREFIX | SYMBOL);
  EXPECT_EQ(pattern_flags(0xFFFFFFFF), PREFIX | SYMBOL);
}

// ---- gpt4

TEST(SplitGpt4, ContractionsInAnyCase) {
  EXPECT_EQ(gpt4("I'm here"), (Pieces{"I", "'m", " here"}));
  EXPECT_EQ(gpt4("I'LL DON'T we'Re"), (Pieces{"I", "'LL", " DON", "'T", " we", "'Re"}));
  EXPECT_EQ(gpt4("'sup"), (Pieces{"'s", "up"}));
  // Long s folds to s; the Kelvin sign folds to k, which is no contraction,
  // so it is a letter after a prefix.
  EXPECT_EQ(gpt4("it'\xC5\xBFx"), (Pieces{"it", "'\xC5\xBF", "x"}));
  EXPECT_EQ(gpt4("x'\xE2\x84\xAAs"), (Pieces{"x", "'\xE2\x84\xAAs"}));
  // Turkish dotless and dotted i are letters, not contractions.
  EXPECT_EQ(gpt4("'\xC4\xB1'\xC4\xB0"), (Pieces{"'\xC4\xB1", "'\xC4\xB0"}));
  EXPECT_EQ(gpt4("'r 'l'"), (Pieces{"'r", " '", "l", "'"}));
  EXPECT_EQ(gpt4("'"), (Pieces{"'"}));
}

TEST(SplitGpt4, OnePrefixBeforeLetters) {
  EXPECT_EQ(gpt4("Hello world"), (Pieces{"Hello", " world"}));
  EXPECT_EQ(gpt4("(hello) \tx"), (Pieces{"(hello", ")", " ", "\tx"}));
  EXPECT_EQ(gpt4("\xE3\x80\x80x"), (Pieces{"\xE3\x80\x80x"}));  // U+3000 is a prefix
  EXPECT_EQ(gpt4("!!x"), (Pieces{"!!", "x"}));  // the symbol run is possessive
  EXPECT_EQ(gpt4("\rx"), (Pieces{"\r", "x"}));  // a line break is no prefix
  EXPECT_EQ(gpt4("cafe\xCC\x81x"), (Pieces{"cafe", "\xCC\x81x"}));  // a mark is a prefix
}

TEST(SplitGpt4, NumbersInThrees) {
  EXPECT_EQ(gpt4("1234567"), (Pieces{"123", "456", "7"}));
  EXPECT_EQ(gpt4(" 42"), (Pieces{" ", "42"}));
  EXPECT_EQ(gpt4("x\xC2\xB2\xC2\xBD" "1"), (Pieces{"x", "\xC2\xB2\xC2\xBD" "1"}));
}

TEST(SplitGpt4, SymbolsTakeOneSpaceAndTheLineBreaksAfter) {
  EXPECT_EQ(gpt4("a ...\r\nb"), (Pieces{"a", " ...\r\n", "b"}));
  EXPECT_EQ(gpt4("$ 5"), (Pieces{"$", " ", "5"}));
  EXPECT_EQ(gpt4("a  !!"), (Pieces{"a", " ", " !!"}));
  EXPECT_EQ(gpt4("!/\r/"), (Pieces{"!/\r", "/"}));
}

TEST(SplitGpt4, WhitespaceUpToTheLastLineBreak) {
  EXPECT_EQ(gpt4("a \r b"), (Pieces{"a", " \r", " b"}));
  EXPECT_EQ(gpt4("a  \nb"), (Pieces{"a", "  \n", "b"}));
  EXPECT_EQ(gpt4("\n\nx"), (Pieces{"\n", "\n", "x"}));  // one line at a time
  EXPECT_EQ(gpt4("a   b"), (Pieces{"a", "  ", " b"}));
  EXPECT_EQ(gpt4("a \t5"), (Pieces{"a", " ", "\t", "5"}));
  EXPECT_EQ(gpt4("x  "), (Pieces{"x", "  "}));
  EXPECT_EQ(gpt4(""), Pieces{});
  EXPECT_EQ(gpt4(" "), Pieces{" "});
}

// ---- o200k

TEST(SplitO200k, CaseChangesStartWords) {
  EXPECT_EQ(o200k("HelloWorld"), (Pieces{"Hello", "World"}));
  EXPECT_EQ(o200k("HELLOworld"), (Pieces{"HELLOworld"}));
  EXPECT_EQ(o200k("HELLO world"), (Pieces{"HELLO", " world"}));
  EXPECT_EQ(o200k("camelCaseXML"), (Pieces{"camel", "Case", "XML"}));
  EXPECT_EQ(o200k("\xC7\x85" "A"), (Pieces{"\xC7\x85" "A"}));  // title case Dž is upper side
}

TEST(SplitO200k, CaselessLettersAndMarksAreOnBothSides) {
  // 日本語ABC: the upper-side run gives back the uppercase tail.
  EXPECT_EQ(o200k("\xE6\x97\xA5\xE6\x9C\xAC" "ABC"), (Pieces{"\xE6\x97\xA5\xE6\x9C\xAC", "ABC"}));
  EXPECT_EQ(o200k("AB\xE6\x97\xA5"), (Pieces{"AB\xE6\x97\xA5"}));
  EXPECT_EQ(o200k("AB\xCC\x81" "CD"), (Pieces{"AB\xCC\x81", "CD"}));
  // A lone mark with nothing after it matches as a letter run of itself.
  EXPECT_EQ(o200k("\xCC\x81"), (Pieces{"\xCC\x81"}));
  EXPECT_EQ(o200k("\xCC\x81" "AB"), (Pieces{"\xCC\x81", "AB"}));
  EXPECT_EQ(o200k("\xCC\x81'S"), (Pieces{"\xCC\x81'S"}));
  EXPECT_EQ(o200k(" \xCC\x81"), (Pieces{" \xCC\x81"}));
  EXPECT_EQ(o200k("!\xCC\x81"), (Pieces{"!\xCC\x81"}));
}

TEST(SplitO200k, ContractionsEndWords) {
  EXPECT_EQ(o200k("it's I'M you'Ll"), (Pieces{"it's", " I'M", " you'Ll"}));
  EXPECT_EQ(o200k("HELLO'S"), (Pieces{"HELLO'S"}));
  EXPECT_EQ(o200k("x'\xC5\xBF"), (Pieces{"x'\xC5\xBF"}));  // long s
  EXPECT_EQ(o200k("x'\xE2\x84\xAA"), (Pieces{"x", "'\xE2\x84\xAA"}));  // Kelvin sign
  EXPECT_EQ(o200k("'s"), (Pieces{"'s"}));
  EXPECT_EQ(o200k("x'sup"), (Pieces{"x's", "up"}));
}

TEST(SplitO200k, SymbolsTakeSlashesAndLineBreaks) {
  EXPECT_EQ(o200k("a/b"), (Pieces{"a", "/b"}));
  EXPECT_EQ(o200k("a //\r/\n"), (Pieces{"a", " //\r/\n"}));
  EXPECT_EQ(o200k("1234 5"), (Pieces{"123", "4", " ", "5"}));
  EXPECT_EQ(o200k("a \r\n"), (Pieces{"a", " \r\n"}));
  EXPECT_EQ(o200k("a   b"), (Pieces{"a", "  ", " b"}));
}

// ---- Both

TEST(ModernSplit, ManyPretokensOnOneLineCrossCutBatches) {
  std::string text;
  Pieces want;
  for (int i = 0; i < 1000; ++i) {
    text += " w" + std::to_string(i % 10);
    want.push_back(" w");
    want.push_back(std::to_string(i % 10));
  }
  EXPECT_EQ(gpt4(text), want);
  EXPECT_EQ(o200k(text), want);
}

TEST(ModernSplit, InvalidBytesNeverLeaveTheView) {
  // Sequences cut short at the end of the text or of a line.
  for (const std::string text : {"a\xC5", "'\xC5", "'l\xE2\x84", "\xF0\x9F\n\xCC", "A\xCC"}) {
    Pieces got = gpt4(text);
    std::string joined;
    for (const auto& piece : got) joined += piece;
    EXPECT_EQ(joined, text);
    got = o200k(text);
    joined.clear();
    for (const auto& piece : got) joined += piece;
    EXPECT_EQ(joined, text);
  }
}

}  // namespace
}  // namespace selkbar
