// The byte-level pretokenizer: range tables, classification, the splitting
// rule on hand-picked cases, robustness on invalid bytes, byte_to_char.
// Random and corpus text is compared against the `regex` module's GPT-2
// pattern in tests/python/test_bytelevel_regex.py.
#include "pretokenize/bytelevel.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "unicode/unicode_tables.h"

namespace selkbar {
namespace {

using Pieces = std::vector<std::string>;

Pieces split(std::string_view text) {
  Pieces out;
  const char* expected_start = text.data();
  split_bytelevel(text, [&](std::string_view piece) {
    EXPECT_FALSE(piece.empty());
    EXPECT_EQ(piece.data(), expected_start) << "pretokens must be consecutive views";
    expected_start = piece.data() + piece.size();
    out.emplace_back(piece);
  });
  EXPECT_EQ(expected_start, text.data() + text.size()) << "pretokens must cover the text";
  return out;
}

// ---- Range tables

void expect_well_formed(std::span<const CodePointRange> ranges) {
  for (size_t i = 0; i < ranges.size(); ++i) {
    EXPECT_LE(ranges[i].first, ranges[i].last) << i;
    EXPECT_LE(ranges[i].last, 0x10FFFFu) << i;
    // Sorted, disjoint and maximal: a gap of at least one code point.
    if (i > 0) EXPECT_GT(ranges[i].first, ranges[i - 1].last + 1) << i;
  }
}

TEST(UnicodeTables, LetterRangesHaveTheUnicode16Shape) {
  EXPECT_STREQ(UNICODE_TABLES_VERSION, "16.0.0");
  ASSERT_EQ(LETTER_RANGES.size(), 677u);
  expect_well_formed(LETTER_RANGES);
  const std::vector<std::pair<uint32_t, uint32_t>> head = {
      {0x41, 0x5A}, {0x61, 0x7A}, {0xAA, 0xAA}, {0xB5, 0xB5}, {0xBA, 0xBA}, {0xC0, 0xD6}};
  for (size_t i = 0; i < head.size(); ++i) {
    EXPECT_EQ(LETTER_RANGES[i].first, head[i].first);
    EXPECT_EQ(LETTER_RANGES[i].last, head[i].second);
  }
  EXPECT_EQ(LETTER_RANGES[675].first, 0x30000u);
  EXPECT_EQ(LETTER_RANGES[675].last, 0x3134Au);
  EXPECT_EQ(LETTER_RANGES[676].first, 0x31350u);
  EXPECT_EQ(LETTER_RANGES[676].last, 0x323AFu);
}

TEST(UnicodeTables, NumberRangesHaveTheUnicode16Shape) {
  ASSERT_EQ(NUMBER_RANGES.size(), 144u);
  expect_well_formed(NUMBER_RANGES);
  const std::vector<std::pair<uint32_t, uint32_t>> head = {
      {0x30, 0x39}, {0xB2, 0xB3}, {0xB9, 0xB9}, {0xBC, 0xBE}, {0x660, 0x669}};
  for (size_t i = 0; i < head.size(); ++i) {
    EXPECT_EQ(NUMBER_RANGES[i].first, head[i].first);
    EXPECT_EQ(NUMBER_RANGES[i].last, head[i].second);
  }
  EXPECT_EQ(NUMBER_RANGES[142].first, 0x1F100u);
  EXPECT_EQ(NUMBER_RANGES[142].last, 0x1F10Cu);
  EXPECT_EQ(NUMBER_RANGES[143].first, 0x1FBF0u);
  EXPECT_EQ(NUMBER_RANGES[143].last, 0x1FBF9u);
}

TEST(UnicodeTables, LettersAndNumbersAreDisjoint) {
  for (const auto& l : LETTER_RANGES) {
    for (const auto& n : NUMBER_RANGES) {
      ASSERT_TRUE(l.last < n.first || n.last < l.first) << std::hex << l.first << " " << n.first;
    }
  }
}

// ---- Classification

bool reference_white_space(uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

TEST(Classification, EveryCodePointMatchesALinearScanOfTheTables) {
  // Marks every code point from the tables in one pass, then compares: this
  // catches a wrong binary search or a wrong ASCII table, independently of
  // how classify_code_point looks things up.
  std::vector<CharClass> expected(0x110000, CharClass::Other);
  for (const auto& r : LETTER_RANGES) {
    for (uint32_t cp = r.first; cp <= r.last; ++cp) expected[cp] = CharClass::Letter;
  }
  for (const auto& r : NUMBER_RANGES) {
    for (uint32_t cp = r.first; cp <= r.last; ++cp) expected[cp] = CharClass::Number;
  }
  for (uint32_t cp = 0; cp < 0x110000; ++cp) {
    if (reference_white_space(cp)) expected[cp] = CharClass::Whitespace;
  }
  for (uint32_t cp = 0; cp < 0x110000; ++cp) {
    ASSERT_EQ(classify_code_point(cp), expected[cp]) << std::hex << "U+" << cp;
  }
  EXPECT_EQ(classify_code_point(0x110000), CharClass::Other);
  EXPECT_EQ(classify_code_point(0xFFFFFFFF), CharClass::Other);
}

TEST(Classification, RememberedStretchesNeverChangeAnAnswer) {
  // One classifier across many code points, so answers come from its cache
  // of stretches: in order (each stretch is then checked end to end), in
  // reverse, and at random.
  std::vector<uint32_t> order(0x110000);
  for (uint32_t cp = 0; cp < 0x110000; ++cp) order[cp] = cp;
  auto check_all = [&](const char* label) {
    CharClassifier classifier;
    for (const uint32_t cp : order) {
      const CharClass fresh = classify_code_point(cp);
      ASSERT_EQ(classifier.classify(cp), fresh) << label << std::hex << " U+" << cp;
    }
  };
  check_all("ascending");
  std::reverse(order.begin(), order.end());
  check_all("descending");
  std::shuffle(order.begin(), order.end(), std::mt19937(3));
  check_all("shuffled");
}

TEST(Classification, LookalikesAndMarks) {
  EXPECT_EQ(classify_code_point(0xAA), CharClass::Letter);   // feminine ordinal
  EXPECT_EQ(classify_code_point(0xB2), CharClass::Number);   // superscript two
  EXPECT_EQ(classify_code_point(0x4E00), CharClass::Letter);
  EXPECT_EQ(classify_code_point(0x0301), CharClass::Other);  // combining acute
  EXPECT_EQ(classify_code_point(0x093F), CharClass::Other);  // Devanagari vowel sign
  EXPECT_EQ(classify_code_point(0xFEFF), CharClass::Other);
  EXPECT_EQ(classify_code_point(0x200B), CharClass::Other);
  EXPECT_EQ(classify_code_point(0x180E), CharClass::Other);
  EXPECT_EQ(classify_code_point(0x1F), CharClass::Other);
  EXPECT_EQ(classify_code_point(0xD800), CharClass::Other);
  EXPECT_EQ(classify_code_point(0x3000), CharClass::Whitespace);
}

// ---- Splitting rule

TEST(SplitBytelevel, WordsTakeTheSpaceBeforeThem) {
  EXPECT_EQ(split(""), Pieces{});
  EXPECT_EQ(split(" "), Pieces{" "});
  EXPECT_EQ(split("Hello world"), (Pieces{"Hello", " world"}));
  EXPECT_EQ(split("Hello  world"), (Pieces{"Hello", " ", " world"}));
  EXPECT_EQ(split("a\tb"), (Pieces{"a", "\t", "b"}));
  EXPECT_EQ(split("x  "), (Pieces{"x", "  "}));
  EXPECT_EQ(split("a \t\x0b b"), (Pieces{"a", " \t\x0b", " b"}));
  EXPECT_EQ(split("a \t\x0b" "b"), (Pieces{"a", " \t", "\x0b", "b"}));
}

TEST(SplitBytelevel, Contractions) {
  EXPECT_EQ(split("I'm here"), (Pieces{"I", "'m", " here"}));
  EXPECT_EQ(split("don't"), (Pieces{"don", "'t"}));
  EXPECT_EQ(split("'S"), (Pieces{"'", "S"}));
  EXPECT_EQ(split(" 's"), (Pieces{" '", "s"}));
  // The letters after a contraction start a pretoken of their own.
  EXPECT_EQ(split("'sup"), (Pieces{"'s", "up"}));
  EXPECT_EQ(split("we're they've you'll I'd"),
            (Pieces{"we", "'re", " they", "'ve", " you", "'ll", " I", "'d"}));
  EXPECT_EQ(split("'r 'l'"), (Pieces{"'", "r", " '", "l", "'"}));
  EXPECT_EQ(split("''s"), (Pieces{"''", "s"}));
  EXPECT_EQ(split("'"), (Pieces{"'"}));
}

TEST(SplitBytelevel, LettersNumbersAndOtherRuns) {
  EXPECT_EQ(split("abc123def"), (Pieces{"abc", "123", "def"}));
  EXPECT_EQ(split(" 42"), (Pieces{" 42"}));
  EXPECT_EQ(split("x\xC2\xB2"), (Pieces{"x", "\xC2\xB2"}));  // U+00B2 is a number
  EXPECT_EQ(split("\xC2\xAA" "b"), (Pieces{"\xC2\xAA" "b"}));  // U+00AA is a letter
  EXPECT_EQ(split("a!!b"), (Pieces{"a", "!!", "b"}));
  EXPECT_EQ(split(" ..."), (Pieces{" ..."}));
  EXPECT_EQ(split("$ 5"), (Pieces{"$", " 5"}));
  EXPECT_EQ(split("caf" "e\xCC\x81"), (Pieces{"cafe", "\xCC\x81"}));  // U+0301 is other
  EXPECT_EQ(split("\xEF\xBB\xBFHello world"), (Pieces{"\xEF\xBB\xBF", "Hello", " world"}));
  EXPECT_EQ(split("\xE6\x97\xA5\xE6\x9C\xAC\xE3\x80\x82" "ok"),  // 日本。ok
            (Pieces{"\xE6\x97\xA5\xE6\x9C\xAC", "\xE3\x80\x82", "ok"}));
  EXPECT_EQ(split("a\xE3\x80\x80" "b"), (Pieces{"a", "\xE3\x80\x80", "b"}));  // U+3000
  EXPECT_EQ(split("\xF0\x9F\x98\x80\xF0\x9F\x98\x80!"), (Pieces{"\xF0\x9F\x98\x80\xF0\x9F\x98\x80!"}));
}

TEST(SplitBytelevel, LetterRunsStopAtTheFirstNonLetterWherever) {
  // Letter runs are scanned several bytes at a time; put every ASCII byte,
  // a non-ASCII letter and a non-ASCII symbol at every offset of a word.
  const std::string word = "abcdefghijklmnopqrst";
  std::vector<std::pair<std::string, bool>> inserts = {{"\xC3\xA9", true},   // é
                                                       {"\xC3\x97", false},  // ×
                                                       {"\xE2\x82\xAC", false}};
  for (int b = 0; b < 0x80; ++b) {
    inserts.emplace_back(std::string(1, static_cast<char>(b)), std::isalpha(b) != 0);
  }
  for (const auto& [insert, is_letter] : inserts) {
    for (size_t k = 1; k < word.size(); ++k) {
      const std::string text = word.substr(0, k) + insert + word.substr(k);
      const Pieces got = split(text);
      ASSERT_FALSE(got.empty());
      EXPECT_EQ(got[0], is_letter ? text : word.substr(0, k)) << "byte " << insert << " at " << k;
    }
  }
}

TEST(SplitBytelevel, NewlinesEndWhitespaceRuns) {
  EXPECT_EQ(split("foo \nbar"), (Pieces{"foo", " \n", "bar"}));
  EXPECT_EQ(split("a  \nb"), (Pieces{"a", "  \n", "b"}));
  EXPECT_EQ(split("a\r\nb"), (Pieces{"a", "\r\n", "b"}));
  EXPECT_EQ(split("  \n  x"), (Pieces{"  \n", " ", " x"}));
  EXPECT_EQ(split("\n\nx"), (Pieces{"\n", "\n", "x"}));
  EXPECT_EQ(split("x\n"), (Pieces{"x", "\n"}));
  EXPECT_EQ(split(" \n \n"), (Pieces{" \n", " \n"}));
}

TEST(SplitBytelevel, LongLinesCrossTheCutBatch) {
  // Far more pretokens on one line than one cut_line call returns, with the
  // whitespace rule (two pretokens per step) landing on every batch edge.
  std::string words;
  std::string gaps;
  Pieces words_expected;
  Pieces gaps_expected = {"x"};
  for (int i = 0; i < 1000; ++i) {
    words += i == 0 ? "w" : " w";
    words_expected.push_back(i == 0 ? "w" : " w");
    gaps += "x  ";
    // Every "x" but the first takes the second space before it.
    if (i > 0) gaps_expected.insert(gaps_expected.end(), {" ", " x"});
  }
  gaps_expected.push_back("  ");
  EXPECT_EQ(split(words), words_expected);
  EXPECT_EQ(split(gaps), gaps_expected);
}

// ---- Robustness on bytes that are not UTF-8

// Places the text at the very end of a readable page followed by an
// inaccessible one, so any read past the view faults.
class GuardedText {
 public:
  GuardedText() : page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
    void* mem = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(mem, MAP_FAILED);
    base_ = static_cast<char*>(mem);
    EXPECT_EQ(mprotect(base_ + page_, page_, PROT_NONE), 0);
  }
  ~GuardedText() { munmap(base_, 2 * page_); }
  GuardedText(const GuardedText&) = delete;
  GuardedText& operator=(const GuardedText&) = delete;

  std::string_view place(const std::string& bytes) {
    char* start = base_ + page_ - bytes.size();
    std::memcpy(start, bytes.data(), bytes.size());
    return {start, bytes.size()};
  }

 private:
  size_t page_;
  char* base_;
};

TEST(SplitBytelevel, InvalidBytesStayInBoundsAndCoverTheText) {
  GuardedText guard;
  const std::vector<uint8_t> pool = {'a', '1', ' ', '\n', '\'', 's', '!', 0x80, 0xBF, 0xC3,
                                     0xA9, 0xE3, 0x80, 0xF0, 0x9F, 0xF8, 0xFF, 0xC2, 0xA0};
  std::mt19937 rng(7);
  for (int round = 0; round < 20000; ++round) {
    std::string bytes;
    const int n = static_cast<int>(rng() % 24);
    for (int i = 0; i < n; ++i) bytes += static_cast<char>(pool[rng() % pool.size()]);
    split(guard.place(bytes));  // checks non-empty, consecutive, covering
  }
  // Sequences cut short by the end of the text.
  for (const char* tail : {"\xC3", "\xE3\x80", "\xF0\x9F\x98", "a\xF0", " \xE3", "'"}) {
    EXPECT_FALSE(split(guard.place(tail)).empty()) << tail;
  }
}

// ---- byte_to_char

TEST(ByteToChar, IsOneToOneOntoPrintableCharacters) {
  const auto map = build_byte_to_char();
  std::set<uint32_t> seen(map.begin(), map.end());
  EXPECT_EQ(seen.size(), 256u);
  int identity = 0;
  for (uint32_t b = 0; b < 256; ++b) {
    EXPECT_GE(map[b], 0x21u);
    EXPECT_LE(map[b], 0x143u);
    identity += map[b] == b;
  }
  EXPECT_EQ(identity, 188);
  EXPECT_EQ(map[0x41], 0x41u);
  EXPECT_EQ(map[0x20], 0x120u);
  EXPECT_EQ(map[0x0A], 0x10Au);
  EXPECT_EQ(map[0x00], 0x100u);
  EXPECT_EQ(map[0x7F], 0x121u);
  EXPECT_EQ(map[0x80], 0x122u);
  EXPECT_EQ(map[0xA0], 0x142u);
  EXPECT_EQ(map[0xAD], 0x143u);
  EXPECT_EQ(map[0xFF], 0xFFu);
}

}  // namespace
}  // namespace selkbar
