// The symbol arena: storing words and merging a pair inside one word.
#include "training/word.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "base/error.h"

namespace selkbar {
namespace {

using Symbols = std::vector<SymbolId>;
using Deltas = std::vector<PairDelta>;

Symbols symbols_of(const SymbolArena& arena, uint32_t w) {
  const auto view = arena.word(w);
  return Symbols(view.begin(), view.end());
}

// Merges (left, right) into new_id in a one-word arena holding `word`.
struct MergeOutcome {
  Symbols word;
  Deltas deltas;
  std::vector<uint32_t> lengths;
  bool held = false;  // what merge_word returned
};
MergeOutcome merge_one(const Symbols& word, SymbolId left, SymbolId right, SymbolId new_id,
                       std::optional<uint64_t> limit = std::nullopt) {
  SymbolArena arena(word.size(), 1, limit.has_value());
  arena.push_word(1, word);
  MergeOutcome outcome;
  outcome.held = arena.merge_word(0, left, right, new_id, limit, outcome.deltas);
  outcome.word = symbols_of(arena, 0);
  if (limit) {
    const auto lengths = arena.symbol_lengths(0);
    outcome.lengths.assign(lengths.begin(), lengths.end());
  }
  return outcome;
}

constexpr SymbolId A = 0, B = 1, C = 2, X = 3, Y = 4, AA = 10, AB = 11, XY = 12, AAAA = 13;

TEST(MergeWord, WorkedWords) {
  // aaaa: leftmost first, no overlap; the second occurrence sees the first
  // one's result as its left neighbour.
  MergeOutcome aaaa = merge_one({A, A, A, A}, A, A, AA);
  EXPECT_EQ(aaaa.word, (Symbols{AA, AA}));
  EXPECT_EQ(aaaa.deltas, (Deltas{{{A, A}, -1}, {{AA, A}, +1}, {{AA, A}, -1}, {{AA, AA}, +1}}));

  MergeOutcome aaa = merge_one({A, A, A}, A, A, AA);
  EXPECT_EQ(aaa.word, (Symbols{AA, A}));
  EXPECT_EQ(aaa.deltas, (Deltas{{{A, A}, -1}, {{AA, A}, +1}}));

  MergeOutcome xyxyx = merge_one({X, Y, X, Y, X}, X, Y, XY);
  EXPECT_EQ(xyxyx.word, (Symbols{XY, XY, X}));
  EXPECT_EQ(xyxyx.deltas, (Deltas{{{Y, X}, -1},
                                  {{XY, X}, +1},
                                  {{XY, X}, -1},
                                  {{XY, XY}, +1},
                                  {{Y, X}, -1},
                                  {{XY, X}, +1}}));

  // Both neighbours of a single occurrence, in order: left -1, left +1,
  // right -1, right +1.
  MergeOutcome cabc = merge_one({C, A, B, C}, A, B, AB);
  EXPECT_EQ(cabc.word, (Symbols{C, AB, C}));
  EXPECT_EQ(cabc.deltas,
            (Deltas{{{C, A}, -1}, {{C, AB}, +1}, {{B, C}, -1}, {{AB, C}, +1}}));
}

TEST(MergeWord, WordsWithoutThePairAreLeftAlone) {
  for (const Symbols& word : {Symbols{}, Symbols{A}, Symbols{B, A}, Symbols{A, C, B}}) {
    MergeOutcome outcome = merge_one(word, A, B, AB);
    EXPECT_EQ(outcome.word, word);
    EXPECT_TRUE(outcome.deltas.empty());
  }
}

TEST(MergeWord, MaxTokenLengthSuppressesLongNewPairs) {
  // ab (2 characters) next to c (1) spans 3: not below the limit of 3.
  MergeOutcome abc = merge_one({A, B, C}, A, B, AB, 3);
  EXPECT_EQ(abc.word, (Symbols{AB, C}));
  EXPECT_EQ(abc.deltas, (Deltas{{{B, C}, -1}}));
  EXPECT_EQ(abc.lengths, (std::vector<uint32_t>{2, 1}));

  // The comparison is strict: with a limit of 4 the same pair is counted.
  EXPECT_EQ(merge_one({A, B, C}, A, B, AB, 4).deltas, (Deltas{{{B, C}, -1}, {{AB, C}, +1}}));

  // aaaa with a limit of 4: (aa, a) spans 3 and is counted; (aa, aa) spans 4
  // and is not, yet its -1s are still produced.
  MergeOutcome aaaa = merge_one({A, A, A, A}, A, A, AA, 4);
  EXPECT_EQ(aaaa.word, (Symbols{AA, AA}));
  EXPECT_EQ(aaaa.deltas, (Deltas{{{A, A}, -1}, {{AA, A}, +1}, {{AA, A}, -1}}));
  EXPECT_EQ(aaaa.lengths, (std::vector<uint32_t>{2, 2}));
}

TEST(MergeWord, LengthsAccumulateOverMerges) {
  SymbolArena arena(8, 1, true);
  arena.push_word(7, Symbols{A, A, A, A, B});
  Deltas deltas;
  arena.merge_word(0, A, A, AA, 10, deltas);
  deltas.clear();
  arena.merge_word(0, AA, AA, AAAA, 10, deltas);
  EXPECT_EQ(symbols_of(arena, 0), (Symbols{AAAA, B}));
  const auto lengths = arena.symbol_lengths(0);
  EXPECT_EQ(std::vector<uint32_t>(lengths.begin(), lengths.end()), (std::vector<uint32_t>{4, 1}));
  EXPECT_EQ(deltas, (Deltas{{{AA, B}, -1}, {{AAAA, B}, +1}}));
  // Without a limit the lengths are still kept up to date.
  deltas.clear();
  arena.merge_word(0, AAAA, B, 20, std::nullopt, deltas);
  EXPECT_EQ(arena.symbol_lengths(0)[0], 5u);
}

TEST(SymbolArena, StoresWordsInOrderWithEmptyOnes) {
  SymbolArena arena(0, 0, true);
  const uint32_t ab = arena.push_word(3, Symbols{A, B});
  const uint32_t empty = arena.push_word(5, Symbols{});
  const uint32_t c = arena.push_word(uint64_t{7} << 40, Symbols{C});
  // Counts on both sides of what a word's count cell holds.
  const uint32_t narrow = arena.push_word(0xFFFFFFFE, Symbols{A});
  const uint32_t wide = arena.push_word(0xFFFFFFFF, Symbols{B});
  EXPECT_EQ(arena.count(narrow), 0xFFFFFFFEu);
  EXPECT_EQ(arena.count(wide), 0xFFFFFFFFu);
  ASSERT_EQ(arena.word_count(), 5u);
  EXPECT_EQ(arena.keys(), (std::vector<uint32_t>{ab, empty, c, narrow, wide}));
  EXPECT_TRUE(ab < empty && empty < c);
  EXPECT_EQ(symbols_of(arena, ab), (Symbols{A, B}));
  EXPECT_TRUE(arena.word(empty).empty());
  EXPECT_EQ(symbols_of(arena, c), (Symbols{C}));
  EXPECT_EQ(arena.count(empty), 5u);
  EXPECT_EQ(arena.count(c), uint64_t{7} << 40);
  EXPECT_EQ(arena.symbol_lengths(ab)[1], 1u);
  EXPECT_EQ(arena.total_symbols(), 5u);
  // Later words stay put when an earlier one shrinks.
  Deltas deltas;
  arena.merge_word(ab, A, B, AB, std::nullopt, deltas);
  EXPECT_EQ(symbols_of(arena, ab), (Symbols{AB}));
  EXPECT_EQ(symbols_of(arena, c), (Symbols{C}));
  EXPECT_EQ(arena.count(c), uint64_t{7} << 40);
  EXPECT_EQ(arena.total_symbols(), 4u);
}

// An arena laid out and filled word by word, out of order, holds what one
// built by push_word holds: words, counts (narrow and wide), keys, lengths,
// and the same merges after; a word may leave some of its room unused.
TEST(SymbolArena, LaidOutAndFilledMatchesPushed) {
  std::mt19937 rng(7);
  for (const bool track : {false, true}) {
    std::vector<Symbols> words(300);
    std::vector<uint64_t> counts(words.size());
    std::vector<uint32_t> lengths;
    SymbolArena pushed(0, 0, track);
    for (uint32_t i = 0; i < words.size(); ++i) {
      words[i].resize(rng() % 6);  // odd and even lengths, empty words too
      for (SymbolId& s : words[i]) s = rng() % 3;
      counts[i] = rng() % 4 == 0 ? 0xFFFFFFFEull + rng() % 3 : rng() % 100;
      lengths.push_back(static_cast<uint32_t>(words[i].size()));
      pushed.push_word(counts[i], words[i]);
    }
    std::vector<uint32_t> room = lengths;
    for (uint32_t& r : room) r += rng() % 3;
    SymbolArena filled = SymbolArena::laid_out(room, counts, track);
    for (uint32_t i = words.size(); i-- > 0;) filled.fill_word(i, counts[i], words[i]);
    for (uint32_t i = 0; i < words.size(); ++i) {
      const uint32_t w = filled.keys()[i];
      ASSERT_EQ(symbols_of(filled, w), words[i]) << i;
      ASSERT_EQ(filled.count(w), counts[i]) << i;
      if (track) {
        ASSERT_TRUE(std::ranges::equal(filled.symbol_lengths(w), pushed.symbol_lengths(pushed.keys()[i])));
      }
      Deltas from_filled, from_pushed;
      filled.merge_word(w, 0, 1, 9, std::nullopt, from_filled);
      pushed.merge_word(pushed.keys()[i], 0, 1, 9, std::nullopt, from_pushed);
      ASSERT_EQ(symbols_of(filled, w), symbols_of(pushed, pushed.keys()[i])) << i;
      ASSERT_EQ(from_filled, from_pushed) << i;
    }
    EXPECT_EQ(filled.total_symbols(), pushed.total_symbols());
    EXPECT_THROW(filled.fill_word(0, 1, Symbols(room[0] + 2, 0)), InternalError);
  }
}

TEST(SymbolArena, Limits) {
  EXPECT_NO_THROW(check_arena_room(MAX_ARENA_CELLS - 1));
  try {
    check_arena_room(MAX_ARENA_CELLS);
    FAIL() << "no error at 2^33 cells";
  } catch (const InternalError& error) {
    EXPECT_STREQ(error.what(), "symbol arena exceeds 4G symbols");
  }
  SymbolArena arena(0, 0, false);
  arena.push_word(1, Symbols{A});
  Deltas deltas;
  EXPECT_THROW(arena.word(100), InternalError);
  EXPECT_THROW(arena.merge_word(100, A, B, AB, std::nullopt, deltas), InternalError);
  EXPECT_THROW(arena.symbol_lengths(0), InternalError);
  EXPECT_THROW(arena.merge_word(0, A, B, AB, 3, deltas), InternalError);
}

// Random words against two plain facts: the result is the leftmost,
// non-overlapping replacement, and for every pair other than the merged one
// the deltas add up to the change in its number of occurrences.
TEST(MergeWord, RandomWordsMatchPlainReplacementAndRecount) {
  std::mt19937 rng(1234);
  auto occurrences = [](const Symbols& word) {
    std::map<Pair, int> counts;
    for (size_t i = 0; i + 1 < word.size(); ++i) ++counts[Pair{word[i], word[i + 1]}];
    return counts;
  };
  for (int round = 0; round < 5000; ++round) {
    const int alphabet = 1 + static_cast<int>(rng() % 3);
    Symbols word(rng() % 40);
    for (SymbolId& symbol : word) symbol = rng() % alphabet;
    const SymbolId left = rng() % alphabet;
    const SymbolId right = rng() % alphabet;
    const SymbolId new_id = 7;

    Symbols expected;
    for (size_t i = 0; i < word.size();) {
      if (i + 1 < word.size() && word[i] == left && word[i + 1] == right) {
        expected.push_back(new_id);
        i += 2;
      } else {
        expected.push_back(word[i++]);
      }
    }
    const MergeOutcome outcome = merge_one(word, left, right, new_id);
    ASSERT_EQ(outcome.word, expected);
    ASSERT_EQ(outcome.held, expected != word);

    std::map<Pair, int> change;
    for (const auto& [pair, n] : occurrences(expected)) change[pair] += n;
    for (const auto& [pair, n] : occurrences(word)) change[pair] -= n;
    std::map<Pair, int> summed;
    for (const PairDelta& delta : outcome.deltas) summed[delta.pair] += delta.delta;
    change.erase(Pair{left, right});
    summed.erase(Pair{left, right});
    std::erase_if(change, [](const auto& entry) { return entry.second == 0; });
    std::erase_if(summed, [](const auto& entry) { return entry.second == 0; });
    ASSERT_EQ(summed, change) << "round " << round;
  }
}

// Regression: one 200 MB pretoken made merge_word collect ~100M deltas for a
// single word, 7 GB at peak. With a drain the pending deltas stay bounded,
// and the batches, in order, are exactly the deltas of an undrained merge.
TEST(MergeWord, LongWordDrainsItsDeltasInBoundedBatches) {
  for (const std::optional<uint64_t> limit : {std::optional<uint64_t>(), std::optional<uint64_t>(5)}) {
    Symbols word(5 * MAX_PENDING_DELTAS + 7, A);
    for (size_t i = 3; i < word.size(); i += 11) word[i] = B;
    const Deltas whole = merge_one(word, A, A, AA, limit).deltas;

    SymbolArena arena(word.size(), 1, limit.has_value());
    arena.push_word(1, word);
    Deltas drained;
    size_t batches = 0;
    const DeltaDrain drain = [&](Deltas& batch) {
      EXPECT_GE(batch.size(), MAX_PENDING_DELTAS);
      EXPECT_LE(batch.size(), MAX_PENDING_DELTAS + 3);  // at most four per occurrence
      drained.insert(drained.end(), batch.begin(), batch.end());
      batch.clear();
      ++batches;
    };
    Deltas rest;
    arena.merge_word(0, A, A, AA, limit, rest, &drain);
    EXPECT_LT(rest.size(), MAX_PENDING_DELTAS);
    drained.insert(drained.end(), rest.begin(), rest.end());
    EXPECT_GE(batches, 2u);
    EXPECT_EQ(drained, whole);
    EXPECT_EQ(symbols_of(arena, 0), merge_one(word, A, A, AA, limit).word);
  }
}

}  // namespace
}  // namespace selkbar
