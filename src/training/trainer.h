// trainer.h: phase 2, from counted words to a BPE vocabulary and merges.
//
// train_from_words builds the initial vocabulary, in id order:
//   1. the special tokens, first occurrences in the caller's order;
//   2. the alphabet: every character of the corpus, weighted by word count,
//      and the initial alphabet; with limit_alphabet, the initial characters
//      are kept first and the rarest corpus characters dropped first (ties:
//      lower code point first), as alphabet.h says; the kept characters
//      enter by code point, unless already present;
//   3. with continuing_subword_prefix or end_of_word_suffix, the decorated
//      characters ("##b", "b$", "##b$") the words need, in byte order;
// then turns every word into symbol ids (characters outside the vocabulary
// are dropped), releases the word table, and merges pairs until the
// vocabulary holds vocab_size tokens or no pair has a count of at least
// max(1, min_frequency).
//
// The pair merged next has the highest count; among equal counts the smallest
// left id, then the smallest right id. A merged string that already exists
// reuses its id: the merge is recorded, the vocabulary does not grow. With
// max_token_length, a pair first formed by a merge is counted only while its
// two symbols cover fewer than max_token_length characters.
//
// Broken invariants and limits throw InternalError; running out of memory
// throws std::bad_alloc.
#ifndef SELKBAR_TRAINER_H_
#define SELKBAR_TRAINER_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/status.h"
#include "config.h"
#include "counts/wordtable.h"
#include "training/merge.h"

namespace selkbar {

// The merges whose pair occurs in enough words to be split over threads,
// by the most ranges they may take (2-3, 4-7, 8: the loop never uses more),
// whatever the budget let them use: the wall time of rewriting their words,
// their thread time (wall time times the ranges used), and the time spent
// joining the ranges' changes. With the loop's wall time they tell how it
// would run on another budget.
struct SplitFigures {
  static constexpr size_t CLASSES = 3;  // at most 2-3, 4-7, 8 ranges
  uint64_t wall_ns[CLASSES] = {};
  uint64_t thread_ns[CLASSES] = {};
  uint64_t join_ns = 0;
};

// What the merge loop cost, for benchmarks: its elapsed time, the CPU time
// the whole process spent meanwhile (all of the loop's threads; steadier
// than the elapsed time on a busy machine) and how many words it visited
// (each merge visits every word on its pair's list), so that its time can be
// judged per unit of work as the vocabulary grows. Lists are not pruned when
// a word loses a pair to another merge, so some visits find nothing;
// words_rewritten counts those that held the pair.
struct MergeLoopFigures {
  uint64_t elapsed_ns = 0;
  uint64_t cpu_ns = 0;
  uint64_t words_visited = 0;
  uint64_t words_rewritten = 0;
  SplitFigures split;
};

// "merge loop split (...): ..." for SELKBAR_STATS: the split figures as
// durations.
std::string split_line(const SplitFigures& split);

struct TrainResult {
  std::vector<std::string> tokens;  // id = index
  std::vector<Merge> merges;        // in the order performed
  MergeLoopFigures merge_loop;
  // Overflow when a pair occurs more than 2^64 - 1 times in the counts (the
  // message names it): nothing was trained and the rest is empty.
  Status refused;
  // The tokens the merge loop started with (special tokens and alphabet,
  // and a base's tokens): the first ids, which a training to any smaller
  // vocab_size keeps whole (ladder.h).
  uint64_t initial_tokens = 0;
  // The merges it started with: a base's, the first of `merges`, kept whole
  // likewise.
  uint64_t initial_merges = 0;
};

// Takes the word table and releases it once the words are tokenized, before
// the pair statistics are built.
TrainResult train_from_words(WordTable word_table, const TrainConfig& config);

// The same training on a table the caller keeps (and keeps unchanged): the
// word strings stay in memory beside the pair statistics, so that the same
// counts can be trained on again.
TrainResult train_from_borrowed_words(const WordTable& word_table, const TrainConfig& config);

// The merges as (left string, right string), each pair once, at the position
// of its last merge. Throws InternalError if a merge names an id outside
// result.tokens.
std::vector<std::pair<std::string, std::string>> merge_string_pairs(const TrainResult& result);

}  // namespace selkbar

#endif  // SELKBAR_TRAINER_H_
