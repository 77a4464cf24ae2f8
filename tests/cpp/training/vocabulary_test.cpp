// Vocabulary: its index against a standard map, through growth and reserve.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "training/initial_state.h"

namespace selkbar {
namespace {

TEST(Vocabulary, FindsWhatAMapFindsThroughGrowthAndReserve) {
  std::mt19937 rng(5);
  Vocabulary vocab;
  std::unordered_map<std::string, SymbolId> expected;
  // Short strings repeat often; long ones (past the inline size of a
  // string) and the empty one are in the mix too.
  auto random_token = [&] {
    std::string token(rng() % 4 == 0 ? 16 + rng() % 20 : rng() % 4, 'a');
    for (char& c : token) c = static_cast<char>('a' + rng() % 3);
    return token;
  };
  for (int i = 0; i < 20000; ++i) {
    if (i == 7000) vocab.reserve(30000);  // a rehash with tokens in it
    const std::string token = random_token();
    const auto found = expected.find(token);
    const SymbolId want = found == expected.end() ? static_cast<SymbolId>(expected.size())
                                                  : found->second;
    if (i % 3 == 0) {
      ASSERT_EQ(vocab.find(token), found == expected.end() ? NO_SYMBOL : want) << token;
      continue;
    }
    ASSERT_EQ(vocab.find_or_add(token), want) << token;
    expected.emplace(token, want);
    ASSERT_EQ(vocab.size(), expected.size());
    ASSERT_EQ(vocab.token(want), token);
  }
  for (const auto& [token, id] : expected) ASSERT_EQ(vocab.find(token), id);
  EXPECT_GT(expected.size(), 1000u);
}

}  // namespace
}  // namespace selkbar
