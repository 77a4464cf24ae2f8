// Splitting by a PCRE2 pattern: pieces between and of matches, empty
// matches, lines, compile and match errors, one pattern on many threads.
// The pieces are compared with the tokenizers library's Split, and the named
// patterns with the hand-written splitters, in tests/python/test_pattern_split.py.
#include "pretokenize/pattern_split.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "pretokenize/tiktoken_split.h"

namespace selkbar {
namespace {

using Pieces = std::vector<std::string>;

constexpr const char* GPT4 =
    R"('(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]++[\r\n]*|)"
    R"(\s*[\r\n]|\s+(?!\S)|\s+)";

std::shared_ptr<const SplitPattern> compile_ok(const std::string& pattern) {
  std::string error;
  auto compiled = SplitPattern::compile(pattern, &error);
  EXPECT_NE(compiled, nullptr) << error;
  return compiled;
}

Pieces split(const std::string& pattern, std::string_view text) {
  const auto compiled = compile_ok(pattern);
  if (compiled == nullptr) return {};
  PatternSplitter splitter(*compiled);
  Pieces out;
  const char* expected_start = text.data();
  std::string error;
  const bool ok = split_pattern(text, splitter, [&](std::string_view piece) {
    EXPECT_FALSE(piece.empty());
    EXPECT_EQ(piece.data(), expected_start) << "pieces must be consecutive views";
    expected_start = piece.data() + piece.size();
    out.emplace_back(piece);
  }, &error);
  EXPECT_TRUE(ok) << error;
  EXPECT_EQ(expected_start, text.data() + text.size()) << "pieces must cover the text";
  return out;
}

// Every test here needs PCRE2; a build without it refuses patterns, which
// tests/python/test_without_pcre2.py checks through the module.
class PatternSplit : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SplitPattern::available()) GTEST_SKIP() << "built without PCRE2";
  }
};

TEST_F(PatternSplit, MatchesAndTheTextBetweenThemArePieces) {
  EXPECT_EQ(split("b+", "aabbbcbd"), (Pieces{"aa", "bbb", "c", "b", "d"}));
  EXPECT_EQ(split("b+", "bbb"), (Pieces{"bbb"}));
  EXPECT_EQ(split("q", "abc"), (Pieces{"abc"}));
  EXPECT_EQ(split("q", ""), Pieces{});
  EXPECT_EQ(split(R"(\p{L}+)", "h\xC3\xA9llo, w\xC3\xB6rld"),
            (Pieces{"h\xC3\xA9llo", ", ", "w\xC3\xB6rld"}));
}

TEST_F(PatternSplit, EmptyMatchesAreBoundariesAndNeverLoop) {
  // After an empty match the search moves on by one character, so a
  // non-empty match cannot start where an empty one was found.
  EXPECT_EQ(split("x*", "abxxc"), (Pieces{"a", "b", "xx", "c"}));
  EXPECT_EQ(split("x*|bc", "abcd"), (Pieces{"a", "b", "c", "d"}));
  EXPECT_EQ(split("", "\xC3\xA9\xE6\x97\xA5" "a"), (Pieces{"\xC3\xA9", "\xE6\x97\xA5", "a"}));
  EXPECT_EQ(split("(?=b)", "abab"), (Pieces{"a", "ba", "b"}));
  EXPECT_EQ(split(R"(\b)", "ab cd"), (Pieces{"ab", " ", "cd"}));
  EXPECT_EQ(split("a|", "bab"), (Pieces{"b", "a", "b"}));
  EXPECT_EQ(split("$", "ab\n"), (Pieces{"ab", "\n"}));  // $ holds before a final line feed
}

TEST_F(PatternSplit, EachLineOnItsOwn) {
  // \s+ would take "\n\n " whole on the text; per line it cannot cross a
  // line feed, and ^ and \A hold at every line start.
  EXPECT_EQ(split(R"(\s+)", "a\n\n b"), (Pieces{"a", "\n", "\n", " ", "b"}));
  EXPECT_EQ(split(R"(\A.)", "ab\ncd"), (Pieces{"a", "b\n", "c", "d"}));
  EXPECT_EQ(split(R"(\s+(?!\S)|\s+)", "x  \ny"), (Pieces{"x", "  \n", "y"}));
}

TEST_F(PatternSplit, UnicodeClassesAndCaseFolding) {
  EXPECT_EQ(split(R"(\p{Lu}+)", "abCDe\xC3\x89" "f"), (Pieces{"ab", "CD", "e", "\xC3\x89", "f"}));
  EXPECT_EQ(split(R"(\d+)", "x\xD9\xA3\xD9\xA4y"), (Pieces{"x", "\xD9\xA3\xD9\xA4", "y"}));  // ٣٤
  EXPECT_EQ(split("(?i:'s)", "x'S'\xC5\xBF"), (Pieces{"x", "'S", "'\xC5\xBF"}));  // long s folds to s
}

TEST_F(PatternSplit, TheGpt4PatternAgreesWithTheHandWrittenSplitter) {
  const std::string text =
      "I'LL pay 12345$!\r\n  it's \xE6\x97\xA5\xE6\x9C\xAC\xE3\x80\x82 caf\xC3\xA9   x\t\ty\n\n"
      "(hello)  world!! 'sup\n";
  Pieces hand_written;
  split_gpt4(text, [&](std::string_view piece) { hand_written.emplace_back(piece); });
  EXPECT_EQ(split(GPT4, text), hand_written);
}

TEST_F(PatternSplit, CompileErrorsGiveTheReasonAndCharacterPosition) {
  std::string error;
  EXPECT_EQ(SplitPattern::compile("(ab", &error), nullptr);
  EXPECT_EQ(error, "invalid pattern: missing closing parenthesis at position 3");
  // The position counts characters, not bytes: two 2-byte characters first.
  EXPECT_EQ(SplitPattern::compile("\xC3\xA9\xC3\xA9[", &error), nullptr);
  EXPECT_EQ(error, "invalid pattern: missing terminating ] for character class at position 3");
  EXPECT_EQ(SplitPattern::compile(R"(\p{Nope})", &error), nullptr);
  EXPECT_NE(error.find("unknown property"), std::string::npos) << error;
}

TEST_F(PatternSplit, AMatchThatFailsIsReportedNotHung) {
  // Nested quantifiers on a long line that almost matches: PCRE2 gives up at
  // its match limit instead of backtracking for ever.
  const auto compiled = compile_ok("(?:a+)+[bc]");
  ASSERT_NE(compiled, nullptr);
  PatternSplitter splitter(*compiled);
  const std::string text(40, 'a');
  std::string error;
  EXPECT_FALSE(split_pattern(text, splitter, [](std::string_view) {}, &error));
  EXPECT_EQ(error, "matching the pattern failed: match limit exceeded");
}

TEST_F(PatternSplit, OnePatternOnManyThreads) {
  const auto compiled = compile_ok(GPT4);
  ASSERT_NE(compiled, nullptr);
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "Line " + std::to_string(i) + ": it's  fine!\n";
  Pieces expected;
  split_gpt4(text, [&](std::string_view piece) { expected.emplace_back(piece); });
  std::vector<Pieces> results(4);
  std::vector<std::thread> threads;
  for (auto& result : results) {
    threads.emplace_back([&compiled, &text, &result] {
      PatternSplitter splitter(*compiled);
      std::string error;
      split_pattern(text, splitter, [&](std::string_view piece) { result.emplace_back(piece); },
                    &error);
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& result : results) EXPECT_EQ(result, expected);
}

}  // namespace
}  // namespace selkbar
