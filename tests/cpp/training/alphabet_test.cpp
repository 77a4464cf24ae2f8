// The alphabet choice: initial characters beside the corpus's, how the
// limit treats them, and which initial characters a byte-level mode refuses.
#include "training/alphabet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "training/trainer.h"

namespace selkbar {
namespace {

using Chars = std::vector<uint32_t>;
using Counted = std::vector<std::pair<uint32_t, uint64_t>>;

TEST(InitialCharacters, FirstCharacterOfEachStringOnceInOrder) {
  EXPECT_EQ(initial_characters({"Qx", "", "\xe2\x82\xac", "a", "Q", "\xf0\x9f\x99\x82!"}),
            (Chars{'Q', 0x20AC, 'a', 0x1F642}));
  EXPECT_TRUE(initial_characters({}).empty());
}

TEST(ChooseAlphabet, InitialCharactersJoinTheCorpusByCodePoint) {
  EXPECT_EQ(choose_alphabet({{'a', 5}, {'z', 1}}, {'Q', 0x20AC, 'a'}, std::nullopt),
            (Chars{'Q', 'a', 'z', 0x20AC}));
  EXPECT_EQ(choose_alphabet({}, {'b', 'a'}, std::nullopt), (Chars{'a', 'b'}));
}

TEST(ChooseAlphabet, LimitKeepsInitialCharactersFirst) {
  const Counted counted = {{'a', 5}, {'b', 5}, {'c', 1}, {'d', 9}};
  // Without initial characters: drop the rarest, ties the lower code point.
  EXPECT_EQ(choose_alphabet(counted, {}, 2), (Chars{'b', 'd'}));
  // The initial ones stay however rare; the rest of the room goes by count.
  EXPECT_EQ(choose_alphabet(counted, {'z', 'c'}, 3), (Chars{'c', 'd', 'z'}));
  EXPECT_EQ(choose_alphabet(counted, {'z', 'c'}, 4), (Chars{'b', 'c', 'd', 'z'}));
  // More initial characters than room: the first ones given.
  EXPECT_EQ(choose_alphabet(counted, {'z', 'y', 'x'}, 2), (Chars{'y', 'z'}));
  EXPECT_EQ(choose_alphabet(counted, {'z', 'y'}, 0), Chars{});
  EXPECT_EQ(choose_alphabet(counted, {'z'}, 100), (Chars{'a', 'b', 'c', 'd', 'z'}));
}

TEST(ChooseAlphabet, TrainedVocabularyHoldsInitialCharactersAfterSpecialTokens) {
  WordTable words;
  words.push("ab", 3);
  TrainConfig config;
  config.special_tokens = {"[S]", "b"};
  config.initial_alphabet = {"\xc4\xa0", "b", "A"};
  const TrainResult result = train_from_words(std::move(words), config);
  EXPECT_EQ(result.tokens, (std::vector<std::string>{"[S]", "b", "A", "a", "\xc4\xa0"}));
}

TEST(CheckInitialAlphabet, ByteLevelModesRefuseCharactersOutsideTheirAlphabet) {
  TrainConfig config;
  config.initial_alphabet = {"\xc4\xa0", "\xc3\xa9", "!", "\xf0\x9f\x99\x82", "\n"};
  EXPECT_EQ(check_initial_alphabet(config), std::nullopt);  // whitespace takes any
  config.pretokenizer = PretokenizerKind::Gpt4;
  EXPECT_EQ(check_initial_alphabet(config),
            "initial_alphabet: '\xf0\x9f\x99\x82' (U+1F642) is not in the byte-level alphabet, "
            "the 256 characters pretokenizer \"gpt4\" spells every word with "
            "(selkbar.BYTE_LEVEL_ALPHABET; a space is '\xc4\xa0')");
  config.initial_alphabet = {"\n"};
  config.pretokenizer = PretokenizerKind::Pattern;
  const std::optional<std::string> newline = check_initial_alphabet(config);
  ASSERT_TRUE(newline.has_value());
  EXPECT_EQ(newline->rfind("initial_alphabet: U+000A is not", 0), 0u) << *newline;
  EXPECT_NE(newline->find("\"bytelevel\""), std::string::npos) << *newline;
}

}  // namespace
}  // namespace selkbar
